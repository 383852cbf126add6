#pragma once
// The stack's entry points. The stack has no thread of its own: the
// runtime's main thread calls stackTick and stackProcess every cycle;
// stackInit and stackShutdown start and stop it. The port switch is in
// bacnet/stack/datalink.h.

#include <atomic>
#include <cstdint>

#include "bacnet/stack/address.h"
#include "bacnet/stack/datalink.h"
#include "bacnet/stack/device_record.h"

// Starts the stack on one datalink port. Returns true when the port started.
bool stackInit(uint8_t port);
// Stops the stack under the stack lock: closes the datalinks and empties every
// table and queue. stackInit may follow.
void stackShutdown();
// Advances the timers by the milliseconds since the previous call and polls
// the datalink. Takes a full 32-bit count: a cycle that blocked for longer
// than 255 ms is counted in full, not modulo 256.
void stackTick(uint32_t elapsedMs);
// One receive-and-dispatch step of the network and application layers.
void stackProcess();
uint8_t stackActivePort();
// Refills the root DeviceRecord from the application.
void stackRefreshDevice();
// The root device's record (owned by the stack). Main thread only: senders on
// other threads use stackApduTimeoutMs instead.
DeviceRecord &stackDevice();
// The APDU timeout of the root device's record, safe to read from any thread.
uint32_t stackApduTimeoutMs();

// DeviceCommunicationControl state. Read by senders on other threads.
extern std::atomic<uint8_t> communicationEnabled;
extern std::atomic<uint8_t> stackInitiationDisabled;
extern std::atomic<int32_t> dccTimerMs;
