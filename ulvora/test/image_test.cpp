// The records, the register map and the image built from them, checked
// against the registers this test writes down itself.
#include "ulvora/parsers.h"
#include "ulvora/records.h"

#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <cstring>
#include <set>
#include <vector>

namespace {

struct Expect {
    int reg;
    uint16_t value;
};

std::vector<uint16_t> build(const MbRecords &r) {
    std::vector<uint16_t> regs(MB_INPUT_REGISTERS, 0xEEEE);
    std::fill(regs.begin() + MB_MAP_END, regs.end(), 0);
    mbBuildImage(r, regs.data());
    return regs;
}

// Registers outside the listed ones and the given ranges must read 0.
void expect_only(const std::vector<uint16_t> &regs, const std::vector<Expect> &expected) {
    std::vector<int> want(regs.size(), 0);
    for (const Expect &e : expected) {
        ASSERT_EQ(regs[e.reg], e.value) << "register " << e.reg;
        want[e.reg] = 1;
    }
    for (size_t n = 0; n < regs.size(); ++n) {
        if (!want[n]) {
            ASSERT_EQ(regs[n], 0) << "register " << n << " should read 0";
        }
    }
}

TEST(UlvoraEncodings, Int32HighHalfFirst) {
    const struct {
        int32_t value;
        uint16_t hi, lo;
    } cases[] = {{-1, 0xFFFF, 0xFFFF}, {5, 0x0000, 0x0005}, {0x12345678, 0x1234, 0x5678}, {INT32_MIN, 0x8000, 0}};
    for (const auto &c : cases) {
        uint16_t regs[2];
        mbSetInt32(c.value, regs);
        EXPECT_EQ(regs[0], c.hi) << c.value;
        EXPECT_EQ(regs[1], c.lo) << c.value;
        EXPECT_EQ(mbSwapWords(static_cast<uint32_t>(c.value)), (uint32_t(c.lo) << 16) | c.hi);
    }
}

TEST(UlvoraEncodings, FloatLowHalfFirstAsDebianLibmodbusWrites) {
    const struct {
        float value;
        uint16_t first, second;
    } cases[] = {{123456.0f, 0x2000, 0x47F1}, {1.5f, 0x0000, 0x3FC0}, {-2.0f, 0x0000, 0xC000}, {0.0f, 0, 0}};
    for (const auto &c : cases) {
        uint16_t regs[2];
        mbSetFloat(c.value, regs);
        EXPECT_EQ(regs[0], c.first) << c.value;
        EXPECT_EQ(regs[1], c.second) << c.value;
        // The linked library agrees with the fixed order.
        uint16_t theirs[2];
        modbus_set_float_dcba(c.value, theirs);
        EXPECT_EQ(std::memcmp(regs, theirs, sizeof regs), 0) << c.value;
    }
}

TEST(UlvoraEncodings, TextTwoCharactersPerRegisterCutAndZeroFilled) {
    uint16_t field[40];
    std::memset(field, 0xAB, sizeof field);
    mbCopyText("abc", field, 80);
    EXPECT_EQ(field[0], 0x6162);
    EXPECT_EQ(field[1], 0x6300);
    for (int i = 2; i < 40; ++i) {
        EXPECT_EQ(field[i], 0) << i;
    }
    const std::string eighty(80, 'x');
    mbCopyText(eighty + "overflow", field, 80);
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(field[i], 0x7878) << i;
    }
    uint16_t small[8];
    mbCopyText("a name longer than sixteen", small, 16);
    EXPECT_EQ(mbFieldText(small, 16), "a name longer th");
}

TEST(UlvoraRegisterMap, FieldsStayInsideTheirBlocksWithoutOverlap) {
    const struct {
        const char *name;
        std::span<const MbField> map;
        int registers;
    } blocks[] = {{"header", mbHeaderMap, 100},
                  {"voltage input", mbVoltageInputMap, 48},
                  {"pulse input", mbPulseInputMap, 32},
                  {"load", mbLoadMap, 100},
                  {"ct", mbCtMap, 48}};
    for (const auto &b : blocks) {
        std::set<int> used;
        for (const MbField &f : b.map) {
            EXPECT_EQ(f.registers % 2 == 0 || f.encoding == MbEncoding::text, true) << b.name << " " << f.name;
            EXPECT_LE(f.reg + f.registers, b.registers) << b.name << " " << f.name;
            for (int r = f.reg; r < f.reg + f.registers; ++r) {
                EXPECT_TRUE(used.insert(r).second) << b.name << " " << f.name << " overlaps at " << r;
            }
        }
    }
    EXPECT_EQ(mbLoadMap.size(), 3u + 22u + 1u);
    EXPECT_EQ(mbCtMap.size(), 2u + 22u);
}

// Every served field, given a distinct value in its record, lands at its
// register and nowhere else; the table is read only to choose the values.
TEST(UlvoraImage, EveryMappedFieldLandsWhereTheMapSays) {
    MbRecords r{};
    std::vector<Expect> expected;
    uint32_t next = 0x0101;
    auto fill = [&](std::span<const MbField> map, void *record, int base) {
        auto *bytes = static_cast<uint8_t *>(record);
        for (const MbField &f : map) {
            for (int i = 0; i < f.registers; i += 2) {
                const uint32_t v = next++;
                if (f.encoding == MbEncoding::text) {
                    const uint16_t w = static_cast<uint16_t>(v);
                    std::memcpy(bytes + 2 * (f.reg + i), &w, 2);
                    expected.push_back({base + f.reg + i, w});
                    if (i + 1 < f.registers) {
                        const uint16_t w2 = static_cast<uint16_t>(v + 0x8000);
                        std::memcpy(bytes + 2 * (f.reg + i + 1), &w2, 2);
                        expected.push_back({base + f.reg + i + 1, w2});
                    }
                    continue;
                }
                std::memcpy(bytes + 2 * f.reg, &v, 4);
                if (f.encoding == MbEncoding::int32) {
                    expected.push_back({base + f.reg, static_cast<uint16_t>(v >> 16)});
                    expected.push_back({base + f.reg + 1, static_cast<uint16_t>(v)});
                } else {
                    expected.push_back({base + f.reg, static_cast<uint16_t>(v)});
                    expected.push_back({base + f.reg + 1, static_cast<uint16_t>(v >> 16)});
                }
            }
        }
    };
    fill(mbHeaderMap, &r.header, 0);
    for (int k = 0; k < 2; ++k) {
        fill(mbVoltageInputMap, &r.inputs[k], 100 + 48 * k);
        fill(mbPulseInputMap, &r.pulses[k], 200 + 32 * k);
    }
    for (int k = 0; k < 48; ++k) {
        fill(mbLoadMap, &r.loads[k], 300 + 280 * k);
        r.loads[k].active = 1;
        for (int j = 0; j < 3; ++j) {
            fill(mbCtMap, &r.loads[k].cts[j], 300 + 280 * k + 100 + 60 * j);
            r.loads[k].cts[j].en = 1;
        }
    }
    // active and en were overwritten with 1 after the fill.
    for (Expect &e : expected) {
        const int in_load = e.reg - 300;
        if (e.reg >= 300 && in_load % 280 == 22) e.value = 0;
        if (e.reg >= 300 && in_load % 280 == 23) e.value = 1;
        if (e.reg >= 300 && in_load % 280 >= 100) {
            const int in_ct = (in_load % 280 - 100) % 60;
            if (in_ct == 2) e.value = 0;
            if (in_ct == 3) e.value = 1;
        }
    }
    // Reserved fields and phase_correction are set too, and must not show.
    std::memset(r.header.reserved_88, 0x55, sizeof r.header.reserved_88);
    r.header.reserved_40 = 77;
    r.loads[0].cts[0].phase_correction = 1;
    std::memset(r.loads[0].reserved_70, 0x55, sizeof r.loads[0].reserved_70);
    expect_only(build(r), expected);
}

// A small scenario written out register by register.
TEST(UlvoraImage, ScenarioAgainstHandWrittenRegisters) {
    MbRecords r{};
    mbCopyText("abc", r.header.site_name, 80);
    mbCopyText("ZOR12KEP", r.header.model, 16);
    r.header.active_loads = 1;
    r.header.power_factor_sign = -1;
    r.inputs[1].id = 2;
    r.inputs[1].freq = 50.0f; // 0x42480000
    r.pulses[0].scaled_count = 30;
    r.loads[1].active = 1;
    r.loads[1].id = 5;
    r.loads[1].wh = 123456.0f;
    r.loads[1].input = 2;
    r.loads[1].cts[1].en = 1;
    r.loads[1].cts[1].channel = 48;
    r.loads[1].cts[1].pd = 1.5f;
    r.loads[1].cts[2].channel = 7; // not enabled: not served
    r.loads[2].id = 9;              // not active: not served
    r.loads[2].wh = 1.0f;
    const int b = 300 + 280;
    const int c = b + 100 + 60;
    expect_only(build(r), {
                              {0, 0x6162}, {1, 0x6300},
                              {42, 0x5A4F}, {43, 0x5231}, {44, 0x324B}, {45, 0x4550},
                              {78, 0xFFFF}, {79, 0xFFFF},
                              {87, 1},
                              {149, 2}, {176, 0x0000}, {177, 0x4248},
                              {219, 30},
                              {b + 1, 5}, {b + 23, 1}, {b + 24, 0x2000}, {b + 25, 0x47F1}, {b + 51, 2},
                              {c + 1, 48}, {c + 3, 1}, {c + 46, 0x0000}, {c + 47, 0x3FC0},
                          });
}

TEST(UlvoraTables, UnitAndMeterKindNames) {
    EXPECT_EQ(unitNames.size(), 66u);
    EXPECT_EQ(meterKindNames.size(), 6u);
    EXPECT_EQ(unitNames.at(10), "MVA");
    EXPECT_EQ(unitNames.at(240), "kVAh");
    EXPECT_EQ(unitNames.at(241), "MVAh");
    EXPECT_EQ(unitNames.at(80), "cu m ");
    for (const auto &[code, text] : unitNames) {
        EXPECT_LE(text.size(), 15u) << code;
    }
}

} // namespace
