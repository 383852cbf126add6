// Text a program writes, gathered on a thread of the test's own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>

namespace programtest {

// Text a program writes, kept as it comes so that a test can wait for a
// line in it.
class LineLog {
  public:
    void append(const char *data, size_t size) {
        std::lock_guard<std::mutex> lock(mutex_);
        text_.append(data, size);
        cv_.notify_all();
    }
    size_t count(const std::string &line) {
        std::lock_guard<std::mutex> lock(mutex_);
        return countLocked(line);
    }
    // Waits until the text holds line n times; the bound only keeps a
    // broken test from hanging.
    bool waitFor(const std::string &line, size_t n = 1) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(60), [&] { return countLocked(line) >= n; });
    }
    std::string text() {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }
    // Position of the first occurrence of line, npos when absent.
    size_t find(const std::string &line) {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_.find(line);
    }

  private:
    size_t countLocked(const std::string &line) const {
        size_t n = 0;
        for (size_t at = text_.find(line); at != std::string::npos; at = text_.find(line, at + 1)) {
            ++n;
        }
        return n;
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::string text_;
};

} // namespace programtest
