// End to end over real UDP: bacnet-testd runs in one network namespace (its
// interface eth0, 192.0.2.10/24) and this test is the client in another
// (192.0.2.20/24), joined by a veth pair. dumpcap records the exchange and
// tshark must decode it without a malformed packet or an expert warning.

#include <gtest/gtest.h>

#include "meter/emulation.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_wire.h"
#include "test_process.h"

using namespace e2e;
using tu::Capture;
using tu::expectAsRecorded;
using tu::fileText;
using tu::readLine;
using tu::run;
using tu::spawn;
using tu::stop;
namespace fs = std::filesystem;

namespace {

uint32_t addr(const char *text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

class EndToEnd : public ::testing::Test {
  protected:
    std::string tag = std::to_string(getpid());
    tu::VethPair net{"bt", tag};
    const std::string &serverNs = net.serverNs;
    const std::string &clientIf = net.clientIf;
    fs::path dir;
    pid_t testd = -1;
    Capture capture;
    size_t datagrams = 0;  // sent by the client and taken from the server
    int testdOut = -1;
    int sock = -1;
    // Options of bacnet-testd beyond the common ones.
    std::vector<std::string> extraArgs;

    void SetUp() override {
        const char *binary = std::getenv("BACNET_TESTD");
        if (binary == nullptr)
            GTEST_SKIP() << "BACNET_TESTD is not set";
        const std::string failed = net.create();
        if (net.unavailable())
            GTEST_SKIP() << failed;
        ASSERT_EQ(failed, "");
        dir = fs::temp_directory_path() / ("bacnet-e2e-" + tag);
        fs::create_directories(dir);

        std::vector<std::string> args = {"ip",          "netns",       "exec",   serverNs, binary,
                                         "--address",   "192.0.2.10",  "--broadcast", "192.0.2.255",
                                         "--port",      "47808",       "--instance",  "1234"};
        if (extraArgs.empty())
            extraArgs = {"--objects", "20", "--period", "0"};
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        testd = spawn(args, &testdOut);
        ASSERT_GT(testd, 0);
        ASSERT_TRUE(readLine(testdOut, "ready", 30000)) << "bacnet-testd did not start";

        ASSERT_TRUE(net.enterClient());
        sock = tu::VethPair::udpSocket(47808);
        ASSERT_GE(sock, 0);
    }

    void TearDown() override {
        if (sock >= 0)
            close(sock);
        capture.end();
        stop(testd);
        if (testdOut >= 0)
            close(testdOut);
        net.destroy();
        if (!dir.empty() && !HasFailure())
            fs::remove_all(dir);
    }

    // Sends a BVLL message and collects the datagrams that come back from
    // the server until `want` arrived or the time is up.
    std::vector<Bytes> exchange(const Bytes &message, const char *to, size_t want, int timeoutMs = 20000) {
        sockaddr_in dst{};
        dst.sin_family = AF_INET;
        dst.sin_port = htons(47808);
        dst.sin_addr.s_addr = addr(to);
        EXPECT_EQ(
            sendto(sock, message.data(), message.size(), 0, reinterpret_cast<sockaddr *>(&dst), sizeof dst),
            static_cast<ssize_t>(message.size()));
        ++datagrams;
        return collect(want, timeoutMs);
    }

    // Collects the datagrams the server sends until `want` arrived or the
    // time is up.
    std::vector<Bytes> collect(size_t want, int timeoutMs) {
        std::vector<Bytes> got;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < want && std::chrono::steady_clock::now() < until) {
            pollfd p{sock, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            uint8_t buffer[2048];
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            ssize_t n =
                recvfrom(sock, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &fromLength);
            if (n <= 0 || from.sin_addr.s_addr != addr("192.0.2.10"))
                continue;
            got.emplace_back(buffer, buffer + n);
        }
        datagrams += got.size();
        return got;
    }

    // The packets of the capture that tshark finds malformed or warns about
    // ("" when none; "tshark failed" when it could not read the capture).
    std::string captureProblems() {
        fs::path problems = dir / "problems.txt";
        if (run({"tshark", "-r", (dir / "exchange.pcapng").string(), "-Y",
                 "_ws.malformed || _ws.expert.severity >= 0x00600000"},
                problems.string()) != 0)
            return "tshark failed";
        std::ifstream p(problems);
        std::stringstream text;
        text << p.rdbuf();
        return text.str();
    }

    Bytes ask(const Bytes &npdu) {
        auto r = exchange(bvll(kBvlcOriginalUnicastNpdu, npdu), "192.0.2.10", 1);
        EXPECT_EQ(r.size(), 1u);
        if (r.empty())
            return {};
        return apduOf(r[0]);
    }
};

TEST_F(EndToEnd, ClientExchangeDecodesCleanly) {
    ASSERT_TRUE(capture.start(clientIf, dir / "exchange.pcapng")) << "dumpcap did not start";

    // A local Who-Is reaches the root device alone; a global one the root
    // device and the three virtual devices. (An I-Am from a virtual device to
    // the local Who-Is would show in the recorded exchange.)
    EXPECT_EQ(exchange(bvll(kBvlcOriginalBroadcastNpdu, Bytes{0x01, 0x00, 0x10, 0x08}),
                       "192.0.2.255", 1)
                  .size(),
              1u);
    auto iams = exchange(
        bvll(kBvlcOriginalBroadcastNpdu, Bytes{0x01, 0x20, 0xFF, 0xFF, 0x00, 0xFF, 0x10, 0x08}),
        "192.0.2.255", 4);
    ASSERT_EQ(iams.size(), 4u);
    size_t fromVirtual = 0;
    for (const auto &d : iams) {
        Npdu h;
        ASSERT_TRUE(parseNpdu(npduOf(d), &h));
        EXPECT_EQ(hex(apduOf(d)).substr(0, 8), "10 00 C4");
        if (h.hasSnet) {
            ++fromVirtual;
            EXPECT_EQ(h.snet, 100);
            EXPECT_EQ(h.hopCount, 254);
        }
    }
    EXPECT_EQ(fromVirtual, 3u);

    const uint32_t device = deviceObjectId(1234);
    EXPECT_EQ(hex(ask(local(rp(1, device, kPropObjectName)))),
              "30 01 0C 0C 02 00 04 D2 19 4D 3E 75 0B 00 4D 65 74 65 72 20 31 32 33 34 3F");
    EXPECT_EQ(hex(ask(local(rp(2, device, kPropMaxApduLengthAccepted)))),
              "30 02 0C 0C 02 00 04 D2 19 3E 3E 22 05 C4 3F");
    EXPECT_EQ(hex(ask(local(rp(3, device, kPropObjectList, 0)))),
              "30 03 0C 0C 02 00 04 D2 19 4C 29 00 3E 21 15 3F");
    EXPECT_EQ(hex(ask(local(rp(4, device, kPropObjectList, 21)))),
              "30 04 0C 0C 02 00 04 D2 19 4C 29 15 3E C4 00 00 00 14 3F");
    Bytes list = ask(local(rp(5, device, kPropObjectList)));
    EXPECT_EQ(list.size(), 3u + 5 + 2 + 1 + 21 * 5 + 1);
    EXPECT_EQ(hex(ask(local(rp(6, analogInput(99), kPropPresentValue)))), "50 06 0C 91 01 91 1F");
    EXPECT_EQ(hex(ask(local(rp(7, analogInput(1), kUnknownProperty)))), "50 07 0C 91 02 91 20");

    for (uint32_t group : {kPropAll, kPropRequired, kPropOptional}) {
        for (uint32_t object : {1u, device}) {
            SCOPED_TRACE(std::to_string(group) + " of " + std::to_string(object));
            Bytes ack = ask(local(rpm(9, {{object, {{group}}}})));
            ASSERT_GE(ack.size(), 3u);
            EXPECT_EQ(hex(Bytes(ack.begin(), ack.begin() + 3)), "30 09 0E");
            std::vector<RpmResult> results;
            EXPECT_TRUE(readRpmAck(Bytes(ack.begin() + 3, ack.end()), &results));
            EXPECT_GE(results.size(), 2u);
        }
    }

    // Routed to virtual device 43 by DNET: the reply names it as source.
    auto routed = exchange(bvll(kBvlcOriginalUnicastNpdu,
                                         toVirtual(100, 43, rp(10, kAnyDevice, kPropObjectIdentifier))),
                           "192.0.2.10", 1);
    ASSERT_EQ(routed.size(), 1u);
    EXPECT_EQ(hex(npduOf(routed[0])),
              "01 08 00 64 06 00 00 00 00 00 2B 30 0A 0C 0C 02 00 00 2B 19 4B 3E C4 02 00 00 2B 3F");

    ASSERT_TRUE(capture.finish(datagrams)) << "the capture did not record all " << datagrams << " datagrams";

    fs::path pcap = dir / "exchange.pcapng";
    fs::path decoded = dir / "bacnet.txt";
    ASSERT_EQ(
        run({"tshark", "-r", pcap.string(), "-Y", "bacapp || bacnet", "-T", "fields", "-e", "frame.number"},
            decoded.string()),
        0);
    std::ifstream in(decoded);
    size_t frames = 0;
    for (std::string line; std::getline(in, line);)
        ++frames;
    EXPECT_GE(frames, 30u) << "tshark decoded too few BACnet frames";

    // Every datagram of the capture, in order, against the recorded exchange.
    fs::path datagrams = dir / "datagrams.txt";
    ASSERT_EQ(run({"tshark", "-r", pcap.string(), "-T", "fields", "-E", "separator= ", "-e", "ip.src", "-e",
                   "udp.srcport", "-e", "ip.dst", "-e", "udp.dstport", "-e", "udp.payload"},
                  datagrams.string()),
              0);
    std::ifstream captured(datagrams);
    std::stringstream exchanged;
    exchanged << captured.rdbuf();
    expectAsRecorded(exchanged.str(), "e2e_exchange.txt");

    EXPECT_EQ(captureProblems(), "") << "tshark found malformed packets or warnings (capture kept in " << dir
                                     << ")";
}

// The services of a device that notifies: bacnet-testd with 115 analog inputs
// (116 objects with the Device object), two of them in alarm, a notifier
// every 200 ms, and the device receiving segmented messages too.
class Services : public EndToEnd {
  protected:
    Services() {
        extraArgs = {"--objects", "115", "--period", "200", "--alarm", "2", "--alarm", "5", "--segmentation", "0"};
    }

    // Notifications that arrived while waiting for something else.
    std::vector<Bytes> notifications;

    void send(const Bytes &apdu) {
        exchange(bvll(kBvlcOriginalUnicastNpdu, cat(Bytes{0x01, 0x04}, apdu)), "192.0.2.10", 0, 0);
    }

    // The reply (SimpleACK, ComplexACK, Error, Reject, Abort) with an invoke
    // id among what arrives within timeoutMs; other APDUs are kept aside.
    Bytes replyTo(uint8_t invokeId, int timeoutMs = 2000) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < until) {
            for (const Bytes &d : collect(1, 100)) {
                Bytes apdu = apduOf(d);
                uint8_t type = apdu.empty() ? 0 : apdu[0] >> 4;
                if (apdu.size() >= 2 && type >= kPduSimpleAck && type != kPduSegmentAck && apdu[1] == invokeId)
                    return apdu;
                if (!apdu.empty())
                    notifications.push_back(apdu);
            }
        }
        return {};
    }

    std::string call(const Bytes &apdu, int timeoutMs = 2000) {
        send(apdu);
        return hex(replyTo(apdu[2], timeoutMs));
    }

    // The first notification of a service (confirmed or unconfirmed) that
    // arrives, looking at those kept aside first.
    Bytes notification(uint8_t pduType, uint8_t service, int timeoutMs = 3000) {
        auto match = [&](const Bytes &a) {
            return a.size() >= 4 && (a[0] >> 4) == pduType && a[pduType == kPduConfirmedRequest ? 3 : 1] == service;
        };
        for (auto it = notifications.begin(); it != notifications.end(); ++it) {
            if (match(*it)) {
                Bytes found = *it;
                notifications.erase(it);
                return found;
            }
        }
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < until) {
            for (const Bytes &d : collect(1, 100)) {
                Bytes apdu = apduOf(d);
                if (match(apdu))
                    return apdu;
            }
        }
        return {};
    }

    struct Transfer {
        Bytes data;     // the reassembled service data
        int segments = 0;
        double ms = 0;
    };

    // A segmented request's answer reassembled, acknowledging every window of
    // `window` segments (the first window is one segment).
    Transfer segmented(const Bytes &request, uint8_t window) {
        Transfer t;
        auto start = std::chrono::steady_clock::now();
        send(request);
        uint8_t invokeId = request[2];
        int inWindow = 0;
        int windowLength = 1;
        for (;;) {
            Bytes apdu = replyTo(invokeId, 3000);
            if (apdu.empty())
                return {};
            if (!(apdu[0] & kApduSegmentedMessage)) {
                t.data.assign(apdu.begin() + 3, apdu.end());
                t.segments = 1;
                break;
            }
            t.data.insert(t.data.end(), apdu.begin() + 5, apdu.end());
            ++t.segments;
            bool last = !(apdu[0] & kApduMoreFollows);
            if (++inWindow == windowLength || last) {
                send(Bytes{0x40, invokeId, apdu[2], window});
                inWindow = 0;
                windowLength = window;
            }
            if (last)
                break;
        }
        t.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        return t;
    }
};

TEST_F(Services, AgainstAClientOfItsOwn) {
    ASSERT_TRUE(capture.start(clientIf, dir / "exchange.pcapng")) << "dumpcap did not start";
    const Bytes password{0x00, 's', 'e', 'c', 'r', 'e', 't'};
    auto text = [](uint8_t tag, const Bytes &chars) {
        return cat(Bytes{static_cast<uint8_t>(tag << 4 | 0x0D), static_cast<uint8_t>(chars.size())}, chars);
    };

    // Who-Has by name and by identifier.
    auto iHave = [&](const Bytes &object) {
        exchange(bvll(kBvlcOriginalBroadcastNpdu, cat(Bytes{0x01, 0x00, 0x10, 0x07}, object)),
                 "192.0.2.255", 0, 0);
        return hex(notification(kPduUnconfirmedRequest, kSvcIHave));
    };
    EXPECT_EQ(iHave(text(3, Bytes{0x00, 'A', 'I', ' ', '7'})),
              "10 01 C4 02 00 04 D2 C4 00 00 00 07 75 05 00 41 49 20 37");
    EXPECT_EQ(iHave(ctxObjectId(2, analogInput(9))), "10 01 C4 02 00 04 D2 C4 00 00 00 09 75 05 00 41 49 20 39");

    // GetEventInformation lists the two objects in alarm.
    std::string events = call(Bytes{0x00, 0x05, 0x01, kSvcGetEventInformation});
    EXPECT_EQ(events.substr(0, 29), "30 01 1D 0E 0C 00 00 00 02 19");
    EXPECT_NE(events.find("0C 00 00 00 05"), std::string::npos);
    EXPECT_EQ(events.substr(events.size() - 8), "0F 19 00");

    // WriteProperty; WritePropertyMultiple with the second write failing and
    // the first kept.
    Bytes real2{0x44, 0x40, 0x00, 0x00, 0x00};
    Bytes real3{0x44, 0x40, 0x40, 0x00, 0x00};
    EXPECT_EQ(call(cat(Bytes{0x00, 0x05, 0x02, kSvcWriteProperty},
                       cat(cat(ctxObjectId(0, analogInput(2)), ctxUnsigned(1, kPropCovIncrement)),
                           cat(cat(Bytes{0x3E}, real2), Bytes{0x3F})))),
              "20 02 0F");
    Bytes wpm = cat(Bytes{0x00, 0x05, 0x03, kSvcWritePropertyMultiple}, ctxObjectId(0, analogInput(1)));
    wpm = cat(wpm, cat(Bytes{0x1E, 0x09, kPropCovIncrement, 0x2E}, cat(real3, Bytes{0x2F, 0x1F})));
    wpm = cat(wpm, cat(ctxObjectId(0, analogInput(2)), Bytes{0x1E, 0x09, kPropUnits, 0x2E, 0x91, 0x30, 0x2F, 0x1F}));
    EXPECT_EQ(call(wpm), "50 03 10 0E 91 02 91 28 0F 1E 0C 00 00 00 02 19 75 1F");
    EXPECT_EQ(call(rp(4, analogInput(1), kPropCovIncrement)), "30 04 0C 0C 00 00 00 01 19 16 3E 44 40 40 00 00 3F");

    // ReadPropertyMultiple ALL of all 116 objects, segmented.
    std::vector<AccessSpec> all{{deviceObjectId(1234), {{kPropAll}}}};
    for (uint32_t i = 1; i <= 115; ++i)
        all.push_back({analogInput(i), {{kPropAll}}});
    struct Run {
        uint8_t maxOctet;
        uint8_t window;
        const char *name;
    };
    for (const Run &run : {Run{0x73, 1, "480, window 1"}, Run{0x73, 16, "480, window 16"},
                           Run{0x75, 1, "1476, window 1"}, Run{0x75, 16, "1476, window 16"}}) {
        SCOPED_TRACE(run.name);
        Transfer t = segmented(rpm(0x10, all, 0x02, run.maxOctet), run.window);
        std::vector<RpmResult> results;
        ASSERT_TRUE(readRpmAck(Bytes(t.data.begin(), t.data.end()), &results));
        EXPECT_GT(t.segments, 1);
        std::printf("segmented RPM ALL of 116 objects, max APDU %s: %d segments, %.1f ms\n", run.name, t.segments,
                    t.ms);
        size_t objects = 0;
        for (size_t i = 0; i < results.size(); ++i)
            objects += i == 0 || results[i].objectId != results[i - 1].objectId;
        EXPECT_EQ(objects, 116u);
    }

    // SubscribeCOV confirmed and unconfirmed: notifications as the values
    // change, the confirmed ones acknowledged; a cancellation ends them.
    EXPECT_EQ(call(cat(Bytes{0x00, 0x05, 0x05, kSvcSubscribeCov, 0x09, 0x01},
                       cat(ctxObjectId(1, analogInput(1)), Bytes{0x29, 0x01, 0x39, 0x3C}))),
              "20 05 05");
    Bytes confirmed = notification(kPduConfirmedRequest, kSvcConfirmedCovNotification);
    ASSERT_FALSE(confirmed.empty());
    EXPECT_EQ(hex(Bytes(confirmed.begin() + 4, confirmed.begin() + 11)), "09 01 1C 02 00 04 D2");
    send(Bytes{0x20, confirmed[2], kSvcConfirmedCovNotification});
    EXPECT_FALSE(notification(kPduConfirmedRequest, kSvcConfirmedCovNotification).empty());
    EXPECT_EQ(call(cat(Bytes{0x00, 0x05, 0x06, kSvcSubscribeCov, 0x09, 0x02},
                       cat(ctxObjectId(1, analogInput(3)), Bytes{0x29, 0x00, 0x39, 0x3C}))),
              "20 06 05");
    EXPECT_FALSE(notification(kPduUnconfirmedRequest, kSvcUnconfirmedCovNotification).empty());
    EXPECT_FALSE(notification(kPduUnconfirmedRequest, kSvcUnconfirmedEventNotification).empty());
    EXPECT_EQ(call(cat(Bytes{0x00, 0x05, 0x07, kSvcSubscribeCov, 0x09, 0x01}, ctxObjectId(1, analogInput(1)))),
              "20 07 05");
    EXPECT_EQ(call(cat(Bytes{0x00, 0x05, 0x08, kSvcSubscribeCov, 0x09, 0x02}, ctxObjectId(1, analogInput(3)))),
              "20 08 05");

    // DeviceCommunicationControl: a wrong password refused; disabled for a
    // minute with the password (silence); enabled again.
    EXPECT_EQ(call(cat(Bytes{0x00, 0x05, 0x09, kSvcDeviceCommunicationControl, 0x09, 0x01, 0x19, 0x01},
                       text(2, Bytes{0x00, 'n', 'o'}))),
              "50 09 11 91 04 91 1A");
    EXPECT_EQ(call(cat(Bytes{0x00, 0x05, 0x0A, kSvcDeviceCommunicationControl, 0x09, 0x01, 0x19, 0x01},
                       text(2, password))),
              "20 0A 11");
    EXPECT_EQ(call(rp(0x0B, analogInput(1), kPropPresentValue), 1000), "");
    EXPECT_EQ(call(cat(Bytes{0x00, 0x05, 0x0C, kSvcDeviceCommunicationControl, 0x19, 0x00}, text(2, password))),
              "20 0C 11");
    EXPECT_EQ(call(rp(0x0D, analogInput(1), kPropObjectName)), "30 0D 0C 0C 00 00 00 01 19 4D 3E 75 05 00 41 49 20 31 3F");

    // ReinitializeDevice warm start: the device answers again after it.
    EXPECT_EQ(call(cat(Bytes{0x00, 0x05, 0x0E, kSvcReinitializeDevice, 0x09, 0x01}, text(1, password))), "20 0E 14");
    std::string again;
    for (int i = 0; i < 20 && again.empty(); ++i)
        again = call(rp(static_cast<uint8_t>(0x20 + i), analogInput(1), kPropObjectName), 500);
    EXPECT_NE(again, "");

    ASSERT_TRUE(capture.finish(datagrams)) << "the capture did not record all " << datagrams << " datagrams";
    EXPECT_EQ(captureProblems(), "") << "tshark found malformed packets or warnings (capture kept in " << dir
                                     << ")";
}

// tshark's complaints about a capture: malformed packets and expert
// warnings or worse.
std::string problems(const fs::path &pcap, const fs::path &dir) {
    fs::path out = dir / "problems.txt";
    if (run({"tshark", "-r", pcap.string(), "-Y", "_ws.malformed || _ws.expert.severity >= 0x00600000"},
            out.string()) != 0)
        return "tshark failed on " + pcap.string();
    return fileText(out);
}

// MS/TP: bacnet-testd on the emulated line discipline with a peer station
// that sends Who-Is and, once answered, a ReadProperty; the capture of the
// bus is read by tshark.
TEST(EndToEndMstp, PeerStationIsAnsweredAndTheBusDecodesCleanly) {
    const char *binary = std::getenv("BACNET_TESTD");
    if (binary == nullptr)
        GTEST_SKIP() << "BACNET_TESTD is not set";
    fs::path dir = fs::temp_directory_path() / ("bacnet-e2e-mstp-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::path pcap = dir / "bus.pcap";
    int out = -1;
    pid_t testd = spawn({binary, "--datalink", "mstp", "--mac", "5", "--max-master", "16", "--baud", "76800",
                         "--pcap", pcap.string(), "--peer", "9"},
                        &out);
    ASSERT_GT(testd, 0);
    EXPECT_TRUE(readLine(out, "ready", 10000)) << "bacnet-testd did not start";
    EXPECT_TRUE(readLine(out, "peer: ReadProperty answered", 10000));
    stop(testd);
    close(out);

    fs::path fields = dir / "fields.txt";
    ASSERT_EQ(run({"tshark",
                   "-r",
                   pcap.string(),
                   "-T",
                   "fields",
                   "-E",
                   "separator=|",
                   "-e",
                   "mstp.src",
                   "-e",
                   "mstp.dst",
                   "-e",
                   "mstp.checksum.status",
                   "-e",
                   "bacnet.control",
                   "-e",
                   "bacapp.type",
                   "-e",
                   "bacapp.confirmed_service",
                   "-e",
                   "bacapp.unconfirmed_service"},
                  fields.string()),
              0);
    std::vector<std::string> frames;
    std::istringstream lines(fileText(fields));
    for (std::string line; std::getline(lines, line);)
        frames.push_back(line);
    // Source, destination, header and data CRC checks, NPDU control, APDU
    // type and service: the router's two messages, the peer's Who-Is, the
    // root device's I-Am, the peer's ReadProperty, the three virtual
    // devices' I-Am and the acknowledgement.
    const std::vector<std::string> expected{
        "5|255|1,1|0x80|||",   "5|255|1,1|0x80|||",   "9|255|1,1|0x20|1||8",
        "5|255|1,1|0x20|1||0", "9|5|1,1|0x04|0|12|",  "5|255|1,1|0x28|1||0",
        "5|255|1,1|0x28|1||0", "5|255|1,1|0x28|1||0", "5|9|1,1|0x00|3|12|",
    };
    EXPECT_EQ(frames, expected) << fileText(fields);
    EXPECT_EQ(problems(pcap, dir), "") << "capture kept in " << dir;
    if (!HasFailure())
        fs::remove_all(dir);
}

// B/IPv6: bacnet-testd on 2001:db8::10 and a client on 2001:db8::20, in two
// network namespaces joined by a veth pair or, for the interface-local group,
// both in one namespace on the two ends of the pair.
struct V6Case {
    const char *group;
    bool oneNamespace;
};

void PrintTo(const V6Case &c, std::ostream *out) {
    *out << c.group << (c.oneNamespace ? " in one namespace" : "");
}

class EndToEndV6 : public ::testing::TestWithParam<V6Case> {
  protected:
    std::string tag = std::to_string(getpid());
    std::string serverNs = "b6s" + tag;
    std::string clientNs = "b6c" + tag;
    std::string clientIf = "v6c" + tag;
    fs::path dir;
    pid_t testd = -1;
    Capture capture;
    size_t datagrams = 0;  // sent by the client and taken from the server
    int testdOut = -1;
    int originalNs = -1;
    int unicast = -1;  // bound to the client's address
    int group = -1;    // bound to the group
    uint32_t sendIf = 0;
    bool haveNamespaces = false;

    void SetUp() override {
        if (meter::under_emulation())
            GTEST_SKIP() << "the emulator does not support IPV6_MULTICAST_IF, which the BACnet/IPv6 port sets";
        const char *binary = std::getenv("BACNET_TESTD");
        if (binary == nullptr)
            GTEST_SKIP() << "BACNET_TESTD is not set";
        if (geteuid() != 0)
            GTEST_SKIP() << "network namespaces need root";
        if (run({"ip", "netns", "add", serverNs}) != 0)
            GTEST_SKIP() << "cannot create network namespaces";
        haveNamespaces = true;
        const bool one = GetParam().oneNamespace;
        const std::string &ns = one ? serverNs : clientNs;
        if (!one) {
            ASSERT_EQ(run({"ip", "netns", "add", clientNs}), 0);
        }
        ASSERT_EQ(
            run({"ip", "-n", serverNs, "link", "add", "eth0", "type", "veth", "peer", "name", clientIf}), 0);
        if (!one) {
            ASSERT_EQ(run({"ip", "-n", serverNs, "link", "set", clientIf, "netns", clientNs}), 0);
        }
        ASSERT_EQ(run({"ip", "-n", serverNs, "addr", "add", "2001:db8::10/64", "dev", "eth0", "nodad"}), 0);
        ASSERT_EQ(run({"ip", "-n", ns, "addr", "add", "2001:db8::20/64", "dev", clientIf, "nodad"}), 0);
        for (const auto &[n, dev] : {std::pair{serverNs, std::string("eth0")}, std::pair{ns, clientIf}}) {
            ASSERT_EQ(run({"ip", "-n", n, "link", "set", dev, "up"}), 0);
            ASSERT_EQ(run({"ip", "-n", n, "link", "set", "lo", "up"}), 0);
        }
        dir = fs::temp_directory_path() / ("bacnet-e2e6-" + tag);
        fs::create_directories(dir);

        testd =
            spawn({"ip", "netns", "exec", serverNs, binary, "--datalink", "bipv6", "--address",
                   "2001:db8::10", "--multicast", GetParam().group, "--port", "47808", "--instance", "1234"},
                  &testdOut);
        ASSERT_GT(testd, 0);
        ASSERT_TRUE(readLine(testdOut, "ready", 30000)) << "bacnet-testd did not start";

        originalNs = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(setns(fd, CLONE_NEWNET), 0);
        close(fd);
        // Interface-local multicast stays in the node: the client sends and
        // listens on the server's interface.
        sendIf = if_nametoindex(one ? "eth0" : clientIf.c_str());
        int on = 1;
        unicast = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        setsockopt(unicast, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        setsockopt(unicast, IPPROTO_IPV6, IPV6_MULTICAST_IF, &sendIf, sizeof sendIf);
        sockaddr_in6 sin = address6("2001:db8::20", 0);
        ASSERT_EQ(bind(unicast, reinterpret_cast<sockaddr *>(&sin), sizeof sin), 0) << std::strerror(errno);
        group = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        setsockopt(group, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        ipv6_mreq request{};
        inet_pton(AF_INET6, GetParam().group, &request.ipv6mr_multiaddr);
        request.ipv6mr_interface = sendIf;
        ASSERT_EQ(setsockopt(group, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &request, sizeof request), 0);
        sockaddr_in6 g = address6(GetParam().group, sendIf);
        ASSERT_EQ(bind(group, reinterpret_cast<sockaddr *>(&g), sizeof g), 0) << std::strerror(errno);
    }

    void TearDown() override {
        for (int s : {unicast, group}) {
            if (s >= 0)
                close(s);
        }
        capture.end();
        stop(testd);
        if (testdOut >= 0)
            close(testdOut);
        if (originalNs >= 0) {
            setns(originalNs, CLONE_NEWNET);
            close(originalNs);
        }
        if (haveNamespaces) {
            run({"ip", "netns", "del", clientNs});
            run({"ip", "netns", "del", serverNs});
        }
        if (!dir.empty() && !HasFailure())
            fs::remove_all(dir);
    }

    static sockaddr_in6 address6(const char *text, uint32_t scope) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(47808);
        inet_pton(AF_INET6, text, &a.sin6_addr);
        a.sin6_scope_id = IN6_IS_ADDR_MULTICAST(&a.sin6_addr) ? scope : 0;
        return a;
    }

    // Sends a BVLL message and collects what the server sends back on the
    // socket until `want` datagrams of the function arrived or the time is
    // up.
    std::vector<Bytes> exchange(const Bytes &message, const char *to, int from, uint8_t function,
                                size_t want) {
        sockaddr_in6 dst = address6(to, sendIf);
        EXPECT_EQ(sendto(unicast, message.data(), message.size(), 0, reinterpret_cast<sockaddr *>(&dst),
                         sizeof dst),
                  static_cast<ssize_t>(message.size()))
            << std::strerror(errno);
        ++datagrams;
        std::vector<Bytes> got;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(20000);
        while (got.size() < want && std::chrono::steady_clock::now() < until) {
            pollfd p{from, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            uint8_t buffer[2048];
            ssize_t n = recv(from, buffer, sizeof buffer, 0);
            if (n >= 10 && buffer[1] == function && buffer[4] == 0x00 && buffer[5] == 0x04 &&
                buffer[6] == 0xD2)
                got.emplace_back(buffer, buffer + n);
        }
        datagrams += got.size();
        return got;
    }
};

TEST_P(EndToEndV6, WhoIsAddressResolutionAndReadProperty) {
    const bool capturing = !GetParam().oneNamespace;
    if (capturing) {
        ASSERT_TRUE(capture.start(clientIf, dir / "exchange.pcapng")) << "dumpcap did not start";
    }
    const Bytes peer{0x00, 0x00, 0x07};
    const Bytes own{0x00, 0x04, 0xD2};

    // A global Who-Is to the group: the root device and the three virtual
    // devices answer to the group.
    auto iams = exchange(
        bvll6(kBvlc6OriginalBroadcastNpdu, cat(peer, Bytes{0x01, 0x20, 0xFF, 0xFF, 0x00, 0xFF, 0x10, 0x08})),
        GetParam().group, group, kBvlc6OriginalBroadcastNpdu, 4);
    std::vector<std::string> got;
    for (const auto &d : iams)
        got.push_back(hex(d));
    const std::vector<std::string> expected{
        "82 02 00 1C 00 04 D2 01 20 FF FF 00 FF 10 00 C4 02 00 04 D2 22 05 C4 91 01 22 02 2B",
        "82 02 00 25 00 04 D2 01 28 FF FF 00 00 64 06 00 00 00 00 00 2A FE 10 00 C4 02 00 00 2A 22 05 C4 91 "
        "01 22 02 2B",
        "82 02 00 25 00 04 D2 01 28 FF FF 00 00 64 06 00 00 00 00 00 2B FE 10 00 C4 02 00 00 2B 22 05 C4 91 "
        "01 22 02 2B",
        "82 02 00 25 00 04 D2 01 28 FF FF 00 00 64 06 00 00 00 00 00 2C FE 10 00 C4 02 00 00 2C 22 05 C4 91 "
        "01 22 02 2B",
    };
    EXPECT_EQ(got, expected);

    auto acks = exchange(bvll6(kBvlc6AddressResolution, cat(peer, own)), GetParam().group, unicast,
                         kBvlc6AddressResolutionAck, 1);
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(hex(acks[0]), "82 05 00 0A 00 04 D2 00 00 07");

    auto replies = exchange(bvll6(kBvlc6OriginalUnicastNpdu,
                                  cat(cat(peer, own), local(rp(1, deviceObjectId(1234), kPropObjectName)))),
                            "2001:db8::10", unicast, kBvlc6OriginalUnicastNpdu, 1);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(hex(replies[0]),
              "82 01 00 25 00 04 D2 00 00 07 01 00 30 01 0C 0C 02 00 04 D2 19 4D 3E 75 0B 00 4D "
              "65 74 65 72 20 31 32 33 34 3F");
    if (!capturing)
        return;

    ASSERT_TRUE(capture.finish(datagrams)) << "the capture did not record all " << datagrams << " datagrams";
    fs::path pcap = dir / "exchange.pcapng";
    fs::path decoded = dir / "bvlc.txt";
    ASSERT_EQ(run({"tshark", "-r", pcap.string(), "-Y", "bvlc.type == 0x82", "-T", "fields", "-e",
                   "bvlc.function", "-e", "bacapp.type"},
                  decoded.string()),
              0);
    std::istringstream lines(fileText(decoded));
    size_t frames = 0;
    for (std::string line; std::getline(lines, line);)
        ++frames;
    EXPECT_GE(frames, 9u) << fileText(decoded);
    EXPECT_EQ(problems(pcap, dir), "") << "capture kept in " << dir;
}

INSTANTIATE_TEST_SUITE_P(Groups, EndToEndV6,
                         ::testing::Values(V6Case{"ff02::bac0", false}, V6Case{"ff05::bac0", false},
                                           V6Case{"ff0e::bac0", false}, V6Case{"ff01::bac0", true}),
                         [](const ::testing::TestParamInfo<V6Case> &info) {
                             return std::string("FF0") +
                                    static_cast<char>(std::toupper(info.param.group[3])) +
                                    (info.param.oneNamespace ? "OneNamespace" : "");
                         });

}  // namespace
