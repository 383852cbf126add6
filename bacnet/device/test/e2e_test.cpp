// End to end over real UDP: device-testd (two voltage inputs, two pulse
// inputs, loads of 0, 1, 2 and 3 CTs) with the TQR stand-in on its
// loopback runs in one network namespace (its interface eth0,
// 192.0.2.10/24); this test is a BACnet/IP client in another (192.0.2.20/24)
// that reads and writes the wire with its own code (e2e_wire.h,
// device_wire.h). dumpcap records the exchange and tshark must decode it
// without a malformed packet or an expert warning.

#include <gtest/gtest.h>
#include "http_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <tuple>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "device_wire.h"
#include "wire_client.h"
#include "e2e_wire.h"
#include "test_process.h"

namespace {

using e2e::Bytes;
using e2e::cat;
using e2e::hex;
using devwire::Arrived;
namespace fs = std::filesystem;

constexpr uint32_t kRoot = devwire::Client::kRoot;
constexpr const char *kPincode = "7391";

uint32_t ai(uint32_t instance) {
    return e2e::objectId(kObjAnalogInput, instance);
}

// The error of an Error APDU as "class code", or the APDU in hex.
std::string errorOf(const Bytes &apdu) {
    if (apdu.size() == 7 && (apdu[0] >> 4) == kPduError && apdu[3] == 0x91 && apdu[5] == 0x91) {
        return std::to_string(apdu[4]) + " " + std::to_string(apdu[6]);
    }
    return hex(apdu);
}

bool isSimpleAck(const Bytes &apdu, uint8_t service) {
    return apdu.size() == 3 && apdu[0] == (kPduSimpleAck << 4) && apdu[2] == service;
}

class DeviceEndToEnd : public testing::Test, protected devwire::Client {
  protected:
    std::string tag = std::to_string(getpid());
    tu::VethPair net{"dt", tag};
    fs::path dir;
    pid_t tqr = -1;
    pid_t testd = -1;
    int testdOut = -1;
    int tqrErr = -1;
    tu::Capture capture;
    // Loads of 0 (one invalid CT), 1, 2 (between them an invalid one) and
    // 3 valid CTs; values moving once a second.
    std::vector<std::string> testdArgs{"--values", "--load", "0",       "--load", "6",
                                       "--load",   "7,0,8",  "--load", "9,10,11"};

    void SetUp() override {
        if (std::getenv("DEVICE_TESTD") == nullptr)
            GTEST_SKIP() << "DEVICE_TESTD is not set";
        const std::string failed = net.create();
        if (net.unavailable())
            GTEST_SKIP() << failed;
        ASSERT_EQ(failed, "");
        dir = fs::temp_directory_path() / ("device-e2e-" + tag);
        fs::create_directories(dir / "root");

        tqr = tu::spawn({"ip", "netns", "exec", net.serverNs, TQR_PROGRAM_PATH, "--listen", "127.0.0.1:8160",
                         "--pincode", kPincode},
                        &tqrErr, STDERR_FILENO);
        ASSERT_GT(tqr, 0);
        ASSERT_TRUE(tu::readLine(tqrErr, "tqr: listening on 127.0.0.1:8160", 30000)) << "tqr did not start";
        ASSERT_TRUE(startTestd());

        ASSERT_TRUE(net.enterClient());
        sock = tu::VethPair::udpSocket(47808);
        ASSERT_GE(sock, 0);
        ASSERT_TRUE(capture.start(net.clientIf, dir / "exchange.pcapng")) << "dumpcap did not start";
    }

    void TearDown() override {
        EXPECT_EQ(sendFailures, 0u);
        if (sock >= 0)
            close(sock);
        capture.end();
        stopTestd(SIGTERM);
        tu::stop(tqr);
        if (tqrErr >= 0)
            close(tqrErr);
        net.destroy();
        if (!dir.empty() && !HasFailure())
            fs::remove_all(dir);
    }

    bool startTestd() {
        std::vector<std::string> args = {"ip", "netns", "exec", net.serverNs, "env", "METER_ROOT=" + (dir / "root").string(),
                                         std::getenv("DEVICE_TESTD")};
        args.insert(args.end(), testdArgs.begin(), testdArgs.end());
        testd = tu::spawn(args, &testdOut);
        if (testd <= 0)
            return false;
        {
            std::lock_guard lock(linesMutex);
            lines.clear();
            linesTaken = 0;
        }
        // Read all the time, so that the program never waits on a full pipe.
        const int fd = testdOut;
        reader = std::thread([this, fd] {
            std::string line;
            char c;
            while (read(fd, &c, 1) == 1) {
                if (c != '\n') {
                    line += c;
                    continue;
                }
                std::lock_guard lock(linesMutex);
                lines.push_back(line);
                line.clear();
                linesChanged.notify_all();
            }
        });
        return awaitLine("ready");
    }
    void stopTestd(int signal) {
        tu::stop(testd, signal);
        testd = -1;
        if (reader.joinable())
            reader.join();
        if (testdOut >= 0)
            close(testdOut);
        testdOut = -1;
    }

    // Waits for a line of device-testd that ends with text, after the
    // lines an earlier wait took.
    bool awaitLine(const std::string &text, int timeoutMs = 30000) {
        std::unique_lock lock(linesMutex);
        return linesChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            for (; linesTaken < lines.size(); ++linesTaken) {
                const std::string &l = lines[linesTaken];
                if (l.size() >= text.size() && l.compare(l.size() - text.size(), text.size(), text) == 0) {
                    ++linesTaken;
                    return true;
                }
            }
            return false;
        });
    }

    std::thread reader;
    std::mutex linesMutex;
    std::condition_variable linesChanged;
    std::vector<std::string> lines;
    size_t linesTaken = 0;

    // A GET of the TQR stand-in, from a thread in the server's namespace.
    std::string tqrGet(const std::string &path) {
        std::string body;
        std::thread t([&] {
            int ns = open(("/run/netns/" + net.serverNs).c_str(), O_RDONLY | O_CLOEXEC);
            if (ns < 0 || setns(ns, CLONE_NEWNET) != 0)
                return;
            close(ns);
            tqr_testing::HttpClient client("127.0.0.1", 8160);
            if (auto res = client.Get(path))
                body = res->body;
        });
        t.join();
        return body;
    }

    // The capture closed and decoded by tshark: "" when no packet is
    // malformed or carries an expert warning.
    std::string captureProblems() {
        if (!capture.finish(datagrams))
            return "the capture did not record all " + std::to_string(datagrams) + " datagrams";
        const fs::path problems = dir / "problems.txt";
        if (tu::run({"tshark", "-r", (dir / "exchange.pcapng").string(), "-Y",
                     "_ws.malformed || _ws.expert.severity >= 0x00600000"},
                    problems.string()) != 0)
            return "tshark failed";
        const fs::path decoded = dir / "bacnet.txt";
        tu::run({"tshark", "-r", (dir / "exchange.pcapng").string(), "-Y", "bacapp", "-T", "fields", "-e",
                 "frame.number"},
                decoded.string());
        if (tu::fileLines(decoded.string()).empty())
            return "tshark decoded no BACnet frame";
        return tu::fileText(problems.string());
    }

};

// ---- scan ----

TEST_F(DeviceEndToEnd, ScanReadsEveryObjectWholeAndSegmented) {
    const std::vector<uint32_t> iAms = whoIs(5);
    EXPECT_EQ(std::set<uint32_t>(iAms.begin(), iAms.end()), (std::set<uint32_t>{kRoot, 1001, 1002, 1003, 1004}));
    EXPECT_EQ(iAms.size(), 5u);

    const std::map<uint32_t, size_t> sizes = {{kRoot, 36}, {1001, 45}, {1002, 69}, {1003, 93}, {1004, 117}};
    std::map<uint32_t, std::vector<uint32_t>> lists;
    for (const auto &[device, size] : sizes) {
        SCOPED_TRACE(device);
        const Bytes count = call(device, e2e::rp(2, e2e::deviceObjectId(device), kPropObjectList, 0));
        ASSERT_GE(count.size(), 4u) << hex(count);
        lists[device] = objectList(device);
        ASSERT_EQ(lists[device].size(), size);
        EXPECT_EQ(lists[device][0], e2e::deviceObjectId(device));
    }

    // ReadPropertyMultiple ALL of every object: at 1476 octets in one
    // answer, at 480 segmented; both give the same results.
    size_t objects = 0;
    std::set<std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>> refused;  // type, property, class, code
    for (const auto &[device, ids] : lists) {
        for (uint32_t id : ids) {
            SCOPED_TRACE(std::to_string(device) + " object " + std::to_string(id));
            const Bytes big = call(device, e2e::rpm(3, {{id, {{kPropAll}}}}, 0x00, 0x05));
            const Bytes small = call(device, e2e::rpm(4, {{id, {{kPropAll}}}}, 0x02, 0x73));
            ASSERT_GE(big.size(), 3u);
            ASSERT_EQ(big[0], 0x30) << hex(big);
            ASSERT_GE(small.size(), 3u);
            ASSERT_EQ(small[0], 0x30) << hex(small);
            std::vector<e2e::RpmResult> whole;
            std::vector<e2e::RpmResult> segmented;
            ASSERT_TRUE(e2e::readRpmAck(Bytes(big.begin() + 3, big.end()), &whole)) << hex(big);
            ASSERT_TRUE(e2e::readRpmAck(Bytes(small.begin() + 3, small.end()), &segmented)) << hex(small);
            ASSERT_GE(whole.size(), 3u);
            ASSERT_EQ(whole.size(), segmented.size());
            for (size_t i = 0; i < whole.size(); ++i) {
                EXPECT_EQ(whole[i].property, segmented[i].property);
                EXPECT_EQ(whole[i].ok, segmented[i].ok) << whole[i].property;
            }
            for (const auto &r : whole) {
                if (!r.ok)
                    refused.insert({id >> 22, r.property, r.errorClass, r.errorCode});
            }
            ++objects;
        }
    }
    EXPECT_EQ(objects, 36u + 45 + 69 + 93 + 117);
    for (const auto &[type, property, errorClass, errorCode] : refused)
        ADD_FAILURE() << "type " << type << " property " << property << ": " << errorClass << " " << errorCode;
    EXPECT_GT(segmentedAnswers, 0u);
    EXPECT_EQ(captureProblems(), "") << "capture kept in " << dir;
}

// ---- COV ----

TEST_F(DeviceEndToEnd, SubscriptionsNotifyOnChangeAndStopWhenCancelled) {
    const uint32_t loadAi = ai(8);
    const uint32_t converter = e2e::objectId(kObjPulseConverter, 1);
    const uint32_t marker = ai(9);
    auto notificationOf = [](uint32_t processId) {
        return [processId](const Arrived &a) {
            auto n = devwire::readCovNotification(a.apdu);
            return n && n->processId == processId;
        };
    };
    EXPECT_TRUE(isSimpleAck(call(1002, devwire::subscribeCov(1, 1, loadAi, true, 300)), kSvcSubscribeCov));
    EXPECT_TRUE(isSimpleAck(call(kRoot, devwire::subscribeCov(2, 2, converter, false, 300)), kSvcSubscribeCov));
    // The first notification at the next COV tick, then one per change.
    for (int i = 0; i < 3; ++i) {
        auto load = await(notificationOf(1));
        ASSERT_TRUE(load.has_value()) << "confirmed notification " << i;
        auto n = devwire::readCovNotification(load->apdu);
        ASSERT_TRUE(n.has_value());
        EXPECT_TRUE(n->confirmed);
        EXPECT_EQ(n->device, e2e::deviceObjectId(1002));
        EXPECT_EQ(n->objectId, loadAi);
        EXPECT_LE(n->timeRemaining, 300u);
        EXPECT_EQ(sender(*load), 1002u);
        auto pulse = await(notificationOf(2));
        ASSERT_TRUE(pulse.has_value()) << "unconfirmed notification " << i;
        const auto p = devwire::readCovNotification(pulse->apdu);
        ASSERT_TRUE(p.has_value());
        EXPECT_FALSE(p->confirmed);
        EXPECT_EQ(p->device, e2e::deviceObjectId(kRoot));
        EXPECT_EQ(p->objectId, converter);
    }

    // Cancelled: none of them after the acknowledgement, while a third
    // subscription sees two further changes.
    EXPECT_TRUE(isSimpleAck(call(1002, devwire::subscribeCov(3, 1, loadAi)), kSvcSubscribeCov));
    EXPECT_TRUE(isSimpleAck(call(kRoot, devwire::subscribeCov(4, 2, converter)), kSvcSubscribeCov));
    aside.clear();
    EXPECT_TRUE(isSimpleAck(call(1003, devwire::subscribeCov(5, 3, marker, false, 300)), kSvcSubscribeCov));
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(await(notificationOf(3)).has_value());
    for (const Arrived &a : aside) {
        auto n = devwire::readCovNotification(a.apdu);
        EXPECT_FALSE(n && (n->processId == 1 || n->processId == 2)) << hex(a.apdu);
    }

    // A pulse converter out of service keeps its value: what comes then is
    // the notification of every cov-period.
    const uint32_t still = e2e::objectId(kObjPulseConverter, 2);
    EXPECT_TRUE(isSimpleAck(call(kRoot, devwire::writeProperty(8, still, kPropOutOfService, Bytes{0x11})),
                            kSvcWriteProperty));
    EXPECT_TRUE(isSimpleAck(call(kRoot, devwire::writeProperty(9, still, kPropCovPeriod, Bytes{0x21, 0x01})),
                            kSvcWriteProperty));
    EXPECT_TRUE(isSimpleAck(call(kRoot, devwire::subscribeCov(10, 5, still, false, 300)), kSvcSubscribeCov));
    std::vector<Bytes> periodic;
    for (int i = 0; i < 4; ++i) {
        auto a = await(notificationOf(5));
        ASSERT_TRUE(a.has_value()) << "periodic notification " << i;
        periodic.push_back(devwire::readCovNotification(a->apdu)->presentValue);
    }
    EXPECT_FALSE(periodic[0].empty());
    EXPECT_EQ(std::set<Bytes>(periodic.begin(), periodic.end()).size(), 1u) << hex(periodic[1]);

    // Refused: a root large-analog-value, an object that does not exist.
    EXPECT_EQ(errorOf(call(kRoot, devwire::subscribeCov(6, 4, e2e::objectId(kObjLargeAnalogValue, 1), true, 60))),
              "1 45");
    EXPECT_EQ(errorOf(call(kRoot, devwire::subscribeCov(7, 4, ai(999), true, 60))), "1 31");
    EXPECT_EQ(captureProblems(), "") << "capture kept in " << dir;
}

// ---- GetEventInformation ----

class EventPaging : public DeviceEndToEnd {
  protected:
    EventPaging() { testdArgs.insert(testdArgs.end(), {"--alarms", "20"}); }
};

TEST_F(EventPaging, ClientOf480OctetsPagesThroughEveryObjectOnce) {
    std::vector<uint32_t> reported;
    size_t pages = 0;
    bool lastMore = true;
    // The values rise above their limits within the first seconds: walk
    // again until every object is in alarm.
    for (int walk = 0; walk < 40 && reported.size() < 20; ++walk) {
        reported.clear();
        pages = 0;
        std::optional<uint32_t> last;
        uint8_t invokeId = 1;
        do {
            const Bytes ack = call(kRoot, devwire::getEventInformation(invokeId++, last, 0x03, 0x00));
            ASSERT_GE(ack.size(), 3u);
            ASSERT_EQ(hex(Bytes(ack.begin(), ack.begin() + 3)).substr(0, 2), "30") << hex(ack);
            EXPECT_LE(ack.size(), 480u);
            auto info = devwire::readEventInformation(Bytes(ack.begin() + 3, ack.end()));
            ASSERT_TRUE(info.has_value()) << hex(ack);
            ++pages;
            for (const auto &s : info->summaries)
                reported.push_back(s.objectId);
            lastMore = info->moreEvents;
            if (info->summaries.empty())
                break;
            last = info->summaries.back().objectId;
        } while (lastMore);
        if (reported.size() < 20)
            await([](const Arrived &) { return false; }, 500);
    }
    EXPECT_EQ(reported.size(), 20u);
    EXPECT_EQ(std::set<uint32_t>(reported.begin(), reported.end()).size(), reported.size()) << "an object twice";
    EXPECT_TRUE(std::is_sorted(reported.begin(), reported.end()));
    EXPECT_GT(pages, 1u);
    EXPECT_FALSE(lastMore);
    EXPECT_EQ(captureProblems(), "") << "capture kept in " << dir;
}

// ---- DeviceCommunicationControl and ReinitializeDevice ----

TEST_F(DeviceEndToEnd, PasscodeServices) {
    const uint32_t root = e2e::deviceObjectId(kRoot);
    const std::string wrong = "0000";
    const std::string right = kPincode;
    const std::string dcc = "Invalid login attempt for DeviceCommunicationControl ";
    const std::string reinitialize = "Invalid login attempt for ReinitializeDevice ";
    EXPECT_EQ(errorOf(call(kRoot, devwire::deviceCommunicationControl(1, 1, 1, std::nullopt))), "4 26");
    EXPECT_TRUE(awaitLine(" emergency " + dcc + "(no passcode)."));
    EXPECT_EQ(errorOf(call(kRoot, devwire::deviceCommunicationControl(2, 1, 1, wrong))), "4 26");
    EXPECT_TRUE(awaitLine(" emergency " + dcc + "(wrong passcode)."));
    EXPECT_TRUE(awaitLine(" emergency Received BACnet DCC, password check failure"));
    EXPECT_TRUE(isSimpleAck(call(kRoot, devwire::deviceCommunicationControl(3, 1, 1, right)),
                            kSvcDeviceCommunicationControl));
    EXPECT_TRUE(awaitLine(" notice Rec'd a DCC request to disable comm with a valid passcode. Disabling comms for 1 "
                          "minutes."));
    // Silent while disabled: the read gets no answer before the enabling
    // DCC's acknowledgement.
    send(to(kRoot, e2e::rp(4, root, kPropObjectName)));
    EXPECT_TRUE(isSimpleAck(call(kRoot, devwire::deviceCommunicationControl(5, 0, std::nullopt, right)),
                            kSvcDeviceCommunicationControl));
    EXPECT_TRUE(awaitLine(" notice Rec'd a DCC request to enable comm with a valid passcode."));
    for (const Arrived &a : aside)
        EXPECT_FALSE(a.apdu.size() >= 2 && a.apdu[1] == 4 && (a.apdu[0] >> 4) >= kPduSimpleAck) << hex(a.apdu);
    EXPECT_EQ(call(kRoot, e2e::rp(6, root, kPropObjectName)).at(0), 0x30);

    EXPECT_EQ(errorOf(call(kRoot, devwire::reinitializeDevice(7, 1, std::nullopt))), "4 26");
    EXPECT_TRUE(awaitLine(" emergency " + reinitialize + "(no passcode)."));
    EXPECT_EQ(errorOf(call(kRoot, devwire::reinitializeDevice(8, 1, wrong))), "4 26");
    EXPECT_TRUE(awaitLine(" emergency " + reinitialize + "(wrong passcode)."));
    EXPECT_TRUE(isSimpleAck(call(kRoot, devwire::reinitializeDevice(9, 0, right)), kSvcReinitializeDevice));
    EXPECT_TRUE(awaitLine(" emergency Cold boot requested for root device, just logging it."));
    EXPECT_EQ(errorOf(call(1003, devwire::reinitializeDevice(10, 2, right))), "5 29");
    EXPECT_TRUE(isSimpleAck(call(1002, devwire::reinitializeDevice(11, 1, right)), kSvcReinitializeDevice));
    EXPECT_TRUE(awaitLine(" emergency Warm boot requested for root device, restarting."));
    EXPECT_TRUE(awaitLine("restarted"));
    EXPECT_EQ(call(1004, e2e::rp(12, e2e::deviceObjectId(1004), kPropObjectName)).at(0), 0x30);
    EXPECT_EQ(captureProblems(), "") << "capture kept in " << dir;
}

// ---- Who-Has ----

TEST_F(DeviceEndToEnd, WhoHasByNameAndByIdentifier) {
    auto iHaves = [&](const Bytes &apdu, size_t want) {
        broadcast(cat(Bytes{0x01, e2e::kHasDestination, 0xFF, 0xFF, 0x00, 0xFF}, apdu));
        std::multiset<std::pair<uint32_t, uint32_t>> got;
        while (got.size() < want) {
            auto a = await([](const Arrived &x) { return devwire::readIHave(x.apdu).has_value(); });
            if (!a)
                break;
            auto i = devwire::readIHave(a->apdu);
            EXPECT_EQ(i->device, e2e::deviceObjectId(sender(*a)));
            got.insert({i->device & 0x3FFFFF, i->objectId});
        }
        return got;
    };
    using Seen = std::multiset<std::pair<uint32_t, uint32_t>>;
    EXPECT_EQ(iHaves(devwire::whoHasName("Total Real Power (kW)"), 4),
              (Seen{{1001, ai(8)}, {1002, ai(8)}, {1003, ai(8)}, {1004, ai(8)}}));
    EXPECT_EQ(iHaves(devwire::whoHasName("Load 3"), 1), (Seen{{1003, e2e::deviceObjectId(1003)}}));
    EXPECT_EQ(iHaves(devwire::whoHasName("Meter"), 1), (Seen{{kRoot, e2e::deviceObjectId(kRoot)}}));
    // A Device's name with more after it has no answer: the identifier
    // asked next is answered first.
    aside.clear();
    iHaves(devwire::whoHasName("Load 3 and more"), 0);
    EXPECT_EQ(iHaves(devwire::whoHasId(e2e::deviceObjectId(1002)), 1), (Seen{{1002, e2e::deviceObjectId(1002)}}));
    for (const Arrived &a : aside)
        EXPECT_FALSE(devwire::readIHave(a.apdu).has_value()) << hex(a.apdu);
    EXPECT_EQ(iHaves(devwire::whoHasId(e2e::objectId(kObjBinaryValue, 3)), 2),
              (Seen{{1003, e2e::objectId(kObjBinaryValue, 3)}, {1004, e2e::objectId(kObjBinaryValue, 3)}}));
    EXPECT_EQ(captureProblems(), "") << "capture kept in " << dir;
}

// ---- writes ----

// The value of a ReadProperty-ACK (between [3] and its closing tag).
Bytes valueOf(const Bytes &ack) {
    const auto open = std::find(ack.begin(), ack.end(), uint8_t{0x3E});
    if (ack.empty() || ack[0] != 0x30 || open == ack.end() || ack.back() != 0x3F)
        return {};
    return Bytes(open + 1, ack.end() - 1);
}

struct Write {
    uint32_t device;
    uint32_t objectId;
    uint32_t property;
    Bytes value;
};

class Persistence : public DeviceEndToEnd {
  protected:
    void writeAll(const std::vector<Write> &writes) {
        uint8_t invokeId = 1;
        for (const Write &w : writes) {
            SCOPED_TRACE(std::to_string(w.device) + " " + std::to_string(w.objectId) + " " +
                         std::to_string(w.property));
            EXPECT_TRUE(isSimpleAck(call(w.device, devwire::writeProperty(invokeId++, w.objectId, w.property, w.value)),
                                    kSvcWriteProperty));
        }
    }
    void readBack(const std::vector<Write> &writes, const char *when) {
        uint8_t invokeId = 100;
        for (const Write &w : writes) {
            SCOPED_TRACE(std::string(when) + ": " + std::to_string(w.device) + " " + std::to_string(w.objectId) +
                         " " + std::to_string(w.property));
            EXPECT_EQ(hex(valueOf(call(w.device, e2e::rp(invokeId++, w.objectId, w.property)))), hex(w.value));
        }
    }
    void restart(int signal) {
        stopTestd(signal);
        ASSERT_TRUE(startTestd());
    }
};

// The pulse converter's scale, a REAL under this identifier.
constexpr uint32_t kPulseScale = 188;

TEST_F(Persistence, WrittenPropertiesSurviveEveryKindOfRestart) {
    const Bytes yes{0x11};
    const Bytes both{0x82, 0x06, 0xC0};
    const Bytes offnormalAndNormal{0x82, 0x05, 0xA0};
    auto seconds = [](uint8_t n) { return Bytes{0x21, n}; };
    const uint32_t ctAmperage = ai(30);
    const uint32_t rootClass = e2e::objectId(kObjNotificationClass, 1);
    const uint32_t converter = e2e::objectId(kObjPulseConverter, 2);
    const std::vector<Write> first = {
        {1004, ctAmperage, kPropHighLimit, devwire::real(50.0f)},
        {1004, ctAmperage, kPropLowLimit, devwire::real(-1.0f)},
        {1004, ctAmperage, kPropDeadband, devwire::real(2.0f)},
        {1004, ctAmperage, kPropCovIncrement, devwire::real(0.5f)},
        {kRoot, e2e::objectId(kObjLargeAnalogValue, 2), kPropHighLimit, devwire::dbl(1000.0)},
        {kRoot, converter, kPropCovPeriod, Bytes{0x21, 0x03}},
        {kRoot, converter, kPulseScale, devwire::real(2.0f)},
        {kRoot, converter, kPropAdjustValue, devwire::real(-2.0f)},
        {kRoot, ai(7), kPropUnits, Bytes{0x91, 103}},  // a phase angle in radians
        {kRoot, rootClass, kPropPriority, Bytes{0x21, 0x03, 0x21, 0x05, 0x21, 0x07}},
        {kRoot, rootClass, kPropRecipientList, devwire::recipientList(4711)},
        {1003, rootClass, kPropRecipientList, cat(devwire::recipientList(1), devwire::recipientList(2))},
        {1004, ctAmperage, kPropOutOfService, yes},
        {1004, ctAmperage, kPropTimeDelay, seconds(5)},
        {1004, ctAmperage, kPropTimeDelayNormal, seconds(7)},
        {1004, ctAmperage, kPropLimitEnable, both},
        {1004, ctAmperage, kPropEventEnable, offnormalAndNormal},
        {1004, ctAmperage, kPropEventDetectionEnable, yes},
        {1004, ctAmperage, kPropEventAlgorithmInhibit, yes},
        {1001, e2e::objectId(kObjLargeAnalogValue, 13), kPropEventDetectionEnable, yes},
        {1002, e2e::objectId(kObjBinaryValue, 1), kPropOutOfService, yes},
        {kRoot, ai(22), kPropTimeDelay, seconds(9)},
        {kRoot, ai(3), kPropTimeDelayNormal, seconds(4)},
        {kRoot, e2e::objectId(kObjLargeAnalogValue, 2), kPropTimeDelayNormal, seconds(11)},
        {kRoot, converter, kPropOutOfService, yes},
        {kRoot, e2e::objectId(kObjMultiStateValue, 2), kPropOutOfService, yes},
    };
    writeAll(first);
    readBack(first, "written");

    EXPECT_TRUE(isSimpleAck(call(kRoot, devwire::reinitializeDevice(50, 1, std::string(kPincode))),
                            kSvcReinitializeDevice));
    ASSERT_TRUE(awaitLine("restarted"));
    readBack(first, "after a warm start");

    restart(SIGTERM);
    readBack(first, "after a stop and a new start");

    // Saved at the write, not at a clean-up: a kill keeps them.
    const std::vector<Write> second = {
        {1004, ctAmperage, kPropTimeDelay, seconds(6)},
        {1004, ctAmperage, kPropOutOfService, Bytes{0x10}},
        {kRoot, ai(22), kPropTimeDelay, seconds(8)},
        {kRoot, ai(3), kPropTimeDelayNormal, seconds(2)},
        {kRoot, converter, kPropOutOfService, Bytes{0x10}},
        {kRoot, rootClass, kPropRecipientList, Bytes{}},
        {1004, ctAmperage, kPropHighLimit, devwire::real(40.0f)},
    };
    writeAll(second);
    restart(SIGKILL);
    readBack(second, "after a kill");
    EXPECT_EQ(captureProblems(), "") << "capture kept in " << dir;
}

TEST_F(DeviceEndToEnd, DeviceWritesReachTqr) {
    const std::string text = "Renamed Meter";
    const Bytes name = cat(e2e::tagHeader(kTagCharacterString, false, static_cast<uint32_t>(text.size() + 1)),
                           cat(Bytes{0x00}, Bytes(text.begin(), text.end())));
    EXPECT_TRUE(isSimpleAck(call(kRoot, devwire::writeProperty(1, e2e::deviceObjectId(kRoot), kPropObjectName, name)),
                            kSvcWriteProperty));
    EXPECT_NE(tqrGet("/api/v1/config/info").find("\"Renamed Meter\""), std::string::npos);
    EXPECT_NE(tqrGet("/api/v1/config/communication").find("Renamed Meter"), std::string::npos);
    const Bytes read = call(kRoot, e2e::rp(2, e2e::deviceObjectId(kRoot), kPropObjectName));
    EXPECT_NE(hex(read).find(hex(Bytes{'R', 'e', 'n', 'a', 'm', 'e', 'd'})), std::string::npos) << hex(read);
    EXPECT_EQ(captureProblems(), "") << "capture kept in " << dir;
}

}  // namespace
