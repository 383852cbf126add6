// Requests from several threads at once, as Talvik makes them: the poller's
// GETs, the main thread's login and GETs, and a parser that PUTs an alarm
// state from inside a GET. Also run under ThreadSanitizer.
#include <thread>

#include "transport_fixture.h"

namespace tqrtest {
namespace {

TEST_F(TqrTransport, ConcurrentRequestsNeitherRaceNorDeadlock) {
    ASSERT_EQ(tqrPutAlarms("127.0.0.1", port, R"([{"id":5,"state":2}])", 0), 200);
    constexpr int kRounds = 25;
    std::atomic<int> parsed{0};
    std::atomic<int> failures{0};
    auto poller = [&](const char *path, size_t flag) {
        for (int i = 0; i < kRounds; ++i) {
            tqrResponseReceived[flag] = 0;
            const int r = tqrGet("127.0.0.1", port, path, [&, flag](const char *, size_t, size_t count, void *) {
                parsed += count > 0;
                tqrResponseReceived[flag] = 1;
                return 0;
            });
            failures += r != 0;
            failures += !tqrWaitResponse(tqrResponseReceived[flag], std::string("Timeout for ") + path);
        }
    };
    std::thread loads(poller, "/api/v1/data/loads", 8);
    std::thread inputs(poller, "/api/v1/data/inputs", 9);
    std::thread login([&] {
        for (int i = 0; i < kRounds; ++i) {
            failures += tqrLogin("127.0.0.1", port, "1234") != 200;
        }
    });
    std::thread alarms([&] {
        for (int i = 0; i < kRounds; ++i) {
            // The alarm import PUTs states while its GET holds tqrMutex.
            const int r = tqrGet("127.0.0.1", port, "/api/v1/config/alarms", [&](const char *, size_t, size_t, void *) {
                failures += tqrPutAlarmState("127.0.0.1", port, i % 2 ? 2 : 6, 5) != 200;
                return 0;
            });
            failures += r != 0;
        }
    });
    std::thread events([&] {
        for (int i = 0; i < kRounds; ++i) {
            ignoreNextAlarmState.consume();
        }
    });
    for (std::thread *t : {&loads, &inputs, &login, &alarms, &events}) {
        t->join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(parsed.load(), 2 * kRounds);
    std::vector<Line> written; // level 7 lines are never written
    for (const Line &line : takeLines()) {
        if (line.level < 7) {
            written.push_back(line);
        }
    }
    EXPECT_EQ(written, std::vector<Line>{});
}

} // namespace
} // namespace tqrtest
