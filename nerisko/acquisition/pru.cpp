#include "nerisko/pru.h"

#include "meter/sysio.h"
#include "prussdrv.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <syslog.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iterator>
#include <mutex>
#include <utility>

copy_func_t copy_func = nullptr;

int pru_event_slice_ms = 100;
int pru_stall_limit_ms = 2000;
int pru_program_limit_ms = 2000;

namespace {

constexpr off_t kDdrPhysical = 0x87F00000;
constexpr size_t kDdrBytes = 0x100000;
constexpr size_t kHalfBytes = 0x80000;
constexpr uint32_t kBlocksPerHalf = 32;

constexpr unsigned kOutSpiDone = 0, kOutStopped = 2, kOutPing = 3, kOutPong = 4;
constexpr unsigned kEvSpiDone = 19, kEvStop = 21, kEvStopped = 23, kEvPing = 24, kEvPong = 25;

const char *const kAcquisitionProgram = "/usr/bin/pru-spi-read-data.bin";

struct thread_rec_t {
    const char *name;
    unsigned evtout;
    unsigned sysevt;
    int buffer;  // 0 ping half, 1 pong half
};

uint8_t *ddr = nullptr;
uint8_t *data_mem = nullptr;
pthread_t threads[8];
bool thread_used[8] = {};
std::atomic<bool> run_threads{false};
// The stop under way throws its data away (the rings are flushed after it):
// no last half is waited for.
std::atomic<bool> discard_last_half{false};
std::mutex pru_irq_mutex;
int thread_active = -1;
bool acquisition_running = false;

// What the threads have handed over in this run, under pru_irq_mutex: the
// tick word and the tick step of the last sample copied.
bool copied_any = false;
uint32_t last_end_tick = 0;
uint32_t last_step = 0;
// A half is copied from a private snapshot: the PRU may come back to a half
// while a late thread reads it, and a half that changed under the copy must
// not reach the rings.
alignas(64) uint8_t snapshot[kHalfBytes];

using Clock = std::chrono::steady_clock;

const pru_block_t *half_at(const uint8_t *base, int buffer) {
    return reinterpret_cast<const pru_block_t *>(base + kHalfBytes * static_cast<size_t>(buffer));
}
uint32_t first_tick(const pru_block_t *h) { return h[0].ts[0]; }
uint32_t last_tick(const pru_block_t *h) { return h[kBlocksPerHalf - 1].ts[SAMPLES_PER_BLOCK - 1]; }
// Tick words are compared by their distance: the counter wraps every 21 s.
bool later(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }
// b is the sample right after a, for a tick step `step`.
bool follows(uint32_t a, uint32_t b, uint32_t step) {
    const uint32_t d = b - a;
    return step > 0 && static_cast<int32_t>(d) > 0 && d >= step - step / 2 && d <= step + step / 2;
}

// The mean tick step of a half whose 2048 sample times run on evenly, or 0
// for a half that the PRU was writing while it was read (or never wrote).
uint32_t intact_step(const pru_block_t *h) {
    constexpr uint32_t kSamples = kBlocksPerHalf * SAMPLES_PER_BLOCK;
    const uint32_t span = last_tick(h) - first_tick(h);
    if (static_cast<int32_t>(span) <= 0) {
        return 0;
    }
    const uint32_t step = span / (kSamples - 1);
    uint32_t prev = first_tick(h);
    for (uint32_t i = 1; i < kSamples; ++i) {
        const uint32_t t = h[i / SAMPLES_PER_BLOCK].ts[i % SAMPLES_PER_BLOCK];
        if (!follows(prev, t, step)) {
            return 0;
        }
        prev = t;
    }
    return step;
}

// Copies the half in `buffer` into the snapshot and hands it over when it
// is whole and not copied yet, and, for an older half (before_tick set),
// when it ends right before the sample of tick *before_tick. Halves missing
// between it and the last one copied were overwritten before anybody took
// them: their samples are a gap (the acquisition sees it in the tick words)
// and one line says how many.
void hand_over(int buffer, const uint32_t *before_tick = nullptr) {
    const pru_block_t *live = half_at(ddr, buffer);
    const uint32_t first = first_tick(live);
    if (copied_any && !later(first, last_end_tick)) {
        return;  // taken already, by the other thread
    }
    std::memcpy(snapshot, live, kHalfBytes);
#if !defined(__SANITIZE_THREAD__)  // which does not model fences
    std::atomic_thread_fence(std::memory_order_acquire);  // the copy is read before the tick word again
#endif
    const auto *copy = half_at(snapshot, 0);
    // The PRU writes a half from its first block on: a first tick word that
    // is still the same after the copy means the copy holds no newer sample.
    const uint32_t step = intact_step(copy);
    if (step == 0 || first_tick(live) != first_tick(copy)) {
        return;  // being written: lost if it is not written whole again in time
    }
    // The PRU may have begun the next half there, its tick words written
    // before its samples: such a copy holds newer ticks than the half it
    // must be.
    if (before_tick != nullptr && !follows(last_tick(copy), *before_tick, step)) {
        return;
    }
    if (copied_any && !follows(last_end_tick, first_tick(copy), last_step)) {
        const double missing = static_cast<double>(first_tick(copy) - last_end_tick) / last_step - 1.0;
        const auto halves = static_cast<long>(std::lround(missing / (kBlocksPerHalf * SAMPLES_PER_BLOCK)));
        sys_log(LOG_ERR, "PRU halves lost, not copied in time: %ld", halves);
    }
    thread_active = buffer;
    copy_func(copy, kBlocksPerHalf);
    thread_active = -1;
    copied_any = true;
    last_end_tick = last_tick(copy);
    last_step = step;
}

// The event of a thread's own half came. A thread that ran late may find
// the other half older and not copied yet: the halves go over in the PRU's
// order, whichever thread wakes first, and a half that the other thread
// already took is not taken twice.
void take_halves(const thread_rec_t *t) {
    const int own = t->buffer;
    const int other = 1 - own;
    const pru_block_t *mine = half_at(ddr, own);
    const pru_block_t *older = half_at(ddr, other);
    // Before the first copy of a run only the ping half can be the older
    // one: the pong half still holds the last run's samples then.
    const uint32_t mine_first = first_tick(mine);
    const bool other_pending =
        (copied_any ? later(first_tick(older), last_end_tick) : other == 0) && later(mine_first, first_tick(older));
    if (other_pending && follows(last_tick(older), mine_first, intact_step(mine))) {
        hand_over(other, &mine_first);
    }
    hand_over(own);
}

void *irq_thread(void *arg) {
    auto *t = static_cast<thread_rec_t *>(arg);
    int active;
    {
        std::lock_guard lock(pru_irq_mutex);  // the other thread may be copying already
        active = thread_active;
    }
    sys_log(LOG_NOTICE, "Starting %s thread (thread_active=%d)", t->name, active);
    Clock::time_point stop_seen{};
    for (;;) {
        const int r = prussdrv_pru_wait_event_timeout(t->evtout, pru_event_slice_ms);
        if (r > 0) {
            // Whether the stop was asked for before this half was taken: a
            // half taken earlier, and a stop seen only after its copy, does
            // not count as the thread's last half.
            bool last;
            {
                // The lock keeps the two threads' copies apart.
                std::lock_guard lock(pru_irq_mutex);
                last = !run_threads;
                // Cleared before the copy: a half raised while this thread
                // is late or copying wakes it again rather than merging into
                // the event it has taken (the halves' ticks tell a half
                // already copied).
                prussdrv_pru_clear_event(t->evtout, t->sysevt);
                take_halves(t);
            }
            if (last) {
                sys_log(LOG_NOTICE, "Stopping %s thread", t->name);
                break;
            }
            continue;
        }
        if (r < 0) {
            sys_log(LOG_ERR, "Failed to wait for PRU event of %s thread", t->name);
            break;
        }
        // No half within the slice. A stopping thread waits for its last
        // half only so long: a stalled PRU must not hang a stop.
        if (!run_threads && discard_last_half) {
            break;
        }
        if (!run_threads) {
            const auto now = Clock::now();
            if (stop_seen == Clock::time_point{}) {
                stop_seen = now;
            } else if (now - stop_seen >= std::chrono::milliseconds(pru_stall_limit_ms)) {
                sys_log(LOG_ERR, "PRU stalled, stopping %s thread without its last half", t->name);
                break;
            }
        }
    }
    delete t;
    return nullptr;
}

// Routing of the PRU system events to the host event outputs.
prussdrv_intc_setup intc_setup() {
    prussdrv_intc_setup init{};
    const int enabled[] = {17, 18, 19, 20, 21, 22, 23, 24, 25, -1};
    const prussdrv_sysevent_route ev_ch[] = {{17, 1}, {18, 0}, {19, 2}, {20, 3}, {21, 0},
                                             {22, 1}, {23, 4}, {24, 5}, {25, 6}, {-1, -1}};
    const prussdrv_channel_route ch_host[] = {{0, 0}, {1, 1}, {2, 2}, {3, 3},
                                              {4, 4}, {5, 5}, {6, 6}, {-1, -1}};
    std::copy(std::begin(enabled), std::end(enabled), init.sysevents_enabled);
    std::copy(std::begin(ev_ch), std::end(ev_ch), init.sysevent_to_channel);
    std::copy(std::begin(ch_host), std::end(ch_host), init.channel_to_host);
    init.host_enable_mask = 0x7F;
    return init;
}

}  // namespace

bool pru_mem_init() {
    sys_log(LOG_DEBUG, "Initialize DDR memory");
    const int fd = sys_open("/dev/mem", O_RDWR | O_SYNC);
    if (fd < 0) {
        sys_log(LOG_ERR, "failed to open /dev/mem");
        return false;
    }
    void *p = sys_mmap(kDdrBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, kDdrPhysical);
    sys_close(fd);
    if (p == MAP_FAILED) {
        sys_log(LOG_ERR, "failed to map memory");
        return false;
    }
    ddr = static_cast<uint8_t *>(p);
    std::memset(ddr, 0, kDdrBytes);
    sys_log(LOG_DEBUG, "Ping buffer: %p - %p", static_cast<void *>(ddr), static_cast<void *>(ddr + kHalfBytes));
    sys_log(LOG_DEBUG, "Pong buffer: %p - %p", static_cast<void *>(ddr + kHalfBytes),
            static_cast<void *>(ddr + kDdrBytes));
    return true;
}

void pru_mem_free() {
    if (ddr == nullptr) {
        return;
    }
    sys_munmap(ddr, kDdrBytes);
    ddr = nullptr;
    prussdrv_pru_disable(0);
    prussdrv_exit();
}

int init_pru(copy_func_t callback) {
    prussdrv_init();
    for (unsigned n = 0; n < 8; ++n) {
        if (prussdrv_open(n) == -1) {
            sys_log(LOG_ERR, "prussdrv_open(%d) failed", static_cast<int>(n));
            return 1;
        }
    }
    const prussdrv_intc_setup init = intc_setup();
    prussdrv_pruintc_init(&init);
    copy_func = callback;
    void *mem = nullptr;
    prussdrv_map_prumem(PRU0_DATA_RAM, &mem);
    data_mem = static_cast<uint8_t *>(mem);
    return 0;
}

int pru_start_irqthread(unsigned evtout, int priority) {
    thread_rec_t rec;
    if (evtout == kOutPing) {
        rec = {"ping", kOutPing, kEvPing, 0};
    } else if (evtout == kOutPong) {
        rec = {"pong", kOutPong, kEvPong, 1};
    } else {
        sys_log(LOG_INFO, "Incorrect host interrupt for PRU IRQ thread");
        return -1;
    }
    run_threads = true;
    auto *t = new thread_rec_t(rec);
    const int err = pthread_create(&threads[evtout], nullptr, irq_thread, t);
    if (err != 0) {
        delete t;
        sys_log(LOG_ERR, "Error starting thread (%d)", err);
        return err;
    }
    thread_used[evtout] = true;
    if (priority > 0) {
        // Without the privilege the copy runs at normal priority: slower to
        // react, but acquisition goes on (and the log says so).
        sys_set_realtime(threads[evtout], priority);
    }
    return 0;
}

bool pru_start_acq() {
    if (ddr == nullptr || copy_func == nullptr) {
        sys_log(LOG_ERR, "PRU not set up, acquisition not started");
        return false;
    }
    // A half raised after the threads of the last run had gone is still
    // counted by its event output; taken by a new thread it would be copied
    // as the first half and make the real first half look out of turn.
    for (const auto &[out, ev] : {std::pair{kOutPing, kEvPing}, std::pair{kOutPong, kEvPong}}) {
        while (prussdrv_pru_wait_event_timeout(out, 0) > 0) {
        }
        prussdrv_pru_clear_event(out, ev);
    }
    thread_active = -1;
    copied_any = false;  // the ping half comes first
    sys_log(LOG_DEBUG, "Starting PRU IRQ handlers");
    const int priority = sched_get_priority_max(SCHED_RR) - 2;
    if (pru_start_irqthread(kOutPing, priority) != 0 || pru_start_irqthread(kOutPong, priority) != 0) {
        pru_stop_irqthread();
        return false;
    }
    prussdrv_exec_program(0, kAcquisitionProgram);
    acquisition_running = true;
    return true;
}

void pru_stop_irqthread() {
    run_threads = false;
    for (unsigned n = 0; n < 8; ++n) {
        if (thread_used[n]) {
            pthread_join(threads[n], nullptr);
            thread_used[n] = false;
        }
    }
}

void pru_stop_acq_discarding() {
    discard_last_half = true;
    pru_stop_acq();
    discard_last_half = false;
}

void pru_stop_acq() {
    sys_log(LOG_DEBUG, "Stopping IRQ threads");
    pru_stop_irqthread();
    if (!acquisition_running) {
        return;
    }
    sys_log(LOG_INFO, "Stopping PRU and ADCs");
    prussdrv_pru_send_event(kEvStop);
    sys_log(LOG_DEBUG, "Waiting for PRU to finish");
    if (prussdrv_pru_wait_event_timeout(kOutStopped, pru_program_limit_ms) <= 0) {
        sys_log(LOG_ERR, "PRU did not answer the stop request, halting it");
        prussdrv_pru_disable(0);
        // The request the program never took must not stop the next one at once.
        prussdrv_pru_clear_event(kOutStopped, kEvStop);
    }
    sys_log(LOG_DEBUG, "Clearing PRU event");
    prussdrv_pru_clear_event(kOutStopped, kEvStopped);
    prussdrv_pru_clear_event(kOutPing, kEvPing);
    prussdrv_pru_clear_event(kOutPong, kEvPong);
    acquisition_running = false;
}

bool pru_run_program(const char *path) {
    if (prussdrv_exec_program(0, path) != 0) {
        sys_log(LOG_ERR, "Failed to run PRU program %s", path);
        return false;
    }
    if (prussdrv_pru_wait_event_timeout(kOutSpiDone, pru_program_limit_ms) <= 0) {
        sys_log(LOG_ERR, "PRU program %s did not finish", path);
        prussdrv_pru_disable(0);
        return false;
    }
    prussdrv_pru_clear_event(kOutSpiDone, kEvSpiDone);
    return true;
}

uint8_t *pru_get_data_mem() { return data_mem; }
