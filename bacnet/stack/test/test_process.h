#pragma once
// Programs run from the tests and the files they leave: shared by the
// stack's tests and its end-to-end tests, free of the stack itself.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tu {

// In a forked child: becomes the program (found on PATH), or ends with 127.
[[noreturn]] inline void execOrExit(const std::vector<std::string> &argv) {
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

// Runs a program (no shell) and waits for it; its standard output goes to
// outputFile (or /dev/null), its standard error to /dev/null. Returns its
// exit status, or -1.
inline int run(const std::vector<std::string> &argv, const std::string &outputFile = "") {
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        int out =
            open(outputFile.empty() ? "/dev/null" : outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int null = open("/dev/null", O_WRONLY);
        if (out >= 0)
            dup2(out, STDOUT_FILENO);
        if (null >= 0)
            dup2(null, STDERR_FILENO);
        execOrExit(argv);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) < 0)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The whole text of a file, and its lines.
inline std::string fileText(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
inline std::vector<std::string> fileLines(const std::string &path) {
    std::vector<std::string> lines;
    std::istringstream in(fileText(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Starts a program in the background; its output on outFd (standard output
// or standard error) goes to a pipe whose read end is returned in *out, all
// other output to /dev/null.
inline pid_t spawn(const std::vector<std::string> &argv, int *out, int outFd = STDOUT_FILENO) {
    int fds[2] = {-1, -1};
    if (out != nullptr && pipe(fds) != 0)
        return -1;
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
            if (out != nullptr && fd == outFd)
                dup2(fds[1], fd);
            else if (null >= 0)
                dup2(null, fd);
        }
        if (out != nullptr) {
            close(fds[0]);
            close(fds[1]);
        }
        execOrExit(argv);
    }
    if (out != nullptr) {
        close(fds[1]);
        *out = fds[0];
    }
    return pid;
}

// Asks a program to end and waits for it; killed only when it hangs, since
// a capture killed while it writes leaves a file cut short.
inline void stop(pid_t pid, int signal = SIGTERM) {
    if (pid <= 0)
        return;
    kill(pid, signal);
    for (int i = 0; i < 600; ++i) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

inline bool readLine(int fd, const std::string &want, int timeoutMs) {
    std::string got;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char c;
        if (read(fd, &c, 1) != 1)
            return false;
        if (c == '\n') {
            if (got == want)
                return true;
            got.clear();
        } else {
            got += c;
        }
    }
    return false;
}

// The packets of a pcapng file that are wholly written: the capture tool
// flushes them in batches while it runs.
inline size_t capturedPackets(const std::filesystem::path &pcap) {
    std::ifstream in(pcap, std::ios::binary);
    const std::string data{std::istreambuf_iterator<char>(in), {}};
    constexpr uint32_t kEnhancedPacketBlock = 6;
    size_t packets = 0;
    for (size_t at = 0; at + 12 <= data.size();) {
        uint32_t type;
        uint32_t length;
        std::memcpy(&type, data.data() + at, 4);
        std::memcpy(&length, data.data() + at + 4, 4);
        if (length < 12 || length % 4 != 0 || at + length > data.size())
            break;
        if (type == kEnhancedPacketBlock)
            ++packets;
        at += length;
    }
    return packets;
}

// The UDP datagrams on an interface, recorded into pcap by dumpcap. dumpcap
// names its file once the interface is open with its filter set and the
// file's header written: from then on every datagram is recorded. (tshark
// would start dumpcap itself and report nothing of it.)
struct Capture {
    pid_t pid = -1;
    int err = -1;  // dumpcap's standard error
    std::filesystem::path pcap;

    bool start(const std::string &interface, const std::filesystem::path &file) {
        pcap = file;
        pid = spawn({"dumpcap", "-i", interface, "-f", "udp", "-w", pcap.string()}, &err, STDERR_FILENO);
        return pid > 0 && readLine(err, "File: " + pcap.string(), 30000);
    }
    // Stops the capture once its file holds `datagrams` packets; false when
    // they did not all arrive.
    bool finish(size_t datagrams) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        bool complete = false;
        while (!(complete = capturedPackets(pcap) >= datagrams) && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stop(pid, SIGINT);
        pid = -1;
        return complete;
    }
    void end() {
        stop(pid, SIGINT);
        pid = -1;
        if (err >= 0)
            close(err);
        err = -1;
    }
    ~Capture() { end(); }
};

// Two network namespaces joined by a veth pair: in the server's the end is
// eth0 at 192.0.2.10/24, in the client's it is clientIf at 192.0.2.20/24;
// both ends and both loopbacks are up. The names carry a tag (the test
// process's id), so that tests running side by side do not meet.
class VethPair {
  public:
    VethPair(const std::string &prefix, const std::string &tag)
        : serverNs(prefix + "s" + tag), clientNs(prefix + "c" + tag), clientIf("v" + prefix + tag) {}
    ~VethPair() { destroy(); }
    VethPair(const VethPair &) = delete;
    VethPair &operator=(const VethPair &) = delete;

    // "" once both stand, else what failed. unavailable() tells a system
    // that allows no namespaces at all (no privilege) from a failure.
    std::string create() {
        if (geteuid() != 0 || run({"ip", "netns", "add", serverNs}) != 0) {
            unavailable_ = true;
            return "cannot create network namespaces";
        }
        created_ = true;
        const std::vector<std::vector<std::string>> steps = {
            {"ip", "netns", "add", clientNs},
            {"ip", "-n", serverNs, "link", "add", "eth0", "type", "veth", "peer", "name", clientIf},
            {"ip", "-n", serverNs, "link", "set", clientIf, "netns", clientNs},
            {"ip", "-n", serverNs, "addr", "add", "192.0.2.10/24", "broadcast", "192.0.2.255", "dev", "eth0"},
            {"ip", "-n", clientNs, "addr", "add", "192.0.2.20/24", "broadcast", "192.0.2.255", "dev", clientIf},
            {"ip", "-n", serverNs, "link", "set", "eth0", "up"},
            {"ip", "-n", serverNs, "link", "set", "lo", "up"},
            {"ip", "-n", clientNs, "link", "set", clientIf, "up"},
            {"ip", "-n", clientNs, "link", "set", "lo", "up"},
        };
        for (const auto &step : steps) {
            if (run(step) != 0) {
                std::string line;
                for (const auto &word : step)
                    line += word + " ";
                return "failed: " + line;
            }
        }
        return "";
    }
    bool unavailable() const { return unavailable_; }

    // Moves the calling thread into the client's namespace; destroy() (or
    // the destructor) brings it back.
    bool enterClient() {
        originalNs_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        int ns = open(("/run/netns/" + clientNs).c_str(), O_RDONLY | O_CLOEXEC);
        bool entered = ns >= 0 && originalNs_ >= 0 && setns(ns, CLONE_NEWNET) == 0;
        if (ns >= 0)
            close(ns);
        return entered;
    }

    void destroy() {
        if (originalNs_ >= 0) {
            setns(originalNs_, CLONE_NEWNET);
            close(originalNs_);
            originalNs_ = -1;
        }
        if (created_) {
            run({"ip", "netns", "del", clientNs});
            run({"ip", "netns", "del", serverNs});
            created_ = false;
        }
    }

    // A UDP socket of the calling thread's namespace bound to the port on
    // every address, broadcasts allowed; -1 when refused.
    static int udpSocket(uint16_t port) {
        int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (sock < 0)
            return -1;
        int on = 1;
        setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(port);
        sin.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(sock, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0) {
            close(sock);
            return -1;
        }
        return sock;
    }

    const std::string serverNs;
    const std::string clientNs;
    const std::string clientIf;

  private:
    bool created_ = false;
    bool unavailable_ = false;
    int originalNs_ = -1;
};

// Compares what was sent with its record in test/golden/NAME of the
// sources, so that a rework of the stack shows any octet it changed. With
// BACNET_RECORD set in the environment the record is written instead.
inline void expectAsRecorded(const std::string &text, const std::string &name) {
    const char *root = std::getenv("METER_SOURCE_DIR");
    ASSERT_NE(root, nullptr) << "METER_SOURCE_DIR is not set";
    const std::string path = std::string(root) + "/bacnet/stack/test/golden/" + name;
    if (std::getenv("BACNET_RECORD") != nullptr) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        EXPECT_TRUE(out.good()) << "cannot write " << path;
        return;
    }
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in.good()) << "cannot open " << path;
    const std::string recorded{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(text, recorded) << "differs from " << path;
}

}  // namespace tu
