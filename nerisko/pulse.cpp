#include "nerisko/pulse.h"

#include "arvent.h"
#include "meter/sysio.h"
#include "nerisko/pru.h"

#include <fcntl.h>
#include <syslog.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <atomic>
#include <thread>

int pulse_period_ms = 1000;

namespace {

std::mutex pulse_mutex;
std::condition_variable pulse_wake;
bool active = false;
bool baseline_taken = false;
uint64_t passes = 0;
uint32_t last_reported[2];
uint8_t *data_mem = nullptr;
std::thread pulse_thread_handle;

uint32_t read_counter(unsigned k) {
    // The PRU writes the word while we read it: one aligned 32-bit load,
    // atomic as the PRU's store is.
    auto *word = reinterpret_cast<uint32_t *>(data_mem + PRU_PULSE_COUNTER_OFFSET + 4 * k);
    return std::atomic_ref<uint32_t>(*word).load(std::memory_order_relaxed);
}

void pulse_thread() {
    std::unique_lock guard(pulse_mutex);
    while (active) {
        for (unsigned k = 0; k < 2; ++k) {
            const uint32_t counter = read_counter(k);
            if (!baseline_taken) {
                last_reported[k] = counter;
                continue;
            }
            if (counter == last_reported[k]) {
                continue;
            }
            const uint32_t delta = counter - last_reported[k];  // a wrap gives the right increase
            if (ipc_pulse_count_update(static_cast<int>(k), static_cast<int>(delta)) != 0) {
                last_reported[k] = counter;
            }
        }
        baseline_taken = true;
        ++passes;
        pulse_wake.wait_for(guard, std::chrono::milliseconds(pulse_period_ms), [] { return !active; });
    }
}

}  // namespace

int pulse_init() {
    data_mem = pru_get_data_mem();
    if (data_mem == nullptr) {
        sys_log(LOG_ERR, "Failed to get PRU memory pointer");
        return 0;
    }
    std::lock_guard guard(pulse_mutex);
    SYS_ASSERT(!active, "!active");
    active = true;
    baseline_taken = false;
    passes = 0;
    sys_log(LOG_INFO, "Starting pulse thread");
    try {
        pulse_thread_handle = std::thread(pulse_thread);
    } catch (const std::system_error &e) {
        sys_log(LOG_ERR, "Error starting pulse thread (%d)", e.code().value());
        active = false;
        return 0;
    }
    return 1;
}

void pulse_cleanup() {
    {
        std::lock_guard guard(pulse_mutex);
        if (!active) {
            return;
        }
        active = false;
        sys_log(LOG_INFO, "Stopping pulse thread");
    }
    pulse_wake.notify_all();
    pulse_thread_handle.join();
}

uint32_t pulse_last_reported(unsigned input) {
    std::lock_guard guard(pulse_mutex);
    return input < 2 ? last_reported[input] : 0;
}

uint64_t pulse_passes() {
    std::lock_guard guard(pulse_mutex);
    return passes;
}
