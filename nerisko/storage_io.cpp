// File helpers that the trend storage and its migration share.

#include "nerisko/storage_io.h"
#include "nerisko/storage.h"

#include "meter/sysio.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

std::string storage_folder_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool storage_create_flag(const std::string &flag) {
    const int fd = sys_open(flag.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd < 0) {
        return false;
    }
    return sys_close(fd) == 0;
}

bool storage_is_trend_name(const std::string &name) {
    if (name.empty() || name.size() > 20) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

off_t storage_file_size(const std::string &path) {
    struct stat st {};
    if (sys_stat(path.c_str(), &st) != 0) {
        return -1;
    }
    return st.st_size;
}

bool storage_copy_durably(const std::string &from, const std::string &to, off_t limit) {
    const int in = sys_open(from.c_str(), O_RDONLY);
    if (in < 0) {
        return false;
    }
    const std::string tmp = to + ".tmp";
    const int out = sys_open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) {
        sys_close(in);
        return false;
    }
    std::vector<char> buf(64 * 1024);
    bool ok = true;
    off_t copied = 0;
    while (limit < 0 || copied < limit) {
        size_t want = buf.size();
        if (limit >= 0 && static_cast<off_t>(want) > limit - copied) {
            want = static_cast<size_t>(limit - copied);
        }
        const ssize_t n = sys_read_all(in, buf.data(), want);
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) {
            ok = limit < 0;  // the source ends before the length asked for
            break;
        }
        if (sys_write_all(out, buf.data(), static_cast<size_t>(n)) != n) {
            ok = false;
            break;
        }
        copied += n;
    }
    sys_close(in);
    ok = ok && sys_fsync(out) == 0;
    ok = sys_close(out) == 0 && ok;
    ok = ok && sys_rename(tmp.c_str(), to.c_str()) == 0;
    if (!ok) {
        sys_unlink(tmp.c_str());
        return false;
    }
    return sys_fsync_dir(storage_folder_of(to).c_str()) == 0;
}

void storage_make_record(storage_record_t *r, uint32_t time, const data_set_t *d, const data_i_set *load) {
    std::memset(r, 0, sizeof *r);
    r->time = time;
    r->set = d->set;
    r->ts_begin = d->ts_begin;
    r->ts_end = d->ts_end;
    r->flags = static_cast<uint8_t>(d->flags & 0xFF);
    r->samples = d->samples;
    r->frequency = d->frequency;
    r->set_u = d->set_u;
    r->load = *load;
}

