// The measurement program's use of the driver, in miniature: map the DDR
// window, set up the interrupt controller, start two blocking interrupt
// threads, run acquisition in lock-step from a third thread, and stop the way
// the program stops (threads first, each after one more half, then the PRU).

#include "fixture.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "meter/root.h"

namespace prusim::test {
namespace {

class UsageTest : public SimTest {};

TEST_F(UsageTest, StartAndStopManyTimesLikeTheMeasurementProgram) {
    Config config;
    config.num_adcs = 3;
    config.channels[6].amplitude = 5.0;
    configure(config);

    // Its own mapping of the window, as the program makes it.
    const int fd = ::open(meter::meter_path("/dev/mem").c_str(), O_RDWR | O_SYNC);
    ASSERT_GE(fd, 0);
    void *map = ::mmap(nullptr, kDdrSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                       static_cast<off_t>(kDdrPhysAddr));
    ::close(fd);
    ASSERT_NE(map, MAP_FAILED);
    auto *ddr = static_cast<std::uint8_t *>(map);
    std::memset(ddr, 0, kDdrSize);

    std::mutex irq_mutex;
    int last_buffer = 1;
    std::atomic<int> copied{0};
    std::atomic<bool> run{false};
    std::vector<std::int32_t> ring;  // channel 6, raw, in copy order

    auto irq_thread = [&](int buffer) {
        const unsigned out = buffer == 0 ? kOutPing : kOutPong;
        const unsigned ev = buffer == 0 ? kEventPingFull : kEventPongFull;
        for (;;) {
            prussdrv_pru_wait_event(out);
            // The last half is the first one taken after the stop was asked:
            // a half finished just before it does not count, or the other
            // thread would wait for a half that nobody takes.
            const bool last = !run;
            std::lock_guard<std::mutex> g(irq_mutex);
            EXPECT_NE(last_buffer, buffer) << "halves out of turn";
            const auto *blocks = reinterpret_cast<const PruBlock *>(ddr + buffer * kHalfSize);
            for (unsigned b = 0; b < kBlocksPerHalf; ++b) {
                // ADC 1, channel 0 feeds channel 6 on this front end.
                ring.insert(ring.end(), std::begin(blocks[b].adc[1].channel[0]),
                            std::end(blocks[b].adc[1].channel[0]));
            }
            prussdrv_pru_clear_event(out, ev);
            last_buffer = buffer;
            ++copied;
            if (last) {
                return;
            }
        }
    };

    std::uint64_t halves = 0;
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        last_buffer = 1;
        run = true;
        std::thread ping(irq_thread, 0);
        std::thread pong(irq_thread, 1);
        ASSERT_EQ(prussdrv_exec_program(0, meter::meter_path(kProgramReadData).c_str()), 0);

        // The PRU's side in lock-step: one half whenever the last was taken.
        auto next_half = [&] {
            const int before = copied;
            ASSERT_EQ(prusim::step(), 0);
            ++halves;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (copied == before) {
                if (std::chrono::steady_clock::now() > deadline) {
                    // The threads would never be joined: end the test here.
                    ADD_FAILURE() << "no thread took the half";
                    std::abort();
                }
                std::this_thread::yield();
            }
        };
        for (int h = 0; h < 5; ++h) {
            next_half();
        }
        // Stop the threads: each leaves after one more half.
        run = false;
        next_half();
        next_half();
        ping.join();
        pong.join();
        // Then the PRU.
        ASSERT_EQ(prussdrv_pru_send_event(kEventStopRequest), 0);
        ASSERT_GT(prussdrv_pru_wait_event_timeout(kOutStopped, 2000), 0);
        prussdrv_pru_clear_event(kOutStopped, kEventAcqStopped);
        prussdrv_pru_clear_event(kOutPing, kEventPingFull);
        prussdrv_pru_clear_event(kOutPong, kEventPongFull);
    }
    ASSERT_EQ(ring.size(), halves * kSamplesPerHalf);
    for (std::size_t n = 0; n < ring.size(); n += 97) {
        ASSERT_EQ(ring[n], raw_value(6, n)) << "sample " << n;
    }
    ::munmap(map, kDdrSize);
}

}  // namespace
}  // namespace prusim::test
