// bacnet-testd: the stack with the test application on BACnet/IP, in the
// runtime's 5 ms loop. For end-to-end tests, interoperability checks and
// benchmarks; the real program is the meter's BACnet server.
//
//   bacnet-testd --address A.B.C.D [--broadcast A.B.C.D] [--port N]
//                [--instance N] [--objects N] [--virtual-objects N]
//                [--virtual-network N] [--virtual-devices N]
//
// Prints "ready" on standard output once the stack has started; SIGINT and
// SIGTERM stop it.

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "bacnet/stack/bip.h"
#include "bacnet/stack/stack.h"
#include "test_app.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) {
    stopRequested = 1;
}

int usage() {
    std::fprintf(stderr,
                 "usage: bacnet-testd --address A.B.C.D [--broadcast A.B.C.D] [--port N] [--instance N]\n"
                 "                    [--objects N] [--virtual-objects N] [--virtual-network N]\n"
                 "                    [--virtual-devices N]\n");
    return 2;
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
    uint32_t address = 0;
    uint32_t broadcast = 0xFFFFFFFFu;
    bool haveAddress = false;
    bool haveBroadcast = false;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
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

    // The runtime's cycle: every 5 ms the timer step with the previous
    // cycle's elapsed milliseconds, then one receive-and-dispatch step.
    using Clock = std::chrono::steady_clock;
    auto last = Clock::now();
    auto next = last;
    uint32_t elapsed = 5;
    while (!stopRequested) {
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
    stackShutdown();
    return 0;
}
