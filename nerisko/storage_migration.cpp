// One-time conversion of the earlier trend format (one file per voltage set
// and day in /data/set_<n>, each record a whole five-minute result) into
// per-load trend files.
//
// Nothing old is lost at any point: the old files are first copied durably
// to /data/backup/set_<n>/; each converted file is written to a temporary
// file, fsynced and renamed (so a repeated run rewrites it whole, never
// appends a second header); every converted file is then read back and
// compared byte for byte with the records built again from its old file.
// Only when every comparison holds are the old files deleted, and only then
// is the marker set, so a run cut short at any step converts again.

#include "nerisko/storage.h"
#include "nerisko/storage_io.h"

#include "meter/sysio.h"

#include <fcntl.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct old_record_t {
    uint32_t time;
    uint32_t fill;
    data_set_t data;
};
static_assert(sizeof(old_record_t) == OLD_RECORD_SIZE && offsetof(old_record_t, data) == 8);
static_assert(OLD_HEADER_SIZE == offsetof(mapping, tail_values));

// The old names of each set folder, and the converted files of each set.
std::vector<std::string> set0timeStampFileName;
std::vector<std::string> set1timeStampFileName;
std::vector<std::string> set0OutFilePath;
std::vector<std::string> set1OutFilePath;

old_record_t old_record;

// The old files that cannot be converted (their header names no load of
// their set, or their records carry other loads than it names), moved whole.
std::vector<std::string> set0Kept;
std::vector<std::string> set1Kept;

std::vector<std::string> &kept_of(int n) { return n == 0 ? set0Kept : set1Kept; }

bool seen_active(const uint8_t *header) {
    for (size_t s = 0; s < MAPPING_U_SET_ID_MAX; ++s) {
        if (header[offsetof(mapping, sets_u) + s * sizeof(mapping_u_set) + offsetof(mapping_u_set, active)] != 0) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> &names_of(int n) { return n == 0 ? set0timeStampFileName : set1timeStampFileName; }
std::vector<std::string> &outputs_of(int n) { return n == 0 ? set0OutFilePath : set1OutFilePath; }

uint32_t u32_at(const uint8_t *p) {
    uint32_t v = 0;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The load ids of set folder n in slot order, as the processing of the old
// header placed them: folder n holds the n-th active voltage set, whose
// loads are the active ones naming its id, in mapping order.
// A header that names no active load of the folder's set (a mapping saved
// while its loads were switched off) still names the loads by their entries:
// then every entry of the set's id counts, active or not (an entry of zeros
// is no load), the set being the n-th active one or, with none active, the
// n-th entry.
bool loads_of(const uint8_t *header, int n, std::vector<uint32_t> *ids) {
    for (bool active_only : {true, false}) {
        ids->clear();
        int seen = 0;
        bool found = false;
        uint32_t set_id = 0;
        for (size_t s = 0; s < MAPPING_U_SET_ID_MAX && !found; ++s) {
            const uint8_t *u = header + offsetof(mapping, sets_u) + s * sizeof(mapping_u_set);
            if (u[offsetof(mapping_u_set, active)] == 0 && (active_only || seen_active(header))) {
                continue;
            }
            if (seen++ == n) {
                found = true;
                set_id = u32_at(u + offsetof(mapping_u_set, id));
            }
        }
        if (!found) {
            continue;
        }
        for (size_t j = 0; j < MAPPING_I_SET_MAX; ++j) {
            const uint8_t *e = header + offsetof(mapping, sets_i) + j * sizeof(mapping_i_set);
            const uint32_t id = u32_at(e + offsetof(mapping_i_set, id));
            const bool named = std::any_of(e, e + sizeof(mapping_i_set), [](uint8_t b) { return b != 0; });
            if ((e[offsetof(mapping_i_set, active)] != 0 || (!active_only && named)) &&
                u32_at(e + offsetof(mapping_i_set, u_set_id)) == set_id && id < STORAGE_LOADS) {
                ids->push_back(id);
            }
        }
        if (!ids->empty()) {
            return true;
        }
    }
    return false;
}

std::string old_path(int n, const std::string &name) { return "/data/set_" + std::to_string(n) + "/" + name; }
std::string new_path(int n, uint32_t id, const std::string &name) {
    return "/data/set_" + std::to_string(n) + "/" + std::to_string(id) + "/" + name;
}

// An old file open for reading with its header.
struct OldFile {
    int fd = -1;
    uint8_t header[OLD_HEADER_SIZE] = {};
    bool whole_header = false;
    ~OldFile() {
        if (fd >= 0) {
            sys_close(fd);
        }
    }
    bool open(const std::string &path) {
        fd = sys_open(path.c_str(), O_RDONLY);
        if (fd < 0) {
            sys_log(LOG_ERR, "Failed to open the file: %s\n", path.c_str());
            return false;
        }
        const ssize_t n = sys_read_all(fd, header, sizeof header);
        if (n < 0) {
            sys_log(LOG_ERR, "Failed to read the file: %s\n", path.c_str());
            return false;
        }
        whole_header = n == static_cast<ssize_t>(sizeof header);
        return true;
    }
    // The next record that is carried over: 1, 0 at the end (a torn last
    // record ends the file), -1 when a read fails.
    int next() {
        for (;;) {
            const ssize_t n = sys_read_all(fd, &old_record, sizeof old_record);
            if (n < 0) {
                return -1;
            }
            if (n != static_cast<ssize_t>(sizeof old_record)) {
                return 0;
            }
            if (old_record.time > OLD_TIME_THRESHOLD) {
                return 1;
            }
        }
    }
};

// The converted header: the old bytes, the rest of a mapping image zero.
void new_header(const uint8_t *old_header, uint8_t *out) {
    std::memset(out, 0, STORAGE_HEADER_SIZE);
    std::memcpy(out, old_header, OLD_HEADER_SIZE);
}

bool slots_match(const std::vector<uint32_t> &ids, const std::string &path) {
    for (size_t k = 0; k < ids.size(); ++k) {
        if (old_record.data.sets_i[k].load_id != ids[k]) {
            sys_log(LOG_ERR, "Data Migration - record of %s holds load %u in slot %zu, the header load %u\n",
                    path.c_str(), old_record.data.sets_i[k].load_id, k, ids[k]);
            return false;
        }
    }
    return true;
}

// Moves an old file that cannot be converted into the kept folder, durably;
// it then counts as done (its copy under /data/backup stays too).
bool keep_whole(int n, const std::string &name) {
    const std::string set_folder = std::string(STORAGE_KEPT_FOLDER) + "/set_" + std::to_string(n);
    for (const std::string &folder : {std::string(STORAGE_KEPT_FOLDER), set_folder}) {
        if (sys_mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
            sys_log(LOG_ERR, "Data Migration - failed to create %s\n", folder.c_str());
            return false;
        }
    }
    const std::string to = set_folder + "/" + name;
    if (sys_fsync_dir("/data") != 0 || sys_fsync_dir(STORAGE_KEPT_FOLDER) != 0 ||
        sys_rename(old_path(n, name).c_str(), to.c_str()) != 0 || sys_fsync_dir(set_folder.c_str()) != 0 ||
        sys_fsync_dir(("/data/set_" + std::to_string(n)).c_str()) != 0) {
        sys_log(LOG_ERR, "Data Migration - failed to keep %s in %s\n", old_path(n, name).c_str(), to.c_str());
        return false;
    }
    sys_log(LOG_ERR, "Data Migration - %s cannot be converted, kept whole in %s\n", old_path(n, name).c_str(),
            to.c_str());
    kept_of(n).push_back(name);
    return true;
}

bool convert(int n, const std::string &name) {
    const std::string from = old_path(n, name);
    OldFile old;
    if (!old.open(from)) {
        return false;
    }
    if (!old.whole_header) {
        sys_log(LOG_INFO, "Data Migration - %s holds no whole header, nothing to convert\n", from.c_str());
        return true;
    }
    std::vector<uint32_t> ids;
    if (!loads_of(old.header, n, &ids)) {
        sys_log(LOG_ERR, "Data Migration - no load of set_%d in %s\n", n, from.c_str());
        return keep_whole(n, name);
    }
    std::vector<int> fds(ids.size(), -1);
    std::vector<std::string> tmps(ids.size());
    auto fail = [&]() {
        for (size_t k = 0; k < ids.size(); ++k) {
            if (fds[k] >= 0) {
                sys_close(fds[k]);
            }
            if (!tmps[k].empty()) {
                sys_unlink(tmps[k].c_str());
            }
        }
        return false;
    };
    static uint8_t header[STORAGE_HEADER_SIZE];
    new_header(old.header, header);
    for (size_t k = 0; k < ids.size(); ++k) {
        const std::string folder = "/data/set_" + std::to_string(n) + "/" + std::to_string(ids[k]);
        if (sys_mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
            sys_log(LOG_ERR, "Failed to open the file for writing: %s\n", folder.c_str());
            return fail();
        }
        const std::string to = new_path(n, ids[k], name);
        tmps[k] = to + ".tmp";
        fds[k] = sys_open(tmps[k].c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fds[k] < 0 || sys_write_all(fds[k], header, sizeof header) != static_cast<ssize_t>(sizeof header)) {
            sys_log(LOG_ERR, "Failed to open the file for writing: %s\n", to.c_str());
            return fail();
        }
        outputs_of(n).push_back(to);
    }
    storage_record_t r;
    int got = 0;
    while ((got = old.next()) == 1) {
        if (!slots_match(ids, from)) {
            fail();
            return keep_whole(n, name);
        }
        for (size_t k = 0; k < ids.size(); ++k) {
            storage_make_record(&r, old_record.time, &old_record.data, &old_record.data.sets_i[k]);
            if (sys_write_all(fds[k], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) {
                sys_log(LOG_ERR, "Data Migration - failed to write %s\n", tmps[k].c_str());
                return fail();
            }
        }
    }
    if (got < 0) {
        sys_log(LOG_ERR, "Failed to read the file: %s\n", from.c_str());
        return fail();
    }
    for (size_t k = 0; k < ids.size(); ++k) {
        const std::string to = new_path(n, ids[k], name);
        const bool synced = sys_fsync(fds[k]) == 0;
        const bool closed = sys_close(fds[k]) == 0;
        fds[k] = -1;
        if (!synced || !closed || sys_rename(tmps[k].c_str(), to.c_str()) != 0 ||
            sys_fsync_dir(("/data/set_" + std::to_string(n) + "/" + std::to_string(ids[k])).c_str()) != 0) {
            sys_log(LOG_ERR, "Data Migration - failed to write %s\n", to.c_str());
            return fail();
        }
        tmps[k].clear();
    }
    return true;
}

const char *field_of(size_t offset) {
    if (offset < 4) {
        return "data.time \n";
    }
    if (offset >= 16 && offset < 24) {
        return "data.ts_begin \n";
    }
    if (offset >= 24 && offset < 32) {
        return "data.ts_end \n";
    }
    if (offset >= 32 && offset < 36) {
        return "data.flags \n";
    }
    if (offset >= 36 && offset < 40) {
        return "data.samples \n";
    }
    if (offset >= 40 && offset < 48) {
        return "data.frequency.value \n";
    }
    if (offset >= 48 && offset < 240) {
        return "data_u_set set_u\n";
    }
    if (offset >= 240 && offset < 244) {
        return "data_i_set sets_i load_id\n";
    }
    return "data_i_set sets_i\n";
}

// Compares every converted file of one old file with the records built
// again from it.
bool verify(int n, const std::string &name) {
    const std::string from = old_path(n, name);
    OldFile old;
    if (!old.open(from)) {
        return false;
    }
    std::vector<uint32_t> ids;
    if (!old.whole_header || !loads_of(old.header, n, &ids)) {
        return old.whole_header ? false : true;
    }
    std::vector<int> fds;
    bool ok = true;
    static uint8_t want_header[STORAGE_HEADER_SIZE];
    static uint8_t have_header[STORAGE_HEADER_SIZE];
    new_header(old.header, want_header);
    for (uint32_t id : ids) {
        const std::string to = new_path(n, id, name);
        const int fd = sys_open(to.c_str(), O_RDONLY);
        if (fd < 0) {
            sys_log(LOG_ERR, "Failed to open the file: %s\n", to.c_str());
            ok = false;
        } else if (sys_read_all(fd, have_header, sizeof have_header) != static_cast<ssize_t>(sizeof have_header) ||
                   std::memcmp(have_header, want_header, sizeof have_header) != 0) {
            sys_log(LOG_ERR, "Compare test failed for Load file:%s\n", to.c_str());
            sys_log(LOG_ERR, "header\n");
            ok = false;
        }
        fds.push_back(fd);
    }
    storage_record_t want;
    storage_record_t have;
    int got = 0;
    while (ok && (got = old.next()) == 1) {
        for (size_t k = 0; k < ids.size(); ++k) {
            storage_make_record(&want, old_record.time, &old_record.data, &old_record.data.sets_i[k]);
            const std::string to = new_path(n, ids[k], name);
            if (sys_read_all(fds[k], &have, sizeof have) != static_cast<ssize_t>(sizeof have)) {
                sys_log(LOG_ERR, "Compare test failed for Load file:%s\n", to.c_str());
                sys_log(LOG_ERR, "record missing\n");
                ok = false;
                continue;
            }
            const auto *a = reinterpret_cast<const uint8_t *>(&want);
            const auto *b = reinterpret_cast<const uint8_t *>(&have);
            for (size_t at = 0; at < sizeof want; ++at) {
                if (a[at] != b[at]) {
                    sys_log(LOG_ERR, "Compare test failed for Load file:%s\n", to.c_str());
                    sys_log(LOG_ERR, "%s", field_of(at));
                    ok = false;
                    break;
                }
            }
        }
    }
    ok = ok && got == 0;
    for (size_t k = 0; k < fds.size(); ++k) {
        uint8_t extra = 0;
        if (ok && sys_read_all(fds[k], &extra, 1) != 0) {
            sys_log(LOG_ERR, "Compare test failed for Load file:%s\n", new_path(n, ids[k], name).c_str());
            sys_log(LOG_ERR, "records beyond the old file\n");
            ok = false;
        }
        if (fds[k] >= 0) {
            sys_close(fds[k]);
        }
    }
    return ok;
}

bool list_old_files(int n) {
    std::vector<std::string> names;
    const std::string folder = "/data/set_" + std::to_string(n);
    if (sys_list_dir(folder.c_str(), &names) != 0) {
        // No folder: nothing to convert. A folder that cannot be read may
        // hold old files, which must not be left behind by a marker.
        if (errno == ENOENT) {
            return true;
        }
        sys_log(LOG_ERR, "Data Migration - cannot read %s\n", folder.c_str());
        return false;
    }
    for (const std::string &name : names) {
        if (checkSetFileIsValidTimeStampFile(name.c_str())) {
            names_of(n).push_back(name);
        }
    }
    return true;
}

}  // namespace

bool checkSetFileIsValidTimeStampFile(const char *name) {
    const size_t len = std::strlen(name);
    if (len < 9 || len > 11) {
        return false;
    }
    for (size_t k = 0; k < len; ++k) {
        if (name[k] < '0' || name[k] > '9') {
            return false;
        }
    }
    return true;
}

bool backupSetData() {
    for (const char *folder : {"/data/backup", "/data/backup/set_0", "/data/backup/set_1"}) {
        if (sys_mkdir(folder, 0755) != 0 && errno != EEXIST) {
            sys_log(LOG_ERR, "Data Migration - failed to create %s\n", folder);
            return false;
        }
    }
    sys_fsync_dir("/data");
    sys_fsync_dir("/data/backup");
    for (int n = 0; n < 2; ++n) {
        for (const std::string &name : names_of(n)) {
            const std::string to = "/data/backup/set_" + std::to_string(n) + "/" + name;
            if (!storage_copy_durably(old_path(n, name), to, -1)) {
                sys_log(LOG_ERR, "Data Migration - failed to back up %s\n", old_path(n, name).c_str());
                return false;
            }
        }
    }
    return true;
}

namespace {

bool is_kept(int n, const std::string &name) {
    const auto &kept = kept_of(n);
    return std::find(kept.begin(), kept.end(), name) != kept.end();
}

}  // namespace

bool reReadTheFileToTest(int set) {
    bool ok = true;
    for (const std::string &name : names_of(set)) {
        if (is_kept(set, name)) {
            continue;
        }
        ok = verify(set, name) && ok;
    }
    return ok;
}

bool initDataMigration() {
    bool listed = true;
    for (int n = 0; n < 2; ++n) {
        names_of(n).clear();
        outputs_of(n).clear();
        kept_of(n).clear();
        listed = list_old_files(n) && listed;
    }
    if (!listed) {
        return false;
    }
    if (set0timeStampFileName.empty() && set1timeStampFileName.empty()) {
        sys_log(LOG_INFO, "Data Migration - No old data set files to process further. Skipped!\n");
        return true;
    }
    if (!backupSetData()) {
        return false;
    }
    for (int n = 0; n < 2; ++n) {
        for (const std::string &name : names_of(n)) {
            if (!convert(n, name)) {
                return false;
            }
        }
    }
    return reReadTheFileToTest(0) && reReadTheFileToTest(1);
}

bool logAndDeleteSetFilesMigrated() {
    bool all = true;
    for (int n = 0; n < 2; ++n) {
        sys_log(LOG_INFO, "Number of set_%d files migrated: %d\n", n, static_cast<int>(names_of(n).size()));
        for (const std::string &name : names_of(n)) {
            if (is_kept(n, name)) {
                continue;
            }
            const std::string path = old_path(n, name);
            sys_log(LOG_INFO, "Data set file migrated: %s\n", path.c_str());
            if (sys_unlink(path.c_str()) != 0) {
                sys_log(LOG_ERR, "Failed to delete %s\n", path.c_str());
                all = false;
            }
        }
        // A set folder with no old file (or none at all) has nothing to sync.
        all = (names_of(n).empty() || sys_fsync_dir(("/data/set_" + std::to_string(n)).c_str()) == 0) && all;
    }
    return all;
}

void storage_migrate() {
    if (storage_file_size(STORAGE_MIGRATION_MARKER) >= 0) {
        sys_log(LOG_INFO, "Data Migration - Old data already migrated once\n");
    } else if (initDataMigration()) {
        sys_log(LOG_INFO, "Data Migration Succeeded\n");
        // The old files go first: a run cut short after that finds nothing
        // left to convert and only sets the marker.
        // One left behind is converted again (the same bytes) next time.
        if (!logAndDeleteSetFilesMigrated()) {
            sys_log(LOG_ERR, "Data Migration - old files left, converted again at the next start\n");
        } else if (!storage_create_flag(STORAGE_MIGRATION_MARKER) || sys_fsync_dir("/data") != 0) {
            sys_log(LOG_ERR, "Failed to create %s", STORAGE_MIGRATION_MARKER);
        }
    } else {
        sys_log(LOG_ERR, "Data Migration Failed\n");
    }
}
