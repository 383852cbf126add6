// Energy registers, the energy file, and the minute and five-minute results.
//
// When the registers are saved: they live in memory and reach the energy
// file once a minute of closed seconds (the file writer does it, off the
// processing thread; a save still waiting is replaced by the newer one), and
// at once, before anything reloads or leaves them: a measurement restart and
// an EX stop (agg_init), a clean stop (agg_energy_stop); a billing reset asks
// for a save at the next closed second, and so does a save that failed. A
// power cut or a kill costs at most the last minute.
//
// How a save commits (per voltage set n):
//   1. the current energy file is read back; only when it is whole and its
//      registers are finite does it replace the backup ("_bu" + n): temporary
//      file, fsync, rename;
//   2. the flag ("_flag" + n) is removed;
//   3. the new image replaces the energy file: temporary file, fsync, rename,
//      and the folder is fsynced, which makes the three changes durable at
//      once (a power cut before it leaves all three undone);
//   4. the flag is created again and the folder fsynced.
// The energy file and the backup are each always whole (old or new), the
// backup one save older than the file.
//
// How start-up chooses: with the flag present the energy file is taken,
// unless it is unusable or one of its rising-only registers is below the
// backup's, in which case the backup is taken. Without the flag the file is
// taken when it is whole by the layout (nothing but registers and the
// reserved word set) and none of its rising-only registers is below the
// backup's: a kill after step 3 leaves the new image whole in the file, and
// the backup, a save older, would cost a second minute. Otherwise the backup
// is taken, or the file when the backup is unusable. A file is usable when
// it has exactly the image's size and every register is finite. A backup
// taken replaces the energy file; a file taken without its flag is made
// durable first (its rename may still be only in the page cache), so that
// a power cut after the start cannot take back what the run goes on from.
//
// The demand file (stats) is replaced without its own folder fsync: the next
// energy save's makes it durable. A power cut takes back at most the peaks
// of the last minute result (never below what was durable: a file goes back
// only to the one before it); a reset of the peaks rolled back this way is
// made again at start from the file's age.

#include "nerisko/agg.h"
#include "nerisko/acquisition.h"
#include "nerisko/agg_internal.h"
#include "nerisko/writer.h"

#include "meter/sysio.h"

#include <fcntl.h>
#include <syslog.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

avg_buf_t one_minute_avg_buf[2];
avg_buf_t five_minute_avg_buf[2];

namespace {

// Registers that only ever rise: all but the signed wh (0) and varh (2).
constexpr bool kRisingOnly[AGG_ENERGY_REGISTERS] = {false, true, false, true, true, true,
                                                    true,  true, true,  true, true};

// The image written by the last save, per set (static: no allocation and
// no 56 KB on the processing thread's stack).
avg_buf_t save_image[2];
avg_buf_t check_image;
// The last save of the set failed: the file is behind the registers.
bool save_failed[2];
// The registers in memory have moved on from the file (closed seconds, or a
// save that failed): what a restart must save before it reloads them.
bool registers_live[2];
// Closed seconds since the set's last save, and a save asked for.
uint32_t seconds_unsaved[2];
std::atomic<bool> save_asked[2];

std::string path_of(const char *stem, int set) { return std::string(stem) + std::to_string(set); }

bool exists(const std::string &path) {
    struct stat st {};
    return sys_stat(path.c_str(), &st) == 0;
}

data_double_t *ct_registers(data_i &c) { return &c.wh; }
data_double_t *load_registers(data_p_set &p) { return &p.wh; }

bool finite_registers(const avg_buf_t &a) {
    for (const data_i_set &l : a.data.sets_i) {
        for (const data_i &c : l.i) {
            const data_double_t *r = agg_ct_energy(c);
            for (uint32_t e = 0; e < AGG_ENERGY_REGISTERS; ++e) {
                if (!std::isfinite(r[e].value)) {
                    return false;
                }
            }
        }
        const data_double_t *r = agg_load_energy_of(l.p);
        for (uint32_t e = 0; e < AGG_ENERGY_REGISTERS; ++e) {
            if (!std::isfinite(r[e].value)) {
                return false;
            }
        }
    }
    return true;
}

// Some rising-only register of a is below b's.
bool falls_below(const avg_buf_t &a, const avg_buf_t &b) {
    for (uint32_t l = 0; l < 48; ++l) {
        for (uint32_t j = 0; j < 3; ++j) {
            const data_double_t *ra = agg_ct_energy(a.data.sets_i[l].i[j]);
            const data_double_t *rb = agg_ct_energy(b.data.sets_i[l].i[j]);
            for (uint32_t e = 0; e < AGG_ENERGY_REGISTERS; ++e) {
                if (kRisingOnly[e] && ra[e].value < rb[e].value) {
                    return true;
                }
            }
        }
        const data_double_t *ra = agg_load_energy_of(a.data.sets_i[l].p);
        const data_double_t *rb = agg_load_energy_of(b.data.sets_i[l].p);
        for (uint32_t e = 0; e < AGG_ENERGY_REGISTERS; ++e) {
            if (kRisingOnly[e] && ra[e].value < rb[e].value) {
                return true;
            }
        }
    }
    return false;
}

// Reads a whole energy image with finite registers into dst; false (dst
// unchanged) otherwise, with reason set to the log text.
bool read_image(const std::string &path, avg_buf_t *dst, const char **reason) {
    const int fd = sys_open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        *reason = "failed to open %s for reading";
        return false;
    }
    const ssize_t n = sys_read_all(fd, &check_image, sizeof check_image);
    uint8_t extra = 0;
    const bool longer = n == static_cast<ssize_t>(sizeof check_image) && sys_read_all(fd, &extra, 1) != 0;
    sys_close(fd);
    if (n != static_cast<ssize_t>(sizeof check_image) || longer) {
        *reason = "failed to read energies";
        return false;
    }
    if (!finite_registers(check_image)) {
        *reason = "Energy file %s holds registers that are not numbers";
        return false;
    }
    std::memcpy(dst, &check_image, sizeof check_image);
    return true;
}

bool create_flag(const std::string &flag) {
    const int fd = sys_open(flag.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        return false;
    }
    if (sys_close(fd) != 0) {
        return false;
    }
    return sys_fsync_dir("/data") == 0;
}

avg_buf_t load_main;
avg_buf_t load_backup;
avg_buf_t bare_image;

// Nothing but the registers and the reserved word is set, as in every image
// a save writes: a file rewritten in place by an earlier program and cut
// short shows itself by bytes out of place (or by zeros, below the backup).
bool only_registers(const avg_buf_t &a) {
    std::memset(&bare_image, 0, sizeof bare_image);
    agg_copy_energy(&a, &bare_image);
    return std::memcmp(&bare_image, &a, sizeof a) == 0;
}

// The file's data and its name in /data reach the disk.
bool make_durable(const std::string &path) {
    const int fd = sys_open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return false;
    }
    const bool synced = sys_fsync(fd) == 0;
    const bool closed = sys_close(fd) == 0;
    return synced && closed && sys_fsync_dir("/data") == 0;
}

// Chooses the registers of set n at start (see the note at the top): the
// chosen image, or nullptr when no usable file exists.
const avg_buf_t *recover(int n) {
    const std::string file = path_of("/data/energy_set_", n);
    const std::string backup = path_of("/data/energy_set_bu", n);
    const std::string flag = path_of("/data/energy_set_flag", n);
    const char *why_main = nullptr;
    const char *why_backup = nullptr;
    const bool have_flag = exists(flag);
    const bool main_ok = read_image(file, &load_main, &why_main);
    const bool backup_ok = read_image(backup, &load_backup, &why_backup);
    if (!main_ok && exists(file)) {
        sys_log(LOG_ERR, why_main, file.c_str());
    }
    bool take_backup = false;
    if (!have_flag) {
        sys_log(LOG_ERR, "Flag file does not exist - %s", flag.c_str());
        if (main_ok && only_registers(load_main) && (!backup_ok || !falls_below(load_main, load_backup))) {
            sys_log(LOG_INFO, "Energy file %s is whole and not behind its backup, it is taken", file.c_str());
        } else {
            sys_log(LOG_INFO, "Retrieving energy file from backedUp file");
            if (!backup_ok) {
                sys_log(LOG_ERR, "Backup file does not exist - %s", backup.c_str());
            }
            take_backup = backup_ok;
        }
    } else if (!main_ok) {
        take_backup = backup_ok;
    } else if (backup_ok && falls_below(load_main, load_backup)) {
        sys_log(LOG_ERR, "Energy file %s is behind its backup, the backup is taken", file.c_str());
        take_backup = true;
    }
    if (take_backup) {
        if (sys_replace_file(file.c_str(), &load_backup, sizeof load_backup) == 0) {
            sys_log(LOG_INFO, "Energy file created from backup file - %s", file.c_str());
        } else {
            sys_log(LOG_ERR, "Failed to restore %s from its backup", file.c_str());
        }
        return &load_backup;
    }
    if (main_ok) {
        if (!have_flag && !make_durable(file)) {
            sys_log(LOG_ERR, "Failed to sync %s", file.c_str());
        }
        sys_log(LOG_INFO, "check_energy_values_file - File found %s", file.c_str());
        sys_log(LOG_INFO, "Loading energy values from file.");
        return &load_main;
    }
    if (!exists(file)) {
        sys_log(LOG_ERR, "failed to open %s for reading", file.c_str());
    }
    return nullptr;
}

// One register block: the increments of one CT, added to the CT and its load.
// share: the part of the second that holds samples.
void advance(data_i &c, data_p_set &p, float share) {
    const float P = c.w.value * share;
    const float S = c.va.value * share;
    const float Q = c.var.value * share;
    float inc[AGG_ENERGY_REGISTERS] = {};
    inc[0] = P / 3600.0f;
    inc[1] = S / 3600.0f;
    inc[2] = Q / 3600.0f;
    if (P > 0.0f) {
        inc[3] = P / 3600.0f;
        inc[4] = S / 3600.0f;
    } else if (P < 0.0f) {
        inc[5] = std::fabs(P) / 3600.0f;
        inc[6] = S / 3600.0f;
    }
    const float absq = std::fabs(Q) / 3600.0f;
    switch (c.var_quadrant) {
    case 4: inc[7] = absq; break;
    case 3: inc[8] = absq; break;
    case 2: inc[9] = absq; break;
    case 1: inc[10] = absq; break;
    default: break;
    }
    data_double_t *rc = ct_registers(c);
    data_double_t *rp = load_registers(p);
    for (uint32_t e = 0; e < AGG_ENERGY_REGISTERS; ++e) {
        rc[e].value += inc[e];
        rp[e].value += inc[e];
    }
}

void collect_period(avg_buf_t *bufs, event_data_t *ev, uint32_t count, uint32_t kind) {
    const data_set_t *r = ev->data;
    const uint32_t s = r->set;
    if (s >= 2) {
        return;
    }
    avg_buf_t &m = bufs[s];
    if (m.data.ts_begin == 0) {
        m.data.set = s;
        m.data.ts_begin = r->ts_begin;
    }
    agg_accumulate(&m, r, 1.0f, false, true);
    if (static_cast<uint32_t>(m.weight) != count) {
        return;
    }
    agg_finish(&m);
    agg_fill_demand(&m, s);
    // The registers are the cumulative values at the end of the last input.
    for (uint32_t l = 0; l < 48; ++l) {
        for (uint32_t j = 0; j < 3; ++j) {
            std::memcpy(ct_registers(m.data.sets_i[l].i[j]), agg_ct_energy(r->sets_i[l].i[j]),
                        AGG_ENERGY_REGISTERS * sizeof(data_double_t));
        }
        std::memcpy(load_registers(m.data.sets_i[l].p), agg_load_energy_of(r->sets_i[l].p),
                    AGG_ENERGY_REGISTERS * sizeof(data_double_t));
    }
    m.data.ts_end = r->ts_end;
    event_data_t out{ev->set, &m.data};
    event_exec(&out, kind);
    std::memset(&m, 0, sizeof m);
}

}  // namespace

const data_double_t *agg_ct_energy(const data_i &ct) { return &ct.wh; }
const data_double_t *agg_load_energy_of(const data_p_set &p) { return &p.wh; }

void agg_advance_energy(avg_buf_t *a) {
    // A second that a gap in the samples cut short counts the energy of the
    // time it measured, not of the gap. Rounding of the window weights keeps
    // a whole second a few samples off its length: that is still whole.
    float share = 1.0f;
    const uint32_t tps = acquisition_get_ts_per_sample();
    if (tps > 0) {
        const double measured = static_cast<double>(a->data.samples) * tps / AGG_TICKS_PER_SECOND;
        share = measured < 0.999 ? static_cast<float>(std::max(measured, 0.0)) : 1.0f;
    }
    for (data_i_set &l : a->data.sets_i) {
        for (data_i &c : l.i) {
            advance(c, l.p, share);
        }
    }
}

void agg_copy_energy(const avg_buf_t *src, avg_buf_t *dst) {
    dst->reserved_word = src->reserved_word;
    for (uint32_t l = 0; l < 48; ++l) {
        for (uint32_t j = 0; j < 3; ++j) {
            const data_double_t *from = agg_ct_energy(src->data.sets_i[l].i[j]);
            data_double_t *to = ct_registers(dst->data.sets_i[l].i[j]);
            for (uint32_t e = 0; e < AGG_ENERGY_REGISTERS; ++e) {
                to[e].value = from[e].value;
            }
        }
        const data_double_t *from = agg_load_energy_of(src->data.sets_i[l].p);
        data_double_t *to = load_registers(dst->data.sets_i[l].p);
        for (uint32_t e = 0; e < AGG_ENERGY_REGISTERS; ++e) {
            to[e].value = from[e].value;
        }
    }
}

bool agg_save_energy(const avg_buf_t *a, uint32_t set) {
    if (set >= 2) {
        return false;
    }
    const int n = static_cast<int>(set);
    const std::string file = path_of("/data/energy_set_", n);
    const std::string backup = path_of("/data/energy_set_bu", n);
    const std::string flag = path_of("/data/energy_set_flag", n);
    avg_buf_t &image = save_image[set];
    std::memset(&image, 0, sizeof image);
    agg_copy_energy(a, &image);

    // Only a whole, certified-looking file may become the backup: a backup
    // must never be worse than what it backs up.
    const char *why = nullptr;
    if (read_image(file, &load_main, &why)) {
        if (sys_replace_file_lazily(backup.c_str(), &load_main, sizeof load_main) != 0) {
            sys_log(LOG_ERR, "Failed to backup energy file - %s", backup.c_str());
        }
    } else if (exists(file)) {
        sys_log(LOG_ERR, "Failed to backup energy file - %s", backup.c_str());
    }
    if (sys_unlink(flag.c_str()) != 0) {
        sys_log(LOG_ERR, "Failed to remove the flag file - %s", flag.c_str());
    }
    if (sys_replace_file(file.c_str(), &image, sizeof image) != 0) {
        sys_log(LOG_ERR, "Failed to write energies");
        save_failed[set] = true;
        // The file stays a save behind: a kill before the next minute would
        // cost two.
        save_asked[set] = true;
        return false;
    }
    if (!create_flag(flag)) {
        sys_log(LOG_ERR, "Failed to create the enery flag file - %s", flag.c_str());
        save_failed[set] = true;
        save_asked[set] = true;
        return false;
    }
    save_failed[set] = false;
    return true;
}

int agg_load_energy(avg_buf_t *dst, int set) {
    sys_log(LOG_INFO, "Loading energy values from file.");
    const std::string file = path_of("/data/energy_set_", set);
    const char *why = nullptr;
    if (!read_image(file, dst, &why)) {
        sys_log(LOG_ERR, why, file.c_str());
        return 0;
    }
    return 1;
}

void agg_energy_second_closed(const avg_buf_t *a, uint32_t set) {
    if (set >= 2) {
        return;
    }
    registers_live[set] = true;
    const bool asked = save_asked[set].exchange(false);
    if (++seconds_unsaved[set] < 60 && !asked) {
        return;
    }
    seconds_unsaved[set] = 0;
    auto image = std::make_shared<avg_buf_t>();
    std::memset(image.get(), 0, sizeof *image);
    agg_copy_energy(a, image.get());
    writer_replace("energy" + std::to_string(set), [image, set] { agg_save_energy(image.get(), set); });
}

void agg_energy_save_soon() {
    save_asked[0] = true;
    save_asked[1] = true;
}

void agg_energy_stop() {
    writer_flush();
    for (uint32_t n = 0; n < 2; ++n) {
        if (registers_live[n]) {
            agg_save_energy(&five_cycle_avg_buf[n], n);
        }
    }
}

void agg_init() {
    sys_log(LOG_DEBUG, "Clearing aggregation data");
    // The registers of a run reach the file before it is read again; one
    // that cannot be written leaves them in memory (below).
    agg_energy_stop();
    // A restart after failed saves keeps the registers it has: the file is
    // behind them, and registers must never go back.
    bool keep[2] = {save_failed[0], save_failed[1]};
    for (uint32_t n = 0; n < 2; ++n) {
        if (keep[n]) {
            std::memset(&save_image[n], 0, sizeof save_image[n]);
            agg_copy_energy(&five_cycle_avg_buf[n], &save_image[n]);
        }
    }
    std::memset(five_cycle_avg_buf, 0, sizeof five_cycle_avg_buf);
    std::memset(one_minute_avg_buf, 0, sizeof one_minute_avg_buf);
    seconds_unsaved[0] = seconds_unsaved[1] = 0;
    std::memset(five_minute_avg_buf, 0, sizeof five_minute_avg_buf);
    if (sys_mkdir("/data", 0755) != 0 && errno != EEXIST) {
        sys_log(LOG_ERR, "Failed to create /data");
    }
    for (uint32_t n = 0; n < 2; ++n) {
        if (keep[n]) {
            agg_copy_energy(&save_image[n], &five_cycle_avg_buf[n]);
            registers_live[n] = true;
            continue;
        }
        // Only the registers and the reserved word come from the file.
        if (const avg_buf_t *chosen = recover(static_cast<int>(n))) {
            agg_copy_energy(chosen, &five_cycle_avg_buf[n]);
        }
        registers_live[n] = false;  // as the file holds them
    }
    agg_pulse_out_restart();
}

void agg_forget_failed_saves() {
    save_failed[0] = save_failed[1] = false;
    registers_live[0] = registers_live[1] = false;
    save_asked[0] = save_asked[1] = false;
}

void agg_collect_one_minute(event_data_t *ev) {
    if (agg_outputs_suspended()) {
        return;
    }
    collect_period(one_minute_avg_buf, ev, 60, EVENT_MINUTE);
}

void agg_collect_five_minutes(event_data_t *ev) { collect_period(five_minute_avg_buf, ev, 5, EVENT_FIVE_MINUTE); }
