// The simulated PRU: interrupt controller, data RAM, the acquisition program
// and the one-shot SPI programs with a register model of each ADC.

#include "prussdrv.h"
#include "pru/host.h"
#include "pru/sim.h"

#include "meter/root.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kDataRamBytes = 8192;
constexpr unsigned kHostInterrupts = 10;
constexpr unsigned kSysEvents = 64;

constexpr unsigned kEvSpiDone = 19;
constexpr unsigned kEvStop = 21;
constexpr unsigned kEvStopped = 23;
constexpr unsigned kEvPing = 24;
constexpr unsigned kEvPong = 25;

// The board's wiring from raw slot 6k + c (ADC k, input c) to channel ring.
constexpr uint32_t kWiring[54] = {
    0,  1,  2,  3,  4,  5,   //
    6,  7,  8,  9,  10, 11,  //
    17, 16, 15, 14, 13, 12,  //
    18, 27, 19, 28, 20, 29,  //
    47, 38, 46, 37, 45, 36,  //
    21, 30, 22, 31, 23, 32,  //
    50, 41, 49, 40, 48, 39,  //
    24, 33, 25, 34, 26, 35,  //
    53, 44, 52, 43, 51, 42,  //
};

// Register reset values of one ADC: ID, CONFIG1..3, fault thresholds, and
// the six channel settings.
constexpr std::array<uint8_t, pru_sim::kAdcRegisters> kAdcReset = {0xD2, 0x91, 0xE0, 0x40, 0x00,
                                                                   0x10, 0x10, 0x10, 0x10, 0x10, 0x10};

struct Adc {
    std::array<uint8_t, pru_sim::kAdcRegisters> regs = kAdcReset;
    bool converting = false;
    bool continuous = false;
};

struct Sim {
    std::mutex mutex;
    std::condition_variable cv;

    // driver
    bool initialised = false;
    uint32_t open_outputs = 0;
    int sysevt_host[kSysEvents];  // -1: not routed
    uint32_t host_enabled = 0;
    unsigned pending[kHostInterrupts] = {};
    uint8_t data_ram[kDataRamBytes] = {};

    // configuration and program
    pru_sim::Config config;
    std::thread program;
    bool running = false;
    bool kill = false;
    bool stop_requested = false;
    bool stalled = false;
    bool miss_next = false;
    bool awaiting_clear = false;
    unsigned awaiting_event = 0;
    uint64_t produced = 0;
    uint64_t allowed_extra = 0;
    int last_buffer = -1;

    // ADCs
    std::array<Adc, 9> adcs;
    uint32_t resets_seen = 0;
    std::vector<pru_sim::SpiRun> spi;

    Sim() { std::fill(std::begin(sysevt_host), std::end(sysevt_host), -1); }
};

Sim &sim() {
    static Sim s;
    return s;
}

// Raises a PRU system event towards the host; the caller holds the mutex.
void raise_locked(Sim &s, unsigned sysevt) {
    if (sysevt >= kSysEvents || s.sysevt_host[sysevt] < 0) {
        return;
    }
    const int host = s.sysevt_host[sysevt];
    if ((s.host_enabled & (1u << host)) == 0) {
        return;
    }
    ++s.pending[host];
    s.cv.notify_all();
}

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// A normal deviate that depends only on ring and sample.
double noise_at(uint32_t ring, uint64_t sample) {
    const uint64_t a = mix(sample * 64 + ring);
    const uint64_t b = mix(a);
    const double u1 = (static_cast<double>(a >> 11) + 1.0) / 9007199254740993.0;
    const double u2 = static_cast<double>(b >> 11) / 9007199254740992.0;
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * M_PI * u2);
}

double ddr_rate(const pru_sim::Config &) {
    const int32_t clk = pru_host::adc_state().clock_hz;
    return pru_sim::sample_rate_at(clk > 0 ? clk : pru_sim::kNominalClockHz);
}

int32_t to_raw(double value, float gain) {
    const double g = gain != 0.0f ? gain : 1.0f;
    const double counts = std::nearbyint(value / g);
    if (counts >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
        return std::numeric_limits<int32_t>::max();
    }
    if (counts <= static_cast<double>(std::numeric_limits<int32_t>::min())) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(counts);
}

void put_word(uint8_t *block, uint32_t offset, uint32_t word) { std::memcpy(block + offset, &word, 4); }

// Fills one half of the DDR buffer with the samples from first_sample on.
void fill_half(const pru_sim::Config &c, double rate, uint8_t *half, uint64_t first_sample) {
    const double ticks_per_sample = pru_sim::kTicksPerSecond / rate;
    std::memset(half, 0, pru_sim::kHalfBytes);
    for (uint32_t b = 0; b < pru_sim::kBlocksPerHalf; ++b) {
        uint8_t *block = half + b * pru_sim::kBlockBytes;
        const uint64_t base = first_sample + uint64_t{b} * pru_sim::kSamplesPerBlock;
        for (uint32_t s = 0; s < pru_sim::kSamplesPerBlock; ++s) {
            const uint64_t n = base + s;
            const auto tick = static_cast<uint32_t>(
                c.first_tick + static_cast<uint64_t>(std::llround(static_cast<double>(n) * ticks_per_sample)));
            put_word(block, 0x3F00 + 4 * s, tick);
        }
        for (uint32_t k = 0; k < c.num_adcs && k < 9; ++k) {
            for (uint32_t s = 0; s < pru_sim::kSamplesPerBlock; ++s) {
                put_word(block, 0x700 * k + 4 * s, 0x00C00000u);  // status: data ready, no fault
            }
            for (uint32_t in = 0; in < 6; ++in) {
                const int ring = pru_sim::ring_of_input(c.num_adcs, k, in);
                if (ring < 0) {
                    continue;
                }
                const pru_sim::Channel &ch = c.channels[ring];
                for (uint32_t s = 0; s < pru_sim::kSamplesPerBlock; ++s) {
                    const double v = pru_sim::sample_value(ch, static_cast<uint32_t>(ring), base + s, rate);
                    put_word(block, 0x700 * k + 0x100 * (in + 1) + 4 * s,
                             static_cast<uint32_t>(to_raw(v, c.gains[ring])));
                }
            }
        }
    }
}

uint8_t *map_ddr() {
    if (!pru_host::dev_mem_ready()) {
        return nullptr;
    }
    const std::string host = meter::meter_path("/dev/mem");
    int fd = ::open(host.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    void *p = ::mmap(nullptr, pru_sim::kDdrBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                     static_cast<off_t>(pru_sim::kDdrPhysical));
    ::close(fd);
    return p == MAP_FAILED ? nullptr : static_cast<uint8_t *>(p);
}

// The acquisition program.
void acquisition_program(uint8_t *ddr) {
    Sim &s = sim();
    std::unique_lock lock(s.mutex);
    const pru_sim::Config c = s.config;
    const double rate = ddr_rate(c);
    const auto half_time = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(2048.0 / rate / (c.time_scale > 0 ? c.time_scale : 1.0)));
    const auto start = Clock::now();
    uint64_t sample = 0;
    int buffer = 0;
    for (;;) {
        auto ready = [&] {
            if (s.kill || (s.stop_requested && !s.stalled)) {
                return true;
            }
            if (s.stalled) {
                return false;
            }
            if (c.max_halves != 0 && s.produced >= c.max_halves + s.allowed_extra) {
                return false;
            }
            return c.pace == pru_sim::Pace::realtime || !s.awaiting_clear;
        };
        if (c.pace == pru_sim::Pace::realtime) {
            const auto due = start + half_time * static_cast<int64_t>(s.produced + 1);
            while (!ready() || (!s.kill && !s.stop_requested && Clock::now() < due)) {
                if (ready()) {
                    s.cv.wait_until(lock, due);
                } else {
                    s.cv.wait(lock);
                }
            }
        } else {
            s.cv.wait(lock, ready);
        }
        if (s.kill) {
            break;
        }
        if (s.stop_requested) {
            raise_locked(s, kEvStopped);
            break;
        }
        lock.unlock();
        fill_half(c, rate, ddr + pru_sim::kHalfBytes * buffer, sample);
        lock.lock();
        sample += pru_sim::kBlocksPerHalf * pru_sim::kSamplesPerBlock;
        ++s.produced;
        for (uint32_t k = 0; k < 2; ++k) {
            uint32_t count;
            std::memcpy(&count, s.data_ram + 4 * k, 4);
            count += c.pulses_per_half[k];
            std::memcpy(s.data_ram + 4 * k, &count, 4);
        }
        s.last_buffer = buffer;
        s.awaiting_clear = true;
        s.awaiting_event = buffer == 0 ? kEvPing : kEvPong;
        raise_locked(s, s.awaiting_event);
        if (s.miss_next) {
            s.miss_next = false;  // the other half is skipped
        } else {
            buffer ^= 1;
        }
        s.cv.notify_all();
    }
    s.running = false;
    s.cv.notify_all();
    lock.unlock();
    ::munmap(ddr, pru_sim::kDdrBytes);
}

// Ends a running program; the caller holds the lock through `lock`.
void halt_locked(std::unique_lock<std::mutex> &lock) {
    Sim &s = sim();
    if (!s.program.joinable()) {
        return;
    }
    s.kill = true;
    s.cv.notify_all();
    std::thread t = std::move(s.program);
    lock.unlock();
    t.join();
    lock.lock();
    s.kill = false;
    s.running = false;
}

// The ADCs selected for an SPI program: chip select 1 by the block's flag,
// 2..9 by the ADC control driver.
uint32_t selected_adcs(bool own_select) {
    uint32_t sel = pru_host::adc_state().chip_selects & 0x3FCu;
    if (own_select) {
        sel |= 1u << 1;
    }
    return sel;
}

void run_spi(Sim &s, const std::string &name) {
    const auto state = pru_host::adc_state();
    if (state.resets != s.resets_seen) {
        s.resets_seen = state.resets;
        for (Adc &a : s.adcs) {
            a = Adc{};
        }
    }
    uint8_t *blk = s.data_ram;
    pru_sim::SpiRun run{name, blk[0], 0, {}};
    if (name == "pru-spi-cmd.bin") {
        run.selected = selected_adcs(blk[1] != 0);
        for (uint32_t cs = 1; cs <= s.config.num_adcs; ++cs) {
            if ((run.selected & (1u << cs)) == 0) {
                continue;
            }
            Adc &a = s.adcs[cs - 1];
            switch (blk[0]) {
            case 0x06: a = Adc{}; break;                 // RESET
            case 0x08: a.converting = true; break;       // START
            case 0x0A: a.converting = false; break;      // STOP
            case 0x10: a.continuous = true; break;       // RDATAC
            case 0x11: a.continuous = false; break;      // SDATAC
            default: break;
            }
        }
    } else if (name == "pru-spi-write-settings.bin") {
        run.selected = selected_adcs(blk[12] != 0);
        const uint32_t first = blk[0] & 0x1Fu;
        const uint32_t count = std::min<uint32_t>(blk[1], 10);
        run.data.assign(blk + 2, blk + 2 + count);
        for (uint32_t cs = 1; cs <= s.config.num_adcs; ++cs) {
            Adc &a = s.adcs[cs - 1];
            // A converter in continuous-read mode ignores register commands.
            if ((run.selected & (1u << cs)) == 0 || a.continuous || (blk[0] & 0xE0u) != 0x40u) {
                continue;
            }
            for (uint32_t k = 0; k < count && first + k < pru_sim::kAdcRegisters; ++k) {
                if (first + k != 0) {  // the ID register is read-only
                    a.regs[first + k] = blk[2 + k];
                }
            }
        }
    } else if (name == "pru-spi-read-settings.bin") {
        run.selected = selected_adcs(blk[1] != 0);
        std::array<uint8_t, pru_sim::kAdcRegisters> out;
        out.fill(0xFF);  // nobody drives the line
        for (uint32_t cs = 1; cs <= s.config.num_adcs; ++cs) {
            if ((run.selected & (1u << cs)) != 0 && !s.adcs[cs - 1].continuous) {
                out = s.adcs[cs - 1].regs;
                break;
            }
        }
        std::memcpy(blk, out.data(), out.size());
    }
    s.spi.push_back(std::move(run));
}

bool program_file_exists(const char *path) {
    return ::access(meter::meter_path(path).c_str(), R_OK) == 0;
}

}  // namespace

// ---- the driver interface ----

extern "C" {

int prussdrv_init(void) {
    std::lock_guard lock(sim().mutex);
    sim().initialised = true;
    return 0;
}

int prussdrv_open(unsigned evtout) {
    Sim &s = sim();
    std::lock_guard lock(s.mutex);
    if (!s.initialised || evtout > 7) {
        return -1;
    }
    s.open_outputs |= 1u << evtout;
    return 0;
}

int prussdrv_pruintc_init(const prussdrv_intc_init_t *init) {
    Sim &s = sim();
    std::lock_guard lock(s.mutex);
    if (init == nullptr) {
        return -1;
    }
    bool enabled[kSysEvents] = {};
    for (int32_t e : init->sysevts_enabled) {
        if (e == PRUSS_INTC_END) {
            break;
        }
        if (e >= 0 && e < static_cast<int32_t>(kSysEvents)) {
            enabled[e] = true;
        }
    }
    int channel_host[16];
    std::fill(std::begin(channel_host), std::end(channel_host), -1);
    for (const auto &m : init->channel_to_host) {
        if (m[0] == PRUSS_INTC_END) {
            break;
        }
        if (m[0] >= 0 && m[0] < 16 && m[1] >= 0 && m[1] < static_cast<int32_t>(kHostInterrupts)) {
            channel_host[m[0]] = m[1];
        }
    }
    std::fill(std::begin(s.sysevt_host), std::end(s.sysevt_host), -1);
    for (const auto &m : init->sysevt_to_channel) {
        if (m[0] == PRUSS_INTC_END) {
            break;
        }
        if (m[0] >= 0 && m[0] < static_cast<int32_t>(kSysEvents) && enabled[m[0]] && m[1] >= 0 && m[1] < 16) {
            s.sysevt_host[m[0]] = channel_host[m[1]];
        }
    }
    s.host_enabled = init->host_enable_bitmask;
    std::fill(std::begin(s.pending), std::end(s.pending), 0u);
    return 0;
}

int prussdrv_map_prumem(unsigned ram_id, void **address) {
    if (ram_id != PRUSS0_PRU0_DATARAM || address == nullptr) {
        return -1;
    }
    *address = sim().data_ram;
    return 0;
}

int prussdrv_exec_program(int pru, const char *path) {
    Sim &s = sim();
    std::unique_lock lock(s.mutex);
    if (pru != 0 || path == nullptr || !program_file_exists(path)) {
        return -1;
    }
    // Loading a program resets the PRU, whatever ran before.
    halt_locked(lock);
    const char *slash = std::strrchr(path, '/');
    const std::string name = slash != nullptr ? slash + 1 : path;
    if (name == "pru-spi-read-data.bin") {
        uint8_t *ddr = map_ddr();
        if (ddr == nullptr) {
            return -1;
        }
        s.running = true;
        s.stop_requested = false;
        s.stalled = false;
        s.awaiting_clear = false;
        s.produced = 0;
        s.allowed_extra = 0;
        s.last_buffer = -1;
        s.program = std::thread(acquisition_program, ddr);
        return 0;
    }
    if (name == "pru-spi-cmd.bin" || name == "pru-spi-write-settings.bin" || name == "pru-spi-read-settings.bin") {
        run_spi(s, name);
        raise_locked(s, kEvSpiDone);
        return 0;
    }
    return -1;
}

int prussdrv_pru_wait_event_timeout(unsigned evtout, int timeout_ms) {
    Sim &s = sim();
    std::unique_lock lock(s.mutex);
    if (evtout > 7 || (s.open_outputs & (1u << evtout)) == 0) {
        return -1;
    }
    unsigned &p = s.pending[evtout + 2];
    auto has = [&] { return p > 0; };
    if (timeout_ms < 0) {
        s.cv.wait(lock, has);
    } else if (!s.cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), has)) {
        return 0;
    }
    --p;
    return 1;
}

unsigned prussdrv_pru_wait_event(unsigned evtout) {
    const int r = prussdrv_pru_wait_event_timeout(evtout, -1);
    return r > 0 ? static_cast<unsigned>(r) : 0u;
}

int prussdrv_pru_clear_event(unsigned evtout, unsigned sysevent) {
    Sim &s = sim();
    std::lock_guard lock(s.mutex);
    if (evtout > 7) {
        return -1;
    }
    // Clearing drops an event that nobody has waited for yet, as a stale
    // interrupt is dropped by clearing it in the controller.
    if (sysevent < kSysEvents && s.sysevt_host[sysevent] == static_cast<int>(evtout) + 2) {
        s.pending[evtout + 2] = 0;
    }
    if (s.awaiting_clear && sysevent == s.awaiting_event) {
        s.awaiting_clear = false;
        s.cv.notify_all();
    }
    return 0;
}

int prussdrv_pru_send_event(unsigned sysevent) {
    Sim &s = sim();
    std::lock_guard lock(s.mutex);
    if (sysevent == kEvStop) {
        s.stop_requested = true;
        s.cv.notify_all();
    }
    return 0;
}

int prussdrv_pru_disable(unsigned pru) {
    if (pru != 0) {
        return -1;
    }
    std::unique_lock lock(sim().mutex);
    halt_locked(lock);
    return 0;
}

int prussdrv_exit(void) {
    Sim &s = sim();
    std::unique_lock lock(s.mutex);
    halt_locked(lock);
    s.initialised = false;
    s.open_outputs = 0;
    s.host_enabled = 0;
    std::fill(std::begin(s.sysevt_host), std::end(s.sysevt_host), -1);
    std::fill(std::begin(s.pending), std::end(s.pending), 0u);
    return 0;
}

}  // extern "C"

// ---- the handles ----

namespace pru_sim {

double sample_value(const Channel &ch, uint32_t ring, uint64_t sample, double rate) {
    // The phase grows with the frequency in force at each sample, so that a
    // frequency step keeps the waveform continuous.
    double cycles = 0.0;
    uint64_t from = 0;
    double f = ch.frequency;
    for (const FrequencyStep &step : ch.steps) {
        if (step.at_sample >= sample) {
            break;
        }
        cycles += f * static_cast<double>(step.at_sample - from);
        from = step.at_sample;
        f = step.frequency;
    }
    cycles += f * static_cast<double>(sample - from);
    const double theta = ch.phase + 2.0 * M_PI * std::fmod(cycles / rate, 1.0);
    double v = std::sin(theta);
    for (const Harmonic &h : ch.harmonics) {
        v += h.amplitude * std::sin(static_cast<double>(h.order) * theta + h.phase);
    }
    v = ch.dc + ch.amplitude * v;
    if (ch.noise != 0.0) {
        v += ch.noise * noise_at(ring, sample);
    }
    return v;
}

int ring_of_input(uint32_t num_adcs, uint32_t adc, uint32_t input) {
    if (adc >= num_adcs || adc >= 9 || input >= 6) {
        return -1;
    }
    if (num_adcs == 1) {
        // The 3-channel front end: inputs 0-2 are the first voltage set, 3-5
        // the three CTs; the second voltage set has no inputs.
        return static_cast<int>(input < 3 ? kWiring[input] : kWiring[6 + input - 3]);
    }
    return static_cast<int>(kWiring[6 * adc + input]);
}

void configure(const Config &config) {
    Sim &s = sim();
    std::lock_guard lock(s.mutex);
    s.config = config;
    s.miss_next = false;
    s.produced = 0;
    s.allowed_extra = 0;
    s.spi.clear();
    for (Adc &a : s.adcs) {
        a = Adc{};
    }
    s.resets_seen = pru_host::adc_state().resets;
}

Config config() {
    std::lock_guard lock(sim().mutex);
    return sim().config;
}

bool acquisition_running() {
    std::lock_guard lock(sim().mutex);
    return sim().running;
}

uint64_t halves_produced() {
    std::lock_guard lock(sim().mutex);
    return sim().produced;
}

void allow_halves(uint64_t n) {
    std::lock_guard lock(sim().mutex);
    sim().allowed_extra += n;
    sim().cv.notify_all();
}

bool wait_halves(uint64_t n, int timeout_ms) {
    Sim &s = sim();
    std::unique_lock lock(s.mutex);
    return s.cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return s.produced >= n; });
}

void fault_stall() {
    std::lock_guard lock(sim().mutex);
    sim().stalled = true;
    sim().cv.notify_all();
}

void fault_miss_half() {
    std::lock_guard lock(sim().mutex);
    sim().miss_next = true;
}

void fault_repeat_half() {
    Sim &s = sim();
    std::lock_guard lock(s.mutex);
    if (s.last_buffer >= 0) {
        raise_locked(s, s.last_buffer == 0 ? kEvPing : kEvPong);
    }
}

void fault_drdy() { pru_host::drdy_raise(1); }

std::array<uint8_t, kAdcRegisters> adc_registers(uint32_t adc) {
    std::lock_guard lock(sim().mutex);
    return sim().adcs.at(adc).regs;
}

bool adc_converting(uint32_t adc) {
    std::lock_guard lock(sim().mutex);
    return sim().adcs.at(adc).converting;
}

bool adc_continuous(uint32_t adc) {
    std::lock_guard lock(sim().mutex);
    return sim().adcs.at(adc).continuous;
}

std::vector<SpiRun> spi_runs() {
    std::lock_guard lock(sim().mutex);
    return sim().spi;
}

}  // namespace pru_sim
