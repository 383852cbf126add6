// The Modbus server over real connections. The clients here build and read
// their frames themselves (MBAP over TCP, RTU with its CRC over a pty pair
// made by socat), sharing nothing with the server or libmodbus.
#include "meter/host.h"
#include "modbus_client.h"
#include "temp_root.h"
#include "ulvora/poll.h"
#include "ulvora/records.h"
#include "ulvora/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace ulvora_testing;

// Runs mbpoll, an outside Modbus client, once; its standard output.
std::string mbpoll(std::vector<std::string> args) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return {};
    }
    args.insert(args.begin(), "mbpoll");
    std::vector<char *> argv;
    for (std::string &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        execvp("mbpoll", argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) {
        text.append(buf, size_t(n));
    }
    close(out[0]);
    waitpid(pid, nullptr, 0);
    return text;
}

// The value mbpoll printed for a reference, as text ("" when none).
std::string mbpoll_value(const std::string &output, int reference) {
    const std::string key = "[" + std::to_string(reference) + "]:";
    const size_t at = output.find(key);
    if (at == std::string::npos) {
        return {};
    }
    size_t begin = output.find_first_not_of(" \t", at + key.size());
    size_t end = output.find_first_of(" \t\r\n", begin);
    return output.substr(begin, end - begin);
}

modbus_config tcp_config() {
    modbus_config c{};
    c.active = true;
    c.backend = 0;
    std::strcpy(c.device, "127.0.0.1");
    c.port = 0; // the system chooses; the test asks the server which
    return c;
}

// The serving side as the main loop drives it, on its own thread.
class Served {
  public:
    explicit Served(const modbus_config &c, bool stop_first = false) {
        ulvora_stop_reset();
        if (stop_first) {
            ulvora_stop();
        }
        thread_ = std::thread([this, c] {
            if (!ulvora_setup(c)) {
                result_ = -2;
                return;
            }
            result_ = ulvora_run();
            ulvora_cleanup();
        });
    }
    ~Served() { stop(); }
    int stop() {
        if (thread_.joinable()) {
            ulvora_stop();
            thread_.join();
        }
        return result_;
    }
    int port() {
        wait_until([] { return ulvora_tcp_port() != 0; });
        return ulvora_tcp_port();
    }
    int result() const { return result_; }

  private:
    std::thread thread_;
    std::atomic<int> result_{-1};
};

// The test's own picture of the map for one scenario: register, value.
struct Expect {
    int reg;
    uint16_t value;
};

void scenario(std::vector<Expect> *expected) {
    MbRecords r{};
    mbCopyText("abc", r.header.site_name, 80);
    mbCopyText("ZOR12KEP", r.header.model, 16);
    mbCopyText("1970-01-01T05:30:00+0530", r.header.time, 24);
    r.header.demand_window = -1;
    r.header.active_loads = 5;
    r.loads[47].active = 1;
    r.loads[47].id = 48;
    r.loads[47].wh = 123456.0f;
    r.loads[47].cts[2].en = 1;
    r.loads[47].cts[2].channel = 48;
    r.loads[3].id = 4; // not active
    r.loads[3].p = 9.0f;
    r.pulses[1].count = 10;
    mbRecordsCommit(r);
    const int b = 300 + 280 * 47;
    const int c = b + 100 + 120;
    *expected = {{0, 0x6162}, {1, 0x6300}, {42, 0x5A4F}, {43, 0x5231}, {44, 0x324B}, {45, 0x4550},
                 {80, 0xFFFF}, {81, 0xFFFF}, {87, 5}, {255, 10},
                 {b + 1, 48}, {b + 23, 1}, {b + 24, 0x2000}, {b + 25, 0x47F1}, {c + 1, 48}, {c + 3, 1}};
    const char time[] = "1970-01-01T05:30:00+0530";
    for (int i = 0; i < 12; ++i) {
        expected->push_back({66 + i, uint16_t((uint8_t(time[2 * i]) << 8) | uint8_t(time[2 * i + 1]))});
    }
}

class UlvoraTcp : public ::testing::Test {
  protected:
    void SetUp() override { mbRecordsReset(); }
    meter::host::TempRoot root_;
};

TEST_F(UlvoraTcp, WholeMapReadInBlocksOf125EqualsTheTestsTable) {
    std::vector<Expect> expected;
    scenario(&expected);
    Served server(tcp_config());
    TcpClient client(server.port());
    ASSERT_TRUE(client.connected());
    std::vector<uint16_t> regs;
    for (int address = 0; address < MB_INPUT_REGISTERS; address += 125) {
        const int count = std::min(125, MB_INPUT_REGISTERS - address);
        const auto part = client.read_registers(uint16_t(address), uint16_t(count));
        ASSERT_EQ(part.size(), size_t(count)) << "at " << address;
        regs.insert(regs.end(), part.begin(), part.end());
    }
    std::vector<int> want(regs.size(), -1);
    for (const Expect &e : expected) {
        want[e.reg] = e.value;
    }
    for (size_t n = 0; n < regs.size(); ++n) {
        ASSERT_EQ(regs[n], want[n] < 0 ? 0 : want[n]) << "register " << n;
    }
    EXPECT_EQ(server.stop(), 1);
}

TEST_F(UlvoraTcp, ExceptionAnswers) {
    Served server(tcp_config());
    TcpClient client(server.port());
    const struct {
        const char *what;
        Bytes pdu;
        int code;
    } cases[] = {
        {"past the last register", read_pdu(27492, 1), 2},
        {"running past the end", read_pdu(27490, 3), 2},
        {"count 0", read_pdu(0, 0), 3},
        {"count 126", read_pdu(0, 126), 3},
        {"coils", read_pdu(0, 1, 1), 2},
        {"discrete inputs", read_pdu(0, 1, 2), 2},
        {"holding registers", read_pdu(0, 1, 3), 2},
        {"write one register", {6, 0, 0, 0, 1}, 2},
        {"write registers", {16, 0, 0, 0, 1, 2, 0, 1}, 2},
        {"unknown function", {0x41, 0, 0, 0, 1}, 1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(client.exception(c.pdu), c.code) << c.what;
    }
    EXPECT_EQ(client.read_registers(27491, 1).size(), 1u);
}

TEST_F(UlvoraTcp, BrokenFramesCloseOnlyTheirConnection) {
    Served server(tcp_config());
    const int port = server.port();
    TcpClient steady(port);
    ASSERT_EQ(steady.read_registers(0, 1).size(), 1u);
    std::mt19937 random(19);
    const Bytes frames[] = {
        {0, 1, 0},                                           // cut short, then closed
        {0, 1, 0, 0, 0, 200, 1, 4, 0},                       // claims more than it sends
        {0, 1, 0, 0, 0, 6, 1, 0x10, 0, 0, 0, 0x7F, 0xFE, 1}, // a write that claims 254 bytes
    };
    for (const Bytes &frame : frames) {
        TcpClient bad(port);
        ASSERT_TRUE(bad.send_raw(frame));
        // Left open: the server gives up on the rest and closes it.
        EXPECT_TRUE(bad.closed_by_server());
        EXPECT_EQ(steady.read_registers(1, 2).size(), 2u);
    }
    for (int round = 0; round < 50; ++round) {
        TcpClient noise(port);
        Bytes junk(1 + random() % 300);
        for (auto &b : junk) {
            b = uint8_t(random());
        }
        noise.send_raw(junk);
        shutdown(noise.fd(), SHUT_WR);
        noise.closed_by_server();
    }
    EXPECT_EQ(steady.read_registers(0, 125).size(), 125u);
}

TEST_F(UlvoraTcp, TwoClientsAtOnceAndAStopClosesThem) {
    Served server(tcp_config());
    TcpClient a(server.port());
    TcpClient b(server.port());
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(a.read_registers(uint16_t(i), 3).size(), 3u);
        ASSERT_EQ(b.read_registers(uint16_t(100 + i), 5).size(), 5u);
    }
    EXPECT_EQ(server.stop(), 1);
    EXPECT_TRUE(a.closed_by_server());
    EXPECT_TRUE(b.closed_by_server());
}

// What an outside client makes of the encodings.
TEST_F(UlvoraTcp, MbpollReadsTextsIntegersAndFloats) {
    std::vector<Expect> expected;
    scenario(&expected);
    Served server(tcp_config());
    const std::string port = std::to_string(server.port());
    auto read = [&](const std::string &type, int reference, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"-m", "tcp", "-p", port, "-a", "1", "-0", "-r", std::to_string(reference),
                                         "-c", "1", "-t", type, "-1"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back("127.0.0.1");
        const std::string out = mbpoll(args);
        return mbpoll_value(out, reference) + (mbpoll_value(out, reference).empty() ? out : "");
    };
    EXPECT_EQ(read("3:hex", 0), "0x6162");
    EXPECT_EQ(read("3:hex", 1), "0x6300");
    EXPECT_EQ(read("3:float", 300 + 280 * 47 + 24), "123456");
    EXPECT_EQ(read("3:int", 80, {"-B"}), "-1");
    EXPECT_EQ(read("3:int", 86, {"-B"}), "5");
    EXPECT_EQ(read("3:hex", 13746), "0x0000");
}

// The image is built at the set-up: while the records' lock is held, the
// replies come from it, not from zeros, and two in a row are the same.
TEST_F(UlvoraTcp, ImageIsBuiltBeforeServing) {
    std::vector<Expect> expected;
    scenario(&expected);
    Served server(tcp_config());
    TcpClient client(server.port());
    std::lock_guard lock(mbRecordsMutex);
    const auto first = client.read_registers(0, 2);
    EXPECT_EQ(first, (std::vector<uint16_t>{0x6162, 0x6300}));
    EXPECT_EQ(client.read_registers(0, 2), first);
}

// A TQR request that hangs holds no lock the replies need: they all come
// while it is still under way.
TEST_F(UlvoraTcp, RepliesGoOnWhileATqrRequestHangs) {
    std::vector<Expect> expected;
    scenario(&expected);
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    bool hanging = false;
    tqr_set_fetch([&](const std::string &) {
        std::unique_lock lock(m);
        hanging = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
        return TqrAnswer{0, {}, "timed out"};
    });
    Served server(tcp_config());
    std::thread poller([] { tqr_poll_data(); });
    {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return hanging; });
    }
    TcpClient client(server.port());
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(client.read_registers(0, 2), (std::vector<uint16_t>{0x6162, 0x6300}));
    }
    {
        std::lock_guard lock(m);
        EXPECT_FALSE(release); // still hanging after every reply
        release = true;
    }
    cv.notify_all();
    poller.join();
    tqr_set_fetch(nullptr);
    tqr_poll_reset();
}

// A stop that comes before or during the set-up is not lost.
TEST_F(UlvoraTcp, StopBeforeTheRunHolds) {
    Served server(tcp_config(), true);
    wait_until([&] { return server.result() != -1; });
    EXPECT_EQ(server.result(), 1);
    EXPECT_EQ(ulvora_is_running(), 0);
}

TEST_F(UlvoraTcp, ClientsBeyondTheDescriptorLimitAreClosedAndTheRestServed) {
    rlimit old{};
    getrlimit(RLIMIT_NOFILE, &old);
    // The test's own 1100 clients count against the same limit (root may
    // raise the hard limit as well).
    rlimit wide = old;
    wide.rlim_cur = 4096;
    wide.rlim_max = std::max<rlim_t>(old.rlim_max, 4096);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &wide), 0);
    {
        Served server(tcp_config());
        const int port = server.port();
        // Connected side by side: one after the other, each connect that
        // meets the listener's full backlog of 5 waits for its SYN to be resent.
        std::vector<std::unique_ptr<TcpClient>> clients;
        std::vector<pollfd> pending;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < 1100; ++i) {
            // The test's own ends sit from 2048 up, so that how many of the
            // server's fit below 1024 does not hang on which thread ran first.
            const int low = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            ASSERT_GE(low, 0);
            const int fd = fcntl(low, F_DUPFD_CLOEXEC, 2048);
            close(low);
            ASSERT_GE(fd, 2048);
            const int r = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
            ASSERT_TRUE(r == 0 || errno == EINPROGRESS);
            clients.push_back(std::make_unique<TcpClient>(TcpClient::Adopt{}, fd));
            pending.push_back({fd, POLLOUT, 0});
        }
        while (!pending.empty()) {
            ASSERT_GT(poll(pending.data(), pending.size(), 60000), 0);
            for (size_t i = pending.size(); i-- > 0;) {
                if (pending[i].revents != 0) {
                    int error = 0;
                    socklen_t len = sizeof error;
                    getsockopt(pending[i].fd, SOL_SOCKET, SO_ERROR, &error, &len);
                    ASSERT_EQ(error, 0);
                    fcntl(pending[i].fd, F_SETFL, fcntl(pending[i].fd, F_GETFL) & ~O_NONBLOCK);
                    pending.erase(pending.begin() + long(i));
                }
            }
        }
        size_t served = 0;
        size_t closed = 0;
        for (auto &c : clients) {
            if (c->read_registers(0, 2).size() == 2) {
                ++served;
            } else {
                ++closed;
            }
        }
        EXPECT_GT(served, 900u);
        EXPECT_GT(closed, 0u);
        EXPECT_EQ(served + closed, 1100u);
        size_t lines = 0;
        for (const auto &l : meter::host::log_lines()) {
            lines += l.text.find("is beyond the 1024 that can be served") != std::string::npos ? 1 : 0;
        }
        EXPECT_EQ(lines, closed);
        clients.clear();
        TcpClient after(port);
        EXPECT_EQ(after.read_registers(0, 1).size(), 1u);
    }
    setrlimit(RLIMIT_NOFILE, &old);
}

// No descriptor left for accept: one line, the listener rests, and the
// waiting connections are taken once descriptors are free again.
TEST_F(UlvoraTcp, AcceptWithoutDescriptorsDoesNotSpin) {
    Served server(tcp_config());
    const int port = server.port();
    rlimit old{};
    getrlimit(RLIMIT_NOFILE, &old);
    std::vector<int> sockets;
    for (int i = 0; i < 5; ++i) {
        sockets.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    }
    int highest = 0;
    for (int fd = 0; fd < 65536 && fd < int(old.rlim_cur); ++fd) {
        if (fcntl(fd, F_GETFD) != -1) {
            highest = fd;
        }
    }
    rlimit tight = old;
    tight.rlim_cur = rlim_t(highest + 1);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    // Every lower number taken too, so that accept finds none.
    std::vector<int> fillers;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
        fillers.push_back(fd);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int fd : sockets) {
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    }
    EXPECT_TRUE(wait_until([] { return meter::host::log_count("Server accept() error: Too many open files") == 1; }));
    for (int fd : fillers) {
        close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &old);
    const Bytes request = {0, 1, 0, 0, 0, 6, 1, 4, 0, 0, 0, 1};
    for (int fd : sockets) {
        ASSERT_EQ(write(fd, request.data(), request.size()), ssize_t(request.size()));
        uint8_t answer[11];
        EXPECT_TRUE(read_exact(fd, answer, sizeof answer));
        close(fd);
    }
    EXPECT_EQ(meter::host::log_count("Server accept() error: Too many open files"), 1u);
    EXPECT_EQ(meter::host::log_count("Server accept() works again"), 1u);
}

TEST_F(UlvoraTcp, PortInUseFailsTheRunAndIsLoggedOnce) {
    // The port is held by a listener of the test's own.
    const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    socklen_t len = sizeof a;
    getsockname(holder, reinterpret_cast<sockaddr *>(&a), &len);
    modbus_config c = tcp_config();
    c.port = ntohs(a.sin_port);
    for (int i = 0; i < 3; ++i) {
        ulvora_stop_reset();
        ASSERT_EQ(ulvora_setup(c), 1);
        EXPECT_EQ(ulvora_run(), 0);
        ulvora_cleanup();
    }
    close(holder);
    EXPECT_EQ(meter::host::log_count("failed to setup TCP listener: Address already in use"), 1u);
}

// ---- Modbus RTU over a pty pair ----

uint16_t crc16(const uint8_t *data, size_t n) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
        }
    }
    return crc;
}

Bytes rtu_frame(uint8_t slave, const Bytes &pdu, bool spoil = false) {
    Bytes f = {slave};
    f.insert(f.end(), pdu.begin(), pdu.end());
    uint16_t crc = crc16(f.data(), f.size());
    if (spoil) {
        crc ^= 0x0101;
    }
    f.push_back(uint8_t(crc));
    f.push_back(uint8_t(crc >> 8));
    return f;
}

class UlvoraRtu : public ::testing::Test {
  protected:
    void SetUp() override {
        mbRecordsReset();
        char tmpl[] = "/tmp/ulvora-rtu-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        const std::string a = "pty,raw,echo=0,link=" + dir_ + "/server";
        const std::string b = "pty,raw,echo=0,link=" + dir_ + "/client";
        socat_ = fork();
        if (socat_ == 0) {
            execlp("socat", "socat", a.c_str(), b.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        ASSERT_TRUE(wait_until([&] {
            return std::filesystem::exists(dir_ + "/server") && std::filesystem::exists(dir_ + "/client");
        }));
        client_ = open((dir_ + "/client").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(client_, 0);
        termios t{};
        tcgetattr(client_, &t);
        cfmakeraw(&t);
        tcsetattr(client_, TCSANOW, &t);
    }
    void TearDown() override {
        if (client_ >= 0) {
            close(client_);
        }
        kill(socat_, SIGTERM);
        waitpid(socat_, nullptr, 0);
        std::filesystem::remove_all(dir_);
    }

    modbus_config config(uint8_t address) const {
        modbus_config c{};
        c.active = true;
        c.backend = 2;
        std::snprintf(c.device, sizeof c.device, "%s/server", dir_.c_str());
        c.baud = 19200;
        c.address = address;
        c.parity = 'N';
        c.databits = 8;
        c.stopbits = 1;
        return c;
    }

    void send(const Bytes &frame) { ASSERT_EQ(write(client_, frame.data(), frame.size()), ssize_t(frame.size())); }

    // The answer to a read of count registers, checked for its CRC.
    std::vector<uint16_t> answer(uint8_t slave, uint16_t count) {
        Bytes r(5 + 2 * count);
        std::vector<uint16_t> regs;
        if (!read_exact(client_, r.data(), 3) || r[0] != slave || r[1] != 4 ||
            !read_exact(client_, r.data() + 3, r.size() - 3) ||
            crc16(r.data(), r.size() - 2) != (r[r.size() - 2] | (r[r.size() - 1] << 8))) {
            return regs;
        }
        for (size_t i = 0; i < count; ++i) {
            regs.push_back(uint16_t((r[3 + 2 * i] << 8) | r[4 + 2 * i]));
        }
        return regs;
    }

    meter::host::TempRoot root_;
    std::string dir_;
    pid_t socat_ = -1;
    int client_ = -1;
};

TEST_F(UlvoraRtu, AnswersItsAddressOnlyAndGoodFramesAfterBadOnes) {
    std::vector<Expect> expected;
    scenario(&expected);
    Served server(config(17));
    send(rtu_frame(17, read_pdu(0, 2)));
    EXPECT_EQ(answer(17, 2), (std::vector<uint16_t>{0x6162, 0x6300}));
    // Another address (answered on the line by its own slave) and a bad
    // CRC get no answer: the next answer read is the one to the good frame
    // that follows them.
    send(rtu_frame(18, read_pdu(0, 2)));
    send(rtu_frame(18, {4, 4, 0, 1, 0, 2}));
    send(rtu_frame(17, read_pdu(0, 2), true));
    send(rtu_frame(17, read_pdu(42, 4)));
    EXPECT_EQ(answer(17, 4), (std::vector<uint16_t>{0x5A4F, 0x5231, 0x324B, 0x4550}));
    // The same registers as over TCP, the whole head of the map.
    std::vector<uint16_t> want(125, 0);
    for (const Expect &e : expected) {
        if (e.reg < 125) {
            want[e.reg] = e.value;
        }
    }
    send(rtu_frame(17, read_pdu(0, 125)));
    EXPECT_EQ(answer(17, 125), want);
    EXPECT_EQ(server.stop(), 1);
}

TEST_F(UlvoraRtu, MbpollReadsTheSameRegistersAsOverTcp) {
    std::vector<Expect> expected;
    scenario(&expected);
    Served server(config(17));
    close(client_); // mbpoll takes the line
    client_ = -1;
    const std::string out = mbpoll({"-m", "rtu", "-a", "17", "-b", "19200", "-P", "none", "-0", "-r", "42", "-c",
                                    "4", "-t", "3:hex", "-1", dir_ + "/client"});
    EXPECT_EQ(mbpoll_value(out, 42), "0x5A4F") << out;
    EXPECT_EQ(mbpoll_value(out, 45), "0x4550") << out;
    EXPECT_EQ(server.stop(), 1);
}

TEST_F(UlvoraRtu, StopEndsAQuietLine) {
    Served server(config(17));
    send(rtu_frame(17, read_pdu(0, 1)));
    EXPECT_EQ(answer(17, 1).size(), 1u);
    EXPECT_EQ(server.stop(), 1);
}

} // namespace
