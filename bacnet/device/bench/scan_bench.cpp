// A full scan over real UDP, run by hand as root from the release build:
// device-testd with 48 loads of 1 CT and of 3 CTs (two voltage inputs, two
// pulse inputs) in a network namespace, its stack in the 5 ms loop, and a
// client in another that sends a global Who-Is, reads every device's
// object-list and a ReadPropertyMultiple ALL of every object.

#include <benchmark/benchmark.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "test_process.h"
#include "wire_client.h"

namespace {

namespace fs = std::filesystem;

void BM_FullScanOverUdp(benchmark::State &state) {
    const std::string tag = std::to_string(getpid());
    tu::VethPair net{"sb", tag};
    const std::string failed = net.create();
    if (!failed.empty()) {
        state.SkipWithError(failed.c_str());
        return;
    }
    const fs::path root = fs::temp_directory_path() / ("device-scan-" + tag);
    fs::create_directories(root);
    int out = -1;
    const pid_t testd =
        tu::spawn({"ip", "netns", "exec", net.serverNs, "env", "METER_ROOT=" + root.string(), DEVICE_TESTD_PATH,
                   "--loads", "48", "--cts", std::to_string(state.range(0))},
                  &out);
    if (testd <= 0 || !tu::readLine(out, "ready", 60000) || !net.enterClient()) {
        state.SkipWithError("device-testd did not start");
        tu::stop(testd);
        return;
    }
    devwire::Client client;
    client.sock = tu::VethPair::udpSocket(47808);
    size_t devices = 0;
    size_t objects = 0;
    size_t octets = 0;
    bool complete = true;
    for (auto _ : state) {
        devices = 0;
        objects = 0;
        octets = 0;
        const auto found = client.whoIs(49);
        devices = found.size();
        for (uint32_t device : found) {
            const auto ids = client.objectList(device);
            complete = complete && !ids.empty();
            for (uint32_t id : ids) {
                const auto ack = client.call(device, e2e::rpm(2, {{id, {{kPropAll}}}}));
                complete = complete && !ack.empty() && ack[0] == 0x30;
                octets += ack.size();
                ++objects;
            }
        }
        client.aside.clear();
    }
    close(client.sock);
    net.destroy();
    tu::stop(testd);
    if (out >= 0) {
        close(out);
    }
    fs::remove_all(root);
    if (!complete || devices != 49) {
        state.SkipWithError("the scan was not complete");
    }
    state.counters["devices"] = static_cast<double>(devices);
    state.counters["objects"] = static_cast<double>(objects);
    state.counters["answer_octets"] = static_cast<double>(octets);
}
BENCHMARK(BM_FullScanOverUdp)->Arg(1)->Arg(3)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
