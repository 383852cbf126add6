#include "nerisko/live_data.h"

#include "nerisko/agg.h"

#include "meter/sysio.h"

#include <syslog.h>

#include <cstring>
#include <mutex>

namespace {

std::mutex lock;
data_set_t live_data[2];
live_set_t live_sets[2];

}  // namespace

int live_data_init() {
    sys_log(LOG_INFO, "Live data init");
    std::lock_guard guard(lock);
    std::memset(live_data, 0, sizeof live_data);
    std::memset(live_sets, 0, sizeof live_sets);
    return 1;
}

void live_data_update(event_data_t *ev) {
    const uint32_t s = ev->data->set;
    if (s >= 2 || agg_outputs_suspended()) {
        return;
    }
    std::lock_guard guard(lock);
    std::memcpy(&live_data[s], ev->data, sizeof live_data[s]);
    live_set_t &d = live_sets[s];
    d.has_uset = false;
    d.loads = 0;
    if (ev->set == nullptr) {
        return;
    }
    if (ev->set->uset != nullptr) {
        d.uset = *ev->set->uset;
        d.has_uset = true;
    }
    while (d.loads < MAPPING_I_SET_MAX && ev->set->isets[d.loads] != nullptr) {
        d.isets[d.loads] = *ev->set->isets[d.loads];
        ++d.loads;
    }
}

int live_data_get_data(uint32_t set, data_set_t *out) {
    if (set >= 2) {
        sys_log(LOG_ERR, "Incorrect set provided");
        return 0;
    }
    std::lock_guard guard(lock);
    std::memcpy(out, &live_data[set], sizeof *out);
    return 1;
}

int live_data_get_mapping(uint32_t set, live_set_t *out) {
    if (set >= 2) {
        sys_log(LOG_ERR, "Incorrect set provided");
        return 0;
    }
    std::lock_guard guard(lock);
    std::memcpy(out, &live_sets[set], sizeof *out);
    return 1;
}

void live_data_cleanup() {}
