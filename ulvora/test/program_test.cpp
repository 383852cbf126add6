// The program as a process against the velsard stand-in on a private bus:
// its configuration checks, its reaction to new configurations, and its
// exit statuses. It runs with --debug --verbose so that every line it logs
// comes out on its standard error, where the test reads it. The test
// process has a network namespace of its own, so that the program's TQR
// address, 127.0.0.1:8160, is nobody else's.
#include "child_process.h"
#include "own_network.h"
#include "test_bus.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using velsard_testing::Control;
using velsard_testing::TestBus;

GVariant *modbus(bool active, uint32_t backend, const char *device, uint32_t baud, uint32_t address,
                 uint32_t port = 0, char parity = 'N') {
    return g_variant_new("(busuuuuii)", active, backend, device, baud, address, port, guint(parity), 1, 8);
}

// The program with its lines on standard error (--debug) read by the test.
class Ulvora : public ulvora_testing::ChildProcess {
  public:
    explicit Ulvora(std::vector<std::string> args = {"-d", "-v"}, const char *path = ULVORA_PATH)
        : ChildProcess(path, std::move(args)) {}
};

const auto *own_network = ::testing::AddGlobalTestEnvironment(new ulvora_testing::OwnNetwork);

class UlvoraProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        TestBus::get().start_velsard();
        control_ = std::make_unique<Control>();
    }
    void TearDown() override {
        control_.reset();
        TestBus::get().stop_velsard();
    }
    void set(GVariant *config) { control_->store("modbus_config", config); }
    std::unique_ptr<Control> control_;
};

TEST_F(UlvoraProgram, RefusedFirstConfigurationsEndWithStatus1) {
    const struct {
        GVariant *config;
        const char *line;
    } cases[] = {
        {modbus(true, 2, "/dev/ttyS9", 9600, 0), "Modbus address out of range"},
        {modbus(true, 2, "/dev/ttyS9", 9600, 248), "Modbus address out of range"},
        {modbus(true, 2, "/dev/ttyS9", 9599, 0), "Modbus address out of range"},
        {modbus(true, 2, "/dev/ttyS9", 9599, 1), "Modbus baudrate out of range"},
        {modbus(true, 2, "/dev/ttyS9", 115201, 247), "Modbus baudrate out of range"},
        {modbus(true, 3, "", 0, 0), "Modbus backend does not exist"},
    };
    for (const auto &c : cases) {
        set(c.config);
        Ulvora u;
        EXPECT_EQ(u.wait_exit(), 1) << c.line;
        EXPECT_EQ(u.count(c.line), 1u) << c.line;
    }
}

TEST_F(UlvoraProgram, NoVelsardEndsWithStatus1) {
    TestBus::get().stop_velsard();
    Ulvora u;
    EXPECT_EQ(u.wait_exit(), 1);
    EXPECT_EQ(u.count("failed to get modbus config"), 1u);
}

TEST_F(UlvoraProgram, InactiveWaitsThenServesANewActiveRecordAndStopsOnSigint) {
    set(modbus(false, 0, "127.0.0.1", 0, 1));
    Ulvora u;
    ASSERT_TRUE(u.wait_for("config: "));
    EXPECT_EQ(u.count("Waiting on a client connection..."), 0u);
    set(modbus(true, 0, "127.0.0.1", 0, 1));
    control_->emit("NewModbusConfig");
    ASSERT_TRUE(u.wait_for("Waiting on a client connection..."));
    u.interrupt();
    EXPECT_EQ(u.wait_exit(), 0);
    EXPECT_EQ(u.count("received signal: Interrupt"), 1u);
    EXPECT_EQ(u.count("exiting"), 1u);
}

TEST_F(UlvoraProgram, SigintWhileWaiting) {
    set(modbus(false, 0, "127.0.0.1", 0, 1));
    Ulvora u;
    ASSERT_TRUE(u.wait_for("config: "));
    u.interrupt();
    EXPECT_EQ(u.wait_exit(), 0);
}

// TCP to RTU: the TCP server stops and the RTU one is set up; a device that
// cannot be opened is tried once a second and logged once; a refused record
// leaves the server in force alone.
TEST_F(UlvoraProgram, NewConfigurationsRebuildTheServer) {
    set(modbus(true, 0, "127.0.0.1", 0, 1));
    Ulvora u;
    ASSERT_TRUE(u.wait_for("Waiting on a client connection..."));
    set(modbus(true, 2, "/dev/ttyS9", 9600, 0));
    control_->emit("NewModbusConfig");
    ASSERT_TRUE(u.wait_for("Modbus address out of range"));
    set(modbus(true, 2, "/nonexistent/tty", 115200, 17));
    control_->emit("NewModbusConfig");
    ASSERT_TRUE(u.wait_for("failed to open /nonexistent/tty"));
    ASSERT_TRUE(u.wait_for("cleanup modbus from main", 4)); // tried again, a second apart
    EXPECT_EQ(u.count("failed to open /nonexistent/tty"), 1u);
    EXPECT_EQ(u.count("Problem in ulvora_run()"), 1u);
    u.interrupt();
    EXPECT_EQ(u.wait_exit(), 0);
}

// Serving Modbus RTU on one end of a socat pty pair, then SIGINT.
TEST_F(UlvoraProgram, SigintWhileServingRtu) {
    char tmpl[] = "/tmp/ulvora-rtu-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const std::string a = "pty,raw,echo=0,link=" + dir + "/server";
    const std::string b = "pty,raw,echo=0,link=" + dir + "/client";
    const pid_t socat = fork();
    if (socat == 0) {
        execlp("socat", "socat", a.c_str(), b.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 2000 && access((dir + "/client").c_str(), F_OK) != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    set(modbus(true, 2, (dir + "/server").c_str(), 19200, 17));
    {
        Ulvora u;
        EXPECT_TRUE(u.wait_for("run modbus from main"));
        u.interrupt();
        EXPECT_EQ(u.wait_exit(), 0);
        EXPECT_EQ(u.count("Problem in ulvora_run()"), 0u);
    }
    kill(socat, SIGTERM);
    waitpid(socat, nullptr, 0);
    std::string client = dir + "/client", server = dir + "/server";
    unlink(client.c_str());
    unlink(server.c_str());
    rmdir(dir.c_str());
}

TEST_F(UlvoraProgram, BackendOneHasNoServerAndIsLoggedOnce) {
    set(modbus(true, 1, "127.0.0.1", 0, 1));
    Ulvora u;
    ASSERT_TRUE(u.wait_for("no Modbus server for backend 1"));
    ASSERT_TRUE(u.wait_for("Number of registers", 3));
    EXPECT_EQ(u.count("no Modbus server for backend 1"), 1u);
    u.interrupt();
    EXPECT_EQ(u.wait_exit(), 0);
}

TEST_F(UlvoraProgram, VerboseSurvivesTheIpcSetUp) {
    set(modbus(false, 0, "127.0.0.1", 0, 1));
    {
        Ulvora u({"-d"});
        ASSERT_TRUE(u.wait_for("Couldn't connect to TQR server at http://127.0.0.1:8160/api/v1/system/time"));
        u.interrupt();
        EXPECT_EQ(u.wait_exit(), 0);
        EXPECT_EQ(u.count("started in verbose mode"), 0u);
        EXPECT_EQ(u.count("config: "), 0u);
    }
    Ulvora u({"-d", "--verbose"});
    ASSERT_TRUE(u.wait_for("config: "));
    u.interrupt();
    EXPECT_EQ(u.wait_exit(), 0);
    EXPECT_EQ(u.count("started in verbose mode"), 1u);
}

// A TQR request that never returns holds neither the start-up nor the exit.
TEST_F(UlvoraProgram, HungTqrRequestHoldsNeitherServingNorExit) {
    set(modbus(true, 0, "127.0.0.1", 0, 1));
    Ulvora u({"-d", "-v"}, ULVORA_TQR_HANG_PATH);
    ASSERT_TRUE(u.wait_for("Waiting on a client connection..."));
    EXPECT_EQ(u.count("No complete answer from TQR yet; serving without it"), 1u);
    const auto start = std::chrono::steady_clock::now();
    u.interrupt();
    EXPECT_EQ(u.wait_exit(), 0);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    RecordProperty("exit_ms", int(ms.count()));
    EXPECT_EQ(u.count("TQR request still under way at exit"), 1u);
    EXPECT_EQ(u.count("exiting"), 1u);
}

TEST_F(UlvoraProgram, SigintDuringAStartUpPollThatHangs) {
    set(modbus(true, 0, "127.0.0.1", 0, 1));
    Ulvora u({"-d", "-v"}, ULVORA_TQR_HANG_PATH);
    ASSERT_TRUE(u.wait_for("config: "));
    u.interrupt();
    EXPECT_EQ(u.wait_exit(), 0);
    EXPECT_EQ(u.count("Waiting on a client connection..."), 0u);
}

TEST_F(UlvoraProgram, UnknownOptionEndsWithUsageStatus) {
    Ulvora u({"--no-such-option"});
    EXPECT_EQ(u.wait_exit(), 64);
}

} // namespace
