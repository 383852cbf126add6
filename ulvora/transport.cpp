#include "ulvora/transport.h"

#include "runtime/tqr/transport.h"
#include "ulvora/log.h"

#include <syslog.h>

#include <vector>

namespace {

// The transport's lines of the request under way on this thread.
thread_local std::vector<std::string> *gathered = nullptr;

// The transport's levels (1 most severe, 7 debug) as syslog priorities. A
// TQR that cannot be reached is a routine failure, not an emergency.
int priority_of(int level) {
    switch (level) {
    case 1: return LOG_WARNING;
    case 2: return LOG_ALERT;
    case 3: return LOG_ERR;
    case 4:
    case 5: return LOG_WARNING;
    case 6: return LOG_NOTICE;
    default: return LOG_DEBUG;
    }
}

void transport_line(int level, const std::string &text) {
    if (gathered != nullptr) {
        gathered->push_back(text);
    } else {
        slog_string(priority_of(level), text);
    }
}

std::string joined(const std::vector<std::string> &lines) {
    std::string text;
    for (const std::string &line : lines) {
        text += (text.empty() ? "" : "; ") + line;
    }
    return text;
}

} // namespace

TqrAnswer tqr_transport_fetch(const std::string &path) {
    std::vector<std::string> lines;
    TqrAnswer answer;
    bool delivered = false;
    gathered = &lines;
    // The body is parsed by the poller, outside the transport: the parsers'
    // failure texts name the endpoint and the key, which the transport's
    // results (-1, -2) would lose.
    const int result = tqrGet(tqrHost, tqrPort, path, [&](const char *body, size_t size, size_t count, void *) {
        answer.body.assign(body, size * count);
        delivered = true;
        return 0;
    });
    gathered = nullptr;
    if (result == tqrOk && delivered) {
        answer.status = 200;
        return answer;
    }
    answer.body.clear();
    answer.status = result > 0 && result != tqrRefused ? result : 0;
    answer.failure = joined(lines);
    if (answer.failure.empty()) {
        answer.failure = result == tqrOk ? "TQR answered " + tqrBaseUrl() + path + " without a body"
                                         : "No answer from TQR server at " + tqrBaseUrl() + path;
    }
    return answer;
}

void ulvora_use_tqr_transport() {
    tqrGlobalInit();
    tqrSetLogSink(transport_line);
    tqr_set_fetch(tqr_transport_fetch);
}
