// The program `tqr` as scripts/run starts it: its options, TQR's own
// address (in a network namespace of the test's own), and the velsard
// announcement of accepted alarm PUTs.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

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
    httplib::Client client("127.0.0.1", 8160);
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
    httplib::Client client("127.0.0.1", port);
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
#endif

} // namespace
