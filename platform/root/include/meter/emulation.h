#pragma once
// Whether this process is an ARM program run by a user-mode emulator on a
// build machine of another CPU. Tests that need what the emulator does not
// provide skip under it and name the reason; on the board and on the build
// machine's own CPU the answer is false.

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace meter {

inline bool under_emulation() {
#if defined(__arm__)
    // The emulator answers for its guest's "/proc/self/..." paths; a path
    // relative to an open /proc reaches the kernel's own view, where the
    // running executable is the emulator, built for another machine.
    static const bool emulated = [] {
        const int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (proc < 0) {
            return false;
        }
        const int fd = ::openat(proc, "self/exe", O_RDONLY | O_CLOEXEC);
        ::close(proc);
        if (fd < 0) {
            return false;
        }
        Elf32_Ehdr header{}; // e_machine lies at the same offset in 64-bit headers
        const bool whole = ::read(fd, &header, sizeof header) == static_cast<ssize_t>(sizeof header);
        ::close(fd);
        return whole && std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 && header.e_machine != EM_ARM;
    }();
    return emulated;
#else
    return false;
#endif
}

} // namespace meter
