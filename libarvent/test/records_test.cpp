#include "arvent.h"

#include <glib.h>
#include <gtest/gtest.h>

extern "C" int records_c_round_trip(void);

namespace {

TEST(RecordsC, HeaderAndConversionsWorkFromC) { EXPECT_EQ(records_c_round_trip(), 1); }

}  // namespace
