// device-testd: the stack on BACnet/IP in the runtime's 5 ms loop with the
// real device application, its object sets built by the tests' builder
// instead of TQR's mapping, state files under METER_ROOT, and the object
// model's COV timer and event threads. For end-to-end tests and benchmarks;
// the real program is Talvik. `device-testd --help` lists the options.
//
// TQR (login, Device pushes) is whatever answers on 127.0.0.1:8160, as for
// the real program: run the stand-in there. Prints "ready" once the stack
// has started and "restarted" after each restart. SIGINT and SIGTERM save
// the state files and stop it; a ReinitializeDevice warm start restarts it
// as the runtime does: threads stopped, sets saved and cleared, stack shut
// down, everything built, loaded and started again.

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bacnet/enums.h"
#include "bacnet/stack/app.h"
#include "bacnet/stack/bip.h"
#include "bacnet/stack/stack.h"
#include "device/application.h"
#include "device/object_sets.h"
#include "objects/object_threads.h"
#include "device/config.h"
#include "runtime/log.h"
#include "runtime/state.h"
#include "runtime/state_dirs.h"
#include "runtime/tqr/transport.h"
#include "periodic_thread.h"
#include "set_builder.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) {
    stopRequested = 1;
}

const char *const kUsage =
    "usage: device-testd [options]\n"
    "\n"
    "  --address A.B.C.D       the own IPv4 address (default: eth0's)\n"
    "  --broadcast A.B.C.D     the broadcast address (default: eth0's, or the /24's)\n"
    "  --port N                the UDP port (default 47808)\n"
    "  --instance N            the root device's instance (default 1000)\n"
    "  --name TEXT             the root device's name (default \"Meter\")\n"
    "  --virtual-network N     the loads' network (default 100)\n"
    "  --inputs N              voltage inputs, 0..2 (default 2)\n"
    "  --pulses N              pulse inputs, 0..2 (default 2)\n"
    "  --load CHANNELS         a load whose CTs are on these sample channels,\n"
    "                          comma-separated, at most three (6..53 valid,\n"
    "                          any other an invalid CT), or \"none\"; may be\n"
    "                          given up to 48 times (default: none; 6; 7,8;\n"
    "                          9,10,11)\n"
    "  --loads N --cts K       N loads of K CTs each instead\n"
    "  --values                move the present values once a second, as the\n"
    "                          live-data import does\n"
    "  --alarms N              the first N analog inputs of the root device get\n"
    "                          a high limit of 1 with event detection, so that\n"
    "                          moving values put them in alarm\n"
    "  --help                  this text\n";

int usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

// "none", or up to three sample channels separated by commas.
bool parseChannels(const std::string &text, std::vector<int> *out) {
    out->clear();
    if (text == "none") {
        return true;
    }
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, comma - at);
        char *end = nullptr;
        const long channel = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || channel < 0 || channel > 54 || out->size() == 3) {
            return false;
        }
        out->push_back(static_cast<int>(channel));
        at = comma + 1;
    }
    return true;
}

bool parseNumber(const char *text, unsigned long max, unsigned long *out) {
    char *end = nullptr;
    errno = 0;
    unsigned long n = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || n > max) {
        return false;
    }
    *out = n;
    return true;
}

// Moves present values through the objects' own setters once a second, on
// a thread of its own, as the poller thread of the program does.
class ValueThread {
  public:
    void start() {
        // The steps go on counting across restarts.
        thread_.start(std::chrono::seconds(1), [this](uint32_t) { step(++step_); });
    }
    void stop() { thread_.stop(); }

  private:
    static double valueOf(uint32_t step, uint32_t objectId) {
        return 100.0 + 10.0 * std::sin(0.1 * step + 0.01 * objectIdInstance(objectId));
    }
    // Only into objects in service: an out-of-service object keeps the value
    // a client wrote, as with the import.
    static void move(const ObjectMap &objects, uint32_t step) {
        for (const auto &[id, object] : objects) {
            if (object->isOutOfService()) {
                continue;
            }
            if (auto *measured = dynamic_cast<MeasuredValue *>(object)) {
                measured->setPresentValue(valueOf(step, id));
            } else if (auto *converter = dynamic_cast<PulseConverter *>(object)) {
                converter->setCount(step * objectIdInstance(id));
            }
        }
    }
    static void step(uint32_t step) {
        move(deviceObjectMap, step);
        for (const auto &[vdi, load] : loadMapping) {
            move(load->getObjectMap(), step);
        }
    }

    uint32_t step_ = 0;
    PeriodicThread thread_;  // last: stopped before step_ goes
};

struct Options {
    uint32_t address = 0;
    uint32_t broadcast = 0;
    bool haveAddress = false;
    bool haveBroadcast = false;
    devtest::MeterLayout layout;
    bool values = false;
    unsigned long alarms = 0;
};

// What an alarm import would set on the first n root analog inputs.
void configureAlarms(unsigned long n) {
    for (const auto &[id, object] : deviceObjectMap) {
        if (n == 0) {
            break;
        }
        if (objectIdType(id) != kObjAnalogInput) {
            continue;
        }
        object->setHighLimit(1.0);
        object->setDeadband(0.0);
        object->setTimeDelay(0);
        object->setTimeDelayNormal(0);
        object->enableToOffnormalEvent();
        object->enableToNormalEvent();
        object->setEventDetectionEnable(true);
        object->setEventAlgorithmInhibit(false);
        object->enableHighLimit();
        --n;
    }
}

// A client may give a phase angle in radians or degrees once the mapping
// import has set it up; the builder leaves that to the import.
void allowUnitsOfPhaseAngles(const ObjectMap &objects) {
    constexpr uint32_t kDegreesPhase = 14;
    for (const auto &[id, object] : objects) {
        if (objectIdType(id) == kObjAnalogInput && object->getUnits() == kDegreesPhase) {
            object->setUnitsReadOnly(false);
        }
    }
}

// The sets, their state folders and their saved state, loaded twice as the
// start-up loads it around the alarm import.
bool buildAndLoad(const Options &o) {
    devtest::buildSets(o.layout);
    allowUnitsOfPhaseAngles(deviceObjectMap);
    for (const auto &[vdi, load] : loadMapping) {
        allowUnitsOfPhaseAngles(load->getObjectMap());
    }
    std::vector<unsigned> loadIds;
    std::vector<unsigned> inputIds;
    for (const auto &[vdi, load] : loadMapping) {
        loadIds.push_back(static_cast<unsigned>(load->getId()));
    }
    for (const auto &[position, input] : inputMapping) {
        inputIds.push_back(static_cast<unsigned>(input->getId()));
    }
    if (!runtimeCreateStateDirectories(loadIds, inputIds)) {
        return false;
    }
    for (int round = 0; round < 2; ++round) {
        for (const auto &[position, input] : inputMapping) {
            input->loadObjects();
        }
        for (const auto &[vdi, load] : loadMapping) {
            load->loadObjects();
        }
        if (round == 0) {
            configureAlarms(o.alarms);
        }
    }
    return true;
}

void saveAndClear() {
    for (const auto &[vdi, load] : loadMapping) {
        load->saveObjects();
        load->clearCovSubscriptions();
    }
    for (const auto &[position, input] : inputMapping) {
        input->saveObjects();
        input->clearCovSubscriptions();
    }
    devtest::clearSets();
}

bool startStack(const Options &o) {
    if (o.haveAddress) {
        bipOwnAddress = o.address;
        bipBroadcastAddress = o.haveBroadcast ? o.broadcast : (o.address | htonl(0xFFu));
        in_addr a{};
        a.s_addr = o.address;
        communicationConfig.setIpAddress(inet_ntoa(a));
    } else if (!appGetInterfaceAddress("eth0")) {
        std::fprintf(stderr, "device-testd: eth0 has no IPv4 address; give --address\n");
        return false;
    } else if (o.haveBroadcast) {
        bipBroadcastAddress = o.broadcast;
    }
    stackInitiationDisabled = 0;
    if (!stackInit(kPortBip)) {
        std::fprintf(stderr, "device-testd: the datalink did not start\n");
        return false;
    }
    return true;
}

void startThreads(const Options &o, ValueThread &values) {
    startCovTimerThread();
    startEventThread();
    if (o.values) {
        values.start();
    }
}

void stopThreads(ValueThread &values) {
    values.stop();
    stopCovTimerThread();
    stopEventThread();
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    o.layout.baseInstance = 1000;
    o.layout.baseName = "Meter";
    o.layout.network = 100;
    unsigned long port = 47808;
    unsigned long inputs = 2;
    unsigned long pulses = 2;
    std::vector<std::vector<int>> loadChannels;
    unsigned long loads = 0;
    unsigned long cts = 1;
    bool loadsGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (option == "--values") {
            o.values = true;
            continue;
        }
        if (i + 1 >= argc) {
            return usage();
        }
        const char *value = argv[++i];
        unsigned long n = 0;
        in_addr a{};
        if (option == "--address" && inet_pton(AF_INET, value, &a) == 1) {
            o.address = a.s_addr;
            o.haveAddress = true;
        } else if (option == "--broadcast" && inet_pton(AF_INET, value, &a) == 1) {
            o.broadcast = a.s_addr;
            o.haveBroadcast = true;
        } else if (option == "--port" && parseNumber(value, 65535, &port) && port > 0) {
        } else if (option == "--instance" && parseNumber(value, 0x3FFFFE, &n)) {
            o.layout.baseInstance = static_cast<uint32_t>(n);
        } else if (option == "--name" && *value != '\0') {
            o.layout.baseName = value;
        } else if (option == "--virtual-network" && parseNumber(value, 65534, &n) && n > 0) {
            o.layout.network = static_cast<uint16_t>(n);
        } else if (option == "--inputs" && parseNumber(value, 2, &inputs)) {
        } else if (option == "--pulses" && parseNumber(value, 2, &pulses)) {
        } else if (option == "--load" && loadChannels.size() < 48) {
            std::vector<int> channels;
            if (!parseChannels(value, &channels)) {
                return usage();
            }
            loadChannels.push_back(channels);
        } else if (option == "--loads" && parseNumber(value, 48, &loads)) {
            loadsGiven = true;
        } else if (option == "--cts" && parseNumber(value, 3, &cts)) {
        } else if (option == "--alarms" && parseNumber(value, 28, &o.alarms)) {
        } else {
            return usage();
        }
    }
    if (loadsGiven && !loadChannels.empty()) {
        return usage();
    }
    if (loadsGiven) {
        o.layout.loads = devtest::loadsLayout(static_cast<int>(loads), static_cast<int>(cts)).loads;
    } else {
        if (loadChannels.empty()) {
            loadChannels = {{}, {6}, {7, 8}, {9, 10, 11}};
        }
        for (size_t i = 0; i < loadChannels.size(); ++i) {
            devtest::LoadLayout l;
            l.id = static_cast<int32_t>(i);
            l.vdi = static_cast<int32_t>(o.layout.baseInstance + 1 + i);
            l.name = "Load " + std::to_string(i + 1);
            l.input = static_cast<int32_t>(i % (inputs > 0 ? inputs : 1));
            for (int channel : loadChannels[i]) {
                l.cts.push_back(devtest::CtLayout{channel, true, false});
            }
            o.layout.loads.push_back(l);
        }
    }
    for (unsigned long i = 0; i < inputs; ++i) {
        o.layout.inputs.push_back(devtest::InputLayout{static_cast<uint32_t>(i), static_cast<int32_t>(i), 1, 120});
    }
    for (unsigned long i = 0; i < pulses; ++i) {
        o.layout.pulseIds.push_back(static_cast<uint8_t>(i));
    }

    logSetLevel(6);
    tqrGlobalInit();
    communicationConfig.type = static_cast<uint32_t>(DatalinkType::BacnetIp);
    communicationConfig.setUdpPort(static_cast<uint32_t>(port));

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    ValueThread values;
    appSetLoadObjectMaps();
    if (!buildAndLoad(o) || !startStack(o)) {
        return 1;
    }
    startThreads(o, values);
    std::printf("ready\n");
    std::fflush(stdout);

    // The runtime's cycle: every 5 ms the timer step with the previous
    // cycle's elapsed milliseconds, then one receive-and-dispatch step.
    using Clock = std::chrono::steady_clock;
    auto last = Clock::now();
    auto next = last;
    uint32_t elapsed = 5;
    while (!stopRequested) {
        if (resetRequested.exchange(false)) {
            stopThreads(values);
            saveAndClear();
            stackRestarting = 1;
            stackShutdown();
            stackRestarting = 0;
            if (!buildAndLoad(o) || !startStack(o)) {
                return 1;
            }
            startThreads(o, values);
            std::printf("restarted\n");
            std::fflush(stdout);
        }
        stackTick(static_cast<uint8_t>(elapsed > 255 ? 255 : elapsed));
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
    stopThreads(values);
    saveAndClear();
    stackShutdown();
    return 0;
}
