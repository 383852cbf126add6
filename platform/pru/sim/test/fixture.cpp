#include "fixture.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace prusim::test {

prussdrv_intc_setup meter_intc() {
    prussdrv_intc_setup s{};
    const int enabled[] = {17, 18, 19, 20, 21, 22, 23, 24, 25, -1};
    std::copy(std::begin(enabled), std::end(enabled), s.sysevents_enabled);
    const prussdrv_sysevent_route ev[] = {{17, 1}, {18, 0}, {19, 2}, {20, 3}, {21, 0},
                                          {22, 1}, {23, 4}, {24, 5}, {25, 6}, {-1, -1}};
    std::copy(std::begin(ev), std::end(ev), s.sysevent_to_channel);
    const prussdrv_channel_route ch[] = {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4},
                                         {5, 5}, {6, 6}, {-1, -1}};
    std::copy(std::begin(ch), std::end(ch), s.channel_to_host);
    s.host_enable_mask = 0x7F;
    return s;
}

void SimTest::SetUp() {
    const char *tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp != nullptr ? tmp : "/tmp") + "/prusim.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    ::setenv("METER_ROOT", root_.c_str(), 1);
    ASSERT_EQ(install(), 0);
    ASSERT_NO_FATAL_FAILURE(reboot());

    const std::string mem = root_ + "/dev/mem";
    const int fd = ::open(mem.c_str(), O_RDWR | O_SYNC);
    ASSERT_GE(fd, 0);
    void *p = ::mmap(nullptr, kDdrSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                     static_cast<off_t>(kDdrPhysAddr));
    ::close(fd);
    ASSERT_NE(p, MAP_FAILED);
    ddr_ = static_cast<std::uint8_t *>(p);
}

void SimTest::reboot() {
    reset();
    ASSERT_EQ(prussdrv_init(), 0);
    for (unsigned n = 0; n < 8; ++n) {
        ASSERT_EQ(prussdrv_open(n), 0);
    }
    const prussdrv_intc_setup intc = meter_intc();
    ASSERT_EQ(prussdrv_pruintc_init(&intc), 0);
    void *ram = nullptr;
    ASSERT_EQ(prussdrv_map_prumem(PRU0_DATA_RAM, &ram), 0);
    dataram_ = static_cast<std::uint8_t *>(ram);
}

void SimTest::TearDown() {
    prussdrv_exit();
    reset();
    if (ddr_ != nullptr) {
        ::munmap(ddr_, kDdrSize);
    }
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
    ::unsetenv("METER_ROOT");
}

void SimTest::configure(const Config &config) { ASSERT_EQ(prusim::configure(config), 0); }

void SimTest::start() { ASSERT_EQ(prussdrv_exec_program(0, kProgramReadData), 0); }

bool SimTest::stop(int timeout_ms) {
    if (prussdrv_pru_send_event(kEventStopRequest) != 0) {
        return false;
    }
    const bool answered = prussdrv_pru_wait_event_timeout(kOutStopped, timeout_ms) > 0;
    prussdrv_pru_clear_event(kOutStopped, kEventAcqStopped);
    prussdrv_pru_clear_event(kOutPing, kEventPingFull);
    prussdrv_pru_clear_event(kOutPong, kEventPongFull);
    return answered;
}

bool SimTest::run_one_shot(const char *program, int timeout_ms) {
    if (prussdrv_exec_program(0, program) != 0) {
        return false;
    }
    const bool done = prussdrv_pru_wait_event_timeout(kOutOneShot, timeout_ms) > 0;
    prussdrv_pru_clear_event(kOutOneShot, kEventOneShotDone);
    return done;
}

HalfInfo SimTest::step_ok() {
    HalfInfo info;
    EXPECT_EQ(prusim::step(&info), 0);
    return info;
}

float reference_calibrate(std::int32_t raw, const ChannelCalibration &cal, unsigned channel) {
    const double scale = cal.counts_to_unit != 0.0 ? cal.counts_to_unit : default_counts_to_unit(channel);
    return cal.gain * static_cast<float>(scale) * static_cast<float>(raw);
}

}  // namespace prusim::test
