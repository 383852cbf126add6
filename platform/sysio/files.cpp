// File calls composed of the primitive sys_* calls, so that on the host each
// of their steps is counted, and can be made to fail, like any other.

#include "meter/sysio.h"
#include "sysio_impl.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdint>
#include <string>

namespace {

// Calls transfer(done) until count bytes have passed, going on after short
// transfers and EINTR; a transfer of nothing ends the loop early. Returns the
// bytes passed, or -1 when a transfer fails.
template <typename Transfer>
ssize_t transfer_all(size_t count, Transfer transfer) {
    size_t done = 0;
    while (done < count) {
        const ssize_t n = transfer(done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace

ssize_t sys_read_all(int fd, void *buf, size_t count) {
    auto *p = static_cast<uint8_t *>(buf);
    return transfer_all(count, [&](size_t done) { return sys_read(fd, p + done, count - done); });
}

ssize_t sys_write_all(int fd, const void *buf, size_t count) {
    const auto *p = static_cast<const uint8_t *>(buf);
    const ssize_t n = transfer_all(count, [&](size_t done) { return sys_write(fd, p + done, count - done); });
    if (n >= 0 && static_cast<size_t>(n) < count) {
        errno = EIO;  // the file took nothing
        return -1;
    }
    return n;
}

namespace {

int replace_file(const char *board_path, const void *data, size_t size, mode_t mode, bool sync_folder) {
    const std::string tmp = std::string(board_path) + ".tmp";
    const int fd = sys_open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0) {
        return -1;
    }
    bool written = sys_write_all(fd, data, size) == static_cast<ssize_t>(size) && sys_fsync(fd) == 0;
    int err = errno;
    // A failed close may mean that the data did not reach the disk.
    if (sys_close(fd) != 0 && written) {
        written = false;
        err = errno;
    }
    if (written) {
        if (sys_rename(tmp.c_str(), board_path) == 0) {
            return sync_folder ? sys_fsync_dir(sysio_folder_of(board_path).c_str()) : 0;
        }
        err = errno;
    }
    sys_unlink(tmp.c_str());  // the target keeps its old content
    errno = err;
    return -1;
}

}  // namespace

int sys_replace_file(const char *board_path, const void *data, size_t size, mode_t mode) {
    return replace_file(board_path, data, size, mode, true);
}

int sys_replace_file_lazily(const char *board_path, const void *data, size_t size, mode_t mode) {
    return replace_file(board_path, data, size, mode, false);
}
