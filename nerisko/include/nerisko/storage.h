#pragma once
// Trend files: for every voltage set and load one file per day under
// /data/set_<set>/<load id>/<time>, headed by the channel mapping in force
// and followed by one record per five-minute result, kept for 61 days and
// at most 1000 files per load. Readers of the files are outside the program.
//
// How an append commits and how start-up tells a good file: see the note
// at the top of nerisko/storage.cpp.
//
// storage_store_five_minutes makes the records on the processing thread and
// hands their writes to the file writer (nerisko/writer.h), in order;
// storage_init waits for those of the run before, and the two take one lock,
// so a restart of the measurement never overlaps a five-minute write.

#include "arvent.h"
#include "nerisko/data.h"
#include "nerisko/event.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include <sys/types.h>

constexpr size_t STORAGE_HEADER_SIZE = sizeof(mapping);  // 11112
constexpr uint32_t STORAGE_LOADS = 48;
constexpr uint32_t STORAGE_SETS = 2;
constexpr time_t STORAGE_MAX_AGE = 5270400;  // 61 days, s
constexpr size_t STORAGE_MAX_FILES = 1000;   // trend files per load folder
constexpr size_t STORAGE_PATH_SIZE = 50;

// One five-minute result reduced to one load (1408 bytes, little-endian).
struct storage_record_t {
    uint32_t time;  // s since the epoch when written
    uint32_t fill0;
    uint32_t set;  // voltage set 0 or 1 (processing slot)
    uint32_t fill1;
    uint64_t ts_begin;  // 200 MHz ticks
    uint64_t ts_end;
    uint8_t flags;  // low byte of the result's flags
    uint8_t fill2[3];
    float samples;
    data_float_t frequency;
    data_u_set set_u;
    uint32_t fill3;
    data_i_set load;
};
static_assert(sizeof(storage_record_t) == 1408);
static_assert(offsetof(storage_record_t, set) == 8 && offsetof(storage_record_t, ts_begin) == 16 &&
              offsetof(storage_record_t, ts_end) == 24 && offsetof(storage_record_t, flags) == 32 &&
              offsetof(storage_record_t, samples) == 36 && offsetof(storage_record_t, frequency) == 40 &&
              offsetof(storage_record_t, set_u) == 48 && offsetof(storage_record_t, fill3) == 236 &&
              offsetof(storage_record_t, load) == 240);

// Starts every set's and load's file at the current time with m as header,
// creates the folders, runs the one-time migration of old trend files and
// removes old files. False when the clock or the day change cannot be had.
bool storage_init(const mapping *m);
// Five-minute callback: appends one record per load of the set (through the
// file writer). A load whose write fails is logged and the next load is
// still written.
void storage_store_five_minutes(event_data_t *ev);
// /data/set_<set>/<load>/<time> into out.
void storage_path(uint32_t set, uint32_t load, time_t time, char out[STORAGE_PATH_SIZE]);
// The next local midnight after t in the meter's time zone.
bool storage_next_day(time_t t, time_t *out);
// Removes the trend files of folder older than 61 days, with their companions.
void storage_remove_old(const char *folder);
// Age clean-up of the load's folder in every set folder; with all, of every
// load folder, each also cut to its newest 1000 trend files.
void storage_cleanup(bool all, uint32_t load);
// Orders two file times ascending.
int storage_compare_ts(const void *a, const void *b);

// The current file of a set and load (tests).
std::string storage_current_path(uint32_t set, uint32_t load);
// The record that an append writes (tests, migration).
void storage_make_record(storage_record_t *r, uint32_t time, const data_set_t *d, const data_i_set *load);
// Brings a trend file back to its header and good records (see
// nerisko/storage.cpp); false when that fails.
bool storage_repair(const std::string &path);
// The same, telling the length of the file afterwards and whether its
// header equals want.
struct TrendState {
    off_t length = 0;
    bool header_matches = false;
};
bool storage_repair(const std::string &path, const mapping *want, TrendState *out);
// Checks the newest trend file of every load folder (a power cut may have
// left its last record torn or zero-filled); storage_init runs it.
void storage_recover();

// The one-time migration of the earlier format (one file per set and day in
// /data/set_<n>, whole results) to per-load trend files.
constexpr const char *STORAGE_MIGRATION_MARKER = "/data/migrationSucess";
constexpr size_t OLD_HEADER_SIZE = 10920;
constexpr size_t OLD_RECORD_SIZE = 8 + sizeof(data_set_t);  // 56304
constexpr uint32_t OLD_TIME_THRESHOLD = 1514764799;          // records at or before it are dropped
// Old files that cannot be converted are moved whole to <this>/set_<n>/.
constexpr const char *STORAGE_KEPT_FOLDER = "/data/unmigrated";

// The migration as a start runs it: nothing when the marker exists;
// otherwise convert and verify, then delete the old files and set the marker.
void storage_migrate();
// Converts every old file and verifies each converted file byte for byte;
// true only then (also when there is nothing to convert). The old files are
// left in place.
bool initDataMigration();
// Copies the old files to /data/backup/set_<n>/ durably; false on failure.
bool backupSetData();
// At least 9 and at most 11 characters, all decimal digits.
bool checkSetFileIsValidTimeStampFile(const char *name);
// Checks every converted file of set n against its old file.
bool reReadTheFileToTest(int set);
// Deletes the converted old files; false when one of them stays.
bool logAndDeleteSetFilesMigrated();
