// The small callbacks: local date and time, the log hooks, object
// identifiers, and the interface-address query in a namespace of its own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "meter/host.h"
#include "bacnet/stack/app.h"
#include "bacnet/stack/bip.h"
#include "device/application.h"
#include "device_fixture.h"
#include "netns.h"

namespace {

using devtest::DeviceTest;

TqrTime at(int year, int month, int day, int hour, int minute, int second, int isdst, int zone) {
    TqrTime t;
    t.tqrLocalTime.tm_year = year - 1900;
    t.tqrLocalTime.tm_mon = month - 1;
    t.tqrLocalTime.tm_mday = day;
    t.tqrLocalTime.tm_hour = hour;
    t.tqrLocalTime.tm_min = minute;
    t.tqrLocalTime.tm_sec = second;
    t.tqrLocalTime.tm_isdst = isdst;
    std::tm copy = t.tqrLocalTime;
    timegm(&copy);  // fills the weekday
    t.tqrLocalTime.tm_wday = copy.tm_wday;
    t.tqrTimezoneMinutes = zone;
    t.received = true;
    return t;
}

TEST_F(DeviceTest, LocalDateAndTimeFromTqr) {
    struct Case {
        TqrTime time;
        uint8_t month, weekday, dst;
        int16_t offset;
    };
    const Case cases[] = {
        {at(2026, 1, 4, 23, 59, 58, 0, 60), 1, 7, 0, 60},     // a Sunday in January
        {at(2026, 1, 5, 0, 0, 1, 0, 60), 1, 1, 0, 60},        // a Monday
        {at(2026, 7, 15, 12, 30, 15, 1, 120), 7, 3, 1, 120},  // a Wednesday in summer time
        {at(2026, 12, 11, 2, 5, 0, 0, -300), 12, 5, 0, -300},
    };
    for (const Case &c : cases) {
        tqrStoreTime(c.time);
        LocalDateTime out{};
        ASSERT_EQ(appGetLocalDateTime(&out), 1);
        const std::tm &tm = c.time.tqrLocalTime;
        EXPECT_EQ(out.year, tm.tm_year + 1900);
        EXPECT_EQ(out.month, c.month);
        EXPECT_EQ(out.day, tm.tm_mday);
        EXPECT_EQ(out.weekday, c.weekday) << tm.tm_mday;
        EXPECT_EQ(out.hour, tm.tm_hour);
        EXPECT_EQ(out.minute, tm.tm_min);
        EXPECT_EQ(out.second, tm.tm_sec);
        EXPECT_EQ(out.hundredths, 0);
        EXPECT_EQ(out.daylightSaving, c.dst);
        EXPECT_EQ(out.utcOffsetMinutes, c.offset);
    }
}

TEST_F(DeviceTest, BeforeTqrAnswersTheSystemClockStandsIn) {
    LocalDateTime out{};
    // Friday 2026-12-11 08:30:15 UTC on the board's clock.
    const std::time_t now = 1796977815;
    meter::host::clock_set(now);
    ASSERT_EQ(appGetLocalDateTime(&out), 1);
    meter::host::clock_release();
    std::tm after{};
    localtime_r(&now, &after);
    EXPECT_EQ(out.year, after.tm_year + 1900);
    EXPECT_EQ(out.month, after.tm_mon + 1);
    EXPECT_EQ(out.day, after.tm_mday);
    EXPECT_EQ(out.hour, after.tm_hour);
    EXPECT_EQ(out.second, after.tm_sec);
    EXPECT_EQ(out.utcOffsetMinutes, after.tm_gmtoff / 60);
}

TEST(Callbacks, LogHooksWriteTheirLevels) {
    struct Case {
        void (*call)();
        const char *line;
    };
    const Case cases[] = {
        {[] { appSyslog(3, "stack failure"); }, " emergency stack failure\n"},
        {[] { appSyslog(6, "stack information"); }, " notice stack information\n"},
        {[] { appBipLog("bip line"); }, " notice bip line\n"},
        {[] { appBipv6Log("bipv6 line"); }, " notice bipv6 line\n"},
    };
    for (const Case &c : cases) {
        testing::internal::CaptureStdout();
        c.call();
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
    }
}

TEST(Callbacks, ObjectIdentifiersAndStatus) {
    EXPECT_EQ(appMakeObjectId(8, 1000), (8u << 22) + 1000u);
    uint16_t type = 0;
    uint32_t instance = 0;
    appSplitObjectId(appMakeObjectId(46, 0x3FFFFF), &type, &instance);
    EXPECT_EQ(type, 46);
    EXPECT_EQ(instance, 0x3FFFFFu);
    type = 7;
    appSplitObjectId(appMakeObjectId(1, 2), &type, nullptr);
    EXPECT_EQ(type, 7) << "a null out-pointer: nothing written";
    instance = 9;
    appSplitObjectId(appMakeObjectId(1, 2), nullptr, &instance);
    EXPECT_EQ(instance, 9u);
    for (int32_t device : {-1, 1000, 1001, 4242}) {
        EXPECT_EQ(appGetSystemStatus(device), 0u);
    }
    EXPECT_EQ(appReinitializeDone(), 0);
}

// ---- interface addresses: the namespace's loopback renamed to eth0 ----

class InterfaceAddress : public DeviceTest {
  protected:
    void SetUp() override {
        std::string why;
        if (!tqr_testing::enterOwnNetworkNamespace(why)) {
            GTEST_SKIP() << "no network namespace of its own: " << why;
        }
        DeviceTest::SetUp();
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(fd, 0);
        // A renamed interface must be down.
        ifreq r = request("lo");
        ASSERT_EQ(ioctl(fd, SIOCGIFFLAGS, &r), 0);
        r.ifr_flags = static_cast<short>(r.ifr_flags & ~IFF_UP);
        ASSERT_EQ(ioctl(fd, SIOCSIFFLAGS, &r), 0);
        r = request("lo");
        std::strncpy(r.ifr_newname, "eth0", IFNAMSIZ - 1);
        ASSERT_EQ(ioctl(fd, SIOCSIFNAME, &r), 0) << std::strerror(errno);
        // The namespace's loopback came up with 127.0.0.1: an address of 0 removes it.
        set("eth0", SIOCSIFADDR, "0.0.0.0");
        bipOwnAddress = 0;
        bipBroadcastAddress = 0;
    }
    void TearDown() override {
        if (fd >= 0) {
            close(fd);
        }
        DeviceTest::TearDown();
    }
    static ifreq request(const char *name) {
        ifreq r{};
        std::strncpy(r.ifr_name, name, IFNAMSIZ - 1);
        return r;
    }
    void set(const char *name, unsigned long what, const char *address) {
        ifreq r = request(name);
        auto *in = reinterpret_cast<sockaddr_in *>(&r.ifr_addr);
        in->sin_family = AF_INET;
        inet_pton(AF_INET, address, &in->sin_addr);
        ASSERT_EQ(ioctl(fd, what, &r), 0) << name << " " << address << ": " << std::strerror(errno);
    }
    static uint32_t ip(const char *text) {
        in_addr a{};
        inet_pton(AF_INET, text, &a);
        return a.s_addr;
    }
    int fd = -1;
};

TEST_F(InterfaceAddress, Eth0WithoutIpv4StoresNothing) {
    EXPECT_FALSE(appGetInterfaceAddress("eth0"));
    EXPECT_EQ(bipOwnAddress, 0u);
    EXPECT_EQ(communicationConfig.getIpAddress(), "");
}

TEST_F(InterfaceAddress, TheLaterOfTwoEntriesRemains) {
    set("eth0", SIOCSIFADDR, "10.1.0.5");
    set("eth0", SIOCSIFNETMASK, "255.255.0.0");
    set("eth0", SIOCSIFBRDADDR, "10.1.255.255");
    set("eth0:1", SIOCSIFADDR, "10.1.0.7");
    set("eth0:1", SIOCSIFNETMASK, "255.255.0.0");
    set("eth0:1", SIOCSIFBRDADDR, "10.1.255.254");
    EXPECT_TRUE(appGetInterfaceAddress("eth0"));
    EXPECT_EQ(bipOwnAddress, ip("10.1.0.7"));
    EXPECT_EQ(bipBroadcastAddress, ip("10.1.255.254"));
    EXPECT_EQ(communicationConfig.getIpAddress(), "10.1.0.7");
    EXPECT_EQ(communicationConfig.getBroadcastAddress(), "10.1.255.254");
    EXPECT_FALSE(appGetInterfaceAddress("eth1"));
}

}  // namespace
