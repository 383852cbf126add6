#include "runtime/services.h"

#include "device/config.h"
#include "runtime/log.h"
#include "runtime/state.h"
#include "runtime/tqr/config_put.h"

namespace {

void log(void *, int level, const std::string &text) { logMessage(level, text); }

void relayAlarmState(void *, int alarmId, int state) { tqrPutAlarmState(tqrHost, tqrPort, state, alarmId); }

int login(void *, const std::string &passcode) { return tqrLogin(tqrHost, tqrPort, passcode); }

int storeCommunication(void *) {
    return tqrPutCommunication(tqrHost, tqrPort, "/api/v1/config/communication", communicationConfig, tqrPutDone);
}

int storeSiteInfo(void *) { return tqrPutSiteInfo(tqrHost, tqrPort, "/api/v1/config/info", siteInfo, tqrPutDone); }

uint32_t datalinkType(void *) { return communicationConfig.getDatalinkType(); }

uint32_t baseInstance(void *) { return communicationConfig.getBaseInstance(); }

bool tqrLocalTime(void *, std::tm *local, int *utcOffsetMinutes) {
    const TqrTime t = tqrTimeSnapshot();
    if (!t.received) {
        return false;
    }
    *local = t.tqrLocalTime;
    *utcOffsetMinutes = t.tqrTimezoneMinutes;
    return true;
}

void requestRestart(void *) { resetRequested.store(true); }

} // namespace

ProgramServices talvikServices() {
    ProgramServices s;
    s.log = log;
    s.relayAlarmState = relayAlarmState;
    s.login = login;
    s.storeCommunication = storeCommunication;
    s.storeSiteInfo = storeSiteInfo;
    s.datalinkType = datalinkType;
    s.baseInstance = baseInstance;
    s.tqrLocalTime = tqrLocalTime;
    s.requestRestart = requestRestart;
    return s;
}

void talvikInstallServices() { programSetServices(talvikServices()); }
