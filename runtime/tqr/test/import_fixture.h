// What the tests of the set, alarm and live-data imports share: a fresh
// meter with a temporary root, a parser run as tqrGet runs it, and TQR
// documents written with an independent JSON library.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "device_fixture.h"
#include "log_lines.h"
#include "runtime/log.h"
#include "runtime/tqr/alarm_import.h"
#include "runtime/tqr/live_import.h"
#include "runtime/tqr/set_import.h"
#include "runtime/tqr/transport.h"

namespace importtest {

using json = nlohmann::ordered_json;
using logtest::Lines;

enum class Raised { Nothing, InvalidArgument, OutOfRange };

inline const char *nameOf(Raised r) {
    return r == Raised::Nothing           ? "nothing"
           : r == Raised::InvalidArgument ? "invalid_argument"
                                          : "out_of_range";
}

inline void toLog(int level, const std::string &text) {
    logMessage(level, text);
}

using Parser = int (*)(const char *, size_t, size_t, void *);

// Runs a parser on a body as tqrGet does: what it raised, and the lines
// logged meanwhile.
inline Raised parse(Parser parser, const std::string &body, Lines *lines = nullptr) {
    logSetLevel(6);
    tqrSetLogSink(toLog);
    Raised raised = Raised::Nothing;
    testing::internal::CaptureStdout();
    try {
        EXPECT_EQ(parser(body.data(), 1, body.size(), nullptr), static_cast<int>(body.size()));
    } catch (const std::invalid_argument &) {
        raised = Raised::InvalidArgument;
    } catch (const std::out_of_range &) {
        raised = Raised::OutOfRange;
    }
    const Lines got = logtest::textsOf(testing::internal::GetCapturedStdout());
    if (lines != nullptr) {
        *lines = got;
    }
    tqrSetLogSink(nullptr);
    return raised;
}

inline bool contains(const Lines &lines, const std::string &line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// ---- mapping documents ----

inline json ct(int channel, int type = 3, bool active = true, bool inverse = false) {
    return {{"type", type}, {"channel", channel}, {"active", active}, {"inverse", inverse}};
}

inline json load(int id, int vdi, int input, json cts, bool active = true) {
    return {{"active", active}, {"id", id},
            {"vdi", vdi},       {"name", "Load " + std::to_string(id)},
            {"input", input},   {"cts", std::move(cts)}};
}

inline json input(int id, int service = 1, int voltage = 120, bool active = true) {
    return {{"active", active},
            {"id", id},
            {"voltage", voltage},
            {"service", service},
            {"lines", json::array({{{"active", true}}, {{"active", true}}, {{"active", false}}})}};
}

inline json mapping(json loads, json inputs) {
    return {{"version", "3"}, {"loads", std::move(loads)}, {"inputs", std::move(inputs)}};
}

// Builds the sets from a mapping document; the import must take it whole.
inline void importMapping(const json &doc, uint32_t baseInstance = 1000) {
    communicationConfig.setBaseInstance(baseInstance);
    ASSERT_EQ(nameOf(parse(tqrParseMapping, doc.dump())), nameOf(Raised::Nothing));
}

// Two loads on the first input (three and two CTs), one on the second,
// two wye inputs of 120 V.
inline json meterMapping() {
    return mapping(json::array({load(0, 1001, 0, json::array({ct(6), ct(7), ct(8)})),
                                load(1, 1002, 0, json::array({ct(9), ct(10)})),
                                load(2, 1003, 1, json::array({ct(11)}))}),
                   json::array({input(0), input(1)}));
}

}  // namespace importtest
