#include "arvent.h"

#include <syslog.h>

extern "C" {

uint32_t checksum(const uint8_t *data, size_t length) {
    // Bitwise on purpose: its one user checks a few hundred bytes at start-up
    // and when calibrating, and a table would only cost memory.
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        }
    }
    return ~crc;
}

void slog_open(const char *ident, int to_stderr) {
    openlog(ident, to_stderr ? LOG_PERROR : 0, LOG_DAEMON);
}

void slog_level(int level) {
    // A shift by 31 or more, or by a negative count, is undefined; the mask
    // only has meaning for the eight syslog priorities anyway.
    if (level < LOG_EMERG) {
        level = LOG_EMERG;
    } else if (level > LOG_DEBUG) {
        level = LOG_DEBUG;
    }
    setlogmask(LOG_UPTO(level));
}

void slog_close(void) {}

}  // extern "C"
