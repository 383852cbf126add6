#pragma once
// Helpers shared by the object sources.

#include <sstream>
#include <string>

#include "bacnet/stack/app.h"

// A value as the log lines and alarm texts show it: fixed notation.
inline std::string objectsFormatFixed(float value, int decimals) {
    std::ostringstream out;
    out.setf(std::ios::fixed, std::ios::floatfield);
    out.precision(decimals);
    out << static_cast<double>(value);
    return out.str();
}

inline void objectsLog(int level, const std::string &text) {
    logMessage(level, text.c_str());
}

// "true" is true, any other text false: how the state files read booleans.
inline bool objectsTextToBool(const std::string &text) {
    return text == "true";
}
