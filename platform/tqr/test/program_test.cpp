// The program `tqr` as scripts/run starts it: its options, TQR's own
// address (in a network namespace of the test's own), and the velsard
// announcement of accepted alarm PUTs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "http_client.h"
#include "netns.h"

#ifdef TQR_WITH_VELSARD
#include "test_bus.h"
#endif

extern char **environ;

namespace {

// The program with its standard error on a pipe.
struct Program {
    explicit Program(const std::vector<std::string> &args) {
        std::vector<char *> argv;
        std::string path = TQR_PROGRAM_PATH;
        argv.push_back(path.data());
        std::vector<std::string> copy = args;
        for (std::string &a : copy) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        err = fds[0];
    }
    ~Program() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (err >= 0) {
            close(err);
        }
    }
    // The next line of its standard error; "" at its end.
    std::string line() {
        std::string text;
        char c;
        while (read(err, &c, 1) == 1 && c != '\n') {
            text.push_back(c);
        }
        return text;
    }
    // Its exit status after SIGTERM (or on its own when it already ends).
    int stop(bool signal = true) {
        if (signal) {
            kill(pid, SIGTERM);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    // The port of its "tqr: listening on ADDR:PORT" line.
    int listeningPort() {
        const std::string first = line();
        const std::string prefix = "tqr: listening on ";
        if (first.rfind(prefix, 0) != 0) {
            ADD_FAILURE() << first;
            return -1;
        }
        return std::stoi(first.substr(first.rfind(':') + 1));
    }
    pid_t pid = -1;
    int err = -1;
};

TEST(TqrProgram, BadOptionsAreRefused) {
    const std::vector<std::vector<std::string>> cases = {
        {"--listen"},          {"--listen", "8160"},       {"--listen", "127.0.0.1:70000"},
        {"--loads", "0"},      {"--loads", "49"},          {"--loads", "x"},
        {"--live", "random"},  {"--scenario"},             {"--bogus"},
    };
    for (const auto &args : cases) {
        Program p(args);
        const std::string first = p.line();
        EXPECT_EQ(first.rfind("tqr: ", 0), 0u) << args[0] << ": " << first;
        EXPECT_EQ(p.stop(false), 2) << args[0];
    }
    Program missing({"--listen", "127.0.0.1:0", "--scenario", "/nonexistent/scenario"});
    EXPECT_NE(missing.line().find("/nonexistent/scenario"), std::string::npos);
    EXPECT_EQ(missing.stop(false), 1);
}

TEST(TqrProgram, ServesOnItsOwnAddressAndStopsOnSigterm) {
    std::string why;
    if (!tqr_testing::enterOwnNetworkNamespace(why)) {
        GTEST_SKIP() << "no network namespace of its own: " << why;
    }
    Program tqr({"--pincode", "4321", "--loads", "2"});
    ASSERT_EQ(tqr.listeningPort(), 8160);
    tqr_testing::HttpClient client("127.0.0.1", 8160);
    auto res = client.Get("/api/v1/config/mapping");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_NE(res->body.find("\"Load 2\""), std::string::npos);
    EXPECT_EQ(res->body.find("\"Load 3\""), std::string::npos);
    res = client.Post("/api/v1/login", R"({"enabled":true,"pincode":"4321"})", "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(tqr.stop(), 0);
}

#ifdef TQR_WITH_VELSARD
using velsard_testing::TestBus;

struct Signals {
    GMainContext *context = g_main_context_new();
    int count = 0;
};

void onSignal(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *, GVariant *,
              gpointer data) {
    ++static_cast<Signals *>(data)->count;
}

TEST(TqrProgram, AcceptedAlarmPutsMakeVelsardAnnounceANewAlarmState) {
    TestBus::get().start_velsard();
    GDBusConnection *conn = g_dbus_connection_new_for_address_sync(
        TestBus::get().address().c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    ASSERT_NE(conn, nullptr);
    Signals got;
    g_main_context_push_thread_default(got.context);
    const guint id = g_dbus_connection_signal_subscribe(conn, "com.velsard", "com.velsard.gdbus1", "NewAlarmState",
                                                        "/com/velsard/gdbus1", nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                        onSignal, &got, nullptr);
    // A round trip to velsard: every signal it sent before has arrived.
    auto settle = [&] {
        GVariant *r = g_dbus_connection_call_sync(conn, "com.velsard", "/com/velsard/gdbus1", "com.velsard.gdbus1",
                                                  "GetVersion", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000,
                                                  nullptr, nullptr);
        EXPECT_NE(r, nullptr);
        if (r != nullptr) {
            g_variant_unref(r);
        }
        while (g_main_context_iteration(got.context, FALSE)) {
        }
        return got.count;
    };
    settle();

    Program tqr({"--listen", "127.0.0.1:0", "--notify-velsard"});
    const int port = tqr.listeningPort();
    ASSERT_GT(port, 0);
    tqr_testing::HttpClient client("127.0.0.1", port);
    struct Case {
        const char *path;
        const char *body;
        int status;
        int signals;
    } const cases[] = {
        {"/api/v1/config/alarms", R"([{"id":4,"state":2}])", 200, 1},
        {"/api/v1/config/alarm/4/state", R"({"state":6})", 200, 1},
        {"/api/v1/config/alarm/5/state", R"({"state":6})", 404, 0},
        {"/api/v1/config/alarms", "not json", 400, 0},
        {"/api/v1/config/info", R"({"siteinfo":{"name":"x"}})", 200, 0},
    };
    for (const Case &c : cases) {
        const int before = got.count;
        auto res = client.Put(c.path, c.body, "application/json");
        ASSERT_TRUE(res) << c.path;
        EXPECT_EQ(res->status, c.status) << c.path;
        EXPECT_EQ(settle() - before, c.signals) << c.path << " " << c.body;
    }
    EXPECT_EQ(tqr.stop(), 0);
    g_dbus_connection_signal_unsubscribe(conn, id);
    g_main_context_pop_thread_default(got.context);
    g_main_context_unref(got.context);
    g_dbus_connection_close_sync(conn, nullptr, nullptr);
    g_object_unref(conn);
    TestBus::get().stop_velsard();
}

// A mapping of 48 entries whose load at position m has id 47 - m; the first
// two are active.
GVariant *reversedMapping() {
    GVariantBuilder sets;
    g_variant_builder_init(&sets, G_VARIANT_TYPE("a(ubuuduuuuuuuua(ub))"));
    for (guint set = 0; set < 2; set++) {
        g_variant_builder_add_parsed(&sets,
                                     "(%u, true, uint32 120, uint32 1, 1.0, uint32 0, uint32 0, uint32 0, uint32 0,"
                                     " uint32 0, uint32 0, uint32 0, uint32 0, [(%u, true), (%u, true), (%u, true)])",
                                     set, set * 3, set * 3 + 1, set * 3 + 2);
    }
    GVariantBuilder loads;
    g_variant_builder_init(&loads, G_VARIANT_TYPE("a(uuubsa(ububudddd))"));
    for (guint m = 0; m < 48; m++) {
        g_variant_builder_add_parsed(&loads, "(%u, uint32 0, uint32 0, %b, 'x',"
                                             " [(%u, true, uint32 9, false, uint32 0, 100.0, 333.0, 1.0, 0.0)])",
                                     47 - m, m < 2, 6 + m);
    }
    GVariantBuilder tail;
    g_variant_builder_init(&tail, G_VARIANT_TYPE("ai"));
    return g_variant_new("(ua(ubuuduuuuuuuua(ub))a(uuubsa(ububudddd))ai)", 2u, &sets, &loads, &tail);
}

// As scripts/run starts it: the meter velsard was given, and the values of
// Nerisko's result nodes, whose load m is velsard's entry m.
TEST(TqrProgram, ServesVelsardsMeterWithTheResultNodesValues) {
    using Json = nlohmann::json;
    TestBus::get().start_velsard();
    const std::string root = testing::TempDir() + "tqr-velsard-" + std::to_string(getpid());
    std::filesystem::create_directories(root + "/dev/zor_data/load");
    std::string nodes(48 * 736, '\0');
    const float watts = 1500.0f;
    std::memcpy(&nodes[736 + 616], &watts, sizeof watts); // load record 1's total real power
    std::ofstream(root + "/dev/zor_data/load/48", std::ios::binary) << nodes;
    setenv("METER_ROOT", root.c_str(), 1);

    Program tqr({"--listen", "127.0.0.1:0", "--velsard"});
    const int port = tqr.listeningPort();
    ASSERT_GT(port, 0);
    tqr_testing::HttpClient client("127.0.0.1", port);
    auto get = [&](const char *path) {
        auto res = client.Get(path);
        EXPECT_TRUE(res && res->status == 200) << path;
        return res ? Json::parse(res->body, nullptr, false) : Json();
    };

    Json mapping = get("/api/v1/config/mapping");
    ASSERT_EQ(mapping["loads"].size(), 48u);
    for (size_t m = 0; m < 48; m++) {
        EXPECT_EQ(mapping["loads"][m]["id"], m) << "velsard's ids, which Nerisko accepts";
    }
    EXPECT_EQ(mapping["loads"][0]["vdi"], 1001);
    EXPECT_EQ(mapping["loads"][0]["cts"][2]["channel"], 8);
    EXPECT_EQ(mapping["inputs"][1]["voltage"], 230);
    EXPECT_EQ(get("/api/v1/config/info")["defaults"]["frequency"], 50);
    EXPECT_EQ(get("/api/v1/config/pulse")[2]["out"], true);
    Json loads = get("/api/v1/data/loads");
    ASSERT_EQ(loads["load"].size(), 4u);
    EXPECT_EQ(loads["load"][1]["id"], 1);
    EXPECT_EQ(loads["load"][1]["tot_p"], 1500.0);

    // A new mapping given to velsard is served at the next request.
    velsard_testing::Control control;
    control.store("mapping", reversedMapping());
    mapping = get("/api/v1/config/mapping");
    EXPECT_EQ(mapping["loads"][1]["id"], 46);
    EXPECT_EQ(mapping["loads"][1]["vdi"], 1047);
    EXPECT_EQ(mapping["inputs"][0]["voltage"], 120);
    loads = get("/api/v1/data/loads");
    ASSERT_EQ(loads["load"].size(), 2u);
    EXPECT_EQ(loads["load"][1]["id"], 46);
    EXPECT_EQ(loads["load"][1]["tot_p"], 1500.0);

    // Without velsard the last configuration stays; without it at start
    // the program does not start.
    TestBus::get().stop_velsard();
    EXPECT_EQ(get("/api/v1/config/mapping")["loads"][1]["id"], 46);
    EXPECT_NE(tqr.line().find("velsard"), std::string::npos);
    EXPECT_EQ(tqr.stop(), 0);
    Program alone({"--listen", "127.0.0.1:0", "--velsard"});
    EXPECT_NE(alone.line().find("velsard"), std::string::npos);
    EXPECT_EQ(alone.stop(false), 1);
    unsetenv("METER_ROOT");
    std::filesystem::remove_all(root);
}
#endif

} // namespace
