#include "mstp/emulator.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

namespace mstpemu {
namespace {

// Descriptors of the emulated tty, far from any real one.
constexpr int kFirstDescriptor = 9000;
constexpr size_t kFrameHeader = 5;  // type, destination, source, length

struct Emulator {
    std::string path = "/dev/ttyO4";
    State state;
    termios2 tio{};
    std::map<int, bool> descriptors;  // open descriptor -> non-blocking
    int nextDescriptor = kFirstDescriptor;
    std::map<uint8_t, Station> stations;
    std::map<Failure, int> failures;
    int failingWrites = 0;
    int writeError = 0;
    std::deque<Frame> inbox;  // frames for the station behind the tty
    std::FILE *pcap = nullptr;
    uint32_t pcapSeconds = 0;
    uint32_t pcapMicros = 0;
};

std::mutex mutex;
Emulator emu;

// A tty as the kernel leaves it after open: 9600 baud, canonical, echoing,
// hanging up on close.
termios2 defaultTermios() {
    termios2 t{};
    t.c_cflag = B9600 | CS8 | CREAD | HUPCL;
    t.c_iflag = ICRNL | IXON;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHOCTL | ECHOKE | IEXTEN;
    t.c_cc[VMIN] = 1;
    t.c_ispeed = 9600;
    t.c_ospeed = 9600;
    return t;
}

template <typename T>
std::vector<uint8_t> octets(const T &value) {
    const auto *p = reinterpret_cast<const uint8_t *>(&value);
    return std::vector<uint8_t>(p, p + sizeof value);
}

int failWith(int error) {
    errno = error;
    return -1;
}

void put32(std::FILE *f, uint32_t v) {
    std::fwrite(&v, 4, 1, f);  // pcap records are in the writer's byte order
}

// One frame from the preamble on, as it goes over the wire.
std::vector<uint8_t> wireImage(const Frame &frame) {
    const auto length = static_cast<uint16_t>(frame.data.size());
    std::vector<uint8_t> wire{0x55,
                              0xFF,
                              frame.type,
                              frame.destination,
                              frame.source,
                              static_cast<uint8_t>(length >> 8),
                              static_cast<uint8_t>(length)};
    wire.push_back(headerCrc(wire.data() + 2, kFrameHeader));
    if (length > 0) {
        wire.insert(wire.end(), frame.data.begin(), frame.data.end());
        uint16_t crc = dataCrc(frame.data.data(), frame.data.size());
        wire.push_back(static_cast<uint8_t>(crc));
        wire.push_back(static_cast<uint8_t>(crc >> 8));
    }
    return wire;
}

void record(const Frame &frame) {
    emu.state.bus.push_back(frame);
    if (emu.pcap == nullptr) {
        return;
    }
    // Virtual time: one millisecond per frame, so that captures are the same
    // from run to run.
    std::vector<uint8_t> wire = wireImage(frame);
    put32(emu.pcap, emu.pcapSeconds);
    put32(emu.pcap, emu.pcapMicros);
    put32(emu.pcap, static_cast<uint32_t>(wire.size()));
    put32(emu.pcap, static_cast<uint32_t>(wire.size()));
    std::fwrite(wire.data(), 1, wire.size(), emu.pcap);
    std::fflush(emu.pcap);
    emu.pcapMicros += 1000;
    if (emu.pcapMicros >= 1000000) {
        emu.pcapMicros = 0;
        ++emu.pcapSeconds;
    }
}

bool attached() {
    return emu.state.lineDiscipline == kMstpDiscipline;
}

// Puts a frame on the bus and lets every other station see it, and their
// answers in turn.
void transmit(const Frame &first) {
    std::deque<Frame> pending{first};
    // A bound on chains of answers, so that two scripts answering each other
    // cannot hang a test.
    for (int guard = 0; guard < 10000 && !pending.empty(); ++guard) {
        Frame frame = std::move(pending.front());
        pending.pop_front();
        record(frame);
        const auto own = static_cast<uint8_t>(emu.state.mac);
        if (attached() && frame.source != own && (frame.destination == own || frame.destination == 0xFF)) {
            emu.inbox.push_back(frame);
        }
        for (auto &[mac, station] : emu.stations) {
            if (mac == frame.source) {
                continue;
            }
            for (Frame answer : station(frame)) {
                answer.source = mac;
                pending.push_back(std::move(answer));
            }
        }
    }
}

bool failing(Failure f, int *error) {
    auto it = emu.failures.find(f);
    if (it == emu.failures.end()) {
        return false;
    }
    *error = it->second;
    return true;
}

int setValue(Failure f, uint32_t *slot, unsigned long value) {
    int error = 0;
    if (failing(f, &error)) {
        return failWith(error);
    }
    *slot = static_cast<uint32_t>(value);
    return 0;
}

int moduleRequest(unsigned long request, unsigned long argument) {
    if (!attached()) {
        return failWith(ENOTTY);
    }
    State &s = emu.state;
    switch (request) {
        case kSetMaxMaster:
            return setValue(Failure::kSetMaxMaster, &s.maxMaster, argument);
        case kSetMaxInfoFrames:
            return setValue(Failure::kSetMaxInfoFrames, &s.maxInfoFrames, argument);
        case kSetMacAddress:
            return setValue(Failure::kSetMacAddress, &s.mac, argument & 0xFF);
        case kSetTolerance:
            return setValue(Failure::kSetTolerance, &s.tolerance, argument);
        case kGetMaxMaster:
            return static_cast<int>(s.maxMaster);
        case kGetMaxInfoFrames:
            return static_cast<int>(s.maxInfoFrames);
        case kGetMacAddress:
            return static_cast<int>(s.mac);
        case kGetTusageTimeout:
            return 50;
        case kGetModuleVersion: {
            int error = 0;
            return failing(Failure::kModuleVersion, &error) ? failWith(error) : 203;
        }
        default:
            return failWith(ENOTTY);
    }
}

}  // namespace

void reset(const std::string &path) {
    std::lock_guard lock(mutex);
    if (emu.pcap != nullptr) {
        std::fclose(emu.pcap);
    }
    emu = Emulator{};
    emu.path = path;
    emu.tio = defaultTermios();
    emu.state.termios2 = octets(emu.tio);
}

int open(const char *path, int flags) {
    std::lock_guard lock(mutex);
    int error = 0;
    if (failing(Failure::kOpen, &error)) {
        return failWith(error);
    }
    if (path == nullptr || emu.path != path) {
        return failWith(ENOENT);
    }
    int fd = emu.nextDescriptor++;
    emu.descriptors[fd] = (flags & O_NONBLOCK) != 0;
    ++emu.state.opens;
    ++emu.state.openDescriptors;
    emu.state.nonBlocking = emu.descriptors[fd];
    return fd;
}

int close(int fd) {
    std::lock_guard lock(mutex);
    if (emu.descriptors.erase(fd) == 0) {
        return failWith(EBADF);
    }
    ++emu.state.closes;
    --emu.state.openDescriptors;
    return 0;
}

int ioctl(int fd, unsigned long request, unsigned long argument) {
    std::lock_guard lock(mutex);
    auto it = emu.descriptors.find(fd);
    if (it == emu.descriptors.end()) {
        return failWith(EBADF);
    }
    State &s = emu.state;
    void *pointer = reinterpret_cast<void *>(argument);
    int error = 0;
    switch (request) {
        case TIOCSRS485:
            if (pointer == nullptr) {
                return failWith(EFAULT);
            }
            s.rs485.assign(static_cast<uint8_t *>(pointer),
                           static_cast<uint8_t *>(pointer) + sizeof(serial_rs485));
            return 0;
        case TCGETS2:
            if (pointer == nullptr) {
                return failWith(EFAULT);
            }
            std::memcpy(pointer, &emu.tio, sizeof emu.tio);
            return 0;
        case TCSETS2:
            if (pointer == nullptr) {
                return failWith(EFAULT);
            }
            std::memcpy(&emu.tio, pointer, sizeof emu.tio);
            s.termios2 = octets(emu.tio);
            return 0;
        case TIOCGSERIAL: {
            if (failing(Failure::kGetSerial, &error)) {
                return failWith(error);
            }
            if (pointer == nullptr) {
                return failWith(EFAULT);
            }
            serial_struct info{};
            info.type = PORT_16550A;
            info.line = 4;
            info.baud_base = 3000000;
            std::memcpy(pointer, &info, sizeof info);
            return 0;
        }
        case TIOCGETD:
            if (pointer == nullptr) {
                return failWith(EFAULT);
            }
            std::memcpy(pointer, &s.lineDiscipline, sizeof(int));
            return 0;
        case TIOCSETD: {
            if (pointer == nullptr) {
                return failWith(EFAULT);
            }
            int discipline;
            std::memcpy(&discipline, pointer, sizeof discipline);
            if (discipline != kTtyDiscipline && discipline != kMstpDiscipline) {
                return failWith(EINVAL);
            }
            if (discipline == kMstpDiscipline && failing(Failure::kSetDiscipline, &error)) {
                return failWith(error);
            }
            if (discipline != s.lineDiscipline) {
                // A new discipline starts with an empty receive queue.
                emu.inbox.clear();
            }
            s.lineDiscipline = discipline;
            return 0;
        }
        case FIONBIO: {
            if (pointer == nullptr) {
                return failWith(EFAULT);
            }
            int on;
            std::memcpy(&on, pointer, sizeof on);
            it->second = on != 0;
            s.nonBlocking = it->second;
            return 0;
        }
        default:
            return moduleRequest(request, argument);
    }
}

ssize_t read(int fd, void *buffer, size_t length) {
    std::lock_guard lock(mutex);
    if (emu.descriptors.count(fd) == 0) {
        return failWith(EBADF);
    }
    if (!attached() || emu.inbox.empty()) {
        return failWith(EAGAIN);
    }
    Frame frame = std::move(emu.inbox.front());
    emu.inbox.pop_front();
    std::vector<uint8_t> out{frame.source};
    out.insert(out.end(), frame.data.begin(), frame.data.end());
    // A reader with too small a buffer gets the frame's start: the rest of
    // the frame is not returned by a later read.
    size_t n = out.size() < length ? out.size() : length;
    std::memcpy(buffer, out.data(), n);
    return static_cast<ssize_t>(n);
}

ssize_t write(int fd, const void *buffer, size_t length) {
    std::lock_guard lock(mutex);
    if (emu.descriptors.count(fd) == 0) {
        return failWith(EBADF);
    }
    ++emu.state.writes;
    if (emu.failingWrites > 0) {
        --emu.failingWrites;
        return failWith(emu.writeError);
    }
    if (!attached()) {
        emu.state.rawOctets += length;
        return static_cast<ssize_t>(length);
    }
    const auto *octets = static_cast<const uint8_t *>(buffer);
    if (length < kFrameHeader) {
        return failWith(EINVAL);
    }
    size_t npdu = static_cast<size_t>(octets[3] << 8 | octets[4]);
    bool dataFrame = octets[0] == 5 || octets[0] == 6;
    if (!dataFrame || npdu > kMaxNpdu || length != kFrameHeader + npdu) {
        return failWith(EINVAL);
    }
    Frame frame;
    frame.type = octets[0];
    frame.destination = octets[1];
    frame.source = static_cast<uint8_t>(emu.state.mac);
    frame.data.assign(octets + kFrameHeader, octets + length);
    transmit(frame);
    return static_cast<ssize_t>(length);
}

void pause(uint32_t milliseconds) {
    std::lock_guard lock(mutex);
    ++emu.state.pauses;
    emu.state.pausedMs += milliseconds;
}

void addStation(uint8_t mac, Station station) {
    std::lock_guard lock(mutex);
    emu.stations[mac] = std::move(station);
}

bool moduleLoaded() {
    std::lock_guard lock(mutex);
    return emu.state.moduleLoaded;
}

int loadModule() {
    std::lock_guard lock(mutex);
    int error = 0;
    if (failing(Failure::kModuleLoad, &error)) {
        return failWith(error);
    }
    if (emu.state.moduleLoaded) {
        return failWith(EEXIST);
    }
    emu.state.moduleLoaded = true;
    ++emu.state.moduleLoads;
    return 0;
}

int setIrqThreadPriority(int priority) {
    std::lock_guard lock(mutex);
    int error = 0;
    if (failing(Failure::kIrqPriority, &error)) {
        return failWith(error);
    }
    if (priority < 1 || priority > 99) {
        return failWith(EINVAL);
    }
    emu.state.irqPriority = priority;
    return 0;
}

void send(const Frame &frame) {
    std::lock_guard lock(mutex);
    transmit(frame);
}

void fail(Failure failure, int error) {
    std::lock_guard lock(mutex);
    emu.failures[failure] = error;
}

void failWrites(int count, int error) {
    std::lock_guard lock(mutex);
    emu.failingWrites = count;
    emu.writeError = error;
}

bool capture(const std::string &path) {
    std::lock_guard lock(mutex);
    if (emu.pcap != nullptr) {
        std::fclose(emu.pcap);
    }
    emu.pcap = std::fopen(path.c_str(), "wb");
    if (emu.pcap == nullptr) {
        return false;
    }
    put32(emu.pcap, 0xA1B2C3D4);
    const uint16_t version[2] = {2, 4};
    std::fwrite(version, 2, 2, emu.pcap);
    put32(emu.pcap, 0);      // time zone
    put32(emu.pcap, 0);      // accuracy
    put32(emu.pcap, 65535);  // snapshot length
    put32(emu.pcap, 165);    // LINKTYPE_BACNET_MS_TP
    return std::fflush(emu.pcap) == 0;
}

void stopCapture() {
    std::lock_guard lock(mutex);
    if (emu.pcap != nullptr) {
        std::fclose(emu.pcap);
        emu.pcap = nullptr;
    }
}

void forgetBus() {
    std::lock_guard lock(mutex);
    emu.state.bus.clear();
}

State state() {
    std::lock_guard lock(mutex);
    return emu.state;
}

uint8_t headerCrc(const uint8_t *octets, size_t length) {
    uint8_t crc = 0xFF;
    for (size_t i = 0; i < length; ++i) {
        uint16_t c = static_cast<uint16_t>(crc ^ octets[i]);
        c = static_cast<uint16_t>(c ^ (c << 1) ^ (c << 2) ^ (c << 3) ^ (c << 4) ^ (c << 5) ^ (c << 6) ^
                                  (c << 7));
        crc = static_cast<uint8_t>((c & 0xFE) ^ ((c >> 8) & 1));
    }
    return static_cast<uint8_t>(~crc);
}

uint16_t dataCrc(const uint8_t *octets, size_t length) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        uint16_t low = static_cast<uint16_t>((crc & 0xFF) ^ octets[i]);
        crc = static_cast<uint16_t>((crc >> 8) ^ (low << 8) ^ (low << 3) ^ (low << 12) ^ (low >> 4) ^
                                    (low & 0x0F) ^ ((low & 0x0F) << 7));
    }
    return static_cast<uint16_t>(~crc);
}

}  // namespace mstpemu
