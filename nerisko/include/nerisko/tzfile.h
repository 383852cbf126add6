#pragma once
// Local time of a zone of the time-zone database, read from its TZif file,
// so that a conversion never needs the process's TZ: changing TZ would
// disturb every other thread's local time.

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

constexpr const char *TZFILE_DIR = "/usr/share/zoneinfo";
// The file that names the meter's time zone.
constexpr const char *TZFILE_METER_ZONE = "/config/timezone";

class TzFile {
public:
    // Reads the zone (a name such as "Europe/Berlin") from the database
    // folder; false for a text that names no file there (a POSIX rule) or a
    // file that is not a whole TZif file.
    bool load(const std::string &zone);
    // The same from the bytes of a TZif file.
    bool parse(const std::string &bytes);
    // Broken-down local time of t (tm_isdst and tm_gmtoff set).
    bool to_local(time_t t, struct tm *out) const;
    // The instant of a local time; its fields are normalised as mktime
    // normalises them, and daylight saving is the one in force at that
    // instant (tm_isdst is not read). -1 when it cannot be represented.
    time_t from_local(const struct tm &local) const;

private:
    struct Type {
        int32_t utoff;  // seconds east of UTC
        bool dst;
    };
    struct Transition {
        int64_t at;
        uint8_t type;
    };
    const Type &type_at(int64_t t) const;
    std::vector<Transition> transitions_;
    std::vector<Type> types_;
};

// The zone text of /config/timezone without surrounding blanks and line
// ends; "UTC" when the file is missing or holds nothing.
std::string tz_meter_zone();

// Held while TZ is set to a zone given as a POSIX rule (tz_with_zone).
extern std::mutex tz_env_mutex;

// Runs f with TZ set to zone, then puts TZ back as it was. Only for a zone
// that has no file in the database (a POSIX rule): the C library is then
// the only converter. The program sets TZ before any thread starts, so this
// only swaps its value.
template <typename F>
auto tz_with_zone(const std::string &zone, F f) {
    std::lock_guard lock(tz_env_mutex);
    const char *old = std::getenv("TZ");
    const std::optional<std::string> saved = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
    setenv("TZ", zone.c_str(), 1);
    tzset();
    auto result = f();
    if (saved) {
        setenv("TZ", saved->c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
    return result;
}

// Local time in the meter's zone (/config/timezone, read once by load):
// UTC, the zone's TZif file, or the C library under tz_with_zone for a
// POSIX rule.
class MeterZone {
public:
    void load();
    bool to_local(time_t t, struct tm *out) const;
    // As TzFile::from_local; -1 when it cannot be represented.
    time_t from_local(const struct tm &local) const;

private:
    std::string zone_ = "UTC";
    bool utc_ = true;
    bool file_ = false;
    TzFile tz_;
};
