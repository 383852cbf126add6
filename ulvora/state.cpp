#include "ulvora/state.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace {

std::atomic<bool> quit{false};
std::mutex state_mutex;
std::condition_variable state_cv;
modbus_config config{};
uint64_t config_generation = 0;
bool startup_poll_over = false;
bool poll_thread_over = false;

void set_and_notify(bool &flag) {
    {
        std::lock_guard lock(state_mutex);
        flag = true;
    }
    state_cv.notify_all();
}

} // namespace

bool ulvora_quit_requested() { return quit; }

void ulvora_request_quit() {
    {
        std::lock_guard lock(state_mutex);
        quit = true;
    }
    state_cv.notify_all();
}

modbus_config ulvora_config(uint64_t *generation) {
    std::lock_guard lock(state_mutex);
    if (generation != nullptr) {
        *generation = config_generation;
    }
    return config;
}

bool ulvora_config_active() { return ulvora_config().active; }

bool ulvora_replace_config(const modbus_config &fresh) {
    bool was_active;
    {
        std::lock_guard lock(state_mutex);
        was_active = config.active;
        config = fresh;
        ++config_generation;
    }
    state_cv.notify_all();
    return was_active;
}

bool ulvora_pause(std::chrono::milliseconds time) {
    std::unique_lock lock(state_mutex);
    state_cv.wait_for(lock, time, [] { return quit.load(); });
    return !quit;
}

bool ulvora_wait_change(uint64_t generation, std::chrono::milliseconds time) {
    std::unique_lock lock(state_mutex);
    state_cv.wait_for(lock, time, [&] { return quit.load() || config_generation != generation; });
    return !quit;
}

void ulvora_startup_poll_done() { set_and_notify(startup_poll_over); }

bool ulvora_wait_startup_poll(std::chrono::milliseconds time) {
    std::unique_lock lock(state_mutex);
    return state_cv.wait_for(lock, time, [] { return startup_poll_over || quit.load(); });
}

void ulvora_poll_thread_done() { set_and_notify(poll_thread_over); }

bool ulvora_wait_poll_thread(std::chrono::milliseconds time) {
    std::unique_lock lock(state_mutex);
    return state_cv.wait_for(lock, time, [] { return poll_thread_over; });
}
