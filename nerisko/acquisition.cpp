#include "nerisko/acquisition.h"

#include "haldor/haldor.h"
#include "nerisko/cal.h"
#include "nerisko/frontend.h"
#include "meter/sysio.h"

#include <syslog.h>

#include <algorithm>
#include <cmath>
#include <mutex>

const uint32_t adc_ct_mapping[ACQ_CHANNELS] = {
    0,  1,  2,  3,  4,  5,   // ADC 0
    6,  7,  8,  9,  10, 11,  // ADC 1
    17, 16, 15, 14, 13, 12,  // ADC 2
    18, 27, 19, 28, 20, 29,  // ADC 3
    47, 38, 46, 37, 45, 36,  // ADC 4
    21, 30, 22, 31, 23, 32,  // ADC 5
    50, 41, 49, 40, 48, 39,  // ADC 6
    24, 33, 25, 34, 26, 35,  // ADC 7
    53, 44, 52, 43, 51, 42,  // ADC 8
};

namespace {

struct Mark {
    uint64_t time;
    uint32_t index;
};

std::recursive_mutex acquisition_mutex;

cb_t rings[ACQ_CHANNELS];
cbi_t channel_buffers[ACQ_CHANNELS];
float *tails[ACQ_CHANNELS];

bool initialised = false;
int rate_state = 0;  // 0 no mark, 1 first mark, 2 rate known
Mark first_mark, second_mark;
double sample_rate = 0.0;
uint32_t newest_index = 0;
uint64_t newest_time = 0;
uint32_t last_tick = 0;  // tick word of the newest half seen, stored or dropped
// The upper word of a sample time counts the tick counter's wraps from 1,
// not 0: the samples a ring already holds when a tick word is first seen lie
// before it, and a counter that had only just wrapped would put them below
// time 0, which an unsigned time turns into the far future.
constexpr uint32_t kFirstWrap = 1;
uint32_t wraps = kFirstWrap;
uint64_t dropped = 0;
bool dropping = false;

// Where the samples stop running on evenly: halves dropped for want of
// room, or lost before they were copied. Each entry is the ring position of
// the first sample after the gap with its own time, and the time of the
// sample before it; an entry goes when its position is written again.
struct Gap {
    uint32_t index;
    uint64_t time;
    uint64_t time_before;
};
constexpr uint32_t kMaxGaps = ACQ_RING_SAMPLES / (32 * SAMPLES_PER_BLOCK) + 2;
Gap gaps[kMaxGaps];
uint32_t gap_count = 0;
bool stored_any = false;   // a half was stored since the rings were last emptied
uint32_t stored_tick = 0;  // tick word of the newest stored sample

uint32_t filled(uint32_t r) { return cb_items_available(&channel_buffers[r], tails[r]); }

// The rings a slot (ADC k, input c) feeds on this front end; -1 for none.
int ring_of(uint32_t k, uint32_t c) {
    if (num_chan == 3) {
        // One ADC: inputs 0-2 the first voltage set, 3-5 CTs 0-2.
        return static_cast<int>(c < 3 ? adc_ct_mapping[c] : adc_ct_mapping[6 + c - 3]);
    }
    return static_cast<int>(adc_ct_mapping[6 * k + c]);
}

void free_rings() {
    for (uint32_t r = 0; r < ACQ_CHANNELS; ++r) {
        cb_free(&channel_buffers[r]);
        tails[r] = nullptr;
    }
}

// Samples from ring position a forward to b, in ring 0.
uint32_t ring_distance(uint32_t a, uint32_t b) { return b >= a ? b - a : rings[0].size - a + b; }

// Forgets the gaps at the n positions from `from` on, which are written anew.
void forget_gaps(uint32_t from, uint32_t n) {
    uint32_t kept = 0;
    for (uint32_t g = 0; g < gap_count; ++g) {
        if (ring_distance(from, gaps[g].index) >= n) {
            gaps[kept++] = gaps[g];
        }
    }
    gap_count = kept;
}

// The gap whose first sample lies after position index and no further than
// the newest sample, nearest to index; null when index is in the newest run.
const Gap *gap_after(uint32_t index) {
    const Gap *found = nullptr;
    uint32_t best = ring_distance(index, newest_index) + 1;
    for (uint32_t g = 0; g < gap_count; ++g) {
        const uint32_t d = ring_distance(index, gaps[g].index);
        if (d > 0 && d < best) {
            best = d;
            found = &gaps[g];
        }
    }
    return found;
}

uint32_t ticks_per_sample() { return rate_state == 2 ? static_cast<uint32_t>(ACQ_TICKS_PER_SECOND / sample_rate) : 0; }

void estimate_rate() {
    if (rate_state == 0) {
        first_mark = {newest_time, newest_index};
        rate_state = 1;
        return;
    }
    if (rate_state != 1) {
        return;
    }
    second_mark = {newest_time, newest_index};
    uint64_t samples = second_mark.index - first_mark.index;
    if (second_mark.index < first_mark.index) {
        samples = uint64_t{second_mark.index} + rings[0].size - first_mark.index;
    }
    const uint64_t ticks = second_mark.time - first_mark.time;
    if (samples == 0 || ticks == 0) {
        first_mark = second_mark;  // nothing to measure yet; try with the next copy
        return;
    }
    sample_rate = ACQ_TICKS_PER_SECOND / (static_cast<double>(ticks) / static_cast<double>(samples));
    sys_log(LOG_DEBUG, "sample frequency: %f", sample_rate);
    rate_state = 2;
}

}  // namespace

bool acquisition_init() {
    std::lock_guard lock(acquisition_mutex);
    if (initialised) {
        free_rings();
        hld_calibrate_clean();
        initialised = false;
    }
    sys_log(LOG_DEBUG, "Creating %d full length buffers", static_cast<int>(num_buf));
    sys_log(LOG_DEBUG, "Creating %d minimal length buffers", static_cast<int>(ACQ_CHANNELS - num_buf));
    for (uint32_t r = 0; r < ACQ_CHANNELS; ++r) {
        channel_buffers[r].cb = &rings[r];
        if (!cb_init(&channel_buffers[r], r < num_buf ? ACQ_RING_SAMPLES : 1)) {
            sys_log(LOG_ERR, "Failed to allocate channel buffer %u", r);
            free_rings();
            return false;
        }
        tails[r] = rings[r].base;
    }
    cal_entry_t *cal = nullptr;
    cal_get(&cal);
    if (hld_calibrate_setup(cal, num_buf) == 0) {
        sys_log(LOG_ERR, "failed to initialize calibration");
        free_rings();
        return false;
    }
    newest_index = 0;
    newest_time = 0;
    last_tick = 0;
    wraps = kFirstWrap;
    gap_count = 0;
    stored_any = false;
    rate_state = 0;
    sample_rate = 0.0;
    dropped = 0;
    dropping = false;
    initialised = true;
    return true;
}

void acquisition_new_data(const pru_block_t *blocks, uint32_t count) {
    std::lock_guard lock(acquisition_mutex);
    SYS_ASSERT(initialised, "acquisition initialised");
    if (count == 0) {
        return;
    }
    const uint32_t samples = count * SAMPLES_PER_BLOCK;
    const uint32_t adcs = num_chan == 3 ? 1 : num_adcs;

    // Never overwrite unread samples, and keep the channels aligned: a half
    // that does not fit into every ring goes into none.
    bool room = true;
    for (uint32_t k = 0; k < adcs && room; ++k) {
        for (uint32_t c = 0; c < 6; ++c) {
            const int r = ring_of(k, c);
            if (r >= 0 && static_cast<uint64_t>(filled(static_cast<uint32_t>(r))) + samples >= rings[r].size) {
                room = false;
                break;
            }
        }
    }
    const uint32_t tick = blocks[count - 1].ts[SAMPLES_PER_BLOCK - 1];
    if (tick < last_tick) {
        ++wraps;
    }
    last_tick = tick;
    if (!room) {
        if (!dropping) {
            sys_log(LOG_ERR, "Channel buffers full, dropping samples until they are read");
        }
        dropping = true;
        dropped += count;
        return;
    }
    if (dropping) {
        sys_log(LOG_WARNING, "Channel buffers read again, %llu blocks dropped",
                static_cast<unsigned long long>(dropped));
        dropping = false;
    }
    // The first new sample does not follow the newest stored one: samples
    // were dropped or lost in between. The new run starts at the head.
    const uint32_t first = blocks[0].ts[0];
    const uint32_t head = static_cast<uint32_t>(channel_buffers[0].head - rings[0].base);
    const uint32_t step = (tick - first) / (samples > 1 ? samples - 1 : 1);
    const uint32_t since = first - stored_tick;
    const bool gap = stored_any && (static_cast<int32_t>(since) <= 0 || since > step + step / 2);
    forget_gaps(head, samples);
    if (gap) {
        const uint64_t end = (uint64_t{wraps} << 32) | tick;
        const uint64_t first_time = end - (tick - first);
        const Gap g{head, first_time, newest_time};  // newest_time: still that of the sample before
        if (gap_count == kMaxGaps) {
            std::copy(gaps + 1, gaps + kMaxGaps, gaps);  // the oldest was read long ago
            --gap_count;
        }
        gaps[gap_count++] = g;
        if (rate_state == 1) {
            rate_state = 0;  // marks across a gap tell no rate: measure again from here
        }
    }
    stored_any = true;
    stored_tick = tick;
    for (uint32_t b = 0; b < count; ++b) {
        const pru_block_t &blk = blocks[b];
        for (uint32_t k = 0; k < adcs; ++k) {
            for (uint32_t c = 0; c < 6; ++c) {
                const int r = ring_of(k, c);
                if (r < 0) {
                    continue;
                }
                cbi_t &cur = channel_buffers[r];
                hld_calibrate_calc(static_cast<uint32_t>(r), reinterpret_cast<const uint32_t *>(blk.adc[k].raw[c]),
                                   SAMPLES_PER_BLOCK, &cur);
                cb_added_items(&cur, SAMPLES_PER_BLOCK);
            }
        }
    }
    newest_time = (uint64_t{wraps} << 32) | tick;
    const cbi_t &r0 = channel_buffers[0];
    newest_index = static_cast<uint32_t>((r0.head == rings[0].base ? rings[0].base + rings[0].size : r0.head) - 1 -
                                         rings[0].base);
    estimate_rate();
}

void acquisition_lock_buffers() { acquisition_mutex.lock(); }
void acquisition_unlock_buffers() { acquisition_mutex.unlock(); }

cb_t *acquisition_get_cb(uint32_t ch) { return ch < ACQ_CHANNELS ? &rings[ch] : nullptr; }

uint32_t acquisition_items_available(uint32_t ch, const float *p) {
    if (ch >= num_buf) {
        return 0;
    }
    std::lock_guard lock(acquisition_mutex);
    const cb_t &cb = rings[ch];
    SYS_ASSERT(p >= cb.base && p < cb.base + cb.size,
                   "index >= channel_buffers[pc].cb->base && index < channel_buffers[pc].cb->base + "
                   "channel_buffers[pc].cb->size");
    if (rate_state != 2) {
        return 0;
    }
    return cb_items_available(&channel_buffers[ch], p);
}

void acquisition_free_samples(uint32_t ch, uint32_t n) {
    if (ch >= num_buf) {
        return;
    }
    std::lock_guard lock(acquisition_mutex);
    const uint32_t have = filled(ch);
    if (have < n) {
        sys_log(LOG_DEBUG, "Free %zu samples of %zu for ch %d", static_cast<size_t>(n), static_cast<size_t>(have),
                static_cast<int>(ch));
        sys_log(LOG_ERR, "Not enough samples: %zu", static_cast<size_t>(have));
    }
    SYS_ASSERT(have >= n, "n <= filled samples");
    tails[ch] = cb_step(&rings[ch], tails[ch], n);
}

// The rate is written once, but by a PRU thread while the processing side
// already asks for it: read under the lock like everything else.
bool acquisition_get_sample_rate(double *rate) {
    std::lock_guard lock(acquisition_mutex);
    *rate = sample_rate;
    return rate_state == 2;
}

uint32_t acquisition_get_ts_per_sample() {
    std::lock_guard lock(acquisition_mutex);
    return ticks_per_sample();
}

uint64_t acquisition_get_ts(uint32_t index) {
    std::lock_guard lock(acquisition_mutex);
    const uint32_t size = rings[0].size;
    SYS_ASSERT(index < size, "index < channel_buffers[0].cb->size");
    for (uint32_t g = 0; g < gap_count; ++g) {
        if (gaps[g].index == index) {
            return gaps[g].time;  // the first sample after a gap has its own time
        }
    }
    // Counted back from the end of the run the sample belongs to: the sample
    // before the next gap, or the newest one.
    uint64_t end_time = newest_time;
    uint64_t distance = index <= newest_index ? newest_index - index : uint64_t{size} + newest_index - index;
    if (const Gap *g = gap_after(index)) {
        end_time = g->time_before;
        distance = ring_distance(index, g->index) - 1;
    }
    // In 64 bits: at low sample rates ticks x distance passes 2^32.
    return end_time - uint64_t{ticks_per_sample()} * distance;
}

uint64_t acquisition_get_ts_frac(float position) {
    // Checked as a float: a position outside the ring has no integer part to take.
    SYS_ASSERT(position >= 0.0f && position < static_cast<float>(rings[0].size),
                   "index < channel_buffers[0].cb->size");
    const auto i = static_cast<uint32_t>(position);
    const float f = position - static_cast<float>(i);
    return acquisition_get_ts(i) + static_cast<int64_t>(f * static_cast<float>(ticks_per_sample()));
}

int acquisition_get_index(uint64_t time, int mode) {
    SYS_ASSERT(mode == 0 || mode == 1, "mode == 0 || mode == 1");
    std::lock_guard lock(acquisition_mutex);
    const uint32_t tps = ticks_per_sample();
    if (tps == 0) {
        return static_cast<int>(newest_index);  // no rate yet: every time is "now"
    }
    const double d = static_cast<double>(static_cast<int64_t>(time - newest_time)) /
                     static_cast<double>(static_cast<int32_t>(tps));
    const double x = static_cast<double>(newest_index) + d;
    // Brought into range as a double: a time far from the newest one has no
    // integer index to wrap.
    double index = mode == 1 ? std::floor(x) : std::nearbyint(x);
    const double size = rings[0].size;
    if (index >= size) {
        index -= size;
    } else if (index < 0) {
        index += size;
    }
    SYS_ASSERT(index >= 0 && index < size, "index >= 0 && index < channel_buffers[0].cb->size");
    return static_cast<int>(index);
}

void acquisition_flush() {
    sys_log(LOG_DEBUG, "Clearing acquisition data");
    std::lock_guard lock(acquisition_mutex);
    newest_time = 0;
    newest_index = 0;
    last_tick = 0;
    wraps = kFirstWrap;
    dropping = false;
    gap_count = 0;
    stored_any = false;
    for (uint32_t r = 0; r < ACQ_CHANNELS; ++r) {
        channel_buffers[r].head = rings[r].base;
        tails[r] = rings[r].base;
    }
}

void acquisition_clean() {
    std::lock_guard lock(acquisition_mutex);
    if (!initialised) {
        return;
    }
    free_rings();
    hld_calibrate_clean();
    initialised = false;
}

uint32_t acquisition_gap_within(uint32_t ch, const float *p, uint32_t n) {
    if (ch >= num_buf) {
        return 0;
    }
    std::lock_guard lock(acquisition_mutex);
    const auto index = static_cast<uint32_t>(p - rings[ch].base);
    const uint32_t reach = std::min(n, cb_items_available(&channel_buffers[ch], p));
    uint32_t nearest = 0;
    for (uint32_t g = 0; g < gap_count; ++g) {
        const uint32_t d = ring_distance(index, gaps[g].index);
        if (d > 0 && d < reach && (nearest == 0 || d < nearest)) {
            nearest = d;
        }
    }
    return nearest;
}

bool acquisition_gap_at(uint32_t ch, const float *p) {
    if (ch >= num_buf) {
        return false;
    }
    std::lock_guard lock(acquisition_mutex);
    if (cb_items_available(&channel_buffers[ch], p) == 0) {
        return false;  // an entry there may be one of the last lap, about to be written over
    }
    const auto index = static_cast<uint32_t>(p - rings[ch].base);
    for (uint32_t g = 0; g < gap_count; ++g) {
        if (gaps[g].index == index) {
            return true;
        }
    }
    return false;
}

uint64_t acquisition_dropped_blocks() {
    std::lock_guard lock(acquisition_mutex);
    return dropped;
}
