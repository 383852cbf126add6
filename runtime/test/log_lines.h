// Talvik's log lines as the tests compare them: each line of standard
// output without its time stamp, "<level name> <text>".
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace logtest {

using Lines = std::vector<std::string>;

inline Lines textsOf(const std::string &out) {
    Lines texts;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        const size_t first = line.find(' ');
        texts.push_back(first == std::string::npos ? line : line.substr(first + 1));
    }
    return texts;
}

// The lines that the calls log.
template <typename F> Lines logged(F &&calls) {
    testing::internal::CaptureStdout();
    calls();
    return textsOf(testing::internal::GetCapturedStdout());
}

} // namespace logtest
