// Reads of 125 registers per second by one client over loopback TCP:
// Ulvora's server (48 loads of three CTs, records renewed every second as
// the poller would) against a plain libmodbus server on a static image of
// the same size, in the same run; and the time of one full image rebuild.
// Run by hand from the release build.
#include "ulvora/records.h"
#include "ulvora/server.h"

#include <benchmark/benchmark.h>
#include <modbus/modbus.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

MbRecords full_records(float seed) {
    MbRecords r{};
    mbCopyText("Bench site", r.header.site_name, 80);
    r.header.active_loads = 48;
    for (int k = 0; k < 48; ++k) {
        mb_load &l = r.loads[k];
        l.id = k + 1;
        l.active = 1;
        mbCopyText("Load", l.name, 40);
        l.p = seed + float(k);
        l.wh = seed * 1000 + float(k);
        for (int j = 0; j < 3; ++j) {
            l.cts[j].en = 1;
            l.cts[j].channel = 3 * k + j + 1;
            l.cts[j].a = seed + float(j);
        }
    }
    return r;
}

void BM_ImageRebuild(benchmark::State &state) {
    const MbRecords r = full_records(1.0f);
    std::vector<uint16_t> regs(MB_INPUT_REGISTERS);
    for (auto _ : state) {
        mbBuildImage(r, regs.data());
        benchmark::DoNotOptimize(regs.data());
    }
}
BENCHMARK(BM_ImageRebuild);

void read_loop(benchmark::State &state, int port) {
    modbus_t *client = modbus_new_tcp("127.0.0.1", port);
    if (modbus_connect(client) != 0) {
        state.SkipWithError("connect failed");
        modbus_free(client);
        return;
    }
    uint16_t regs[125];
    int address = 0;
    for (auto _ : state) {
        if (modbus_read_input_registers(client, address, 125, regs) != 125) {
            state.SkipWithError("read failed");
            break;
        }
        address = (address + 125) % 13625;
    }
    state.SetItemsProcessed(state.iterations());
    modbus_close(client);
    modbus_free(client);
}

void BM_UlvoraReads(benchmark::State &state) {
    mbRecordsCommit(full_records(1.0f));
    std::atomic<bool> done{false};
    std::mutex m;
    std::condition_variable cv;
    // The records renewed once a second, as the poll thread does.
    std::thread generator([&] {
        float seed = 2.0f;
        std::unique_lock lock(m);
        while (!cv.wait_for(lock, std::chrono::seconds(1), [&] { return done.load(); })) {
            mbRecordsCommit(full_records(seed));
            seed += 1.0f;
        }
    });
    modbus_config c{};
    c.active = true;
    c.backend = 0;
    std::strcpy(c.device, "127.0.0.1");
    ulvora_stop_reset();
    std::thread server([&] {
        if (ulvora_setup(c)) {
            ulvora_run();
            ulvora_cleanup();
        }
    });
    while (ulvora_tcp_port() == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    read_loop(state, ulvora_tcp_port());
    ulvora_stop();
    server.join();
    {
        std::lock_guard lock(m);
        done = true;
    }
    cv.notify_all();
    generator.join();
}
BENCHMARK(BM_UlvoraReads)->UseRealTime();

void BM_PlainLibmodbusReads(benchmark::State &state) {
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", 0);
    modbus_mapping_t *map = modbus_mapping_new(0, 0, 0, MB_INPUT_REGISTERS);
    const MbRecords r = full_records(1.0f);
    mbBuildImage(r, map->tab_input_registers);
    const int listener = modbus_tcp_listen(ctx, 5);
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    getsockname(listener, reinterpret_cast<sockaddr *>(&bound), &len);
    std::thread server([&] {
        const int fd = modbus_tcp_accept(ctx, const_cast<int *>(&listener));
        if (fd < 0) {
            return;
        }
        uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        for (;;) {
            const int n = modbus_receive(ctx, query);
            if (n > 0) {
                modbus_reply(ctx, query, n, map);
            } else if (n == -1) {
                break;
            }
        }
    });
    read_loop(state, ntohs(bound.sin_port));
    server.join();
    modbus_close(ctx);
    modbus_mapping_free(map);
    modbus_free(ctx);
}
BENCHMARK(BM_PlainLibmodbusReads)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
