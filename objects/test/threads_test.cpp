// The COV timer and event threads on a clock the test moves by hand: what
// each walk ticks and in what order, the elapsed time handed over, the
// length of each sleep, and stops that wake a sleeping thread. Nothing
// here waits on the wall clock: a thread whose stop did not wake it would
// sleep until ctest's time-out.

#include "fake_stack.h"
#include "manual_clock.h"
#include "objects/object_threads.h"
#include "objects/pulse_converter.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <list>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct Tick {
    std::string object;
    char kind;  // 'P' tickCovPeriod, 'C' tickCov, 'R' tickReporting
    int elapsedMs;
    bool operator==(const Tick &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Tick &t) {
    return out << t.object << ' ' << t.kind << t.elapsedMs;
}

class Journal {
public:
    void add(Tick t) {
        std::lock_guard lock(mutex);
        ticks.push_back(std::move(t));
        added.notify_all();
    }
    void waitFor(size_t count) {
        std::unique_lock lock(mutex);
        added.wait(lock, [&] { return ticks.size() >= count; });
    }
    std::vector<Tick> take() {
        std::lock_guard lock(mutex);
        return std::exchange(ticks, {});
    }

private:
    std::mutex mutex;
    std::condition_variable added;
    std::vector<Tick> ticks;
};

// Records every tick it gets; a tick may take time on the test's clock, as
// a long walk would, or run a step of the test.
class RecordingObject : public BACnetObject {
public:
    RecordingObject(Journal &journal, const std::string &name, uint16_t type, uint32_t instance)
        : journal(journal) {
        setObjectName(name);
        setObjectType(type);
        setInstance(instance);
    }
    void tickCovPeriod(int e) override { record('P', e); }
    void tickCov(int e) override {
        record('C', e);
        during();
    }
    void tickReporting(int e) override {
        record('R', e);
        during();
    }
    void subscribe() {
        CovSubscriber r{};
        r.subscriber.macLength = 1;
        r.subscriber.mac[0] = 9;
        r.processId = 1;
        r.monitoredObject = getObjectIdentifier();
        r.lifetime = 600;
        ASSERT_EQ(subscribeCov(r), kErrorNone);
    }

    std::function<void()> during = [] {};

private:
    void record(char kind, int e) { journal.add({getObjectName(), kind, e}); }
    Journal &journal;
};

enum class Which { CovTimer, Event };

void start(Which which) {
    which == Which::CovTimer ? startCovTimerThread() : startEventThread();
}

void stop(Which which) {
    which == Which::CovTimer ? stopCovTimerThread() : stopEventThread();
}

class ObjectThreads : public testing::Test {
protected:
    void SetUp() override {
        fake_stack::reset();
        deviceObjectMap.clear();
        objectThreadsSetClock(&clock);
        setLoadObjectMapsSource([this] {
            std::vector<const ObjectMap *> maps;
            for (const ObjectMap &m : loads) {
                maps.push_back(&m);
            }
            return maps;
        });
    }
    void TearDown() override {
        stopCovTimerThread();
        stopEventThread();
        deviceObjectMap.clear();
        objectThreadsSetClock(nullptr);
        setLoadObjectMapsSource(nullptr);
    }

    RecordingObject &make(const std::string &name, uint16_t type, uint32_t instance, ObjectMap &map) {
        RecordingObject &o = objects.emplace_back(journal, name, type, instance);
        objectMapAdd(map, &o);
        return o;
    }

    // Starts the thread and lets it run the given cycles, each by moving the
    // clock on by its sleep and waiting until it sleeps again.
    void run(Which which, int cycles) {
        const auto sleep = which == Which::CovTimer ? 999ms : 1000ms;
        startAsleep(which);
        for (int i = 0; i < cycles; ++i) {
            const size_t begun = clock.sleepsBegun();
            clock.advance(sleep);
            clock.waitForSleeps(begun + 1);
        }
    }

    // Returns once the new thread sleeps.
    void startAsleep(Which which) {
        const size_t begun = clock.sleepsBegun();
        start(which);
        clock.waitForSleeps(begun + 1);
    }

    ManualClock clock;
    Journal journal;
    std::list<RecordingObject> objects;
    std::list<ObjectMap> loads;  // in the order the device application gives them
};

TEST_F(ObjectThreads, CovTimerTicksSubscribedObjectsOfRootThenLoadsNeverADevice) {
    ObjectMap &first = loads.emplace_back();
    ObjectMap &second = loads.emplace_back();
    make("root AI 2", kObjAnalogInput, 2, deviceObjectMap).subscribe();
    make("root AI 1, none", kObjAnalogInput, 1, deviceObjectMap);
    make("root device", kObjDevice, 9, deviceObjectMap).subscribe();
    make("root LAV", kObjLargeAnalogValue, 1, deviceObjectMap).subscribe();
    deviceObjectMap[objectIdMake(kObjAnalogInput, 7)] = nullptr;
    make("load 1 PC", kObjPulseConverter, 1, first).subscribe();
    make("load 1 BV, none", kObjBinaryValue, 1, first);
    make("load 2 AI", kObjAnalogInput, 1, second).subscribe();

    run(Which::CovTimer, 2);

    const std::vector<Tick> cycle = {{"root AI 2", 'P', 999}, {"root AI 2", 'C', 999}, {"root LAV", 'P', 999},
                                     {"root LAV", 'C', 999},  {"load 1 PC", 'P', 999}, {"load 1 PC", 'C', 999},
                                     {"load 2 AI", 'P', 999}, {"load 2 AI", 'C', 999}};
    std::vector<Tick> both = cycle;
    both.insert(both.end(), cycle.begin(), cycle.end());
    EXPECT_EQ(journal.take(), both);
}

TEST_F(ObjectThreads, EventThreadTicksEveryObjectButDevicesAndNotificationClasses) {
    struct Row {
        uint16_t type;
        bool ticked;
    };
    const Row rows[] = {{kObjAnalogInput, true},       {kObjBinaryValue, true},       {kObjDevice, false},
                        {kObjNotificationClass, false}, {kObjMultiStateValue, true},  {kObjPulseConverter, true},
                        {kObjLargeAnalogValue, true}};
    ObjectMap &load = loads.emplace_back();
    std::vector<Tick> expected;
    for (ObjectMap *map : {&deviceObjectMap, &load}) {
        for (const Row &row : rows) {
            const std::string name = (map == &load ? "load " : "root ") + std::to_string(row.type);
            make(name, row.type, 1, *map);
            if (row.ticked) {
                expected.push_back({name, 'R', 1000});
            }
        }
    }
    deviceObjectMap[objectIdMake(kObjAnalogInput, 7)] = nullptr;

    run(Which::Event, 1);

    EXPECT_EQ(journal.take(), expected);
}

// A cycle hands over the whole time since the previous one, the walk
// included, and keeps the part of a millisecond left over; the next sleep
// is still the full one, however long the walk took.
TEST_F(ObjectThreads, ElapsedTimeCountsWholeCyclesAndSleepsStayFull) {
    struct Row {
        Which which;
        char kind;
        std::chrono::milliseconds sleep;
        std::vector<int> elapsed;
    };
    const Row rows[] = {{Which::CovTimer, 'C', 999ms, {999, 1399, 1400, 1399}},
                        {Which::Event, 'R', 1000ms, {1000, 1400, 1401, 1400}}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.kind);
        deviceObjectMap.clear();
        RecordingObject &slow = make("slow", kObjAnalogInput, 1, deviceObjectMap);
        slow.subscribe();
        slow.during = [this] { clock.advance(400500us); };
        const size_t begun = clock.sleepsBegun();

        run(row.which, static_cast<int>(row.elapsed.size()));
        stop(row.which);

        std::vector<int> elapsed;
        for (const Tick &t : journal.take()) {
            if (t.kind == row.kind) {
                elapsed.push_back(t.elapsedMs);
            }
        }
        EXPECT_EQ(elapsed, row.elapsed);
        const std::vector<std::chrono::nanoseconds> lengths = clock.sleepLengths();
        ASSERT_EQ(lengths.size(), begun + row.elapsed.size() + 1);
        for (size_t i = begun; i < lengths.size(); ++i) {
            EXPECT_EQ(lengths[i], row.sleep) << "sleep " << i - begun;
        }
        objects.clear();
    }
}

// The clock never moves here: only the stop's wake can end the sleep.
TEST_F(ObjectThreads, StopDuringTheSleepEndsTheThreadAtOnce) {
    struct Row {
        const char *name;
        Which which;
        bool withObjects;
        std::vector<std::string> lines;
    };
    const Row rows[] = {
        {"event thread with objects", Which::Event, true, {"Event Thread exiting."}},
        {"event thread with no object anywhere", Which::Event, false, {}},
        {"COV timer thread", Which::CovTimer, true, {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        fake_stack::reset();
        deviceObjectMap.clear();
        objects.clear();
        if (row.withObjects) {
            make("AI", kObjAnalogInput, 1, deviceObjectMap).subscribe();
        }
        fake_stack::reset();  // drops the subscription's line
        startAsleep(row.which);

        stop(row.which);

        EXPECT_EQ(clock.sleeping(), 0u);
        EXPECT_EQ(journal.take(), std::vector<Tick>{});
        EXPECT_EQ(fake_stack::logTexts(6), row.lines);
    }
}

// The event thread looks at its flag before every object: a stop seen in
// the middle of a walk ticks nothing more, before the next object or load.
TEST_F(ObjectThreads, EventStopSeenInTheWalkEndsItBeforeTheNextObjectOrLoad) {
    struct Row {
        const char *name;
        bool nextInSameMap;
    };
    for (const Row row : {Row{"next object", true}, Row{"next load", false}}) {
        SCOPED_TRACE(row.name);
        fake_stack::reset();
        deviceObjectMap.clear();
        objects.clear();
        loads.clear();
        RecordingObject &first = make("first", kObjAnalogInput, 1, deviceObjectMap);
        make("after", kObjAnalogInput, 2, row.nextInSameMap ? deviceObjectMap : loads.emplace_back());
        first.during = [] { eventActive.store(false); };

        startAsleep(Which::Event);
        clock.advance(1000ms);
        journal.waitFor(1);
        stopEventThread();

        EXPECT_EQ(journal.take(), (std::vector<Tick>{{"first", 'R', 1000}}));
        EXPECT_EQ(fake_stack::logTexts(6), std::vector<std::string>{"Event Thread exiting."});
    }
}

TEST_F(ObjectThreads, StartWhileRunningKeepsOneThreadAndAStoppedThreadStartsAgain) {
    make("AI", kObjAnalogInput, 1, deviceObjectMap).subscribe();
    for (const Which which : {Which::CovTimer, Which::Event}) {
        startAsleep(which);
        start(which);  // a second thread object in place of the running one would abort
        stop(which);
        run(which, 1);
        stop(which);
        EXPECT_EQ(journal.take().size(), which == Which::CovTimer ? 2u : 1u);
    }
}

// With the real classes: periodic COV only while someone subscribes, and a
// lifetime that the thread's elapsed time counts down.
TEST_F(ObjectThreads, PulseConverterReportsPeriodicallyOnlyWhileSubscribed) {
    PulseConverter pc(1, "Pulse Input #1", 95);
    ASSERT_EQ(pc.setCovPeriod(1), kErrorNone);
    objectMapAdd(deviceObjectMap, &pc);
    startAsleep(Which::CovTimer);
    auto cycle = [this] {
        const size_t before = fake_stack::covCalls().size();
        const size_t begun = clock.sleepsBegun();
        clock.advance(999ms);
        clock.waitForSleeps(begun + 1);
        return fake_stack::covCalls().size() - before;
    };
    std::vector<size_t> sent;
    for (int i = 0; i < 3; ++i) {
        sent.push_back(cycle());
    }
    CovSubscriber r{};
    r.subscriber.macLength = 1;
    r.subscriber.mac[0] = 9;
    r.processId = 4;
    r.monitoredObject = pc.getObjectIdentifier();
    r.lifetime = 2;
    ASSERT_EQ(pc.subscribeCov(r), kErrorNone);
    for (int i = 0; i < 4; ++i) {
        sent.push_back(cycle());
    }
    // 999 ms a cycle: 2 s of lifetime end in the third cycle after the subscription.
    EXPECT_EQ(sent, (std::vector<size_t>{0, 0, 0, 1, 1, 1, 0}));
    EXPECT_EQ(pc.getCovSubscriptionCount(), 0u);
    stopCovTimerThread();  // before pc goes
}

}  // namespace
