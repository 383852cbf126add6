// What the object model and the device application reach of the program
// that links them: its log, TQR (the alarm-state relay, the login, the
// configuration PUTs, TQR's clock), the datalink in use, the root device's
// instance and the restart request. The program fills one record at
// start-up, before any thread of the stack or the objects runs; the callers
// below it know nothing else of the program.
//
// An entry left null does nothing: a line is dropped, a relay is not sent,
// a login fails, a store reports failure, the datalink is none, the base
// instance 0 and TQR's time not yet received.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// The datalink a meter is configured for.
enum class DatalinkType : uint32_t {
    None = 0,
    BacnetIp = 1,
    BacnetIpv6 = 2,
    BacnetMstp = 3,
    ModbusTcp = 4,
    ModbusRtu = 5,
};

struct ProgramServices {
    void *context = nullptr;
    // One line at a level: 1 most severe .. 7 debug.
    void (*log)(void *context, int level, const std::string &text) = nullptr;
    // An alarm's new state for TQR (an AlarmState code).
    void (*relayAlarmState)(void *context, int alarmId, int state) = nullptr;
    // TQR's answer to a login with the passcode: its HTTP status, or a
    // negative code when none came.
    int (*login)(void *context, const std::string &passcode) = nullptr;
    // Store the communication settings and the site texts in TQR: 0 when it
    // took them, a transport code otherwise.
    int (*storeCommunication)(void *context) = nullptr;
    int (*storeSiteInfo)(void *context) = nullptr;
    // The datalink in force (a DatalinkType code) and the root device's
    // instance.
    uint32_t (*datalinkType)(void *context) = nullptr;
    uint32_t (*baseInstance)(void *context) = nullptr;
    // TQR's local time of its last answer and its offset from UTC in
    // minutes; false before TQR's first answer.
    bool (*tqrLocalTime)(void *context, std::tm *local, int *utcOffsetMinutes) = nullptr;
    // Ask the program to restart between two cycles of its loop.
    void (*requestRestart)(void *context) = nullptr;
};

// Replaces the record; call it before the threads that use it start.
void programSetServices(const ProgramServices &services);
const ProgramServices &programServices();

void programLog(int level, const std::string &text);
void programRelayAlarmState(int alarmId, int state);
int programLogin(const std::string &passcode);
int programStoreCommunication();
int programStoreSiteInfo();
uint32_t programDatalinkType();
uint32_t programBaseInstance();
bool programTqrLocalTime(std::tm *local, int *utcOffsetMinutes);
void programRequestRestart();
