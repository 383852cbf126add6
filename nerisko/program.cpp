#include "nerisko/program.h"

#include "arvent.h"
#include "nerisko/acquisition.h"
#include "nerisko/adc.h"
#include "nerisko/agg.h"
#include "nerisko/dev.h"
#include "nerisko/live_data.h"
#include "nerisko/pulse.h"
#include "nerisko/cal.h"
#include "nerisko/csv.h"
#include "nerisko/event.h"
#include "nerisko/ex.h"
#include "nerisko/frontend.h"
#include "nerisko/processing.h"
#include "nerisko/pru.h"
#include "nerisko/stats.h"
#include "nerisko/storage.h"
#include "meter/sysio.h"
#include "nerisko/temp.h"
#include "nerisko/watchdog.h"
#include "nerisko/writer.h"

#include <argp.h>
#include <fcntl.h>
#include <syslog.h>

#include <atomic>
#include <cstdarg>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

volatile std::sig_atomic_t running = 1;
int drdy_fd = -1;

namespace {

// Every start and stop of the measurement chain.
std::mutex chain_mutex;
bool chain_closed = false;  // shutdown has stopped the chain: no restart any more
// Start-up has not started the chain yet: a new mapping that comes meanwhile
// is only noted, and start-up fetches it before it starts the chain.
bool chain_started = false;
bool mapping_pending = false;
// Print mode: the PRU feeds the capture; no chain is ever restarted.
bool capture_mode = false;
std::atomic<uint32_t> restarts{0};
volatile std::sig_atomic_t pending_signal = 0;
volatile std::sig_atomic_t pending_hup = 0;

const char *kDoc =
    "User space driver for controlling the PRU on the powermeter platform.Currently supports:  Data acquisition "
    "to memory  Raw data output to csv";

const argp_option kOptions[] = {
    {"debug", 'd', nullptr, 0, "Run in debug mode", 0},
    {"print", 'p', "COUNT", OPTION_ARG_OPTIONAL, "Collect COUNT samples and print data as CSV", 0},
    {"output", 'o', "FILE", 0, "Filename to use (data.csv)", 0},
    {"verbose", 'v', nullptr, 0, "Produce verbose output", 0},
    {"test", 't', nullptr, 0, "Start in test mode", 0},
    {"frequency", 'f', "FREQ", OPTION_ARG_OPTIONAL, "Set adc clock frequency to FREQ", 0},
    {"chan", 'c', "CHANNEL", OPTION_ARG_OPTIONAL, "Print calculation data for CHANNEL", 0},
    {"five_cycle", 'q', nullptr, 0, "Print debug every five cycles", 0},
    {},
};

uint32_t number(const char *text) { return static_cast<uint32_t>(std::strtoul(text, nullptr, 10)); }

error_t parse_opt(int key, char *arg, argp_state *state) {
    auto *a = static_cast<arguments *>(state->input);
    switch (key) {
    case 'd': a->debug = true; break;
    case 'p':
        a->print = true;
        a->count = arg != nullptr ? number(arg) : 16384;
        break;
    case 'o': a->output = arg; break;
    case 'v': slog_level(LOG_DEBUG); break;
    case 't': a->test = true; break;
    case 'f': a->frequency = arg != nullptr ? number(arg) : 1538500; break;
    case 'c':
        a->chan_given = true;
        a->channel = arg != nullptr ? number(arg) : 0;
        break;
    case 'q': a->five_cycle = true; break;
    case ARGP_KEY_ARG: break;  // positional arguments are accepted and ignored
    default: return ARGP_ERR_UNKNOWN;
    }
    return 0;
}

// Start-up failure after which the clean-up runs.
__attribute__((format(printf, 1, 2))) int fatal(const char *format, ...) {
    va_list args;
    va_start(args, format);
    sys_vlog(LOG_ERR, format, args);
    va_end(args);
    main_cleanup();
    return 1;
}

// Start-up failure that leaves everything as it is.
int fatal_without_cleanup() {
    slog_close();
    return 1;
}

}  // namespace

int parse_arguments(int argc, char **argv, arguments *args) {
    static const argp parser = {kOptions, parse_opt, "", kDoc, nullptr, nullptr, nullptr};
    return argp_parse(&parser, argc, argv, 0, nullptr, args);
}

void reset_drdy(int fd) {
    static const char kReset[4] = {'r', 's', 't', '\0'};
    if (sys_write(fd, kReset, sizeof kReset) != static_cast<ssize_t>(sizeof kReset)) {
        sys_log(LOG_ERR, "Failed to reset drdy_out_of_sync");
    }
}

int main_init(bool print, uint32_t count, uint32_t frequency, uint32_t channel, bool five_cycle, bool chan_given) {
    running = 1;
    {
        std::lock_guard lock(chain_mutex);
        chain_closed = false;
        chain_started = false;
        mapping_pending = false;
        capture_mode = print;
    }
    restarts = 0;
    float temperature = 0.0f;
    if (temp_get_temperature(&temperature)) {
        sys_log(LOG_INFO, "Temperature: %f", static_cast<double>(temperature));
    } else {
        sys_log(LOG_ERR, "failed to get temperature");
    }
    // The IPC library narrows the log mask; the program's own level (verbose) stays.
    const int mask = setlogmask(0);
    const int ipc = arvent_init(handle_config_change, nullptr);
    setlogmask(mask);
    if (ipc == 0) {
        return fatal("Failed to initialize IPC");
    }
    num_chan = 0;
    num_adcs = 0;
    uint32_t channels = 0;
    if (ipc_num_channels_get(&channels) == 0) {
        sys_log(LOG_ERR, "failed to get number of channels from IPC");
        return fatal("Failed to detect frontend");
    }
    sys_log(LOG_INFO, "num channels received: %u", channels);
    if (!frontend_set(channels)) {
        return fatal("Failed to detect frontend");
    }
    sys_log(LOG_DEBUG, "Detected frontend: %u channel", num_chan);

    static mapping map;
    std::memset(&map, 0, sizeof map);
    if (!print && arvent_get(&map) == 0) {
        return fatal("Error getting mapping");
    }
    event_register(agg_collect_one_second, EVENT_FIVE_CYCLE);
    event_register(dev_update, EVENT_ONE_SECOND);
    event_register(agg_collect_one_minute, EVENT_ONE_SECOND);
    event_register(agg_collect_five_minutes, EVENT_MINUTE);
    event_register(stats_collect_demand, EVENT_MINUTE);
    if (agg_set_pf_sign() == 0) {
        return fatal("Error setting power factor sign");
    }
    if (agg_set_pulse_out() == 0) {
        // A pulse output that cannot run is no reason to stop metering.
        sys_log(LOG_ERR, "Error settings pulse out config");
        sys_log(LOG_ERR, "Pulse output switched off");
        agg_pulse_out_off();
    }
    if (stats_update_config() == 0) {
        return fatal("Error setting stats config from device config");
    }
    watchdog_init();
    if (watchdog_get_enabled()) {
        event_register(kick_watchdog, EVENT_ONE_SECOND);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (chan_given) {
        if (channel < 6) {
            return fatal("Requested channel %d is a voltage channel. Please select a current channel (6 or higer)",
                         static_cast<int>(channel));
        }
        if (channel >= num_buf) {
            return fatal("Requested channel %d is out of range", static_cast<int>(channel));
        }
        sys_log(LOG_INFO, "Requested print for channel %d", static_cast<int>(channel));
        event_set_print_ch(channel);
        event_register(event_print_data, five_cycle ? EVENT_FIVE_CYCLE : EVENT_ONE_SECOND);
    }
    if (dev_init() == 0) {
        sys_log(LOG_ERR, "Failed to initialize dev node");
        return fatal_without_cleanup();
    }
    if (!adc_open(static_cast<int>(frequency))) {
        return fatal_without_cleanup();
    }
    pru_mem_init();
    if (init_pru(print ? csv_copy_data : acquisition_new_data) != 0) {
        return fatal("PRU initialization failed");
    }
    if (!adc_start()) {
        return fatal("Failed to initialize ADCs");
    }
    if (print && !csv_init(count)) {
        return fatal("Failed to initialize CSV printing");
    }
    if (ex_init() == 0 || !ex_start()) {
        return fatal("EX initialization failed");
    }
    event_register(ex_5c_event, EVENT_FIVE_CYCLE);
    event_register(ex_1s_event, EVENT_ONE_SECOND);
    if (live_data_init() == 0) {
        return fatal("Live data initialization failed");
    }
    event_register(live_data_update, EVENT_ONE_SECOND);
    cal_init();
    if (!acquisition_init()) {
        return fatal("Acquisition initialization failed");
    }
    // Energy, demand and trend files are written by their own thread.
    writer_start();
    agg_init();
    if (!processing_init()) {
        return fatal("Processing initialization failed");
    }
    stats_init();
    drdy_fd = sys_open(DRDY_PATH, O_RDWR);
    if (drdy_fd < 0) {
        sys_log(LOG_ERR, "Failed to open %s", DRDY_PATH);
        return fatal_without_cleanup();
    }
    reset_drdy(drdy_fd);
    if (print) {
        sys_log(LOG_DEBUG, "Starting acquisition");
        pru_start_acq();
    } else {
        bool stored = false;
        bool started = false;
        {
            std::lock_guard lock(chain_mutex);
            if (mapping_pending) {
                mapping fresh{};
                if (arvent_get(&fresh) != 0) {
                    map = fresh;
                }
                mapping_pending = false;
            }
            // Storage is ready before the first five-minute result can come,
            // and its callback is in the list before the thread reads it;
            // its folders and checks go before the acquisition starts, so
            // that a slow flash cannot fill the rings before processing runs.
            stored = storage_init(&map);
            sys_log(LOG_DEBUG, "Starting acquisition");
            pru_start_acq();
            ex_set_mapping(&map);
            dev_update_mapping(&map);
            if (stored) {
                event_register(storage_store_five_minutes, EVENT_FIVE_MINUTE);
                sys_log(LOG_DEBUG, "Starting processing");
                started = processing_start(&map);
            }
            chain_started = true;
        }
        if (!stored) {
            return fatal("Error starting storage");
        }
        if (!started) {
            return fatal("Error starting processing thread");
        }
    }
    if (pulse_init() == 0) {
        return fatal("Error starting pulse thread");
    }
    sys_log(LOG_INFO, "Initialization completed");
    return 0;
}

namespace {

// Under chain_mutex.
bool chain_usable() { return !chain_closed && !capture_mode && chain_started; }

bool restart_locked(const mapping *m) {
    pru_stop_acq();
    processing_stop();
    acquisition_flush();
    agg_set_pulse_out();
    agg_init();
    // New trend files with the new mapping, before any result of it exists
    // and before the acquisition runs again (the records of the run before
    // are written first).
    const bool stored = storage_init(m);
    reset_drdy(drdy_fd);
    adc_start();
    pru_start_acq();
    ex_set_mapping(m);
    ex_chain_restarted();
    dev_update_mapping(m);
    processing_start(m);
    ++restarts;
    return stored;
}

}  // namespace

bool restart_measurement() {
    std::lock_guard lock(chain_mutex);
    if (chain_closed || capture_mode) {
        return false;
    }
    if (!chain_started) {
        mapping_pending = true;
        return false;
    }
    static mapping map;
    std::memset(&map, 0, sizeof map);
    arvent_get(&map);  // on failure the empty mapping: nothing is measured
    return restart_locked(&map);
}

bool restart_measurement_with(const mapping *m) {
    std::lock_guard lock(chain_mutex);
    if (!chain_usable()) {
        return false;
    }
    static mapping map;
    std::memcpy(&map, m, sizeof map);
    return restart_locked(&map);
}

bool main_chain_locked(bool (*fn)(void *), void *arg) {
    std::lock_guard lock(chain_mutex);
    if (!chain_usable()) {
        return false;
    }
    return fn(arg);
}

uint32_t main_restart_count() { return restarts.load(); }

void main_watch_drdy() {
    // Cleared before every read: a read that gives no byte must not repeat
    // the last fault.
    uint8_t byte = 0;
    if (sys_read(drdy_fd, &byte, 1) < 0) {
        sys_log(LOG_ERR, "Failed to read from %s", DRDY_PATH);
        return;
    }
    if (byte != 0) {
        sys_log(LOG_INFO, "Resetting daisychain");
        ipc_create_error(0, "Resetting daisy chain");
        restart_measurement();
    }
}

void handle_config_change(int kind) {
    switch (kind) {
    case IPC_NEW_MAPPING: restart_measurement(); break;
    case IPC_NEW_DEVICE_CONFIG:
        agg_set_pf_sign();
        if (stats_update_config() == 0) {
            sys_log(LOG_ERR, "Error setting stats config from device config");
        }
        break;
    case IPC_NEW_PULSE_CONFIG: agg_set_pulse_out(); break;
    case IPC_REQUEST_PEAK_DEMAND_RESET: stats_reset_peak_demand(); break;
    default: break;
    }
}

void handle_signal(int sig) {
    // Only what is safe in a signal handler; the main thread does the rest.
    pending_signal = sig;
    if (sig == SIGINT) {
        running = 0;
    } else if (sig == SIGHUP) {
        pending_hup = 1;
    }
}

void main_handle_signals() {
    const int sig = pending_signal;
    if (sig == 0) {
        return;
    }
    pending_signal = 0;
    sys_log(LOG_INFO, "Signal received: %d.", sig);
    if (sig == SIGHUP) {
        pending_hup = 0;
        sys_log(LOG_INFO, "Received SIGHUP. restarting serial connection");
        // The receive thread reopens the port between two reads; closing it
        // under the thread would pull the descriptor from its wait.
        ex_request_reopen();
    } else if (sig == SIGINT) {
        sys_log(LOG_INFO, "Received SIGINT. stopping now");
        running = 0;
    } else {
        sys_log(LOG_ERR, "Unknown signal");
    }
}

int main_cleanup() {
    // First: a command under way may be waiting for the chain lock below.
    ex_stop();
    {
        // Every thread ends before anything it uses is released.
        std::lock_guard lock(chain_mutex);
        chain_closed = true;
        pru_stop_acq();
        processing_stop();
        // What the processing thread handed over, then the registers as
        // they are now: a clean stop loses no energy.
        agg_energy_stop();
        writer_stop();
    }
    pulse_cleanup();
    pru_mem_free();
    arvent_cleanup();
    dev_cleanup();
    live_data_cleanup();
    if (drdy_fd >= 0) {
        sys_close(drdy_fd);
        drdy_fd = -1;
    }
    adc_close();
    processing_cleanup();
    event_cleanup();
    slog_close();
    return 0;
}

int nerisko_main(int argc, char **argv) {
    // A billing time in a zone given as a POSIX rule is converted with TZ set
    // to it for a moment (under a lock, then put back). With TZ present from the start,
    // before any other thread runs, those changes only swap its value: the
    // environment's table is never grown or shrunk under a thread that reads
    // it. ":/etc/localtime" is what an absent TZ means.
    if (std::getenv("TZ") == nullptr) {
        setenv("TZ", ":/etc/localtime", 1);
    }
    arguments args;
    slog_level(LOG_WARNING);
    parse_arguments(argc, argv, &args);
    slog_open("nerisko", args.debug ? 1 : 0);
    sys_log(LOG_INFO, "Starting nerisko");
    sys_log(LOG_DEBUG, "Started in verbose mode");
    struct sigaction sa {};
    sa.sa_handler = handle_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    const int status =
        main_init(args.print, args.count, args.frequency, args.channel, args.five_cycle, args.chan_given);
    if (status != 0) {
        return status;
    }
    if (args.print) {
        const int result = main_capture(args.count, args.output, args.debug);
        main_handle_signals();
        main_cleanup();
        return result;
    }
    sys_log(LOG_DEBUG, "Starting measurement");
    while (running) {
        main_handle_signals();
        if (!running) {
            break;
        }
        main_watch_drdy();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    main_handle_signals();
    main_cleanup();
    return 0;
}

int main_capture(uint32_t count, const char *output, bool progress) {
    sys_log(LOG_INFO, "Starting in CSV print mode");
    while (csv_get_sample_cnt() != 0 && running) {
        main_handle_signals();
        if (!running) {
            break;
        }
        if (progress && count != 0) {
            std::printf("%d%% \r", static_cast<int>(static_cast<uint64_t>(csv_get_sample_cnt()) * 100 / count));
            std::fflush(stdout);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!running) {
        return 0;
    }
    sys_log(LOG_INFO, "Obtained all samples, writing to disk");
    return csv_print(output) ? 0 : 1;
}
