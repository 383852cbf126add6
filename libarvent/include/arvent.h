#ifndef ARVENT_H
#define ARVENT_H
/*
 * libarvent: the meter programs' client of the configuration daemon velsard,
 * plus the CRC-32 and syslog set-up shared by the programs.
 *
 * Usable from C and C++. Functions return 1 on success and 0 on failure and
 * log their own failures through syslog.
 */

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define ARVENT_API __attribute__((visibility("default")))
#else
#define ARVENT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Configuration records and their D-Bus values ---- */

/* ---- Connection, IPC thread and change signals ---- */

/* ---- Blocking operations ---- */

/* ---- CRC-32 and syslog set-up ---- */

/* CRC-32/ISO-HDLC (the Ethernet CRC) of length bytes at data; 0 for no bytes. */
ARVENT_API uint32_t checksum(const uint8_t *data, size_t length);

/* Opens syslog with the identity ident and facility LOG_DAEMON; with
 * to_stderr set every line also goes to standard error (LOG_PERROR). */
ARVENT_API void slog_open(const char *ident, int to_stderr);

/* Keeps the priorities LOG_EMERG up to and including level; levels outside
 * LOG_EMERG..LOG_DEBUG are clamped to that range. */
ARVENT_API void slog_level(int level);

/* Leaves the syslog connection open until the process ends. */
ARVENT_API void slog_close(void);

#ifdef __cplusplus
}
#endif

#endif /* ARVENT_H */
