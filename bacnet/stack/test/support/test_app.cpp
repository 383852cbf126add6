#include "test_app.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "bacnet/app_memory.h"
#include "bacnet/enums.h"
#include "bacnet/property_value.h"
#include "bacnet/stack/apdu.h"
#include "bacnet/stack/app.h"
#include "bacnet/stack/stack.h"
#include "bacnet/tags.h"

namespace testapp {
namespace {

std::mutex appStackMutex;
std::mutex logMutex;
std::vector<std::string> logs;
std::mutex counterMutex;
Counters hookCounters;
Config current;
std::mutex valueMutex;
std::map<uint32_t, float> writtenValues;
std::map<uint32_t, float> covIncrements;
WriteRecord writes;
uint64_t warmStarts = 0;
// Subscriptions by (device, object identifier).
std::map<std::pair<int32_t, uint32_t>, std::vector<CovSubscriber>> covSubscriptions;
bool warmStartPending = false;

// The end of a property list, and of a group's cursor.
constexpr uint32_t kEnd = kGroupEnd;

// The analog input's properties in the order of ALL, each required or
// optional; its groups take them in this order.
struct AiProperty {
    uint32_t id;
    bool required;
};
const AiProperty aiProperties[] = {
    {kPropObjectIdentifier, true}, {kPropObjectName, true}, {kPropObjectType, true},
    {kPropPresentValue, true},     {kPropStatusFlags, true}, {kPropEventState, true},
    {kPropOutOfService, true},     {kPropUnits, true},       {kPropDescription, false},
    {kPropCovIncrement, false},    {kPropPropertyList, true},
};

// The list of a group: its identifier, its properties, kEnd.
std::vector<uint32_t> aiGroup(uint32_t group) {
    std::vector<uint32_t> list{group};
    for (const AiProperty &p : aiProperties) {
        if (group == kPropAll || p.required == (group == kPropRequired))
            list.push_back(p.id);
    }
    list.push_back(kEnd);
    return list;
}

const std::vector<uint32_t> aiAll = aiGroup(kPropAll);
const std::vector<uint32_t> aiRequired = aiGroup(kPropRequired);
const std::vector<uint32_t> aiOptional = aiGroup(kPropOptional);

template <size_t N>
struct Text {
    CharString str{};
    char room[N]{};
    void set(const std::string &s) {
        size_t n = std::min(s.size(), N);
        std::memcpy(room, s.data(), n);
        str.length = static_cast<uint32_t>(n);
        str.charSet = 0;
    }
};

struct Strings {
    Text<64> objectName, vendorName, modelName, firmware, software, location, description, serial;
};

// The texts of each device, keyed by instance (the root included); kept for
// the life of the process since records point into them.
std::map<int32_t, std::unique_ptr<Strings>> deviceTexts;
// Room for the longest name a Who-Has may ask for.
std::map<uint32_t, std::unique_ptr<Text<128>>> aiNames;

Strings &textsFor(int32_t instance) {
    auto &slot = deviceTexts[instance];
    if (!slot) {
        slot = std::make_unique<Strings>();
        slot->objectName.set("Meter " + std::to_string(instance));
        slot->vendorName.set("Test Vendor");
        slot->modelName.set("Test Meter");
        slot->firmware.set("1.0");
        slot->software.set("stack-test");
        slot->location.set("Lab");
        slot->description.set("Test device");
        slot->serial.set("SN-" + std::to_string(instance));
    }
    return *slot;
}

const CharString *aiName(uint32_t instance) {
    auto &slot = aiNames[instance];
    auto named = current.objectNames.find(instance);
    const std::string name = named != current.objectNames.end() ? named->second : "AI " + std::to_string(instance);
    // Rewritten only when the configuration changed it, since records and
    // other threads point into it.
    if (!slot || std::string(slot->str.chars(), slot->str.length) != name) {
        if (!slot) {
            slot = std::make_unique<Text<128>>();
        }
        slot->set(name);
    }
    return &slot->str;
}

void capture(int level, const char *text) {
    std::lock_guard lock(logMutex);
    std::string line = std::to_string(level) + " " + text;
    while (!line.empty() && line.back() == '\n') {
        line.pop_back();
    }
    logs.push_back(line);
}

bool isVirtual(int32_t instance) {
    return std::find(current.virtualDevices.begin(), current.virtualDevices.end(), instance) !=
           current.virtualDevices.end();
}

int objectsOf(int32_t device) {
    if (device < 0)
        return current.rootObjects;
    return isVirtual(device) ? current.virtualObjects : -1;
}

uint32_t instanceOf(int32_t device) {
    return device < 0 ? current.rootInstance : static_cast<uint32_t>(device);
}

// Whether the object exists on the device.
bool objectExists(int32_t device, uint32_t objectId) {
    uint32_t type = objectIdType(objectId);
    uint32_t instance = objectIdInstance(objectId);
    int n = objectsOf(device);
    if (n < 0)
        return false;
    if (type == kObjDevice)
        return instance == instanceOf(device);
    if (type == kObjAnalogInput)
        return instance >= 1 && instance <= static_cast<uint32_t>(n);
    return false;
}

// The Device object's properties are the stack's.
const uint32_t *listFor(uint32_t type, uint32_t group) {
    if (type == kObjDevice)
        return deviceAllProperties;
    switch (group) {
        case kPropRequired:
            return aiRequired.data();
        case kPropOptional:
            return aiOptional.data();
        default:
            return aiAll.data();
    }
}

bool inList(const uint32_t *list, uint32_t property) {
    for (const uint32_t *p = list; *p != kEnd; ++p) {
        if (*p == property)
            return true;
    }
    return false;
}

std::vector<uint32_t> aiPropertyList() {
    std::vector<uint32_t> out;
    for (const uint32_t *p = aiAll.data(); *p != kEnd; ++p) {
        if (*p != kPropAll && *p != kPropObjectIdentifier && *p != kPropObjectName && *p != kPropObjectType &&
            *p != kPropPropertyList)
            out.push_back(*p);
    }
    return out;
}

uint32_t readAnalogInput(uint32_t objectId, uint32_t property, uint32_t index, PropertyValue *v) {
    uint32_t instance = objectIdInstance(objectId);
    v->count = 0;
    v->ownsValue = 0;
    if (property != kPropPropertyList && index != kEnd)
        return kErrNotAnArray;
    switch (property) {
        case kPropObjectIdentifier:
            v->datatype = kDtObjectId;
            v->value.u = objectId;
            return 0;
        case kPropObjectName:
            v->datatype = kDtCharString;
            v->value.block = const_cast<CharString *>(aiName(instance));
            return 0;
        case kPropObjectType:
            v->datatype = kDtEnumerated;
            v->value.u = kObjAnalogInput;
            return 0;
        case kPropPresentValue:
            v->datatype = kDtReal;
            v->value.f = presentValue(instance);
            return 0;
        case kPropStatusFlags:
            v->datatype = kDtBitString;
            v->length = 4;
            std::memset(v->value.octets, 0, 8);
            return 0;
        case kPropEventState:
            v->datatype = kDtEnumerated;
            v->value.u = 0;
            return 0;
        case kPropOutOfService:
            v->datatype = kDtBoolean;
            v->value.u = 0;
            return 0;
        case kPropUnits:
            v->datatype = kDtEnumerated;
            v->value.u = 48;  // kilowatts
            return 0;
        case kPropDescription:
            v->datatype = kDtCharString;
            v->value.block = const_cast<CharString *>(aiName(instance));
            return 0;
        case kPropCovIncrement: {
            std::lock_guard lock(valueMutex);
            auto it = covIncrements.find(instance);
            v->datatype = kDtReal;
            v->value.f = it != covIncrements.end() ? it->second : 0.5f;
            return 0;
        }
        case kPropPropertyList: {
            std::vector<uint32_t> list = aiPropertyList();
            if (index == 0) {
                v->datatype = kDtUnsigned;
                v->value.u = static_cast<uint32_t>(list.size());
                return 0;
            }
            if (index != kEnd) {
                if (index > list.size())
                    return kErrInvalidArrayIndex;
                v->datatype = kDtEnumerated;
                v->value.u = list[index - 1];
                return 0;
            }
            auto *block = static_cast<uint32_t *>(appCalloc(static_cast<uint32_t>(list.size() * 4)));
            if (block == nullptr)
                return kErrorOutOfMemory;
            std::memcpy(block, list.data(), list.size() * 4);
            v->datatype = kDtEnumerated;
            v->count = static_cast<uint16_t>(list.size());
            v->ownsValue = 1;
            v->value.block = block;
            return 0;
        }
        default:
            return kErrUnknownProperty;
    }
}

}  // namespace

void configure(const Config &config) {
    current = config;
}
const Config &config() {
    return current;
}

std::vector<std::string> logLines() {
    std::lock_guard lock(logMutex);
    return logs;
}

void clearLog() {
    std::lock_guard lock(logMutex);
    logs.clear();
}

bool logContains(const std::string &text) {
    std::lock_guard lock(logMutex);
    for (const auto &l : logs) {
        if (l.find(text) != std::string::npos)
            return true;
    }
    return false;
}

Counters counters() {
    std::lock_guard lock(counterMutex);
    return hookCounters;
}

void resetCounters() {
    std::lock_guard lock(counterMutex);
    hookCounters = Counters{};
}

float presentValue(uint32_t instance) {
    std::lock_guard lock(valueMutex);
    auto it = writtenValues.find(instance);
    return it != writtenValues.end() ? it->second : static_cast<float>(instance) * 1.5f;
}

void setPresentValue(uint32_t instance, float value) {
    std::lock_guard lock(valueMutex);
    writtenValues[instance] = value;
}

WriteRecord lastWrite() {
    std::lock_guard lock(valueMutex);
    return writes;
}

uint64_t warmStartsRequested() {
    std::lock_guard lock(valueMutex);
    return warmStarts;
}

std::vector<CovSubscriber> subscriptions(int32_t device, uint32_t objectId) {
    std::lock_guard lock(valueMutex);
    auto it = covSubscriptions.find({device, objectId});
    return it == covSubscriptions.end() ? std::vector<CovSubscriber>{} : it->second;
}

std::vector<std::pair<int32_t, uint32_t>> subscribedObjects() {
    std::lock_guard lock(valueMutex);
    std::vector<std::pair<int32_t, uint32_t>> out;
    for (const auto &[key, list] : covSubscriptions) {
        if (!list.empty())
            out.push_back(key);
    }
    return out;
}

void clearSubscriptions() {
    std::lock_guard lock(valueMutex);
    covSubscriptions.clear();
}

bool takeWarmStartRequest() {
    std::lock_guard lock(valueMutex);
    bool pending = warmStartPending;
    warmStartPending = false;
    return pending;
}

}  // namespace testapp

using namespace testapp;


void appStackLock() {
    appStackMutex.lock();
}
void appStackUnlock() {
    appStackMutex.unlock();
}

void appFillDeviceRecord(DeviceRecord *r) {
    Strings &s = textsFor(static_cast<int32_t>(current.rootInstance));
    DeviceRecord rec{};
    rec.instance = current.rootInstance;
    rec.maxApdu = 1476;
    rec.apduTimeoutMs = current.apduTimeoutMs;
    rec.apduSegmentTimeoutMs = 30000;
    rec.maxSegmentsAccepted = current.maxSegmentsAccepted;
    rec.apduRetries = current.apduRetries;
    rec.segmentationSupported = current.segmentationSupported;
    rec.proposedWindowSize = current.proposedWindowSize;
    rec.databaseRevision = 0;
    rec.vendorId = 555;
    rec.objectTypesSupported[0] = 0x80;  // analog-input
    rec.objectTypesSupported[1] = 0x80;  // device (bit 8)
    rec.objectName = &s.objectName.str;
    rec.vendorName = &s.vendorName.str;
    rec.modelName = &s.modelName.str;
    rec.firmwareRevision = &s.firmware.str;
    rec.applicationSoftwareVersion = &s.software.str;
    rec.location = current.withLocation ? &s.location.str : nullptr;
    rec.description = current.withDescription ? &s.description.str : nullptr;
    rec.profileName = nullptr;
    rec.bipNetwork = current.bipNetwork;
    rec.udpPort = current.udpPort;
    std::memcpy(rec.bbmdAddress, current.bbmd, 4);
    rec.bbmdTtl = current.bbmdTtl;
    rec.bipv6Address = current.bipv6Address.c_str();
    rec.bipv6Multicast = current.bipv6Multicast.c_str();
    rec.mstpTty = current.mstpTty.c_str();
    rec.mstpBaud = current.mstpBaud.c_str();
    rec.tolerance = current.tolerance;
    rec.maxMaster = current.maxMaster;
    rec.mstpMac = current.mstpMac;
    rec.maxInfoFrames = current.maxInfoFrames;
    *r = rec;
}

void appFillVirtualDeviceRecord(int32_t device, DeviceRecord *r) {
    appFillDeviceRecord(r);
    if (device >= 0) {
        r->instance = static_cast<uint32_t>(device);
        r->objectName = &textsFor(device).objectName.str;
    }
}

void appMonitorPdu(uint8_t, uint32_t, const uint8_t *, const BACnetAddress *, const BACnetAddress *,
                   uint8_t direction) {
    std::lock_guard lock(counterMutex);
    if (direction == 1) {
        ++hookCounters.monitorReceived;
    } else {
        ++hookCounters.monitorSent;
    }
}

void appConfirmedRequestTimeout(uint8_t invokeId, uint8_t, uint32_t) {
    std::lock_guard lock(counterMutex);
    ++hookCounters.requestTimeouts;
    hookCounters.lastTimeoutInvokeId = invokeId;
}

void appConfirmedReplyReceived(int32_t, uint8_t, uint8_t, uint32_t error) {
    std::lock_guard lock(counterMutex);
    ++hookCounters.repliesReceived;
    hookCounters.lastReplyError = error;
}

void appDeviceBound(uint32_t, const BACnetAddress *, uint16_t) {}

void appSyslog(int priority, const char *text) {
    logMessage(priority == 3 ? 1 : 6, text);
}
void appBipLog(const char *text) {
    logMessage(6, text);
}
void appBipv6Log(const char *text) {
    logMessage(6, text);
}
void logMessage(int level, const char *text) {
    if (level <= 6) {
        capture(level, text);
    }
}

uint16_t vdevGetNetwork() {
    return current.virtualNetwork;
}

int32_t vdevFind(int32_t instance) {
    return isVirtual(instance) ? instance : -1;
}

int32_t vdevLookup(uint16_t network, uint8_t macLength, const uint8_t *mac, int32_t *instance) {
    int32_t found = -1;
    if (*instance == static_cast<int32_t>(kMaxInstance)) {
        found = -1;
    } else if (*instance != -1) {
        found = isVirtual(*instance) ? *instance : -1;
    } else if (network != 0 && network == current.virtualNetwork) {
        if (macLength == 6) {
            int32_t i = (mac[3] << 16) | (mac[4] << 8) | mac[5];
            found = isVirtual(i) ? i : -1;
        } else if (macLength == 0 && !current.virtualDevices.empty()) {
            found = *std::min_element(current.virtualDevices.begin(), current.virtualDevices.end());
        }
    }
    *instance = found;
    return found;
}

void vdevGetAddress(int32_t instance, uint16_t *network, uint8_t *macLength, uint8_t *mac) {
    if (!isVirtual(instance)) {
        *network = 0;
        *macLength = 0;
        return;
    }
    *network = current.virtualNetwork;
    *macLength = 6;
    mac[0] = mac[1] = mac[2] = 0;
    mac[3] = static_cast<uint8_t>(instance >> 16);
    mac[4] = static_cast<uint8_t>(instance >> 8);
    mac[5] = static_cast<uint8_t>(instance);
}

int32_t vdevNext(int32_t instance) {
    int32_t best = -1;
    for (int32_t v : current.virtualDevices) {
        if (v > instance && (best < 0 || v < best))
            best = v;
    }
    return best;
}

uint32_t appCheckProperty(int32_t device, uint32_t objectId, uint32_t property) {
    uint32_t type = objectIdType(objectId);
    if (objectsOf(device) < 0 || (type != kObjAnalogInput && type != kObjDevice))
        return kErrUnknownObject;
    if (property == kPropAll || property == kPropOptional || property == kPropRequired)
        return 0;
    return inList(listFor(type, kPropAll), property) ? 0 : kErrUnknownProperty;
}

int appValidateProperty(int32_t device, uint32_t objectId, uint32_t property, bool *objectAccepted,
                        bool *propertyKnown, bool *isArray, bool *accessAllowed) {
    uint32_t r = appCheckProperty(device, objectId, property);
    *objectAccepted = r != kErrUnknownObject && objectExists(device, objectId);
    *propertyKnown = *objectAccepted && r == 0;
    *isArray = (property == kPropObjectList || property == kPropPropertyList);
    *accessAllowed = *objectAccepted && *propertyKnown;
    return r == kErrUnknownObject ? 0 : 1;
}

uint32_t appReadProperty(int32_t device, uint32_t objectId, uint32_t property, uint32_t arrayIndex,
                         PropertyValue *v, uint32_t *currentProperty) {
    uint32_t type = objectIdType(objectId);
    if (!objectExists(device, objectId))
        return kErrUnknownObject;
    if (type == kObjDevice) {
        if (property != kPropSerialNumber)
            return kErrUnknownProperty;
        v->datatype = kDtCharString;
        v->count = 0;
        v->ownsValue = 0;
        v->value.block = &textsFor(static_cast<int32_t>(instanceOf(device))).serial.str;
        return 0;
    }
    if (property == kPropAll || property == kPropOptional || property == kPropRequired) {
        // Steps the cursor through the group's list: the property after it.
        const uint32_t *list = listFor(type, property);
        const uint32_t *p = list;
        while (*p != kEnd && *p != *currentProperty)
            ++p;
        if (*p == kEnd || p[1] == kEnd) {
            *currentProperty = kEnd;
            return kErrUnknownProperty;
        }
        *currentProperty = p[1];
        return readAnalogInput(objectId, p[1], kEnd, v);
    }
    return readAnalogInput(objectId, property, arrayIndex, v);
}

// Writable: an analog input's present value and cov-increment (reals) and
// the Device object's location; everything else is read-only.
uint32_t appWriteProperty(int32_t device, uint32_t objectId, uint32_t property, uint32_t arrayIndex,
                          PropertyValue *v) {
    if (!objectExists(device, objectId))
        return kErrUnknownObject;
    if (arrayIndex != kEnd)
        return kErrNotAnArray;
    uint32_t type = objectIdType(objectId);
    uint32_t instance = objectIdInstance(objectId);
    bool real = v->datatype == kDtReal && v->count == 0;
    std::lock_guard lock(valueMutex);
    if (type == kObjAnalogInput && property == kPropPresentValue) {
        if (!real)
            return kErrorInvalidDataType;
        writtenValues[instance] = v->value.f;
    } else if (type == kObjAnalogInput && property == kPropCovIncrement) {
        if (!real)
            return kErrorInvalidDataType;
        if (v->value.f < 0)
            return errMake(kErrorClassProperty, kErrorCodeValueOutOfRange);
        covIncrements[instance] = v->value.f;
    } else if (type == kObjDevice && property == kPropLocation) {
        if (v->datatype != kDtCharString)
            return kErrorInvalidDataType;
    } else {
        return kErrWriteAccessDenied;
    }
    writes.device = device;
    writes.objectId = objectId;
    writes.property = property;
    writes.priority = v->priority;
    ++writes.count;
    return 0;
}

namespace {

bool passwordMatches(const CharString *password) {
    return password != nullptr && password->length == current.password.size() &&
           std::memcmp(password->chars(), current.password.data(), password->length) == 0;
}

}  // namespace

uint32_t appDeviceCommunicationControl(int32_t, uint8_t enableDisable, uint32_t durationMs,
                                       const CharString *password) {
    if (!passwordMatches(password)) {
        logMessage(1, "DeviceCommunicationControl: password check failed");
        return errMake(kErrorClassSecurity, kErrorCodePasswordFailure);
    }
    char line[96];
    std::snprintf(line, sizeof line, "DeviceCommunicationControl %u for %u ms", enableDisable, durationMs);
    logMessage(6, line);
    return 0;
}

uint32_t appReinitializeDevice(int32_t, uint32_t state, const CharString *password) {
    if (!passwordMatches(password))
        return errMake(kErrorClassSecurity, kErrorCodePasswordFailure);
    if (state == 1) {
        logMessage(6, "Warm boot requested for root device, restarting.");
        std::lock_guard lock(valueMutex);
        ++warmStarts;
        warmStartPending = true;
        return 0;
    }
    if (state == 0) {
        logMessage(6, "Cold boot requested for root device.");
        return 0;
    }
    return errMake(kErrorClassServices, kErrorCodeServiceRequestDenied);
}

int appReinitializeDone() {
    return 0;
}

// Analog inputs take subscriptions, two per object; a subscription is the
// same when its address and process identifier are.
uint32_t appSubscribeCov(int32_t device, const CovSubscriber *s) {
    if (!objectExists(device, s->monitoredObject))
        return kErrUnknownObject;
    if (objectIdType(s->monitoredObject) != kObjAnalogInput)
        return errMake(kErrorClassObject, kErrorCodeOptionalFunctionalityNotSupported);
    std::lock_guard lock(valueMutex);
    auto &list = covSubscriptions[{device, s->monitoredObject}];
    auto same = [&](const CovSubscriber &x) {
        return x.processId == s->processId &&
               std::memcmp(&x.subscriber, &s->subscriber, sizeof(BACnetAddress)) == 0;
    };
    auto it = std::find_if(list.begin(), list.end(), same);
    if (s->cancel) {
        if (it != list.end())
            list.erase(it);
        return 0;
    }
    if (it != list.end()) {
        *it = *s;
        return 0;
    }
    if (list.size() >= 2)
        return errMake(kErrorClassResources, kErrorCodeNoSpaceToAddListElement);
    list.push_back(*s);
    return 0;
}

// The root device's analog inputs in alarm, in ascending order, one per call.
EventSummary *appGetEventInformation(int32_t device, uint32_t, int32_t lastObjectId, bool *moreEvents) {
    *moreEvents = false;
    if (device >= 0)
        return nullptr;
    std::vector<uint32_t> alarms;
    for (uint32_t instance : current.alarmObjects) {
        if (objectExists(-1, analogInput(instance)))
            alarms.push_back(analogInput(instance));
    }
    std::sort(alarms.begin(), alarms.end());
    auto next = lastObjectId < 0 ? alarms.begin()
                                 : std::upper_bound(alarms.begin(), alarms.end(),
                                                    static_cast<uint32_t>(lastObjectId));
    if (next == alarms.end())
        return nullptr;
    auto *e = static_cast<EventSummary *>(appCalloc(sizeof(EventSummary)));
    if (e == nullptr)
        return nullptr;
    e->objectId = *next;
    e->priorities[0] = 100;
    e->priorities[1] = 100;
    e->priorities[2] = 200;
    e->timeStamps[0] = BACnetTimeStamp{kTimeStampDateTime, 0, {12, 30, 15, 0}, {126, 12, 10, 4}};
    e->timeStamps[1] = BACnetTimeStamp{kTimeStampSequenceNumber, 0, {}, {}};
    e->timeStamps[2] = BACnetTimeStamp{kTimeStampSequenceNumber, 0, {}, {}};
    e->eventState = 3;                   // high-limit
    e->acknowledgedTransitions = 0x60;  // to-fault and to-normal acknowledged
    e->eventEnable = 0xE0;
    e->notifyType = 0;
    *moreEvents = next + 1 != alarms.end();
    return e;
}

// The device's objects (the Device object first) are searched by name or
// identifier; a match is announced with I-Have.
void appWhoHas(int32_t device, uint16_t, bool byName, const CharString *name, uint32_t objectId) {
    int n = objectsOf(device);
    if (n < 0)
        return;
    uint32_t instance = instanceOf(device);
    auto matches = [&](const CharString *candidate) {
        return name != nullptr && candidate->length == name->length &&
               std::memcmp(candidate->chars(), name->chars(), name->length) == 0;
    };
    const CharString *deviceName = &textsFor(static_cast<int32_t>(instance)).objectName.str;
    uint32_t deviceId = deviceObject(instance);
    if (byName ? matches(deviceName) : objectId == deviceId) {
        svcSendIHave(device, 0xFFFF, deviceId, deviceName);
        return;
    }
    for (int i = 1; i <= n; ++i) {
        uint32_t id = analogInput(static_cast<uint32_t>(i));
        if (byName ? matches(aiName(static_cast<uint32_t>(i))) : objectId == id) {
            svcSendIHave(device, 0xFFFF, id, aiName(static_cast<uint32_t>(i)));
            return;
        }
    }
}

int appGetLocalDateTime(LocalDateTime *out) {
    *out = LocalDateTime{12, 30, 15, 0, 2026, 12, 10, 4, 0, 60};
    return 1;
}

int32_t appCountObjects(int32_t device) {
    int n = objectsOf(device);
    return n < 0 ? 0 : n + 1;
}

int32_t appNextObject(int32_t device, int32_t objectId) {
    int n = objectsOf(device);
    if (n < 0)
        return -1;
    uint32_t deviceId = deviceObject(instanceOf(device));
    if (objectId == -1)
        return static_cast<int32_t>(deviceId);
    if (static_cast<uint32_t>(objectId) == deviceId)
        return n > 0 ? 1 : -1;
    uint32_t instance = objectIdInstance(static_cast<uint32_t>(objectId));
    if (objectIdType(static_cast<uint32_t>(objectId)) == kObjAnalogInput &&
        instance < static_cast<uint32_t>(n)) {
        return static_cast<int32_t>(instance + 1);
    }
    return -1;
}

int32_t appCountCovSubscriptions(int32_t) {
    return 0;
}
uint32_t appGetCovSubscription(int32_t, PropertyValue *) {
    return 0;
}
uint32_t appGetSystemStatus(int32_t) {
    return 0;
}
