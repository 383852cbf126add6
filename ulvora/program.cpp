#include "ulvora/program.h"

#include "ulvora/log.h"
#include "ulvora/poll.h"
#include "ulvora/server.h"
#include "ulvora/state.h"

#include <argp.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

const char *argp_program_version = "01.00";
const char *argp_program_bug_address = "<support@zor-meters.example>";

namespace {

struct ulvora_args {
    bool debug = false;
    bool verbose = false;
};

const char kDoc[] = "Create a modbus register stack for the ZOR.";
const argp_option kOptions[] = {
    {"debug", 'd', nullptr, 0, "Run in debug mode", 0},
    {"verbose", 'v', nullptr, 0, "Produce verbose output", 0},
    {},
};

error_t parse_option(int key, char *, argp_state *state) {
    auto *args = static_cast<ulvora_args *>(state->input);
    switch (key) {
    case 'd': args->debug = true; return 0;
    case 'v':
        args->verbose = true;
        slog_level(LOG_DEBUG);
        return 0;
    case ARGP_KEY_ARG: return 0;
    default: return ARGP_ERR_UNKNOWN;
    }
}

// SIGINT is blocked in every thread and taken here, on an ordinary thread,
// where logging and stopping the server are safe.
class SignalThread {
  public:
    bool start() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        signal_fd_ = signalfd(-1, &set, SFD_CLOEXEC);
        end_fd_ = eventfd(0, EFD_CLOEXEC);
        if (signal_fd_ < 0 || end_fd_ < 0) {
            return false;
        }
        thread_ = std::thread([this] { run(); });
        return true;
    }
    void end() {
        if (thread_.joinable()) {
            const uint64_t one = 1;
            if (write(end_fd_, &one, sizeof one) == sizeof one) {
                thread_.join();
            } else {
                thread_.detach();
            }
        }
    }

  private:
    void run() {
        for (;;) {
            pollfd fds[2] = {{signal_fd_, POLLIN, 0}, {end_fd_, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                continue;
            }
            if (fds[1].revents != 0) {
                return;
            }
            signalfd_siginfo info;
            if (read(signal_fd_, &info, sizeof info) != sizeof info) {
                continue;
            }
            slog_string(LOG_INFO, std::string("received signal: ") + strsignal(static_cast<int>(info.ssi_signo)));
            ulvora_request_quit();
            ulvora_stop();
        }
    }
    int signal_fd_ = -1;
    int end_fd_ = -1;
    std::thread thread_;
};

// How long the start-up waits for its first poll of TQR.
constexpr auto kStartupPollWait = std::chrono::seconds(5);
// How long the exit waits for a TQR request still under way.
constexpr auto kPollExitWait = std::chrono::seconds(4);

} // namespace

int fetch_modbus_config(modbus_config *record) {
    reinterpret_cast<uint8_t *>(record)[0] = sizeof(modbus_config);
    if (!ipc_modbus_config_get(record)) {
        slog_string(LOG_ERR, "failed to get modbus config");
        return 0;
    }
    char text[512];
    std::snprintf(text, sizeof text,
                  "config: \nactive: %s\nbackend: %d\ndevice: %.50s\nbaud: %u\naddress: %d\nport: %u\nparity: "
                  "%c\ndatabits: %d\nstopbits: %d\n",
                  record->active ? "true" : "false", static_cast<int>(record->backend), record->device,
                  record->baud, record->address, record->port, record->parity, record->databits,
                  record->stopbits);
    slog_string(LOG_DEBUG, text);
    if (record->backend > 2) {
        slog_string(LOG_ERR, "Modbus backend does not exist");
        return 0;
    }
    if (record->backend == 2) {
        if (record->address < 1 || record->address > 247) {
            slog_string(LOG_ERR, "Modbus address out of range");
            return 0;
        }
        if (record->baud < 9600 || record->baud > 115200) {
            slog_string(LOG_ERR, "Modbus baudrate out of range");
            return 0;
        }
    }
    return 1;
}

void ipc_event_handler(int kind) {
    if (kind != IPC_NEW_MODBUS_CONFIG) {
        return;
    }
    slog_string(LOG_INFO, "new modbus config");
    modbus_config fresh{};
    if (!fetch_modbus_config(&fresh)) {
        return;
    }
    if (ulvora_replace_config(fresh)) {
        ulvora_stop();
    }
}

int ulvora_main(int argc, char **argv) {
    ulvora_args args;
    slog_level(LOG_INFO);
    static const argp parser = {kOptions, parse_option, "", kDoc, nullptr, nullptr, nullptr};
    argp_parse(&parser, argc, argv, 0, nullptr, &args);
    slog_open("Ulvora", args.debug ? 1 : 0);
    slog_string(LOG_INFO, std::string("started version: ") + argp_program_version);
    slog_string(LOG_DEBUG, "started in verbose mode");
    slog_string(LOG_INFO, "initialize ipc");

    // Blocked before any thread exists, so that every thread inherits it
    // and only the signal thread takes SIGINT.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    if (!arvent_init(ipc_event_handler, nullptr)) {
        slog_string(LOG_ERR, "failed to initialize ipc");
        return 1;
    }
    // arvent_init narrows the log mask; --verbose asked for every line.
    if (args.verbose) {
        slog_level(LOG_DEBUG);
    }
    SignalThread signals;
    if (!signals.start()) {
        slog_string(LOG_ERR, "failed to take SIGINT");
        arvent_cleanup();
        return 1;
    }
    modbus_config first{};
    if (!fetch_modbus_config(&first)) {
        signals.end();
        arvent_cleanup();
        return 1;
    }
    ulvora_replace_config(first);

    // The start-up poll runs on the poll thread, so that SIGINT ends the
    // start-up even while a TQR request hangs; the server is built after it.
    std::thread poll_thread;
    try {
        poll_thread = std::thread([] {
            tqr_thread();
            ulvora_poll_thread_done();
        });
    } catch (const std::system_error &) {
        slog_string(LOG_DEBUG, "Failed to create TQR Thread");
        tqr_poll_config();
        ulvora_startup_poll_done();
        ulvora_poll_thread_done();
    }
    // A TQR that does not answer must not keep the server down: after a
    // while it serves what the records hold, and the poll fills them later.
    if (!ulvora_wait_startup_poll(kStartupPollWait)) {
        slog_string(LOG_WARNING, "No complete answer from TQR yet; serving without it");
    }

    bool run_failing = false;
    while (!ulvora_quit_requested()) {
        // Stop requests so far were for the server before; one that comes
        // from here on, even during the set-up, ends the next run.
        ulvora_stop_reset();
        uint64_t generation;
        const modbus_config c = ulvora_config(&generation);
        if (!c.active) {
            ulvora_wait_change(generation, std::chrono::seconds(1));
            continue;
        }
        const auto start = std::chrono::steady_clock::now();
        if (!ulvora_setup(c)) {
            ulvora_wait_change(generation, std::chrono::seconds(1));
            continue;
        }
        slog_string(LOG_DEBUG, "run modbus from main");
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        char text[64];
        std::snprintf(text, sizeof text, "Time measured in main(): %.3f s. \n", static_cast<double>(ms.count()) * 0.001);
        slog_string(LOG_INFO, text);
        const int served = ulvora_run();
        if (served == 0 && !run_failing) {
            slog_string(LOG_ERR, "Problem in ulvora_run()");
        }
        run_failing = served == 0;
        const bool stopped = ulvora_stop_requested();
        slog_string(LOG_DEBUG, "cleanup modbus from main");
        ulvora_cleanup();
        if (!stopped) {
            // A server that could not serve or broke down is built again a
            // second later, not in a tight loop.
            ulvora_wait_change(generation, std::chrono::seconds(1));
        }
    }

    const bool poll_over = ulvora_wait_poll_thread(kPollExitWait);
    if (poll_thread.joinable()) {
        if (poll_over) {
            poll_thread.join();
        } else {
            slog_string(LOG_WARNING, "TQR request still under way at exit");
            poll_thread.detach();
        }
    }
    slog_string(LOG_INFO, "exiting");
    signals.end();
    arvent_cleanup();
    if (!poll_over) {
        // The poll thread may still be inside a request; the process ends
        // around it rather than tearing down what it uses.
        std::_Exit(0);
    }
    return 0;
}
