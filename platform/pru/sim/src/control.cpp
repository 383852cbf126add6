// The simulator's controls over the process-wide simulated PRU.

#include <prusim/prusim.h>

#include "meter/root.h"
#include "sim.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace prusim {

using detail::Sim;

namespace {

bool write_marker(const std::string &path, const char *program) {
    const std::string text = std::string("prusim-program ") + program + "\n";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return ::close(fd) == 0 && ok;
}

}  // namespace

int install() {
    std::error_code ec;
    const std::string mem = meter::meter_path("/dev/mem");
    std::filesystem::create_directories(std::filesystem::path(mem).parent_path(), ec);
    std::filesystem::create_directories(meter::meter_path("/usr/bin"), ec);
    const int fd = ::open(mem.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return -1;
    }
    // Sparse: only the DDR window ever takes space.
    const off_t size = static_cast<off_t>(kDdrPhysAddr + kDdrSize);
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && (st.st_size >= size || ::ftruncate(fd, size) == 0);
    ok = ::close(fd) == 0 && ok;
    const struct {
        const char *path;
        const char *program;
    } programs[] = {
        {kProgramReadData, "read-data"},
        {kProgramSpiCmd, "spi-cmd"},
        {kProgramWriteSettings, "write-settings"},
        {kProgramReadSettings, "read-settings"},
    };
    for (const auto &p : programs) {
        ok = write_marker(meter::meter_path(p.path), p.program) && ok;
    }
    return ok ? 0 : -1;
}

int configure(const Config &config) { return Sim::get().configure(config); }
Config configuration() { return Sim::get().configuration(); }
void reset() { Sim::get().reset(); }
int step(HalfInfo *info) { return Sim::get().step(info); }
double sample_rate() { return Sim::get().sample_rate(); }
double configured_sample_rate() { return Sim::get().configured_sample_rate(); }
double sample_time(std::uint64_t n) { return Sim::get().sample_time(n); }
std::uint32_t sample_ticks(std::uint64_t n) { return Sim::get().sample_ticks(n); }
double scenario_value(unsigned channel, std::uint64_t n) { return Sim::get().scenario_value(channel, n); }
std::int32_t raw_value(unsigned channel, std::uint64_t n) { return Sim::get().raw_value(channel, n); }
void adc_reset() { Sim::get().adc_reset(); }
int adc_chip_select(int cs, bool asserted) { return Sim::get().adc_chip_select(cs, asserted); }
void adc_daisy(bool on) { Sim::get().adc_daisy(on); }
int adc_clock(int hz) { return Sim::get().adc_clock(hz); }
AdcState adc_state(unsigned adc) { return Sim::get().adc_state(adc); }
bool adc_daisy_on() { return Sim::get().adc_daisy_on(); }
int adc_clock_hz() { return Sim::get().adc_clock_hz(); }
std::vector<SpiTransaction> spi_log() { return Sim::get().spi_log(); }
void clear_spi_log() { Sim::get().clear_spi_log(); }
std::uint32_t pulse_count(unsigned input) { return Sim::get().pulse_count(input); }
void add_pulses(unsigned input, std::uint32_t n) { Sim::get().add_pulses(input, n); }
void inject(Fault fault, std::uint64_t n) { Sim::get().inject(fault, n); }
void resume() { Sim::get().resume(); }
void clear_faults() { Sim::get().clear_faults(); }
void hold_consumer(std::uint64_t n, unsigned late, bool both_threads) {
    Sim::get().hold_consumer(n, late, both_threads);
}
void set_drdy_hook(std::function<void(bool)> hook) { Sim::get().set_drdy_hook(std::move(hook)); }
Stats stats() { return Sim::get().stats(); }

}  // namespace prusim
