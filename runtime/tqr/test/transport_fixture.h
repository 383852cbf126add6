// A TQR stand-in per test, a client of its control interface that shares
// nothing with the transport, and the transport's lines as they were logged.
#pragma once

#include <gtest/gtest.h>
#include "http_client.h"

#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "runtime/tqr/transport.h"
#include "tqr/standin.h"

namespace tqrtest {

struct Line {
    int level;
    std::string text;
    bool operator==(const Line &) const = default;
};

inline std::mutex linesMutex;
inline std::vector<Line> lines;

inline void keepLine(int level, const std::string &text) {
    std::lock_guard<std::mutex> lock(linesMutex);
    lines.push_back({level, text});
}

inline std::vector<Line> takeLines() {
    std::lock_guard<std::mutex> lock(linesMutex);
    return std::move(lines);
}

inline std::ostream &operator<<(std::ostream &out, const Line &l) { return out << l.level << " " << l.text; }

class TqrTransport : public testing::Test {
  public:
    void SetUp() override {
        tqrGlobalInit();
        tqrSetLogSink(keepLine);
        takeLines();
        start({});
    }
    void TearDown() override {
        standIn.reset();
        tqrSetLogSink(nullptr);
    }
    void start(tqr::Options options) {
        standIn.reset();
        standIn = std::make_unique<tqr::StandIn>(std::move(options));
        standIn->start();
        port = standIn->port();
        control = std::make_unique<tqr_testing::HttpClient>("127.0.0.1", port);
    }
    std::string url(const std::string &path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }
    void put(const std::string &what, const std::string &body) {
        auto res = control->Put(("/_stub/" + what).c_str(), body, "text/plain");
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 200) << what;
    }
    nlohmann::ordered_json get(const std::string &path) {
        auto res = control->Get(path.c_str());
        EXPECT_TRUE(res) << path;
        return res ? nlohmann::ordered_json::parse(res->body, nullptr, false) : nlohmann::ordered_json();
    }
    // The requests the stand-in received, but for the control requests.
    nlohmann::ordered_json requests() { return get("/_stub/log")["requests"]; }

    std::unique_ptr<tqr::StandIn> standIn;
    std::unique_ptr<tqr_testing::HttpClient> control;
    uint16_t port = 0;
};

} // namespace tqrtest
