// The device application with every thread the program runs beside its
// stack loop: the COV timer and event threads on a clock that lets each
// cycle count a second at once, a value thread storing present values
// through the objects' setters as the live-data import does, and a client
// that subscribes, reads, pages GetEventInformation, asks Who-Has and
// writes limits and recipient lists through the stack. Built for
// ThreadSanitizer, which must find no race; the checks here only show that
// every part ran.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <thread>

#include "bacnet/enums.h"
#include "device/object_sets.h"
#include "device_fixture.h"
#include "device_wire.h"
#include "fake_link.h"
#include "objects/object_threads.h"

namespace {

using devtest::DeviceTest;
using e2e::Bytes;
using e2e::cat;

constexpr uint16_t kVnet = 100;

// Each sleep lasts a millisecond of real time but moves the clock on to
// its deadline, so the threads run their cycles back to back.
class FastClock : public ObjectThreadClock {
  public:
    TimePoint now() override { return std::chrono::steady_clock::now() + skipped(); }
    void sleepUntil(std::unique_lock<std::mutex> &lock, std::condition_variable &cv, TimePoint deadline,
                    const std::function<bool()> &stopped) override {
        cv.wait_for(lock, std::chrono::milliseconds(1), stopped);
        const auto behind = deadline - now();
        if (behind.count() > 0) {
            skipped_.fetch_add(behind.count());
        }
        cycles.fetch_add(1);
    }
    std::atomic<uint64_t> cycles{0};

  private:
    std::chrono::steady_clock::duration skipped() const {
        return std::chrono::steady_clock::duration(skipped_.load());
    }
    std::atomic<std::chrono::steady_clock::rep> skipped_{0};
};

Bytes global(const Bytes &apdu) {
    return cat(Bytes{0x01, e2e::kHasDestination, 0xFF, 0xFF, 0x00, 0xFF}, apdu);
}

class Concurrency : public DeviceTest {};

TEST_F(Concurrency, StackLoopBesideTheObjectThreadsAndTheValueThread) {
    communicationConfig.type = 1;
    communicationConfig.setUdpPort(47808);
    devtest::MeterLayout layout = devtest::loadsLayout(2, 3);
    layout.network = kVnet;
    layout.inputs = {devtest::InputLayout{0, 0}, devtest::InputLayout{1, 1}};
    layout.pulseIds = {0, 1};
    devtest::buildSets(layout);
    // Root analog inputs that the moving values put in alarm.
    for (uint32_t instance : {1u, 2u, 3u, 21u}) {
        BACnetObject *o = objectMapFindId(deviceObjectMap, objectIdMake(kObjAnalogInput, instance));
        o->setHighLimit(1.0);
        o->enableToOffnormalEvent();
        o->enableToNormalEvent();
        o->setEventDetectionEnable(true);
        o->enableHighLimit();
    }
    harness::FakeLink link;
    ASSERT_TRUE(link.started());

    FastClock clock;
    objectThreadsSetClock(&clock);
    appSetLoadObjectMaps();
    startCovTimerThread();
    startEventThread();

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> stores{0};
    std::thread values([&] {
        for (uint32_t step = 1; !stop.load(); ++step) {
            auto move = [&](const ObjectMap &objects) {
                for (const auto &[id, object] : objects) {
                    if (object->isOutOfService()) {
                        continue;
                    }
                    if (auto *measured = dynamic_cast<MeasuredValue *>(object)) {
                        measured->setPresentValue(100.0 + (step + objectIdInstance(id)) % 7);
                    } else if (auto *converter = dynamic_cast<PulseConverter *>(object)) {
                        converter->setCount(step);
                    }
                }
            };
            move(deviceObjectMap);
            for (const auto &[vdi, load] : loadMapping) {
                move(load->getObjectMap());
            }
            stores.fetch_add(1);
        }
    });

    const uint32_t rootDevice = e2e::deviceObjectId(1000);
    const uint32_t nc = objectIdMake(kObjNotificationClass, 1);
    size_t answered = 0;
    // Rounds until both threads and the value thread have run many cycles
    // beside the loop.
    for (uint32_t round = 0; round < 60 || clock.cycles.load() < 200 || stores.load() < 50; ++round) {
        const uint32_t loadAi = objectIdMake(kObjAnalogInput, 8 + round % 4);
        const uint32_t rootAi = objectIdMake(kObjAnalogInput, 1 + round % 3);
        const std::vector<Bytes> requests = {
            e2e::toVirtual(kVnet, 1001, devwire::subscribeCov(1, round % 100, loadAi, round % 2 == 0, 5)),
            e2e::local(devwire::subscribeCov(2, round % 100, objectIdMake(kObjPulseConverter, 1), false, 3)),
            e2e::local(devwire::subscribeCov(3, round % 100, rootAi, false, 2)),
            e2e::local(devwire::writeProperty(4, rootAi, kPropHighLimit, devwire::real(round % 2 == 0 ? 1.0f : 500.0f))),
            e2e::local(devwire::writeProperty(5, rootAi, kPropLowLimit, devwire::real(-1.0f))),
            e2e::local(devwire::writeProperty(6, nc, kPropRecipientList, devwire::recipientList(1000 + round % 3))),
            e2e::toVirtual(kVnet, 1002, devwire::writeProperty(7, nc, kPropRecipientList, devwire::recipientList(4711))),
            e2e::toVirtual(kVnet, 1001, devwire::writeProperty(8, loadAi, kPropCovIncrement, devwire::real(0.5f))),
            e2e::local(e2e::rpm(9, {{rootAi, {{kPropAll}}}})),
            e2e::toVirtual(kVnet, 1001, e2e::rp(10, e2e::deviceObjectId(1001), kPropActiveCovSubscriptions)),
            e2e::local(e2e::rp(11, rootDevice, kPropActiveCovSubscriptions)),
            e2e::local(devwire::getEventInformation(12)),
            e2e::toVirtual(kVnet, 1002, devwire::getEventInformation(13)),
            e2e::local(e2e::rpm(14, {{nc, {{kPropAll}}}})),
        };
        for (const Bytes &r : requests) {
            answered += link.request(r).empty() ? 0 : 1;
        }
        link.request(global(devwire::whoHasName("Total Real Power (kW)")), true);
    }
    stop.store(true);
    values.join();
    stopCovTimerThread();
    stopEventThread();
    objectThreadsSetClock(nullptr);

    EXPECT_GT(answered, 0u);
    EXPECT_GT(stores.load(), 0u);
    EXPECT_GE(clock.cycles.load(), 200u);
}

}  // namespace
