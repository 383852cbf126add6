// Binary and multi-state values: their state and their state files.

#include "fake_stack.h"
#include "objects/binary_value.h"
#include "objects/multi_state_value.h"
#include "temp_root.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>

namespace {

using meter::host::TempRoot;

class ValueFiles : public ::testing::Test {
protected:
    void SetUp() override {
        fake_stack::reset();
        std::filesystem::create_directories(root.host(kDir));
    }
    const std::string kDir = "/config/talvik/loads/3";
    TempRoot root;
};

TEST_F(ValueFiles, BinaryValueTextIsExact) {
    BinaryValue bv(2, "CT# 7 Polarity Correction", "off", "on");
    bv.setPresentValue(1);
    bv.saveConfig(kDir);
    EXPECT_EQ(root.get(kDir + "/binary-value-2"),
              R"({"binary-value-2":{"object-name":"CT# 7 Polarity Correction","out-of-service":false}})");
}

TEST_F(ValueFiles, RoundTripsRestoreOutOfServiceOnly) {
    BinaryValue bv(2, "CT# 7 Polarity Correction", "off", "on");
    bv.setOutOfService(true);
    bv.setPresentValue(1);
    bv.saveConfig(kDir);
    MultiStateValue msv(1, "Service Type", 0);
    msv.setOutOfService(true);
    msv.saveConfig(kDir);

    BinaryValue bv2(2, "CT# 9 Polarity Correction", "off", "on");
    EXPECT_TRUE(bv2.loadConfig(kDir));
    EXPECT_TRUE(bv2.isOutOfService());
    EXPECT_EQ(bv2.getStatusFlags(), kStatusOutOfService);
    EXPECT_EQ(bv2.getObjectName(), "CT# 9 Polarity Correction") << "a remapped CT keeps its new number";
    EXPECT_EQ(bv2.getPresentValue(), 0u);

    MultiStateValue msv2(1, "Service Type", 0);
    EXPECT_TRUE(msv2.loadConfig(kDir));
    EXPECT_TRUE(msv2.isOutOfService());
}

TEST_F(ValueFiles, InvalidFilesChangeNothing) {
    struct Case {
        const char *what;
        std::string text;
        bool outOfService;  // after the load
        bool loaded;
        std::string line;   // level 1, or none
    } const cases[] = {
        {"out-of-service missing", R"({"binary-value-2":{"object-name":"X"}})", false, false,
         "Invalid data in /config/talvik/loads/3/binary-value-2 (out-of-service not found). Using factory defaults."},
        {"object-name missing", R"({"binary-value-2":{"out-of-service":true}})", false, false,
         "Invalid data in /config/talvik/loads/3/binary-value-2 (object-name not found). Using factory defaults."},
        {"a string other than true", R"({"binary-value-2":{"object-name":"X","out-of-service":"yes"}})", false, true,
         ""},
        {"true", R"({"binary-value-2":{"object-name":"X","out-of-service":true}})", true, true, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fake_stack::reset();
        root.put(kDir + "/binary-value-2", c.text);
        BinaryValue bv(2, "Name", "off", "on");
        EXPECT_EQ(bv.loadConfig(kDir), c.loaded);
        EXPECT_EQ(bv.isOutOfService(), c.outOfService);
        EXPECT_EQ(bv.getObjectName(), "Name");
        const std::vector<std::string> lines = fake_stack::logTexts(1);
        EXPECT_EQ(lines, c.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.line});
    }
}

// A power cut at every step of a save and of a load: the next start loads
// the file (old or new out-of-service), never the factory defaults.
template <typename Object>
void cutAtEveryStep(const std::function<Object *()> &make) {
    const std::string dir = "/config/talvik/inputs/1";
    for (int phase = 0; phase < 2; ++phase) {
        for (uint64_t step = 0;; ++step) {
            SCOPED_TRACE((phase == 0 ? "save, cut at step " : "load, cut at step ") + std::to_string(step));
            TempRoot root;
            std::filesystem::create_directories(root.host(dir));
            std::unique_ptr<Object> o(make());
            o->setOutOfService(true);
            o->saveConfig(dir);
            o->setOutOfService(false);
            meter::host::fault_arm(step, meter::host::Mode::power_cut);
            if (phase == 0) {
                o->saveConfig(dir);
            } else {
                o->loadConfig(dir);
            }
            const bool fired = meter::host::fault_fired();
            meter::host::fault_disarm();
            std::unique_ptr<Object> fresh(make());
            EXPECT_TRUE(fresh->loadConfig(dir));
            if (phase == 1) {
                EXPECT_TRUE(fresh->isOutOfService()) << "a load changes no saved value";
            }
            if (!fired) {
                break;
            }
            ASSERT_LT(step, 100u);
        }
    }
}

TEST(ValuePowerCut, BinaryValue) {
    fake_stack::reset();
    cutAtEveryStep<BinaryValue>([] { return new BinaryValue(2, "B", "off", "on"); });
}

TEST(ValuePowerCut, MultiStateValue) {
    fake_stack::reset();
    cutAtEveryStep<MultiStateValue>([] { return new MultiStateValue(1, "M", 0); });
}

TEST(MultiStateValue, StatesAndPresentValue) {
    MultiStateValue msv(1, "Service Type", 99);
    EXPECT_EQ(msv.getObjectType(), kObjMultiStateValue);
    EXPECT_EQ(msv.getPresentValue(), 0u);
    EXPECT_EQ(msv.addStateText("", 0), 1u);
    EXPECT_EQ(msv.getPresentValue(), 1u);
    const char *texts[] = {"1PH-2W", "1PH-3W", "3PH-4W", "3PH-3W"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(msv.addStateText(texts[i], static_cast<uint8_t>(i + 1)), i + 2);
    }
    EXPECT_EQ(msv.addStateText("Delta", 2), 6u) << "inserted before position 2";
    EXPECT_EQ(msv.addStateText("past the end", 9), 6u) << "refused";
    EXPECT_EQ(msv.getNumberOfStates(), 5u);
    EXPECT_EQ(msv.getPresentValue(), 1u);
    EXPECT_EQ(msv.getStateText(0), "");
    EXPECT_EQ(msv.getStateText(2), "Delta");
    EXPECT_EQ(msv.getStateText(3), "1PH-3W");
    EXPECT_EQ(msv.getStateText(7), "");

    struct Case {
        uint32_t value;
        PackedError result;
        uint32_t after;
    } const cases[] = {{5, 0, 5}, {1, 0, 1}, {0, 0x20025, 1}, {6, 0x20025, 1}, {0xFFFFFFFF, 0x20025, 1}};
    for (const Case &c : cases) {
        EXPECT_EQ(msv.writePresentValue(c.value), c.result) << c.value;
        EXPECT_EQ(msv.getPresentValue(), c.after) << c.value;
    }
}

TEST(BinaryValue, Construction) {
    BinaryValue bv(3, "CT# 8 Polarity Correction", "off", "on");
    EXPECT_EQ(bv.getObjectIdentifier(), (5u << 22) + 3);
    EXPECT_EQ(bv.getInactiveText(), "off");
    EXPECT_EQ(bv.getActiveText(), "on");
    EXPECT_FALSE(bv.isOutOfService());
    EXPECT_FALSE(bv.getEventDetectionEnable());
    EXPECT_EQ(bv.getStatusFlags(), 0);
    bv.setActiveText("reversed");
    EXPECT_EQ(bv.getActiveText(), "reversed");
}

}  // namespace
