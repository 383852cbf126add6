// The file writer: saves of one file replaced by newer ones while they wait,
// records in order, and with a slow flash the callers of the processing
// thread hand their writes over without waiting for any of them.

#include "nerisko/agg.h"
#include "nerisko/agg_internal.h"
#include "nerisko/storage.h"
#include "nerisko/writer.h"
#include "temp_root.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Writer : ::testing::Test {
    void SetUp() override {
        setlogmask(LOG_UPTO(LOG_WARNING));
        writer_start();
    }
    void TearDown() override {
        writer_hold(false);
        writer_stop();
        meter::host::slow_flash(0, 0);
        meter::host::clock_release();
    }
    meter::host::TempRoot root;
};

TEST_F(Writer, WaitingSavesAreReplacedRecordsKeepTheirOrder) {
    std::vector<std::string> ran;
    auto job = [&](const char *name) { return [&ran, name] { ran.emplace_back(name); }; };
    writer_hold(true);
    writer_replace("energy0", job("energy0 first"));
    writer_queue(job("record 1"));
    writer_replace("energy0", job("energy0 second"));
    writer_replace("demand0", job("demand0"));
    writer_queue(job("record 2"));
    writer_replace("energy0", job("energy0 third"));
    EXPECT_EQ(writer_pending(), 4u);
    writer_hold(false);
    writer_flush();
    EXPECT_EQ(ran, (std::vector<std::string>{"energy0 third", "record 1", "demand0", "record 2"}));
    // A save handed over once the earlier one has run is a new one.
    writer_replace("energy0", job("energy0 fourth"));
    writer_flush();
    EXPECT_EQ(ran.back(), "energy0 fourth");
}

// A slow flash (50 ms per fsync): while the writer is held, every write the
// processing thread hands over has returned and none has reached a file; once
// it goes on, every trend record is there in order and the energy file holds
// the newest registers.
TEST_F(Writer, SlowFlashNeverHoldsUpTheProcessingThread) {
    constexpr time_t kStart = 1773154800;
    constexpr uint32_t kLoads = 12;
    meter::host::clock_set(kStart);
    agg_forget_failed_saves();
    auto map = std::make_unique<mapping>();
    std::memset(map.get(), 0, sizeof *map);
    ASSERT_TRUE(storage_init(map.get()));
    agg_init();
    auto result = std::make_unique<data_set_t>();
    std::memset(result.get(), 0, sizeof *result);
    result->ts_end = 1;
    processing_set_t ps{};
    for (uint32_t k = 0; k < kLoads; ++k) {
        result->sets_i[k].load_id = k;
        ps.isets[k] = &map->sets_i[k];
    }
    meter::host::slow_flash(50, 1);
    writer_hold(true);
    avg_buf_t &a = five_cycle_avg_buf[0];
    for (int minute = 1; minute <= 15; ++minute) {
        for (int second = 0; second < 60; ++second) {
            a.data.sets_i[0].p.wh.value = minute * 60 + second;
            agg_energy_second_closed(&a, 0);
        }
        if (minute % 5 == 0) {
            meter::host::clock_set(kStart + 60 * minute);
            event_data_t ev{&ps, result.get()};
            storage_store_five_minutes(&ev);
        }
    }
    EXPECT_EQ(writer_pending(), 3u + 1u) << "three five-minute results and the newest energy save";
    EXPECT_FALSE(std::filesystem::exists(root.host("/data/energy_set_0")));
    EXPECT_FALSE(std::filesystem::exists(root.host("/data/set_0/0/" + std::to_string(kStart))));
    writer_hold(false);
    writer_flush();
    for (uint32_t l = 0; l < kLoads; ++l) {
        const std::string b = root.get("/data/set_0/" + std::to_string(l) + "/" + std::to_string(kStart));
        ASSERT_EQ(b.size(), STORAGE_HEADER_SIZE + 3 * sizeof(storage_record_t)) << l;
        for (uint32_t n = 0; n < 3; ++n) {
            uint32_t t = 0;
            std::memcpy(&t, b.data() + STORAGE_HEADER_SIZE + n * sizeof(storage_record_t), sizeof t);
            EXPECT_EQ(t, kStart + 300 * (n + 1)) << l;
        }
    }
    avg_buf_t saved{};
    ASSERT_EQ(agg_load_energy(&saved, 0), 1);
    EXPECT_EQ(saved.data.sets_i[0].p.wh.value, 15 * 60 + 59);
    agg_forget_failed_saves();
}

}  // namespace
