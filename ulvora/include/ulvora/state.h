#pragma once
// What Ulvora's threads share: the quit request (SIGINT), the configuration
// in force, and the events the main thread waits for. The flags are atomic
// or guarded; the configuration is replaced and read whole under a lock,
// so that no reader sees half a record. Every wait here ends at once on a
// quit request.

#include "arvent.h"

#include <chrono>
#include <cstdint>

bool ulvora_quit_requested();
void ulvora_request_quit();

// The configuration in force and its generation, which moves with every
// replacement.
modbus_config ulvora_config(uint64_t *generation = nullptr);
bool ulvora_config_active();
// Replaces it; answers whether the one replaced was active.
bool ulvora_replace_config(const modbus_config &config);

// A pause of the poll thread; false when it ended by a quit request.
bool ulvora_pause(std::chrono::milliseconds time);
// Waits for the time, a new configuration or a quit request; false on quit.
bool ulvora_wait_change(uint64_t generation, std::chrono::milliseconds time);

// The start-up poll is over, and the waiting for it (false when the time
// ran out first; true too on a quit request).
void ulvora_startup_poll_done();
bool ulvora_wait_startup_poll(std::chrono::milliseconds time);
// The poll thread has returned, and the waiting for it.
void ulvora_poll_thread_done();
bool ulvora_wait_poll_thread(std::chrono::milliseconds time);
