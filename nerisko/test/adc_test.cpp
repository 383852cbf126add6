#include "pru_fixture.h"

#include "meter/host.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

using pru_test::SimBoard;
using Req = meter::host::AdcRequest;

constexpr std::array<uint8_t, 10> kDefaults = {0x92, 0xF0, 0x40, 0x00, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10};

// The settings of ADC n (from 1) in the tests' settings files.
std::array<uint8_t, 10> settings_of(uint32_t n) {
    std::array<uint8_t, 10> s = kDefaults;
    s[3] = static_cast<uint8_t>(n);
    s[4] = static_cast<uint8_t>(0x20 + n);
    return s;
}

std::string line_of(const std::array<uint8_t, 10> &s) {
    std::string out;
    char buf[8];
    for (size_t k = 0; k < s.size(); ++k) {
        std::snprintf(buf, sizeof buf, k == 0 ? "%02x" : ",%02x", s[k]);
        out += buf;
    }
    return out;
}

// What adc_start must do, for n ADCs: the driver requests and the SPI
// transactions, in order.
struct Expected {
    std::vector<Req> requests;
    std::vector<prusim::SpiTransaction> runs;
};

prusim::SpiTransaction tr(prusim::SpiTransaction::Kind kind, uint8_t opcode, uint8_t count, uint16_t selected) {
    prusim::SpiTransaction t;
    t.kind = kind;
    t.opcode = opcode;
    t.count = count;
    t.selected = selected;
    return t;
}

Expected expected_start(uint32_t n) {
    Expected e;
    auto cs_bit = [](uint32_t cs) { return static_cast<uint16_t>(1u << cs); };
    for (uint32_t cs = n; cs >= 2; --cs) {
        e.requests.push_back({meter::host::ZOR_ADC_DISABLE_CS, static_cast<int32_t>(cs)});
    }
    e.requests.push_back({meter::host::ZOR_ADC_RESET, 0});
    e.requests.push_back({meter::host::ZOR_ADC_DISABLE_DAISY, 0});
    for (uint32_t cs = n; cs >= 1; --cs) {
        for (int k = 0; k < 3; ++k) {
            if (cs >= 2) {
                e.requests.push_back({meter::host::ZOR_ADC_ENABLE_CS, static_cast<int32_t>(cs)});
                e.requests.push_back({meter::host::ZOR_ADC_DISABLE_CS, static_cast<int32_t>(cs)});
            }
        }
        e.runs.push_back(tr(prusim::SpiTransaction::command, 0x11, 0, cs_bit(cs)));
        e.runs.push_back(tr(prusim::SpiTransaction::write, 0x41, 10, cs_bit(cs)));
        e.runs.push_back(tr(prusim::SpiTransaction::read, 0x20, 11, cs_bit(cs)));
    }
    e.requests.push_back({meter::host::ZOR_ADC_ENABLE_DAISY, 0});
    uint16_t all = cs_bit(1);
    for (uint32_t cs = n; cs >= 2; --cs) {
        e.requests.push_back({meter::host::ZOR_ADC_ENABLE_CS, static_cast<int32_t>(cs)});
        all |= cs_bit(cs);
    }
    e.runs.push_back(tr(prusim::SpiTransaction::command, 0x08, 0, all));
    e.runs.push_back(tr(prusim::SpiTransaction::command, 0x10, 0, all));
    return e;
}

void expect_runs(const std::vector<prusim::SpiTransaction> &got, const std::vector<prusim::SpiTransaction> &want,
                 uint32_t n) {
    ASSERT_EQ(got.size(), want.size()) << n << " ADCs";
    for (size_t k = 0; k < got.size(); ++k) {
        EXPECT_EQ(got[k].kind, want[k].kind) << n << " ADCs, transaction " << k;
        EXPECT_EQ(got[k].opcode, want[k].opcode) << n << " ADCs, transaction " << k;
        EXPECT_EQ(got[k].count, want[k].count) << n << " ADCs, transaction " << k;
        EXPECT_EQ(got[k].selected, want[k].selected) << n << " ADCs, transaction " << k;
        EXPECT_FALSE(got[k].ignored) << n << " ADCs, transaction " << k;
        EXPECT_FALSE(got[k].contention) << n << " ADCs, transaction " << k;
    }
}

TEST_F(SimBoard, AdcStartUpOrderFor1_3And9Adcs) {
    for (uint32_t n : {1u, 3u, 9u}) {
        configure(n);
        std::string file;
        for (uint32_t cs = 1; cs <= n; ++cs) {
            file += line_of(settings_of(cs)) + "\n";
        }
        root.put("/etc/zor-driver/adc_settings", file);
        reboot(n);

        ASSERT_TRUE(adc_open(1538500)) << n;
        ASSERT_TRUE(adc_start()) << n;
        const Expected e = expected_start(n);
        auto requests = meter::host::adc_requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests.front(), (Req{meter::host::ZOR_ADC_SET_CLK, 1538500}));
        requests.erase(requests.begin());
        // Requests of the SPI runs interleave with the runs; compare each list.
        // Chip-select requests of single transactions are checked in order.
        EXPECT_EQ(requests, e.requests) << n << " ADCs";
        expect_runs(prusim::spi_log(), e.runs, n);

        for (uint32_t adc = 1; adc <= n; ++adc) {
            const prusim::AdcState st = prusim::adc_state(adc);
            const auto want = settings_of(adc);
            EXPECT_TRUE(std::equal(want.begin(), want.end(), st.reg.begin() + 1)) << "ADC " << adc;
            EXPECT_TRUE(st.converting) << adc;
            EXPECT_TRUE(st.continuous_read) << adc;
            char line[128];
            std::snprintf(line, sizeof line, "adc %u settings: %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x",
                          adc, st.reg[0], want[0], want[1], want[2], want[3], want[4], want[5], want[6], want[7],
                          want[8], want[9]);
            EXPECT_TRUE(meter::host::log_has(line)) << line;
        }
        EXPECT_EQ(prusim::configured_sample_rate(), 1538500.0 / 128) << "the settings give the expected rate";
        EXPECT_TRUE(meter::host::adc_state().daisy);
        EXPECT_TRUE(prusim::adc_daisy_on());
        adc_close();
        EXPECT_EQ(meter::host::adc_state().chip_selects, 0u) << "adc_close releases every chip select";
    }
}

TEST_F(SimBoard, SettingsFileLinesAndDefaults) {
    configure(3);
    const std::string one = line_of(settings_of(1)), two = line_of(settings_of(2)), three = line_of(settings_of(3));
    struct Case {
        const char *name;
        const char *content;  // nullptr: no file
        std::string text;
        std::array<bool, 3> from_file;  // ADC n got its line
        size_t per_adc_messages;
        bool missing;
    };
    const Case cases[] = {
        {"valid", "", one + "\n" + two + "\n" + three + "\n", {true, true, true}, 0, false},
        {"no final newline", "", one + "\n" + two + "\n" + three, {true, true, true}, 0, false},
        {"missing", nullptr, "", {false, false, false}, 0, true},
        {"fewer lines", "", one + "\n", {true, false, false}, 0, false},
        {"empty", "", "", {false, false, false}, 0, false},
        {"nine values", "", one + "\n92,f0,40,00,10,10,10,10,10\n" + three + "\n", {true, false, false}, 2, false},
        {"eleven values", "", one + "\n" + two + ",10\n" + three + "\n", {true, false, false}, 2, false},
        {"empty line", "", "\n" + two + "\n", {false, false, false}, 3, false},
        {"not a number", "", one + "\nzz,f0\n", {true, false, false}, 2, false},
    };
    for (const Case &c : cases) {
        meter::host::log_clear();
        if (c.content == nullptr) {
            std::filesystem::remove(root.host("/etc/zor-driver/adc_settings"));
        } else {
            root.put("/etc/zor-driver/adc_settings", c.text);
        }
        uint8_t buf[30];
        std::memset(buf, 0xEE, sizeof buf);
        adc_load_settings(buf);
        for (uint32_t n = 0; n < 3; ++n) {
            const auto want = c.from_file[n] ? settings_of(n + 1) : kDefaults;
            EXPECT_TRUE(std::equal(want.begin(), want.end(), buf + 10 * n)) << c.name << ": ADC " << n + 1;
        }
        size_t per_adc = 0;
        for (uint32_t n = 1; n <= 3; ++n) {
            per_adc += meter::host::log_count("Failed to load ADC settings for ADC " + std::to_string(n) +
                                           ", using default values");
        }
        EXPECT_EQ(per_adc, c.per_adc_messages) << c.name;
        EXPECT_EQ(meter::host::log_has("Failed to load ADC settings, using default values"), c.missing) << c.name;
        EXPECT_EQ(meter::host::log_has("Loaded ADC settings"), !c.missing) << c.name;
    }
}

TEST_F(SimBoard, SettingsValuesAreHexWithOnlyTheLowByteKept) {
    configure(1);
    root.put("/etc/zor-driver/adc_settings", "0x92,0XF0,140,0,1ff, 10,10,10,10,0x10\r\n");
    uint8_t buf[10];
    adc_load_settings(buf);
    const uint8_t want[10] = {0x92, 0xF0, 0x40, 0x00, 0xFF, 0x10, 0x10, 0x10, 0x10, 0x10};
    EXPECT_EQ(std::memcmp(buf, want, sizeof want), 0);
}

TEST_F(SimBoard, ChipSelectsOutOfRangeAreRefused) {
    ASSERT_TRUE(adc_open(1538500));
    const size_t requests = meter::host::adc_requests().size();
    const uint8_t bytes[10] = {};
    for (int cs : {0, 10, -1}) {
        EXPECT_EQ(spi_cmd(3, 0x08, cs), -1);
        EXPECT_EQ(spi_write(3, 1, bytes, 10, cs), -1);
        EXPECT_EQ(spi_read_settings(3, cs), -1);
        EXPECT_EQ(meter::host::log_count("not a valid cs: " + std::to_string(cs)), 3u);
    }
    EXPECT_TRUE(prusim::spi_log().empty());
    EXPECT_EQ(meter::host::adc_requests().size(), requests);
}

TEST_F(SimBoard, OneAdcNeedsNoChipSelectRequests) {
    configure(1);
    ASSERT_TRUE(adc_open(1538500));
    ASSERT_TRUE(adc_start());
    for (const Req &r : meter::host::adc_requests()) {
        EXPECT_NE(r.request, meter::host::ZOR_ADC_ENABLE_CS);
        EXPECT_NE(r.request, meter::host::ZOR_ADC_DISABLE_CS);
    }
}

TEST_F(SimBoard, AMissingSpiProgramIsReported) {
    configure(1);
    std::filesystem::remove(root.host("/usr/bin/pru-spi-cmd.bin"));
    ASSERT_TRUE(adc_open(1538500));
    EXPECT_EQ(spi_cmd(0, 0x08, 1), -1);
    EXPECT_TRUE(meter::host::log_has("Failed to run PRU program /usr/bin/pru-spi-cmd.bin"));
}

}  // namespace
