// Trend files.
//
// How an append commits (file P of one load; layout in nerisko/storage.h):
//   the record (after the header when P is new) is written at P's end and P
//   is fsynced; nothing else of P is read or written. A new P also gets its
//   P_flag, and its folder is fsynced once, when its first append is durable.
//   An append never rewrites a byte that an earlier append made durable, so a
//   crash or power cut can only leave the interrupted record torn, zero-filled
//   (blocks the file system allocated but never wrote) or missing.
// How start-up tells a good file: P is good up to its last good record; its
// header must be whole, and a record is good when its time stamps (`time`
// and `ts_end`) are not zero and it comes after the record before it (a
// later time, or the same time and a later end). What follows the last good
// record is cut off (the good part copied to P.tmp, fsynced, renamed over P,
// folder fsynced); a P without a whole header holds no record and is removed
// with its companions (P_flag first). storage_init (the newest file of each load folder), the
// first append of a run to P and the start of a new file (the files of its
// folder without a P_flag) check files this way.
// Files of the earlier commit rule (P copied to P_bu before each append,
// P_flag removed during it) are read and continued: a P without P_flag whose
// P_bu holds more good records than P is taken from P_bu, then P_bu goes.
//
// A file continued in a run whose mapping differs from its header is not
// continued: the records go to a new file named by the time of the append.

#include "nerisko/storage.h"
#include "nerisko/storage_io.h"
#include "nerisko/tzfile.h"
#include "nerisko/writer.h"

#include "meter/sysio.h"

#include <fcntl.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

std::mutex storage_mutex;

char paths[STORAGE_SETS][STORAGE_LOADS][STORAGE_PATH_SIZE];
time_t next_day[STORAGE_SETS][STORAGE_LOADS];
time_t last_write_tzfile[STORAGE_SETS][STORAGE_LOADS];
mapping storage_mapping;

bool make_folder(const std::string &path) {
    if (sys_mkdir(path.c_str(), 0755) == 0) {
        // The new name must survive a power cut, or the files in it go too.
        sys_fsync_dir(storage_folder_of(path).c_str());
        return true;
    }
    if (errno == EEXIST) {
        return true;
    }
    sys_log(LOG_ERR, "Failed to create folder %s", path.c_str());
    return false;
}

// Unlinks path when it exists; true when it is gone.
bool remove_if_there(const std::string &path) {
    if (sys_unlink(path.c_str()) == 0) {
        return true;
    }
    return errno == ENOENT;
}

// The files of a load folder that start a new file: every other trend file
// whose last append did not complete is repaired. Each file is judged by its
// own companions only.
void sweep_folder(const std::string &folder, const std::string &except) {
    std::vector<std::string> names;
    if (sys_list_dir(folder.c_str(), &names) != 0) {
        return;
    }
    const std::set<std::string> present(names.begin(), names.end());
    for (const std::string &name : names) {
        if (!storage_is_trend_name(name) || folder + "/" + name == except) {
            continue;
        }
        const bool flag = present.count(name + "_flag") != 0;
        const bool loose = present.count(name + "_bu") != 0 || present.count(name + "_bu.tmp") != 0 ||
                           present.count(name + ".tmp") != 0;
        if (!flag || loose) {
            storage_repair(folder + "/" + name);
        }
    }
}

// The file each load's appends go to, as far as this run has checked it.
struct Current {
    std::string path;  // "" until checked
    off_t length = 0;  // header and records
};
Current current[STORAGE_SETS][STORAGE_LOADS];

// A name for the load's records beside a file they cannot continue.
std::string fresh_path(uint32_t s, uint32_t l, time_t now) {
    char p[STORAGE_PATH_SIZE];
    for (time_t t = now;; ++t) {
        storage_path(s, l, t, p);
        if (storage_file_size(p) < 0 && storage_file_size(std::string(p) + "_bu") < 0) {
            return p;
        }
    }
}

// Appends one record to the load's current file; false (logged) when it
// could not be written, and the file is checked again before the next.
bool append_record(uint32_t s, uint32_t l, time_t now, const storage_record_t &record) {
    Current &c = current[s][l];
    std::string p = paths[s][l];
    if (c.path != p) {
        TrendState st;
        if (!storage_repair(p, &storage_mapping, &st)) {
            sys_log(LOG_ERR, "failed to open data storage file %s", p.c_str());
            return false;
        }
        if (st.length > 0 && !st.header_matches) {
            // Its records were taken under another mapping.
            p = fresh_path(s, l, now);
            sys_log(LOG_INFO, "Trend file %s has another mapping, records go to %s", paths[s][l], p.c_str());
            std::snprintf(paths[s][l], STORAGE_PATH_SIZE, "%s", p.c_str());
            st.length = 0;
        }
        c.path = p;
        c.length = st.length;
    }
    const bool fresh = c.length == 0;
    const std::string folder = storage_folder_of(p);
    if (fresh) {
        sweep_folder(folder, p);
    }
    c.path.clear();  // until the append is durable
    const int fd = sys_open(p.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd < 0) {
        sys_log(LOG_ERR, "failed to open data storage file %s", p.c_str());
        return false;
    }
    if (fresh &&
        sys_write_all(fd, &storage_mapping, STORAGE_HEADER_SIZE) != static_cast<ssize_t>(STORAGE_HEADER_SIZE)) {
        sys_log(LOG_ERR, "failed to write header");
        sys_log(LOG_ERR, "failed to write header to data storage file %s", p.c_str());
        sys_close(fd);
        return false;
    }
    if (sys_write_all(fd, &record, sizeof record) != static_cast<ssize_t>(sizeof record)) {
        sys_log(LOG_ERR, "failed to write data");
        sys_log(LOG_ERR, "failed to write data to data storage file %s", p.c_str());
        sys_close(fd);
        return false;
    }
    if (sys_fsync(fd) != 0) {
        sys_log(LOG_ERR, "failed to sync data storage file %s", p.c_str());
        sys_close(fd);
        return false;
    }
    if (sys_close(fd) != 0) {
        sys_log(LOG_ERR, "failed to close data storage file %s", p.c_str());
        return false;
    }
    if (fresh) {
        if (!storage_create_flag(p + "_flag")) {
            sys_log(LOG_ERR, "Failed to create the enery flag file - %s", (p + "_flag").c_str());
            return false;
        }
        if (sys_fsync_dir(folder.c_str()) != 0) {
            sys_log(LOG_ERR, "failed to sync data storage folder %s", folder.c_str());
            return false;
        }
    }
    c.path = p;
    c.length = (fresh ? static_cast<off_t>(STORAGE_HEADER_SIZE) : c.length) + static_cast<off_t>(sizeof record);
    return true;
}

void recover_folders() {
    for (uint32_t s = 0; s < STORAGE_SETS; ++s) {
        for (uint32_t l = 0; l < STORAGE_LOADS; ++l) {
            const std::string folder = "/data/set_" + std::to_string(s) + "/" + std::to_string(l);
            std::vector<std::string> names;
            if (sys_list_dir(folder.c_str(), &names) != 0) {
                continue;
            }
            unsigned long long newest = 0;
            bool any = false;
            for (const std::string &name : names) {
                if (storage_is_trend_name(name)) {
                    newest = std::max(newest, std::strtoull(name.c_str(), nullptr, 10));
                    any = true;
                }
            }
            if (any) {
                const std::string p = folder + "/" + std::to_string(newest);
                if (!storage_repair(p)) {
                    sys_log(LOG_ERR, "Failed to repair %s", p.c_str());
                }
            }
        }
    }
}

bool tz_mtime(time_t *out) {
    struct stat st {};
    if (sys_stat(TZFILE_METER_ZONE, &st) != 0) {
        return false;
    }
    *out = st.st_mtime;
    return true;
}

void remove_with_companions(const std::string &path) {
    for (const char *suffix : {"_flag", "_bu", "_bu.tmp", ".tmp"}) {
        remove_if_there(path + suffix);
    }
}

void cut_to_newest(const std::string &folder) {
    std::vector<std::string> names;
    if (sys_list_dir(folder.c_str(), &names) != 0) {
        return;
    }
    std::vector<unsigned long long> times;
    for (const std::string &name : names) {
        if (storage_is_trend_name(name)) {
            times.push_back(std::strtoull(name.c_str(), nullptr, 10));
        }
    }
    if (times.size() <= STORAGE_MAX_FILES) {
        return;
    }
    sys_log(LOG_INFO, "Too many files in data folder %s. Cleanup", folder.c_str());
    std::sort(times.begin(), times.end());
    for (size_t k = 0; k < times.size() - STORAGE_MAX_FILES; ++k) {
        const std::string path = folder + "/" + std::to_string(times[k]);
        sys_log(LOG_INFO, "Cleanup old data file %s", path.c_str());
        if (sys_unlink(path.c_str()) != 0) {
            sys_log(LOG_ERR, "Error removing data file %s (error %d)", path.c_str(), errno);
            continue;
        }
        remove_with_companions(path);
    }
}

}  // namespace

namespace {

bool record_follows(const storage_record_t &r, const storage_record_t *before) {
    if (r.time == 0 || r.ts_end == 0) {
        return false;
    }
    return before == nullptr || r.time > before->time || (r.time == before->time && r.ts_end > before->ts_end);
}

bool read_record(int fd, off_t at, storage_record_t *r) {
    return sys_lseek(fd, at, SEEK_SET) == at && sys_read_all(fd, r, sizeof *r) == static_cast<ssize_t>(sizeof *r);
}

// The good part of a trend file (see the note at the top). A torn or
// zero-filled tail is at most a few records long, so the file is read from
// its end back to the last record that follows the one before it.
struct TrendScan {
    off_t size = -1;  // -1: no file
    off_t good = 0;   // header and good records; 0 without a whole header
    bool header_matches = false;
};

bool scan_trend(const std::string &path, const mapping *want, TrendScan *out) {
    *out = TrendScan{};
    out->size = storage_file_size(path);
    if (out->size < static_cast<off_t>(STORAGE_HEADER_SIZE)) {
        return true;
    }
    const int fd = sys_open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return false;
    }
    static mapping header;
    bool ok = sys_read_all(fd, &header, sizeof header) == static_cast<ssize_t>(sizeof header);
    out->header_matches = ok && want != nullptr && std::memcmp(&header, want, sizeof header) == 0;
    const auto first = static_cast<off_t>(STORAGE_HEADER_SIZE);
    const auto size = static_cast<off_t>(sizeof(storage_record_t));
    off_t k = (out->size - first) / size;
    out->good = first;
    storage_record_t r{};
    storage_record_t before{};
    while (ok && k > 0) {
        const off_t at = first + (k - 1) * size;
        ok = read_record(fd, at, &r);
        if (ok && record_follows(r, nullptr)) {
            if (k == 1) {
                out->good = at + size;
                break;
            }
            ok = read_record(fd, at - size, &before);
            if (ok && record_follows(r, &before)) {
                out->good = at + size;
                break;
            }
        }
        --k;
    }
    sys_close(fd);
    return ok;
}

}  // namespace

bool storage_repair(const std::string &p) { return storage_repair(p, nullptr, nullptr); }

bool storage_repair(const std::string &p, const mapping *want, TrendState *out) {
    const std::string flag = p + "_flag";
    const std::string backup = p + "_bu";
    TrendScan scan;
    if (!scan_trend(p, want, &scan)) {
        return false;
    }
    const bool have_flag = storage_file_size(flag) >= 0;
    const off_t bu_size = storage_file_size(backup);
    bool changed = false;
    TrendScan bu;
    if (!have_flag && bu_size >= 0 && scan_trend(backup, want, &bu) && bu.good > scan.good) {
        // An append of the earlier rule did not complete and the file lost
        // more than it.
        sys_log(LOG_INFO, "Found a backup file - %s", backup.c_str());
        if (!storage_copy_durably(backup, p, bu.good)) {
            sys_log(LOG_ERR, "Failed to restore %s from its backup", p.c_str());
            return false;
        }
        sys_log(LOG_INFO, "Energy file created from backup file - %s", p.c_str());
        scan = bu;
        scan.size = bu.good;
        changed = true;
    } else if (scan.size >= 0 && scan.good == 0) {
        // Killed before its header was whole (a new file's first append): it
        // holds no record and no reader could tell whose it is. The flag goes
        // first, so that a crash in between leaves a file that is judged again.
        sys_log(LOG_ERR, "Trend file %s has no whole header, removed", p.c_str());
        remove_with_companions(p);
        if (!remove_if_there(p)) {
            sys_log(LOG_ERR, "Failed to repair %s", p.c_str());
            return false;
        }
        sys_fsync_dir(storage_folder_of(p).c_str());
        if (out != nullptr) {
            *out = TrendState{};
        }
        return true;
    } else if (scan.size > scan.good) {
        sys_log(LOG_ERR, "Trend file %s ends in a torn record, cut to %lld bytes", p.c_str(),
                static_cast<long long>(scan.good));
        if (!storage_copy_durably(p, p, scan.good)) {
            sys_log(LOG_ERR, "Failed to repair %s", p.c_str());
            return false;
        }
        scan.size = scan.good;
        changed = true;
    }
    if (out != nullptr) {
        out->length = std::max<off_t>(scan.size, 0);
        out->header_matches = scan.header_matches;
    }
    if (scan.size < 0 && !changed) {
        // Nothing to repair; a backup of no file is left over.
        if (bu_size >= 0 && !remove_if_there(backup)) {
            sys_log(LOG_ERR, "Failed to remove the backup file - %s", backup.c_str());
        }
        return true;
    }
    if (have_flag && bu_size < 0 && !changed) {
        return true;
    }
    // The file is whole again: mark it so, then drop what recovery used.
    if (!storage_create_flag(flag)) {
        sys_log(LOG_ERR, "Failed to create the enery flag file - %s", flag.c_str());
        return false;
    }
    if (!remove_if_there(backup)) {
        sys_log(LOG_ERR, "Failed to remove the backup file - %s", backup.c_str());
    }
    remove_if_there(backup + ".tmp");
    remove_if_there(p + ".tmp");
    sys_fsync_dir(storage_folder_of(p).c_str());
    return true;
}

void storage_path(uint32_t set, uint32_t load, time_t time, char out[STORAGE_PATH_SIZE]) {
    // long long: a 32-bit long would wrap the name in 2038.
    std::snprintf(out, STORAGE_PATH_SIZE, "/data/set_%u/%u/%lld", set, load, static_cast<long long>(time));
}

bool storage_next_day(time_t t, time_t *out) {
    MeterZone zone;
    zone.load();
    struct tm local {};
    if (!zone.to_local(t, &local)) {
        sys_log(LOG_ERR, "failed to get time info");
        return false;
    }
    local.tm_hour = 0;
    local.tm_min = 0;
    local.tm_sec = 0;
    local.tm_mday += 1;
    const time_t next = zone.from_local(local);
    if (next == static_cast<time_t>(-1) || next <= t) {
        sys_log(LOG_ERR, "failed to get time info");
        return false;
    }
    *out = next;
    return true;
}

int storage_compare_ts(const void *a, const void *b) {
    const auto x = *static_cast<const int64_t *>(a);
    const auto y = *static_cast<const int64_t *>(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

void storage_remove_old(const char *folder) {
    const time_t now = sys_time();
    std::vector<std::string> names;
    if (sys_list_dir(folder, &names) != 0) {
        sys_log(LOG_ERR, "Error opening set folder for cleanup");
        return;
    }
    for (const std::string &name : names) {
        if (name.empty() || name[0] < '0' || name[0] > '9') {
            continue;
        }
        const long long t = std::strtoll(name.c_str(), nullptr, 10);
        if (t < static_cast<long long>(now) - STORAGE_MAX_AGE) {
            const std::string path = std::string(folder) + "/" + name;
            if (sys_unlink(path.c_str()) != 0 && errno != ENOENT) {
                sys_log(LOG_ERR, "Error removing data file %s (error %d)", path.c_str(), errno);
            }
        }
    }
}

void storage_cleanup(bool all, uint32_t load) {
    std::vector<std::string> names;
    if (sys_list_dir("/data", &names) != 0) {
        sys_log(LOG_ERR, "Error opening data folder for cleanup");
        return;
    }
    for (const std::string &name : names) {
        if (name.rfind("set_", 0) != 0) {
            continue;
        }
        const std::string set_folder = "/data/" + name;
        if (!all) {
            storage_remove_old((set_folder + "/" + std::to_string(load)).c_str());
            continue;
        }
        for (uint32_t l = 0; l < STORAGE_LOADS; ++l) {
            const std::string folder = set_folder + "/" + std::to_string(l);
            storage_remove_old(folder.c_str());
            cut_to_newest(folder);
        }
    }
}

bool storage_init(const mapping *m) {
    // Records of the run before go to its files first.
    writer_flush();
    std::lock_guard lock(storage_mutex);
    const time_t now = sys_time();
    if (now == static_cast<time_t>(-1)) {
        sys_log(LOG_ERR, "failed to get timestamp");
        return false;
    }
    time_t next = 0;
    if (!storage_next_day(now, &next)) {
        sys_log(LOG_ERR, "failed to get next timestamp");
        return false;
    }
    time_t mtime = 0;
    const bool tz_known = tz_mtime(&mtime);
    for (uint32_t s = 0; s < STORAGE_SETS; ++s) {
        for (uint32_t l = 0; l < STORAGE_LOADS; ++l) {
            next_day[s][l] = next;
            storage_path(s, l, now, paths[s][l]);
            // New files start here anyway: a zone change seen before them
            // must not start yet another one at the first append.
            last_write_tzfile[s][l] = tz_known ? mtime : 0;
        }
    }
    std::memcpy(&storage_mapping, m, sizeof storage_mapping);
    for (auto &set : current) {
        for (Current &c : set) {
            c = Current{};
        }
    }
    make_folder("/data");
    for (uint32_t s = 0; s < STORAGE_SETS; ++s) {
        const std::string set_folder = "/data/set_" + std::to_string(s);
        make_folder(set_folder);
        for (uint32_t l = 0; l < STORAGE_LOADS; ++l) {
            make_folder(set_folder + "/" + std::to_string(l));
        }
    }
    storage_migrate();
    // Cheap (a file's end is read), and a run that ended in a crash may have
    // left the last record of a file that no later run continues.
    recover_folders();
    storage_cleanup(true, 0);
    return true;
}

void storage_recover() {
    std::lock_guard lock(storage_mutex);
    recover_folders();
}

namespace {

using Batch = std::vector<std::pair<uint32_t, storage_record_t>>;  // load id, record

// The writes of one five-minute result, on the file writer.
void store_batch(uint32_t s, time_t now, const Batch &batch) {
    std::lock_guard lock(storage_mutex);
    time_t mtime = 0;
    const bool tz_known = tz_mtime(&mtime);
    for (const auto &[l, record] : batch) {
        const bool day_passed = now >= next_day[s][l];
        bool zone_changed = false;
        if (tz_known && mtime != last_write_tzfile[s][l]) {
            zone_changed = true;
            last_write_tzfile[s][l] = mtime;
        } else if (!tz_known && last_write_tzfile[s][l] != 0) {
            zone_changed = true;
            last_write_tzfile[s][l] = 0;
        }
        if (day_passed || zone_changed) {
            storage_cleanup(false, l);
            // A new day's file is named by its midnight; one started by a
            // change of zone by the moment of the change.
            storage_path(s, l, day_passed ? next_day[s][l] : now, paths[s][l]);
            time_t next = 0;
            if (storage_next_day(now, &next)) {
                next_day[s][l] = next;
            } else {
                sys_log(LOG_ERR, "failed to get next timestamp");
            }
        }
        append_record(s, l, now, record);
    }
}

}  // namespace

void storage_store_five_minutes(event_data_t *ev) {
    const data_set_t *d = ev->data;
    const uint32_t s = d->set;
    if (s >= STORAGE_SETS) {
        sys_log(LOG_ERR, "Invalid voltage set %u, no trend records", s);
        return;
    }
    const time_t now = sys_time();
    if (now == static_cast<time_t>(-1)) {
        sys_log(LOG_ERR, "failed to get timestamp");
        return;
    }
    // The records are made here, the files written by the file writer.
    auto batch = std::make_shared<Batch>();
    for (uint32_t slot = 0; slot < MAPPING_I_SET_MAX; ++slot) {
        if (ev->set == nullptr || ev->set->isets[slot] == nullptr) {
            continue;
        }
        const uint32_t l = d->sets_i[slot].load_id;
        if (l >= STORAGE_LOADS) {
            sys_log(LOG_ERR, "Invalid load id %u in slot %u, no trend record", l, slot);
            continue;
        }
        batch->emplace_back(l, storage_record_t{});
        // Past 2106 the records stay at the field's last second and follow
        // each other by their end tick; a wrap would make them older than the file.
        storage_make_record(&batch->back().second, sys_time_u32(now), d, &d->sets_i[slot]);
    }
    writer_queue([s, now, batch] { store_batch(s, now, *batch); });
}

std::string storage_current_path(uint32_t set, uint32_t load) {
    std::lock_guard lock(storage_mutex);
    if (set >= STORAGE_SETS || load >= STORAGE_LOADS) {
        return {};
    }
    return paths[set][load];
}
