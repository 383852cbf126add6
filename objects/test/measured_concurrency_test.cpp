// The measured values on the threads that use them at once: the poller
// storing values and counts, the COV timer ticking, the main thread
// subscribing, cancelling and writing limits, out-of-service, adjust-values
// and recipients, the event thread reporting. Built twice: against the
// recording senders, and against the stack's own senders on a fake socket
// (OBJECTS_REAL_SENDERS), so that a lock cycle through the stack shows.
// Run under ThreadSanitizer (tsan build) and AddressSanitizer (asan build).

#include "objects/analog_input.h"
#include "objects/notification_class.h"
#include "objects/pulse_converter.h"
#include "device/config.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#ifdef OBJECTS_REAL_SENDERS
#include "harness.h"
#else
#include "fake_stack.h"
#endif

namespace {

CovSubscriber request(uint32_t processId, uint32_t monitored, uint32_t lifetime, bool cancel = false) {
    CovSubscriber r{};
    r.subscriber.port = kPortBip;
    r.subscriber.macLength = 6;
    const uint8_t mac[6] = {192, 0, 2, 20, 0xBA, 0xC0};
    std::memcpy(r.subscriber.mac, mac, 6);
    r.processId = processId;
    r.monitoredObject = monitored;
    r.lifetime = lifetime;
    r.cancel = cancel ? 1 : 0;
    return r;
}

BACnetDestination recipient(uint32_t device, uint16_t network = 0) {
    BACnetDestination d;
    std::memset(&d, 0, sizeof d);
    d.validDays = 0xFE;
    d.transitions = 0xE0;
    d.to = {23, 59, 59, 0};
    if (device != 0) {
        d.recipient.choice = kRecipientDevice;
        d.recipient.device = objectIdMake(kObjDevice, device);
    } else {
        d.recipient.choice = kRecipientAddress;
        d.recipient.network = network;
        d.recipient.macLength = 1;
        d.recipient.mac[0] = 9;
    }
    return d;
}

void report(BACnetObject &o) {
    o.setEventDetectionEnable(true);
    o.setEventAlgorithmInhibit(false);
    o.enableToOffnormalEvent();
    o.enableToNormalEvent();
    o.setDeviceInstance(1234);
}

TEST(MeasuredConcurrency, PollerCovTimerMainAndEventThreadsAtOnce) {
#ifdef OBJECTS_REAL_SENDERS
    harness::Stack stack;
    ASSERT_TRUE(stack.started());
    // The datalink and the base instance of the configuration records, as
    // the program provides them.
    ProgramServices services;
    services.datalinkType = [](void *) { return communicationConfig.getDatalinkType(); };
    services.baseInstance = [](void *) { return communicationConfig.getBaseInstance(); };
    programSetServices(services);
#else
    fake_stack::reset();
#endif
    communicationConfig.type = 1;
    communicationConfig.setBaseInstance(1234);
    NotificationClass nc(1, "Alarms", 1);
    AnalogInput ai(3, "kW", 48);
    LargeAnalogValue lav(4, "kWh", 19);
    PulseConverter pc(1, "Pulse Input #1", 95);
    std::vector<BACnetObject *> objects{&ai, &lav, &pc};
    for (BACnetObject *o : objects) {
        report(*o);
    }
    ai.setNotificationClassLink(&nc);
    lav.setNotificationClassLink(&nc);
    pc.setNotificationClassLink(&nc);
    pc.setCovPeriod(1);

    std::atomic<bool> done{false};
    std::thread poller([&] {
        for (uint32_t i = 0; !done.load(); ++i) {
            const double v = (i % 40) * 5.0;
            ai.setPresentValue(v);
            lav.setPresentValue(v * 1000);
            pc.setCount(i % 300);
        }
    });
    std::thread covTimer([&] {
        while (!done.load()) {
            for (BACnetObject *o : objects) {
                if (o->getCovSubscriptionCount() > 0) {
                    o->tickCovPeriod(300);
                    o->tickCov(300);
                }
            }
        }
    });
    std::thread eventThread([&] {
        while (!done.load()) {
            for (BACnetObject *o : objects) {
                o->tickReporting(400);
            }
        }
    });
    for (int i = 0; i < 1500; ++i) {
        BACnetObject &o = *objects[static_cast<size_t>(i) % objects.size()];
        const uint32_t id = o.getObjectIdentifier();
        o.subscribeCov(request(static_cast<uint32_t>(i % 3), id, 30));
        o.setOutOfService(i % 7 == 0);
        if (i % 2 == 0) {
            o.enableHighLimit();
            o.setHighLimit(100 + i % 50);
        } else {
            o.enableLowLimit();
            o.setLowLimit(10);
            o.disableHighLimit();
        }
        o.setDeadband(i % 3);
        o.setTimeDelay(static_cast<uint32_t>(i % 2));
        if (i % 5 == 0) {
            nc.replaceRecipients({recipient(77), recipient(0, 0), recipient(0, 5)});
        } else if (i % 5 == 3) {
            nc.replaceRecipients({});
        }
        pc.writeAdjustValue(i % 4);
        o.subscribeCov(request(static_cast<uint32_t>(i % 3), id, 0, true));
    }
    done.store(true);
    poller.join();
    covTimer.join();
    eventThread.join();
    for (BACnetObject *o : objects) {
        o->clearCovSubscriptions();
        EXPECT_EQ(o->getCovSubscriptionCount(), 0u);
    }
    communicationConfig.type = 0;
    communicationConfig.setBaseInstance(0);
}

}  // namespace
