#pragma once
// The MS/TP line discipline of the board, emulated on a build machine: a tty
// with the discipline's module behind the calls the MS/TP datalink makes
// (open, ioctl, read, write, close), on a simulated RS-485 bus with scripted
// peer stations. A host never opens a real tty for it: line discipline 2 is
// another discipline there.
//
// What the emulator holds to, as the module does:
// - The tty keeps the serial settings given to it (TIOCSRS485, TCSETS2) and
//   its line discipline (TIOCGETD/TIOCSETD); TIOCGSERIAL reads the serial
//   information; FIONBIO sets non-blocking mode.
// - The module's requests (type 0xBA) work only while discipline 2 is
//   attached (else ENOTTY). Set requests take the value itself as argument,
//   Get requests return the value as their result.
// - With discipline 2 attached, one write is one frame: octet 0 frame type
//   (5 or 6), octet 1 destination MAC, octet 2 source (the module puts in
//   its own MAC), octets 3..4 NPDU length (big-endian), then the NPDU of at
//   most 501 octets. A write that is not exactly one such frame fails with
//   EINVAL. One read returns one received frame addressed to the station or
//   broadcast: octet 0 the source MAC, then the NPDU; EAGAIN when none is
//   waiting (reads never block).
// - Without the discipline, writes go onto the line as raw octets (counted,
//   never a frame) and nothing is read.
// The token passing and frame timing of the module are not emulated: the bus
// carries the data frames in the order they are written or scripted.
//
// Thread-safe: the datalink sends from several threads. Station scripts run
// under the emulator's lock and must not call the emulator.

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace mstpemu {

// The module's requests.
enum Request : unsigned long {
    kSetMaxMaster = 0x4004BAC0,
    kSetMaxInfoFrames = 0x4004BAC1,
    kSetMacAddress = 0x4001BAC2,
    kGetMaxMaster = 0x8004BAC3,
    kGetMaxInfoFrames = 0x8004BAC4,
    kGetMacAddress = 0x8001BAC5,
    kSetTolerance = 0x4004BAC6,
    kGetTusageTimeout = 0x8004BAC7,
    kGetModuleVersion = 0x8004BAC8,
};

// The line discipline of the module, and the one a tty starts with.
inline constexpr int kMstpDiscipline = 2;
inline constexpr int kTtyDiscipline = 0;
inline constexpr uint32_t kMaxNpdu = 501;

// One data frame on the bus.
struct Frame {
    uint8_t type = 6;
    uint8_t destination = 0xFF;
    uint8_t source = 0;
    std::vector<uint8_t> data;
};

// A scripted station: sees every frame on the bus that another station sent
// and returns the frames it sends in answer (their source is set to the
// station's MAC).
using Station = std::function<std::vector<Frame>(const Frame &seen)>;

// Failures on request. Each stays in force until reset().
enum class Failure {
    kOpen,          // open fails with the given errno
    kSetMaxMaster,  // each Set request fails with the given errno
    kSetMaxInfoFrames,
    kSetMacAddress,
    kSetTolerance,
    kGetSerial,      // TIOCGSERIAL
    kSetDiscipline,  // TIOCSETD of the module's discipline
    kModuleVersion,  // the module reports no version
    kModuleLoad,     // loading the module fails with the given errno
    kIrqPriority,    // raising the UART interrupt thread's priority fails
};

// A fresh emulator: nothing open, the tty at path with its default settings
// and discipline 0, the module with max-master 127, max-info-frames 1, MAC
// 0, tolerance 30, version 2.03 and a Tusage timeout of 50 ms, not loaded,
// the interrupt thread at normal priority, no stations, no failures, no
// capture.
void reset(const std::string &path = "/dev/ttyO4");

// The tty edge.
int open(const char *path, int flags);
int close(int fd);
int ioctl(int fd, unsigned long request, unsigned long argument);
ssize_t read(int fd, void *buffer, size_t length);
ssize_t write(int fd, const void *buffer, size_t length);
// The datalink's pause between retries: counted, never waited for.
void pause(uint32_t milliseconds);

// The module and the UART's interrupt thread of the board, before the
// datalink opens the tty. The module starts unloaded.
bool moduleLoaded();
// Loads the module: 0, or -1 with errno (EEXIST when it already is).
int loadModule();
// The interrupt thread's process id (a fixed number of the emulation).
inline constexpr int kIrqThreadPid = 31;
// Gives the interrupt thread SCHED_FIFO at priority: 0, or -1 with errno.
int setIrqThreadPriority(int priority);

// Scripting.
void addStation(uint8_t mac, Station station);
// A frame from a peer onto the bus now (its source as given).
void send(const Frame &frame);
void fail(Failure failure, int error);
// The next `count` writes fail with `error` (ENOMEM, say).
void failWrites(int count, int error);
// Records every frame of the bus from now on into a pcap file of linktype
// 165 (BACnet MS/TP, from the preamble on, with header and data CRCs).
// Returns false when the file cannot be written.
bool capture(const std::string &path);
void stopCapture();

// What the emulator saw.
struct State {
    int opens = 0;
    int closes = 0;
    int openDescriptors = 0;
    int lineDiscipline = kTtyDiscipline;
    bool nonBlocking = false;
    // The serial settings last given (struct serial_rs485 and struct
    // termios2 as octets; see the tests for their reading).
    std::vector<uint8_t> rs485;
    std::vector<uint8_t> termios2;
    bool moduleLoaded = false;
    int moduleLoads = 0;     // successful loads
    int irqPriority = 0;     // SCHED_FIFO priority of the interrupt thread, 0 for normal
    uint32_t maxMaster = 127;
    uint32_t maxInfoFrames = 1;
    uint32_t mac = 0;
    uint32_t tolerance = 30;
    uint32_t writes = 0;
    uint32_t pauses = 0;
    uint32_t pausedMs = 0;
    uint64_t rawOctets = 0;
    std::vector<Frame> bus;
};
State state();
// Forgets the frames of the bus seen so far (State::bus), so that a long
// run does not keep them all.
void forgetBus();

// The CRCs of MS/TP: the 8-bit header CRC over type, destination, source
// and length, and the 16-bit data CRC, each as sent (complemented; the data
// CRC low octet first).
uint8_t headerCrc(const uint8_t *octets, size_t length);
uint16_t dataCrc(const uint8_t *octets, size_t length);

}  // namespace mstpemu
