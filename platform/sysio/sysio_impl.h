#pragma once
// For the implementations of meter/sysio.h only: what both share.

#include <pthread.h>

#include "meter/sysio.h"

#include <string>
#include <vector>

// Asks for SCHED_FIFO at priority; logs and returns false where the system
// refuses it.
bool sysio_request_fifo(pthread_t thread, int priority);

// The folder that holds a path's last entry: "/data" for "/data/x", "/" for
// "/x", "." for a bare name.
std::string sysio_folder_of(const std::string &path);

// The system calls behind sys_list_dir and sys_fsync_dir, on a path of this
// machine.
int sysio_list_dir(const std::string &path, std::vector<std::string> *names);
int sysio_fsync_dir(const std::string &path);

// The steps of sys_mstp_prepare on one platform; each returns 0 or -1 with
// errno, irq_thread the thread's process id or -1 (errno ESRCH: none).
struct SysioMstpOps {
    bool (*module_loaded)();
    int (*load_module)();
    int (*irq_thread)();
    int (*raise_irq_thread)(int pid, int priority);
};
bool sysio_mstp_prepare(const SysioMstpOps &ops, SysReport report);

// poll(2) for input on fd: 1 readable or hung up, 0 timeout, -1 error
// (EBADF for a descriptor poll reports invalid). EINTR is waited through.
int sysio_wait_readable(int fd, int timeout_ms);
int sysio_wait_writable(int fd, int timeout_ms);
