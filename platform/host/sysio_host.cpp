// Host models of the board behind the sys_* calls: driver nodes, board files
// under METER_ROOT, clock, log capture and fault injection.

#include "meter/sysio.h"
#include "meter/host.h"
#include "journal.h"
#include "sysio_impl.h"

#include "meter/root.h"
#include "mstp/emulator.h"
#include "prusim/prusim.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

enum class Kind { result_node, drdy, pulse_out, alarm_out, adc };

struct Node {
    Kind kind;
    std::string board_path;
};

struct Fault {
    bool armed = false;
    uint64_t step = 0;
    meter::host::Mode mode = meter::host::Mode::once;
    uint64_t counted = 0;
    bool fired = false;
};

struct State {
    std::mutex mutex;
    std::map<int, Node> nodes;              // model descriptors
    std::set<int> plain;                    // descriptors of plain files
    // Terminals and FIFOs under the root (the EX and RS-485 ports, the
    // keypad): the system's own calls, outside the lock, since they block.
    std::set<int> passthrough;
    std::vector<time_t> clock_settings;
    std::map<std::string, int> node_sizes;  // result node -> record size
    // Result node files held open for writing, by host path.
    std::map<std::string, int> node_fds;
    std::function<void()> node_write_pause;
    std::vector<int32_t> pulse_widths;
    std::vector<uint8_t> pulse_bytes;
    std::vector<uint8_t> alarm_bytes;
    std::vector<meter::host::AdcRequest> adc_requests;
    meter::host::AdcState adc;
    std::optional<time_t> clock;
    bool capture = false;
    std::vector<meter::host::LogLine> log;
    Fault fault;
    meter::host::PowerJournal journal;
    std::map<int, std::string> plain_paths;  // descriptor -> board path
    std::map<std::string, meter::host::FileIo> io;
    std::atomic<unsigned> fsync_ms{0};
    std::atomic<unsigned> write_ms{0};
    State() { slow_flash_from_environment(); }
    void slow_flash_from_environment() {
        fsync_ms = milliseconds_of(meter::host::kFsyncMsVariable);
        write_ms = milliseconds_of(meter::host::kWriteMsVariable);
    }
    static unsigned milliseconds_of(const char *variable) {
        const char *text = std::getenv(variable);
        if (text == nullptr) {
            return 0;
        }
        char *end = nullptr;
        const unsigned long v = std::strtoul(text, &end, 10);
        return end != text && *end == '\0' && v <= 60000 ? static_cast<unsigned>(v) : 0;
    }
};

// The time a slow flash takes for one call, spent when it goes out of scope:
// declared before the call's lock, it waits after the lock is released.
struct SlowStep {
    unsigned ms = 0;
    SlowStep() = default;
    SlowStep(const SlowStep &) = delete;
    SlowStep &operator=(const SlowStep &) = delete;
    ~SlowStep() {
        if (ms != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        }
    }
};

State &state() {
    static State s;
    return s;
}

constexpr const char *kDrdyPath = "/dev/zor_pulse/drdy_out_of_sync";

// Creates the folders above a file under the root, as the board has them.
void make_parents(const std::string &host_path) {
    for (size_t pos = host_path.find('/', 1); pos != std::string::npos;
         pos = host_path.find('/', pos + 1)) {
        ::mkdir(host_path.substr(0, pos).c_str(), 0755);
    }
}

// Replaces a file's whole content so that another process reading it sees
// either the old or the new bytes. The temporary name is the call's own:
// threads replacing one file at once (a test raising the data-ready node
// while a restart resets it) must not write into each other's file.
bool replace_file(const std::string &host_path, const void *data, size_t size) {
    static std::atomic<unsigned long> replacements{0};
    make_parents(host_path);
    const std::string tmp =
        host_path + ".tmp" + std::to_string(::getpid()) + "." + std::to_string(++replacements);
    FILE *f = std::fopen(tmp.c_str(), "wbe");
    if (f == nullptr) {
        return false;
    }
    const bool written = std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0 || !written || ::rename(tmp.c_str(), host_path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

std::optional<std::string> read_file(const std::string &host_path) {
    FILE *f = std::fopen(host_path.c_str(), "rbe");
    if (f == nullptr) {
        return std::nullopt;
    }
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        out.append(buf, n);
    }
    std::fclose(f);
    return out;
}

// A result node's file is written in place under an exclusive flock and
// read under a shared one, so that a reader, in this process or another,
// never sees a record half written: a file and a rename per record cost
// the writer more than the measurement itself at a sped-up pace.
std::optional<std::string> read_node_file(const std::string &host_path) {
    const int fd = ::open(host_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string out;
    if (::flock(fd, LOCK_SH) == 0) {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) {
            out.append(buf, static_cast<size_t>(n));
        }
    }
    ::close(fd);  // lets the lock go
    return out;
}

void close_node_fds(State &s) {
    for (const auto &[path, fd] : s.node_fds) {
        ::close(fd);
    }
    s.node_fds.clear();
}

bool write_node_file(State &s, const std::string &host_path, const void *data, size_t size) {
    auto it = s.node_fds.find(host_path);
    if (it == s.node_fds.end()) {
        const int fd = ::open(host_path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        it = s.node_fds.emplace(host_path, fd).first;
    }
    const int fd = it->second;
    if (::flock(fd, LOCK_EX) != 0) {
        return false;
    }
    const auto *bytes = static_cast<const uint8_t *>(data);
    const size_t half = size / 2;
    bool ok = ::pwrite(fd, bytes, half, 0) == static_cast<ssize_t>(half);
    if (ok && s.node_write_pause) {
        s.node_write_pause();
    }
    ok = ok && ::pwrite(fd, bytes + half, size - half, static_cast<off_t>(half)) == static_cast<ssize_t>(size - half);
    ::flock(fd, LOCK_UN);
    return ok;
}

// Which model a /dev/zor_* path names, or nothing when the driver has no
// such node.
std::optional<Kind> model_of(const std::string &p) {
    if (p == kDrdyPath) {
        return Kind::drdy;
    }
    if (p == "/dev/zor_pulse/pulse_out") {
        return Kind::pulse_out;
    }
    if (p == "/dev/zor_pulse/alarm_out") {
        return Kind::alarm_out;
    }
    if (p == "/dev/zor_adc") {
        return Kind::adc;
    }
    struct Family {
        const char *prefix;
        unsigned last;  // the all-record node
    };
    for (const Family f : {Family{"/dev/zor_data/ct/", 48}, Family{"/dev/zor_data/load/", 48},
                           Family{"/dev/zor_data/input/", 2}}) {
        const std::string prefix = f.prefix;
        if (p.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        const std::string num = p.substr(prefix.size());
        if (num.empty() || num.size() > 2 || num.find_first_not_of("0123456789") != std::string::npos ||
            (num.size() > 1 && num[0] == '0')) {
            return std::nullopt;
        }
        if (static_cast<unsigned>(std::stoul(num)) > f.last) {
            return std::nullopt;
        }
        return Kind::result_node;
    }
    return std::nullopt;
}

bool is_driver_path(const std::string &p) { return p.rfind("/dev/zor_", 0) == 0; }

// What the armed fault makes of one step on a plain file.
enum class Step {
    run,        // as asked
    fail,       // not done: EIO
    interrupt,  // not done: EINTR
    partial,    // a read or write of half the bytes
};

// Counts one step on a plain file. The power cut happens here, before the
// step that it stops.
Step next_step(State &s) {
    using meter::host::Mode;
    Fault &f = s.fault;
    if (!f.armed) {
        return Step::run;
    }
    const uint64_t step = f.counted++;
    if (f.fired && (f.mode == Mode::crash || f.mode == Mode::power_cut)) {
        return Step::fail;
    }
    if (step != f.step) {
        return Step::run;
    }
    f.fired = true;
    switch (f.mode) {
    case Mode::interrupt:
        return Step::interrupt;
    case Mode::partial:
        return Step::partial;
    case Mode::power_cut:
        s.journal.cut();
        return Step::fail;
    case Mode::once:
    case Mode::crash:
        break;
    }
    return Step::fail;
}

bool stopped(Step step) { return step == Step::fail || step == Step::interrupt; }

int fail(int err) {
    errno = err;
    return -1;
}

int refuse(Step step) { return fail(step == Step::interrupt ? EINTR : EIO); }

// One call on a board path: a step, refused when the armed fault says so,
// else call(state) under the lock.
template <typename Call>
int path_call(Call call) {
    State &s = state();
    std::lock_guard lock(s.mutex);
    const Step step = next_step(s);
    if (stopped(step)) {
        return refuse(step);
    }
    return call(s);
}

// Tells the journal what an open is about to change: a file it creates, or
// one it truncates.
void note_open(State &s, const std::string &host_path, int flags) {
    if ((flags & (O_CREAT | O_TRUNC)) == 0 || !s.journal.tracking()) {
        return;
    }
    struct stat st {};
    const bool exists = ::stat(host_path.c_str(), &st) == 0;
    if (!exists && (flags & O_CREAT) != 0) {
        s.journal.before_folder_change(sysio_folder_of(host_path));
    }
    if (exists && (flags & O_TRUNC) != 0 && (flags & O_ACCMODE) != O_RDONLY) {
        s.journal.before_truncate(host_path);
    }
}

// The simulated chain reports a loss of step through the data-ready node,
// as the pulse driver does on the board.
void join_drdy_to_chain() {
    prusim::set_drdy_hook([](bool out_of_sync) {
        if (out_of_sync) {
            meter::host::drdy_raise(1);
        }
    });
}

int open_model(State &s, const std::string &board_path, Kind kind) {
    if (kind == Kind::drdy) {
        join_drdy_to_chain();
        const std::string host = meter::meter_path(board_path);
        if (::access(host.c_str(), F_OK) != 0) {
            const uint8_t zero = 0;
            if (!replace_file(host, &zero, 1)) {
                return fail(EIO);
            }
        }
    }
    // A real descriptor keeps model numbers apart from the process's files.
    int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    s.nodes[fd] = Node{kind, board_path};
    return fd;
}

ssize_t model_write(State &s, const Node &n, const void *buf, size_t count) {
    const auto *bytes = static_cast<const uint8_t *>(buf);
    switch (n.kind) {
    case Kind::result_node: {
        auto it = s.node_sizes.find(n.board_path);
        if (it == s.node_sizes.end() || static_cast<size_t>(it->second) != count) {
            return fail(EINVAL);
        }
        if (!write_node_file(s, meter::meter_path(n.board_path), buf, count)) {
            return fail(EIO);
        }
        return static_cast<ssize_t>(count);
    }
    case Kind::drdy: {
        static const char kReset[4] = {'r', 's', 't', '\0'};
        if (count != sizeof kReset || std::memcmp(buf, kReset, sizeof kReset) != 0) {
            return fail(EINVAL);
        }
        const uint8_t zero = 0;
        if (!replace_file(meter::meter_path(n.board_path), &zero, 1)) {
            return fail(EIO);
        }
        return static_cast<ssize_t>(count);
    }
    case Kind::pulse_out:
        s.pulse_bytes.insert(s.pulse_bytes.end(), bytes, bytes + count);
        return static_cast<ssize_t>(count);
    case Kind::alarm_out:
        if (count != 1) {
            return fail(EINVAL);
        }
        s.alarm_bytes.push_back(bytes[0]);
        return 1;
    case Kind::adc:
        return fail(EINVAL);
    }
    return fail(EINVAL);
}

ssize_t model_read(const Node &n, void *buf, size_t count) {
    if (count == 0) {
        return 0;
    }
    switch (n.kind) {
    case Kind::drdy: {
        auto content = read_file(meter::meter_path(n.board_path));
        if (!content) {
            return fail(EIO);
        }
        *static_cast<uint8_t *>(buf) = content->empty() ? 0 : static_cast<uint8_t>((*content)[0]);
        return 1;
    }
    case Kind::result_node: {
        auto content = read_node_file(meter::meter_path(n.board_path));
        if (!content) {
            return 0;
        }
        const size_t len = std::min(count, content->size());
        std::memcpy(buf, content->data(), len);
        return static_cast<ssize_t>(len);
    }
    default:
        return fail(EINVAL);
    }
}

int model_ioctl(State &s, const Node &n, unsigned long request, void *arg) {
    const int32_t *value = static_cast<const int32_t *>(arg);
    switch (n.kind) {
    case Kind::result_node: {
        if (request != meter::host::ZOR_SET_SIZE) {
            return fail(ENOTTY);
        }
        if (value == nullptr || *value <= 0) {
            return fail(EINVAL);
        }
        // A new size is a new file: readers see the old record or the zeros.
        const std::string host = meter::meter_path(n.board_path);
        if (auto it = s.node_fds.find(host); it != s.node_fds.end()) {
            ::close(it->second);
            s.node_fds.erase(it);
        }
        std::vector<uint8_t> zeros(static_cast<size_t>(*value), 0);
        if (!replace_file(host, zeros.data(), zeros.size())) {
            return fail(EIO);
        }
        s.node_sizes[n.board_path] = *value;
        return 0;
    }
    case Kind::pulse_out:
        if (request != meter::host::ZOR_SET_PULSE_WIDTH) {
            return fail(ENOTTY);
        }
        if (value == nullptr) {
            return fail(EFAULT);
        }
        s.pulse_widths.push_back(*value);
        return 0;
    case Kind::adc: {
        meter::host::AdcState &a = s.adc;
        // The requests reach the simulated daisy chain as they reach the ADCs.
        switch (request) {
        case meter::host::ZOR_ADC_RESET:
            ++a.resets;
            prusim::adc_reset();
            break;
        case meter::host::ZOR_ADC_ENABLE_DAISY:
            a.daisy = true;
            prusim::adc_daisy(true);
            break;
        case meter::host::ZOR_ADC_DISABLE_DAISY:
            a.daisy = false;
            prusim::adc_daisy(false);
            break;
        case meter::host::ZOR_ADC_ENABLE_CS:
        case meter::host::ZOR_ADC_DISABLE_CS:
            if (value == nullptr) {
                return fail(EFAULT);
            }
            if (*value < 2 || *value > 9) {
                return fail(EINVAL);
            }
            if (request == meter::host::ZOR_ADC_ENABLE_CS) {
                a.chip_selects |= 1u << *value;
            } else {
                a.chip_selects &= ~(1u << *value);
            }
            prusim::adc_chip_select(*value, request == meter::host::ZOR_ADC_ENABLE_CS);
            break;
        case meter::host::ZOR_ADC_SET_CLK:
            if (value == nullptr) {
                return fail(EFAULT);
            }
            if (*value <= 0) {
                return fail(EINVAL);
            }
            a.clock_hz = *value;
            prusim::adc_clock(*value);
            break;
        default:
            return fail(ENOTTY);
        }
        s.adc_requests.push_back({request, value != nullptr ? *value : 0});
        return 0;
    }
    default:
        return fail(ENOTTY);
    }
}

}  // namespace

// ---- the sys_* calls ----

namespace {

// A terminal or FIFO under the root: opened without the lock (opening a
// FIFO may wait for its writer) and without counting a step.
bool is_passthrough(const std::string &host_path) {
    struct stat st {};
    return ::stat(host_path.c_str(), &st) == 0 && (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode));
}

bool passthrough_fd(int fd) {
    State &s = state();
    std::lock_guard lock(s.mutex);
    return s.passthrough.count(fd) != 0;
}

}  // namespace

int sys_open(const char *board_path, int flags, mode_t mode) {
    State &s = state();
    const std::string path = board_path;
    if (!is_driver_path(path) && path != "/dev/mem" && is_passthrough(meter::meter_path(path))) {
        const int fd = ::open(meter::meter_path(path).c_str(), flags | O_CLOEXEC, mode);
        if (fd >= 0) {
            std::lock_guard lock(s.mutex);
            s.passthrough.insert(fd);
        }
        return fd;
    }
    std::lock_guard lock(s.mutex);
    if (is_driver_path(path)) {
        auto kind = model_of(path);
        if (!kind) {
            return fail(ENOENT);
        }
        return open_model(s, path, *kind);
    }
    if (path == "/dev/mem" && !meter::host::dev_mem_ready()) {
        return fail(EIO);
    }
    const Step step = next_step(s);
    if (stopped(step)) {
        return refuse(step);
    }
    const std::string host = meter::meter_path(path);
    note_open(s, host, flags);
    int fd = ::open(host.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0) {
        s.plain.insert(fd);
        s.plain_paths[fd] = path;
    }
    return fd;
}

int sys_close(int fd) {
    State &s = state();
    std::lock_guard lock(s.mutex);
    if (s.nodes.erase(fd) != 0 || s.passthrough.erase(fd) != 0) {
        return ::close(fd);
    }
    s.plain_paths.erase(fd);
    const Step step = s.plain.erase(fd) != 0 ? next_step(s) : Step::run;
    if (stopped(step)) {
        // The descriptor is gone whatever close reports, as with the kernel.
        ::close(fd);
        return refuse(step);
    }
    return ::close(fd);
}

ssize_t sys_read(int fd, void *buf, size_t count) {
    if (passthrough_fd(fd)) {
        return ::read(fd, buf, count);
    }
    State &s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.nodes.find(fd);
    if (it != s.nodes.end()) {
        return model_read(it->second, buf, count);
    }
    const Step step = s.plain.count(fd) != 0 ? next_step(s) : Step::run;
    if (stopped(step)) {
        return refuse(step);
    }
    if (step == Step::partial && count > 1) {
        count /= 2;
    }
    return ::read(fd, buf, count);
}

ssize_t sys_write(int fd, const void *buf, size_t count) {
    if (passthrough_fd(fd)) {
        return ::write(fd, buf, count);
    }
    State &s = state();
    SlowStep slow;
    std::lock_guard lock(s.mutex);
    auto it = s.nodes.find(fd);
    if (it != s.nodes.end()) {
        return model_write(s, it->second, buf, count);
    }
    const bool plain = s.plain.count(fd) != 0;
    const Step step = plain ? next_step(s) : Step::run;
    if (plain) {
        slow.ms = s.write_ms;
    }
    if (step == Step::fail && s.fault.mode != meter::host::Mode::power_cut && count > 1) {
        // The device failed or the program died in the middle of the write.
        s.journal.before_write(fd, count / 2);
        ssize_t ignored = ::write(fd, buf, count / 2);
        (void)ignored;
    }
    if (stopped(step)) {
        return refuse(step);
    }
    if (step == Step::partial && count > 1) {
        count /= 2;
    }
    s.journal.before_write(fd, count);
    const ssize_t n = ::write(fd, buf, count);
    if (plain && n > 0) {
        meter::host::FileIo &io = s.io[s.plain_paths[fd]];
        io.bytes += static_cast<uint64_t>(n);
        ++io.writes;
    }
    return n;
}

off_t sys_lseek(int fd, off_t offset, int whence) {
    State &s = state();
    std::lock_guard lock(s.mutex);
    if (s.nodes.count(fd) != 0) {
        return fail(ESPIPE);
    }
    const Step step = s.plain.count(fd) != 0 ? next_step(s) : Step::run;
    if (stopped(step)) {
        return refuse(step);
    }
    return ::lseek(fd, offset, whence);
}

int sys_fsync(int fd) {
    State &s = state();
    SlowStep slow;
    std::lock_guard lock(s.mutex);
    if (s.nodes.count(fd) != 0) {
        return 0;
    }
    const bool plain = s.plain.count(fd) != 0;
    const Step step = plain ? next_step(s) : Step::run;
    if (stopped(step)) {
        return refuse(step);
    }
    const int rc = ::fsync(fd);
    if (rc == 0) {
        s.journal.fsynced(fd);
    }
    if (plain) {
        slow.ms = s.fsync_ms;
        ++s.io[s.plain_paths[fd]].syncs;
    }
    return rc;
}

int sys_rename(const char *from_board_path, const char *to_board_path) {
    return path_call([&](State &s) {
        const std::string from = meter::meter_path(from_board_path);
        const std::string to = meter::meter_path(to_board_path);
        s.journal.before_folder_change(sysio_folder_of(from));
        s.journal.before_folder_change(sysio_folder_of(to));
        s.journal.before_name_goes(from);
        s.journal.before_name_goes(to);
        return ::rename(from.c_str(), to.c_str());
    });
}

int sys_unlink(const char *board_path) {
    return path_call([&](State &s) {
        const std::string path = meter::meter_path(board_path);
        s.journal.before_folder_change(sysio_folder_of(path));
        s.journal.before_name_goes(path);
        return ::unlink(path.c_str());
    });
}

int sys_stat(const char *board_path, struct stat *st) {
    return path_call([&](State &) { return ::stat(meter::meter_path(board_path).c_str(), st); });
}

int sys_mkdir(const char *board_path, mode_t mode) {
    return path_call([&](State &s) {
        const std::string path = meter::meter_path(board_path);
        s.journal.before_folder_change(sysio_folder_of(path));
        return ::mkdir(path.c_str(), mode);
    });
}

int sys_list_dir(const char *board_path, std::vector<std::string> *names) {
    return path_call([&](State &) {
        if (sysio_list_dir(meter::meter_path(board_path), names) != 0) {
            return -1;
        }
        std::erase(*names, meter::host::PowerJournal::kAttic);
        return 0;
    });
}

int sys_fsync_dir(const char *board_path) {
    SlowStep slow;
    return path_call([&](State &s) {
        const std::string path = meter::meter_path(board_path);
        const int rc = sysio_fsync_dir(path);
        if (rc == 0) {
            s.journal.folder_fsynced(path);
        }
        slow.ms = s.fsync_ms;
        ++s.io[board_path].syncs;
        return rc;
    });
}

int sys_ioctl(int fd, unsigned long request, void *arg) {
    if (passthrough_fd(fd)) {
        // A pseudo-terminal answers what the system gives (no serial driver
        // behind it: TIOCGSERIAL fails).
        return ::ioctl(fd, request, arg);
    }
    State &s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.nodes.find(fd);
    if (it == s.nodes.end()) {
        return fail(ENOTTY);
    }
    return model_ioctl(s, it->second, request, arg);
}

time_t sys_time() {
    State &s = state();
    {
        std::lock_guard lock(s.mutex);
        if (s.clock) {
            return *s.clock;
        }
    }
    return ::time(nullptr);
}

int sys_wait_readable(int fd, int timeout_ms) { return sysio_wait_readable(fd, timeout_ms); }
int sys_wait_writable(int fd, int timeout_ms) { return sysio_wait_writable(fd, timeout_ms); }
int sys_tcgetattr(int fd, struct termios *settings) { return ::tcgetattr(fd, settings); }
int sys_tcsetattr(int fd, int when, const struct termios *settings) { return ::tcsetattr(fd, when, settings); }
int sys_tcflush(int fd, int queue) { return ::tcflush(fd, queue); }

int sys_set_clock(time_t t) {
    State &s = state();
    std::lock_guard lock(s.mutex);
    s.clock_settings.push_back(t);
    // Also for a test in another process than the program.
    const std::string record = meter::meter_path(meter::host::kClockSettingsFile);
    make_parents(record);
    if (FILE *f = std::fopen(record.c_str(), "ae")) {
        std::fprintf(f, "%lld\n", static_cast<long long>(t));
        std::fclose(f);
    }
    return 0;
}

bool sys_set_realtime(pthread_t thread, int priority) {
    const char *allow = std::getenv("METER_REALTIME");
    if (allow == nullptr || std::strcmp(allow, "1") != 0) {
        sys_log(LOG_INFO, "Real-time scheduling not used on this host, thread keeps normal scheduling");
        return false;
    }
    return sysio_request_fifo(thread, priority);
}

void sys_vlog(int priority, const char *format, va_list args) {
    State &s = state();
    {
        std::lock_guard lock(s.mutex);
        if (s.capture) {
            // setlogmask(0) reads the mask without changing it.
            if ((setlogmask(0) & LOG_MASK(LOG_PRI(priority))) != 0) {
                va_list copy;
                va_copy(copy, args);
                char buf[1024];
                std::vsnprintf(buf, sizeof buf, format, copy);
                va_end(copy);
                s.log.push_back({LOG_PRI(priority), buf});
            }
            return;
        }
    }
    vsyslog(priority, format, args);
}

// ---- the test handles ----

// The board's MS/TP module and interrupt thread are the emulation's.
bool sys_mstp_prepare(SysReport report) {
    static const SysioMstpOps ops{
        mstpemu::moduleLoaded, mstpemu::loadModule, [] { return mstpemu::kIrqThreadPid; },
        [](int, int priority) { return mstpemu::setIrqThreadPriority(priority); }};
    return sysio_mstp_prepare(ops, report);
}

namespace meter::host {

void reset() {
    prusim::reset();
    join_drdy_to_chain();
    State &s = state();
    std::lock_guard lock(s.mutex);
    s.node_sizes.clear();
    close_node_fds(s);
    s.node_write_pause = nullptr;
    s.pulse_widths.clear();
    s.pulse_bytes.clear();
    s.alarm_bytes.clear();
    s.adc_requests.clear();
    s.adc = AdcState{};
    s.clock.reset();
    s.clock_settings.clear();
    s.capture = false;
    s.log.clear();
    s.fault = Fault{};
    s.journal.start(meter::meter_root());
    s.io.clear();
    s.slow_flash_from_environment();
}

void slow_flash(unsigned fsync_ms, unsigned write_ms) {
    State &s = state();
    s.fsync_ms = fsync_ms;
    s.write_ms = write_ms;
}

std::map<std::string, FileIo> io_counts() {
    State &s = state();
    std::lock_guard lock(s.mutex);
    return s.io;
}

void io_clear() {
    State &s = state();
    std::lock_guard lock(s.mutex);
    s.io.clear();
}

bool dev_mem_ready() {
    // Sparse: only the pages of the DDR buffer ever take space.
    constexpr off_t kEnd = 0x88000000;
    const std::string host = meter::meter_path("/dev/mem");
    make_parents(host);
    int fd = ::open(host.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && (st.st_size >= kEnd || ::ftruncate(fd, kEnd) == 0);
    ::close(fd);
    return ok;
}

std::string node_content(const std::string &board_path) {
    return read_node_file(meter::meter_path(board_path)).value_or(std::string());
}

void set_node_write_pause(std::function<void()> pause) {
    State &s = state();
    std::lock_guard lock(s.mutex);
    s.node_write_pause = std::move(pause);
}

void drdy_raise(uint8_t value) {
    replace_file(meter::meter_path(kDrdyPath), &value, 1);
}

uint8_t drdy_value() {
    auto c = read_file(meter::meter_path(kDrdyPath));
    return c && !c->empty() ? static_cast<uint8_t>((*c)[0]) : 0;
}

std::vector<int32_t> pulse_widths() {
    std::lock_guard lock(state().mutex);
    return state().pulse_widths;
}

std::vector<uint8_t> pulse_out_bytes() {
    std::lock_guard lock(state().mutex);
    return state().pulse_bytes;
}

std::vector<uint8_t> alarm_out_bytes() {
    std::lock_guard lock(state().mutex);
    return state().alarm_bytes;
}

std::vector<AdcRequest> adc_requests() {
    std::lock_guard lock(state().mutex);
    return state().adc_requests;
}

AdcState adc_state() {
    std::lock_guard lock(state().mutex);
    return state().adc;
}

void clock_set(time_t t) {
    std::lock_guard lock(state().mutex);
    state().clock = t;
}

void clock_advance(time_t seconds) {
    std::lock_guard lock(state().mutex);
    State &s = state();
    s.clock = s.clock.value_or(::time(nullptr)) + seconds;
}

std::vector<time_t> clock_settings() {
    std::lock_guard lock(state().mutex);
    return state().clock_settings;
}

void clock_release() {
    std::lock_guard lock(state().mutex);
    state().clock.reset();
}

void log_capture(bool on) {
    std::lock_guard lock(state().mutex);
    state().capture = on;
}

std::vector<LogLine> log_lines() {
    std::lock_guard lock(state().mutex);
    return state().log;
}

bool log_has(const std::string &text) { return log_count(text) != 0; }

bool log_has(int priority, const std::string &text) {
    for (const LogLine &l : log_lines()) {
        if (l.priority == priority && l.text == text) {
            return true;
        }
    }
    return false;
}

size_t log_count(const std::string &text) {
    size_t n = 0;
    for (const LogLine &l : log_lines()) {
        n += l.text == text ? 1 : 0;
    }
    return n;
}

void log_clear() {
    std::lock_guard lock(state().mutex);
    state().log.clear();
}

void fault_arm(uint64_t step, Mode mode) {
    std::lock_guard lock(state().mutex);
    state().fault = Fault{true, step, mode, 0, false};
}

void fault_disarm() {
    std::lock_guard lock(state().mutex);
    state().fault = Fault{};
}

void power_cut() {
    std::lock_guard lock(state().mutex);
    State &s = state();
    s.journal.cut();
    s.fault = Fault{true, 0, Mode::power_cut, 0, true};
}

bool fault_fired() {
    std::lock_guard lock(state().mutex);
    return state().fault.fired;
}

uint64_t fault_steps() {
    std::lock_guard lock(state().mutex);
    return state().fault.counted;
}

}  // namespace meter::host
