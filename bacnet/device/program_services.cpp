#include "device/program_services.h"

namespace {

ProgramServices installed;

// No answer at all from a login that nobody can check.
constexpr int kNoLogin = -3;
// libcurl's "failed to initialise": nothing could be sent.
constexpr int kNotStored = 2;

} // namespace

void programSetServices(const ProgramServices &services) { installed = services; }

const ProgramServices &programServices() { return installed; }

void programLog(int level, const std::string &text) {
    if (installed.log != nullptr) {
        installed.log(installed.context, level, text);
    }
}

void programRelayAlarmState(int alarmId, int state) {
    if (installed.relayAlarmState != nullptr) {
        installed.relayAlarmState(installed.context, alarmId, state);
    }
}

int programLogin(const std::string &passcode) {
    return installed.login != nullptr ? installed.login(installed.context, passcode) : kNoLogin;
}

int programStoreCommunication() {
    return installed.storeCommunication != nullptr ? installed.storeCommunication(installed.context) : kNotStored;
}

int programStoreSiteInfo() {
    return installed.storeSiteInfo != nullptr ? installed.storeSiteInfo(installed.context) : kNotStored;
}

uint32_t programDatalinkType() {
    return installed.datalinkType != nullptr ? installed.datalinkType(installed.context) : 0;
}

uint32_t programBaseInstance() {
    return installed.baseInstance != nullptr ? installed.baseInstance(installed.context) : 0;
}

bool programTqrLocalTime(std::tm *local, int *utcOffsetMinutes) {
    return installed.tqrLocalTime != nullptr && installed.tqrLocalTime(installed.context, local, utcOffsetMinutes);
}

void programRequestRestart() {
    if (installed.requestRestart != nullptr) {
        installed.requestRestart(installed.context);
    }
}
