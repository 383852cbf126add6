// A thread that runs one step per period until it is stopped; a stop wakes
// it at once, so a test daemon ends without waiting out a period.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

class PeriodicThread {
  public:
    PeriodicThread() = default;
    PeriodicThread(const PeriodicThread &) = delete;
    PeriodicThread &operator=(const PeriodicThread &) = delete;
    ~PeriodicThread() { stop(); }

    // step gets 1, 2, 3, ... A start while running does nothing.
    void start(std::chrono::milliseconds period, std::function<void(uint32_t)> step) {
        if (thread_.joinable()) {
            return;
        }
        stopping_ = false;
        thread_ = std::thread([this, period, step = std::move(step)] {
            std::unique_lock lock(mutex_);
            uint32_t n = 0;
            while (!wake_.wait_for(lock, period, [this] { return stopping_; })) {
                lock.unlock();
                step(++n);
                lock.lock();
            }
        });
    }

    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

  private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};
