// The tests' own Modbus TCP client: it builds and reads its frames itself
// (MBAP over TCP), sharing nothing with the server or libmodbus.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace ulvora_testing {

using Bytes = std::vector<uint8_t>;

// Waits for a condition; the bound only keeps a broken test from hanging.
inline bool wait_until(const std::function<bool()> &condition, int seconds = 20) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Reads exactly n bytes; false when the peer closed or nothing came.
inline bool read_exact(int fd, uint8_t *out, size_t n) {
    size_t got = 0;
    while (got < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0) {
            return false;
        }
        const ssize_t r = read(fd, out + got, n - got);
        if (r <= 0) {
            return false;
        }
        got += static_cast<size_t>(r);
    }
    return true;
}

inline Bytes read_pdu(uint16_t address, uint16_t count, uint8_t function = 4) {
    return {function, uint8_t(address >> 8), uint8_t(address), uint8_t(count >> 8), uint8_t(count)};
}

class TcpClient {
  public:
    // A client on a socket that is already connected (or being connected).
    struct Adopt {};
    TcpClient(Adopt, int fd) : fd_(fd), connected_(true) {}
    explicit TcpClient(int port, uint32_t address = INADDR_LOOPBACK) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(address);
        connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    ~TcpClient() { close(fd_); }
    bool connected() const { return connected_; }
    int fd() const { return fd_; }

    bool send_raw(const Bytes &bytes) { return write(fd_, bytes.data(), bytes.size()) == ssize_t(bytes.size()); }

    // One request in an MBAP frame; the answer's PDU, empty when none came.
    Bytes call(const Bytes &pdu) {
        ++tid_;
        Bytes frame = {uint8_t(tid_ >> 8), uint8_t(tid_), 0, 0, uint8_t((pdu.size() + 1) >> 8),
                       uint8_t(pdu.size() + 1), 1};
        frame.insert(frame.end(), pdu.begin(), pdu.end());
        if (!send_raw(frame)) {
            return {};
        }
        uint8_t head[7];
        if (!read_exact(fd_, head, 7) || ((head[0] << 8) | head[1]) != tid_) {
            return {};
        }
        const size_t length = size_t((head[4] << 8) | head[5]);
        Bytes body(length - 1);
        return read_exact(fd_, body.data(), body.size()) ? body : Bytes{};
    }

    std::vector<uint16_t> read_registers(uint16_t address, uint16_t count) {
        const Bytes r = call(read_pdu(address, count));
        std::vector<uint16_t> regs;
        if (r.size() != 2u + 2u * count || r[0] != 4 || r[1] != 2 * count) {
            return regs;
        }
        for (size_t i = 0; i < count; ++i) {
            regs.push_back(uint16_t((r[2 + 2 * i] << 8) | r[3 + 2 * i]));
        }
        return regs;
    }

    // The exception code of the answer, -1 for a normal answer or none.
    int exception(const Bytes &pdu) {
        const Bytes r = call(pdu);
        return r.size() == 2 && (r[0] & 0x80) != 0 && (r[0] & 0x7F) == pdu[0] ? r[1] : -1;
    }

    // The server closed the connection.
    bool closed_by_server() {
        uint8_t b;
        return read_exact(fd_, &b, 1) == false;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
    uint16_t tid_ = 0;
};

} // namespace ulvora_testing
