#include "sim.h"

#include "meter/root.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>

namespace prusim::detail {

namespace {

constexpr int kDefaultClockHz = 1538500;

// Power-on registers of each ADC: an ID, then CONFIG1..3, the fault
// register and the six channel settings. They equal the settings the
// measurement program writes by default (see the sample-rate note in prusim.h).
constexpr std::uint8_t kPowerOnRegs[11] = {0xD2, 0x92, 0xF0, 0x40, 0x00, 0x10,
                                           0x10, 0x10, 0x10, 0x10, 0x10};

// ADC commands (one byte, no operand).
enum : std::uint8_t {
    kCmdWakeup = 0x02,
    kCmdStandby = 0x04,
    kCmdReset = 0x06,
    kCmdStart = 0x08,
    kCmdStop = 0x0A,
    kCmdReadContinuous = 0x10,
    kCmdStopReadContinuous = 0x11,
    kCmdReadOnce = 0x12,
};

constexpr const char *kMarker = "prusim-program ";

std::uint32_t divider_of(std::uint8_t config1) {
    const unsigned dr = config1 & 7u;
    return dr == 7 ? 0 : 32u << dr;
}

// The program a program file stands for: its marker line, or "".
std::string program_of(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    char buf[64] = {};
    const ssize_t got = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (got <= 0) {
        return {};
    }
    const std::string text(buf, static_cast<std::size_t>(got));
    const std::size_t marker = std::strlen(kMarker);
    if (text.compare(0, marker, kMarker) != 0) {
        return {};
    }
    const std::size_t end = text.find('\n', marker);
    return text.substr(marker, end == std::string::npos ? std::string::npos : end - marker);
}

// A board path, or one already under METER_ROOT, as the file to open.
std::string resolve(const char *path) {
    const std::string root = meter::meter_root();
    const std::string p(path);
    if (!root.empty() && p.size() > root.size() && p.compare(0, root.size(), root) == 0 &&
        p[root.size()] == '/') {
        return p;
    }
    return meter::meter_path(p);
}

}  // namespace

Sim &Sim::get() {
    // Never destroyed: a PRU thread may still run while the process exits.
    static Sim *sim = new Sim;
    return *sim;
}

Sim::Sim() {
    Lock lk(m_);
    ev_channel_.fill(-1);
    ch_host_.fill(-1);
    clock_hz_ = kDefaultClockHz;
    power_on_adcs();
    plan_ = std::make_shared<const Plan>(make_plan(config_));
    origin_ = Clock::now();
    run_ = Run{};
    run_.plan = plan_;
    run_.clock_hz = static_cast<std::uint32_t>(clock_hz_);
    run_.divider = divider_of(adcs_[0].reg[1]);
    run_.tick_start = config_.tick_start;
}

// ---- interrupt controller ---------------------------------------------------

void Sim::fire_if_pending(unsigned output) {
    Output &o = out_[output];
    const unsigned host = output + 2;
    if (!o.armed || ((host_mask_ >> host) & 1u) == 0) {
        return;
    }
    for (unsigned e = 0; e < PRUSSDRV_NUM_SYSEVENTS; ++e) {
        if (pending_[e] && enabled_[e] && ev_channel_[e] >= 0 &&
            ch_host_[static_cast<unsigned>(ev_channel_[e])] == static_cast<int>(host)) {
            ++o.fired;
            o.armed = false;
            events_cv_.notify_all();
            return;
        }
    }
}

bool Sim::released(const Output &o) const {
    return stats_.halves_written >= o.hold_until && !(o.wait_other && pending_[o.other_event]);
}

int Sim::output_of(unsigned e) const {
    if (!enabled_[e] || ev_channel_[e] < 0) {
        return -1;
    }
    const int host = ch_host_[static_cast<unsigned>(ev_channel_[e])];
    return host >= 2 ? host - 2 : -1;
}

void Sim::start_holds(std::uint64_t slot, int buffer) {
    for (auto it = holds_.begin(); it != holds_.end();) {
        if (it->slot != slot) {
            ++it;
            continue;
        }
        const unsigned own = kEventPingFull + static_cast<unsigned>(buffer);
        const unsigned other = kEventPingFull + static_cast<unsigned>(buffer ^ 1);
        const std::uint64_t until = stats_.halves_written + it->late;
        const int out_own = output_of(own);
        const int out_other = output_of(other);
        if (out_own >= 0) {
            Output &o = out_[static_cast<unsigned>(out_own)];
            o.hold_until = until;
            o.wait_other = !it->both;
            o.other_event = other;
        }
        if (it->both && out_other >= 0) {
            Output &o = out_[static_cast<unsigned>(out_other)];
            o.hold_until = until;
            o.wait_other = false;
        }
        it = holds_.erase(it);
    }
}

void Sim::raise(unsigned e) {
    const bool was_pending = pending_[e];
    pending_[e] = true;
    if (was_pending && (e == kEventPingFull || e == kEventPongFull)) {
        ++stats_.events_merged;
    }
    if (!enabled_[e] || ev_channel_[e] < 0) {
        return;
    }
    const int host = ch_host_[static_cast<unsigned>(ev_channel_[e])];
    if (host < 0 || ((host_mask_ >> host) & 1u) == 0) {
        return;
    }
    if (host >= 2) {
        fire_if_pending(static_cast<unsigned>(host - 2));
    } else {
        pru_cv_.notify_all();
    }
}

bool Sim::host0_pending() const {
    if ((host_mask_ & 1u) == 0) {
        return false;
    }
    for (unsigned e = 0; e < PRUSSDRV_NUM_SYSEVENTS; ++e) {
        if (pending_[e] && enabled_[e] && ev_channel_[e] >= 0 &&
            ch_host_[static_cast<unsigned>(ev_channel_[e])] == 0) {
            return true;
        }
    }
    return false;
}

// ---- driver calls -----------------------------------------------------------

int Sim::init() {
    Lock lk(m_);
    if (!session_) {
        session_ = true;
        out_ = {};
    }
    return 0;
}

int Sim::open(unsigned output) {
    Lock lk(m_);
    if (!session_ || output >= PRUSSDRV_NUM_EVENT_OUTPUTS) {
        return -1;
    }
    out_[output].open = true;
    return 0;
}

int Sim::intc_init(const prussdrv_intc_setup &s) {
    std::array<bool, PRUSSDRV_NUM_SYSEVENTS> enabled{};
    std::array<int, PRUSSDRV_NUM_SYSEVENTS> ev_channel;
    std::array<int, PRUSSDRV_NUM_CHANNELS> ch_host;
    ev_channel.fill(-1);
    ch_host.fill(-1);
    for (int e : s.sysevents_enabled) {
        if (e == -1) {
            break;
        }
        if (e < 0 || e >= PRUSSDRV_NUM_SYSEVENTS) {
            return -1;
        }
        enabled[static_cast<unsigned>(e)] = true;
    }
    for (const prussdrv_sysevent_route &r : s.sysevent_to_channel) {
        if (r.sysevent == -1) {
            break;
        }
        if (r.sysevent < 0 || r.sysevent >= PRUSSDRV_NUM_SYSEVENTS || r.channel < 0 ||
            r.channel >= PRUSSDRV_NUM_CHANNELS) {
            return -1;
        }
        ev_channel[static_cast<unsigned>(r.sysevent)] = r.channel;
    }
    for (const prussdrv_channel_route &r : s.channel_to_host) {
        if (r.channel == -1) {
            break;
        }
        if (r.channel < 0 || r.channel >= PRUSSDRV_NUM_CHANNELS || r.host < 0 ||
            r.host >= PRUSSDRV_NUM_HOSTS) {
            return -1;
        }
        ch_host[static_cast<unsigned>(r.channel)] = r.host;
    }
    if (s.host_enable_mask >> PRUSSDRV_NUM_HOSTS != 0) {
        return -1;
    }
    Lock lk(m_);
    if (!session_) {
        return -1;
    }
    enabled_ = enabled;
    ev_channel_ = ev_channel;
    ch_host_ = ch_host;
    host_mask_ = s.host_enable_mask;
    pending_ = {};
    for (Output &o : out_) {
        o.armed = true;
    }
    return 0;
}

int Sim::map_prumem(unsigned id, void **address) {
    Lock lk(m_);
    if (!session_ || address == nullptr || id > 1) {
        return -1;
    }
    *address = dataram_[id];
    return 0;
}

int Sim::map_ddr() {
    if (ddr_ != nullptr) {
        return 0;
    }
    const std::string path = meter::meter_path("/dev/mem");
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat st {};
    // A shorter file would map but fault on first access.
    if (::fstat(fd, &st) != 0 ||
        static_cast<std::uint64_t>(st.st_size) < kDdrPhysAddr + kDdrSize) {
        ::close(fd);
        return -1;
    }
    void *p = ::mmap(nullptr, kDdrSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                     static_cast<off_t>(kDdrPhysAddr));
    ::close(fd);
    if (p == MAP_FAILED) {
        return -1;
    }
    ddr_ = static_cast<std::uint8_t *>(p);
    return 0;
}

void Sim::unmap_ddr(Lock &lk) {
    pru_cv_.wait(lk, [this] { return ddr_users_ == 0; });
    if (ddr_ != nullptr) {
        ::munmap(ddr_, kDdrSize);
        ddr_ = nullptr;
    }
}

void Sim::halt_pru0(Lock &lk) {
    acq_running_ = false;
    ++run_id_;
    pru_cv_.notify_all();
    // Another caller may start a program while the lock is released for the
    // join; halt that one too, so that no thread is left running on PRU 0.
    while (pru_thread_.joinable()) {
        std::thread t = std::move(pru_thread_);
        lk.unlock();
        t.join();
        lk.lock();
        acq_running_ = false;
        ++run_id_;
        pru_cv_.notify_all();
    }
}

Sim::Run Sim::make_run(double anchor_t) const {
    Run run;
    run.plan = plan_;
    run.num_adcs = config_.num_adcs;
    run.pace = config_.pace;
    run.time_scale = config_.time_scale;
    run.backpressure = config_.backpressure;
    run.tick_start = config_.tick_start;
    run.pulse_rate = config_.pulse_rate_hz;
    run.clock_hz = static_cast<std::uint32_t>(clock_hz_);
    run.divider = divider_of(adcs_[0].reg[1]);
    run.anchor_n = next_sample_;
    run.anchor_t = anchor_t;
    run.anchor_ticks = static_cast<std::uint64_t>(std::floor(anchor_t * kTickHz));
    run.stalled = run.divider == 0;
    return run;
}

void Sim::reanchor(Run &run, double t) {
    run.anchor_n = next_sample_;
    run.anchor_t = t;
    run.anchor_ticks = static_cast<std::uint64_t>(std::floor(t * kTickHz));
}

double Sim::session_now_s() const {
    return std::chrono::duration<double>(Clock::now() - origin_).count() * config_.time_scale;
}

int Sim::exec_program(int pru, const char *path) {
    if (path == nullptr) {
        return -1;
    }
    const std::string program = program_of(resolve(path));
    Lock lk(m_);
    if (!session_ || pru != 0 || program.empty()) {
        return -1;
    }
    if (program != "read-data" && program != "spi-cmd" && program != "write-settings" &&
        program != "read-settings") {
        return -1;
    }
    halt_pru0(lk);
    ++stats_.programs_started;
    if (program != "read-data") {
        run_one_shot(program);
        return 0;
    }
    if (map_ddr() != 0) {
        return -1;
    }
    const double t = config_.pace == Pace::timed ? std::max(next_time_, session_now_s()) : next_time_;
    run_ = make_run(t);
    last_run_valid_ = true;
    acq_running_ = true;
    if (run_.pace == Pace::timed) {
        pru_thread_ = std::thread(&Sim::timed_loop, this, run_id_);
    }
    return 0;
}

int Sim::wait_event(unsigned output, int timeout_ms) {
    Lock lk(m_);
    if (!session_ || output >= PRUSSDRV_NUM_EVENT_OUTPUTS || !out_[output].open) {
        return -1;
    }
    const std::uint64_t gen = session_gen_;
    Output &o = out_[output];
    auto ready = [&] { return (o.fired != o.seen && released(o)) || session_gen_ != gen; };
    if (timeout_ms < 0) {
        events_cv_.wait(lk, ready);
    } else if (!events_cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), ready)) {
        return 0;
    }
    if (session_gen_ != gen) {
        return -1;
    }
    o.seen = o.fired;
    const int count = static_cast<int>(o.fired & 0x7FFFFFFFu);
    return count == 0 ? 1 : count;  // a firing is never reported as a timeout
}

int Sim::clear_event(unsigned output, unsigned sysevent) {
    Lock lk(m_);
    if (!session_ || output >= PRUSSDRV_NUM_EVENT_OUTPUTS || sysevent >= PRUSSDRV_NUM_SYSEVENTS) {
        return -1;
    }
    pending_[sysevent] = false;
    out_[output].armed = true;
    fire_if_pending(output);
    pru_cv_.notify_all();
    events_cv_.notify_all();  // a held consumer may go now
    return 0;
}

int Sim::send_event(unsigned sysevent) {
    Lock lk(m_);
    if (!session_ || sysevent >= PRUSSDRV_NUM_SYSEVENTS) {
        return -1;
    }
    raise(sysevent);
    if (acq_running_ && run_.pace == Pace::lockstep && ddr_users_ == 0 && stop_requested() &&
        !run_.hung) {
        finish_acquisition();
    }
    return 0;
}

void Sim::finish_acquisition() {
    for (unsigned e = 0; e < PRUSSDRV_NUM_SYSEVENTS; ++e) {
        if (pending_[e] && enabled_[e] && ev_channel_[e] >= 0 &&
            ch_host_[static_cast<unsigned>(ev_channel_[e])] == 0) {
            pending_[e] = false;  // the program takes the request
        }
    }
    acq_running_ = false;
    raise(kEventAcqStopped);
}

int Sim::disable(unsigned pru) {
    Lock lk(m_);
    if (pru > 1) {
        return -1;
    }
    if (pru == 0) {
        halt_pru0(lk);
    }
    return 0;
}

int Sim::exit_session() {
    Lock lk(m_);
    halt_pru0(lk);
    session_ = false;
    ++session_gen_;
    out_ = {};
    enabled_ = {};
    ev_channel_.fill(-1);
    ch_host_.fill(-1);
    host_mask_ = 0;
    pending_ = {};
    events_cv_.notify_all();
    unmap_ddr(lk);
    return 0;
}

// ---- acquisition program ------------------------------------------------------

double Sim::run_time(const Run &run, std::uint64_t n) const {
    if (run.divider == 0 || run.clock_hz == 0) {
        return run.anchor_t;
    }
    // Signed: samples before the anchor (an earlier lock-step run) lie back to back before it.
    const auto d = static_cast<std::int64_t>(n - run.anchor_n);
    return run.anchor_t + static_cast<double>(d) * run.divider / run.clock_hz;
}

std::uint64_t Sim::run_ticks(const Run &run, std::uint64_t n) const {
    if (run.divider == 0 || run.clock_hz == 0) {
        return run.anchor_ticks;
    }
    // floor(d * k / c) for the signed sample distance d, also for samples
    // before the anchor, without a 128-bit type (none on 32-bit ARM): with
    // d = dq*c + dr and k = kq*c + kr (0 <= dr, kr < c < 2^32) it is
    // dq*k + dr*kq + floor(dr*kr / c), where dr*kr < 2^64. The sum is taken
    // modulo 2^64, as the tick counter wraps.
    const auto d = static_cast<std::int64_t>(n - run.anchor_n);
    const std::uint64_t k = std::uint64_t{kTickHz} * run.divider;
    const std::int64_t c = run.clock_hz;
    std::int64_t dq = d / c;
    std::int64_t dr = d % c;
    if (dr < 0) {
        --dq;
        dr += c;
    }
    const std::uint64_t kq = k / run.clock_hz;
    const std::uint64_t kr = k % run.clock_hz;
    const std::uint64_t q = static_cast<std::uint64_t>(dq) * k + static_cast<std::uint64_t>(dr) * kq +
                            static_cast<std::uint64_t>(dr) * kr / run.clock_hz;
    return run.anchor_ticks + q;
}

std::uint64_t Sim::generate(const Run &run, int buffer, std::uint64_t n0) {
    auto *blocks = reinterpret_cast<PruBlock *>(ddr_ + static_cast<std::size_t>(buffer) * kHalfSize);
    const Plan &plan = *run.plan;
    double t[kSamplesPerHalf];
    for (unsigned i = 0; i < kSamplesPerHalf; ++i) {
        t[i] = run_time(run, n0 + i);
        blocks[i / kSamplesPerBlock].ticks[i % kSamplesPerBlock] =
            static_cast<std::uint32_t>(run.tick_start + run_ticks(run, n0 + i));
    }
    std::uint64_t clipped = 0;
    for (unsigned k = 0; k < run.num_adcs; ++k) {
        for (unsigned b = 0; b < kBlocksPerHalf; ++b) {
            std::fill(std::begin(blocks[b].adc[k].status), std::end(blocks[b].adc[k].status),
                      kAdcStatusOk);
        }
        for (unsigned c = 0; c < kChannelsPerAdc; ++c) {
            const ChannelPlan &ch = plan[adc_slot_channel(run.num_adcs, k, c)];
            for (unsigned i = 0; i < kSamplesPerHalf; ++i) {
                bool clip = false;
                blocks[i / kSamplesPerBlock].adc[k].channel[c][i % kSamplesPerBlock] =
                    ch.raw(ch.value(t[i], n0 + i), &clip);
                clipped += clip;
            }
        }
    }
    return clipped;
}

bool Sim::produce_half(Lock &lk, HalfInfo *info) {
    const std::uint64_t slot = slot_++;
    bool skip = false;
    bool repeat = false;
    bool drdy = false;
    bool stall = false;
    bool hang = false;
    for (auto it = armed_.begin(); it != armed_.end();) {
        if (it->slot != slot) {
            ++it;
            continue;
        }
        switch (it->fault) {
        case Fault::stall: stall = true; break;
        case Fault::hang: hang = true; break;
        case Fault::skip_event: skip = true; break;
        case Fault::repeat_half: repeat = true; break;
        case Fault::drdy: drdy = true; break;
        case Fault::spi_hang: break;
        }
        it = armed_.erase(it);
    }
    if (stall || hang) {
        run_.stalled = true;
        run_.hung = hang;
        ++stats_.stalls_reached;
        return false;
    }
    const std::uint64_t id = run_id_;
    const int buffer = run_.next_buffer;
    const std::uint64_t n0 = next_sample_;
    const Run run = run_;
    ++ddr_users_;
    lk.unlock();
    const std::uint64_t clipped = generate(run, buffer, n0);
    lk.lock();
    --ddr_users_;
    pru_cv_.notify_all();
    if (id != run_id_ || !acq_running_) {
        return false;  // halted while writing
    }
    stats_.clipped_samples += clipped;
    next_sample_ = n0 + kSamplesPerHalf;
    next_time_ = run_time(run_, next_sample_);
    const double half_s = next_time_ - run_time(run_, n0);
    for (unsigned i = 0; i < kPulseInputs; ++i) {
        const double acc = pulse_frac_[i] + run_.pulse_rate[i] * half_s;
        const double whole = std::floor(acc);
        pulse_frac_[i] = acc - whole;
        store_pulse(i, load_pulse(i) + static_cast<std::uint32_t>(whole));
    }
    if (info != nullptr) {
        info->buffer = buffer;
        info->half = run_.half;
        info->first_sample = n0;
        info->sample_rate = static_cast<double>(run_.clock_hz) / run_.divider;
        info->raised = !skip;
    }
    ++run_.half;
    ++stats_.halves_written;
    start_holds(slot, buffer);
    events_cv_.notify_all();  // a held consumer may go now
    if (!skip) {
        ++stats_.events_raised;
        raise(kEventPingFull + static_cast<unsigned>(buffer));
    }
    if (!repeat) {
        run_.next_buffer ^= 1;
    }
    if (drdy) {
        call_drdy_hook(lk);
    }
    if (acq_running_ && run_.pace == Pace::lockstep && stop_requested() && !run_.hung) {
        finish_acquisition();
    }
    return true;
}

void Sim::timed_loop(std::uint64_t id) {
    Lock lk(m_);
    while (id == run_id_ && acq_running_) {
        if (stop_requested() && !run_.hung) {
            finish_acquisition();
            return;
        }
        if (run_.stalled) {
            pru_cv_.wait(lk);
            continue;
        }
        const double t_last = run_time(run_, next_sample_ + kSamplesPerHalf - 1);
        const auto due = origin_ + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(t_last / run_.time_scale));
        if (Clock::now() < due) {
            pru_cv_.wait_until(lk, due);
            continue;
        }
        if (run_.backpressure && (pending_[kEventPingFull] || pending_[kEventPongFull])) {
            pru_cv_.wait(lk);
            continue;
        }
        produce_half(lk, nullptr);
    }
}

void Sim::call_drdy_hook(Lock &lk) {
    std::function<void(bool)> hook = drdy_hook_;
    if (!hook) {
        return;
    }
    lk.unlock();
    hook(true);
    lk.lock();
}

// ---- one-shot SPI programs ----------------------------------------------------

void Sim::run_one_shot(const std::string &program) {
    SpiTransaction::Kind kind = SpiTransaction::command;
    if (program == "write-settings") {
        kind = SpiTransaction::write;
    } else if (program == "read-settings") {
        kind = SpiTransaction::read;
    }
    spi_transaction(kind);
    if (spi_hang_armed_) {
        spi_hang_armed_ = false;
        return;
    }
    raise(kEventOneShotDone);
}

void Sim::spi_transaction(SpiTransaction::Kind kind) {
    std::uint8_t *b = dataram_[0] + kSpiBlockOffset;
    SpiTransaction tr;
    tr.kind = kind;
    tr.opcode = b[0];
    const bool own = (kind == SpiTransaction::write ? b[12] : b[1]) != 0;
    const unsigned chain = config_.num_adcs;
    if (own) {
        tr.selected |= 1u << 1;
    }
    for (unsigned n = 2; n <= chain; ++n) {
        if (cs_[n]) {
            tr.selected |= static_cast<std::uint16_t>(1u << n);
        }
    }
    auto each_selected = [&](auto &&fn) {
        for (unsigned n = 1; n <= chain; ++n) {
            if ((tr.selected >> n) & 1u) {
                fn(adcs_[n - 1]);
            }
        }
    };
    unsigned applied = 0;
    switch (kind) {
    case SpiTransaction::command:
        each_selected([&](Adc &adc) {
            switch (tr.opcode) {
            case kCmdWakeup:
            case kCmdStandby:
            case kCmdReadOnce: break;
            case kCmdReset:
                adc.reg = {};
                std::copy(std::begin(kPowerOnRegs), std::end(kPowerOnRegs), adc.reg.begin());
                adc.converting = false;
                adc.continuous_read = true;
                break;
            case kCmdStart: adc.converting = true; break;
            case kCmdStop: adc.converting = false; break;
            case kCmdReadContinuous: adc.continuous_read = true; break;
            case kCmdStopReadContinuous: adc.continuous_read = false; break;
            default: return;
            }
            ++applied;
        });
        break;
    case SpiTransaction::write: {
        const unsigned count = b[1];
        if ((tr.opcode & 0xE0) != 0x40 || count < 1 || count > kSpiMaxWriteBytes) {
            break;
        }
        tr.count = static_cast<std::uint8_t>(count);
        const unsigned first = tr.opcode & 0x1Fu;
        each_selected([&](Adc &adc) {
            if (adc.continuous_read) {
                return;  // a converter in continuous-read mode ignores register access
            }
            for (unsigned i = 0; i < count; ++i) {
                const unsigned r = first + i;
                if (r != 0 && r < adc.reg.size()) {  // register 0, the ID, is read-only
                    adc.reg[r] = b[2 + i];
                }
            }
            ++applied;
        });
        break;
    }
    case SpiTransaction::read: {
        std::uint8_t answer[kSpiReadBytes];
        std::fill(std::begin(answer), std::end(answer), 0xFF);  // an undriven line reads high
        if ((tr.opcode & 0xE0) == 0x20) {
            tr.count = kSpiReadBytes;
            const unsigned first = tr.opcode & 0x1Fu;
            each_selected([&](Adc &adc) {
                if (adc.continuous_read) {
                    return;
                }
                for (unsigned i = 0; i < kSpiReadBytes; ++i) {
                    const unsigned r = first + i;
                    answer[i] &= r < adc.reg.size() ? adc.reg[r] : 0x00;
                }
                ++applied;
            });
            tr.contention = std::popcount(tr.selected) > 1;
        }
        std::copy(std::begin(answer), std::end(answer), b);
        break;
    }
    }
    tr.ignored = applied == 0;
    spi_log_.push_back(tr);
}

void Sim::power_on_adcs() {
    for (Adc &adc : adcs_) {
        adc.reg = {};
        std::copy(std::begin(kPowerOnRegs), std::end(kPowerOnRegs), adc.reg.begin());
        adc.converting = false;
        adc.continuous_read = true;
    }
}

// The pulse-input thread reads these words without any lock, as it reads the
// PRU's memory on the board: whole aligned 32-bit stores keep it from ever
// seeing half a count.
void Sim::store_pulse(unsigned input, std::uint32_t value) {
    auto *word = reinterpret_cast<std::uint32_t *>(dataram_[0] + kPulseCounterOffset + 4 * input);
    std::atomic_ref<std::uint32_t>(*word).store(value, std::memory_order_relaxed);
}

std::uint32_t Sim::load_pulse(unsigned input) const {
    auto *word = reinterpret_cast<std::uint32_t *>(
        const_cast<std::uint8_t *>(dataram_[0] + kPulseCounterOffset + 4 * input));
    return std::atomic_ref<std::uint32_t>(*word).load(std::memory_order_relaxed);
}

// ---- controls -----------------------------------------------------------------

int Sim::configure(const Config &config) {
    if (*check_config(config) != '\0') {
        return -1;
    }
    auto plan = std::make_shared<const Plan>(make_plan(config));
    Lock lk(m_);
    if (acq_running_) {
        return -1;
    }
    config_ = config;
    plan_ = std::move(plan);
    if (!last_run_valid_) {
        run_ = make_run(0.0);
    }
    return 0;
}

Config Sim::configuration() {
    Lock lk(m_);
    return config_;
}

void Sim::reset() {
    exit_session();
    Lock lk(m_);
    config_ = Config{};
    plan_ = std::make_shared<const Plan>(make_plan(config_));
    power_on_adcs();
    cs_ = {};
    daisy_ = false;
    clock_hz_ = kDefaultClockHz;
    spi_log_.clear();
    stats_ = {};
    slot_ = 0;
    armed_.clear();
    holds_.clear();
    spi_hang_armed_ = false;
    pulse_frac_ = {};
    std::memset(dataram_, 0, sizeof dataram_);
    next_sample_ = 0;
    next_time_ = 0.0;
    origin_ = Clock::now();
    last_run_valid_ = false;
    run_ = make_run(0.0);
}

int Sim::step(HalfInfo *info) {
    Lock lk(m_);
    pru_cv_.wait(lk, [this] { return ddr_users_ == 0; });
    if (!acq_running_ || run_.pace != Pace::lockstep || run_.stalled) {
        return -1;
    }
    return produce_half(lk, info) ? 0 : -1;
}

double Sim::sample_rate() {
    Lock lk(m_);
    if (!last_run_valid_ || run_.divider == 0) {
        return 0.0;
    }
    return static_cast<double>(run_.clock_hz) / run_.divider;
}

double Sim::configured_sample_rate() {
    Lock lk(m_);
    const std::uint32_t div = divider_of(adcs_[0].reg[1]);
    return div == 0 ? 0.0 : static_cast<double>(clock_hz_) / div;
}

double Sim::sample_time(std::uint64_t n) {
    Lock lk(m_);
    return run_time(run_, n);
}

std::uint32_t Sim::sample_ticks(std::uint64_t n) {
    Lock lk(m_);
    return static_cast<std::uint32_t>(run_.tick_start + run_ticks(run_, n));
}

double Sim::scenario_value(unsigned channel, std::uint64_t n) {
    Lock lk(m_);
    if (channel >= kChannels) {
        return 0.0;
    }
    return (*run_.plan)[channel].value(run_time(run_, n), n);
}

std::int32_t Sim::raw_value(unsigned channel, std::uint64_t n) {
    Lock lk(m_);
    if (channel >= kChannels) {
        return 0;
    }
    const ChannelPlan &ch = (*run_.plan)[channel];
    bool clipped = false;
    return ch.raw(ch.value(run_time(run_, n), n), &clipped);
}

void Sim::adc_reset() {
    Lock lk(m_);
    power_on_adcs();
}

int Sim::adc_chip_select(int cs, bool asserted) {
    if (cs < 2 || cs > 9) {
        return -1;
    }
    Lock lk(m_);
    cs_[static_cast<unsigned>(cs)] = asserted;
    return 0;
}

void Sim::adc_daisy(bool on) {
    Lock lk(m_);
    daisy_ = on;
}

int Sim::adc_clock(int hz) {
    if (hz <= 0) {
        return -1;
    }
    Lock lk(m_);
    clock_hz_ = hz;
    return 0;
}

AdcState Sim::adc_state(unsigned adc) {
    Lock lk(m_);
    AdcState s;
    if (adc < 1 || adc > config_.num_adcs) {
        return s;
    }
    const Adc &a = adcs_[adc - 1];
    s.reg = a.reg;
    s.converting = a.converting;
    s.continuous_read = a.continuous_read;
    s.selected = adc >= 2 && cs_[adc];
    return s;
}

bool Sim::adc_daisy_on() {
    Lock lk(m_);
    return daisy_;
}

int Sim::adc_clock_hz() {
    Lock lk(m_);
    return clock_hz_;
}

std::vector<SpiTransaction> Sim::spi_log() {
    Lock lk(m_);
    return spi_log_;
}

void Sim::clear_spi_log() {
    Lock lk(m_);
    spi_log_.clear();
}

std::uint32_t Sim::pulse_count(unsigned input) {
    Lock lk(m_);
    return input < kPulseInputs ? load_pulse(input) : 0;
}

void Sim::add_pulses(unsigned input, std::uint32_t n) {
    Lock lk(m_);
    if (input < kPulseInputs) {
        store_pulse(input, load_pulse(input) + n);
    }
}

void Sim::inject(Fault fault, std::uint64_t n) {
    Lock lk(m_);
    if (fault == Fault::spi_hang) {
        spi_hang_armed_ = true;
        return;
    }
    armed_.push_back({fault, slot_ + n});
}

void Sim::resume() {
    Lock lk(m_);
    if (!run_.stalled || run_.divider == 0) {
        return;
    }
    run_.stalled = false;
    run_.hung = false;
    if (run_.pace == Pace::timed) {
        reanchor(run_, std::max(run_time(run_, next_sample_), session_now_s()));
    }
    pru_cv_.notify_all();
}

void Sim::hold_consumer(std::uint64_t n, unsigned late, bool both) {
    Lock lk(m_);
    holds_.push_back({slot_ + n, late, both});
}

void Sim::clear_faults() {
    Lock lk(m_);
    holds_.clear();
    for (Output &o : out_) {
        o.hold_until = 0;
        o.wait_other = false;
    }
    armed_.clear();
    spi_hang_armed_ = false;
}

void Sim::set_drdy_hook(std::function<void(bool)> hook) {
    Lock lk(m_);
    drdy_hook_ = std::move(hook);
}

Stats Sim::stats() {
    Lock lk(m_);
    Stats s = stats_;
    s.half_events_pending = (pending_[kEventPingFull] ? 1u : 0u) + (pending_[kEventPongFull] ? 1u : 0u);
    return s;
}

}  // namespace prusim::detail
