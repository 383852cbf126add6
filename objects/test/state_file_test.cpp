// Per-object state files: the text, round trips, bad files, and what a
// power cut at any step of a save or a load leaves behind.

#include "fake_stack.h"
#include "meter/host.h"
#include "meter/root.h"
#include "meter/sysio.h"
#include "objects/state_file.h"
#include "power_cut.h"
#include "temp_root.h"
#include "test_object.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

using meter::host::TempRoot;

const std::string kDir = "/config/talvik/loads/3";
const std::string kMain = kDir + "/large-analog-value-7";

struct Values {
    bool outOfService;
    double increment;
    bool operator==(const Values &) const = default;
};
const Values kDefaults{false, 0.0};
const Values kOld{true, 1.5};
const Values kNew{false, 2.5};

Values valuesOf(const TestCovObject &o) {
    return {o.isOutOfService(), o.getCovIncrement()};
}

void save(const Values &v, const std::string &name = "Meter") {
    TestCovObject o(7, name);
    o.setOutOfService(v.outOfService);
    o.setCovIncrement(v.increment);
    o.saveConfig(kDir);
}

Values load(bool *loaded = nullptr) {
    TestCovObject o(7);
    const bool ok = o.loadConfig(kDir);
    if (loaded != nullptr) {
        *loaded = ok;
    }
    return valuesOf(o);
}

class StateFile : public ::testing::Test {
protected:
    void SetUp() override {
        fake_stack::reset();
        std::filesystem::create_directories(root.host(kDir));
    }
    bool exists(const std::string &path) const { return std::filesystem::exists(root.host(path)); }
    TempRoot root;
};

TEST_F(StateFile, SaveWritesTheTextAndLoadGivesItBack) {
    save(kOld);
    EXPECT_EQ(root.get(kMain),
              R"({"large-analog-value-7":{"object-name":"Meter","out-of-service":true,"cov-increment":1.5}})");
    EXPECT_TRUE(exists(kMain + "_flag"));
    EXPECT_FALSE(exists(kMain + "_bu"));

    TestCovObject o(7, "Renamed by the mapping");
    EXPECT_TRUE(o.loadConfig(kDir));
    EXPECT_EQ(valuesOf(o), kOld);
    EXPECT_EQ(o.getObjectName(), "Renamed by the mapping") << "the file's name is not applied";
    EXPECT_TRUE(fake_stack::logTexts(1).empty());
}

// The writes and syncs that reached the disk, as the host model counts them.
uint64_t diskChanges() {
    uint64_t n = 0;
    for (const auto &[path, io] : meter::host::io_counts()) {
        n += io.writes + io.syncs;
    }
    return n;
}

TEST_F(StateFile, LoadingAConsistentFileWritesNothing) {
    save(kOld);
    const uint64_t before = diskChanges();
    bool loaded = false;
    EXPECT_EQ(load(&loaded), kOld);
    EXPECT_TRUE(loaded);
    EXPECT_EQ(diskChanges(), before);
}

// A restart saves every object: an unchanged one must not be written again;
// a changed one, or one whose last save was cut short, is.
TEST_F(StateFile, SavingTheSameStateWritesNothingAndAChangeIsWritten) {
    save(kOld);
    struct Case {
        const char *what;
        Values values;
        bool leftBackup; // a save cut short before this one
        bool writes;
    } const cases[] = {
        {"same state", kOld, false, false},
        {"changed state", kNew, false, true},
        {"same state after a cut save", kNew, true, true},
    };
    for (const Case &c : cases) {
        if (c.leftBackup) {
            root.put(kMain + "_bu", "{\"large-analog-value-7\":{");
        }
        const uint64_t before = diskChanges();
        save(c.values);
        EXPECT_EQ(diskChanges() != before, c.writes) << c.what;
        EXPECT_EQ(load(), c.values) << c.what;
        EXPECT_FALSE(exists(kMain + "_bu")) << c.what;
        EXPECT_TRUE(exists(kMain + "_flag")) << c.what;
    }
}

TEST_F(StateFile, MissingFileKeepsTheValues) {
    bool loaded = true;
    EXPECT_EQ(load(&loaded), kDefaults);
    EXPECT_FALSE(loaded);
    EXPECT_TRUE(fake_stack::logLines().empty()) << "a missing file is only a debug line, never written";
    EXPECT_FALSE(exists(kMain + "_flag")) << "a failed load creates nothing";
}

TEST_F(StateFile, BadFilesAreRefusedWhole) {
    const std::string good =
        R"({"large-analog-value-7":{"object-name":"M","out-of-service":true,"cov-increment":1.5}})";
    struct Case {
        const char *what;
        std::string text;
        std::string reason;
    } const cases[] = {
        {"not JSON", "garbage", "not a complete JSON text"},
        {"cut short", good.substr(0, good.size() - 12), "not a complete JSON text"},
        {"cut before the last brace", good.substr(0, good.size() - 1), "not a complete JSON text"},
        {"another instance's file",
         R"({"large-analog-value-2":{"object-name":"M","out-of-service":true,"cov-increment":1.5}})",
         "large-analog-value-7 not found"},
        {"a key missing", R"({"large-analog-value-7":{"object-name":"M","out-of-service":true}})",
         "cov-increment not found"},
        {"name missing", R"({"large-analog-value-7":{"out-of-service":true,"cov-increment":1.5}})",
         "object-name not found"},
        {"member not an object", R"({"large-analog-value-7":[1,2]})", "large-analog-value-7 not an object"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fake_stack::reset();
        root.put(kMain, c.text);
        bool loaded = true;
        EXPECT_EQ(load(&loaded), kDefaults) << "nothing applied from a refused file";
        EXPECT_FALSE(loaded);
        EXPECT_EQ(fake_stack::logTexts(1), std::vector<std::string>{"Invalid data in " + kMain + " (" + c.reason +
                                                                    "). Using factory defaults."});
    }
}

TEST_F(StateFile, CutBackupNeverReplacesTheMainFile) {
    save(kOld);
    const std::string complete =
        R"({"large-analog-value-7":{"object-name":"M","out-of-service":false,"cov-increment":2.5}})";
    root.put(kMain + "_bu", complete.substr(0, 40));
    EXPECT_EQ(load(), kOld);
    EXPECT_FALSE(exists(kMain + "_bu"));
    EXPECT_EQ(load(), kOld);

    root.put(kMain + "_bu", complete);
    EXPECT_EQ(load(), kNew) << "a complete backup is the newer text";
    EXPECT_FALSE(exists(kMain + "_bu"));
    EXPECT_EQ(root.get(kMain), complete);
    EXPECT_TRUE(exists(kMain + "_flag"));
}

TEST(StateFilePowerCut, SaveLeavesTheOldOrTheNewValues) {
    fake_stack::reset();
    cutAtEveryStep(kDir, [] { save(kOld); }, [] { save(kNew); },
                   [] {
                       const Values v = load();
                       EXPECT_TRUE(v == kOld || v == kNew) << v.increment;
                       EXPECT_EQ(load(), v) << "a second start loads the same";
                   });
}

TEST(StateFilePowerCut, AFailingStepLeavesTheOldOrTheNewValues) {
    fake_stack::reset();
    cutAtEveryStep(kDir, [] { save(kOld); }, [] { save(kNew); },
                   [] {
                       bool loaded = false;
                       const Values v = load(&loaded);
                       EXPECT_TRUE(loaded);
                       EXPECT_TRUE(v == kOld || v == kNew) << v.increment;
                   },
                   meter::host::Mode::once);
}

TEST(StateFilePowerCut, FirstSaveLeavesNothingOrTheNewValues) {
    fake_stack::reset();
    cutAtEveryStep(kDir, [] {}, [] { save(kNew); },
                   [] {
                       const Values v = load();
                       EXPECT_TRUE(v == kDefaults || v == kNew) << v.increment;
                   });
}

TEST(StateFilePowerCut, LoadAfterACutSaveLeavesTheOldOrTheNewValues) {
    fake_stack::reset();
    // A save cut short after its backup was complete and on the disk,
    // before it replaced the main file: the load takes the backup over.
    const auto prepare = [] {
        save(kOld);
        std::ofstream(meter::meter_path(kMain + "_bu"), std::ios::binary)
            << R"({"large-analog-value-7":{"object-name":"M","out-of-service":false,"cov-increment":2.5}})";
    };
    cutAtEveryStep(kDir, prepare, [] { load(); },
                   [] {
                       const Values v = load();
                       EXPECT_TRUE(v == kOld || v == kNew) << v.increment;
                       EXPECT_EQ(load(), v);
                   });
}

}  // namespace

namespace {

TEST(StateFileText, OnlyOneCompleteValueCounts) {
    struct Case {
        const char *text;
        bool complete;
    } const cases[] = {
        {R"({"a":{"b":"x\"y\\u00e9\u00e9","c":[1,-2.5e+3,true,false,null]}})", true},
        {" \n{\"a\":1}\t", true},
        {"{}", true},
        {"[]", true},
        {"", false},
        {"{\"a\":1", false},
        {"{\"a\":1}}", false},
        {"{\"a\":1} x", false},
        {"{\"a\":\"unterminated}", false},
        {"{\"a\":tru}", false},
        {"{\"a\":1.}", false},
        {"{\"a\":-}", false},
        {"{,}", false},
        {"[1,]", false},
        {"{\"a\" 1}", false},
        {"{\"a\":\"\\x\"}", false},
        {"{\"a\":\"\\u12\"}", false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(stateFileTextComplete(c.text, std::strlen(c.text)), c.complete) << c.text;
    }
}

}  // namespace
