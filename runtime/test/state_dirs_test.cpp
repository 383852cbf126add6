// The state folders on the simulated board: parents made as needed, a
// failure reported and the rest still made, each folder durable once made.
#include "runtime/state_dirs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "log_lines.h"
#include "runtime/log.h"
#include "temp_root.h"

namespace {

using meter::host::TempRoot;
using logtest::Lines;
using logtest::textsOf;

const std::vector<std::string> kAll = {"/config/talvik",         "/config/talvik/loads",   "/config/talvik/inputs",
                                       "/config/talvik/loads/0", "/config/talvik/loads/3", "/config/talvik/inputs/1"};

TEST(StateDirectories, MadeWithTheirParentsAndEachFailureReported) {
    logSetLevel(6);
    struct Case {
        const char *name;
        std::vector<std::string> folders; // made before
        std::vector<std::string> files;   // written before
        bool result;
        Lines lines;
        std::vector<std::string> made;
    } const cases[] = {
        {"an empty /config", {}, {}, true, {}, kAll},
        {"some there already", {"/config/talvik/loads/3"}, {"/config/talvik/loads/3/state"}, true, {}, kAll},
        {"a file in place of the loads' folder",
         {"/config/talvik"},
         {"/config/talvik/loads"},
         false,
         {"error Cannot create /config/talvik/loads: Not a directory",
          "error Cannot create /config/talvik/loads: Not a directory",
          "error Cannot create /config/talvik/loads: Not a directory"},
         {"/config/talvik/inputs", "/config/talvik/inputs/1"}},
    };
    for (const Case &c : cases) {
        TempRoot root;
        for (const std::string &f : c.folders) {
            std::filesystem::create_directories(root.host(f));
        }
        for (const std::string &f : c.files) {
            std::filesystem::create_directories(std::filesystem::path(root.host(f)).parent_path());
            std::ofstream(root.host(f)) << "x";
        }
        testing::internal::CaptureStdout();
        EXPECT_EQ(runtimeCreateStateDirectories({0, 3}, {1}), c.result) << c.name;
        EXPECT_EQ(textsOf(testing::internal::GetCapturedStdout()), c.lines) << c.name;
        for (const std::string &f : c.made) {
            EXPECT_TRUE(std::filesystem::is_directory(root.host(f))) << c.name << ": " << f;
        }
        for (const std::string &f : c.files) {
            EXPECT_TRUE(std::filesystem::exists(root.host(f))) << c.name << ": " << f;
        }
    }
}

TEST(StateDirectories, AFailedStepIsReportedAndTheNextStartUpCompletesIt) {
    logSetLevel(6);
    for (uint64_t step = 0;; ++step) {
        SCOPED_TRACE("step " + std::to_string(step) + " fails");
        TempRoot root;
        meter::host::fault_arm(step, meter::host::Mode::once);
        testing::internal::CaptureStdout();
        const bool made = runtimeCreateStateDirectories({0, 3}, {1});
        const Lines lines = textsOf(testing::internal::GetCapturedStdout());
        const bool fired = meter::host::fault_fired();
        meter::host::fault_disarm();
        EXPECT_EQ(made, !fired);
        EXPECT_EQ(lines.empty(), !fired);
        if (fired) {
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines.front().rfind("error Cannot create /config", 0), 0u) << lines.front();
        }
        testing::internal::CaptureStdout();
        EXPECT_TRUE(runtimeCreateStateDirectories({0, 3}, {1}));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        for (const std::string &f : kAll) {
            EXPECT_TRUE(std::filesystem::is_directory(root.host(f))) << f;
        }
        if (!fired) {
            break;
        }
        ASSERT_LT(step, 200u);
    }
}

TEST(StateDirectories, MadeFoldersSurviveAPowerCut) {
    TempRoot root;
    ASSERT_TRUE(runtimeCreateStateDirectories({0, 3}, {1}));
    meter::host::power_cut();
    meter::host::fault_disarm();
    for (const std::string &f : kAll) {
        EXPECT_TRUE(std::filesystem::is_directory(root.host(f))) << f;
    }
}

} // namespace
