// The parsers and the polling, fed with answers written by the test: what
// reaches the records, what a failing answer leaves (nothing), and the log
// lines of failures and ignored entries (once each).
#include "meter/host.h"
#include "temp_root.h"
#include "ulvora/parsers.h"
#include "ulvora/poll.h"
#include "ulvora/records.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace {

using meter::host::log_count;
using meter::host::log_lines;

std::string load_entry(int id, const std::string &extra = "", const std::string &cts = "[]") {
    std::string e = "{\"id\":" + std::to_string(id) +
                    ",\"tot_p\":1500,\"tot_a\":1500,\"tot_s\":2000,\"tot_q\":500,\"tot_apf\":0.9,\"tot_dpf\":0.95,"
                    "\"tot_demand\":3000,\"tot_wh\":123456000,\"tot_wh_in\":1000,\"tot_wh_out\":0,\"tot_vah\":0,"
                    "\"tot_varh\":0,\"tot_vah_in\":0,\"tot_vah_out\":0,\"tot_varh_cap_dis\":0,"
                    "\"tot_varh_ind_dis\":7000,\"tot_varh_cap_gen\":0,\"tot_varh_ind_gen\":7000,\"cts\":" +
                    cts;
    return e + extra + "}";
}

std::string ct_entry(bool en, double ind_dis = 2000, double ind_gen = 500) {
    if (!en) {
        return "{\"en\":false}";
    }
    return "{\"en\":true,\"a\":10,\"p\":1000,\"s\":1200,\"q\":300,\"wh\":5000,\"vah\":0,\"varh\":0,\"wh_out\":0,"
           "\"wh_in\":5000,\"vah_in\":0,\"vah_out\":0,\"varh_cap_dis\":100,\"varh_cap_gen\":300,"
           "\"varh_ind_dis\":" +
           std::to_string(ind_dis) + ",\"varh_ind_gen\":" + std::to_string(ind_gen) +
           ",\"thd\":3.5,\"demand\":800,\"pd\":900,\"apf\":0.8,\"dpf\":0.9}";
}

std::string mapping_load(int id, bool active, const std::string &cts = "[{\"channel\":6,\"phaseCorrection\":false}]") {
    return "{\"id\":" + std::to_string(id) + ",\"active\":" + (active ? "true" : "false") +
           ",\"name\":\"Load " + std::to_string(id) + "\",\"input\":0,\"cts\":" + cts + "}";
}

const std::string kInputs = "[{\"id\":0,\"active\":true,\"service\":3,\"voltage\":230,\"voltageScaler\":1},"
                            "{\"id\":1,\"active\":false}]";

std::string mapping(const std::string &loads, const std::string &inputs = kInputs) {
    return "{\"version\":\"7\",\"loads\":[" + loads + "],\"inputs\":" + inputs + "}";
}

class UlvoraPoll : public ::testing::Test {
  protected:
    void SetUp() override {
        mbRecordsReset();
        tqr_poll_reset();
        tqr_set_fetch([this](const std::string &path) {
            auto it = answers_.find(path);
            return it == answers_.end() ? TqrAnswer{404, {}, {}} : it->second;
        });
    }
    void TearDown() override { tqr_set_fetch(nullptr); }

    void answer(const std::string &path, const std::string &body) { answers_[path] = {200, body, {}}; }
    void fail(const std::string &path, int status, const std::string &why = {}) { answers_[path] = {status, {}, why}; }

    // Runs a parser directly; the exception's message, or "" on success.
    static std::string parse(int (*parser)(const char *, size_t, size_t, void *), const std::string &body) {
        try {
            parser(body.data(), 1, body.size(), nullptr);
        } catch (const std::exception &e) {
            return e.what();
        }
        return {};
    }

    size_t warnings() const {
        size_t n = 0;
        for (const auto &l : log_lines()) {
            n += l.priority <= LOG_WARNING ? 1 : 0;
        }
        return n;
    }

    meter::host::TempRoot root_;
    std::map<std::string, TqrAnswer> answers_;
};

TEST_F(UlvoraPoll, LocalTimeTextIsUtcPlusOffsetWhateverTheZone) {
    setenv("TZ", "America/New_York", 1);
    tzset();
    const struct {
        long long time, offset;
        const char *text;
    } cases[] = {
        {0, 19800, "1970-01-01T05:30:00+0530"},  {0, -18000, "1969-12-31T19:00:00-0500"},
        {0, 0, "1970-01-01T00:00:00+0000"},      {0, -1800, "1969-12-31T23:30:00-0030"},
        // Either side of the 32-bit signed end (2038) and of the unsigned one (2106).
        {2147483647LL, 0, "2038-01-19T03:14:07+0000"},
        {2147483648LL, 0, "2038-01-19T03:14:08+0000"},
        {2147483648LL, 19800, "2038-01-19T08:44:08+0530"},
        {4294967295LL, 0, "2106-02-07T06:28:15+0000"},
        {4294967296LL, -3600, "2106-02-07T05:28:16-0100"},
        {5000000000LL, 3600, "2128-06-11T09:53:20+0100"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(mbLocalTimeText(c.time, c.offset), c.text) << c.time << " " << c.offset;
    }
    unsetenv("TZ");
    tzset();
}

TEST_F(UlvoraPoll, TimeRegistersMoveOnlyWithAppliedLoadAndInputData) {
    answer("/api/v1/system/time", "{\"time\":0,\"timezoneOffset\":19800}");
    tqr_poll_config();
    fail("/api/v1/data/loads", 500);
    answer("/api/v1/data/inputs", "{\"Input\":[]}");
    tqr_poll_data();
    EXPECT_EQ(mbFieldText(mbRecordsSnapshot().header.time, 24), "");
    answer("/api/v1/data/loads", "{\"load\":[]}");
    tqr_poll_config();
    tqr_poll_data();
    EXPECT_EQ(mbFieldText(mbRecordsSnapshot().header.time, 24), "1970-01-01T05:30:00+0530");
    // Times past 2038 and past 2106 are read whole.
    const struct {
        const char *body, *text;
    } later[] = {
        {"{\"time\":2147483648,\"timezoneOffset\":0}", "2038-01-19T03:14:08+0000"},
        {"{\"time\":4294967296,\"timezoneOffset\":0}", "2106-02-07T06:28:16+0000"},
        {"{\"time\":5000000000,\"timezoneOffset\":0}", "2128-06-11T08:53:20+0000"},
    };
    for (const auto &c : later) {
        answer("/api/v1/system/time", c.body);
        tqr_poll_config();
        tqr_poll_data();
        EXPECT_EQ(mbFieldText(mbRecordsSnapshot().header.time, 24), c.text) << c.body;
    }
}

TEST_F(UlvoraPoll, StaticIdentityIsWrittenWholeOrNotAtAll) {
    EXPECT_EQ(parse(mbParseStatic, "{\"model\":12,\"serial\":\"S1\",\"version\":\"1.2\"}"), "");
    MbRecords r = mbRecordsSnapshot();
    EXPECT_EQ(mbFieldText(r.header.model, 16), "ZOR12KEP");
    EXPECT_EQ(mbFieldText(r.header.serial, 16), "S1");
    EXPECT_EQ(parse(mbParseStatic, "{\"model\":5,\"version\":\"2.0\"}"), "serial node not found in /config/static");
    r = mbRecordsSnapshot();
    EXPECT_EQ(mbFieldText(r.header.model, 16), "ZOR12KEP");
    EXPECT_EQ(mbFieldText(r.header.version, 16), "1.2");
}

TEST_F(UlvoraPoll, SiteInformationAndDefaults) {
    EXPECT_EQ(parse(mbParseInfo, "{\"siteInfo\":{\"name\":\"\",\"site\":\"s\",\"addr1\":\"a\",\"addr2\":\"b\","
                                 "\"loc1\":\"l\",\"loc2\":\"m\",\"panel\":\"p\",\"type\":\"t\"},"
                                 "\"defaults\":{\"backlight\":1,\"powerFactorSign\":-1,\"frequency\":50,"
                                 "\"demandWindow\":15,\"billingCycleDay\":3,\"billingCycleTime\":3600}}"),
              "");
    MbRecords r = mbRecordsSnapshot();
    EXPECT_EQ(mbFieldText(r.header.site_name, 80), "Krevo Power Meter");
    EXPECT_EQ(r.header.power_factor_sign, 0);
    EXPECT_EQ(r.header.demand_window, 15);
    EXPECT_EQ(r.header.billing_cycle_day, 3);
    EXPECT_EQ(r.header.billing_cycle_time, 3600);
    // A site block without "panel" changes nothing, not even the name.
    EXPECT_EQ(parse(mbParseInfo, "{\"siteInfo\":{\"name\":\"abc\",\"site\":\"s\",\"addr1\":\"a\",\"addr2\":\"b\","
                                 "\"loc1\":\"l\",\"loc2\":\"m\",\"type\":\"t\"}}"),
              "panel node not found in /config/info");
    EXPECT_EQ(mbFieldText(mbRecordsSnapshot().header.site_name, 80), "Krevo Power Meter");
    EXPECT_EQ(parse(mbParseInfo, "{\"other\":1}"), "");
}

TEST_F(UlvoraPoll, MappingNumbersLoadsChannelsAndInputs) {
    const std::string cts = "[{\"channel\":6,\"phaseCorrection\":true},{\"channel\":53,\"phaseCorrection\":false},"
                            "{\"channel\":5,\"phaseCorrection\":false}]";
    ASSERT_EQ(parse(mbParseMapping, mapping(mapping_load(4, true, cts) + "," + mapping_load(9, false) + "," +
                                            mapping_load(2, true, "[{\"channel\":54,\"phaseCorrection\":0}]"))),
              "");
    MbRecords r = mbRecordsSnapshot();
    EXPECT_EQ(r.header.active_loads, 2);
    EXPECT_EQ(r.loads[0].id, 5);
    EXPECT_EQ(r.loads[0].active, 1);
    EXPECT_EQ(r.loads[0].input, 1);
    EXPECT_EQ(mbFieldText(r.loads[0].name, 40), "Load 4");
    EXPECT_EQ(r.loads[0].cts[0].channel, 1);
    EXPECT_EQ(r.loads[0].cts[0].phase_correction, 1);
    EXPECT_EQ(r.loads[0].cts[1].channel, 48);
    EXPECT_EQ(r.loads[0].cts[2].channel, 0);
    EXPECT_EQ(r.loads[1].active, 0);
    EXPECT_EQ(r.loads[2].cts[0].channel, 0);
    EXPECT_EQ(r.inputs[0].id, 1);
    EXPECT_EQ(r.inputs[0].active, 1);
    EXPECT_EQ(r.inputs[0].voltage, 230);
    EXPECT_EQ(r.inputs[1].id, 2);
    EXPECT_EQ(r.inputs[1].active, 0);

    // The first load turns inactive, the third leaves the list: neither is served.
    ASSERT_EQ(parse(mbParseMapping, mapping(mapping_load(4, false) + "," + mapping_load(9, true), "[]")), "");
    r = mbRecordsSnapshot();
    EXPECT_EQ(r.header.active_loads, 1);
    EXPECT_EQ(r.loads[0].active, 0);
    EXPECT_EQ(r.loads[0].id, 5);
    EXPECT_EQ(r.loads[1].active, 1);
    EXPECT_EQ(r.loads[2].active, 0);
    EXPECT_EQ(r.inputs[0].active, 0);
}

// A key missing anywhere fails the answer: the records stay as they were,
// not half replaced.
TEST_F(UlvoraPoll, MappingWithAMissingKeyChangesNothing) {
    ASSERT_EQ(parse(mbParseMapping, mapping(mapping_load(1, true))), "");
    const MbRecords before = mbRecordsSnapshot();
    const struct {
        std::string body, failure;
    } cases[] = {
        {mapping(mapping_load(3, true) + ",{\"id\":4,\"active\":true,\"input\":0,\"cts\":[]}"),
         "name node not found in /config/mapping"},
        {mapping(mapping_load(3, true, "[{\"channel\":7}]")), "phaseCorrection node not found in /config/mapping"},
        {"{\"inputs\":[]}", "loads node not found in /config/mapping"},
        {mapping(mapping_load(3, true), "[{\"id\":0,\"active\":true,\"service\":1,\"voltage\":1}]"),
         "voltageScaler node not found in /config/mapping"},
        {"not json", "/api/v1/config/mapping return isn't valid JSON"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(parse(mbParseMapping, c.body), c.failure);
        const MbRecords after = mbRecordsSnapshot();
        EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << c.failure;
    }
}

TEST_F(UlvoraPoll, EntriesWithoutARecordAreIgnoredAndNotedOnce) {
    std::string loads;
    for (int i = 0; i < 50; ++i) {
        loads += (i ? "," : "") + mapping_load(i, true);
    }
    answer("/api/v1/config/mapping",
           mapping(loads, "[{\"id\":0,\"active\":false},{\"id\":1,\"active\":false},{\"id\":2,\"active\":false}]"));
    answer("/api/v1/config/pulse",
           "[{\"id\":0,\"active\":true,\"out\":false,\"scaler\":3,\"param\":10,\"type\":1},"
           "{\"id\":2,\"active\":true,\"out\":true},{\"id\":5,\"active\":true,\"out\":false}]");
    tqr_poll_config();
    tqr_poll_config();
    MbRecords r = mbRecordsSnapshot();
    EXPECT_EQ(r.header.active_loads, 48);
    EXPECT_EQ(r.loads[47].id, 48);
    EXPECT_EQ(log_count("Ignoring loads beyond 48 in /config/mapping"), 1u);
    EXPECT_EQ(log_count("Ignoring inputs beyond 2 in /config/mapping"), 1u);
    EXPECT_EQ(log_count("Ignoring pulse input id 5 in /config/pulse"), 1u);
    EXPECT_EQ(r.pulses[0].active, 1);
    EXPECT_EQ(r.pulses[0].scaler, 3);
    EXPECT_EQ(mbFieldText(r.pulses[0].unit, 16), "MVA");
    EXPECT_EQ(mbFieldText(r.pulses[0].meter_kind, 16), "water");
    EXPECT_EQ(r.pulses[1].active, 0);
}

TEST_F(UlvoraPoll, PulseConfigurationKeepsTextsOfUnknownCodes) {
    ASSERT_EQ(parse(mbParsePulseConfig, "[{\"id\":1,\"active\":true,\"out\":false,\"scaler\":2,\"param\":241,\"type\":5}]"), "");
    ASSERT_EQ(parse(mbParsePulseConfig, "[{\"id\":1,\"active\":true,\"out\":false,\"scaler\":2,\"param\":1,\"type\":9}]"), "");
    MbRecords r = mbRecordsSnapshot();
    EXPECT_EQ(mbFieldText(r.pulses[1].unit, 16), "MVAh");
    EXPECT_EQ(mbFieldText(r.pulses[1].meter_kind, 16), "event counter");
    // The output entry only clears its own record; an input left out is not active.
    ASSERT_EQ(parse(mbParsePulseConfig, "[{\"id\":1,\"active\":true,\"out\":true}]"), "");
    EXPECT_EQ(mbRecordsSnapshot().pulses[1].active, 0);
}

TEST_F(UlvoraPoll, LoadDataByMappedIdWithCtSums) {
    ASSERT_EQ(parse(mbParseMapping, mapping(mapping_load(7, true) + "," + mapping_load(8, true))), "");
    const std::string cts = "[" + ct_entry(true) + "," + ct_entry(false) + "," + ct_entry(true) + "]";
    ASSERT_EQ(parse(mbParseLoadData, "{\"LOAD\":[" + load_entry(7, ",\"tot_Thd\":4", cts) + "," +
                                         load_entry(99) + "]}"),
              "");
    MbRecords r = mbRecordsSnapshot();
    const mb_load &l = r.loads[0];
    EXPECT_FLOAT_EQ(l.p, 1.5f);
    EXPECT_FLOAT_EQ(l.a, 1500.0f);
    EXPECT_FLOAT_EQ(l.wh, 123456.0f);
    EXPECT_FLOAT_EQ(l.thd, 4.0f);
    EXPECT_FLOAT_EQ(l.pd, 0.0f);
    EXPECT_FLOAT_EQ(l.cts[0].varh_ind_dis, 2.0f);
    EXPECT_FLOAT_EQ(l.cts[0].varh_ind_gen, 0.5f);
    EXPECT_FLOAT_EQ(l.cts[0].varh_ind, 2.5f);
    EXPECT_FLOAT_EQ(l.cts[0].varh_cap, 0.4f);
    EXPECT_FLOAT_EQ(l.varh_ind, 5.0f);
    EXPECT_FLOAT_EQ(l.varh_cap, 0.8f);
    EXPECT_EQ(l.cts[0].en, 1);
    EXPECT_EQ(l.cts[1].en, 0);
    EXPECT_EQ(l.cts[2].en, 1);
    EXPECT_FLOAT_EQ(r.loads[1].p, 0.0f); // id 8 was not in the answer

    // A CT the answer no longer carries is not enabled; a disabled one keeps its values.
    ASSERT_EQ(parse(mbParseLoadData, "{\"load\":[" + load_entry(7, ",\"tot_pd\":2000", "[" + ct_entry(false) + "]") + "]}"), "");
    r = mbRecordsSnapshot();
    EXPECT_EQ(r.loads[0].cts[0].en, 0);
    EXPECT_FLOAT_EQ(r.loads[0].cts[0].a, 10.0f);
    EXPECT_EQ(r.loads[0].cts[2].en, 0);
    EXPECT_FLOAT_EQ(r.loads[0].varh_ind, 0.0f);
    EXPECT_FLOAT_EQ(r.loads[0].pd, 2.0f);
}

TEST_F(UlvoraPoll, LoadDataFailingHalfWayChangesNothing) {
    ASSERT_EQ(parse(mbParseMapping, mapping(mapping_load(1, true) + "," + mapping_load(2, true))), "");
    ASSERT_EQ(parse(mbParseLoadData, "{\"load\":[" + load_entry(1) + "]}"), "");
    const MbRecords before = mbRecordsSnapshot();
    std::string broken = load_entry(2);
    broken.replace(broken.find("\"tot_s\""), 7, "\"tot_x\"");
    const struct {
        std::string body, failure;
    } cases[] = {
        {"{\"load\":[" + load_entry(1, ",\"tot_wh\":1") + "," + broken + "]}", "tot_s node not found in /data/loads"},
        {"{\"load\":[" + load_entry(1, "", "[{\"en\":true,\"a\":1}]") + "]}", "p node not found in /data/loads"},
        {"{\"other\":[]}", "No load in /data/loads."},
        {"[1,", "/api/v1/data/loads return isn't valid JSON"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(parse(mbParseLoadData, c.body), c.failure);
        const MbRecords after = mbRecordsSnapshot();
        EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << c.failure;
    }
}

TEST_F(UlvoraPoll, InputAndPulseData) {
    ASSERT_EQ(parse(mbParseInputData,
                    "{\"Input\":[{\"id\":0,\"en\":true,\"freq\":50,\"lines\":[{\"v\":230,\"v_ll\":400,\"ph\":3.14159265,"
                    "\"thd\":1},{\"v\":231},{\"v\":232},{\"v\":999}]},{\"id\":1,\"en\":false,\"lines\":[]}]}"),
              "");
    MbRecords r = mbRecordsSnapshot();
    EXPECT_FLOAT_EQ(r.inputs[0].freq, 50.0f);
    EXPECT_FLOAT_EQ(r.inputs[0].v[2], 232.0f);
    EXPECT_NEAR(r.inputs[0].ph[0], 180.0f, 1e-3);
    EXPECT_FLOAT_EQ(r.inputs[0].v_ll[1], 0.0f);
    EXPECT_EQ(parse(mbParseInputData, "{\"Input\":[{\"id\":0,\"en\":true}]}"), "lines node not found in /data/inputs");

    ASSERT_EQ(parse(mbParsePulseConfig,
                    "[{\"id\":0,\"active\":true,\"out\":false,\"scaler\":3,\"param\":2,\"type\":0},"
                    "{\"id\":1,\"active\":true,\"out\":false,\"scaler\":8,\"param\":2,\"type\":0}]"),
              "");
    ASSERT_EQ(parse(mbParsePulseData, "[{\"count\":10},{\"count\":1073741824},{\"count\":5}]"), "");
    r = mbRecordsSnapshot();
    EXPECT_EQ(r.pulses[0].scaled_count, 30);
    EXPECT_EQ(r.pulses[1].count, 1073741824);
    EXPECT_EQ(r.pulses[1].scaled_count, 0); // 2^33: the low 32 bits
    EXPECT_EQ(parse(mbParsePulseData, "[{\"count\":1},{}]"), "count node not found in /data/pulses");
    EXPECT_EQ(mbRecordsSnapshot().pulses[0].count, 10);
}

// Down, an error status, garbage: one line when the failure starts, one
// when the endpoint answers again, the last values kept meanwhile.
TEST_F(UlvoraPoll, FailuresAreLoggedWhenTheyStartAndEnd) {
    answer("/api/v1/config/mapping", mapping(mapping_load(1, true)));
    answer("/api/v1/data/loads", "{\"load\":[" + load_entry(1) + "]}");
    tqr_poll_config();
    tqr_poll_data();
    const float p = mbRecordsSnapshot().loads[0].p;
    meter::host::log_clear();
    const struct {
        TqrAnswer answer;
        std::string line;
    } cases[] = {
        {{0, {}, "Couldn't connect to TQR server at http://127.0.0.1:8160/api/v1/data/loads"},
         "Couldn't connect to TQR server at http://127.0.0.1:8160/api/v1/data/loads"},
        {{0, {}, {}}, "No answer from TQR server at http://127.0.0.1:8160/api/v1/data/loads"},
        {{500, {}, {}}, "Received 500 for http://127.0.0.1:8160/api/v1/data/loads"},
        {{200, "<html>", {}}, "/api/v1/data/loads return isn't valid JSON"},
    };
    for (const auto &c : cases) {
        answers_["/api/v1/data/loads"] = c.answer;
        for (int i = 0; i < 3; ++i) {
            tqr_poll_data();
        }
        EXPECT_EQ(log_count(c.line), 1u) << c.line;
        EXPECT_FLOAT_EQ(mbRecordsSnapshot().loads[0].p, p);
        answer("/api/v1/data/loads", "{\"load\":[" + load_entry(1) + "]}");
        tqr_poll_data();
        tqr_poll_data();
        EXPECT_EQ(log_count("TQR answers /api/v1/data/loads again"), 1u) << c.line;
        meter::host::log_clear();
    }
}

} // namespace
