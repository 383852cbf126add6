// Benchmarks of the stack (run by hand from the release build):
//   in process: one ReadProperty, and a ReadPropertyMultiple ALL of the 116
//   objects of a virtual device, from the received NPDU to the sent reply;
//   over UDP: ReadProperty round trips against bacnet-testd (started on the
//   loopback interface) with 1 and 4 clients, with p50/p99 latency.

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bacnet/enums.h"
#include "bacnet/stack/bip.h"
#include "bacnet/stack/npdu.h"
#include "bacnet/stack/packet.h"
#include "bacnet/stack/stack.h"
#include "harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::atomic<uint64_t> repliesSent{0};
std::atomic<uint64_t> octetsSent{0};

int nullOpen(uint16_t) {
    return 3;
}
void nullClose(int) {}
void countSend(int, const uint8_t *, uint32_t length, uint32_t, uint16_t) {
    repliesSent.fetch_add(1, std::memory_order_relaxed);
    octetsSent.fetch_add(length, std::memory_order_relaxed);
}
ssize_t nullReceive(int, uint8_t *, uint32_t, uint32_t *, uint16_t *, uint32_t *) {
    return 0;
}
const BipSocketOps countingOps{nullOpen, nullClose, countSend, nullReceive};

Bytes ctxUnsigned(uint8_t tag, uint32_t v) {
    Bytes value;
    if (v > 0xFFFFFF)
        value.push_back(static_cast<uint8_t>(v >> 24));
    if (v > 0xFFFF)
        value.push_back(static_cast<uint8_t>(v >> 16));
    if (v > 0xFF)
        value.push_back(static_cast<uint8_t>(v >> 8));
    value.push_back(static_cast<uint8_t>(v));
    Bytes out{static_cast<uint8_t>(tag << 4 | 0x08 | value.size())};
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes ctxObjectId(uint32_t id) {
    return {0x0C, static_cast<uint8_t>(id >> 24), static_cast<uint8_t>(id >> 16),
            static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)};
}

Bytes readProperty(uint8_t invokeId, uint32_t objectId, uint32_t property) {
    Bytes npdu{0x01, 0x04, 0x00, 0x05, invokeId, kSvcReadProperty};
    Bytes o = ctxObjectId(objectId);
    npdu.insert(npdu.end(), o.begin(), o.end());
    Bytes p = ctxUnsigned(1, property);
    npdu.insert(npdu.end(), p.begin(), p.end());
    return npdu;
}

void startInProcess(const testapp::Config &config) {
    testapp::configure(config);
    bipSetSocketOps(&countingOps);
    bipOwnAddress = harness::ip(192, 0, 2, 10);
    bipBroadcastAddress = harness::ip(192, 0, 2, 255);
    stackInit(kPortBip);
}

void BM_ReadPropertyInProcess(benchmark::State &state) {
    startInProcess(testapp::Config{});
    Bytes npdu = readProperty(1, objectIdMake(kObjAnalogInput, 1), kPropPresentValue);
    const uint8_t mac[6] = {192, 0, 2, 20, 0xBA, 0xC0};
    uint64_t before = repliesSent;
    for (auto _ : state) {
        npduReceive(kPortBip, 6, mac, nullptr, static_cast<uint32_t>(npdu.size()), npdu.data(), false);
        stackProcess();
    }
    if (repliesSent - before != static_cast<uint64_t>(state.iterations()))
        state.SkipWithError("not every request was answered");
    stackShutdown();
    bipSetSocketOps(nullptr);
}
BENCHMARK(BM_ReadPropertyInProcess);

void BM_ReadPropertyMultipleAll116InProcess(benchmark::State &state) {
    testapp::Config config;
    config.virtualObjects = 115;  // with the Device object, 116 objects
    startInProcess(config);
    // One ReadAccessSpecification with ALL per object of virtual device 42.
    Bytes npdu{0x01, 0x24, 0x00, 0x64, 0x06, 0, 0, 0, 0, 0, 42, 0xFF, 0x02, 0x75, 0x01, 14};
    auto addAccess = [&](uint32_t objectId) {
        Bytes o = ctxObjectId(objectId);
        npdu.insert(npdu.end(), o.begin(), o.end());
        npdu.insert(npdu.end(), {0x1E, 0x09, 0x08, 0x1F});
    };
    addAccess(objectIdMake(kObjDevice, 42));
    for (uint32_t i = 1; i <= 115; ++i)
        addAccess(i);
    const uint8_t mac[6] = {192, 0, 2, 20, 0xBA, 0xC0};
    uint64_t before = repliesSent;
    for (auto _ : state) {
        npduReceive(kPortBip, 6, mac, nullptr, static_cast<uint32_t>(npdu.size()), npdu.data(), false);
        stackProcess();
    }
    if (repliesSent - before != static_cast<uint64_t>(state.iterations()))
        state.SkipWithError("not every request was answered");
    state.counters["request_octets"] = static_cast<double>(npdu.size());
    stackShutdown();
    bipSetSocketOps(nullptr);
}
BENCHMARK(BM_ReadPropertyMultipleAll116InProcess);

// bacnet-testd on the loopback interface, started once for the UDP runs.
struct Daemon {
    pid_t pid = -1;
    uint16_t port = 0;
    Daemon() {
        std::string self = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "bacnet-testd";
        port = static_cast<uint16_t>(48000 + getpid() % 1000);
        std::string portText = std::to_string(port);
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            execl(self.c_str(), self.c_str(), "--address", "127.0.0.1", "--broadcast", "127.255.255.255",
                  "--port", portText.c_str(), "--objects", "20", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        char buffer[16] = {};
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0 || read(fds[0], buffer, sizeof buffer - 1) <= 0)
            pid = -1;
        close(fds[0]);
    }
    ~Daemon() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

Daemon &daemon() {
    static Daemon d;
    return d;
}

void BM_ReadPropertyUdp(benchmark::State &state) {
    Daemon &d = daemon();
    if (d.pid <= 0) {
        state.SkipWithError("bacnet-testd did not start");
        return;
    }
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(d.port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<double> latencies;
    uint8_t invokeId = static_cast<uint8_t>(state.thread_index() * 50);
    uint64_t lost = 0;
    for (auto _ : state) {
        Bytes npdu = readProperty(++invokeId, objectIdMake(kObjAnalogInput, 1), kPropPresentValue);
        Bytes message{0x81, 0x0A, 0x00, static_cast<uint8_t>(npdu.size() + 4)};
        message.insert(message.end(), npdu.begin(), npdu.end());
        auto start = std::chrono::steady_clock::now();
        sendto(s, message.data(), message.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        bool answered = false;
        while (!answered) {
            pollfd p{s, POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0)
                break;
            uint8_t buffer[1600];
            ssize_t n = recv(s, buffer, sizeof buffer, 0);
            answered = n > 6 && buffer[6] == 0x30 && buffer[7] == invokeId;
        }
        if (!answered) {
            ++lost;
            continue;
        }
        latencies.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    close(s);
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        state.counters["p50_us"] =
            benchmark::Counter(latencies[latencies.size() / 2], benchmark::Counter::kAvgThreads);
        state.counters["p99_us"] =
            benchmark::Counter(latencies[latencies.size() * 99 / 100], benchmark::Counter::kAvgThreads);
    }
    state.counters["lost"] = benchmark::Counter(static_cast<double>(lost), benchmark::Counter::kAvgThreads);
    state.counters["requests_per_s"] =
        benchmark::Counter(static_cast<double>(latencies.size()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReadPropertyUdp)->Threads(1)->Threads(4)->UseRealTime()->MinTime(3.0);

}  // namespace

BENCHMARK_MAIN();
