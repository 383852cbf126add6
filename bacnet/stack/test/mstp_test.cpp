// MS/TP against the emulated line discipline (platform/mstp): the line's
// set-up, the module's parameters, frames both ways, failures, restarts and
// a capture of the bus read by a protocol analyser.

#include <gtest/gtest.h>

#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bacnet/stack/app.h"
#include "bacnet/stack/datalink.h"
#include "bacnet/stack/mstp.h"
#include "bacnet/stack/stack.h"
#include "mstp/emulator.h"
#include "test_util.h"

using harness::Bytes;
using namespace tu;
namespace fs = std::filesystem;

namespace {

constexpr uint8_t kOwnMac = 5;
constexpr uint8_t kPeerMac = 9;
const Bytes kWhoIs{0x01, 0x00, 0x10, 0x08};

testapp::Config mstpConfig() {
    testapp::Config c;
    c.mstpMac = kOwnMac;
    c.maxMaster = 64;
    c.maxInfoFrames = 3;
    c.tolerance = 1;
    c.mstpBaud = "38400";
    return c;
}

termios2 termiosOf(const mstpemu::State &s) {
    termios2 t{};
    std::memcpy(&t, s.termios2.data(), std::min(sizeof t, s.termios2.size()));
    return t;
}

class Mstp : public ::testing::Test {
  protected:
    void SetUp() override {
        mstpemu::reset("/dev/ttyO4");
        harness::installMstpEmulator();
        testapp::clearLog();
        testapp::resetCounters();
        stackRestarting = 0;
    }
    void TearDown() override {
        stackRestarting = 0;
        stackShutdown();
        harness::uninstallMstpEmulator();
    }

    bool start(const testapp::Config &config = mstpConfig()) {
        testapp::configure(config);
        return stackInit(kPortMstp);
    }

    // Runs the stack until the emulator has nothing more for it, then
    // returns the frames the station sent.
    std::vector<mstpemu::Frame> serve() {
        size_t before = mstpemu::state().bus.size();
        for (int i = 0; i < 20; ++i) {
            stackTick(0);
            harness::pump();
        }
        auto bus = mstpemu::state().bus;
        std::vector<mstpemu::Frame> sent;
        for (size_t i = before; i < bus.size(); ++i) {
            if (bus[i].source == kOwnMac)
                sent.push_back(bus[i]);
        }
        return sent;
    }
};

TEST_F(Mstp, SetsTheLineUpForTheModule) {
    ASSERT_TRUE(start());
    auto s = mstpemu::state();
    EXPECT_EQ(datalinkActivePort(), kPortMstp);
    EXPECT_EQ(s.opens, 1);
    EXPECT_TRUE(s.nonBlocking);
    EXPECT_EQ(s.lineDiscipline, 2);

    serial_rs485 rs485{};
    ASSERT_EQ(s.rs485.size(), sizeof rs485);
    std::memcpy(&rs485, s.rs485.data(), sizeof rs485);
    EXPECT_EQ(rs485.flags, SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND);
    EXPECT_EQ(rs485.delay_rts_before_send, 0u);
    EXPECT_EQ(rs485.delay_rts_after_send, 0u);

    termios2 t = termiosOf(s);
    EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(B38400));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | HUPCL | CRTSCTS), 0u);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);

    EXPECT_EQ(s.maxMaster, 64u);
    EXPECT_EQ(s.maxInfoFrames, 3u);
    EXPECT_EQ(s.mac, kOwnMac);
    EXPECT_EQ(s.tolerance, 80u);
    const std::vector<std::string> expected{
        "6 MS/TP: Setting baud to 38400", "6 MS/TP: using module 2.030000", "6 MS/TP: MAC Address (TS) = 5",
        "6 MS/TP: max-info-frames = 3",   "6 MS/TP: max-master = 64",       "6 MS/TP: Tusagetimeout = 50ms",
    };
    EXPECT_EQ(testapp::logLines(), expected);
    uint8_t own[8];
    EXPECT_EQ(datalinkGetMyAddress(kPortMstp, own), 1u);
    EXPECT_EQ(own[0], kOwnMac);
    EXPECT_EQ(datalinkMaxApdu(kPortMstp), 480u);
    EXPECT_EQ(datalinkMaxNpdu(kPortMstp), 509u);

    stackShutdown();
    s = mstpemu::state();
    EXPECT_EQ(s.lineDiscipline, 0) << "the old discipline is restored";
    EXPECT_EQ(s.closes, 1);
    EXPECT_EQ(s.openDescriptors, 0);
}

TEST_F(Mstp, BaudRateIsReadAsANumber) {
    const struct {
        const char *text;
        unsigned int code;
        uint32_t speed;
        const char *line;
    } cases[] = {
        {"115200", B115200, 115200, "6 MS/TP: Setting baud to 115200"},
        {"19200", B19200, 19200, "6 MS/TP: Setting baud to 19200"},
        {"38400", B38400, 38400, "6 MS/TP: Setting baud to 38400"},
        {"57600", B57600, 57600, "6 MS/TP: Setting baud to 57600"},
        {"76800", BOTHER, 76800, "6 MS/TP: Setting baud to 76800"},
        {"9600", B9600, 9600, "6 MS/TP: Setting baud to 9600"},
        {"4800", B38400, 38400, "6 MS/TP:  Unsupported baud rate defaulting to 38400"},
        {"", B38400, 38400, "6 MS/TP:  Unsupported baud rate defaulting to 38400"},
        {"9600 ", B38400, 38400, "6 MS/TP:  Unsupported baud rate defaulting to 38400"},
        {"-9600", B38400, 38400, "6 MS/TP:  Unsupported baud rate defaulting to 38400"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\"");
        mstpemu::reset("/dev/ttyO4");
        testapp::clearLog();
        testapp::Config config = mstpConfig();
        config.mstpBaud = c.text;
        ASSERT_TRUE(start(config));
        termios2 t = termiosOf(mstpemu::state());
        EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(c.code));
        EXPECT_EQ(t.c_ispeed, c.speed);
        EXPECT_EQ(t.c_ospeed, c.speed);
        ASSERT_FALSE(testapp::logLines().empty());
        EXPECT_EQ(testapp::logLines()[0], c.line);
        stackShutdown();
    }
}

TEST_F(Mstp, FailedRequestsAreLoggedAndTheSetUpGoesOn) {
    const struct {
        mstpemu::Failure failure;
        const char *line;
        const char *readBack;
    } cases[] = {
        {mstpemu::Failure::kSetMaxMaster, "3 SetMaxMaster Failed", "6 MS/TP: max-master = 127"},
        {mstpemu::Failure::kSetMaxInfoFrames, "3 SetMaxInfoFrames Failed", "6 MS/TP: max-info-frames = 1"},
        {mstpemu::Failure::kSetMacAddress, "3 SetMACAddress Failed", "6 MS/TP: MAC Address (TS) = 0"},
        {mstpemu::Failure::kSetTolerance, "3 SetTolerance Failed", "6 MS/TP: max-master = 64"},
        {mstpemu::Failure::kModuleVersion, "1 Warning: RX-TOL requires v2.03 or greater MS/TP module",
         "6 MS/TP: max-master = 64"},
        {mstpemu::Failure::kGetSerial, "6 MS/TP: Setting baud to 38400", "6 MS/TP: max-master = 64"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        mstpemu::reset("/dev/ttyO4");
        mstpemu::fail(c.failure, EIO);
        testapp::clearLog();
        testapp::Config config = mstpConfig();
        config.tolerance = 0;
        EXPECT_TRUE(start(config));
        EXPECT_TRUE(testapp::logContains(c.line));
        EXPECT_TRUE(testapp::logContains(c.readBack));
        EXPECT_EQ(mstpemu::state().lineDiscipline, 2);
        if (c.failure != mstpemu::Failure::kSetTolerance) {
            EXPECT_EQ(mstpemu::state().tolerance, 30u);
        }
        stackShutdown();
    }
}

TEST_F(Mstp, PortThatCannotStartFailsWithOneLine) {
    const struct {
        mstpemu::Failure failure;
        int error;
        const char *line;
    } cases[] = {
        {mstpemu::Failure::kOpen, EACCES, "1 MS/TP: /dev/ttyO4: Permission denied"},
        {mstpemu::Failure::kSetDiscipline, EINVAL,
         "1 MS/TP: /dev/ttyO4: cannot attach the MS/TP line discipline: Invalid argument"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        mstpemu::reset("/dev/ttyO4");
        mstpemu::fail(c.failure, c.error);
        testapp::clearLog();
        EXPECT_FALSE(start());
        EXPECT_EQ(datalinkActivePort(), kPortNone);
        auto lines = testapp::logLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), c.line);
        size_t count = lines.size();
        // Polls say nothing more and sends write nothing, raw or framed.
        testing::internal::CaptureStdout();
        for (int i = 0; i < 200; ++i)
            stackTick(5);
        datalinkSend(kPortMstp, nullptr, static_cast<uint32_t>(kWhoIs.size()), kWhoIs.data(), false);
        mstpSend(0xFF, static_cast<uint32_t>(kWhoIs.size()), kWhoIs.data(), false);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(testapp::logLines().size(), count);
        auto s = mstpemu::state();
        EXPECT_EQ(s.writes, 0u);
        EXPECT_EQ(s.openDescriptors, 0);
        EXPECT_EQ(s.lineDiscipline, 0);
        stackShutdown();
    }
}

TEST_F(Mstp, FramesOfBothTypesAndTheLargestNpdu) {
    ASSERT_TRUE(start());
    serve();
    const uint8_t peer = kPeerMac;
    const struct {
        const char *name;
        const uint8_t *mac;
        uint32_t length;
        bool expectingReply;
        bool sent;
        uint8_t type;
        uint8_t destination;
    } cases[] = {
        {"broadcast", nullptr, 4, false, true, 6, 0xFF},
        {"expecting reply", &peer, 4, true, true, 5, kPeerMac},
        {"not expecting reply", &peer, 4, false, true, 6, kPeerMac},
        {"501 octets", &peer, 501, false, true, 6, kPeerMac},
        {"502 octets", &peer, 502, false, false, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes npdu(c.length, 0x00);
        npdu[0] = 0x01;
        size_t before = mstpemu::state().bus.size();
        uint32_t writes = mstpemu::state().writes;
        datalinkSend(kPortMstp, c.mac, c.length, npdu.data(), c.expectingReply);
        auto s = mstpemu::state();
        ASSERT_EQ(s.bus.size(), before + (c.sent ? 1 : 0));
        EXPECT_EQ(s.writes, writes + (c.sent ? 1 : 0));
        if (!c.sent)
            continue;
        const mstpemu::Frame &f = s.bus.back();
        EXPECT_EQ(f.type, c.type);
        EXPECT_EQ(f.destination, c.destination);
        EXPECT_EQ(f.source, kOwnMac);
        EXPECT_EQ(f.data, npdu);
    }
}

TEST_F(Mstp, WriteWithoutMemoryIsTriedThreeTimes) {
    ASSERT_TRUE(start());
    const struct {
        int failing;
        uint32_t writes;
        uint32_t pauses;
        bool sent;
    } cases[] = {{3, 3, 2, false}, {2, 3, 2, true}, {1, 2, 1, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.failing);
        auto before = mstpemu::state();
        mstpemu::failWrites(c.failing, ENOMEM);
        testing::internal::CaptureStdout();
        mstpSend(kPeerMac, static_cast<uint32_t>(kWhoIs.size()), kWhoIs.data(), false);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        auto after = mstpemu::state();
        EXPECT_EQ(after.writes - before.writes, c.writes);
        EXPECT_EQ(after.pauses - before.pauses, c.pauses);
        EXPECT_EQ(after.pausedMs - before.pausedMs, c.pauses * 100);
        EXPECT_EQ(after.bus.size() - before.bus.size(), c.sent ? 1u : 0u);
    }
    // Any other failure is reported once and the frame given up.
    mstpemu::failWrites(1, EIO);
    testing::internal::CaptureStdout();
    mstpSend(kPeerMac, static_cast<uint32_t>(kWhoIs.size()), kWhoIs.data(), false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "MSTP: Send Error: 5\n");
}

TEST_F(Mstp, PeerRequestsAreAnswered) {
    ASSERT_TRUE(start());
    serve();
    // A Who-Is broadcast by the peer: the I-Am of the root device and of
    // each virtual device, broadcast.
    mstpemu::send(mstpemu::Frame{6, 0xFF, kPeerMac, Bytes{0x01, 0x20, 0xFF, 0xFF, 0x00, 0xFF, 0x10, 0x08}});
    auto sent = serve();
    ASSERT_EQ(sent.size(), 4u);
    for (const auto &f : sent) {
        EXPECT_EQ(f.type, 6);
        EXPECT_EQ(f.destination, 0xFF);
    }
    // A ReadProperty to this station: the answer goes to the peer alone.
    mstpemu::send(mstpemu::Frame{5, kOwnMac, kPeerMac, local(rp(1, analogInput(1), kPropPresentValue))});
    sent = serve();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].type, 6);
    EXPECT_EQ(sent[0].destination, kPeerMac);
    EXPECT_EQ(hex(sent[0].data), "01 00 30 01 0C 0C 00 00 00 01 19 55 3E 44 3F C0 00 00 3F");
    // A frame to another station and an empty frame are not served.
    mstpemu::send(mstpemu::Frame{5, 7, kPeerMac, local(rp(2, analogInput(1), kPropPresentValue))});
    mstpemu::send(mstpemu::Frame{6, kOwnMac, kPeerMac, Bytes{}});
    EXPECT_TRUE(serve().empty());
    EXPECT_EQ(freePackets(), static_cast<uint32_t>(kPoolPackets));
}

TEST_F(Mstp, RestartKeepsTheOneDescriptorAndAttachesAgain) {
    ASSERT_TRUE(start());
    stackRestarting = 1;
    stackShutdown();
    auto s = mstpemu::state();
    EXPECT_EQ(s.lineDiscipline, 0);
    EXPECT_EQ(s.openDescriptors, 1);
    ASSERT_TRUE(start());
    stackRestarting = 0;
    s = mstpemu::state();
    EXPECT_EQ(s.opens, 1);
    EXPECT_EQ(s.closes, 0);
    EXPECT_EQ(s.lineDiscipline, 2);
    mstpemu::send(mstpemu::Frame{5, kOwnMac, kPeerMac, local(rp(1, analogInput(1), kPropPresentValue))});
    EXPECT_EQ(serve().size(), 1u);

    // A restart onto B/IP keeps the tty, the next MS/TP start uses it.
    stackRestarting = 1;
    stackShutdown();
    {
        harness::Stack bip(mstpConfig(), kPortBip);
        EXPECT_EQ(mstpemu::state().openDescriptors, 1);
        stackShutdown();
        EXPECT_TRUE(start());
    }
    stackRestarting = 0;
    EXPECT_EQ(mstpemu::state().opens, 1);
    stackShutdown();
    EXPECT_EQ(mstpemu::state().openDescriptors, 0);
}

TEST_F(Mstp, CaptureOfTheBusDecodesCleanly) {
    fs::path dir = fs::temp_directory_path() / ("bacnet-mstp-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::path pcap = dir / "bus.pcap";
    ASSERT_TRUE(mstpemu::capture(pcap.string()));
    ASSERT_TRUE(start());
    mstpemu::send(mstpemu::Frame{6, 0xFF, kPeerMac, kWhoIs});
    serve();
    mstpemu::send(mstpemu::Frame{5, kOwnMac, kPeerMac, local(rp(1, deviceObjectId(1234), kPropObjectName))});
    serve();
    mstpemu::send(mstpemu::Frame{5, kOwnMac, kPeerMac, local(rp(2, analogInput(1), kPropPresentValue))});
    serve();
    mstpemu::stopCapture();

    fs::path out = dir / "out.txt";
    if (run({"tshark", "-v"}, out) != 0) {
        fs::remove_all(dir);
        GTEST_SKIP() << "tshark is not installed";
    }
    ASSERT_EQ(run({"tshark", "-r", pcap.string(), "-T", "fields", "-E", "separator=|", "-e",
                   "mstp.frame_type", "-e", "mstp.checksum.status", "-e", "bacapp.type"},
                  out),
              0);
    std::vector<std::string> frames = fileLines(out);
    // Frame type, the header and data CRC checks (1 good), the APDU type:
    // the router's two network messages at start, then Who-Is and I-Am and
    // two ReadProperty requests with their acknowledgements.
    const std::vector<std::string> expected{
        "6|1,1|", "6|1,1|", "6|1,1|1", "6|1,1|1", "5|1,1|0", "6|1,1|3", "5|1,1|0", "6|1,1|3",
    };
    EXPECT_EQ(frames, expected) << fileText(out);
    ASSERT_EQ(
        run({"tshark", "-r", pcap.string(), "-Y", "_ws.malformed || _ws.expert.severity >= 0x00600000"}, out),
        0);
    EXPECT_EQ(fileText(out), "") << "tshark found malformed frames or warnings (capture kept in " << dir
                                 << ")";
    if (!HasFailure())
        fs::remove_all(dir);
}

}  // namespace
