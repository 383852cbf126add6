// A program run by a test, its standard error read on a thread of the
// test's own so that the test can wait for its lines.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace ulvora_testing {

class ChildProcess {
  public:
    ChildProcess(const std::string &path, std::vector<std::string> args) {
        int out[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 2);
        std::vector<char *> argv = {const_cast<char *>(path.c_str())};
        for (std::string &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        reader_ = std::thread([this, fd = out[0]] {
            char buf[4096];
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0) {
                std::lock_guard lock(mutex_);
                text_.append(buf, size_t(n));
                cv_.notify_all();
            }
            close(fd);
            std::lock_guard lock(mutex_);
            ended_ = true;
            cv_.notify_all();
        });
    }
    ~ChildProcess() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (reader_.joinable()) {
            reader_.join();
        }
    }

    // Waits until the output holds the text (n times); the bound only
    // keeps a broken test from hanging.
    bool wait_for(const std::string &text, size_t n = 1, int bound_seconds = 30) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(bound_seconds), [&] { return count_locked(text) >= n || ended_; }) &&
               count_locked(text) >= n;
    }
    size_t count(const std::string &text) {
        std::lock_guard lock(mutex_);
        return count_locked(text);
    }
    std::string output() {
        std::lock_guard lock(mutex_);
        return text_;
    }

    void interrupt() { kill(pid_, SIGINT); }
    void signal(int number) { kill(pid_, number); }

    // The exit status, -1 when it did not end (after a generous bound).
    int wait_exit() {
        for (int i = 0; i < 3000 && status_ < 0; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return status_;
    }

  private:
    size_t count_locked(const std::string &text) const {
        size_t n = 0;
        for (size_t at = text_.find(text); at != std::string::npos; at = text_.find(text, at + 1)) {
            ++n;
        }
        return n;
    }
    pid_t pid_ = -1;
    int status_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::string text_;
    bool ended_ = false;
};

} // namespace ulvora_testing
