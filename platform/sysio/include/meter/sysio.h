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
#include <sys/types.h>

#include <cstdarg>
#include <cstddef>
#include <ctime>

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

// Wall-clock seconds since the epoch.
time_t sys_time();

// Asks for SCHED_FIFO at priority for thread. Where that is not permitted
// the thread keeps normal scheduling and a line is logged; returns true only
// when real-time scheduling is in force.
bool sys_set_realtime(pthread_t thread, int priority);

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
