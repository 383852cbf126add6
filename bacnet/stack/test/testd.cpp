// bacnet-testd: the stack with the test application in the runtime's 5 ms
// loop, on BACnet/IP, BACnet/IPv6 or MS/TP over the emulated line discipline.
// For end-to-end tests, interoperability checks and benchmarks; the real
// program is the meter's BACnet server. `bacnet-testd --help` lists the
// options.
//
// Prints "ready" on standard output once the stack has started; on MS/TP with
// a peer station, "peer: ReadProperty answered" once the peer's request has
// been answered. SIGINT and SIGTERM stop it. A notifier thread changes the
// analog inputs' present values and sends COV and event notifications, as the
// object model's threads do; a ReinitializeDevice warm start restarts the
// stack in-process.

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bacnet/enums.h"
#include "bacnet/stack/app.h"
#include "bacnet/stack/bip.h"
#include "bacnet/stack/notify.h"
#include "bacnet/stack/npdu.h"
#include "bacnet/stack/stack.h"
#include "harness.h"
#include "mstp/emulator.h"
#include "periodic_thread.h"
#include "test_app.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) {
    stopRequested = 1;
}

const char *const kUsage =
    "usage: bacnet-testd [--datalink bip|bipv6|mstp] [options]\n"
    "\n"
    "BACnet/IP (the default):\n"
    "  --address A.B.C.D       the own IPv4 address (required)\n"
    "  --broadcast A.B.C.D     the broadcast address (default: the /24's)\n"
    "  --port N                the UDP port (default 47808)\n"
    "BACnet/IPv6 (--datalink bipv6):\n"
    "  --address ADDR          the own IPv6 address (required)\n"
    "  --multicast GROUP       the multicast group (default ff02::bac0)\n"
    "  --port N                the UDP port (default 47808)\n"
    "MS/TP (--datalink mstp), over the emulated line discipline, never a tty:\n"
    "  --mac N                 the own MAC address, 0..127 (default 5)\n"
    "  --max-master N          (default 127)\n"
    "  --baud TEXT             (default 38400)\n"
    "  --pcap FILE             records the bus (linktype 165) into FILE\n"
    "  --peer N                a peer station at MAC N that sends Who-Is and,\n"
    "                          once answered, a ReadProperty of the object name\n"
    "The device:\n"
    "  --instance N            the root device's instance (default 1234)\n"
    "  --objects N             analog inputs of the root device (default 10)\n"
    "  --virtual-objects N     analog inputs of each virtual device (default 3)\n"
    "  --virtual-network N     the virtual network (default 100)\n"
    "  --virtual-devices N     virtual devices 42, 43, ... (default 3)\n"
    "  --password TEXT         password of DeviceCommunicationControl and\n"
    "                          ReinitializeDevice (default \"secret\")\n"
    "  --period MS             every MS milliseconds the notifier adds 1.0 to the\n"
    "                          present value of each subscribed analog input and\n"
    "                          sends its COV notifications, and sends an\n"
    "                          out-of-range event notification (global broadcast)\n"
    "                          for each object in alarm; 0 turns the notifier off\n"
    "                          (default 1000)\n"
    "  --alarm N               root analog input N is in alarm (high limit): listed\n"
    "                          by GetEventInformation; may be given several times\n"
    "  --segmentation N        segmentation-supported: 0 both, 1 transmit\n"
    "                          (default), 2 receive, 3 none\n"
    "  --help                  this text\n";

int usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

// The object model's part: value changes with their COV notifications, and
// the event notifications of the objects in alarm.
class Notifier {
  public:
    Notifier(uint32_t periodMs, std::vector<uint32_t> alarms) : periodMs_(periodMs), alarms_(std::move(alarms)) {}

    void start() {
        if (periodMs_ != 0) {
            thread_.start(std::chrono::milliseconds(periodMs_), [this](uint32_t n) { notifyOnce(n); });
        }
    }
    void stop() { thread_.stop(); }

  private:
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
    PeriodicThread thread_;  // last: stopped before the members it uses go
};

// The peer station of --peer: it has seen its ReadProperty answered.
std::atomic<bool> peerAnswered{false};

// Where the APDU of an NPDU starts (past DNET, SNET and hop count), or 0
// for a network-layer message or an NPDU too short for its header. The peer
// reads it by itself rather than through the stack it talks to.
size_t apduOffset(const std::vector<uint8_t> &npdu) {
    if (npdu.size() < 2 || (npdu[1] & kNpduNetworkMessage) != 0) {
        return 0;
    }
    size_t at = 2;
    if (npdu[1] & kNpduDnetPresent) {
        at += 3 + (npdu.size() > at + 2 ? npdu[at + 2] : 0);
    }
    if (npdu[1] & kNpduSnetPresent) {
        at += 3 + (npdu.size() > at + 2 ? npdu[at + 2] : 0);
    }
    if (npdu[1] & kNpduDnetPresent) {
        at += 1;  // hop count
    }
    return at + 2 <= npdu.size() ? at : 0;
}

// The peer's script: Who-Is has gone out from main(); the I-Am of the root
// device brings the ReadProperty of its object name, the ComplexACK ends the
// script.
mstpemu::Station peerStation(uint8_t meter, uint32_t instance) {
    return [meter, instance](const mstpemu::Frame &seen) {
        std::vector<mstpemu::Frame> answers;
        size_t at = seen.source == meter ? apduOffset(seen.data) : 0;
        if (at == 0) {
            return answers;
        }
        const uint8_t *apdu = seen.data.data() + at;
        const uint32_t device = objectIdMake(kObjDevice, instance);
        bool rootIAm = apdu[0] == apduFirstOctet(kPduUnconfirmedRequest) && apdu[1] == kSvcIAm &&
                       (seen.data[1] & kNpduSnetPresent) == 0;
        if (rootIAm) {
            answers.push_back(
                mstpemu::Frame{kMstpFrameBacnetDataExpectingReply,
                               meter,
                               0,
                               {kNpduVersion, kNpduExpectingReply, apduFirstOctet(kPduConfirmedRequest), 0x05,
                                0x01, kSvcReadProperty, 0x0C, static_cast<uint8_t>(device >> 24),
                                static_cast<uint8_t>(device >> 16), static_cast<uint8_t>(device >> 8),
                                static_cast<uint8_t>(device), 0x19, kPropObjectName}});
        } else if (seen.destination != kMstpBroadcast && apdu[0] == apduFirstOctet(kPduComplexAck)) {
            peerAnswered = true;
        }
        return answers;
    };
}

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
    uint8_t port = kPortBip;
    std::string addressText;
    uint32_t address = 0;
    uint32_t broadcast = 0xFFFFFFFFu;
    bool haveBroadcast = false;
    unsigned long periodMs = 1000;
    std::string pcap;
    int peer = -1;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            return usage();
        }
        const char *value = argv[++i];
        unsigned long n = 0;
        in_addr a{};
        if (option == "--datalink") {
            std::string d = value;
            if (d == "bip") {
                port = kPortBip;
            } else if (d == "bipv6") {
                port = kPortBipv6;
            } else if (d == "mstp") {
                port = kPortMstp;
            } else {
                return usage();
            }
        } else if (option == "--address") {
            addressText = value;
        } else if (option == "--multicast") {
            config.bipv6Multicast = value;
        } else if (option == "--mac" && parseNumber(value, 127, &n)) {
            config.mstpMac = static_cast<uint8_t>(n);
        } else if (option == "--max-master" && parseNumber(value, 127, &n)) {
            config.maxMaster = static_cast<uint8_t>(n);
        } else if (option == "--baud") {
            config.mstpBaud = value;
        } else if (option == "--pcap") {
            pcap = value;
        } else if (option == "--peer" && parseNumber(value, 254, &n)) {
            peer = static_cast<int>(n);
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
    if (port == kPortBip) {
        in_addr a{};
        if (inet_pton(AF_INET, addressText.c_str(), &a) != 1) {
            return usage();
        }
        address = a.s_addr;
        // The directed broadcast of a /24 by default.
        bipOwnAddress = address;
        bipBroadcastAddress = haveBroadcast ? broadcast : (address | htonl(0xFFu));
    } else if (port == kPortBipv6) {
        if (addressText.empty()) {
            return usage();
        }
        config.bipv6Address = addressText;
    } else {
        if (peer == config.mstpMac) {
            return usage();
        }
        mstpemu::reset(config.mstpTty);
        if (!pcap.empty() && !mstpemu::capture(pcap)) {
            std::fprintf(stderr, "bacnet-testd: cannot write %s\n", pcap.c_str());
            return 1;
        }
        if (peer >= 0) {
            mstpemu::addStation(static_cast<uint8_t>(peer), peerStation(config.mstpMac, config.rootInstance));
        }
        harness::installMstpEmulator();
    }
    testapp::configure(config);

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    if (!stackInit(port)) {
        for (const auto &line : testapp::logLines()) {
            std::fprintf(stderr, "%s\n", line.c_str());
        }
        std::fprintf(stderr, "bacnet-testd: the datalink did not start\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    Notifier notifier(static_cast<uint32_t>(periodMs), config.alarmObjects);
    notifier.start();
    if (port == kPortMstp && peer >= 0) {
        // The peer's global Who-Is, broadcast on the bus.
        mstpemu::send(mstpemu::Frame{kMstpFrameBacnetDataNotExpectingReply,
                                     kMstpBroadcast,
                                     static_cast<uint8_t>(peer),
                                     {kNpduVersion, kNpduDnetPresent, 0xFF, 0xFF, 0x00, 0xFF,
                                      apduFirstOctet(kPduUnconfirmedRequest), kSvcWhoIs}});
    }
    bool peerReported = false;

    // The runtime's cycle: every 5 ms the timer step with the previous
    // cycle's elapsed milliseconds, then one receive-and-dispatch step.
    using Clock = std::chrono::steady_clock;
    auto last = Clock::now();
    auto next = last;
    uint32_t elapsed = 5;
    while (!stopRequested) {
        if (testapp::takeWarmStartRequest()) {
            // The runtime's restart: the notifying thread stops before the
            // stack does, and starts again after it; the MS/TP line stays
            // open across it.
            notifier.stop();
            stackRestarting = 1;
            stackShutdown();
            bool restarted = stackInit(port);
            stackRestarting = 0;
            if (!restarted) {
                std::fprintf(stderr, "bacnet-testd: the datalink did not restart\n");
                return 1;
            }
            notifier.start();
        }
        stackTick(elapsed);
        stackProcess();
        if (!peerReported && peerAnswered) {
            peerReported = true;
            std::printf("peer: ReadProperty answered\n");
            std::fflush(stdout);
        }
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
    mstpemu::stopCapture();
    return 0;
}
