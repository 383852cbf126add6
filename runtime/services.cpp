#include "runtime/services.h"

#include "device/config.h"
#include "runtime/log.h"
#include "runtime/state.h"
#include "runtime/tqr/config_put.h"

namespace {

void talvikLog(void *, int level, const std::string &text) { logMessage(level, text); }

void talvikRelayAlarmState(void *, int alarmId, int state) { tqrPutAlarmState(tqrHost, tqrPort, state, alarmId); }

int talvikLogin(void *, const std::string &passcode) { return tqrLogin(tqrHost, tqrPort, passcode); }

int talvikStoreCommunication(void *) {
    return tqrPutCommunication(tqrHost, tqrPort, "/api/v1/config/communication", communicationConfig, tqrPutDone);
}

int talvikStoreSiteInfo(void *) { return tqrPutSiteInfo(tqrHost, tqrPort, "/api/v1/config/info", siteInfo, tqrPutDone); }

uint32_t talvikDatalinkType(void *) { return communicationConfig.getDatalinkType(); }

uint32_t talvikBaseInstance(void *) { return communicationConfig.getBaseInstance(); }

bool talvikTqrLocalTime(void *, std::tm *local, int *utcOffsetMinutes) {
    const TqrTime t = tqrTimeSnapshot();
    if (!t.received) {
        return false;
    }
    *local = t.tqrLocalTime;
    *utcOffsetMinutes = t.tqrTimezoneMinutes;
    return true;
}

void talvikRequestRestart(void *) { resetRequested.store(true); }

} // namespace

ProgramServices talvikServices() {
    ProgramServices s;
    s.log = talvikLog;
    s.relayAlarmState = talvikRelayAlarmState;
    s.login = talvikLogin;
    s.storeCommunication = talvikStoreCommunication;
    s.storeSiteInfo = talvikStoreSiteInfo;
    s.datalinkType = talvikDatalinkType;
    s.baseInstance = talvikBaseInstance;
    s.tqrLocalTime = talvikTqrLocalTime;
    s.requestRestart = talvikRequestRestart;
    return s;
}

void talvikInstallServices() { programSetServices(talvikServices()); }
