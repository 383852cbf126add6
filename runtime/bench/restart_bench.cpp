// A restart of Talvik with 48 loads and two alarms on each: from the SIGHUP
// (as the signal thread hands it on) to the first answered ReadProperty of
// a load device, and the file calls each restart makes (the host model's
// count). Talvik runs
// in this process against the TQR stand-in (48 loads) and the velsard
// stand-in, in a network namespace of its own with an eth0 of its own; the
// client sends to the last load's virtual device every 2 ms from the moment
// the restart has begun. Run as root: scripts/build release, then
// build/release/runtime/talvik_restart_bench.
#include <arpa/inet.h>
#include <fcntl.h>
#include <benchmark/benchmark.h>
#include "http_client.h"
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "e2e_wire.h"
#include "meter/host.h"
#include "meter/sysio.h"
#include "netns.h"
#include "runtime/log.h"
#include "runtime/program.h"
#include "bacnet/stack/stack.h"
#include "runtime/tqr/transport.h"
#include "test_bus.h"
#include "tqr/standin.h"

extern char **environ;

namespace {

constexpr int kLoads = 48;
constexpr uint32_t kLastLoad = 1000 + kLoads; // its virtual device instance
constexpr uint16_t kVnet = 1000;

// ---- the file calls, as the host model counts them ----

struct FileTotals {
    uint64_t writes = 0;
    uint64_t bytes = 0;
    uint64_t syncs = 0;
};

FileTotals fileTotals() {
    FileTotals t;
    for (const auto &[path, io] : meter::host::io_counts()) {
        t.writes += io.writes;
        t.bytes += io.bytes;
        t.syncs += io.syncs;
    }
    return t;
}

int run(std::vector<std::string> args) {
    std::vector<char *> argv;
    for (std::string &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Two alarms on each load: its total power high and low.
std::string alarms() {
    nlohmann::json list = nlohmann::json::array();
    for (int load = 0; load < kLoads; ++load) {
        for (int type : {0, 1}) {
            list.push_back({{"id", static_cast<int>(list.size()) + 1},
                            {"vinLineLoadOrCt", load},
                            {"setPoint", type == 0 ? 50 : 1},
                            {"deadband", 1},
                            {"delay", 10},
                            {"led", true},
                            {"relay", false},
                            {"type", type},
                            {"state", 2}});
        }
    }
    return list.dump();
}

int clientSocket() {
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    inet_pton(AF_INET, "192.0.2.20", &any.sin_addr);
    if (sock < 0 || bind(sock, reinterpret_cast<sockaddr *>(&any), sizeof any) != 0) {
        std::perror("client socket");
        std::exit(1);
    }
    return sock;
}

// Sends a ReadProperty of the load device's object name every 2 ms until
// one is answered.
void readUntilAnswered(int sock, uint8_t &invoke) {
    sockaddr_in meter{};
    meter.sin_family = AF_INET;
    meter.sin_port = htons(47808);
    inet_pton(AF_INET, "192.0.2.10", &meter.sin_addr);
    for (;;) {
        const uint8_t id = ++invoke;
        const e2e::Bytes request = e2e::bvll(
            0x0A, e2e::toVirtual(kVnet, kLastLoad,
                                 e2e::rp(id, e2e::deviceObjectId(kLastLoad), kPropObjectName)));
        sendto(sock, request.data(), request.size(), 0, reinterpret_cast<sockaddr *>(&meter), sizeof meter);
        pollfd p{sock, POLLIN, 0};
        while (poll(&p, 1, 2) > 0) {
            uint8_t buffer[1500];
            const ssize_t n = recv(sock, buffer, sizeof buffer, 0);
            const e2e::Bytes apdu = e2e::apduOf(e2e::Bytes(buffer, buffer + std::max<ssize_t>(n, 0)));
            if (apdu.size() >= 3 && apdu[0] == (kPduComplexAck << 4) && apdu[1] == id) {
                return;
            }
        }
    }
}

void BM_SighupToFirstAnsweredReadProperty(benchmark::State &state) {
    const int sock = clientSocket();
    uint8_t invoke = 0;
    readUntilAnswered(sock, invoke);
    uint64_t restarts = 0;
    const FileTotals before = fileTotals();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        runtimeHandleSignal(SIGHUP);
        // The old stack answers until the main loop takes the request.
        while (resetRequested.load()) {
            std::this_thread::yield();
        }
        readUntilAnswered(sock, invoke);
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        ++restarts;
    }
    close(sock);
    const FileTotals after = fileTotals();
    const auto per = [&](uint64_t now, uint64_t then) { return static_cast<double>(now - then) / restarts; };
    state.counters["writes"] = per(after.writes, before.writes);
    state.counters["bytes"] = per(after.bytes, before.bytes);
    state.counters["fsyncs"] = per(after.syncs, before.syncs);
}
BENCHMARK(BM_SighupToFirstAnsweredReadProperty)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

} // namespace

int main(int argc, char **argv) {
    std::string why;
    if (!tqr_testing::enterOwnNetworkNamespace(why)) {
        std::fprintf(stderr, "talvik_restart_bench: %s\n", why.c_str());
        return 1;
    }
    if (run({"ip", "link", "add", "eth0", "type", "veth", "peer", "name", "peer0"}) != 0 ||
        run({"ip", "addr", "add", "192.0.2.10/24", "brd", "+", "dev", "eth0"}) != 0 ||
        run({"ip", "addr", "add", "192.0.2.20/24", "brd", "+", "dev", "peer0"}) != 0 ||
        run({"ip", "link", "set", "eth0", "up"}) != 0 || run({"ip", "link", "set", "peer0", "up"}) != 0) {
        std::fprintf(stderr, "talvik_restart_bench: cannot make eth0\n");
        return 1;
    }
    char tmpl[] = "/tmp/talvik-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        return 1;
    }
    setenv("METER_ROOT", tmpl, 1);
    meter::host::reset();
    velsard_testing::TestBus::get().start_velsard();
    tqr::Options options;
    options.port = 8160;
    options.loads = kLoads;
    tqr::StandIn tqr(options);
    tqr.start();
    {
        tqr_testing::HttpClient client("127.0.0.1", 8160);
        auto r = client.Put("/api/v1/config/alarms", alarms(), "application/json");
        if (!r || r->status != 200) {
            std::fprintf(stderr, "talvik_restart_bench: the alarms were not taken\n");
            return 1;
        }
    }
    // Talvik's lines would drown the figures.
    logSetLevel(3);
    tqrSetLogSink(static_cast<void (*)(int, const std::string &)>(logMessage));
    tqrGlobalInit();
    if (runtimeStart() != StartResult::Running) {
        return 1;
    }
    auto loop = std::async(std::launch::async, [] { return runtimeRun(); });

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    runtimeRequestStop();
    loop.get();
    runtimeCleanup();
    stackShutdown();
    tqr.stop();
    std::filesystem::remove_all(tmpl);
    return 0;
}
