// Live data: zeros before the first result, refused sets, and whole copies
// while the processing thread replaces them (run under ThreadSanitizer too).

#include "nerisko/live_data.h"
#include "temp_root.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

TEST(LiveData, ZerosThenWholeCopies) {
    meter::host::TempRoot root;
    ASSERT_EQ(live_data_init(), 1);
    static data_set_t out;
    std::memset(&out, 0xFF, sizeof out);
    ASSERT_EQ(live_data_get_data(1, &out), 1);
    static const data_set_t zero{};
    EXPECT_EQ(std::memcmp(&out, &zero, sizeof out), 0) << "zeros before the first result";
    EXPECT_EQ(live_data_get_data(2, &out), 0);
    EXPECT_TRUE(meter::host::log_has("Incorrect set provided"));
    live_set_t m{};
    EXPECT_EQ(live_data_get_mapping(2, &m), 0);

    // A writer keeps replacing set 0's result and entries; every copy a
    // reader takes is one whole result.
    static mapping map;
    std::memset(&map, 0, sizeof map);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        static data_set_t r;
        for (uint32_t k = 1; !stop.load(); ++k) {
            std::memset(&r, 0, sizeof r);
            r.set = 0;
            r.ts_end = k;
            r.sets_i[47].thd.value = static_cast<float>(k);
            map.sets_i[0].id = k;  // the descriptor's entry changes under the reader
            processing_set_t d{&map.sets_u[0], {&map.sets_i[0]}};
            event_data_t ev{&d, &r};
            live_data_update(&ev);
        }
    });
    for (int n = 0; n < 2000 || out.ts_end < 1000; ++n) {
        ASSERT_EQ(live_data_get_data(0, &out), 1);
        ASSERT_EQ(static_cast<float>(out.ts_end), out.sets_i[47].thd.value);
        ASSERT_EQ(live_data_get_mapping(0, &m), 1);
        ASSERT_TRUE(m.loads == 0 || m.loads == 1);
    }
    stop = true;
    writer.join();
    ASSERT_EQ(live_data_get_mapping(0, &m), 1);
    const uint32_t id = m.isets[0].id;
    map.sets_i[0].id = 0;
    EXPECT_EQ(m.isets[0].id, id) << "a copy, not a reference into the mapping";
    EXPECT_TRUE(m.has_uset);
    live_data_cleanup();
}

}  // namespace
