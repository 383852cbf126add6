#include "objects/object_threads.h"

#include <climits>
#include <memory>
#include <thread>

#include "device/program_services.h"

std::atomic<bool> covTimerActive{false};
std::atomic<bool> eventActive{false};

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kCovSleep{999};
constexpr milliseconds kEventSleep{1000};

class SteadyThreadClock : public ObjectThreadClock {
public:
    TimePoint now() override { return std::chrono::steady_clock::now(); }
    void sleepUntil(std::unique_lock<std::mutex> &lock, std::condition_variable &cv, TimePoint deadline,
                    const std::function<bool()> &stopped) override {
        cv.wait_until(lock, deadline, stopped);
    }
};

SteadyThreadClock steadyClock;
std::atomic<ObjectThreadClock *> clockSet{nullptr};
LoadObjectMapsSource loadMapsSource;

// A stop clears its flag under wakeMutex and notifies wakeCv, so that a
// thread asleep, or about to sleep, sees it at once.
std::mutex wakeMutex;
std::condition_variable wakeCv;

std::unique_ptr<std::thread> covTimerHandle;
std::unique_ptr<std::thread> eventHandle;

// Sleeps for the period; false when a stop came first.
bool pause(ObjectThreadClock &clock, milliseconds period, const std::atomic<bool> &active) {
    const ObjectThreadClock::TimePoint deadline = clock.now() + period;
    std::unique_lock lock(wakeMutex);
    clock.sleepUntil(lock, wakeCv, deadline, [&active] { return !active.load(); });
    return active.load();
}

// The whole milliseconds since the previous call (the first since the
// thread began). The part of a millisecond left over is counted in the
// next call, so nothing is lost to the truncation either.
class CycleTimer {
public:
    explicit CycleTimer(ObjectThreadClock &clock) : clock(clock), mark(clock.now()) {}

    int elapsed() {
        const auto whole = std::chrono::duration_cast<milliseconds>(clock.now() - mark);
        if (whole.count() <= 0) {
            return 0;
        }
        mark += whole;
        return whole.count() > INT_MAX ? INT_MAX : static_cast<int>(whole.count());
    }

private:
    ObjectThreadClock &clock;
    ObjectThreadClock::TimePoint mark;
};

void covWalk(const ObjectMap &map, int elapsedMs) {
    for (const auto &[id, object] : map) {
        if (object == nullptr || objectIdType(id) == kObjDevice || object->getCovSubscriptionCount() == 0) {
            continue;
        }
        object->tickCovPeriod(elapsedMs);
        object->tickCov(elapsedMs);
    }
}

void covTimerThread(ObjectThreadClock &clock, std::vector<const ObjectMap *> loadMaps) {
    CycleTimer cycle(clock);
    while (covTimerActive.load()) {
        std::this_thread::yield();
        if (!pause(clock, kCovSleep, covTimerActive)) {
            return;
        }
        const int elapsedMs = cycle.elapsed();
        covWalk(deviceObjectMap, elapsedMs);
        for (const ObjectMap *map : loadMaps) {
            covWalk(*map, elapsedMs);
        }
    }
}

bool eventStopSeen() {
    if (eventActive.load()) {
        return false;
    }
    programLog(6, "Event Thread exiting.");
    return true;
}

// False when a stop was seen before an entry.
bool eventWalk(const ObjectMap &map, int elapsedMs) {
    for (const auto &[id, object] : map) {
        if (eventStopSeen()) {
            return false;
        }
        const uint16_t type = objectIdType(id);
        if (object != nullptr && type != kObjDevice && type != kObjNotificationClass) {
            object->tickReporting(elapsedMs);
        }
    }
    return true;
}

// A stop in the sleep wakes the thread; the walk then sees it before its
// first entry, as a stop during the walk is seen before the next one.
void eventThread(ObjectThreadClock &clock, std::vector<const ObjectMap *> loadMaps) {
    CycleTimer cycle(clock);
    while (eventActive.load()) {
        pause(clock, kEventSleep, eventActive);
        const int elapsedMs = cycle.elapsed();
        if (!eventWalk(deviceObjectMap, elapsedMs)) {
            return;
        }
        for (const ObjectMap *map : loadMaps) {
            if (eventStopSeen() || !eventWalk(*map, elapsedMs)) {
                return;
            }
        }
    }
}

ObjectThreadClock &threadClock() {
    ObjectThreadClock *clock = clockSet.load();
    return clock != nullptr ? *clock : steadyClock;
}

std::vector<const ObjectMap *> loadObjectMaps() {
    return loadMapsSource ? loadMapsSource() : std::vector<const ObjectMap *>{};
}

using ThreadBody = void (*)(ObjectThreadClock &, std::vector<const ObjectMap *>);

void startThread(std::atomic<bool> &active, std::unique_ptr<std::thread> &handle, ThreadBody body) {
    if (handle != nullptr) {
        return;
    }
    std::vector<const ObjectMap *> loadMaps = loadObjectMaps();
    active.store(true);
    handle = std::make_unique<std::thread>(body, std::ref(threadClock()), std::move(loadMaps));
}

void stopThread(std::atomic<bool> &active, std::unique_ptr<std::thread> &handle) {
    {
        std::lock_guard lock(wakeMutex);
        active.store(false);
    }
    wakeCv.notify_all();
    if (handle != nullptr && handle->joinable()) {
        handle->join();
    }
    handle.reset();
}

}  // namespace

void setLoadObjectMapsSource(LoadObjectMapsSource source) {
    loadMapsSource = std::move(source);
}

void objectThreadsSetClock(ObjectThreadClock *clock) {
    clockSet.store(clock);
}

void startCovTimerThread() {
    startThread(covTimerActive, covTimerHandle, covTimerThread);
}

void stopCovTimerThread() {
    stopThread(covTimerActive, covTimerHandle);
}

void startEventThread() {
    startThread(eventActive, eventHandle, eventThread);
}

void stopEventThread() {
    stopThread(eventActive, eventHandle);
}
