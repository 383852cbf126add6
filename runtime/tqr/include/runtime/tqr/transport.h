// The HTTP client of TQR, the meter's local REST server: one GET routine
// that hands the answer to a parser, the wait a requester makes when a
// parser has not reported, the PUT and POST requests, and small functions
// the parsers share. Talvik and Ulvora both link it; each sets the sink its
// log lines go to.
//
// Every request is synchronous on the calling thread, uses its own easy
// handle, connects within 1 s and ends within 5 s. tqrGet and tqrLogin
// hold tqrMutex for the request (and tqrGet for the parse); tqrPutAlarms,
// tqrPutAlarmState and tqrPutConfiguration take no lock, because parsers
// running under tqrMutex call them. What the configuration documents say
// is the program's own business: the transport only sends them.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "meter/json.h"
#include "runtime/tqr/address.h"

// tqrGet's results besides 0 and an HTTP status.
constexpr int tqrOk = 0;
constexpr int tqrRefused = 7;        // nothing listens (CURLE_COULDNT_CONNECT)
constexpr int tqrNotJson = -1;       // the parser raised std::invalid_argument
constexpr int tqrMissingKey = -2;    // the parser raised std::out_of_range
constexpr int tqrNoStatus = -3;      // the request failed without an HTTP status (time-out, reset)
constexpr int tqrParserFailed = -4;  // the parser raised anything else

// The largest answer body kept; a longer one fails its request.
constexpr size_t tqrMaxBody = 4u << 20;

// Gets the answer body of a GET answered 200: (body, 1, its length,
// nullptr). Reports a failure only by raising.
using TqrParser = std::function<int(const char *body, size_t size, size_t count, void *context)>;
// Called by the configuration PUTs once TQR stored them, with ("", 1, 0, nullptr).
using TqrCompletion = std::function<void(const char *body, size_t size, size_t count, void *context)>;
// Where the transport's lines go; level is a Talvik log level (1 most
// severe, 7 debug).
using TqrLogSink = void (*)(int level, const std::string &text);

// Sets the sink; lines are dropped while none is set. Set it before the
// first request.
void tqrSetLogSink(TqrLogSink sink);
// Prepares libcurl once; call it before the program starts any thread.
void tqrGlobalInit();

extern std::mutex tqrMutex;
// Notified at the end of every GET, PUT and POST routine.
extern std::condition_variable tqrResponseCv;
// Talvik's per-endpoint received flags, set by the parsers: 0 time, 1 static,
// 2 info, 3 pulse, 4 communication, 5 the configuration PUTs (tqrPutDone),
// 6 mapping, 8 loads, 9 inputs, 10 pulses, 12 alarms, 13 ethernet.
extern std::array<std::atomic<uint8_t>, 14> tqrResponseReceived;

// Talvik's own alarm PUTs, each of which TQR answers with an alarm-state
// announcement through velsard that must not restart Talvik. Each sent PUT
// counts once, a PUT that TQR did not accept is given back, and one that no
// announcement followed within five seconds no longer counts: a real change
// after it must restart Talvik.
class TqrOwnAlarmPuts {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds lifetime{5};

    // One PUT about to be sent; the ticket gives it back.
    uint64_t note(Clock::time_point now = Clock::now());
    void giveBack(uint64_t ticket);
    // An alarm-state announcement: true when it answers one of the PUTs,
    // which then no longer counts.
    bool consume(Clock::time_point now = Clock::now());
    void clear();
    size_t pending(Clock::time_point now = Clock::now());

  private:
    void expire(Clock::time_point now);
    std::mutex mutex_;
    uint64_t next_ = 1;
    std::deque<std::pair<uint64_t, Clock::time_point>> sent_;
};
extern TqrOwnAlarmPuts ignoreNextAlarmState;

// GET of path (a "/" is put in front when it has none) at http://host:port.
// On 200 calls the parser with the body. Results: tqrOk, tqrRefused, the
// HTTP status of another failure (a status of 400 or more, or a transfer cut
// after the status came), tqrNotJson, tqrMissingKey, tqrNoStatus,
// tqrParserFailed. Never throws.
int tqrGet(const std::string &host, uint16_t port, const std::string &path, const TqrParser &parser);
// libcurl's write callback of a GET: appends the piece to the std::string at
// buffer; 0 (which ends the transfer) past tqrMaxBody or without memory.
size_t tqrReadCallback(char *data, size_t size, size_t count, void *buffer);
// After a request whose parser sets flag: waits until flag is set, at most
// `wait` on the steady clock, and logs timeoutLine at level 1 when it is
// not. True when the flag is set.
bool tqrWaitResponse(const std::atomic<uint8_t> &flag, const std::string &timeoutLine,
                     std::chrono::milliseconds wait = std::chrono::milliseconds(1000));

// PUT /api/v1/config/alarms with the JSON list. HTTP status, tqrNoStatus
// when none came.
int tqrPutAlarms(const std::string &host, uint16_t port, const std::string &body, int unused);
// PUT /api/v1/config/alarm/<id>/state of {"state": state}.
int tqrPutAlarmState(const std::string &host, uint16_t port, int state, int alarmId);
// POST /api/v1/login with the passcode; 200 means it is accepted.
int tqrLogin(const std::string &host, uint16_t port, const std::string &passcode);
// PUT of a configuration document to path (used as given): the body that
// body() makes, sent as TQR's configuration requests are. libcurl's result,
// 0 when TQR stored it (completion then called). A body() that raises is
// logged as a failed PUT; nothing is sent.
int tqrPutConfiguration(const std::string &host, uint16_t port, const std::string &path,
                        const std::function<std::string()> &body, const TqrCompletion &completion);
// The configuration PUTs' completion: sets flag 5.
void tqrPutDone(const char *body, size_t size, size_t count, void *context);

// The text of object's member key; "" after a level-3 line when missing.
std::string tqrNodeText(const JsonItem &object, const std::string &key);
// Where the parsers hand every body; writes nothing.
void tqrLogBody(int level, const std::string &text);
std::string boolToString(bool value);
// true only for "true".
bool stringToBool(const std::string &text);
