#include "ulvora/poll.h"

#include "runtime/tqr/address.h"
#include "ulvora/log.h"
#include "ulvora/parsers.h"
#include "ulvora/server.h"
#include "ulvora/state.h"

#include <syslog.h>

#include <mutex>
#include <stdexcept>
#include <vector>

namespace {

using Parser = int (*)(const char *, size_t, size_t, void *);

struct Endpoint {
    const char *path;
    Parser parser;
    bool failing = false;
    std::vector<std::string> notes; // the notes of its last answer
};

Endpoint g_config[] = {
    {"/api/v1/system/time", mbParseTime, false, {}},
    {"/api/v1/config/static", mbParseStatic, false, {}},
    {"/api/v1/config/info", mbParseInfo, false, {}},
    {"/api/v1/config/mapping", mbParseMapping, false, {}},
    {"/api/v1/config/pulse", mbParsePulseConfig, false, {}},
};
Endpoint g_data[] = {
    {"/api/v1/data/loads", mbParseLoadData, false, {}},
    {"/api/v1/data/inputs", mbParseInputData, false, {}},
    {"/api/v1/data/pulses", mbParsePulseData, false, {}},
};

std::mutex g_fetch_mutex;
TqrFetch g_fetch;

const std::string kUrl = tqrBaseUrl();

TqrAnswer fetch(const std::string &path) {
    TqrFetch f;
    {
        std::lock_guard lock(g_fetch_mutex);
        f = g_fetch;
    }
    if (!f) {
        return {0, {}, "no TQR transport"};
    }
    return f(path);
}

// One request and its parse. A failure is logged when it starts, the end
// of a failure when the endpoint answers again.
bool request(Endpoint &endpoint) {
    std::string failure;
    mbTakeNotes();
    try {
        const TqrAnswer answer = fetch(endpoint.path);
        if (answer.status != 200 && !answer.failure.empty()) {
            failure = answer.failure;
        } else if (answer.status == 0) {
            failure = "No answer from TQR server at " + kUrl + endpoint.path;
        } else if (answer.status != 200) {
            failure = "Received " + std::to_string(answer.status) + " for " + kUrl + endpoint.path;
        } else {
            endpoint.parser(answer.body.data(), 1, answer.body.size(), nullptr);
        }
    } catch (const std::exception &e) {
        failure = e.what();
    }
    if (!failure.empty()) {
        mbTakeNotes();
        if (!endpoint.failing) {
            slog_string(LOG_WARNING, failure);
            endpoint.failing = true;
        }
        return false;
    }
    if (endpoint.failing) {
        slog_string(LOG_WARNING, std::string("TQR answers ") + endpoint.path + " again");
        endpoint.failing = false;
    }
    std::vector<std::string> notes = mbTakeNotes();
    for (const std::string &n : notes) {
        bool known = false;
        for (const std::string &old : endpoint.notes) {
            known = known || old == n;
        }
        if (!known) {
            slog_string(LOG_WARNING, n);
        }
    }
    endpoint.notes = std::move(notes);
    return true;
}

} // namespace

void tqr_set_fetch(TqrFetch f) {
    std::lock_guard lock(g_fetch_mutex);
    g_fetch = std::move(f);
}

void tqr_poll_config() {
    for (Endpoint &e : g_config) {
        request(e);
    }
}

void tqr_poll_data() {
    const bool loads = request(g_data[0]);
    const bool inputs = request(g_data[1]);
    request(g_data[2]);
    if (loads && inputs) {
        mbCommitTime();
    } else {
        mbDropTime();
    }
}

void tqr_poll_reset() {
    for (Endpoint &e : g_config) {
        e.failing = false;
        e.notes.clear();
    }
    for (Endpoint &e : g_data) {
        e.failing = false;
        e.notes.clear();
    }
    mbDropTime();
    mbTakeNotes();
}

void tqr_thread() {
    tqr_poll_config();
    ulvora_startup_poll_done();
    while (!ulvora_quit_requested()) {
        if (ulvora_config_active() && ulvora_is_running()) {
            if (!ulvora_pause(std::chrono::seconds(1))) {
                break;
            }
            tqr_poll_config();
            tqr_poll_data();
        } else if (!ulvora_pause(std::chrono::seconds(2))) {
            break;
        }
    }
}
