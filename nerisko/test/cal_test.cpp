#include "nerisko/cal.h"
#include "temp_root.h"

#include "arvent.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace {

using meter::host::TempRoot;

// ---- serial numbers ----

serials fake_serials;
int fake_serials_ok = 1;

int fake_serial_source(serials *out) {
    if (fake_serials_ok != 0) {
        *out = fake_serials;
    }
    return fake_serials_ok;
}

void set_serials(const char *device, const char *first, const char *second) {
    fake_serials = serials{};
    std::strncpy(fake_serials.serial[0], device, 49);
    std::strncpy(fake_serials.serial[1], first, 49);
    std::strncpy(fake_serials.serial[2], second, 49);
    fake_serials_ok = 1;
}

// ---- EEPROM images ----

constexpr size_t kEepromSize = 4096;
constexpr size_t kBlock = sizeof(cal_eeprom_t);

// A calibration that differs on every channel, told apart by seed.
cal_eeprom_t make_block(int seed, uint32_t version = CAL_VERSION) {
    cal_eeprom_t b{};
    b.version = version;
    for (uint32_t ch = 0; ch < CAL_CHANNELS; ++ch) {
        b.cal[ch].gain = 1.0f + 0.001f * static_cast<float>(ch + 1) * static_cast<float>(seed);
        b.cal[ch].offset = static_cast<int32_t>(ch) * 10 - seed;
    }
    b.checksum = checksum(reinterpret_cast<const uint8_t *>(b.cal), sizeof b.cal);
    return b;
}

// The EEPROM around the block holds other data that a store must not touch.
std::string eeprom_image(const cal_eeprom_t *block) {
    std::string img(kEepromSize, '\0');
    for (size_t k = 0; k < img.size(); ++k) {
        img[k] = static_cast<char>(0xA0 ^ (k & 0x1F));
    }
    if (block != nullptr) {
        std::memcpy(img.data() + CAL_EEPROM_OFFSET, block, kBlock);
    }
    return img;
}

void put_block(const TempRoot &root, const char *eeprom, const cal_eeprom_t &b) {
    root.put(eeprom, eeprom_image(&b));
}

// A block cut in the middle of its write.
void put_torn(const TempRoot &root, const char *eeprom, const cal_eeprom_t &old_block,
              const cal_eeprom_t &new_block) {
    std::string img = eeprom_image(&old_block);
    std::memcpy(img.data() + CAL_EEPROM_OFFSET, &new_block, kBlock / 2);
    root.put(eeprom, img);
}

std::string block_bytes(const TempRoot &root, const char *eeprom) {
    return root.get(eeprom).substr(CAL_EEPROM_OFFSET, kBlock);
}

std::string bytes_of(const cal_eeprom_t &b) { return std::string(reinterpret_cast<const char *>(&b), kBlock); }

bool array_is(const cal_eeprom_t &b) { return std::memcmp(cal_array, b.cal, sizeof cal_array) == 0; }

bool array_is_default() {
    for (const cal_entry_t &e : cal_array) {
        if (e.gain != 1.0f || e.offset != 0) {
            return false;
        }
    }
    return true;
}

void load_array(const cal_eeprom_t &b) { std::memcpy(cal_array, b.cal, sizeof cal_array); }

class Cal : public ::testing::Test {
protected:
    void SetUp() override {
        set_serials("M-1", "E-7", "E-7");
        cal_set_serial_source(fake_serial_source);
        std::memset(cal_array, 0, sizeof cal_array);
    }
    void TearDown() override { cal_set_serial_source(nullptr); }
    TempRoot root;
};

TEST_F(Cal, StoreThenLoadGivesTheSameArray) {
    put_block(root, CAL_EEPROM_FIRST, make_block(1));
    put_block(root, CAL_EEPROM_SECOND, make_block(1));
    const cal_eeprom_t want = make_block(5);
    load_array(want);
    ASSERT_TRUE(cal_store_eeprom());

    for (const char *eeprom : {CAL_EEPROM_FIRST, CAL_EEPROM_SECOND}) {
        const std::string img = root.get(eeprom);
        ASSERT_EQ(img.size(), kEepromSize) << eeprom;
        EXPECT_EQ(img.substr(CAL_EEPROM_OFFSET, kBlock), bytes_of(want)) << eeprom;
        const std::string untouched = eeprom_image(nullptr);
        EXPECT_EQ(img.substr(0, CAL_EEPROM_OFFSET), untouched.substr(0, CAL_EEPROM_OFFSET));
        EXPECT_EQ(img.substr(CAL_EEPROM_OFFSET + kBlock), untouched.substr(CAL_EEPROM_OFFSET + kBlock));
    }

    std::memset(cal_array, 0, sizeof cal_array);
    cal_init();
    EXPECT_TRUE(cal_valid());
    EXPECT_TRUE(array_is(want));
    cal_entry_t *array = nullptr;
    EXPECT_EQ(cal_get(&array), 0);
    EXPECT_EQ(array, cal_array);
}

TEST_F(Cal, ABadBlockGivesTheDefaults) {
    cal_eeprom_t wrong_version = make_block(3, 2);
    cal_eeprom_t bad_sum_and_version = make_block(3, 2);
    bad_sum_and_version.checksum ^= 1;
    cal_eeprom_t bad_sum = make_block(3);
    bad_sum.cal[53].offset += 1;
    struct Case {
        const char *name;
        std::string image;  // empty: no EEPROM file
        std::vector<std::string> lines;
        std::vector<std::string> absent;
    } const cases[] = {
        {"version 2",
         eeprom_image(&wrong_version),
         {"Calibration array version invalid", "calibration corrupted"},
         {"Calibration array checksum invalid"}},
        {"wrong checksum and version",
         eeprom_image(&bad_sum_and_version),
         {"Calibration array checksum invalid", "calibration corrupted"},
         {"Calibration array version invalid"}},
        {"changed array", eeprom_image(&bad_sum), {"Calibration array checksum invalid"}, {}},
        {"short file", std::string(200, 'x'), {"failed to read calibration data"}, {}},
        {"no file", "", {"error opening eeprom for reading"}, {}},
    };
    for (const Case &c : cases) {
        TempRoot r;
        if (!c.image.empty()) {
            r.put(CAL_EEPROM_SECOND, c.image);
        }
        for (cal_entry_t &e : cal_array) {
            e = {3.0f, 7};
        }
        cal_init();
        EXPECT_FALSE(cal_valid()) << c.name;
        EXPECT_TRUE(array_is_default()) << c.name;
        for (const std::string &line : c.lines) {
            EXPECT_TRUE(meter::host::log_has(line)) << c.name << ": " << line;
        }
        for (const std::string &line : c.absent) {
            EXPECT_FALSE(meter::host::log_has(line)) << c.name << ": " << line;
        }
        EXPECT_TRUE(meter::host::log_has("Calibration init failed, loaded default calibration array")) << c.name;
        // cal_read_eeprom alone leaves the array as it was.
        for (cal_entry_t &e : cal_array) {
            e = {3.0f, 7};
        }
        EXPECT_FALSE(cal_read_eeprom());
        EXPECT_EQ(cal_array[10].gain, 3.0f);
    }
}

TEST_F(Cal, SerialNumbersMustBeThereAndAgree) {
    put_block(root, CAL_EEPROM_SECOND, make_block(2));
    struct Case {
        const char *first;
        const char *second;
        int ok;
        const char *line;
    } const cases[] = {
        {"E-7", "E-8", 1, "eeprom serials do not match"},
        {"E-7", "", 1, "eeprom serials do not match"},
        {"E-7", "E-7", 0, "failed to get serials"},
    };
    for (const Case &c : cases) {
        set_serials("M-1", c.first, c.second);
        fake_serials_ok = c.ok;
        meter::host::log_clear();
        meter::host::fault_arm(1000000, meter::host::Mode::once);  // counts the file steps
        cal_init();
        EXPECT_EQ(meter::host::fault_steps(), 0u) << c.line << ": the EEPROM is not read at all";
        meter::host::fault_disarm();
        EXPECT_FALSE(cal_valid()) << c.line;
        EXPECT_TRUE(array_is_default()) << c.line;
        EXPECT_TRUE(meter::host::log_has(c.line)) << c.line;
    }
    set_serials("M-1", "E-7", "E-7");
    cal_init();
    EXPECT_TRUE(cal_valid());
}

TEST_F(Cal, ATornSecondCopyFallsBackToTheFirst) {
    const cal_eeprom_t old_block = make_block(1), new_block = make_block(2);
    put_block(root, CAL_EEPROM_FIRST, new_block);
    put_torn(root, CAL_EEPROM_SECOND, old_block, new_block);
    cal_init();
    EXPECT_TRUE(cal_valid());
    EXPECT_TRUE(array_is(new_block));
    EXPECT_TRUE(meter::host::log_has("Calibration array checksum invalid"));
    EXPECT_TRUE(meter::host::log_has("Calibration loaded from the first eeprom"));
}

TEST_F(Cal, AFirstEepromThatCannotBeWrittenLeavesTheSecondAlone) {
    const cal_eeprom_t old_block = make_block(1);
    put_block(root, CAL_EEPROM_SECOND, old_block);  // 1-0052 is missing
    load_array(make_block(2));
    EXPECT_FALSE(cal_store_eeprom());
    EXPECT_TRUE(meter::host::log_has("error opening eeprom for writing"));
    EXPECT_EQ(block_bytes(root, CAL_EEPROM_SECOND), bytes_of(old_block));
}

// A store cut at any step, by a failing device or by a power loss, must leave
// a good calibration behind: the old one or the new one, never the defaults.
// And a failure anywhere must be reported.
TEST_F(Cal, AnInterruptedStoreNeverLosesTheGoodCalibration) {
    const cal_eeprom_t old_block = make_block(1), new_block = make_block(2);
    enum class Start { both_good, second_torn, first_torn };
    for (Start start : {Start::both_good, Start::second_torn, Start::first_torn}) {
        for (meter::host::Mode mode : {meter::host::Mode::once, meter::host::Mode::crash}) {
            bool reached_end = false;
            for (uint64_t step = 0; !reached_end && step < 200; ++step) {
                const std::string where = "start " + std::to_string(static_cast<int>(start)) + " mode " +
                                          std::to_string(static_cast<int>(mode)) + " step " +
                                          std::to_string(step);
                TempRoot r;
                switch (start) {
                case Start::both_good:
                    put_block(r, CAL_EEPROM_FIRST, old_block);
                    put_block(r, CAL_EEPROM_SECOND, old_block);
                    break;
                case Start::second_torn:
                    put_block(r, CAL_EEPROM_FIRST, old_block);
                    put_torn(r, CAL_EEPROM_SECOND, make_block(9), old_block);
                    break;
                case Start::first_torn:
                    put_torn(r, CAL_EEPROM_FIRST, make_block(9), old_block);
                    put_block(r, CAL_EEPROM_SECOND, old_block);
                    break;
                }
                load_array(new_block);
                meter::host::fault_arm(step, mode);
                const bool stored = cal_store_eeprom();
                const bool fired = meter::host::fault_fired();
                meter::host::fault_disarm();
                reached_end = !fired;

                // Success may be reported only when both copies hold the new block
                // (a failure after the last read-back changes nothing).
                if (stored) {
                    EXPECT_EQ(block_bytes(r, CAL_EEPROM_FIRST), bytes_of(new_block)) << where;
                    EXPECT_EQ(block_bytes(r, CAL_EEPROM_SECOND), bytes_of(new_block)) << where;
                }
                std::memset(cal_array, 0, sizeof cal_array);
                cal_init();
                EXPECT_TRUE(cal_valid()) << where;
                EXPECT_TRUE(array_is(old_block) || array_is(new_block)) << where;
                if (stored) {
                    EXPECT_TRUE(array_is(new_block)) << where;
                }
            }
            EXPECT_TRUE(reached_end) << "the store never ran to its end";
        }
    }
}

// Each failing write, flush or close is reported, not taken for success.
TEST_F(Cal, EveryFailedStepOfTheWriteIsReported) {
    const cal_eeprom_t old_block = make_block(1);
    // Steps of the first copy's write once both copies are known good:
    // probes 0-7 (two reads of open, lseek, read, close), then
    // 8 open, 9 lseek, 10 write, 11 fsync, 12 close, 13 open, 14 lseek, 15 read, 16 close.
    struct Case {
        uint64_t step;
        const char *line;
    } const cases[] = {
        {8, "error opening eeprom for writing"},
        {9, "failed to search in eeprom file"},
        {10, "failed to write cal_array to eeprom"},
        {11, "failed to flush cal_array to eeprom"},
        {12, "failed to close eeprom after writing"},
        {13, "failed to verify cal_array in eeprom"},
        {15, "failed to verify cal_array in eeprom"},
    };
    for (const Case &c : cases) {
        TempRoot r;
        put_block(r, CAL_EEPROM_FIRST, old_block);
        put_block(r, CAL_EEPROM_SECOND, old_block);
        load_array(make_block(2));
        meter::host::fault_arm(c.step, meter::host::Mode::once);
        EXPECT_FALSE(cal_store_eeprom()) << c.step;
        meter::host::fault_disarm();
        EXPECT_TRUE(meter::host::log_has(c.line)) << c.step << ": " << c.line;
        EXPECT_EQ(block_bytes(r, CAL_EEPROM_SECOND), bytes_of(old_block)) << c.step << ": second copy untouched";
    }
}

// ---- calibration steps ----

data_set_t voltage_result(uint32_t channel, float rms_ln) {
    data_set_t r{};
    r.set_u.u[0].channel = channel;
    r.set_u.u[0].rms_ln.value = rms_ln;
    return r;
}

data_set_t current_result(uint32_t channel, float rms_u) {
    data_set_t r{};
    r.sets_i[0].i[0].channel = channel;
    r.sets_i[0].i[0].rms_u.value = rms_u;
    return r;
}

TEST_F(Cal, StepsStoreOffsetsAndGains) {
    for (cal_entry_t &e : cal_array) {
        e = {1.5f, 40};
    }
    int32_t offset = 0;
    float gain = 0;

    data_set_t r = voltage_result(2, 0.5f);
    ASSERT_TRUE(cal_voltage_noise_floor(&r, &offset));
    EXPECT_EQ(offset, 3444);  // 0.5 / 0.000145164..., truncated
    EXPECT_EQ(cal_array[2].offset, 3444);
    EXPECT_EQ(cal_array[2].gain, 1.5f);
    EXPECT_TRUE(meter::host::log_has("offset u_ch2: 3444"));

    r = voltage_result(2, 229.0f);
    ASSERT_TRUE(cal_voltage_gain(&r, &gain, 230.0f));
    EXPECT_FLOAT_EQ(gain, 230.0f / 229.0f);
    EXPECT_EQ(cal_array[2].gain, gain);
    EXPECT_EQ(cal_array[2].offset, 3444);
    EXPECT_TRUE(meter::host::log_has("gain u_ch2: 1.004367"));

    r = current_result(17, -0.001f);
    ASSERT_TRUE(cal_current_noise_floor(&r, &offset));
    EXPECT_EQ(offset, -510);  // toward zero
    EXPECT_EQ(cal_array[17].offset, -510);
    EXPECT_TRUE(meter::host::log_has("offset i_ch17: -510"));

    r = current_result(53, 0.25f);
    ASSERT_TRUE(cal_current_gain(&r, &gain, 0.3f));
    EXPECT_FLOAT_EQ(cal_array[53].gain, 1.2f);
    EXPECT_EQ(cal_array[53].offset, 40);
}

// A zero or NaN measurement gave an infinite or NaN gain that was stored and
// later written to the EEPROM; such a step now fails and changes nothing.
TEST_F(Cal, StepsRefuseMeasurementsThatGiveNoSoundValue) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    enum Kind { u_offset, u_gain, i_offset, i_gain };
    struct Case {
        Kind kind;
        uint32_t channel;
        float measured;
        float reference;
    } const cases[] = {
        {u_gain, 1, 0.0f, 230.0f},   {u_gain, 1, nan, 230.0f},  {u_gain, 1, -0.0f, 230.0f},
        {u_gain, 1, inf, 230.0f},    {u_gain, 1, -5.0f, 230.0f}, {u_gain, 1, 229.0f, 0.0f},
        {u_gain, 1, 229.0f, nan},    {u_gain, 1, 1e-38f, 1e38f},
        {i_gain, 6, 0.0f, 0.3f},     {i_gain, 6, nan, 0.3f},
        {u_offset, 1, nan, 0},       {u_offset, 1, inf, 0},      {u_offset, 1, 1e9f, 0},
        {i_offset, 6, nan, 0},
        {u_gain, 6, 229.0f, 230.0f}, {u_offset, 54, 0.5f, 0},    // not a voltage channel
        {i_gain, 5, 0.25f, 0.3f},    {i_offset, 54, 0.001f, 0},  // not a CT channel
    };
    for (const Case &c : cases) {
        for (cal_entry_t &e : cal_array) {
            e = {1.5f, 40};
        }
        int32_t offset = 77;
        float gain = 7.0f;
        data_set_t r = (c.kind == u_offset || c.kind == u_gain) ? voltage_result(c.channel, c.measured)
                                                                : current_result(c.channel, c.measured);
        bool ok = true;
        switch (c.kind) {
        case u_offset: ok = cal_voltage_noise_floor(&r, &offset); break;
        case u_gain: ok = cal_voltage_gain(&r, &gain, c.reference); break;
        case i_offset: ok = cal_current_noise_floor(&r, &offset); break;
        case i_gain: ok = cal_current_gain(&r, &gain, c.reference); break;
        }
        const std::string where = "kind " + std::to_string(c.kind) + " channel " + std::to_string(c.channel) +
                                  " measured " + std::to_string(c.measured) + " reference " +
                                  std::to_string(c.reference);
        EXPECT_FALSE(ok) << where;
        EXPECT_EQ(offset, 77) << where;
        EXPECT_EQ(gain, 7.0f) << where;
        for (const cal_entry_t &e : cal_array) {
            ASSERT_EQ(e.gain, 1.5f) << where;
            ASSERT_EQ(e.offset, 40) << where;
        }
    }
}

TEST_F(Cal, ResetAndPrint) {
    for (cal_entry_t &e : cal_array) {
        e = {1.25f, -3};
    }
    EXPECT_TRUE(cal_rm_gain(7));
    EXPECT_EQ(cal_array[7].gain, 1.0f);
    EXPECT_EQ(cal_array[7].offset, -3);
    EXPECT_TRUE(cal_rm(8));
    EXPECT_EQ(cal_array[8].gain, 1.0f);
    EXPECT_EQ(cal_array[8].offset, 0);
    EXPECT_EQ(cal_array[9].gain, 1.25f);

    meter::host::log_clear();
    cal_print();
    const auto lines = meter::host::log_lines();
    ASSERT_EQ(lines.size(), 54u);
    EXPECT_EQ(lines[0].text, "cal u_ch0 offset: -3\tgain: 1.250000");
    EXPECT_EQ(lines[5].text, "cal u_ch5 offset: -3\tgain: 1.250000");
    EXPECT_EQ(lines[6].text, "cal i_ch0 offset: -3\tgain: 1.250000");
    EXPECT_EQ(lines[7].text, "cal i_ch1 offset: -3\tgain: 1.000000");
    EXPECT_EQ(lines[8].text, "cal i_ch2 offset: 0\tgain: 1.000000");
    EXPECT_EQ(lines[53].text, "cal i_ch47 offset: -3\tgain: 1.250000");
}

}  // namespace
