#pragma once
// The process-wide simulated PRU subsystem behind <prussdrv.h> and
// <prusim/prusim.h>: interrupt controller, PRU 0 programs, DDR mapping, data
// RAM and the ADC daisy chain.

#include "scenario.h"

#include <prusim/prusim.h>
#include <prussdrv.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace prusim::detail {

class Sim {
public:
    static Sim &get();

    // ---- driver calls (prussdrv_*) ----
    int init();
    int open(unsigned output);
    int intc_init(const prussdrv_intc_setup &setup);
    int map_prumem(unsigned id, void **address);
    int exec_program(int pru, const char *path);
    int wait_event(unsigned output, int timeout_ms);  // count, 0 timeout, -1 error
    int clear_event(unsigned output, unsigned sysevent);
    int send_event(unsigned sysevent);
    int disable(unsigned pru);
    int exit_session();

    // ---- controls (prusim::) ----
    int configure(const Config &config);
    Config configuration();
    void reset();
    int step(HalfInfo *info);
    double sample_rate();
    double configured_sample_rate();
    double sample_time(std::uint64_t n);
    std::uint32_t sample_ticks(std::uint64_t n);
    double scenario_value(unsigned channel, std::uint64_t n);
    std::int32_t raw_value(unsigned channel, std::uint64_t n);
    void adc_reset();
    int adc_chip_select(int cs, bool asserted);
    void adc_daisy(bool on);
    int adc_clock(int hz);
    AdcState adc_state(unsigned adc);
    bool adc_daisy_on();
    int adc_clock_hz();
    std::vector<SpiTransaction> spi_log();
    void clear_spi_log();
    std::uint32_t pulse_count(unsigned input);
    void add_pulses(unsigned input, std::uint32_t n);
    void inject(Fault fault, std::uint64_t n);
    void resume();
    void clear_faults();
    void hold_consumer(std::uint64_t n, unsigned late, bool both);
    void set_drdy_hook(std::function<void(bool)> hook);
    Stats stats();

private:
    Sim();

    using Lock = std::unique_lock<std::mutex>;
    using Clock = std::chrono::steady_clock;

    struct Output {
        bool open = false;
        bool armed = true;        // fires on the next routed event
        std::uint32_t fired = 0;  // firings so far
        std::uint32_t seen = 0;   // count the last waiter returned
        // A held consumer: no wait returns before halves_written reaches
        // hold_until, nor while the half event other_event is still pending
        // (when wait_other is set).
        std::uint64_t hold_until = 0;
        bool wait_other = false;
        unsigned other_event = 0;
    };

    struct Hold {
        std::uint64_t slot;
        unsigned late;
        bool both;
    };

    struct Adc {
        std::array<std::uint8_t, 32> reg{};
        bool converting = false;
        bool continuous_read = true;
    };

    // One run of the acquisition program.
    struct Run {
        std::shared_ptr<const Plan> plan;
        unsigned num_adcs = 9;
        Pace pace = Pace::lockstep;
        double time_scale = 1.0;
        bool backpressure = false;
        std::uint32_t tick_start = 0;
        std::uint32_t clock_hz = 0;  // sample rate = clock_hz / divider
        std::uint32_t divider = 0;   // 0: the chain never signals data
        std::uint64_t anchor_n = 0;  // session sample at anchor_t
        double anchor_t = 0.0;
        std::uint64_t anchor_ticks = 0;  // floor(anchor_t * 200 MHz)
        std::uint64_t half = 0;      // halves written in this run
        int next_buffer = 0;
        bool stalled = false;
        bool hung = false;           // stalled and deaf to the stop request
        std::array<double, kPulseInputs> pulse_rate{};
    };

    struct Armed {
        Fault fault;
        std::uint64_t slot;
    };

    // All with the lock held.
    void raise(unsigned sysevent);
    void fire_if_pending(unsigned output);
    bool released(const Output &o) const;
    int output_of(unsigned sysevent) const;  // -1: not routed to an event output
    void start_holds(std::uint64_t slot, int buffer);
    bool host0_pending() const;
    bool stop_requested() const { return host0_pending(); }
    void finish_acquisition();       // stop answered: event 23, program ends
    void halt_pru0(Lock &lk);        // the PRU stops dead, no event
    int map_ddr();
    void unmap_ddr(Lock &lk);
    double run_time(const Run &run, std::uint64_t n) const;
    std::uint64_t run_ticks(const Run &run, std::uint64_t n) const;
    double session_now_s() const;
    void reanchor(Run &run, double t);
    // Writes the next half; unlocks while generating. False when the program
    // is stalled (or stalls on this half).
    bool produce_half(Lock &lk, HalfInfo *info);
    // Writes one half; returns the number of clipped samples.
    std::uint64_t generate(const Run &run, int buffer, std::uint64_t n0);
    Run make_run(double anchor_t) const;
    void timed_loop(std::uint64_t run_id);
    void run_one_shot(const std::string &program);
    void spi_transaction(SpiTransaction::Kind kind);
    void power_on_adcs();
    void store_pulse(unsigned input, std::uint32_t value);
    std::uint32_t load_pulse(unsigned input) const;
    void call_drdy_hook(Lock &lk);

    mutable std::mutex m_;
    std::condition_variable events_cv_;  // outputs fired, session ended
    std::condition_variable pru_cv_;     // stop request, halt, resume, events cleared, generation done

    bool session_ = false;
    std::uint64_t session_gen_ = 0;      // bumped by exit: waiters of an ended session return
    std::array<Output, PRUSSDRV_NUM_EVENT_OUTPUTS> out_{};
    std::array<bool, PRUSSDRV_NUM_SYSEVENTS> enabled_{};
    std::array<int, PRUSSDRV_NUM_SYSEVENTS> ev_channel_{};
    std::array<int, PRUSSDRV_NUM_CHANNELS> ch_host_{};
    unsigned host_mask_ = 0;
    std::array<bool, PRUSSDRV_NUM_SYSEVENTS> pending_{};

    alignas(64) std::uint8_t dataram_[2][kDataRamSize]{};
    std::uint8_t *ddr_ = nullptr;
    int ddr_users_ = 0;                  // generations in progress

    Config config_;
    std::shared_ptr<const Plan> plan_;

    bool acq_running_ = false;
    std::uint64_t run_id_ = 0;
    Run run_;
    std::thread pru_thread_;
    bool last_run_valid_ = false;
    std::uint64_t next_sample_ = 0;      // session sample number of the next sample
    double next_time_ = 0.0;             // its time, for a lock-step run that follows
    Clock::time_point origin_;
    std::uint64_t slot_ = 0;             // half slots reached by acquisition runs
    std::vector<Armed> armed_;
    std::vector<Hold> holds_;
    bool spi_hang_armed_ = false;
    std::array<double, kPulseInputs> pulse_frac_{};
    std::function<void(bool)> drdy_hook_;

    std::array<Adc, kAdcSlots> adcs_{};
    std::array<bool, 10> cs_{};          // chip selects 2..9 asserted
    bool daisy_ = false;
    int clock_hz_ = 0;
    std::vector<SpiTransaction> spi_log_;

    Stats stats_;
};

}  // namespace prusim::detail
