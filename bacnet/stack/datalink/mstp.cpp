#include "bacnet/stack/mstp.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bacnet/enums.h"
#include "bacnet/stack/address.h"
#include "bacnet/stack/app.h"
#include "bacnet/stack/datalink.h"
#include "bacnet/stack/npdu.h"
#include "bacnet/stack/stack.h"
#include "meter/root.h"

uint8_t stackRestarting = 0;

namespace {

// The tty stays open across a restart of the runtime, so it is kept apart
// from the started flag.
std::atomic<int> mstpFd{-1};
int mstpSavedLineDiscipline = 0;

constexpr uint32_t kFrameHeader = 5;  // type, destination, source, length
constexpr int kEnomemAttempts = 3;
constexpr uint32_t kEnomemPauseMs = 100;
constexpr uint32_t kDefaultBaud = 38400;

std::atomic<bool> mstpUp{false};
std::atomic<uint8_t> ownMac{0};

int ttyOpen(const char *path, int flags) {
    return ::open(meter::meter_path(path).c_str(), flags);
}
int ttyClose(int fd) {
    return ::close(fd);
}
int ttyIoctl(int fd, unsigned long request, unsigned long argument) {
    return ::ioctl(fd, request, argument);
}
ssize_t ttyRead(int fd, void *buffer, size_t length) {
    return ::read(fd, buffer, length);
}
ssize_t ttyWrite(int fd, const void *buffer, size_t length) {
    return ::write(fd, buffer, length);
}
// A select with no descriptors: a pause that signals do not cut short on
// purpose; an interrupted pause only shortens the retry.
void ttyPause(uint32_t milliseconds) {
    timeval tv{static_cast<time_t>(milliseconds / 1000),
               static_cast<suseconds_t>(milliseconds % 1000 * 1000)};
    (void)::select(0, nullptr, nullptr, nullptr, &tv);
}

const MstpTtyOps systemOps{ttyOpen, ttyClose, ttyIoctl, ttyRead, ttyWrite, ttyPause};
std::atomic<const MstpTtyOps *> ops{&systemOps};

unsigned long pointer(void *p) {
    return reinterpret_cast<unsigned long>(p);
}

void log(int level, const std::string &text) {
    logMessage(level, text.c_str());
}

struct BaudRate {
    uint32_t rate;
    unsigned int code;  // the termios rate code; BOTHER for an arbitrary rate
};
constexpr BaudRate kBaudRates[] = {
    {115200, B115200}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {76800, BOTHER}, {9600, B9600},
};

unsigned int baudCode(uint32_t rate) {
    for (const BaudRate &b : kBaudRates) {
        if (b.rate == rate) {
            return b.code;
        }
    }
    return B38400;
}

// A Set request of the module; its failure is logged and the set-up goes on
// with the module's previous value.
void setParameter(int fd, MstpIoctl request, unsigned long value, const char *failure) {
    if (ops.load()->ioctl(fd, request, value) < 0) {
        logMessage(3, failure);
    }
}

void readBack(int fd, MstpIoctl request, const char *label, const char *unit = "") {
    int value = ops.load()->ioctl(fd, request, 0);
    if (value >= 0) {
        log(6, label + std::to_string(value) + unit);
    }
}

}  // namespace

void mstpSetTtyOps(const MstpTtyOps *replacement) {
    ops = replacement != nullptr ? replacement : &systemOps;
}

uint32_t mstpBaudRate(const char *text) {
    // The whole text is the number: "4800" is no rate of the module's, not
    // 57600, and "9600x" is not 9600.
    uint32_t rate = 0;
    if (text != nullptr && *text >= '0' && *text <= '9') {
        char *end = nullptr;
        errno = 0;
        unsigned long v = std::strtoul(text, &end, 10);
        if (errno == 0 && *end == '\0') {
            for (const BaudRate &b : kBaudRates) {
                if (b.rate == v) {
                    rate = b.rate;
                }
            }
        }
    }
    if (rate == 0) {
        logMessage(6, "MS/TP:  Unsupported baud rate defaulting to 38400");
        return kDefaultBaud;
    }
    log(6, "MS/TP: Setting baud to " + std::to_string(rate));
    return rate;
}

int mstpSetupSerial(int fd, uint32_t baud) {
    const MstpTtyOps *tty = ops.load();
    serial_rs485 rs485{};
    rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    (void)tty->ioctl(fd, TIOCSRS485, pointer(&rs485));

    termios2 tio{};
    (void)tty->ioctl(fd, TCGETS2, pointer(&tio));
    int on = 1;
    (void)tty->ioctl(fd, FIONBIO, pointer(&on));

    unsigned int code = baudCode(baud);
    tio.c_cflag &=
        ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT) | CSIZE | PARENB | CSTOPB | HUPCL | CRTSCTS);
    tio.c_cflag |= code | CS8 | CREAD | CLOCAL;
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    tio.c_iflag = IGNBRK | IGNPAR;
    tio.c_oflag = 0;
    tio.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | ISIG | IEXTEN);
    tio.c_cc[VTIME] = 0;
    tio.c_cc[VMIN] = 1;
    (void)tty->ioctl(fd, TCSETS2, pointer(&tio));

    serial_struct info{};
    if (tty->ioctl(fd, TIOCGSERIAL, pointer(&info)) < 0) {
        std::fprintf(stderr, "TIOCGSERIAL ioctl() failed: %s\n", std::strerror(errno));
        return -1;
    }
    return 0;
}

bool mstpInit(const DeviceRecord *record) {
    const MstpTtyOps *tty = ops.load();
    mstpUp = false;
    int fd = mstpFd.load();
    if (fd >= 0 && !stackRestarting) {
        // Left open by a restart onto another port: one descriptor only.
        tty->close(fd);
        fd = -1;
    }
    const char *path = record->mstpTty != nullptr ? record->mstpTty : "";
    if (fd < 0) {
        fd = tty->open(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            log(1, std::string("MS/TP: ") + path + ": " + std::strerror(errno));
            mstpFd = -1;
            return false;
        }
    }
    mstpFd = fd;

    mstpSetupSerial(fd, mstpBaudRate(record->mstpBaud));

    int saved = 0;
    if (tty->ioctl(fd, TIOCGETD, pointer(&saved)) == 0) {
        mstpSavedLineDiscipline = saved;
    }
    int discipline = kMstpLineDiscipline;
    if (tty->ioctl(fd, TIOCSETD, pointer(&discipline)) < 0) {
        // Without the discipline every frame would go out as raw octets.
        log(1, std::string("MS/TP: ") + path +
                   ": cannot attach the MS/TP line discipline: " + std::strerror(errno));
        tty->close(fd);
        mstpFd = -1;
        return false;
    }

    setParameter(fd, SetMaxMaster, record->maxMaster, "SetMaxMaster Failed\n");
    setParameter(fd, SetMaxInfoFrames, record->maxInfoFrames, "SetMaxInfoFrames Failed\n");
    ownMac = record->mstpMac;
    setParameter(fd, SetMACAddress, record->mstpMac, "SetMACAddress Failed\n");
    setParameter(fd, SetTolerance, record->tolerance == 1 ? kMstpToleranceOn : kMstpToleranceOff,
                 "SetTolerance Failed\n");

    int version = tty->ioctl(fd, GetModuleVersion, 0);
    if (version < 0) {
        logMessage(1, "Warning: RX-TOL requires v2.03 or greater MS/TP module\n");
    } else {
        char line[64];
        std::snprintf(line, sizeof line, "MS/TP: using module %f", version / 100.0);
        logMessage(6, line);
    }
    readBack(fd, GetMACAddress, "MS/TP: MAC Address (TS) = ");
    readBack(fd, GetMaxInfoFrames, "MS/TP: max-info-frames = ");
    readBack(fd, GetMaxMaster, "MS/TP: max-master = ");
    readBack(fd, GetTusageTimeout, "MS/TP: Tusagetimeout = ", "ms");
    mstpUp = true;
    return true;
}

void mstpClose() {
    mstpUp = false;
    int fd = mstpFd.load();
    if (fd < 0) {
        return;
    }
    const MstpTtyOps *tty = ops.load();
    int saved = mstpSavedLineDiscipline;
    (void)tty->ioctl(fd, TIOCSETD, pointer(&saved));
    if (!stackRestarting) {
        tty->close(fd);
        mstpFd = -1;
    }
}

bool mstpIsUp() {
    return mstpUp;
}

void mstpSend(uint8_t mac, uint32_t length, const uint8_t *npdu, bool expectingReply) {
    int fd = mstpFd.load();
    if (!mstpUp || fd < 0 || npdu == nullptr || length > kMstpMaxFrameNpdu) {
        return;
    }
    uint8_t frame[kFrameHeader + kMstpMaxFrameNpdu];
    frame[0] = expectingReply ? kMstpFrameBacnetDataExpectingReply : kMstpFrameBacnetDataNotExpectingReply;
    frame[1] = mac;
    frame[2] = 0xFF;  // the module puts in the source
    frame[3] = static_cast<uint8_t>(length >> 8);
    frame[4] = static_cast<uint8_t>(length);
    std::memcpy(frame + kFrameHeader, npdu, length);
    const MstpTtyOps *tty = ops.load();
    for (int attempt = 1;; ++attempt) {
        if (tty->write(fd, frame, kFrameHeader + length) >= 0) {
            return;
        }
        if (errno != ENOMEM) {
            std::printf("MSTP: Send Error: %d\n", errno);
            return;
        }
        if (attempt == kEnomemAttempts) {
            return;
        }
        tty->pause(kEnomemPauseMs);
    }
}

void mstpWork() {
    int fd = mstpFd.load();
    if (!mstpUp || fd < 0) {
        return;
    }
    uint8_t buffer[kMstpReadBuffer];
    ssize_t n = ops.load()->read(fd, buffer, sizeof buffer);
    if (n <= 0) {
        return;
    }
    uint8_t own = ownMac;
    npduReceive(kPortMstp, 1, buffer, &own, static_cast<uint32_t>(n - 1), buffer + 1, false);
}

uint8_t mstpGetMac(uint8_t *out) {
    int fd = mstpFd.load();
    if (fd < 0) {
        return 0;
    }
    int mac = ops.load()->ioctl(fd, GetMACAddress, 0);
    out[0] = mac >= 0 ? static_cast<uint8_t>(mac) : ownMac.load();
    return 1;
}

namespace {

bool start(DeviceRecord *record) {
    return mstpInit(record);
}
void send(const uint8_t *mac, uint32_t length, const uint8_t *npdu, bool expectingReply) {
    mstpSend(mac != nullptr ? mac[0] : kMstpBroadcast, length, npdu, expectingReply);
}
void poll(uint32_t) {
    mstpWork();
}
uint32_t maxApdu() {
    return mstpMaxApdu();
}
uint32_t maxNpdu() {
    return mstpMaxNpdu();
}
uint8_t broadcastAddress(uint8_t *out) {
    out[0] = kMstpBroadcast;
    return 1;
}

}  // namespace

const DatalinkOps mstpDatalink{kPortMstp, 1,       start,      mstpClose,       send, poll, nullptr,
                               maxApdu,   maxNpdu, mstpGetMac, broadcastAddress};
