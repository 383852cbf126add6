#pragma once
// The stack's record of the root device and its datalink settings. The device
// application fills it (appFillDeviceRecord); the datalinks, the timers and
// the Device object's properties read it; the router writes the learned
// network numbers into it.

#include <cstdint>

struct CharString;

struct DeviceRecord {
    uint32_t instance;
    uint32_t maxApdu;               // max APDU length accepted: 1476, 480 on MS/TP
    uint32_t apduTimeoutMs;         // 10000
    uint32_t apduSegmentTimeoutMs;  // 30000
    uint32_t maxSegmentsAccepted;   // 1
    uint8_t apduRetries;            // 3
    uint8_t segmentationSupported;  // 0 both, 1 transmit, 2 receive, 3 none
    uint8_t proposedWindowSize;     // 1
    uint8_t reserved0;
    uint32_t databaseRevision;  // the stack counts it up
    uint16_t vendorId;
    uint8_t objectTypesSupported[7];  // 55 bits, bit 0 in the top bit of octet 0
    uint8_t reserved1;
    const CharString *objectName;
    const CharString *vendorName;
    const CharString *modelName;
    const CharString *firmwareRevision;
    const CharString *applicationSoftwareVersion;
    const CharString *location;
    const CharString *description;
    const CharString *profileName;
    uint16_t bipNetwork;  // B/IP network number
    uint8_t bipNetworkLearned;
    uint8_t reserved2;
    uint16_t udpPort;        // 47808 by default
    uint8_t bbmdAddress[4];  // all zero when no BBMD is configured
    uint16_t bbmdTtl;        // seconds
    const char *bipv6Address;
    const char *bipv6Multicast;
    const char *mstpTty;  // "/dev/ttyO4"
    const char *mstpBaud;
    uint8_t tolerance;
    uint8_t reserved3;
    uint16_t mstpNetwork;
    uint8_t mstpNetworkLearned;
    uint8_t maxMaster;
    uint8_t mstpMac;
    uint8_t maxInfoFrames;
};
