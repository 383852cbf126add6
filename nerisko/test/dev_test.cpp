// The result nodes: every field at its offset, read from the node files by
// the test itself; the mapping's static part; entries the records cannot hold.

#include "nerisko/dev.h"
#include "temp_root.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cstring>
#include <string>

namespace {

template <typename T>
T at(const std::string &b, size_t offset) {
    T v{};
    EXPECT_LE(offset + sizeof v, b.size());
    if (offset + sizeof v <= b.size()) {
        std::memcpy(&v, b.data() + offset, sizeof v);
    }
    return v;
}

std::string node(const std::string &path) { return meter::host::node_content(path); }

class Nodes : public ::testing::Test {
protected:
    void SetUp() override {
        setlogmask(LOG_UPTO(LOG_DEBUG));
        ASSERT_EQ(dev_init(), 1);
        std::memset(&map, 0, sizeof map);
        // Voltage sets 0 and 1; load entry 0 (id 7) on set 0 with CTs on
        // channels 6, 7 (and an inactive one on 8); entry 1 (id 9) on set 1
        // with a CT on channel 20; entry 2 (id 11) inactive, naming channel 30.
        for (uint32_t k = 0; k < 2; ++k) {
            map.sets_u[k].id = k;
            map.sets_u[k].active = true;
            for (uint32_t j = 0; j < 3; ++j) {
                map.sets_u[k].u[j] = {3 * k + j, j != 2 || k == 0, {}};
            }
        }
        mapping_i_set &a = map.sets_i[0];
        a.id = 7;
        a.u_set_id = 0;
        a.active = true;
        std::strcpy(a.name, "Kitchen");
        a.i[0].channel = 6;
        a.i[0].active = true;
        a.i[1].channel = 7;
        a.i[1].active = true;
        a.i[2].channel = 8;
        mapping_i_set &b = map.sets_i[1];
        b.id = 9;
        b.u_set_id = 1;
        b.active = true;
        std::memset(b.name, 'N', 42);  // 42 characters: the record keeps 40, unterminated
        b.i[1].channel = 20;
        b.i[1].active = true;
        mapping_i_set &c = map.sets_i[2];
        c.id = 11;
        c.u_set_id = 0;
        c.i[0].channel = 30;
        c.i[0].active = true;
    }
    void TearDown() override { dev_cleanup(); }

    // A one-second result of processing slot `slot` for the descriptor d.
    void result(uint32_t slot, processing_set_t &d, uint64_t ts) {
        std::memset(&r, 0, sizeof r);
        r.set = slot;
        r.ts_begin = ts - 200000000;
        r.ts_end = ts;
        r.flags = 0x101;  // only the low byte reaches the records
        r.frequency.value = 50.25f;
        for (uint32_t j = 0; j < 3; ++j) {
            data_u &u = r.set_u.u[j];
            u.phase.value = -2.0f * j;
            u.rms_ln.value = 230.0f + j;
            u.rms_ll.value = 400.0f + j;
            u.rms_fund.value = 229.0f + j;
            u.thd_f.value = 1.5f + j;
        }
        for (uint32_t l = 0; l < 2; ++l) {
            data_i_set &s = r.sets_i[l];
            s.load_id = d.isets[l] != nullptr ? d.isets[l]->id : 0;
            for (uint32_t j = 0; j < 3; ++j) {
                data_i &c = s.i[j];
                const float b = 100.0f * (l + 1) + 10.0f * j;
                c.phase.value = b + 1;
                c.rms.value = b + 2;
                c.rms_fund.value = b + 3;
                c.thd_f.value = b + 4;
                c.w.value = b + 5;
                c.va.value = b + 6;
                c.var.value = b + 7;
                data_double_t *e = &c.wh;
                for (uint32_t q = 0; q < 11; ++q) {
                    e[q].value = 1000.0 * (l + 1) + 100.0 * j + q;
                }
                c.apf.value = 0.5f;
                c.dpf.value = 0.25f;
                c.peak_demand.value = b + 8;
                c.demand.value = b + 9;
            }
            s.rms.value = 11.0f * (l + 1);
            s.thd.value = 12.0f * (l + 1);
            s.p.w.value = 13.0f * (l + 1);
            s.p.va.value = 14.0f * (l + 1);
            s.p.var.value = 15.0f * (l + 1);
            data_double_t *e = &s.p.wh;
            for (uint32_t q = 0; q < 11; ++q) {
                e[q].value = 5000.0 * (l + 1) + q;
            }
            s.p.apf.value = 0.75f;
            s.p.dpf.value = 0.875f;
            s.p.peak_demand.value = 16.0f * (l + 1);
            s.p.demand.value = 17.0f * (l + 1);
        }
        event_data_t ev{&d, &r};
        dev_update(&ev);
    }

    meter::host::TempRoot root;
    mapping map{};
    data_set_t r{};
};

// Every field of the CT record of CT n (for result load slot l, CT j) at its offset.
void expect_ct(const std::string &b, size_t o, uint32_t n, bool active, uint32_t l, uint32_t j, uint64_t ts) {
    SCOPED_TRACE("ct " + std::to_string(n));
    const float base = 100.0f * (l + 1) + 10.0f * j;
    EXPECT_EQ(at<uint32_t>(b, o + 0), n);
    EXPECT_EQ(at<uint8_t>(b, o + 4), active ? 1 : 0);
    EXPECT_EQ(at<uint8_t>(b, o + 5), 0x01);
    EXPECT_EQ(at<uint16_t>(b, o + 6), 0);
    EXPECT_EQ(at<uint64_t>(b, o + 8), ts);
    EXPECT_EQ(at<float>(b, o + 16), base + 1);
    EXPECT_EQ(at<uint32_t>(b, o + 20), 0u);
    EXPECT_EQ(at<float>(b, o + 24), base + 2);
    EXPECT_EQ(at<float>(b, o + 28), base + 3);
    EXPECT_EQ(at<float>(b, o + 32), base + 4);
    EXPECT_EQ(at<float>(b, o + 36), base + 5);
    EXPECT_EQ(at<float>(b, o + 40), base + 6);
    EXPECT_EQ(at<float>(b, o + 44), base + 7);
    for (uint32_t q = 0; q < 11; ++q) {
        EXPECT_EQ(at<double>(b, o + 48 + 8 * q), 1000.0 * (l + 1) + 100.0 * j + q);
    }
    EXPECT_EQ(at<float>(b, o + 136), 0.5f);
    EXPECT_EQ(at<float>(b, o + 140), 0.25f);
    EXPECT_EQ(at<float>(b, o + 144), base + 8);
    EXPECT_EQ(at<float>(b, o + 148), base + 9);
}

void expect_input(const std::string &b, size_t o, uint32_t set, bool line2_active, uint64_t ts) {
    SCOPED_TRACE("input " + std::to_string(set));
    EXPECT_EQ(at<uint32_t>(b, o + 0), set);
    EXPECT_EQ(at<uint8_t>(b, o + 4), 1);
    EXPECT_EQ(at<uint8_t>(b, o + 5), 0x01);
    EXPECT_EQ(at<uint64_t>(b, o + 8), ts);
    EXPECT_EQ(at<float>(b, o + 16), 50.25f);
    for (uint32_t k = 0; k < 3; ++k) {
        const size_t l = o + 20 + 24 * k;
        EXPECT_EQ(at<uint8_t>(b, l), k != 2 || line2_active ? 1 : 0);
        EXPECT_EQ(at<float>(b, l + 4), -2.0f * k);
        EXPECT_EQ(at<float>(b, l + 8), 230.0f + k);
        EXPECT_EQ(at<float>(b, l + 12), 400.0f + k);
        EXPECT_EQ(at<float>(b, l + 16), 229.0f + k);
        EXPECT_EQ(at<float>(b, l + 20), 1.5f + k);
    }
    EXPECT_EQ(at<uint32_t>(b, o + 92), 0u);
}

TEST_F(Nodes, EveryFieldAtItsOffset) {
    dev_update_mapping(&map);
    processing_set_t d0{&map.sets_u[0], {&map.sets_i[0]}};
    processing_set_t d1{&map.sets_u[1], {&map.sets_i[1]}};
    result(0, d0, 7000000000ull);
    const std::string ct6 = node("/dev/zor_data/ct/0");
    ASSERT_EQ(ct6.size(), 152u);
    expect_ct(ct6, 0, 0, true, 0, 0, 7000000000ull);
    expect_ct(node("/dev/zor_data/ct/1"), 0, 1, true, 0, 1, 7000000000ull);
    EXPECT_EQ(at<uint8_t>(node("/dev/zor_data/ct/2"), 4), 0) << "an inactive CT entry marks nothing";
    EXPECT_EQ(at<uint8_t>(node("/dev/zor_data/ct/24"), 4), 1) << "an inactive load's active CT entry marks its CT";
    EXPECT_EQ(at<uint64_t>(node("/dev/zor_data/ct/24"), 8), 0u) << "but nothing measures it";
    const std::string in0 = node("/dev/zor_data/input/0");
    ASSERT_EQ(in0.size(), 96u);
    expect_input(in0, 0, 0, true, 7000000000ull);

    const std::string load0 = node("/dev/zor_data/load/0");
    ASSERT_EQ(load0.size(), 736u);
    EXPECT_EQ(at<uint32_t>(load0, 0), 7u);
    EXPECT_EQ(std::string(load0.data() + 4), "Kitchen");
    EXPECT_EQ(at<uint8_t>(load0, 44), 1);
    EXPECT_EQ(at<uint8_t>(load0, 45), 0x01);
    EXPECT_EQ(at<uint64_t>(load0, 48), 7000000000ull);
    expect_ct(load0, 56, 0, true, 0, 0, 7000000000ull);
    expect_ct(load0, 56 + 152, 1, true, 0, 1, 7000000000ull);
    EXPECT_EQ(load0.substr(56 + 304, 152), std::string(152, '\0')) << "inactive CT entry: zero copy";
    expect_input(load0, 512, 0, true, 7000000000ull);
    EXPECT_EQ(at<float>(load0, 608), 11.0f);
    EXPECT_EQ(at<float>(load0, 612), 12.0f);
    EXPECT_EQ(at<float>(load0, 616), 13.0f);
    EXPECT_EQ(at<float>(load0, 620), 14.0f);
    EXPECT_EQ(at<float>(load0, 624), 15.0f);
    EXPECT_EQ(at<uint32_t>(load0, 628), 0u);
    for (uint32_t q = 0; q < 11; ++q) {
        EXPECT_EQ(at<double>(load0, 632 + 8 * q), 5000.0 + q);
    }
    EXPECT_EQ(at<float>(load0, 720), 0.75f);
    EXPECT_EQ(at<float>(load0, 724), 0.875f);
    EXPECT_EQ(at<float>(load0, 728), 16.0f);
    EXPECT_EQ(at<float>(load0, 732), 17.0f);

    // The second set: its own slot 0 holds load id 9.
    result(1, d1, 9000000000ull);
    const std::string load1 = node("/dev/zor_data/load/1");
    EXPECT_EQ(at<uint32_t>(load1, 0), 9u);
    EXPECT_EQ(load1.substr(4, 40), std::string(40, 'N')) << "a long name fills the field, unterminated";
    EXPECT_EQ(at<uint8_t>(load1, 44), 1);
    expect_ct(load1, 56 + 152, 14, true, 0, 1, 9000000000ull);
    expect_input(load1, 512, 1, false, 9000000000ull);
    EXPECT_EQ(at<float>(load1, 616), 13.0f);

    // The all-record nodes hold the same records in order.
    const std::string all_ct = node("/dev/zor_data/ct/48");
    ASSERT_EQ(all_ct.size(), 7296u);
    EXPECT_EQ(all_ct.substr(0, 152), node("/dev/zor_data/ct/0"));
    EXPECT_EQ(all_ct.substr(14 * 152, 152), node("/dev/zor_data/ct/14"));
    const std::string all_load = node("/dev/zor_data/load/48");
    ASSERT_EQ(all_load.size(), 35328u);
    EXPECT_EQ(all_load.substr(0, 736), load0) << "set 0's records are unchanged by set 1's second";
    EXPECT_EQ(all_load.substr(736, 736), load1);
    const std::string all_in = node("/dev/zor_data/input/2");
    ASSERT_EQ(all_in.size(), 192u);
    EXPECT_EQ(all_in.substr(0, 96), in0);
    EXPECT_EQ(all_in.substr(96, 96), node("/dev/zor_data/input/1"));
    // Removed and inactive entries: zeros with their ids.
    const std::string load2 = node("/dev/zor_data/load/2");
    EXPECT_EQ(at<uint32_t>(load2, 0), 11u);
    EXPECT_EQ(load2.substr(4), std::string(732, '\0'));
}

// A new mapping clears every record: a load that left keeps only its id
// and the records follow the new mapping.
TEST_F(Nodes, NewMappingRewritesTheRecords) {
    dev_update_mapping(&map);
    processing_set_t d0{&map.sets_u[0], {&map.sets_i[0]}};
    result(0, d0, 7000000000ull);
    ASSERT_EQ(at<float>(node("/dev/zor_data/load/0"), 616), 13.0f);

    map.sets_i[0].active = false;
    std::strcpy(map.sets_i[3].name, "Garage");
    map.sets_i[3].id = 12;
    map.sets_i[3].active = true;
    map.sets_i[3].i[0] = map.sets_i[0].i[0];
    dev_update_mapping(&map);
    const std::string load0 = node("/dev/zor_data/load/0");
    EXPECT_EQ(at<uint32_t>(load0, 0), 7u);
    EXPECT_EQ(load0.substr(4), std::string(732, '\0'));
    const std::string load3 = node("/dev/zor_data/load/3");
    EXPECT_EQ(at<uint32_t>(load3, 0), 12u);
    EXPECT_EQ(std::string(load3.data() + 4), "Garage");
    EXPECT_EQ(at<uint32_t>(load3, 56), 0u) << "ct_no of channel 6";
    EXPECT_EQ(at<uint8_t>(load3, 60), 1);
    EXPECT_EQ(at<uint64_t>(node("/dev/zor_data/ct/0"), 8), 0u) << "measured fields cleared";
}

// Entries the records cannot hold are left out with a log line instead of
// stopping the program; a result of the second voltage set alone goes to
// that set's records.
TEST_F(Nodes, EntriesTheRecordsCannotHold) {
    map.sets_i[0].i[1].channel = 54;  // beyond the last CT
    map.sets_i[4].id = 20;
    map.sets_i[4].active = true;  // no active CT
    map.sets_i[5].id = 21;
    map.sets_i[5].active = true;
    map.sets_i[5].u_set_id = 7;  // no such voltage set
    map.sets_i[5].i[0].channel = 40;
    map.sets_i[5].i[0].active = true;
    dev_update_mapping(&map);
    EXPECT_TRUE(meter::host::log_has("Load entry 0: CT channel 54 has no result node, left out"));
    EXPECT_TRUE(meter::host::log_has("Load 20 has no active CT"));
    EXPECT_TRUE(meter::host::log_has("Load 21: voltage set 7 has no result node"));

    // A descriptor whose load is not in the records (a synthetic mapping).
    mapping_i_set stranger = map.sets_i[0];
    stranger.id = 99;
    processing_set_t d{&map.sets_u[0], {&stranger, &map.sets_i[0]}};
    result(0, d, 5000000000ull);
    EXPECT_TRUE(meter::host::log_has("Load 99 of the result has no load record, left out"));
    EXPECT_EQ(at<float>(node("/dev/zor_data/load/0"), 616), 26.0f) << "slot 1 of the result";

    // Only the second voltage set active: processing slot 0, mapping set 1.
    map.sets_u[0].active = false;
    dev_update_mapping(&map);
    processing_set_t only{&map.sets_u[1], {&map.sets_i[1]}};
    result(0, only, 3000000000ull);
    EXPECT_EQ(at<uint64_t>(node("/dev/zor_data/input/1"), 8), 3000000000ull);
    EXPECT_EQ(at<uint64_t>(node("/dev/zor_data/input/0"), 8), 0u);
    EXPECT_EQ(at<uint64_t>(node("/dev/zor_data/load/1"), 48), 3000000000ull);
}

}  // namespace
