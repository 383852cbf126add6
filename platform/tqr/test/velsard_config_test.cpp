// velsard's records as the stand-in serves them: every field that a reader
// of TQR takes comes from the record's own place.
#include "velsard_config.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

using Json = nlohmann::ordered_json;

// Two voltage sets (the second inactive, 120 V delta, PT ratio 2.5, line 3
// off) and three loads: id 0 on set 0 with an inverted CT and an inactive
// one, id 47 on set 1 in position 1, and an inactive load in position 2.
GVariant *fixtureMapping() {
    GVariantBuilder sets;
    g_variant_builder_init(&sets, G_VARIANT_TYPE("a(ubuuduuuuuuuua(ub))"));
    g_variant_builder_add_parsed(&sets, "(uint32 0, true, uint32 230, uint32 1, 1.0, uint32 0, uint32 0, uint32 0,"
                                        " uint32 0, uint32 0, uint32 0, uint32 0, uint32 0,"
                                        " [(uint32 0, true), (1, true), (2, true)])");
    g_variant_builder_add_parsed(&sets, "(uint32 1, false, uint32 120, uint32 2, 2.5, uint32 0, uint32 0, uint32 0,"
                                        " uint32 0, uint32 0, uint32 0, uint32 0, uint32 0,"
                                        " [(uint32 3, true), (4, true), (5, false)])");
    GVariantBuilder loads;
    g_variant_builder_init(&loads, G_VARIANT_TYPE("a(uuubsa(ububudddd))"));
    g_variant_builder_add_parsed(&loads, "(uint32 0, uint32 0, uint32 0, true, 'Load 1',"
                                         " [(uint32 6, true, uint32 9, false, uint32 0, 100.0, 333.0, 1.0, 0.0),"
                                         "  (uint32 7, true, 3, true, 0, 50.0, 333.0, 1.0, 0.0),"
                                         "  (uint32 8, false, 9, false, 0, 100.0, 333.0, 1.0, 0.0)])");
    g_variant_builder_add_parsed(&loads, "(uint32 47, uint32 0, uint32 1, true, 'Feeder',"
                                         " [(uint32 53, true, uint32 9, false, uint32 0, 400.0, 333.0, 1.0, 0.0)])");
    g_variant_builder_add_parsed(&loads, "(uint32 5, uint32 0, uint32 0, false, 'Spare',"
                                         " @a(ububudddd) [])");
    GVariantBuilder tail;
    g_variant_builder_init(&tail, G_VARIANT_TYPE("ai"));
    g_variant_builder_add(&tail, "i", 0);
    return g_variant_ref_sink(
        g_variant_new("(ua(ubuuduuuuuuuua(ub))a(uuubsa(ububudddd))ai)", 7u, &sets, &loads, &tail));
}

TEST(VelsardConfig, EveryServedFieldComesFromItsPlaceInTheRecords) {
    GVariant *mapping = fixtureMapping();
    GVariant *pulse = g_variant_ref_sink(g_variant_new_parsed(
        "[(0, true, false, 1, 82, 10.0, 0, 0, uint32 0, uint32 0, uint32 0, uint32 0, uint32 0, uint32 0, uint32 0,"
        "  uint32 0),"
        " (0, false, false, 0, 19, 1.0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0),"
        " (0, true, true, 0, 243, 0.5, 120, 3, 0, 0, 0, 0, 0, 0, 0, 0)]"));
    GVariant *device = g_variant_ref_sink(
        g_variant_new("(uuuuuuuuuuuuuuu)", 80u, 1u, 50u, 30u, 9u, 12u, 3600u, 0u, 0u, 0u, 0u, 0u, 0u, 0u, 0u));
    const Json served = {{"mapping", tqr::mappingFromVelsard(mapping, 1000)},
                         {"pulse", tqr::pulseFromVelsard(pulse)},
                         {"defaults", tqr::defaultsFromVelsard(device)}};
    g_variant_unref(mapping);
    g_variant_unref(pulse);
    g_variant_unref(device);

    const struct {
        const char *pointer;
        Json value;
    } cases[] = {
        {"/mapping/version", "7"},
        // Every entry in velsard's order, inactive ones too: entry m is the
        // m-th load record of Nerisko's result node.
        {"/mapping/loads/0/id", 0},
        {"/mapping/loads/0/vdi", 1001},
        {"/mapping/loads/0/name", "Load 1"},
        {"/mapping/loads/0/input", 0},
        {"/mapping/loads/0/active", true},
        {"/mapping/loads/0/cts/0/channel", 6},
        {"/mapping/loads/0/cts/0/type", 9},
        {"/mapping/loads/0/cts/0/maxRating", 100.0},
        {"/mapping/loads/0/cts/1/channel", 7},
        {"/mapping/loads/0/cts/1/type", 3},
        {"/mapping/loads/0/cts/1/inverse", true},
        {"/mapping/loads/0/cts/2/channel", 8},
        {"/mapping/loads/0/cts/2/active", false},
        {"/mapping/loads/1/id", 47},
        {"/mapping/loads/1/vdi", 1048},
        {"/mapping/loads/1/name", "Feeder"},
        {"/mapping/loads/1/input", 1},
        {"/mapping/loads/1/cts/0/channel", 53},
        {"/mapping/loads/1/cts/0/maxRating", 400.0},
        {"/mapping/loads/2/id", 5},
        {"/mapping/loads/2/active", false},
        {"/mapping/loads/2/cts", Json::array()},
        {"/mapping/inputs/0/id", 0},
        {"/mapping/inputs/0/voltage", 230},
        {"/mapping/inputs/0/service", 1},
        {"/mapping/inputs/0/voltageScaler", 1.0},
        {"/mapping/inputs/1/active", false},
        {"/mapping/inputs/1/id", 1},
        {"/mapping/inputs/1/voltage", 120},
        {"/mapping/inputs/1/service", 2},
        {"/mapping/inputs/1/voltageScaler", 2.5},
        {"/mapping/inputs/1/lines/2/active", false},
        {"/pulse/0/id", 0},
        {"/pulse/0/active", true},
        {"/pulse/0/out", false},
        {"/pulse/0/type", 1},
        {"/pulse/0/param", 82},
        {"/pulse/0/scaler", 10.0},
        {"/pulse/1/active", false},
        {"/pulse/2/id", 2},
        {"/pulse/2/out", true},
        {"/pulse/2/param", 243},
        {"/pulse/2/pulseWidth", 120},
        {"/defaults/backlight", 80},
        {"/defaults/powerFactorSign", 1},
        {"/defaults/frequency", 50},
        {"/defaults/demandWindow", 30},
        {"/defaults/billingCycleDay", 12},
        {"/defaults/billingCycleTime", 3600},
    };
    for (const auto &c : cases) {
        const Json::json_pointer at(c.pointer);
        ASSERT_TRUE(served.contains(at)) << c.pointer;
        EXPECT_EQ(served.at(at), c.value) << c.pointer;
    }
    EXPECT_EQ(served["mapping"]["loads"].size(), 3u);
    EXPECT_EQ(served["mapping"]["inputs"].size(), 2u);
}

TEST(VelsardConfig, ARecordOfAnotherTypeIsRefused) {
    GVariant *wrong = g_variant_ref_sink(g_variant_new("(u)", 1u));
    EXPECT_THROW(tqr::mappingFromVelsard(wrong, 1000), std::runtime_error);
    EXPECT_THROW(tqr::pulseFromVelsard(wrong), std::runtime_error);
    EXPECT_THROW(tqr::defaultsFromVelsard(wrong), std::runtime_error);
    EXPECT_THROW(tqr::mappingFromVelsard(nullptr, 1000), std::runtime_error);
    g_variant_unref(wrong);
}

} // namespace
