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
// 1 while the program restarts the stack (its clean-up, stackShutdown, its
// start-up): the MS/TP datalink keeps its tty open across it.
extern uint8_t stackRestarting;
// Refills the root DeviceRecord from the application.
void stackRefreshDevice();
// The root device's record (owned by the stack). Main thread only: senders on
// other threads use stackApduTimeoutMs instead.
DeviceRecord &stackDevice();
// Values of the root device's record that senders on other threads read:
// APDU timeout, segment timeout, proposed window size, segmentation-supported.
uint32_t stackApduTimeoutMs();
uint32_t stackRootInstance();
uint32_t stackSegmentTimeoutMs();
uint8_t stackProposedWindowSize();
uint8_t stackSegmentationSupported();

// DeviceCommunicationControl state. Read by senders on other threads.
extern std::atomic<uint8_t> communicationEnabled;
extern std::atomic<uint8_t> stackInitiationDisabled;
// Time left of a timed DeviceCommunicationControl disable, in ms (0: none);
// 64-bit, since the longest duration (65535 minutes) does not fit 32 bits.
extern std::atomic<int64_t> dccTimerMs;
