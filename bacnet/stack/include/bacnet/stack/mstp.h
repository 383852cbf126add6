#pragma once
// MS/TP (port 0) on the RS-485 tty through the MS/TP line discipline of the
// board's kernel module: the datalink sets the line up, attaches the
// discipline, gives it the station's parameters and exchanges whole frames
// with it, one write per frame sent and one read per frame received. The
// module does the token passing, the timing and the frame encoding.

#include <cstdint>
#include <sys/types.h>

#include "bacnet/stack/device_record.h"

// The tty edge of the datalink; tests replace it with the emulated line
// discipline (platform/mstp). Each call returns as its system call does, with
// errno set on failure.
struct MstpTtyOps {
    int (*open)(const char *path, int flags);
    int (*close)(int fd);
    // The argument is a pointer or, for the module's Set requests, the value.
    int (*ioctl)(int fd, unsigned long request, unsigned long argument);
    ssize_t (*read)(int fd, void *buffer, size_t length);
    ssize_t (*write)(int fd, const void *buffer, size_t length);
    // The pause between two attempts of a write the module had no memory
    // for.
    void (*pause)(uint32_t milliseconds);
};

// Replaces the tty edge (null restores the system calls). Not while the
// datalink is up.
void mstpSetTtyOps(const MstpTtyOps *ops);

// The module's requests (type 0xBA). Set requests take the value itself as
// the argument; Get requests return the value as the result, negative on
// failure.
enum MstpIoctl : unsigned long {
    SetMaxMaster = 0x4004BAC0,
    SetMaxInfoFrames = 0x4004BAC1,
    SetMACAddress = 0x4001BAC2,
    GetMaxMaster = 0x8004BAC3,
    GetMaxInfoFrames = 0x8004BAC4,
    GetMACAddress = 0x8001BAC5,
    SetTolerance = 0x4004BAC6,
    GetTusageTimeout = 0x8004BAC7,
    GetModuleVersion = 0x8004BAC8,
};

// The module's line discipline.
inline constexpr int kMstpLineDiscipline = 2;
// The NPDU of one frame written to the module, and what one read returns at
// most (the source MAC and the NPDU).
inline constexpr uint32_t kMstpMaxFrameNpdu = 501;
inline constexpr uint32_t kMstpReadBuffer = 512;
// The tolerance values of the module: with and without RX-TOL.
inline constexpr uint32_t kMstpToleranceOn = 80;
inline constexpr uint32_t kMstpToleranceOff = 30;

// Opens (or, while the runtime restarts, reuses) the tty, sets it up and
// attaches the discipline. False, with one log line, when the tty cannot be
// opened or the discipline not attached: the port has not started.
bool mstpInit(const DeviceRecord *record);
// Sets the line up for the module: RS-485, termios2, non-blocking. Returns
// 0, or -1 when the serial information cannot be read (the caller goes on).
int mstpSetupSerial(int fd, uint32_t baud);
// The rate of a baud text ("9600", "76800", ...), 38400 for any other text;
// logs the rate chosen.
uint32_t mstpBaudRate(const char *text);
// Restores the previous line discipline; closes the tty unless the runtime
// is restarting.
void mstpClose();
void mstpSend(uint8_t mac, uint32_t length, const uint8_t *npdu, bool expectingReply);
// One frame from the module, if one is waiting.
void mstpWork();
// The MAC in force; returns its length (1), or 0 while the tty is closed.
uint8_t mstpGetMac(uint8_t *out);
inline uint32_t mstpMaxApdu() {
    return 480;
}
inline uint32_t mstpMaxNpdu() {
    return 509;
}
bool mstpIsUp();
