// DeviceCommunicationControl and ReinitializeDevice.

#include <cstdio>

#include "bacnet/enums.h"
#include "bacnet/stack/apdu.h"
#include "bacnet/stack/app.h"
#include "bacnet/stack/stack.h"
#include "codec/reader.h"

namespace {

// The longest passwords the services take.
constexpr uint32_t kDccPasswordMax = 64;
constexpr uint32_t kReinitializePasswordMax = 20;

constexpr uint32_t kReinitializeStateMax = 6;  // activate-changes
constexpr uint32_t kReinitializeWarmstart = 1;

constexpr PackedError kErrPasswordFailure = errMake(kErrorClassSecurity, kErrorCodePasswordFailure);

// The optional password with context tag number, the last parameter of the
// request. False for a malformed or too long one (the request is rejected).
template <size_t N>
bool readPassword(codec::Reader r, uint8_t number, CharStringStore<N> *password, bool *present) {
    *present = r.p < r.end;
    return r.p >= r.end || (codec::ctxCharString(r, number, &password->str, N) == 0 && r.p == r.end);
}

}  // namespace

void svcHandleDeviceCommunicationControl(int32_t device, NpduPacket *packet, const uint8_t *data, uint32_t length,
                                         uint8_t invokeId) {
    codec::Reader r{data, data + length};
    int64_t durationMs = 0;
    if (codec::atCtx(r, kDccDuration)) {
        uint32_t minutes = 0;
        if (codec::ctxParam(r, kDccDuration, &minutes) != 0 || minutes > 0xFFFF) {
            apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
            return;
        }
        durationMs = int64_t{minutes} * 60000;
    }
    uint32_t state = 0;
    if (codec::ctxParam(r, kDccEnableDisable, &state) != 0) {
        apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
        return;
    }
    CharStringStore<kDccPasswordMax> password;
    bool hasPassword = false;
    if (!readPassword(r, kDccPassword, &password, &hasPassword)) {
        apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
        return;
    }
    // The application's interface takes the duration in 32 bits: the longest
    // duration, 65535 minutes, is about 3.9e9 ms and fits unsigned.
    PackedError e = appDeviceCommunicationControl(device, static_cast<uint8_t>(state),
                                                  static_cast<uint32_t>(durationMs),
                                                  hasPassword ? &password.str : nullptr);
    if (e == kErrPasswordFailure) {
        apduSendError(packet, invokeId, kSvcDeviceCommunicationControl, kErrorClassSecurity,
                      kErrorCodePasswordFailure);
        appSyslog(3, "Received BACnet DCC, password check failure");
        return;
    }
    switch (state) {
        case kDccEnable:
            communicationEnabled = 1;
            stackInitiationDisabled = 0;
            dccTimerMs = 0;
            break;
        case kDccDisable:
            communicationEnabled = 0;
            stackInitiationDisabled = 1;
            dccTimerMs = durationMs;
            break;
        case kDccDisableInitiation:
            communicationEnabled = 1;
            stackInitiationDisabled = 1;
            dccTimerMs = durationMs;
            break;
        default:
            apduSendReject(packet, invokeId, kRejectReasonUndefinedEnumeration);
            return;
    }
    apduSendSimpleAck(packet, invokeId, kSvcDeviceCommunicationControl);
    char line[128];
    std::snprintf(line, sizeof line, "Rcv'd DCC mode = %ld, Enable = %s, Disable = %s, Disable-Initiation = %s",
                  static_cast<long>(state), communicationEnabled == 1 ? "TRUE" : "FALSE",
                  communicationEnabled == 1 ? "FALSE" : "TRUE", stackInitiationDisabled != 0 ? "TRUE" : "FALSE");
    appSyslog(3, line);
}

void svcHandleReinitializeDevice(int32_t device, NpduPacket *packet, const uint8_t *data, uint32_t length,
                                 uint8_t invokeId) {
    codec::Reader r{data, data + length};
    uint32_t state = 0;
    if (codec::ctxParam(r, kReinitializeState, &state) != 0) {
        apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
        return;
    }
    if (state > kReinitializeStateMax) {
        apduSendReject(packet, invokeId, kRejectReasonParameterOutOfRange);
        return;
    }
    if (state > kReinitializeWarmstart && (communicationEnabled != 1 || stackInitiationDisabled != 0)) {
        apduSendError(packet, invokeId, kSvcReinitializeDevice, kErrorClassServices,
                      kErrorCodeCommunicationDisabled);
        return;
    }
    CharStringStore<kReinitializePasswordMax> password;
    bool hasPassword = false;
    if (!readPassword(r, kReinitializePassword, &password, &hasPassword)) {
        apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
        return;
    }
    PackedError e = appReinitializeDevice(device, state, hasPassword ? &password.str : nullptr);
    uint32_t c = errGetClass(e);
    if (e == 0) {
        // A successful reinitialisation lifts any DeviceCommunicationControl.
        dccTimerMs = 0;
        communicationEnabled = 1;
        stackInitiationDisabled = 0;
        apduSendSimpleAck(packet, invokeId, kSvcReinitializeDevice);
        appReinitializeDone();
    } else if (c == kClassReject) {
        apduSendReject(packet, invokeId, static_cast<uint8_t>(errGetCode(e)));
    } else if (c == kClassAbort) {
        apduSendAbort(packet, invokeId, static_cast<uint8_t>(errGetCode(e)));
    } else if (c > kClassNoReply) {
        apduSendError(packet, invokeId, kSvcReinitializeDevice, 0, 0);
    } else if (e != kNoReply) {
        apduSendError(packet, invokeId, kSvcReinitializeDevice, c, errGetCode(e));
    }
}
