#include "nerisko/dev.h"
#include "nerisko/agg.h"

#include "meter/sysio.h"

#include <fcntl.h>
#include <syslog.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr unsigned long SET_SIZE = 0x40046d01;  // _IOW('m', 1, int)
constexpr uint32_t kNodes = 48;

struct Shadows {
    dev_ct_t ct[kNodes];
    dev_load_t load[kNodes];
    dev_input_t input[2];
};
std::unique_ptr<Shadows> shadow;

int ct_fd[kNodes + 1];
int load_fd[kNodes + 1];
int input_fd[3];
bool opened = false;
// Entries left out are logged once per mapping, not every second.
bool warned_unknown_load = false;
bool warned_set = false;

void close_all() {
    for (int *fds : {ct_fd, load_fd}) {
        for (uint32_t n = 0; n <= kNodes; ++n) {
            if (fds[n] >= 0) {
                sys_close(fds[n]);
                fds[n] = -1;
            }
        }
    }
    for (int &fd : input_fd) {
        if (fd >= 0) {
            sys_close(fd);
            fd = -1;
        }
    }
}

void mark_closed() {
    for (int &fd : ct_fd) {
        fd = -1;
    }
    for (int &fd : load_fd) {
        fd = -1;
    }
    for (int &fd : input_fd) {
        fd = -1;
    }
}

// Opens the node write-only and sizes it; the descriptor, or -1 after
// closing every open node.
int open_sized(const std::string &path, int size) {
    const int fd = sys_open(path.c_str(), O_WRONLY);
    if (fd < 0) {
        sys_log(LOG_ERR, "Failed to open %s", path.c_str());
        close_all();
        return -1;
    }
    int arg = size;
    const int r = sys_ioctl(fd, SET_SIZE, &arg);
    // The driver refuses with 1; a failed call gives -1.
    if (r == 1 || r < 0) {
        sys_log(LOG_ERR, "Failed to set size of %s", path.c_str());
        sys_close(fd);
        close_all();
        return -1;
    }
    return fd;
}

bool open_family(const char *kind, int *fds, uint32_t count, int record) {
    sys_log(LOG_INFO, "Setting up /dev/zor_data/%s/* to size %d", kind, record);
    for (uint32_t n = 0; n <= count; ++n) {
        const std::string path = "/dev/zor_data/" + std::string(kind) + "/" + std::to_string(n);
        const int size = n < count ? record : record * static_cast<int>(count);
        if (n == count) {
            sys_log(LOG_INFO, "Setting up /dev/zor_data/%s/%d to size %d", kind, static_cast<int>(count), size);
        }
        fds[n] = open_sized(path, size);
        if (fds[n] < 0) {
            sys_log(LOG_ERR, "Failed to setup %s", path.c_str());
            return false;
        }
    }
    return true;
}

bool ct_channel_ok(uint32_t channel) { return channel >= ACQ_U_CH_MAX && channel - ACQ_U_CH_MAX < kNodes; }

void write_record(int fd, const void *record, size_t size, const char *what, int n) {
    if (fd < 0 || sys_write(fd, record, size) != static_cast<ssize_t>(size)) {
        if (n >= 0) {
            sys_log(LOG_ERR, what, n);
        } else {
            sys_log(LOG_ERR, "%s", what);
        }
    }
}

void fill_ct(dev_ct_t &c, const data_set_t &r, const data_i &d) {
    c.flags = static_cast<uint8_t>(r.flags & 0xFF);
    c.ts = r.ts_end;
    c.phase = d.phase.value;
    c.rms = d.rms.value;
    c.rms_fund = d.rms_fund.value;
    c.thd_f = d.thd_f.value;
    c.w = d.w.value;
    c.va = d.va.value;
    c.var = d.var.value;
    const data_double_t *e = &d.wh;
    for (uint32_t k = 0; k < 11; ++k) {
        c.energy[k] = e[k].value;
    }
    c.apf = d.apf.value;
    c.dpf = d.dpf.value;
    c.peak_demand = d.peak_demand.value;
    c.demand = d.demand.value;
}

}  // namespace

int dev_init() {
    mark_closed();
    if (!open_family("ct", ct_fd, kNodes, sizeof(dev_ct_t)) ||
        !open_family("load", load_fd, kNodes, sizeof(dev_load_t)) ||
        !open_family("input", input_fd, 2, sizeof(dev_input_t))) {
        return 0;
    }
    shadow.reset(new (std::nothrow) Shadows());
    if (!shadow) {
        sys_log(LOG_ERR, "Failed allocate memory for dev ct all shadow");
        close_all();
        return 0;
    }
    opened = true;
    return 1;
}

void dev_cleanup() {
    if (opened) {
        close_all();
        opened = false;
    }
    shadow.reset();
}

void dev_update_mapping(const mapping *m) {
    if (!shadow) {
        return;
    }
    sys_log(LOG_INFO, "Clearing dev nodes and writing new mapping");
    Shadows &s = *shadow;
    std::memset(&s, 0, sizeof s);
    warned_unknown_load = false;
    warned_set = false;
    for (uint32_t k = 0; k < 2; ++k) {
        s.input[k].set = k;
        s.input[k].active = m->sets_u[k].active;
        for (uint32_t j = 0; j < 3; ++j) {
            s.input[k].line[j].active = m->sets_u[k].u[j].active;
        }
    }
    for (uint32_t n = 0; n < kNodes; ++n) {
        s.ct[n].ct_no = n;
    }
    for (uint32_t l = 0; l < MAPPING_I_SET_MAX; ++l) {
        for (const mapping_i_channel &ct : m->sets_i[l].i) {
            if (!ct.active) {
                continue;
            }
            if (!ct_channel_ok(ct.channel)) {
                sys_log(LOG_ERR, "Load entry %u: CT channel %u has no result node, left out", l, ct.channel);
                continue;
            }
            s.ct[ct.channel - ACQ_U_CH_MAX].active = true;
        }
    }
    for (uint32_t l = 0; l < MAPPING_I_SET_MAX; ++l) {
        const mapping_i_set &e = m->sets_i[l];
        dev_load_t &r = s.load[l];
        r.load_id = e.id;
        r.active = e.active;
        if (!e.active) {
            continue;
        }
        std::strncpy(r.name, e.name, sizeof r.name);
        uint32_t cts = 0;
        for (uint32_t j = 0; j < 3; ++j) {
            if (e.i[j].active && ct_channel_ok(e.i[j].channel)) {
                r.ct[j] = s.ct[e.i[j].channel - ACQ_U_CH_MAX];
                ++cts;
            }
        }
        if (cts == 0) {
            sys_log(LOG_ERR, "Load %u has no active CT", e.id);
        }
        if (e.u_set_id < 2) {
            r.input = s.input[e.u_set_id];
        } else {
            sys_log(LOG_ERR, "Load %u: voltage set %u has no result node", e.id, e.u_set_id);
        }
    }
    dev_write_devices(0);
    dev_write_devices(1);
}

void dev_update(event_data_t *ev) {
    if (!shadow || ev->set == nullptr || ev->set->uset == nullptr || agg_outputs_suspended()) {
        return;
    }
    Shadows &s = *shadow;
    const data_set_t &r = *ev->data;
    const processing_set_t &d = *ev->set;
    // The mapping's number of the set, as the records were built with.
    const uint32_t k = d.uset->id;
    if (k >= 2) {
        if (!warned_set) {
            sys_log(LOG_ERR, "Voltage set %u has no result node", k);
            warned_set = true;
        }
        return;
    }
    dev_input_t &in = s.input[k];
    in.flags = static_cast<uint8_t>(r.flags & 0xFF);
    in.ts = r.ts_end;
    in.frequency = r.frequency.value;
    for (uint32_t j = 0; j < 3; ++j) {
        const data_u &u = r.set_u.u[j];
        in.line[j].phase = u.phase.value;
        in.line[j].rms_ln = u.rms_ln.value;
        in.line[j].rms_ll = u.rms_ll.value;
        in.line[j].rms_fund = u.rms_fund.value;
        in.line[j].thd_f = u.thd_f.value;
    }
    for (uint32_t l = 0; l < MAPPING_I_SET_MAX && d.isets[l] != nullptr; ++l) {
        const mapping_i_set &e = *d.isets[l];
        if (!e.active) {
            continue;
        }
        for (uint32_t j = 0; j < 3; ++j) {
            if (e.i[j].active && ct_channel_ok(e.i[j].channel)) {
                dev_ct_t &c = s.ct[e.i[j].channel - ACQ_U_CH_MAX];
                if (c.active) {
                    fill_ct(c, r, r.sets_i[l].i[j]);
                }
            }
        }
    }
    for (uint32_t l = 0; l < MAPPING_I_SET_MAX && d.isets[l] != nullptr; ++l) {
        const mapping_i_set &e = *d.isets[l];
        if (!e.active) {
            continue;
        }
        uint32_t n = 0;
        while (n < kNodes && !(s.load[n].load_id == e.id && s.load[n].active)) {
            ++n;
        }
        if (n == kNodes) {
            if (!warned_unknown_load) {
                sys_log(LOG_ERR, "Load %u of the result has no load record, left out", e.id);
                warned_unknown_load = true;
            }
            continue;
        }
        dev_load_t &rec = s.load[n];
        const data_i_set &src = r.sets_i[l];
        rec.rms = src.rms.value;
        rec.thd = src.thd.value;
        rec.w = src.p.w.value;
        rec.va = src.p.va.value;
        rec.var = src.p.var.value;
        const data_double_t *en = &src.p.wh;
        for (uint32_t q = 0; q < 11; ++q) {
            rec.energy[q] = en[q].value;
        }
        rec.apf = src.p.apf.value;
        rec.dpf = src.p.dpf.value;
        rec.peak_demand = src.p.peak_demand.value;
        rec.demand = src.p.demand.value;
        rec.flags = static_cast<uint8_t>(r.flags & 0xFF);
        for (dev_ct_t &copy : rec.ct) {
            if (copy.active && copy.ct_no < kNodes) {
                copy = s.ct[copy.ct_no];
            }
        }
        if (rec.input.set < 2) {
            rec.input = s.input[rec.input.set];
        }
        rec.ts = r.ts_end;
    }
    dev_write_devices(k);
}

void dev_write_devices(uint32_t set) {
    if (!shadow || set >= 2) {
        return;
    }
    const Shadows &s = *shadow;
    for (uint32_t m = 0; m < kNodes; ++m) {
        if (s.load[m].input.set == set) {
            write_record(load_fd[m], &s.load[m], sizeof s.load[m], "Failed to write to load %d device",
                         static_cast<int>(m));
        }
    }
    write_record(load_fd[kNodes], s.load, sizeof s.load, "Failed to write to load all device", -1);
    for (uint32_t n = 0; n < kNodes; ++n) {
        write_record(ct_fd[n], &s.ct[n], sizeof s.ct[n], "Failed to write to ct %d device", static_cast<int>(n));
    }
    write_record(ct_fd[kNodes], s.ct, sizeof s.ct, "Failed to write to ct all device", -1);
    write_record(input_fd[set], &s.input[set], sizeof s.input[set], "Failed to write to input %d device",
                 static_cast<int>(set));
    write_record(input_fd[2], s.input, sizeof s.input, "Failed to write to input all device", -1);
}

const dev_ct_t *dev_ct_shadow() { return shadow ? shadow->ct : nullptr; }
const dev_load_t *dev_load_shadow() { return shadow ? shadow->load : nullptr; }
const dev_input_t *dev_input_shadow() { return shadow ? shadow->input : nullptr; }
