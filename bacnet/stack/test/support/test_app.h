#pragma once
// A small device application and runtime for the stack's tests, benchmarks,
// fuzz targets and bacnet-testd: a root device with a configurable number of
// analog inputs, a few virtual devices on a virtual network, log capture and
// counters of the application hooks. The real device application replaces it.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "bacnet/enums.h"
#include "bacnet/stack/address.h"
#include "bacnet/stack/notify.h"

namespace testapp {

struct Config {
    uint32_t rootInstance = 1234;
    uint16_t virtualNetwork = 100;
    std::vector<int32_t> virtualDevices{42, 43, 44};
    int rootObjects = 10;    // analog inputs of the root device
    int virtualObjects = 3;  // analog inputs of each virtual device
    uint16_t udpPort = 47808;
    uint16_t bipNetwork = 0;
    uint8_t bbmd[4] = {0, 0, 0, 0};
    uint16_t bbmdTtl = 300;
    uint32_t apduTimeoutMs = 10000;
    uint8_t apduRetries = 3;
    uint8_t segmentationSupported = 1;
    uint32_t maxSegmentsAccepted = 1;
    uint8_t proposedWindowSize = 1;
    bool withLocation = true;
    // The password of DeviceCommunicationControl and ReinitializeDevice.
    std::string password = "secret";
    // Analog inputs of the root device in alarm (out of range, high limit).
    std::vector<uint32_t> alarmObjects;
    bool withDescription = false;
    // Names of analog inputs (by instance, on every device) in place of
    // "AI n", at most 128 characters.
    std::map<uint32_t, std::string> objectNames;
    // B/IPv6: the own address and the multicast group (the texts the
    // runtime hands over). The record points into the configuration, so
    // they stay valid until the next configure.
    std::string bipv6Address = "2001:db8::10";
    std::string bipv6Multicast = "ff02::bac0";
    // MS/TP.
    std::string mstpTty = "/dev/ttyO4";
    std::string mstpBaud = "38400";
    uint8_t tolerance = 1;
    uint8_t maxMaster = 127;
    uint8_t mstpMac = 5;
    uint8_t maxInfoFrames = 1;
};

// Replaces the configuration; the next appFillDeviceRecord reads it.
void configure(const Config &config);
const Config &config();

// Captured log lines ("level text"), oldest first.
std::vector<std::string> logLines();
void clearLog();
bool logContains(const std::string &text);

struct Counters {
    uint64_t monitorSent = 0;
    uint64_t monitorReceived = 0;
    uint64_t requestTimeouts = 0;
    uint64_t repliesReceived = 0;
    uint32_t lastReplyError = 0;
    uint8_t lastTimeoutInvokeId = 0;
};
Counters counters();
void resetCounters();

// The object identifier of the n-th analog input (1-based).
inline uint32_t analogInput(uint32_t instance) {
    return instance;
}
inline uint32_t deviceObject(uint32_t instance) {
    return objectIdMake(kObjDevice, instance);
}

// Present value of an analog input (same on every device until written).
float presentValue(uint32_t instance);
// Sets the present value (the notifier thread and WriteProperty).
void setPresentValue(uint32_t instance, float value);
// The last write the application accepted, and how many there were.
struct WriteRecord {
    int32_t device = 0;
    uint32_t objectId = 0;
    uint32_t property = 0;
    uint8_t priority = 0;
    uint64_t count = 0;
};
WriteRecord lastWrite();
// Warm starts requested through ReinitializeDevice (the runtime's restart).
uint64_t warmStartsRequested();
bool takeWarmStartRequest();

// The COV subscriptions of an object of a device (at most two per object).
std::vector<CovSubscriber> subscriptions(int32_t device, uint32_t objectId);
// Every subscribed object, as (device, object identifier).
std::vector<std::pair<int32_t, uint32_t>> subscribedObjects();
// Forgets every subscription.
void clearSubscriptions();

}  // namespace testapp
