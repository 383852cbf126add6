#pragma once
// The parsers of TQR's answers and the code tables of the pulse inputs.
//
// A parser has the transport's callback form: (body, element size, element
// count, context not used); the body is size * count bytes. Each reads the
// answer into a copy of the records and commits the copy whole only when
// the answer was read to its end, so a failing answer changes nothing. A
// failure is reported by an exception whose message is the log line that
// names the endpoint (and the key): std::invalid_argument for a body that
// is not JSON (or has no load member), std::out_of_range for a missing key.
// Answers with more entries than the records have room for are read up to
// that room; the rest is ignored and noted (mbTakeNotes).

#include <cstddef>
#include <map>
#include <string>
#include <vector>

int mbParseTime(const char *body, size_t size, size_t count, void *context);
int mbParseStatic(const char *body, size_t size, size_t count, void *context);
int mbParseInfo(const char *body, size_t size, size_t count, void *context);
int mbParseMapping(const char *body, size_t size, size_t count, void *context);
int mbParsePulseConfig(const char *body, size_t size, size_t count, void *context);
int mbParseLoadData(const char *body, size_t size, size_t count, void *context);
int mbParseInputData(const char *body, size_t size, size_t count, void *context);
int mbParsePulseData(const char *body, size_t size, size_t count, void *context);

// The notes of the parsers since the last call: one text per kind of
// ignored entry (entries beyond the records' room, pulse input ids without
// a record). The poller logs a note when it first appears.
std::vector<std::string> mbTakeNotes();

// The local time text that mbParseTime read last, waiting to be shown:
// the time registers move only in a cycle whose load and input data were
// applied, so stale data shows as a time standing still.
bool mbTimePending();
void mbCommitTime();
void mbDropTime();

// "2026-01-01T05:30:00+0530" for a time in seconds since the epoch and an
// offset in seconds, whatever the process's time zone; empty when the time
// cannot be broken down.
std::string mbLocalTimeText(long long time, long long offset);

// Pulse meter kinds by code (6 rows) and unit texts by BACnet engineering
// unit code (66 rows), at most 15 characters each.
extern const std::map<int, std::string> meterKindNames;
extern const std::map<int, std::string> unitNames;
