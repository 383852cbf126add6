// The COV timer and event threads running over the root's and two loads'
// objects while a poller stores values and the main thread subscribes,
// cancels and writes limits, out-of-service and recipients, then stopped
// while those go on. Run under ThreadSanitizer (tsan build) and
// AddressSanitizer (asan build); once on a clock moved by hand, so that
// the threads surely walk, and once on the steady clock, whose stops come
// in the middle of a real sleep.

#include "fake_stack.h"
#include "manual_clock.h"
#include "objects/analog_input.h"
#include "objects/binary_value.h"
#include "objects/multi_state_value.h"
#include "objects/notification_class.h"
#include "objects/object_threads.h"
#include "objects/pulse_converter.h"
#include "device/config.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

CovSubscriber request(uint32_t processId, uint32_t monitored, uint32_t lifetime, bool cancel = false) {
    CovSubscriber r{};
    r.subscriber.macLength = 1;
    r.subscriber.mac[0] = 20;
    r.processId = processId;
    r.monitoredObject = monitored;
    r.lifetime = lifetime;
    r.cancel = cancel ? 1 : 0;
    return r;
}

BACnetDestination recipient(uint32_t device) {
    BACnetDestination d;
    std::memset(&d, 0, sizeof d);
    d.validDays = 0xFE;
    d.transitions = 0xE0;
    d.to = {23, 59, 59, 0};
    d.recipient.choice = kRecipientDevice;
    d.recipient.device = objectIdMake(kObjDevice, device);
    return d;
}

struct Device {
    Device(uint32_t deviceInstance, uint32_t first)
        : nc(1, "Alarms", 1), ai(first, "kW", 48), lav(first + 1, "kWh", 19), pc(first, "Pulse", 95),
          bv(first, "Alarm", "Off", "On"), msv(first, "Mode", 0) {
        for (BACnetObject *o : measured()) {
            o->setDeviceInstance(deviceInstance);
            o->setEventDetectionEnable(true);
            o->setEventAlgorithmInhibit(false);
            o->enableToOffnormalEvent();
            o->enableToNormalEvent();
        }
        ai.setNotificationClassLink(&nc);
        lav.setNotificationClassLink(&nc);
        pc.setNotificationClassLink(&nc);
        pc.setCovPeriod(1);
        for (BACnetObject *o : std::vector<BACnetObject *>{&nc, &ai, &lav, &pc, &bv, &msv}) {
            objectMapAdd(map, o);
        }
    }
    std::vector<BACnetObject *> measured() { return {&ai, &lav, &pc}; }

    ObjectMap map;
    NotificationClass nc;
    AnalogInput ai;
    LargeAnalogValue lav;
    PulseConverter pc;
    BinaryValue bv;
    MultiStateValue msv;
};

TEST(ObjectThreadsConcurrency, ThreadsBesideSubscribersWritesAndAStop) {
    for (const bool manual : {true, false}) {
        SCOPED_TRACE(manual ? "clock moved by hand" : "steady clock");
        fake_stack::reset();
        communicationConfig.type = 1;
        communicationConfig.setBaseInstance(1234);
        Device root(1234, 1);
        Device load1(5001, 1);
        Device load2(5002, 1);
        deviceObjectMap = root.map;
        setLoadObjectMapsSource([&] { return std::vector<const ObjectMap *>{&load1.map, &load2.map}; });
        ManualClock clock;
        objectThreadsSetClock(manual ? &clock : nullptr);
        std::vector<BACnetObject *> measured;
        for (Device *d : {&root, &load1, &load2}) {
            for (BACnetObject *o : d->measured()) {
                measured.push_back(o);
            }
        }

        startCovTimerThread();
        startEventThread();
        std::atomic<bool> done{false};
        std::thread poller([&] {
            for (uint32_t i = 0; !done.load(); ++i) {
                for (Device *d : {&root, &load1, &load2}) {
                    d->ai.setPresentValue((i % 40) * 5.0);
                    d->lav.setPresentValue((i % 40) * 5000.0);
                    d->pc.setCount(i % 300);
                }
            }
        });
        std::thread mainThread([&] {
            for (uint32_t i = 0; !done.load(); ++i) {
                BACnetObject &o = *measured[i % measured.size()];
                const uint32_t id = o.getObjectIdentifier();
                o.subscribeCov(request(i % 3, id, 30));
                o.setOutOfService(i % 7 == 0);
                o.enableHighLimit();
                o.setHighLimit(100 + i % 50);
                o.setDeadband(i % 3);
                o.setTimeDelay(i % 2);
                root.nc.replaceRecipients(i % 2 == 0 ? std::vector<BACnetDestination>{recipient(77), recipient(78)}
                                                     : std::vector<BACnetDestination>{});
                if (i % 4 == 0) {
                    o.subscribeCov(request(i % 3, id, 0, true));
                }
            }
        });
        if (manual) {
            // Both threads sleep at once: each step wakes both for one walk.
            clock.waitForSleeps(2);
            for (size_t cycle = 1; cycle <= 300; ++cycle) {
                clock.advance(1000ms);
                clock.waitForSleeps(2 * (cycle + 1));
            }
        } else {
            while (fake_stack::covCalls().size() < 200) {
                std::this_thread::yield();
            }
        }
        stopCovTimerThread();
        stopEventThread();
        done.store(true);
        poller.join();
        mainThread.join();

        EXPECT_FALSE(covTimerActive.load());
        EXPECT_FALSE(eventActive.load());
        if (manual) {
            EXPECT_GT(fake_stack::covCalls().size(), 0u);
            EXPECT_GT(fake_stack::eventCalls().size(), 0u);
        }
        for (BACnetObject *o : measured) {
            o->clearCovSubscriptions();
        }
        deviceObjectMap.clear();
        setLoadObjectMapsSource(nullptr);
        objectThreadsSetClock(nullptr);
    }
    communicationConfig.type = 0;
    communicationConfig.setBaseInstance(0);
}

}  // namespace
