#pragma once
// The programs' one edge to the board: device nodes, board files, the wall
// clock, thread scheduling and the log.
//
// Every component reaches the board through these calls and never through
// open/ioctl/syslog directly. They take board paths ("/dev/zor_adc",
// "/sys/bus/i2c/devices/1-0054/eeprom") and return and set errno like the
// system calls of the same names. Two implementations exist, and a program
// links one of them (METER_PLATFORM): platform/board, the system calls
// themselves and syslog; platform/host, the models of a build machine, which
// put board files under METER_ROOT, model the drivers behind the nodes and
// let tests set the clock, read the log and inject failures.

#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// Readies the board under the program before the program starts. Nothing
// to do on the board; on a build machine it installs the simulated board the
// program runs on. False when that fails: the program cannot start.
bool sys_platform_start();

// open(2) of a board path; the path goes through meter::meter_path().
int sys_open(const char *board_path, int flags, mode_t mode = 0);
int sys_close(int fd);
ssize_t sys_read(int fd, void *buf, size_t count);
ssize_t sys_write(int fd, const void *buf, size_t count);
off_t sys_lseek(int fd, off_t offset, int whence);
int sys_fsync(int fd);
// ioctl(2) with a pointer argument, or nullptr for requests without one.
int sys_ioctl(int fd, unsigned long request, void *arg);

// mmap(2)/munmap(2) of a descriptor from sys_open (the DDR buffer in /dev/mem).
void *sys_mmap(size_t length, int prot, int flags, int fd, off_t offset);
int sys_munmap(void *address, size_t length);

// ---- serial ports, input devices and the clock ----
// The EX station's port /dev/ttyGS0, the RS-485 port /dev/ttyO4 and the
// keypad /dev/input/event0 are opened with sys_open. On the host they are
// what METER_ROOT holds under those names: pseudo-terminals linked there (a
// socat pair, say) and a FIFO taking 16-byte input events; such descriptors
// are no plain files and take no part in the fault injection.

// Waits up to timeout_ms (-1: no limit) for input or a hang-up on fd:
// 1 when a read would not block, 0 on timeout, -1 on error (errno; an
// invalid descriptor gives EBADF).
int sys_wait_readable(int fd, int timeout_ms);
// The same for room to write.
int sys_wait_writable(int fd, int timeout_ms);
// tcgetattr(3), tcsetattr(3) and tcflush(3).
int sys_tcgetattr(int fd, struct termios *settings);
int sys_tcsetattr(int fd, int when, const struct termios *settings);
int sys_tcflush(int fd, int queue);
// Sets the system time and the real-time clock to t seconds since the epoch,
// without a shell. 0, or -1 with errno of the step that failed. The host
// only records the setting (meter::host::clock_settings); its clock never
// changes.
int sys_set_clock(time_t t);

// ---- files ----
// Persistent state is written so that a crash or a power loss at any point
// leaves the old or the new content: write a temporary or backup file, fsync
// it, rename it, fsync the folder (sys_replace_file does all of it). Data is
// durable only once its file is fsynced; a name created, renamed or removed
// is durable only once its folder is fsynced. On the host every call on a
// plain file (open, close, read, write, lseek, fsync and the calls below)
// is one step that the fault injection counts and can make fail or cut.

// Reads until count bytes are in or the file ends, going on after short
// reads and EINTR. Returns the number of bytes read, less than count only at
// the end of the file, or -1 when a read fails (errno tells why).
ssize_t sys_read_all(int fd, void *buf, size_t count);
// Writes all count bytes, going on after short writes and EINTR. Returns
// count, or -1 when a write fails (errno tells why; EIO for a write that
// took nothing).
ssize_t sys_write_all(int fd, const void *buf, size_t count);

int sys_rename(const char *from_board_path, const char *to_board_path);
int sys_unlink(const char *board_path);
int sys_stat(const char *board_path, struct stat *st);
int sys_mkdir(const char *board_path, mode_t mode);
// The names in a folder, without "." and "..", in the order the file system
// gives them. 0, or -1 when the folder cannot be read.
int sys_list_dir(const char *board_path, std::vector<std::string> *names);
// Makes the folder's own entries durable: the names created, renamed or
// removed in it since it was last fsynced.
int sys_fsync_dir(const char *board_path);

// Replaces a file's whole content durably: writes board_path + ".tmp"
// (created with mode, truncated), fsyncs and closes it, renames it over
// board_path and fsyncs the folder. Returns 0, or -1 with the errno of the
// step that failed. Until the rename the file keeps its old content and a
// failure removes the temporary file; when only the final fsync of the
// folder fails, the new content is in place but may not survive a power loss.
int sys_replace_file(const char *board_path, const void *data, size_t size, mode_t mode = 0644);
// As sys_replace_file without the fsync of the folder: the file holds the
// old or the new content whole at every moment, and the new one becomes
// durable with the folder's next fsync (a power loss before it leaves the
// old). For a file rewritten often in a folder that is fsynced often anyway.
int sys_replace_file_lazily(const char *board_path, const void *data, size_t size, mode_t mode = 0644);

// Wall-clock seconds since the epoch.
time_t sys_time();

// t in the u32 of seconds that records and answers carry: past February 2106
// it stays at the field's last second and before 1970 at 0, rather than wrap
// to a time that looks decades off.
inline uint32_t sys_time_u32(time_t t) {
    const auto v = static_cast<int64_t>(t);
    if (v <= 0) {
        return 0;
    }
    return v >= static_cast<int64_t>(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(v);
}

// Asks for SCHED_FIFO at priority for thread. Where that is not permitted
// the thread keeps normal scheduling and a line is logged; returns true only
// when real-time scheduling is in force.
bool sys_set_realtime(pthread_t thread, int priority);

// ---- MS/TP ----
// Readies the board for the MS/TP datalink, before it opens its tty: loads
// the line discipline's kernel module when the loaded modules lack it, then
// gives the UART's interrupt thread SCHED_FIFO priority 98 so that the token
// passing keeps its timing. Each step's outcome goes to report(level, text),
// levels as Talvik's logger (1 most severe, 6 notice), among them "MS/TP:
// Setting <pid> to a high priority.". On the board: /proc/modules, the
// module file through finit_module(2), the thread found by its name under
// /proc ("irq/31" and "OMAP"), sched_setscheduler(2); on a build machine the
// MS/TP emulation (platform/mstp). True when the module is loaded afterwards.
using SysReport = void (*)(int level, const std::string &text);
bool sys_mstp_prepare(SysReport report);
inline constexpr const char *sys_mstp_module_file = "/lib/modules/4.14.32-rt25/extra/mstp.ko";

// syslog(3) with the process's identity and mask (slog_open, slog_level).
void sys_log(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
void sys_vlog(int priority, const char *format, va_list args);

// Stops the program when an internal invariant does not hold: the text is
// logged and written to standard error, then the process aborts.
[[noreturn]] void sys_invariant_failed(const char *text);

#define SYS_ASSERT(cond, text)            \
    do {                                  \
        if (!(cond)) {                    \
            sys_invariant_failed(text);   \
        }                                 \
    } while (0)
