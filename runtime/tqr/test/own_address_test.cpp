// The transport against TQR on its own address, 127.0.0.1:8160, in a
// network namespace of the test's own so that tests run side by side.
#include <gtest/gtest.h>

#include "netns.h"
#include "runtime/tqr/transport.h"
#include "tqr/standin.h"

namespace {

TEST(TqrOwnAddress, RequestsReachTqrAtItsFixedAddress) {
    std::string why;
    if (!tqr_testing::enterOwnNetworkNamespace(why)) {
        GTEST_SKIP() << "no network namespace of its own: " << why;
    }
    tqrGlobalInit();
    // Nothing listens yet.
    EXPECT_EQ(tqrGet("127.0.0.1", 8160, "/api/v1/system/time", nullptr), tqrRefused);
    tqr::Options options;
    options.port = 8160;
    tqr::StandIn standIn(options);
    standIn.start();
    std::string body;
    EXPECT_EQ(tqrGet("127.0.0.1", 8160, "/api/v1/system/time",
                     [&](const char *data, size_t size, size_t count, void *) {
                         body.assign(data, size * count);
                         return 0;
                     }),
              tqrOk);
    EXPECT_NE(body.find("\"timezoneOffset\""), std::string::npos) << body;
    EXPECT_EQ(tqrPutAlarmState("127.0.0.1", 8160, 2, 1), 200);
}

} // namespace
