// Talvik's threads all at once, for ThreadSanitizer: the main loop serving a
// client's reads, the poller storing TQR's changing live values, the COV
// timer and event threads, configuration events from a thread of their own
// (as libarvent's IPC thread delivers them) and the restarts they cause.
// velsard's connection is replaced by one that only records, because GLib
// is not built with ThreadSanitizer.
#include "runtime/program.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <thread>

#include "arvent.h"
#include "bacnet/stack/stack.h"
#include "e2e_wire.h"
#include "program_support.h"
#include "runtime/log.h"
#include "runtime/tqr/transport.h"
#include "temp_root.h"
#include "tqr/standin.h"

namespace {

const auto *ownNetwork = ::testing::AddGlobalTestEnvironment(new programtest::OwnNetwork);

TEST(TalvikThreads, ServingPollingObjectThreadsEventsAndRestartsTogether) {
    meter::host::TempRoot root;
    programtest::StdoutTap out;
    ASSERT_TRUE(programtest::makeEth0());
    tqr::Options options;
    options.port = 8160;
    options.mode = tqr::LiveMode::running;
    tqr::StandIn tqr(options);
    tqr.start();
    logSetLevel(6);
    tqrSetLogSink(static_cast<void (*)(int, const std::string &)>(logMessage));
    tqrGlobalInit();
    std::atomic<int> opened{0};
    runtimeSetIpc({[&] { return ++opened, true; }, [] {}});
    programtest::HandClock clock;
    RestartRequests restarts{resetRequested, clock.now()};
    runtimeUseRestarts(&restarts);

    ASSERT_EQ(runtimeStart(), StartResult::Running);
    auto loop = std::async(std::launch::async, [] { return runtimeRun(); });

    // A client reading the first load's total power and object list.
    std::atomic<bool> reading{true};
    std::atomic<int> answers{0};
    std::thread client([&] {
        const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in meter{};
        meter.sin_family = AF_INET;
        meter.sin_port = htons(47808);
        inet_pton(AF_INET, "192.0.2.10", &meter.sin_addr);
        uint8_t invoke = 0;
        while (reading.load()) {
            const e2e::Bytes request = e2e::bvll(
                0x0A, e2e::toVirtual(1000, 1001,
                                     e2e::rpm(++invoke, {{e2e::analogInput(8), {{kPropPresentValue}}},
                                                         {e2e::deviceObjectId(1001), {{kPropObjectList}}}})));
            sendto(sock, request.data(), request.size(), 0, reinterpret_cast<sockaddr *>(&meter), sizeof meter);
            pollfd p{sock, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) {
                uint8_t buffer[1500];
                if (recv(sock, buffer, sizeof buffer, 0) > 0) {
                    answers.fetch_add(1);
                }
            }
        }
        close(sock);
    });

    // The events of three restarts, with those that restart nothing and an
    // early alarm-state change, which the next restart covers.
    std::thread ipc([&] {
        for (int kind : {IPC_NEW_PULSE_CONFIG, IPC_NEW_ALARM_STATE, IPC_NEW_MAPPING, IPC_NEW_DEVICE_CONFIG,
                         IPC_NEW_IP_ADDRESS, IPC_FACTORY_RESET, IPC_NEW_MAPPING}) {
            runtimeIpcEventHandler(kind);
            ASSERT_TRUE(programtest::eventually([&] { return !resetRequested.load(); }));
        }
    });
    ipc.join();
    ASSERT_TRUE(out.waitFor("Talvik started.", 4));
    ASSERT_TRUE(programtest::eventually([&] { return answers.load() > 10; }));
    reading.store(false);
    client.join();

    runtimeRequestStop();
    EXPECT_EQ(loop.get(), StartResult::Stopped);
    runtimeCleanup();
    stackShutdown();
    EXPECT_EQ(opened.load(), 4);
    runtimeUseRestarts(nullptr);
    runtimeSetIpc({});
    tqr.stop();
}

} // namespace
