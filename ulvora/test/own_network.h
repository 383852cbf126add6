// For test programs that run Ulvora or TQR on TQR's fixed address: the test
// process moves into a network namespace of its own before any test starts
// a thread, or every test is skipped where the system refuses.
#pragma once

#include "netns.h"

#include <gtest/gtest.h>

#include <string>

namespace ulvora_testing {

class OwnNetwork : public ::testing::Environment {
  public:
    void SetUp() override {
        std::string why;
        if (!tqr_testing::enterOwnNetworkNamespace(why)) {
            GTEST_SKIP() << "no network namespace of its own: " << why;
        }
    }
};

} // namespace ulvora_testing
