#pragma once
// Local time of a zone of the time-zone database, read from its TZif file,
// so that a conversion never needs the process's TZ: changing TZ would
// disturb every other thread's local time.

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

constexpr const char *TZFILE_DIR = "/usr/share/zoneinfo";

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
