// bacnet-testd: the stack with the test application on BACnet/IP, in the
// runtime's 5 ms loop. For end-to-end tests, interoperability checks and
// benchmarks; the real program is the meter's BACnet server.
//
//   bacnet-testd --address A.B.C.D [options]   (--help lists them)
//
// Prints "ready" on standard output once the stack has started; SIGINT and
// SIGTERM stop it. A notifier thread changes the analog inputs' present
// values and sends COV and event notifications, as the object model's
// threads do; a ReinitializeDevice warm start restarts the stack in-process.

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "bacnet/stack/bip.h"
#include "bacnet/stack/notify.h"
#include "bacnet/stack/stack.h"
#include "test_app.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) {
    stopRequested = 1;
}

const char kHelp[] =
    "usage: bacnet-testd --address A.B.C.D [options]\n"
    "\n"
    "  --address A.B.C.D      own IPv4 address (required)\n"
    "  --broadcast A.B.C.D    broadcast address (default: the /24 of --address)\n"
    "  --port N               UDP port (default 47808)\n"
    "  --instance N           root device instance (default 1234)\n"
    "  --objects N            analog inputs of the root device (default 10)\n"
    "  --virtual-objects N    analog inputs of each virtual device (default 3)\n"
    "  --virtual-network N    network number of the virtual devices (default 100)\n"
    "  --virtual-devices N    virtual devices, instances 42 upwards (default 3)\n"
    "  --password TEXT        password of DeviceCommunicationControl and ReinitializeDevice\n"
    "                         (default \"secret\")\n"
    "  --period MS            every MS milliseconds the notifier adds 1.0 to the present value of\n"
    "                         each subscribed analog input and sends its COV notifications, and\n"
    "                         sends an out-of-range event notification (global broadcast) for\n"
    "                         each object in alarm; 0 turns the notifier off (default 1000)\n"
    "  --alarm N              root analog input N is in alarm (high limit): listed by\n"
    "                         GetEventInformation; may be given several times\n"
    "  --segmentation N       segmentation-supported: 0 both, 1 transmit (default), 2 receive,\n"
    "                         3 none\n"
    "  --help                 this text\n";

int usage() {
    std::fprintf(stderr, "%s", kHelp);
    return 2;
}

// The object model's part: value changes with their COV notifications, and
// the event notifications of the objects in alarm.
class Notifier {
  public:
    Notifier(uint32_t periodMs, std::vector<uint32_t> alarms) : periodMs_(periodMs), alarms_(std::move(alarms)) {}
    ~Notifier() { stop(); }

    void start() {
        if (periodMs_ == 0 || thread_.joinable()) {
            return;
        }
        stopping_ = false;
        thread_ = std::thread([this] { run(); });
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
    void run() {
        std::unique_lock lock(mutex_);
        uint32_t sequence = 0;
        while (!wake_.wait_for(lock, std::chrono::milliseconds(periodMs_), [this] { return stopping_; })) {
            lock.unlock();
            notifyOnce(++sequence);
            lock.lock();
        }
    }

    void notifyOnce(uint32_t sequence) {
        for (const auto &[device, objectId] : testapp::subscribedObjects()) {
            uint32_t instance = objectIdInstance(objectId);
            float value = testapp::presentValue(instance) + 1.0f;
            testapp::setPresentValue(instance, value);
            CovPropertyValue values[2]{};
            values[0] = {objectId, kPropPresentValue, 0xFFFFFFFFu, {}};
            values[0].value.datatype = kDtReal;
            values[0].value.value.f = value;
            values[1] = {objectId, kPropStatusFlags, 0xFFFFFFFFu, {}};
            values[1].value.datatype = kDtBitString;
            values[1].value.length = 4;
            for (CovSubscriber s : testapp::subscriptions(device, objectId)) {
                s.values = values;
                s.valueCount = 2;
                report("COV", svcSendCovNotification(device, &s));
            }
        }
        for (uint32_t instance : alarms_) {
            EventNotificationData d{};
            d.processId = 0;
            d.initiatingDevice = testapp::config().rootInstance;
            d.eventObject = objectIdMake(kObjAnalogInput, instance);
            d.notificationClass = 1;
            d.timeStamp.choice = kTimeStampSequenceNumber;
            d.timeStamp.sequenceNumber = static_cast<uint16_t>(sequence);
            d.eventType = kEventOutOfRange;
            d.fromState = 0;
            d.toState = 3;
            d.notifyType = kNotifyAlarm;
            d.priority = 100;
            d.ackRequired = 1;
            EventValues v{};
            v.outOfRange = {testapp::presentValue(instance), 1.0f, 10.0f, 0x80};
            report("event", svcSendEventNotification(-1, -1, &d, &v, nullptr));
        }
    }

    static void report(const char *what, int result) {
        if (result < 0) {
            std::fprintf(stderr, "bacnet-testd: %s notification failed: %d\n", what, result);
        }
    }

    uint32_t periodMs_;
    std::vector<uint32_t> alarms_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

bool parseNumber(const char *text, unsigned long max, unsigned long *out) {
    char *end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v > max) {
        return false;
    }
    *out = v;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    testapp::Config config;
    config.rootObjects = 10;
    uint32_t address = 0;
    uint32_t broadcast = 0xFFFFFFFFu;
    bool haveAddress = false;
    bool haveBroadcast = false;
    unsigned long periodMs = 1000;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--help") {
            std::printf("%s", kHelp);
            return 0;
        }
        if (i + 1 >= argc) {
            return usage();
        }
        const char *value = argv[++i];
        unsigned long n = 0;
        in_addr a{};
        if (option == "--address" && inet_pton(AF_INET, value, &a) == 1) {
            address = a.s_addr;
            haveAddress = true;
        } else if (option == "--broadcast" && inet_pton(AF_INET, value, &a) == 1) {
            broadcast = a.s_addr;
            haveBroadcast = true;
        } else if (option == "--port" && parseNumber(value, 65535, &n) && n > 0) {
            config.udpPort = static_cast<uint16_t>(n);
        } else if (option == "--instance" && parseNumber(value, 0x3FFFFE, &n)) {
            config.rootInstance = static_cast<uint32_t>(n);
        } else if (option == "--objects" && parseNumber(value, 1000, &n)) {
            config.rootObjects = static_cast<int>(n);
        } else if (option == "--virtual-objects" && parseNumber(value, 1000, &n)) {
            config.virtualObjects = static_cast<int>(n);
        } else if (option == "--virtual-network" && parseNumber(value, 65534, &n)) {
            config.virtualNetwork = static_cast<uint16_t>(n);
        } else if (option == "--password" && *value != '\0' && std::strlen(value) <= 20) {
            config.password = value;
        } else if (option == "--period" && parseNumber(value, 3600000, &n)) {
            periodMs = n;
        } else if (option == "--alarm" && parseNumber(value, 1000, &n) && n > 0) {
            config.alarmObjects.push_back(static_cast<uint32_t>(n));
        } else if (option == "--segmentation" && parseNumber(value, 3, &n)) {
            config.segmentationSupported = static_cast<uint8_t>(n);
            config.maxSegmentsAccepted = 64;
        } else if (option == "--virtual-devices" && parseNumber(value, 100, &n)) {
            config.virtualDevices.clear();
            for (unsigned long d = 0; d < n; ++d) {
                config.virtualDevices.push_back(static_cast<int32_t>(42 + d));
            }
        } else {
            return usage();
        }
    }
    if (!haveAddress) {
        return usage();
    }
    if (!haveBroadcast) {
        // The directed broadcast of a /24 by default.
        broadcast = address | htonl(0xFFu);
    }
    testapp::configure(config);
    bipOwnAddress = address;
    bipBroadcastAddress = broadcast;

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    if (!stackInit(kPortBip)) {
        for (const auto &line : testapp::logLines()) {
            std::fprintf(stderr, "%s\n", line.c_str());
        }
        std::fprintf(stderr, "bacnet-testd: the BACnet/IP datalink did not start\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    Notifier notifier(static_cast<uint32_t>(periodMs), config.alarmObjects);
    notifier.start();

    // The runtime's cycle: every 5 ms the timer step with the previous
    // cycle's elapsed milliseconds, then one receive-and-dispatch step.
    using Clock = std::chrono::steady_clock;
    auto last = Clock::now();
    auto next = last;
    uint32_t elapsed = 5;
    while (!stopRequested) {
        if (testapp::takeWarmStartRequest()) {
            // The runtime's restart: the notifying thread stops before the
            // stack does, and starts again after it.
            notifier.stop();
            stackShutdown();
            if (!stackInit(kPortBip)) {
                std::fprintf(stderr, "bacnet-testd: the BACnet/IP datalink did not restart\n");
                return 1;
            }
            notifier.start();
        }
        stackTick(elapsed);
        stackProcess();
        next += std::chrono::milliseconds(5);
        std::this_thread::sleep_until(next);
        auto now = Clock::now();
        if (now - next > std::chrono::milliseconds(100)) {
            next = now;  // fell behind: do not try to catch up
        }
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count();
        elapsed = static_cast<uint32_t>(ms);
        last += std::chrono::milliseconds(ms);
    }
    notifier.stop();
    stackShutdown();
    return 0;
}
