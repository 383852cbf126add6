// Local time from the zone's TZif file against the C library's own
// conversion of the same zone, across years, daylight-saving changes and
// zones with odd offsets.

#include "nerisko/tzfile.h"
#include "temp_root.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string host_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Zones : public ::testing::TestWithParam<const char *> {
protected:
    void TearDown() override {
        unsetenv("TZ");
        tzset();
    }
    meter::host::TempRoot root;
};

TEST_P(Zones, SameAsTheCLibrary) {
    const std::string zone = GetParam();
    const std::string file = host_file(std::string("/usr/share/zoneinfo/") + zone);
    if (file.empty()) {
        GTEST_SKIP() << "no " << zone << " on this machine";
    }
    root.put(std::string(TZFILE_DIR) + "/" + zone, file);
    TzFile tz;
    ASSERT_TRUE(tz.load(zone));
    setenv("TZ", zone.c_str(), 1);  // the reference, in this single-threaded test only
    tzset();
    // Every 7 hours 13 minutes from 1990 to 2036.
    for (time_t t = 631152000; t < 2082758400; t += 7 * 3600 + 13 * 60) {
        struct tm want {};
        struct tm got {};
        localtime_r(&t, &want);
        ASSERT_TRUE(tz.to_local(t, &got));
        ASSERT_EQ(timegm(&got), timegm(&want)) << zone << " at " << t;
        ASSERT_EQ(got.tm_isdst, want.tm_isdst) << zone << " at " << t;
        // Back from the local time, with daylight saving left to the conversion.
        struct tm local = want;
        local.tm_isdst = -1;
        struct tm ref = local;
        const time_t back = mktime(&ref);
        ASSERT_EQ(tz.from_local(local), back) << zone << " at " << t;
    }
    // Month and second overflow are normalised as mktime does.
    struct tm dec{};
    dec.tm_year = 126;
    dec.tm_mon = 12;  // January of the next year
    dec.tm_mday = 28;
    dec.tm_sec = 86399 + 1;
    struct tm ref = dec;
    ref.tm_isdst = -1;
    EXPECT_EQ(tz.from_local(dec), mktime(&ref));
}

INSTANTIATE_TEST_SUITE_P(Database, Zones,
                         ::testing::Values("Europe/Berlin", "America/New_York", "Australia/Lord_Howe", "Asia/Kolkata",
                                           "America/Sao_Paulo", "UTC"),
                         [](const auto &info) {
                             std::string n = info.param;
                             for (char &c : n) {
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return n;
                         });

TEST(TzFileText, NamesThatAreNoFiles) {
    meter::host::TempRoot root;
    TzFile tz;
    for (const char *text : {"", "CET-1CEST,M3.5.0,M10.5.0/3", "../etc/passwd", "/etc/localtime", "Nowhere/City"}) {
        EXPECT_FALSE(tz.load(text)) << text;
    }
    for (const std::string &bytes : {std::string(), std::string("TZif2"), std::string(60, 'x')}) {
        EXPECT_FALSE(tz.parse(bytes));
    }
    // A file cut short is refused.
    const std::string file = host_file("/usr/share/zoneinfo/Europe/Berlin");
    if (!file.empty()) {
        EXPECT_TRUE(tz.parse(file));
        EXPECT_FALSE(tz.parse(file.substr(0, file.size() / 2)));
    }
}

}  // namespace
