#pragma once
// A clock for the object threads that only the test moves. A thread's sleep
// ends when advance() reaches its deadline or a stop wakes it; the test
// learns that a thread has finished its walk by waiting until it sleeps
// again. Thread-safe.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include "objects/object_threads.h"

class ManualClock : public ObjectThreadClock {
public:
    TimePoint now() override;
    void sleepUntil(std::unique_lock<std::mutex> &lock, std::condition_variable &cv, TimePoint deadline,
                    const std::function<bool()> &stopped) override;

    // Moves the time on and wakes the sleepers whose deadline has come.
    void advance(std::chrono::nanoseconds by);
    // Blocks until the threads have begun this many sleeps in all.
    void waitForSleeps(size_t count);
    size_t sleepsBegun();
    size_t sleeping();
    // How long each sleep was asked to last, in the order they began.
    std::vector<std::chrono::nanoseconds> sleepLengths();

private:
    std::mutex mutex;
    std::condition_variable changed;
    TimePoint time{};
    std::vector<std::chrono::nanoseconds> lengths;
    size_t asleep = 0;
    // The pair the threads sleep on; advance() notifies it.
    std::mutex *sleepMutex = nullptr;
    std::condition_variable *sleepCv = nullptr;
};
