// The transport against the TQR stand-in: results, log lines, what reaches
// TQR, and the faults of the transport mended.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <thread>

#include "meter/json.h"
#include "runtime/tqr/config_put.h"
#include "transport_fixture.h"

namespace tqrtest {
namespace {

using Json = nlohmann::ordered_json;

// What a parser saw.
struct Parsed {
    int calls = 0;
    std::string body;
};

// A parser in the manner of the system's: the body read as JSON, a member
// required.
TqrParser modelParser(Parsed &parsed) {
    return [&parsed](const char *body, size_t size, size_t count, void *) {
        ++parsed.calls;
        parsed.body.assign(body, size * count);
        JsonItem root = jsonRead(parsed.body);
        (void)root.requireChild("model");
        return static_cast<int>(size * count);
    };
}

// A port on which nothing listens.
uint16_t closedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

// A server of one connection that sends the status line, a Content-Length
// of 100 and one byte, then closes: the body is cut after the 200.
class CutServer {
  public:
    CutServer() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(fd_, 1);
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            const int c = accept(fd_, nullptr, nullptr);
            char buf[4096];
            std::string head;
            while (head.find("\r\n\r\n") == std::string::npos) {
                const ssize_t n = recv(c, buf, sizeof buf, 0);
                if (n <= 0) {
                    break;
                }
                head.append(buf, static_cast<size_t>(n));
            }
            const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{";
            send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
            close(c);
        });
    }
    ~CutServer() {
        thread_.join();
        close(fd_);
    }
    uint16_t port = 0;

  private:
    int fd_ = -1;
    std::thread thread_;
};

TEST_F(TqrTransport, GetResultsLinesAndParsing) {
    const std::string path = "/api/v1/config/static";
    const std::string u = url(path);
    struct Case {
        const char *name;
        std::function<void(TqrTransport &)> arrange;
        int result;
        std::vector<Line> expected;
        int parses;
    };
    const Case cases[] = {
        {"200", [](TqrTransport &) {}, 0, {}, 1},
        {"204", [&](TqrTransport &t) { t.put("status" + path, "204"); }, 0, {}, 0},
        {"404", [&](TqrTransport &t) { t.put("status" + path, "404"); }, 404, {{6, "Received 404 for " + u}}, 0},
        {"500", [&](TqrTransport &t) { t.put("status" + path, "500"); }, 500, {{6, "Received 500 for " + u}}, 0},
        {"not JSON", [&](TqrTransport &t) { t.put("body" + path, "<html>"); }, tqrNotJson, {}, 1},
        {"missing key", [&](TqrTransport &t) { t.put("body" + path, R"({"serial":"x"})"); }, tqrMissingKey, {}, 1},
        {"over the cap",
         [&](TqrTransport &t) { t.put("body" + path, "[" + std::string(tqrMaxBody, ' ') + "]"); },
         200,
         {{3, "tqrReadCallback: answer longer than 4194304 bytes"}, {6, "Received 200 for " + u}},
         0},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(control->Delete("/_stub/endpoints"));
        c.arrange(*this);
        takeLines();
        Parsed parsed;
        EXPECT_EQ(tqrGet("127.0.0.1", port, path, modelParser(parsed)), c.result) << c.name;
        EXPECT_EQ(takeLines(), c.expected) << c.name;
        EXPECT_EQ(parsed.calls, c.parses) << c.name;
        if (c.parses == 1 && c.result == 0) {
            EXPECT_EQ(parsed.body, R"({"model":7,"serial":"ZM-000001","version":"1.0.0"})");
        }
    }
}

TEST_F(TqrTransport, ARefusedConnectionIsOneLineAtLevel1) {
    const uint16_t closed = closedPort();
    Parsed parsed;
    EXPECT_EQ(tqrGet("127.0.0.1", closed, "api/v1/system/time", modelParser(parsed)), tqrRefused);
    EXPECT_EQ(takeLines(), (std::vector<Line>{
                               {1, "Couldn't connect to TQR server at http://127.0.0.1:" + std::to_string(closed) +
                                       "/api/v1/system/time"}}));
    EXPECT_EQ(parsed.calls, 0);
}

TEST_F(TqrTransport, ABodyCutAfterTheStatusIsTheStatusWithoutParsing) {
    CutServer cut;
    Parsed parsed;
    const std::string u = "http://127.0.0.1:" + std::to_string(cut.port) + "/api/v1/data/loads";
    EXPECT_EQ(tqrGet("127.0.0.1", cut.port, "/api/v1/data/loads", modelParser(parsed)), 200);
    EXPECT_EQ(takeLines(), (std::vector<Line>{{6, "Received 200 for " + u}}));
    EXPECT_EQ(parsed.calls, 0);
}

TEST_F(TqrTransport, AnotherExceptionOfAParserLeavesTheLockFree) {
    int calls = 0;
    auto throwing = [&](const char *, size_t, size_t, void *) -> int {
        ++calls;
        throw std::runtime_error("surprise");
    };
    EXPECT_EQ(tqrGet("127.0.0.1", port, "/api/v1/config/static", throwing), tqrParserFailed);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(takeLines(), (std::vector<Line>{{3, "Parser of " + url("/api/v1/config/static") + " failed: surprise"}}));
    auto other = std::async(std::launch::async, [] {
        const bool free = tqrMutex.try_lock();
        if (free) {
            tqrMutex.unlock();
        }
        return free;
    });
    EXPECT_TRUE(other.get());
    auto weird = [](const char *, size_t, size_t, void *) -> int { throw 42; };
    EXPECT_EQ(tqrGet("127.0.0.1", port, "/api/v1/config/static", weird), tqrParserFailed);
    Parsed parsed;
    EXPECT_EQ(tqrGet("127.0.0.1", port, "/api/v1/config/static", modelParser(parsed)), tqrOk);
}

TEST_F(TqrTransport, ATqrThatNeverAnswersReleasesTheThreadAndTheLock) {
    put("delay/api/v1/config/mapping", "600000");
    Parsed parsed;
    const auto begin = std::chrono::steady_clock::now();
    const int result = tqrGet("127.0.0.1", port, "/api/v1/config/mapping", modelParser(parsed));
    const auto took = std::chrono::steady_clock::now() - begin;
    put("delay/api/v1/config/mapping", "0");
    EXPECT_EQ(result, tqrNoStatus);
    EXPECT_EQ(parsed.calls, 0);
    EXPECT_LT(took, std::chrono::seconds(600)) << "ended by its own time-out, not by the answer";
    const std::vector<Line> got = takeLines();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].level, 4);
    EXPECT_EQ(got[0].text.rfind("No answer from TQR for " + url("/api/v1/config/mapping") + ": ", 0), 0u)
        << got[0].text;
    EXPECT_TRUE(tqrMutex.try_lock());
    tqrMutex.unlock();
}

TEST_F(TqrTransport, EachRoutineSendsItsUrlHeadersAndBody) {
    ASSERT_EQ(tqrPutAlarms("127.0.0.1", port, R"([{"id":17,"state":6}])", 0), 200);
    ASSERT_EQ(tqrPutAlarmState("127.0.0.1", port, 2, 17), 200);
    Parsed parsed;
    ASSERT_EQ(tqrGet("127.0.0.1", port, "api/v1/config/static", modelParser(parsed)), 0);

    struct Expected {
        const char *method;
        std::string target;
        std::vector<std::pair<std::string, std::string>> headers; // in this order, among others
        std::string body;
    };
    const std::string alarmsBody = R"([{"id":17,"state":6}])";
    const std::string stateBody = "{\n \"state\":2\n}";
    const Expected expected[] = {
        {"PUT",
         "/api/v1/config/alarms",
         {{"Content-Length", std::to_string(alarmsBody.size())},
          {"Accept", "*/*"},
          {"User-Agent", "ZOR BACnet"},
          {"Content-Type", "application/json"}},
         alarmsBody},
        {"PUT",
         "/api/v1/config/alarm/17/state",
         {{"Content-Length", std::to_string(stateBody.size())},
          {"Accept", "*/*"},
          {"User-Agent", "ZOR BACnet"},
          {"Content-Type", "application/json"}},
         stateBody},
        {"GET", "/api/v1/config/static", {{"User-Agent", "tqr-client"}, {"content-type", "application/json"}}, ""},
    };
    const Json log = requests();
    ASSERT_EQ(log.size(), std::size(expected));
    for (size_t i = 0; i < log.size(); ++i) {
        const Expected &e = expected[i];
        EXPECT_EQ(log[i]["method"], e.method) << i;
        EXPECT_EQ(log[i]["target"], e.target) << i;
        EXPECT_EQ(log[i]["body"], e.body) << i;
        std::vector<std::pair<std::string, std::string>> sent;
        for (const Json &h : log[i]["headers"]) {
            for (const auto &want : e.headers) {
                if (h[0] == want.first) {
                    sent.emplace_back(h[0], h[1]);
                }
            }
        }
        EXPECT_EQ(sent, e.headers) << i;
    }
    EXPECT_EQ(get("/api/v1/config/alarms")[0]["state"], 2);
}

TEST_F(TqrTransport, LoginSendsThePasscodeAsValidJson) {
    tqr::Options options;
    options.pincode = "a\"b\\c";
    start(options);
    EXPECT_EQ(tqrLogin("127.0.0.1", port, "a\"b\\c"), 200);
    EXPECT_EQ(tqrLogin("127.0.0.1", port, "1234"), 401);
    EXPECT_EQ(tqrLogin("127.0.0.1", port, ""), 401);
    const std::string u = url("/api/v1/login");
    EXPECT_EQ(takeLines(), (std::vector<Line>{{7, "Sent PUT " + u},
                                              {7, "Sent PUT " + u},
                                              {6, "Received 401 for " + u},
                                              {7, "Sent PUT " + u},
                                              {6, "Received 401 for " + u}}));
    const Json log = requests();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0]["body"], "{\n\t\"enabled\":true,\n\t\"pincode\":\"a\\\"b\\\\c\"}");
    EXPECT_EQ(Json::parse(log[0]["body"].get<std::string>())["pincode"], "a\"b\\c");
    EXPECT_NE(log[2]["body"].get<std::string>().find("\"pincode\":\"\""), std::string::npos);
    std::vector<std::string> names;
    for (const Json &h : log[0]["headers"]) {
        names.push_back(h[0]);
    }
    const std::vector<std::string> own = {"cache-control",   "Connection", "Content-Length", "Accept-Encoding",
                                          "Cache-Control",   "Accept",     "User-Agent",     "Content-Type"};
    std::vector<std::string> sent;
    for (const std::string &n : names) {
        if (std::find(own.begin(), own.end(), n) != own.end()) {
            sent.push_back(n);
        }
    }
    EXPECT_EQ(sent, own);
}

TEST_F(TqrTransport, SiteInformationSendsEachTextUnderItsOwnKey) {
    SiteInfo info;
    info.setName("K\xC3\xBC" "che");
    info.setSite("Site");
    info.setAddr1("Main St 1");
    info.setAddr2("Building B");
    info.setLoc1("Floor 2");
    info.setLoc2("Room 12");
    info.setPanel("P4");
    info.setType("Sub");
    int completions = 0;
    auto done = [&](const char *body, size_t size, size_t count, void *context) {
        ++completions;
        EXPECT_EQ(std::string(body), "");
        EXPECT_EQ(size, 1u);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(context, nullptr);
    };
    EXPECT_EQ(tqrPutSiteInfo("127.0.0.1", port, "/api/v1/config/info", info, done), 0);
    EXPECT_EQ(completions, 1);
    const Json log = requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0]["method"], "PUT");
    EXPECT_EQ(log[0]["target"], "/api/v1/config/info");
    EXPECT_EQ(log[0]["body"], "{\"siteinfo\":{\"name\":\"K\xC3\xBC" "che\",\"site\":\"Site\",\"addr1\":\"Main St 1\","
                              "\"addr2\":\"Building B\",\"loc1\":\"Floor 2\",\"loc2\":\"Room 12\",\"panel\":\"P4\","
                              "\"type\":\"Sub\"}}");
    std::vector<std::pair<std::string, std::string>> sent;
    for (const Json &h : log[0]["headers"]) {
        const std::string n = h[0];
        if (n == "Content-Length" || n == "Accept" || n == "User-Agent" || n == "Content-type") {
            sent.emplace_back(n, h[1]);
        }
    }
    EXPECT_EQ(sent, (std::vector<std::pair<std::string, std::string>>{
                        {"Content-Length", std::to_string(log[0]["body"].get<std::string>().size())},
                        {"Accept", "*/*"},
                        {"User-Agent", "ZOR BACnet"},
                        {"Content-type", "application/json"}}));
    const Json stored = get("/api/v1/config/info")["siteInfo"];
    EXPECT_EQ(stored["site"], "Site");
    EXPECT_EQ(stored["addr1"], "Main St 1");
    EXPECT_EQ(stored["addr2"], "Building B");
    EXPECT_EQ(stored["panel"], "P4");
    // Writing the same texts again leaves them as they are.
    EXPECT_EQ(tqrPutSiteInfo("127.0.0.1", port, "/api/v1/config/info", info, done), 0);
    EXPECT_EQ(get("/api/v1/config/info")["siteInfo"]["addr1"], "Main St 1");

    put("status/api/v1/config/info?method=PUT", "500");
    EXPECT_NE(tqrPutSiteInfo("127.0.0.1", port, "/api/v1/config/info", info, done), 0);
    EXPECT_EQ(completions, 2);
}

TEST_F(TqrTransport, CommunicationSendsBackTqrsOwnModbusSettings) {
    CommunicationConfig config;
    config.type = 4;
    config.setBaudRate(9600);
    config.setUdpPort(47808);
    config.setBaseInstance(1000);
    config.setBaseName("Meter");
    config.setMacAddress(5);
    config.setMulticastScope(1);
    const std::string path = "/api/v1/config/communication";
    tqrResponseReceived[5] = 0;
    EXPECT_EQ(tqrPutCommunication("127.0.0.1", port, path, config, tqrPutDone), 0);
    EXPECT_EQ(tqrResponseReceived[5].load(), 1);
    const Json first = requests()[0];
    EXPECT_EQ(first["method"], "PUT");
    EXPECT_EQ(first["target"], path);
    EXPECT_EQ(Json::parse(first["body"].get<std::string>())["type"], "mod_tcp");
    Json stored = get(path);
    EXPECT_EQ(stored["type"], "mb_tcp");

    // What TQR answers, read as the communication import reads it, and sent
    // back.
    auto res = control->Get(path.c_str());
    ASSERT_TRUE(res);
    JsonItem answer = jsonRead(res->body);
    config.setTypeFromName(answer.requireChild("type").getText());
    EXPECT_EQ(config.getDatalinkType(), 4u);
    put("body/api/v1/config/communication",
        R"({"type":"mb_tcp","modbus":{"address":17,"port":1502,"baudrate":19200,"parity":"E"}})");
    res = control->Get(path.c_str());
    config.setModbus(jsonRead(res->body).requireChild("modbus"));
    ASSERT_TRUE(control->Delete("/_stub/endpoints"));
    ASSERT_TRUE(control->Delete("/_stub/log"));
    config.type = 9;
    EXPECT_EQ(tqrPutCommunication("127.0.0.1", port, path, config, tqrPutDone), 0);
    const Json log = requests();
    ASSERT_EQ(log.size(), 1u);
    const Json body = Json::parse(log[0]["body"].get<std::string>());
    EXPECT_EQ(body["type"], "Out of range");
    EXPECT_EQ(body["modbus"], Json::parse(R"({"address":17,"port":1502,"baudrate":19200,"parity":"E"})"));
    EXPECT_EQ(body["bacnet"]["baudrate"], 9600);
    EXPECT_EQ(body["bacnet"]["macAddress"], 5);
    std::vector<std::string> keys;
    for (auto it = body["bacnet"].begin(); it != body["bacnet"].end(); ++it) {
        keys.push_back(it.key());
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"port", "baudrate", "baseInstance", "baseName", "network",
                                               "physicalnetwork", "bbmdAddress", "bbmdTtl", "macAddress",
                                               "maxMaster", "maxInfoFrames", "bbmdIPv6Address",
                                               "multiCastAddress"}));
    // Without TQR's settings: the fixed ones.
    ASSERT_TRUE(control->Delete("/_stub/log"));
    EXPECT_EQ(tqrPutCommunication("127.0.0.1", port, path, CommunicationConfig(), nullptr), 0);
    EXPECT_EQ(Json::parse(requests()[0]["body"].get<std::string>())["modbus"],
              Json::parse(R"({"address":1,"port":502,"baudrate":38400})"));
    // A configuration PUT that TQR refuses does not complete.
    tqrResponseReceived[5] = 0;
    put("status/api/v1/config/communication?method=PUT", "503");
    EXPECT_EQ(tqrPutCommunication("127.0.0.1", port, path, config, tqrPutDone), 22); // CURLE_HTTP_RETURNED_ERROR
    EXPECT_EQ(tqrResponseReceived[5].load(), 0);
}

TEST_F(TqrTransport, NoAnswerBodyReachesStandardOutput) {
    testing::internal::CaptureStdout();
    tqrPutAlarms("127.0.0.1", port, "[]", 0);
    tqrPutAlarmState("127.0.0.1", port, 2, 1);
    tqrPutAlarmState("127.0.0.1", port, 2, 99); // 404 with a body
    tqrLogin("127.0.0.1", port, "1234");
    tqrLogin("127.0.0.1", port, "wrong");
    tqrPutSiteInfo("127.0.0.1", port, "/api/v1/config/info", SiteInfo(), nullptr);
    tqrPutCommunication("127.0.0.1", port, "/api/v1/config/communication", CommunicationConfig(), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// The process's open descriptors, but for the in-process stand-in's ends of
// its connections, which it closes on its own threads.
size_t openDescriptors(uint16_t serverPort) {
    size_t n = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (dirent *e = readdir(dir)) {
            if (e->d_name[0] == '.') {
                continue;
            }
            sockaddr_in a{};
            socklen_t len = sizeof a;
            const int fd = std::atoi(e->d_name);
            if (fd == dirfd(dir)) {
                continue;
            }
            const int named = getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
            if (named != 0 && errno == EBADF) {
                // Closed by one of the stand-in's threads since the listing.
                continue;
            }
            if (named == 0 && a.sin_family == AF_INET && ntohs(a.sin_port) == serverPort) {
                int listening = 0;
                socklen_t l = sizeof listening;
                getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &l);
                if (listening == 0) {
                    continue;
                }
            }
            ++n;
        }
        closedir(dir);
    }
    return n;
}

TEST_F(TqrTransport, ManyPutsLeaveNoDescriptorBehind) {
    // The first requests settle what the process keeps for the rest of its
    // life (the resolver's files, for one).
    tqrPutCommunication("127.0.0.1", port, "/api/v1/config/communication", CommunicationConfig(), nullptr);
    tqrPutSiteInfo("127.0.0.1", port, "/api/v1/config/info", SiteInfo(), nullptr);
    const size_t before = openDescriptors(port);
    for (int i = 0; i < 250; ++i) {
        ASSERT_EQ(tqrPutCommunication("127.0.0.1", port, "/api/v1/config/communication", CommunicationConfig(),
                                      nullptr),
                  0);
        ASSERT_EQ(tqrPutSiteInfo("127.0.0.1", port, "/api/v1/config/info", SiteInfo(), nullptr), 0);
        ASSERT_EQ(tqrPutAlarmState("127.0.0.1", port, 2, 1), 200);
        ASSERT_EQ(tqrPutAlarms("127.0.0.1", port, "[{\"id\":1,\"state\":2}]", 0), 200);
    }
    EXPECT_EQ(openDescriptors(port), before);
}

TEST_F(TqrTransport, AWaitLogsItsTimeOutThoughAnotherThreadNotifies) {
    std::atomic<uint8_t> flag{0};
    std::atomic<bool> waiting{true};
    std::thread other([&] {
        while (waiting) {
            tqrResponseCv.notify_all();
            std::this_thread::yield();
        }
    });
    EXPECT_FALSE(tqrWaitResponse(flag, "Timeout for /api/v1/data/loads", std::chrono::milliseconds(300)));
    waiting = false;
    other.join();
    EXPECT_EQ(takeLines(), (std::vector<Line>{{1, "Timeout for /api/v1/data/loads"}}));

    // A flag that another thread sets ends the wait without a line.
    std::thread setter([&] {
        std::lock_guard<std::mutex> lock(tqrMutex);
        flag = 1;
        tqrResponseCv.notify_all();
    });
    EXPECT_TRUE(tqrWaitResponse(flag, "Timeout for x", std::chrono::seconds(600)));
    setter.join();
    EXPECT_TRUE(tqrWaitResponse(flag, "Timeout for x"));
    EXPECT_TRUE(takeLines().empty());
}

TEST_F(TqrTransport, OwnAlarmPutsAreCountedGivenBackAndExpire) {
    using Clock = TqrOwnAlarmPuts::Clock;
    TqrOwnAlarmPuts puts;
    const Clock::time_point t0 = Clock::now();
    puts.note(t0);
    const uint64_t failed = puts.note(t0);
    puts.note(t0 + std::chrono::seconds(3));
    puts.giveBack(failed);
    EXPECT_EQ(puts.pending(t0), 2u);
    EXPECT_TRUE(puts.consume(t0 + std::chrono::seconds(1)));
    EXPECT_EQ(puts.pending(t0 + std::chrono::seconds(6)), 1u); // the first two's time is up
    EXPECT_TRUE(puts.consume(t0 + std::chrono::milliseconds(7999)));
    EXPECT_FALSE(puts.consume(t0 + std::chrono::seconds(6)));
    puts.note(t0);
    EXPECT_FALSE(puts.consume(t0 + std::chrono::seconds(5)));

    // Through the routines: an accepted PUT counts once, a refused one not.
    ignoreNextAlarmState.clear();
    ASSERT_EQ(tqrPutAlarms("127.0.0.1", port, "[{\"id\":3,\"state\":2}]", 0), 200);
    ASSERT_EQ(tqrPutAlarmState("127.0.0.1", port, 2, 3), 200);
    EXPECT_EQ(tqrPutAlarmState("127.0.0.1", port, 2, 4), 404);
    EXPECT_EQ(tqrPutAlarmState("127.0.0.1", closedPort(), 2, 3), tqrNoStatus);
    EXPECT_EQ(ignoreNextAlarmState.pending(), 2u);
    EXPECT_TRUE(ignoreNextAlarmState.consume());
    EXPECT_TRUE(ignoreNextAlarmState.consume());
    EXPECT_FALSE(ignoreNextAlarmState.consume());
}

// A TQR that accepts the connection and never answers holds the caller (the
// event thread's tick) for the transport's time-out, not longer, and the PUT
// leaves no announcement to ignore.
TEST_F(TqrTransport, ANeverAnsweredAlarmStatePutEndsAtTheTimeOut) {
    ignoreNextAlarmState.clear();
    put("delay/api/v1/config/alarm/1/state?method=PUT", "600000");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(tqrPutAlarmState("127.0.0.1", port, 2, 1), tqrNoStatus);
    const auto held = std::chrono::steady_clock::now() - start;
    // The stand-in would answer after ten minutes; the transport gave up long before.
    EXPECT_LT(held, std::chrono::minutes(5));
    EXPECT_EQ(ignoreNextAlarmState.pending(), 0u) << "a PUT without an answer leaves no announcement to ignore";
    put("delay/api/v1/config/alarm/1/state?method=PUT", "0");
}

TEST(TqrShared, NodeTextsAndBooleans) {
    tqrSetLogSink(keepLine);
    takeLines();
    JsonItem object = jsonRead(R"({"dhcp":true,"ip":"192.0.2.10","n":5})");
    EXPECT_EQ(tqrNodeText(object, "ip"), "192.0.2.10");
    EXPECT_EQ(tqrNodeText(object, "n"), "5");
    EXPECT_TRUE(stringToBool(tqrNodeText(object, "dhcp")));
    EXPECT_EQ(tqrNodeText(object, "mask"), "");
    const std::vector<Line> got = takeLines();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].level, 3);
    EXPECT_EQ(got[0].text.rfind("mask node not found in ", 0), 0u);
    for (const char *text : {"TRUE", "1", "", "yes", "false", "False", "truex", " true", "true "}) {
        EXPECT_FALSE(stringToBool(text)) << text;
    }
    EXPECT_TRUE(stringToBool("true"));
    EXPECT_EQ(boolToString(true), "true");
    EXPECT_EQ(boolToString(false), "false");
    tqrSetLogSink(nullptr);
}

} // namespace
} // namespace tqrtest
