#pragma once
// The datalinks behind the stack's ports. Each datalink is one record of
// operations (one file in bacnet/stack/datalink/), and the port switch below
// reaches it by the port number a BACnetAddress carries. Adding a datalink
// means writing its record and naming it in the port table of
// datalink/datalink.cpp; nothing else in the stack knows which datalinks
// exist.

#include <cstdint>

#include "bacnet/stack/address.h"
#include "bacnet/stack/device_record.h"

struct DatalinkOps {
    uint8_t port;       // the DatalinkPort the record serves
    uint8_t macLength;  // octets of a MAC address on this datalink
    // Opens the datalink with the record's settings; false when it did not
    // start (the reason has been logged).
    bool (*start)(DeviceRecord *record);
    void (*stop)();
    // Sends an NPDU to mac, or broadcasts it when mac is null.
    void (*send)(const uint8_t *mac, uint32_t length, const uint8_t *npdu, bool expectingReply);
    // Receives what is waiting (into npduReceive) and runs the datalink's
    // own timing; elapsedMs since the previous poll.
    void (*poll)(uint32_t elapsedMs);
    // Once a second; null when the datalink has nothing to time.
    void (*second)();
    uint32_t (*maxApdu)();
    uint32_t (*maxNpdu)();
    // The own and the broadcast MAC address; each returns its length.
    uint8_t (*ownAddress)(uint8_t *out);
    uint8_t (*broadcastAddress)(uint8_t *out);
};

extern const DatalinkOps mstpDatalink;
extern const DatalinkOps bipDatalink;
extern const DatalinkOps bipv6Datalink;

// The port switch. Until the first datalinkStart every port is served (so
// that the I-Am of an early caller goes out on each); afterwards only the
// started one. A port that is not served sends nothing and has a max APDU,
// max NPDU and own address of 0.
bool datalinkStart(uint8_t port, DeviceRecord *record);
void datalinkCloseAll();
void datalinkSend(uint8_t port, const uint8_t *mac, uint32_t length, const uint8_t *npdu,
                  bool expectingReply);
void datalinkPoll(uint32_t elapsedMs);
// The one-second tasks of every datalink.
void datalinkSecond();
uint32_t datalinkMaxApdu(uint8_t port);
uint32_t datalinkMaxNpdu(uint8_t port);
uint8_t datalinkMaxApduCode(uint32_t length);
uint8_t datalinkGetMyAddress(uint8_t port, uint8_t *out);
// The started port; kPortNone before a start, after a failed one and after
// the datalinks were closed.
uint8_t datalinkActivePort();
