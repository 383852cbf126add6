#include "manual_clock.h"

ManualClock::TimePoint ManualClock::now() {
    std::lock_guard guard(mutex);
    return time;
}

// Lock order: the sleepers' mutex, then this clock's.
void ManualClock::sleepUntil(std::unique_lock<std::mutex> &lock, std::condition_variable &cv, TimePoint deadline,
                             const std::function<bool()> &stopped) {
    {
        std::lock_guard guard(mutex);
        sleepMutex = lock.mutex();
        sleepCv = &cv;
        lengths.push_back(deadline - time);
        ++asleep;
        changed.notify_all();
    }
    cv.wait(lock, [&] { return stopped() || now() >= deadline; });
    std::lock_guard guard(mutex);
    --asleep;
    changed.notify_all();
}

void ManualClock::advance(std::chrono::nanoseconds by) {
    std::mutex *m;
    std::condition_variable *cv;
    {
        std::lock_guard guard(mutex);
        time += by;
        m = sleepMutex;
        cv = sleepCv;
    }
    if (m != nullptr) {
        // Taking the sleepers' mutex once makes sure that none is between
        // its look at the time and its wait.
        { std::lock_guard guard(*m); }
        cv->notify_all();
    }
}

void ManualClock::waitForSleeps(size_t count) {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return lengths.size() >= count; });
}

size_t ManualClock::sleepsBegun() {
    std::lock_guard guard(mutex);
    return lengths.size();
}

size_t ManualClock::sleeping() {
    std::lock_guard guard(mutex);
    return asleep;
}

std::vector<std::chrono::nanoseconds> ManualClock::sleepLengths() {
    std::lock_guard guard(mutex);
    return lengths;
}
