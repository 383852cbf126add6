#include "ulvora/log.h"

#include "meter/sysio.h"

void slog_string(int priority, const std::string &text) { sys_log(priority, "%s", text.c_str()); }
