#pragma once
#include <string>

// Ulvora's one log function: the text goes to syslog at the priority as the
// argument of "%s", so no character of it is taken as a format.
void slog_string(int priority, const std::string &text);
