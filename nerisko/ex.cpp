// EX transport: the port, the receive thread, framing, tokens, dispatch and
// the command table.

#include "nerisko/ex.h"

#include "meter/sysio.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <syslog.h>
#include <termios.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <thread>

const char *const err_code_names[5] = {"PASS", "SYNTAX_ERROR", "NOT_IMPLEMENTED", "FAIL", "DEPRECATED"};

const ex_command_t ex_commands[] = {
    {"EX 1000", ex_com_5c_freq, 1},
    {"EX 1001", ex_com_5c_rms, 1},
    {"EX 1002", ex_com_5c_phase, 1},
    {"EX 1010", ex_com_1s_freq, 2},
    {"EX 1011", ex_com_1s_rms, 2},
    {"EX 1012", ex_com_1s_phase, 2},
    {"EX 1013", ex_com_1s_pw, 2},
    {"EX 1014", ex_com_1s_pva, 2},
    {"EX 1015", ex_com_1s_pvar, 2},
    {"EX 1100", ex_com_1s_emc, 1},
    {"EX 1101", ex_com_deprecated, 0},
    {"EX 1102", ex_com_1s_rms_set, 1},
    {"EX 1103", ex_com_1s_rms_set_all, 1},
    {"EX 1104", ex_com_1s_phase_set_all, 1},
    {"EX 1105", ex_com_1s_wh, 1},
    {"EX 2000", ex_com_get_mac, 0},
    {"EX 2001", ex_com_set_serial, 1},
    {"EX 2002", ex_com_get_serial, 0},
    {"EX 2003", ex_com_pulse_out, 1},
    {"EX 2004", ex_com_pulse_in, 1},
    {"EX 2005", ex_com_get_num_chan, 0},
    {"EX 2006", ex_com_set_alarm, 1},
    {"EX 2007", ex_com_get_key_press, 1},
    {"EX 2008", ex_com_set_lcd_back, 1},
    {"EX 2009", ex_com_set_lcd_led, 1},
    {"EX 2010", ex_com_set_rs485_string, 1},
    {"EX 2011", ex_com_get_rs485_string, 0},
    {"EX 2012", ex_com_set_date_time, 1},
    {"EX 2013", ex_com_get_date_time, 0},
    {"EX 2014", ex_com_reset_pulse_in, 1},
    {"EX 3000", ex_com_cal_volt_noise_floor, 1},
    {"EX 3001", ex_com_cal_volt_gain, 2},
    {"EX 3002", ex_com_cal_cur_noise_floor, 1},
    {"EX 3003", ex_com_cal_cur_gain, 2},
    {"EX 3004", ex_com_cal_print_array, 0},
    {"EX 3005", ex_com_cal_rm_line, 1},
    {"EX 3006", ex_com_cal_store, 0},
    {"EX 9000", ex_com_testmode, 0},
    {"EX 9001", ex_com_reboot, 0},
    {"EX 9010", ex_com_restart_proc, 0},
    {"EX 9011", ex_com_stop_proc, 0},
    {nullptr, nullptr, 0},
};

char *res = nullptr;

namespace {

// "EX ", a four-digit code and the terminator, with room to spare; a longer
// code is in no row of the table and is refused before it is copied.
constexpr size_t kCommandTextSize = 10;

std::atomic<bool> active{false};
std::atomic<bool> reopen_requested{false};
pthread_t receive_thread;
bool thread_started = false;

// The port: opened and closed by start-up, the receive thread and the stop
// only, never by two of them at once (start-up before the thread, the stop
// after it).
int port_fd = -1;
termios saved_settings{};
bool settings_saved = false;

char reply_buffer[EX_REPLY_SIZE];
// One byte more than a line, so that a full line can be terminated.
char line[EX_LINE_SIZE + 1];
size_t line_len = 0;

ex_output_t output = nullptr;

void log_serial_failure(const char *what) {
    sys_log(LOG_WARNING, "EX: %s of the low-latency flag failed on %s (%s), going on", what, EX_PORT,
            std::strerror(errno));
}

// Writes all n bytes to the port: a non-blocking port takes them in parts,
// and a full output queue is waited out (bounded, so that a station that
// never reads cannot hold the thread).
void port_write_all(const char *data, size_t n) {
    while (n > 0) {
        const int fd = port_fd;
        if (fd < 0) {
            sys_log(LOG_ERR, "EX: port closed, answer lost");
            return;
        }
        const ssize_t w = sys_write(fd, data, n);
        if (w > 0) {
            data += w;
            n -= static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (sys_wait_writable(fd, 2000) > 0) {
                continue;
            }
        }
        sys_log(LOG_ERR, "EX: failed to write the answer (%s)", w < 0 ? std::strerror(errno) : "nothing taken");
        return;
    }
}

void write_out(const char *data, size_t n) {
    if (output != nullptr) {
        output(data, n);
    } else {
        port_write_all(data, n);
    }
}

void write_pass_with(const char *text) {
    // One write: the values and the status line arrive together.
    static char answer[EX_REPLY_SIZE + 8];
    const int len = std::snprintf(answer, sizeof answer, "%s%s\r\n", text, err_code_names[EX_PASS]);
    write_out(answer, static_cast<size_t>(std::min<int>(len, static_cast<int>(sizeof answer) - 1)));
}

void answer_id() {
    sys_log(LOG_INFO, "EX: ID command");
    char version[IPC_VERSION_LEN] = {};
    if (ipc_version_get(version) == 0) {
        sys_log(LOG_ERR, "failed to get version number");
        ex_write_error(EX_FAIL);
        return;
    }
    version[sizeof version - 1] = '\0';
    char text[IPC_VERSION_LEN + 2];
    std::snprintf(text, sizeof text, "%s\r", version);
    write_pass_with(text);
}

void answer_ex(char **tokens, int count) {
    if (count == 1) {
        sys_log(LOG_ERR, "EX: command without proper command code");
        ex_write_error(EX_SYNTAX_ERROR);
        return;
    }
    const char *code = tokens[1];
    const ex_command_t *row = nullptr;
    if (std::strlen(code) + 4 <= kCommandTextSize) {
        char text[kCommandTextSize];
        std::snprintf(text, sizeof text, "EX %s", code);
        row = ex_com_find(text);
    }
    if (row == nullptr) {
        sys_log(LOG_ERR, "EX: command code 'EX %.40s' not implemented", code);
        ex_write_error(EX_NOT_IMPLEMENTED);
        return;
    }
    sys_log(LOG_INFO, "EX: EX %lu command", std::strtoul(code, nullptr, 10));
    if (row->args != 0 && row->args != static_cast<uint32_t>(count - 2)) {
        sys_log(LOG_ERR, "EX: incorrect number of arguments");
        ex_write_error(EX_SYNTAX_ERROR);
        return;
    }
    res[0] = '\0';
    const int result = row->handler(tokens, count);
    if (result == EX_PASS) {
        write_pass_with(res);
    } else {
        ex_write_error(result >= 1 && result <= 4 ? result : EX_FAIL);
    }
}

// One line, its CR already removed; line_text is terminated.
void process_line(char *line_text, size_t len) {
    sys_log(LOG_DEBUG, "EX: Parsing command");
    char *tokens[EX_MAX_TOKENS];
    int count = 0;
    char *save = nullptr;
    for (char *t = strtok_r(line_text, ", ", &save); t != nullptr && count < static_cast<int>(EX_MAX_TOKENS);
         t = strtok_r(nullptr, ", ", &save)) {
        tokens[count++] = t;
    }
    sys_log(LOG_DEBUG, "EX: found %d arguments", count);
    if (len < 2 || count == 0) {
        sys_log(LOG_ERR, "EX: Received invalid command");
        ex_write_error(EX_SYNTAX_ERROR);
        return;
    }
    if (std::strncmp(tokens[0], "ID", 2) == 0) {
        answer_id();
    } else if (std::strncmp(tokens[0], "EX", 2) == 0) {
        answer_ex(tokens, count);
    } else {
        sys_log(LOG_ERR, "EX: Received invalid command");
        ex_write_error(EX_NOT_IMPLEMENTED);
    }
}

void close_port() {
    if (port_fd < 0) {
        return;
    }
    if (settings_saved) {
        sys_tcsetattr(port_fd, TCSANOW, &saved_settings);
        settings_saved = false;
    }
    sys_close(port_fd);
    port_fd = -1;
}

void reopen() {
    close_port();
    ex_init();
}

void *receive_main(void *) {
    while (active.load()) {
        if (reopen_requested.exchange(false)) {
            reopen();
        }
        if (port_fd < 0) {
            // Nothing to wait on: a closed descriptor would make the wait
            // return at once, over and over. SIGHUP opens the port again.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        const int ready = sys_wait_readable(port_fd, 100);
        if (ready == 0) {
            continue;
        }
        static char chunk[EX_LINE_SIZE];
        ssize_t got = -1;
        if (ready > 0) {
            got = sys_read(port_fd, chunk, EX_LINE_SIZE - line_len);
        }
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (got <= 0) {
            if (line_len == 0) {
                sys_log(LOG_DEBUG, "Error in receive thread");
                // A port whose other side is gone reports so at once: give
                // it a moment before each new try.
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                reopen();
            }
            continue;
        }
        ex_receive(chunk, static_cast<size_t>(got));
    }
    return nullptr;
}

}  // namespace

void ex_com_init(char *buffer) { res = buffer; }

const ex_command_t *ex_com_find(const char *text) {
    for (const ex_command_t *c = ex_commands; c->text != nullptr; ++c) {
        if (std::strcmp(c->text, text) == 0) {
            return c;
        }
    }
    return nullptr;
}

void ex_write_error(int result) {
    const char *name = err_code_names[result >= 0 && result <= 4 ? result : EX_FAIL];
    char text[24];
    const int len = std::snprintf(text, sizeof text, "%s\r\n", name);
    write_out(text, static_cast<size_t>(len));
    sys_log(LOG_DEBUG, "EX: written error: %s", name);
}

void ex_reply(const char *format, ...) {
    res[0] = '\0';
    if (format == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    const int len = std::vsnprintf(res, EX_REPLY_SIZE, format, args);
    va_end(args);
    if (len < 0) {
        res[0] = '\0';
    }
}

bool ex_reply_append(const char *format, ...) {
    const size_t held = std::strlen(res);
    va_list args;
    va_start(args, format);
    const int len = std::vsnprintf(res + held, EX_REPLY_SIZE - held, format, args);
    va_end(args);
    if (len < 0 || static_cast<size_t>(len) >= EX_REPLY_SIZE - held) {
        res[held] = '\0';
        return false;
    }
    return true;
}

bool ex_parse_long(const char *text, long long *out) {
    const char *p = text;
    if (*p == '-' || *p == '+') {
        ++p;
    }
    if (*p == '\0' || std::strspn(p, "0123456789") != std::strlen(p)) {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0') {
        return false;
    }
    *out = v;
    return true;
}

bool ex_parse_float(const char *text, double *out) {
    // Plain decimal numbers only: no hexadecimal, no "nan" or "inf".
    if (*text == '\0' || std::strspn(text, "+-0123456789.eE") != std::strlen(text)) {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    const double v = std::strtod(text, &end);
    if (errno != 0 || end == nullptr || *end != '\0' || !std::isfinite(v)) {
        return false;
    }
    *out = v;
    return true;
}

size_t ex_receive(const char *data, size_t n) {
    if (res == nullptr) {
        ex_com_init(reply_buffer);
    }
    const size_t take = std::min(n, EX_LINE_SIZE - line_len);
    std::memcpy(line + line_len, data, take);
    line_len += take;
    line[line_len] = '\0';
    sys_log(LOG_DEBUG, "EX: Received data: len %d, data: %s", static_cast<int>(line_len), line);
    if (line_len > 0 && line[line_len - 1] == '\r') {
        const size_t len = line_len - 1;
        line[len] = '\0';
        process_line(line, len);
        line_len = 0;
    } else if (line_len == EX_LINE_SIZE) {
        sys_log(LOG_ERR, "EX: buffer is overflown. Removing all data");
        line_len = 0;
    }
    return take;
}

void ex_set_output(ex_output_t out) { output = out; }

void ex_reset_line() { line_len = 0; }

int ex_init() {
    sys_log(LOG_INFO, "Initializing EX at port %s", EX_PORT);
    ex_com_init(reply_buffer);
    const int fd = sys_open(EX_PORT, O_RDWR | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        sys_log(LOG_ERR, "Failed to open serial port %s", EX_PORT);
        return 0;
    }
    termios t{};
    if (sys_tcgetattr(fd, &t) == 0) {
        saved_settings = t;
        settings_saved = true;
    } else {
        settings_saved = false;
        std::memset(&t, 0, sizeof t);
    }
    t.c_iflag = 0;
    t.c_oflag = OPOST;
    t.c_cflag = CS8 | CREAD | CLOCAL;
    t.c_lflag = 0;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    if (sys_tcsetattr(fd, TCSANOW, &t) != 0) {
        sys_log(LOG_ERR, "EX: failed to set the terminal settings of %s (%s)", EX_PORT, std::strerror(errno));
    }
    serial_struct serial{};
    if (sys_ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        log_serial_failure("reading");
    } else {
        serial.flags |= ASYNC_LOW_LATENCY;
        if (sys_ioctl(fd, TIOCSSERIAL, &serial) != 0) {
            log_serial_failure("setting");
        }
    }
    sys_tcflush(fd, TCIOFLUSH);
    port_fd = fd;
    return 1;
}

void ex_disable() { close_port(); }

bool ex_start() {
    SYS_ASSERT(!active.load(), "EX started twice");
    active = true;
    sys_log(LOG_INFO, "Starting EX, supporting API %s", EX_API_VERSION);
    const int rc = pthread_create(&receive_thread, nullptr, receive_main, nullptr);
    if (rc != 0) {
        sys_log(LOG_ERR, "Error starting processing thread (%d)", rc);
        active = false;
        return false;
    }
    thread_started = true;
    return true;
}

void ex_join() {
    if (thread_started) {
        pthread_join(receive_thread, nullptr);
        thread_started = false;
    }
}

void ex_stop() {
    if (active.load() || thread_started) {
        sys_log(LOG_INFO, "Stopping EX thread");
    }
    active = false;
    ex_watchdog_stop();
    ex_join();
    close_port();
    line_len = 0;
    reopen_requested = false;
}

void ex_request_reopen() { reopen_requested = true; }

bool ex_active() { return active.load(); }
