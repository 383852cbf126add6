#pragma once
// The two threads that drive the objects in time, each about once a second,
// over deviceObjectMap and then every load's map:
// - the COV timer thread hands the elapsed time to tickCovPeriod and tickCov
//   of every object that has COV subscriptions (never a device object);
// - the event thread hands it to tickReporting of every object but device
//   and notification-class objects.
// The elapsed time of a cycle is the whole time since the previous one, the
// walk included, so lifetimes, COV periods and time delays keep pace with
// the clock however long the walks take.
//
// Start-up starts them once the object sets and maps are complete; the
// clean-up stops them before it touches the sets. A stop wakes a sleeping
// thread and returns once the thread has ended. The start and stop
// functions are called from one thread (the main thread).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "objects/object_map.h"

// Keep the threads running; cleared by their stop functions.
extern std::atomic<bool> covTimerActive;
extern std::atomic<bool> eventActive;

// The loads' object maps in ascending virtual device instance. The device
// application sets it; each start calls it once, on the starting thread,
// and the thread walks the maps it gave until it is stopped, so it must be
// set, and the maps complete, before the threads start. An empty function
// stands for no loads.
using LoadObjectMapsSource = std::function<std::vector<const ObjectMap *>()>;
void setLoadObjectMapsSource(LoadObjectMapsSource source);

// What the threads pace themselves by: the steady clock in the program, a
// clock moved by hand in tests.
class ObjectThreadClock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    virtual ~ObjectThreadClock() = default;
    virtual TimePoint now() = 0;
    // Waits on cv, whose mutex lock holds, until now() has reached the
    // deadline or stopped() is true. Whoever makes stopped() true does so
    // under that mutex and then notifies cv.
    virtual void sleepUntil(std::unique_lock<std::mutex> &lock, std::condition_variable &cv, TimePoint deadline,
                            const std::function<bool()> &stopped) = 0;
};
// nullptr puts the steady clock back. Each start takes the clock set then;
// the clock must outlive the thread.
void objectThreadsSetClock(ObjectThreadClock *clock);

// A start while its thread runs does nothing.
void startCovTimerThread();
void stopCovTimerThread();
void startEventThread();
void stopEventThread();
