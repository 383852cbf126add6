#include "nerisko/tzfile.h"

#include "meter/sysio.h"

#include <fcntl.h>

#include <syslog.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>

namespace {

constexpr size_t kMaxFile = 1 << 20;

int64_t be(const uint8_t *p, size_t n) {
    uint64_t v = 0;
    for (size_t k = 0; k < n; ++k) {
        v = (v << 8) | p[k];
    }
    if (n == 4) {
        return static_cast<int32_t>(static_cast<uint32_t>(v));
    }
    return static_cast<int64_t>(v);
}

struct Header {
    uint32_t isutcnt, isstdcnt, leapcnt, timecnt, typecnt, charcnt;
};

bool header(const std::string &b, size_t at, Header *h) {
    if (b.size() < at + 44 || b.compare(at, 4, "TZif") != 0) {
        return false;
    }
    const auto *p = reinterpret_cast<const uint8_t *>(b.data() + at + 20);
    h->isutcnt = static_cast<uint32_t>(be(p, 4));
    h->isstdcnt = static_cast<uint32_t>(be(p + 4, 4));
    h->leapcnt = static_cast<uint32_t>(be(p + 8, 4));
    h->timecnt = static_cast<uint32_t>(be(p + 12, 4));
    h->typecnt = static_cast<uint32_t>(be(p + 16, 4));
    h->charcnt = static_cast<uint32_t>(be(p + 20, 4));
    return h->typecnt > 0 && h->typecnt <= 256 && h->timecnt <= 100000 && h->leapcnt <= 10000;
}

size_t data_size(const Header &h, size_t time_size) {
    return h.timecnt * time_size + h.timecnt + h.typecnt * 6 + h.charcnt + h.leapcnt * (time_size + 4) +
           h.isstdcnt + h.isutcnt;
}

}  // namespace

bool TzFile::parse(const std::string &b) {
    transitions_.clear();
    types_.clear();
    Header h{};
    if (!header(b, 0, &h)) {
        return false;
    }
    size_t at = 44;
    size_t time_size = 4;
    if (b[4] >= '2') {
        // Version 2 and later repeat the data with 64-bit times; take those.
        at += data_size(h, 4);
        if (!header(b, at, &h)) {
            return false;
        }
        at += 44;
        time_size = 8;
    }
    if (b.size() < at + data_size(h, time_size)) {
        return false;
    }
    const auto *p = reinterpret_cast<const uint8_t *>(b.data() + at);
    const uint8_t *idx = p + h.timecnt * time_size;
    const uint8_t *info = idx + h.timecnt;
    for (uint32_t k = 0; k < h.typecnt; ++k) {
        const int64_t off = be(info + 6 * k, 4);
        if (off < -26 * 3600 || off > 26 * 3600) {
            return false;
        }
        types_.push_back({static_cast<int32_t>(off), info[6 * k + 4] != 0});
    }
    for (uint32_t k = 0; k < h.timecnt; ++k) {
        if (idx[k] >= h.typecnt) {
            return false;
        }
        const int64_t t = be(p + k * time_size, time_size);
        if (!transitions_.empty() && t <= transitions_.back().at) {
            return false;
        }
        transitions_.push_back({t, idx[k]});
    }
    return true;
}

bool TzFile::load(const std::string &zone) {
    // A zone name is a relative path of letters, digits and _-+/; anything
    // else (a POSIX rule, "..") is no file of the database.
    if (zone.empty() || zone[0] == '/' || zone.find("..") != std::string::npos) {
        return false;
    }
    for (char c : zone) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
                        c == '-' || c == '+' || c == '/';
        if (!ok) {
            return false;
        }
    }
    const std::string path = std::string(TZFILE_DIR) + "/" + zone;
    const int fd = sys_open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return false;
    }
    std::string b(kMaxFile, '\0');
    const ssize_t n = sys_read_all(fd, b.data(), b.size());
    sys_close(fd);
    if (n <= 0 || static_cast<size_t>(n) == b.size()) {
        return false;
    }
    b.resize(static_cast<size_t>(n));
    return parse(b);
}

const TzFile::Type &TzFile::type_at(int64_t t) const {
    size_t lo = 0;
    size_t hi = transitions_.size();
    while (lo < hi) {  // first transition after t
        const size_t mid = (lo + hi) / 2;
        if (transitions_[mid].at <= t) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    if (lo == 0) {
        // Before the first transition: the first standard-time type.
        for (const Type &ty : types_) {
            if (!ty.dst) {
                return ty;
            }
        }
        return types_[0];
    }
    return types_[transitions_[lo - 1].type];
}

bool TzFile::to_local(time_t t, struct tm *out) const {
    const Type &ty = type_at(t);
    const time_t local = t + ty.utoff;
    if (gmtime_r(&local, out) == nullptr) {
        return false;
    }
    out->tm_isdst = ty.dst ? 1 : 0;
    out->tm_gmtoff = ty.utoff;
    return true;
}

time_t TzFile::from_local(const struct tm &local) const {
    struct tm copy = local;
    const time_t wall = timegm(&copy);  // normalises the fields as mktime does
    if (wall == static_cast<time_t>(-1)) {
        return -1;
    }
    // The offsets in force a day before and a day after cover any change of
    // the clock near wall; an offset fits when it is in force at the instant
    // it gives. Of two that fit (the hour the clock goes back) the earlier
    // instant is taken; when none fits (the hour it skips) the offset from
    // before the change moves the time forward. Both as the C library does.
    const int32_t before = type_at(wall - 86400).utoff;
    const int32_t after = type_at(wall + 86400).utoff;
    const time_t t_before = wall - before;
    const time_t t_after = wall - after;
    const bool fits_before = type_at(t_before).utoff == before;
    const bool fits_after = type_at(t_after).utoff == after;
    if (fits_before && fits_after) {
        return std::min(t_before, t_after);
    }
    if (fits_after) {
        return t_after;
    }
    return t_before;
}

std::mutex tz_env_mutex;

std::string tz_meter_zone() {
    const int fd = sys_open(TZFILE_METER_ZONE, O_RDONLY);
    if (fd < 0) {
        sys_log(LOG_INFO, "No timezone file in /config/timezone");
        return "UTC";
    }
    char buf[32] = {};
    const ssize_t n = sys_read_all(fd, buf, sizeof buf - 1);
    sys_close(fd);
    std::string text(buf, n > 0 ? static_cast<size_t>(n) : 0);
    const size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        text.resize(nul);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.pop_back();
    }
    size_t first = 0;
    while (first < text.size() && std::isspace(static_cast<unsigned char>(text[first]))) {
        ++first;
    }
    text.erase(0, first);
    if (text.empty()) {
        sys_log(LOG_WARNING, "timezone file empty");
        return "UTC";
    }
    return text;
}

void MeterZone::load() {
    zone_ = tz_meter_zone();
    utc_ = zone_ == "UTC";
    file_ = !utc_ && tz_.load(zone_);
}

bool MeterZone::to_local(time_t t, struct tm *out) const {
    if (utc_) {
        return gmtime_r(&t, out) != nullptr;
    }
    if (file_) {
        return tz_.to_local(t, out);
    }
    return tz_with_zone(zone_, [&] { return localtime_r(&t, out) != nullptr; });
}

time_t MeterZone::from_local(const struct tm &local) const {
    struct tm t = local;
    if (utc_) {
        return timegm(&t);
    }
    if (file_) {
        return tz_.from_local(t);
    }
    t.tm_isdst = -1;
    return tz_with_zone(zone_, [&] { return mktime(&t); });
}
