// Helpers shared by the libarvent tests that run against the velsard
// stand-in: recording handlers, captured log lines, IPC thread counting.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "arvent.h"
#include "test_bus.h"

namespace arvent_test {

// What the handlers saw; handlers are plain functions, so this is global.
struct Delivery {
    int kind;  // -1 for a DeviceError
    uint32_t code;
    std::string text;
    bool on_ipc_thread;
};

struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Delivery> deliveries;
    int inside = 0;       // handlers running right now
    int most_inside = 0;  // the most that ever ran at once
    // Runs inside the configuration handler before it records (on the IPC thread).
    std::function<void(int)> on_config;

    void reset() {
        std::lock_guard<std::mutex> lock(mutex);
        deliveries.clear();
        inside = most_inside = 0;
        on_config = nullptr;
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return deliveries.size();
    }
    // Waits until at least n deliveries arrived.
    bool wait_for(size_t n, int timeout_ms = 5000) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                [&] { return deliveries.size() >= n; });
    }
    std::vector<Delivery> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return deliveries;
    }
};

inline Recorder recorder;

inline bool is_ipc_thread() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return std::string(name) == "arvent-ipc";
}

inline void enter() {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    recorder.inside++;
    if (recorder.inside > recorder.most_inside)
        recorder.most_inside = recorder.inside;
}

inline void record(Delivery d) {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    recorder.inside--;
    recorder.deliveries.push_back(std::move(d));
    recorder.changed.notify_all();
}

inline void config_handler(int kind) {
    enter();
    std::function<void(int)> hook;
    {
        std::lock_guard<std::mutex> lock(recorder.mutex);
        hook = recorder.on_config;
    }
    if (hook)
        hook(kind);
    record({kind, 0, "", is_ipc_thread()});
}

inline void error_handler(uint32_t code, char *text) {
    enter();
    record({-1, code, text, is_ipc_thread()});
    free(text);  // the handler owns the copy
}

// Threads named like the IPC thread in this process.
inline int ipc_threads() {
    int n = 0;
    DIR *dir = opendir("/proc/self/task");
    if (dir == nullptr)
        return -1;
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name == "arvent-ipc")
            n++;
    }
    closedir(dir);
    return n;
}

// Captures what the library logs: syslog with LOG_PERROR copies every line
// to standard error, which is redirected into a file while this lives.
class LogCapture {
  public:
    LogCapture() {
        openlog("arvent-test", LOG_PERROR, LOG_DAEMON);
        path_ = velsard_testing::TestBus::get().dir() + "/log." + std::to_string(counter_++);
        fflush(stderr);
        saved_ = dup(2);
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~LogCapture() { restore(); }
    // Everything logged so far (stops the capture).
    std::string text() {
        restore();
        std::ifstream f(path_);
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }

  private:
    void restore() {
        if (saved_ < 0)
            return;
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    static inline int counter_ = 0;
    std::string path_;
    int saved_ = -1;
};

// Polls pred every 5 ms until it holds or timeout_ms passed.
inline bool eventually(const std::function<bool()> &pred, int timeout_ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace arvent_test
