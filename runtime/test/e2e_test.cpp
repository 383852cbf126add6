// Talvik end to end: the program and the TQR stand-in program run in a
// network namespace of the test's own (eth0 192.0.2.10/24, TQR on its
// 127.0.0.1:8160), velsard's stand-in on a private bus; the test is the
// BACnet client in a second namespace (192.0.2.20/24) joined by a veth
// pair, with a client of its own that shares no code with the stack.
// dumpcap records the client's side; tshark must find nothing malformed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include "http_client.h"
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_wire.h"
#include "line_log.h"
#include "test_bus.h"

extern char **environ;

namespace {

using namespace e2e;
using Json = nlohmann::json;
using SteadyClock = std::chrono::steady_clock;
using velsard_testing::Control;
using velsard_testing::TestBus;
namespace fs = std::filesystem;

constexpr uint32_t kRoot = 1000;     // the TQR stand-in's root instance
constexpr uint16_t kVnet = 1000;     // and the loads' virtual network
constexpr uint32_t kFirstLoad = 1001; // load id 0
constexpr uint32_t kTotalPower = 8;  // a load's analog input "Total Real Power (kW)"

int run(std::vector<std::string> args, const std::string &out = "/dev/null") {
    std::vector<char *> argv;
    for (std::string &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        return -1;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A program of the test, its standard output and error read on a thread so
// that the test can wait for its lines.
class Program : public programtest::LineLog {
  public:
    explicit Program(std::vector<std::string> args) {
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
        std::vector<char *> argv;
        for (std::string &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        EXPECT_EQ(posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        reader_ = std::thread([this, fd = fds[0]] {
            char buf[4096];
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0) {
                append(buf, static_cast<size_t>(n));
            }
            close(fd);
        });
    }
    ~Program() {
        if (status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        reader_.join();
    }
    void signal(int number) { kill(pid_, number); }
    // The exit status (128 + signal for a signal's end), -1 while it runs
    // on after the bound.
    int waitExit() {
        for (int i = 0; i < 6000 && status_ < 0; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return status_;
    }

  private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::thread reader_;
};

// The number of packets dumpcap has written whole into a pcapng file.
size_t capturedPackets(const fs::path &pcap) {
    std::ifstream in(pcap, std::ios::binary);
    const std::string data{std::istreambuf_iterator<char>(in), {}};
    size_t packets = 0;
    for (size_t at = 0; at + 12 <= data.size();) {
        uint32_t type;
        uint32_t length;
        std::memcpy(&type, data.data() + at, 4);
        std::memcpy(&length, data.data() + at + 4, 4);
        if (length < 12 || at + length > data.size()) {
            break;
        }
        packets += type == 6 ? 1 : 0;
        at += length;
    }
    return packets;
}

float realOf(const Bytes &value) {
    // Application tag 4, length 4.
    if (value.size() != 5 || value[0] != 0x44) {
        return NAN;
    }
    uint32_t bits = uint32_t{value[1]} << 24 | uint32_t{value[2]} << 16 | uint32_t{value[3]} << 8 | value[4];
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

std::string textOf(const Bytes &value) {
    Tag t;
    if (!readTag(value.data(), value.data() + value.size(), &t) || t.context || t.number != 7 || t.length < 1) {
        return "";
    }
    return std::string(value.begin() + static_cast<std::ptrdiff_t>(t.headerSize + 1),
                       value.begin() + static_cast<std::ptrdiff_t>(t.headerSize + t.length));
}

// The object identifiers of an object-list value.
std::vector<uint32_t> objectIdsOf(const Bytes &value) {
    std::vector<uint32_t> ids;
    const uint8_t *p = value.data();
    const uint8_t *const end = p + value.size();
    Tag t;
    while (p < end && readTag(p, end, &t) && !t.context && t.number == 12 && t.length == 4) {
        ids.push_back(tagUnsigned(p, t));
        p += t.headerSize + t.length;
    }
    return p == end ? ids : std::vector<uint32_t>{};
}

class TalvikEndToEnd : public ::testing::Test {
  protected:
    std::string tag = std::to_string(getpid());
    std::string meterNs = "tvm" + tag;
    std::string clientNs = "tvc" + tag;
    std::string clientIf = "tvc" + tag;
    fs::path dir;
    fs::path root;
    int meterNsFd = -1;
    int originalNs = -1;
    int sock = -1;
    uint8_t invoke = 0;
    bool haveNamespaces = false;
    pid_t capture = -1;
    int captureErr = -1;  // dumpcap's standard error, read end
    std::unique_ptr<Program> tqr;
    std::unique_ptr<Program> talvik;

    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "network namespaces need root";
        }
        if (run({"ip", "netns", "add", meterNs}) != 0) {
            GTEST_SKIP() << "cannot create network namespaces";
        }
        haveNamespaces = true;
        ASSERT_EQ(run({"ip", "netns", "add", clientNs}), 0);
        ASSERT_EQ(run({"ip", "-n", meterNs, "link", "add", "eth0", "type", "veth", "peer", "name", clientIf}), 0);
        ASSERT_EQ(run({"ip", "-n", meterNs, "link", "set", clientIf, "netns", clientNs}), 0);
        ASSERT_EQ(run({"ip", "-n", meterNs, "addr", "add", "192.0.2.10/24", "brd", "+", "dev", "eth0"}), 0);
        ASSERT_EQ(run({"ip", "-n", clientNs, "addr", "add", "192.0.2.20/24", "brd", "+", "dev", clientIf}), 0);
        for (const auto &[ns, dev] : {std::pair{meterNs, std::string("eth0")}, std::pair{clientNs, clientIf}}) {
            ASSERT_EQ(run({"ip", "-n", ns, "link", "set", dev, "up"}), 0);
            ASSERT_EQ(run({"ip", "-n", ns, "link", "set", "lo", "up"}), 0);
        }
        dir = fs::temp_directory_path() / ("talvik-e2e-" + tag);
        root = dir / "root";
        fs::create_directories(root);
        setenv("METER_ROOT", root.c_str(), 1);
        TestBus::get().start_velsard();

        // The client's socket and capture in the client's namespace; then
        // this thread stays in the meter's, where TQR's control answers.
        originalNs = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        enter(clientNs);
        sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(sock, 0);
        int on = 1;
        setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(47808);
        ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&sin), sizeof sin), 0);
        enter(meterNs);

        startTqr();
        startTalvik();
    }

    void TearDown() override {
        talvik.reset();
        tqr.reset();
        stopCapture();
        if (sock >= 0) {
            close(sock);
        }
        if (originalNs >= 0) {
            setns(originalNs, CLONE_NEWNET);
            close(originalNs);
        }
        if (haveNamespaces) {
            run({"ip", "netns", "del", clientNs});
            run({"ip", "netns", "del", meterNs});
        }
        if (!dir.empty() && !HasFailure()) {
            fs::remove_all(dir);
        }
    }

    void enter(const std::string &ns) {
        const int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(setns(fd, CLONE_NEWNET), 0);
        close(fd);
    }

    void startTqr() {
        tqr = std::make_unique<Program>(std::vector<std::string>{
            "ip", "netns", "exec", meterNs, TQR_PATH, "--listen", "127.0.0.1:8160", "--notify-velsard",
            "--live", "generated"});
        ASSERT_TRUE(tqr->waitFor("tqr: listening on 127.0.0.1:8160"));
        // Live values stay until the test changes them.
        ASSERT_EQ(tqrRequest("POST", "/_stub/live/freeze", ""), 200);
    }
    void startTalvik() {
        talvik = std::make_unique<Program>(std::vector<std::string>{"ip", "netns", "exec", meterNs, TALVIK_PATH});
        ASSERT_TRUE(talvik->waitFor("Talvik started."));
    }

    // Records the client's interface from here on.
    void startCapture() {
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        const std::string pcap = (dir / "client.pcapng").string();
        std::vector<std::string> args = {"ip", "netns", "exec", clientNs, "dumpcap", "-q", "-i", clientIf,
                                         "-f", "udp",  "-w",   pcap};
        std::vector<char *> argv;
        for (std::string &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawnp(&capture, "ip", &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        // dumpcap names its file once it records.
        std::string err;
        char c;
        while (err.find("File: " + pcap) == std::string::npos && ::read(fds[0], &c, 1) == 1) {
            err += c;
        }
        // The pipe stays open while dumpcap runs: a closed one would end it
        // at its first report (-q keeps the counts away, not the last one).
        captureErr = fds[0];
        ASSERT_NE(err.find("File: " + pcap), std::string::npos) << err;
    }
    void stopCapture() {
        if (capture > 0) {
            kill(capture, SIGINT);
            waitpid(capture, nullptr, 0);
            capture = -1;
        }
        if (captureErr >= 0) {
            close(captureErr);
            captureErr = -1;
        }
    }
    // What tshark finds malformed or warns about in the capture.
    std::string captureProblems(size_t atLeast) {
        for (int i = 0; i < 600 && capturedPackets(dir / "client.pcapng") < atLeast; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        stopCapture();
        const size_t captured = capturedPackets(dir / "client.pcapng");
        if (captured < atLeast) {
            return "the capture holds " + std::to_string(captured) + " of at least " + std::to_string(atLeast) +
                   " packets";
        }
        const std::string problems = (dir / "problems.txt").string();
        if (run({"tshark", "-r", (dir / "client.pcapng").string(), "-Y",
                 "_ws.malformed || _ws.expert.severity >= 0x00600000"},
                problems) != 0) {
            return "tshark failed";
        }
        std::ifstream in(problems);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // ---- TQR ----

    int tqrRequest(const std::string &method, const std::string &path, const std::string &body,
                   std::string *answer = nullptr) {
        tqr_testing::HttpClient client("127.0.0.1", 8160);
        client.set_read_timeout(std::chrono::seconds(30));
        tqr_testing::HttpResult r = method == "GET"      ? client.Get(path)
                            : method == "PUT"    ? client.Put(path, body, "application/json")
                            : method == "DELETE" ? client.Delete(path)
                                                 : client.Post(path, body, "application/json");
        if (!r) {
            return -1;
        }
        if (answer != nullptr) {
            *answer = r->body;
        }
        return r->status;
    }
    Json tqrGet(const std::string &path) {
        std::string body;
        EXPECT_EQ(tqrRequest("GET", path, "", &body), 200) << path;
        return Json::parse(body, nullptr, false);
    }
    // TQR's live loads with load 0's total power set to watts.
    void setTotalPower(double watts) {
        Json loads = tqrGet("/api/v1/data/loads");
        bool found = false;
        for (Json &load : loads.is_array() ? loads : loads["load"]) {
            if (load.value("id", -1) == 0) {
                load["tot_p"] = watts;
                found = true;
            }
        }
        ASSERT_TRUE(found) << loads.dump();
        ASSERT_EQ(tqrRequest("PUT", "/_stub/body/api/v1/data/loads", loads.dump()), 200);
    }

    // ---- BACnet ----

    void send(const Bytes &message, const char *to) {
        sockaddr_in dst{};
        dst.sin_family = AF_INET;
        dst.sin_port = htons(47808);
        inet_pton(AF_INET, to, &dst.sin_addr);
        ASSERT_EQ(sendto(sock, message.data(), message.size(), 0, reinterpret_cast<sockaddr *>(&dst), sizeof dst),
                  static_cast<ssize_t>(message.size()));
    }
    // The meter's datagrams until `want` match or the bound passes.
    std::vector<Bytes> receive(const std::function<bool(const Bytes &)> &wanted, size_t want, int boundMs) {
        std::vector<Bytes> got;
        const auto until = SteadyClock::now() + std::chrono::milliseconds(boundMs);
        while (got.size() < want && SteadyClock::now() < until) {
            pollfd p{sock, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) {
                continue;
            }
            uint8_t buffer[2048];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t n = recvfrom(sock, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &length);
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
            if (n > 0 && std::string(text) == "192.0.2.10" && wanted(Bytes(buffer, buffer + n))) {
                got.emplace_back(buffer, buffer + n);
            }
        }
        return got;
    }
    // The device instances that answer a global Who-Is.
    std::vector<uint32_t> whoIs() {
        send(bvll(0x0B, Bytes{0x01, 0x20, 0xFF, 0xFF, 0x00, 0xFF, 0x10, 0x08}), "192.0.2.255");
        const auto iAm = [](const Bytes &d) {
            const Bytes apdu = apduOf(d);
            return apdu.size() > 2 && apdu[0] == 0x10 && apdu[1] == kSvcIAm;
        };
        // Every device answers at once; the bound ends the collection.
        std::vector<uint32_t> devices;
        for (const Bytes &d : receive(iAm, 1000, 2000)) {
            const Bytes apdu = apduOf(d);
            Tag t;
            if (readTag(apdu.data() + 2, apdu.data() + apdu.size(), &t) && t.length == 4) {
                devices.push_back(tagUnsigned(apdu.data() + 2, t) & 0x3FFFFF);
            }
        }
        std::sort(devices.begin(), devices.end());
        return devices;
    }
    // One confirmed request to a device (the root locally, a load through
    // the virtual network); the answer's APDU, empty without one.
    Bytes ask(uint32_t device, const Bytes &apdu, int boundMs = 5000) {
        const uint8_t id = apdu[2];
        send(bvll(0x0A, device == kRoot ? local(apdu) : toVirtual(kVnet, device, apdu)), "192.0.2.10");
        const auto answer = [id](const Bytes &d) {
            const Bytes a = apduOf(d);
            return a.size() >= 2 && (a[0] >> 4) != kPduConfirmedRequest && (a[0] >> 4) != kPduUnconfirmedRequest &&
                   a[1] == id;
        };
        const std::vector<Bytes> got = receive(answer, 1, boundMs);
        return got.empty() ? Bytes{} : apduOf(got[0]);
    }
    // One property read through ReadPropertyMultiple; nullopt when no
    // answer or an error came.
    std::optional<Bytes> read(uint32_t device, uint32_t object, uint32_t property, int boundMs = 5000) {
        const Bytes a = ask(device, rpm(++invoke, {{object, {{property}}}}), boundMs);
        std::vector<RpmResult> results;
        if (a.size() < 3 || a[0] != (kPduComplexAck << 4) || a[2] != kSvcReadPropertyMultiple ||
            !readRpmAck(Bytes(a.begin() + 3, a.end()), &results) || results.size() != 1 || !results[0].ok) {
            return std::nullopt;
        }
        return results[0].value;
    }
    float totalPower(uint32_t load = kFirstLoad, int boundMs = 5000) {
        const auto v = read(load, analogInput(kTotalPower), kPropPresentValue, boundMs);
        return v ? realOf(*v) : NAN;
    }
    // Waits until the load's total power reads watts/1000; the time it took.
    std::optional<double> followsWithin(double watts) {
        const auto from = SteadyClock::now();
        const float want = static_cast<float>(watts / 1000);
        while (SteadyClock::now() - from < std::chrono::seconds(60)) {
            if (totalPower() == want) {
                return std::chrono::duration<double>(SteadyClock::now() - from).count();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return std::nullopt;
    }
    bool writeReal(uint32_t device, uint32_t object, uint32_t property, float value) {
        uint32_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        Bytes apdu = confirmedHeader(0, 0x05, ++invoke, kSvcWriteProperty);
        apdu = cat(apdu, ctxObjectId(0, object));
        apdu = cat(apdu, ctxUnsigned(1, property));
        apdu = cat(apdu, openingTag(3));
        apdu = cat(apdu, Bytes{0x44, uint8_t(bits >> 24), uint8_t(bits >> 16), uint8_t(bits >> 8), uint8_t(bits)});
        apdu = cat(apdu, closingTag(3));
        const Bytes a = ask(device, apdu);
        return a.size() == 3 && a[0] == (kPduSimpleAck << 4) && a[2] == kSvcWriteProperty;
    }
};

std::vector<uint32_t> rootAndLoads(size_t loads) {
    std::vector<uint32_t> devices{kRoot};
    for (uint32_t i = 0; i < loads; ++i) {
        devices.push_back(kFirstLoad + i);
    }
    return devices;
}

TEST_F(TalvikEndToEnd, DevicesObjectListsAndLiveValues) {
    startCapture();
    size_t packets = 0;
    // The stand-in's meter: four loads.
    const std::vector<uint32_t> devices = whoIs();
    EXPECT_EQ(devices, rootAndLoads(4));
    packets += 1 + devices.size();
    for (uint32_t device : devices) {
        const auto list = read(device, deviceObjectId(device), kPropObjectList);
        ASSERT_TRUE(list) << device;
        const std::vector<uint32_t> ids = objectIdsOf(*list);
        EXPECT_FALSE(ids.empty()) << device;
        EXPECT_EQ(ids.front(), deviceObjectId(device)) << device;
        packets += 2;
    }
    const auto name = read(kFirstLoad, analogInput(kTotalPower), kPropObjectName);
    ASSERT_TRUE(name);
    EXPECT_NE(textOf(*name).find("Total Real Power (kW)"), std::string::npos) << textOf(*name);

    // Each change of TQR's value reaches the client; the times show in the
    // test's properties (a second poll period or so).
    int change = 0;
    for (double watts : {12345.0, -2500.0, 0.125}) {
        setTotalPower(watts);
        const std::optional<double> took = followsWithin(watts);
        ASSERT_TRUE(took) << watts;
        RecordProperty("seconds_to_value_" + std::to_string(++change), std::to_string(*took));
    }
    EXPECT_EQ(captureProblems(packets), "");
    talvik->signal(SIGTERM);
    EXPECT_EQ(talvik->waitExit(), 0);
}

TEST_F(TalvikEndToEnd, ANewMappingRestartsTalvikAndTheDevicesFollow) {
    Json mapping = tqrGet("/api/v1/config/mapping");
    ASSERT_TRUE(mapping.contains("loads")) << mapping.dump();
    ASSERT_EQ(mapping["loads"].size(), 4u);
    mapping["loads"].erase(mapping["loads"].end() - 1);
    ASSERT_EQ(tqrRequest("PUT", "/_stub/body/api/v1/config/mapping", mapping.dump()), 200);
    Control velsard;
    velsard.emit("NewMapping");
    ASSERT_TRUE(talvik->waitFor("Talvik started.", 2));
    EXPECT_EQ(whoIs(), rootAndLoads(3));
    EXPECT_FALSE(read(kFirstLoad + 3, deviceObjectId(kFirstLoad + 3), kPropObjectList, 1000));
    for (uint32_t device : rootAndLoads(3)) {
        EXPECT_TRUE(read(device, deviceObjectId(device), kPropObjectList)) << device;
    }
    talvik->signal(SIGTERM);
    EXPECT_EQ(talvik->waitExit(), 0);
}

TEST_F(TalvikEndToEnd, AWrittenCovIncrementSurvivesRestartStopAndKill) {
    struct Case {
        const char *name;
        int signal;
        int status; // of the ending program, -1 when it restarts
    } const cases[] = {{"SIGHUP", SIGHUP, -1}, {"SIGTERM", SIGTERM, 0}, {"kill -9", SIGKILL, 128 + SIGKILL}};
    float value = 0.5f;
    for (const Case &c : cases) {
        value += 1.25f;
        ASSERT_TRUE(writeReal(kFirstLoad, analogInput(kTotalPower), kPropCovIncrement, value)) << c.name;
        talvik->signal(c.signal);
        if (c.status < 0) {
            ASSERT_TRUE(talvik->waitFor("Talvik started.", 2)) << c.name;
        } else {
            EXPECT_EQ(talvik->waitExit(), c.status) << c.name;
            startTalvik();
        }
        const auto back = read(kFirstLoad, analogInput(kTotalPower), kPropCovIncrement);
        ASSERT_TRUE(back) << c.name;
        EXPECT_EQ(realOf(*back), value) << c.name;
    }
    talvik->signal(SIGTERM);
    EXPECT_EQ(talvik->waitExit(), 0);
}

TEST_F(TalvikEndToEnd, WhileTqrFailsReadsAreAnsweredWithTheLastValuesAndAStopEndsTalvik) {
    struct Case {
        const char *name;
        std::function<void()> fail;
        std::function<void()> mend;
    };
    const std::vector<Case> cases = {
        {"stopped",
         [&] {
             tqr->signal(SIGTERM);
             EXPECT_EQ(tqr->waitExit(), 0);
         },
         [&] { startTqr(); }},
        {"answering 500",
         [&] { ASSERT_EQ(tqrRequest("PUT", "/_stub/status/api/v1/data/loads", "500"), 200); },
         [&] { ASSERT_EQ(tqrRequest("DELETE", "/_stub/endpoints", ""), 200); }},
        {"answering garbage",
         [&] { ASSERT_EQ(tqrRequest("PUT", "/_stub/body/api/v1/data/loads", "{\"loads\": [garbage"), 200); },
         [&] { ASSERT_EQ(tqrRequest("DELETE", "/_stub/endpoints", ""), 200); }},
        {"answering 20 s late",
         [&] { ASSERT_EQ(tqrRequest("PUT", "/_stub/delay/api/v1/data/loads", "20000"), 200); },
         [&] { ASSERT_EQ(tqrRequest("DELETE", "/_stub/endpoints", ""), 200); }},
    };
    double watts = 1000;
    for (const Case &c : cases) {
        watts += 1000;
        setTotalPower(watts);
        ASSERT_TRUE(followsWithin(watts)) << c.name;
        const size_t timeouts = talvik->count("Timeout for /api/v1/data/loads");
        c.fail();
        ASSERT_TRUE(talvik->waitFor("Timeout for /api/v1/data/loads", timeouts + 1)) << c.name;
        // Answered at once, with the last value.
        EXPECT_EQ(totalPower(kFirstLoad, 1000), static_cast<float>(watts / 1000)) << c.name;
        c.mend();
        watts += 500;
        setTotalPower(watts);
        EXPECT_TRUE(followsWithin(watts)) << c.name;
    }
    // A stop while TQR answers late.
    ASSERT_EQ(tqrRequest("PUT", "/_stub/delay/api/v1/data/loads", "20000"), 200);
    ASSERT_EQ(tqrRequest("PUT", "/_stub/delay/api/v1/system/time", "20000"), 200);
    const size_t timeouts = talvik->count("Timeout for");
    ASSERT_TRUE(talvik->waitFor("Timeout for", timeouts + 1));
    const auto from = SteadyClock::now();
    talvik->signal(SIGTERM);
    EXPECT_EQ(talvik->waitExit(), 0);
    RecordProperty("seconds_to_stop", std::to_string(std::chrono::duration<double>(SteadyClock::now() - from).count()));
}

} // namespace
