// A fresh meter for each test: the configuration records at their
// defaults, no object sets, a temporary METER_ROOT for the state files.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "device/object_sets.h"
#include "device/config.h"
#include "runtime/state.h"
#include "set_builder.h"
#include "temp_root.h"

namespace devtest {

inline void resetMeter() {
    clearSets();
    communicationConfig = CommunicationConfig();
    staticConfig = StaticConfig();
    siteInfo = SiteInfo();
    tqrStoreTime(TqrTime{});
}

class DeviceTest : public testing::Test {
  protected:
    void SetUp() override { resetMeter(); }
    void TearDown() override { clearSets(); }

    // State files below a board folder, without their "_flag" and "_bu"
    // companions.
    size_t filesIn(const std::string &boardFolder) const {
        size_t n = 0;
        std::error_code ec;
        for (const auto &e : std::filesystem::recursive_directory_iterator(root.host(boardFolder), ec)) {
            const std::string name = e.path().filename().string();
            const bool companion = name.ends_with("_flag") || name.ends_with("_bu");
            n += e.is_regular_file() && !companion ? 1 : 0;
        }
        return n;
    }

    meter::host::TempRoot root;
};

}  // namespace devtest
