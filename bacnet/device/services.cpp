// The device-level services: the passcode of DeviceCommunicationControl and
// ReinitializeDevice (TQR's login decides), GetEventInformation, SubscribeCOV,
// Who-Has, and the walks behind object-list and active-cov-subscriptions.
//
// A device's objects are those of its ObjectMap: the root map for the root
// device, the load's own map for a virtual device. Every walk goes in the
// map's order, ascending object identifier.

#include <cstring>
#include <string>

#include "bacnet/app_memory.h"
#include "bacnet/enums.h"
#include "bacnet/stack/apdu.h"
#include "bacnet/stack/app.h"
#include "bacnet/stack/device_record.h"
#include "bacnet/stack/notify.h"
#include "device/application.h"
#include "device/object_sets.h"
#include "device/config.h"

namespace {

constexpr uint32_t kPasswordFailure = errMake(kErrorClassSecurity, kErrorCodePasswordFailure);
constexpr uint32_t kServiceRequestDenied = errMake(kErrorClassServices, kErrorCodeServiceRequestDenied);
constexpr uint32_t kCovSubscriptionFailed = errMake(kErrorClassServices, kErrorCodeCovSubscriptionFailed);
constexpr uint32_t kOptionalFunctionalityNotSupported =
    errMake(kErrorClassObject, kErrorCodeOptionalFunctionalityNotSupported);

constexpr uint32_t kReinitializeColdstart = 0;
constexpr uint32_t kReinitializeWarmstart = 1;

// The device's objects, or null for an unknown virtual device.
const ObjectMap *objectsOf(int32_t device) {
    if (appIsRootDevice(device)) {
        return &deviceObjectMap;
    }
    const Load *load = appFindLoad(device);
    return load != nullptr ? &load->getObjectMap() : nullptr;
}

uint32_t deviceInstanceOf(int32_t device) {
    return appIsRootDevice(device) ? communicationConfig.getBaseInstance() : static_cast<uint32_t>(device);
}

// The characters a request carried, as received. The stack's record holds
// exactly `length` of them with no terminator behind, so they are copied
// rather than ended in place.
std::string textOf(const CharString *s) {
    return s != nullptr ? std::string(s->chars(), s->length) : std::string();
}

// ---- event summaries ----

bool qualifies(const BACnetObject &object) {
    return object.getEventDetectionEnable() && object.getEventState() != kEventStateNormal;
}

// The class whose priorities the object's notifications carry: the one it is
// linked to, else the class of its notification-class number among its
// device's objects.
const NotificationClass *classOf(const BACnetObject &object, const ObjectMap &objects) {
    if (const auto *measured = dynamic_cast<const MeasuredValue *>(&object)) {
        if (NotificationClass *link = measured->getNotificationClassLink()) {
            return link;
        }
    } else if (const auto *converter = dynamic_cast<const PulseConverter *>(&object)) {
        if (NotificationClass *link = converter->getNotificationClassLink()) {
            return link;
        }
    }
    const uint32_t number = object.getNotificationClass();
    for (const auto &[id, candidate] : objects) {
        if (objectIdType(id) != kObjNotificationClass || candidate == nullptr) {
            continue;
        }
        const auto *nc = dynamic_cast<const NotificationClass *>(candidate);
        if (nc != nullptr && nc->getClassNumber() == number) {
            return nc;
        }
    }
    return nullptr;
}

EventSummary *summaryOf(const BACnetObject &object, const ObjectMap &objects) {
    auto *summary = static_cast<EventSummary *>(appCalloc(sizeof(EventSummary)));
    if (summary == nullptr) {
        return nullptr;
    }
    const ReportingSnapshot s = object.getReportingSnapshot();
    summary->objectId = object.getObjectIdentifier();
    if (const NotificationClass *nc = classOf(object, objects)) {
        summary->priorities[0] = nc->getToOffnormalPriority();
        summary->priorities[1] = nc->getToFaultPriority();
        summary->priorities[2] = nc->getToNormalPriority();
    }
    for (uint8_t i = 0; i < 3; ++i) {
        summary->timeStamps[i] = object.getEventTimeStamp(i);
    }
    summary->eventState = s.eventState;
    summary->acknowledgedTransitions = object.getAckedTransitions();
    summary->eventEnable = s.eventEnable;
    summary->notifyType = s.notifyType;
    return summary;
}

// ---- Who-Has ----

// An I-Have for the device (-1 root) with the object's identifier and name.
void answerIHave(int32_t device, uint32_t objectId, const std::string &name) {
    CharStringStore<appMaxTextOctets> text;
    const std::string cut = appCutText(name);
    std::memcpy(text.room, cut.data(), cut.size());
    text.str.length = static_cast<uint32_t>(cut.size());
    text.str.charSet = kCharSetUtf8;
    svcSendIHave(device, 0xFFFF, objectId, &text.str);
}

// Whether the request's name is the Device object's name: the same character
// set, length and characters.
bool isDeviceName(const CharString *request, const DeviceRecord &record) {
    if (request == nullptr || record.objectName == nullptr) {
        return false;
    }
    return request->charSet == record.objectName->charSet && textOf(request) == textOf(record.objectName);
}

// The path a Who-Has takes: the root's objects, or a load's (null when the
// device is neither).
struct WhoHasTarget {
    int32_t sender;  // what svcSendIHave takes: -1 root, else the load's instance
    const ObjectMap *objects;
    uint32_t deviceId;
};

WhoHasTarget whoHasTarget(int32_t device, uint16_t network) {
    const uint16_t vnet = vdevGetNetwork();
    const bool toVirtualNetwork = vnet != 0 && network == vnet;
    if (!toVirtualNetwork && appIsRootDevice(device)) {
        return {-1, &deviceObjectMap, objectIdMake(kObjDevice, communicationConfig.getBaseInstance())};
    }
    const Load *load = appFindLoad(device);
    if (load == nullptr) {
        return {device, nullptr, 0};
    }
    return {device, &load->getObjectMap(), objectIdMake(kObjDevice, static_cast<uint32_t>(device))};
}

DeviceRecord recordOf(const WhoHasTarget &target) {
    DeviceRecord record{};
    if (target.sender == -1) {
        appFillDeviceRecord(&record);
    } else {
        appFillVirtualDeviceRecord(target.sender, &record);
    }
    return record;
}

}  // namespace

void appWhoHasName(int32_t device, uint16_t network, const CharString *name) {
    const WhoHasTarget target = whoHasTarget(device, network);
    if (target.objects == nullptr || name == nullptr) {
        return;
    }
    const std::string text = textOf(name);
    if (BACnetObject *object = objectMapFindName(*target.objects, text)) {
        answerIHave(target.sender, object->getObjectIdentifier(), object->getObjectName());
        return;
    }
    const DeviceRecord record = recordOf(target);
    if (isDeviceName(name, record)) {
        answerIHave(target.sender, target.deviceId, textOf(record.objectName));
    }
}

void appWhoHasId(int32_t device, uint16_t network, uint32_t objectId) {
    const WhoHasTarget target = whoHasTarget(device, network);
    if (target.objects == nullptr) {
        return;
    }
    if (objectIdType(objectId) == kObjDevice) {
        if (objectId == target.deviceId) {
            const DeviceRecord record = recordOf(target);
            answerIHave(target.sender, target.deviceId, textOf(record.objectName));
        }
        return;
    }
    if (BACnetObject *object = objectMapFindId(*target.objects, objectId)) {
        answerIHave(target.sender, objectId, object->getObjectName());
    }
}

// ---- object-list ----

int32_t appCountObjects(int32_t device) {
    const ObjectMap *objects = objectsOf(device);
    return objects != nullptr ? static_cast<int32_t>(objects->size() + 1) : 0;
}

int32_t appNextObject(int32_t device, int32_t objectId) {
    const ObjectMap *objects = objectsOf(device);
    if (objects == nullptr) {
        return -1;
    }
    if (objectId == -1) {
        return static_cast<int32_t>(objectIdMake(kObjDevice, deviceInstanceOf(device)));
    }
    ObjectMap::const_iterator next;
    if (objectIdType(static_cast<uint32_t>(objectId)) == kObjDevice) {
        next = objects->begin();
    } else {
        // The next higher identifier, also after one that is not held.
        next = objects->upper_bound(static_cast<uint32_t>(objectId));
    }
    return next == objects->end() ? -1 : static_cast<int32_t>(next->first);
}

// ---- active-cov-subscriptions ----

int32_t appCountCovSubscriptions(int32_t device) {
    const ObjectMap *objects = objectsOf(device);
    if (objects == nullptr) {
        return 0;
    }
    uint32_t count = 0;
    for (const auto &[id, object] : *objects) {
        count += object != nullptr ? object->getCovSubscriptionCount() : 0;
    }
    return static_cast<int32_t>(count);
}

uint32_t appGetCovSubscription(int32_t device, PropertyValue *value) {
    const ObjectMap *objects = objectsOf(device);
    if (value == nullptr || value->value.block == nullptr) {
        return 0;
    }
    auto *entries = static_cast<BACnetCOVSubscription *>(value->value.block);
    const uint32_t room = value->count;
    uint32_t filled = 0;
    for (auto it = objects != nullptr ? objects->begin() : ObjectMap::const_iterator{};
         objects != nullptr && it != objects->end() && filled < room; ++it) {
        const BACnetObject *object = it->second;
        if (object == nullptr || object->getCovSubscriptionCount() == 0) {
            continue;
        }
        for (const COVSubscription &subscription : object->copyCovSubscriptions()) {
            if (filled == room) {
                break;
            }
            const CovSubscriber s = subscription.getSubscriber();
            BACnetCOVSubscription &e = entries[filled++];
            e = BACnetCOVSubscription{};
            e.recipient.choice = kRecipientAddress;
            e.recipient.network = s.subscriber.network;
            // A subscriber behind a router is known by its address on its
            // own network; the MAC is then the router's.
            const bool remote = s.subscriber.network != 0 && s.subscriber.remoteLength != 0;
            const uint8_t length = remote ? s.subscriber.remoteLength : s.subscriber.macLength;
            const uint8_t *octets = remote ? s.subscriber.remoteAddress : s.subscriber.mac;
            e.recipient.macLength = length <= kMaxMac ? length : 0;
            std::memcpy(e.recipient.mac, octets, e.recipient.macLength);
            e.processId = s.processId;
            e.objectId = s.monitoredObject;
            e.propertyId = kPropPresentValue;
            e.arrayIndex = -1;
            e.issueConfirmed = s.issueConfirmed;
            e.hasCovIncrement = 0;
            e.timeRemaining = subscription.getRemainingLifetime() / 1000;
        }
    }
    // A subscription that ended after the count leaves no zeroed entry to be
    // encoded as one.
    value->count = static_cast<uint16_t>(filled);
    return 0;
}

// ---- SubscribeCOV ----

uint32_t appSubscribeCov(int32_t device, const CovSubscriber *subscriber) {
    if (subscriber == nullptr) {
        return kCovSubscriptionFailed;
    }
    const uint32_t monitored = subscriber->monitoredObject;
    const uint16_t type = objectIdType(monitored);
    if (appCheckProperty(device, monitored, kPropPresentValue) == kErrUnknownObject) {
        return kErrUnknownObject;
    }
    const ObjectMap *objects = objectsOf(device);
    BACnetObject *object = objects != nullptr ? objectMapFindId(*objects, monitored) : nullptr;
    if (object == nullptr) {
        return kErrUnknownObject;
    }
    const bool root = appIsRootDevice(device);
    const bool reports = type == kObjAnalogInput || (root ? type == kObjPulseConverter : type == kObjLargeAnalogValue);
    if (!reports) {
        return kOptionalFunctionalityNotSupported;
    }
    return object->subscribeCov(*subscriber);
}

// ---- GetEventInformation ----

EventSummary *appGetEventInformation(int32_t device, uint32_t, int32_t lastObjectId, bool *moreEvents) {
    std::lock_guard<std::mutex> lock(appPropertyMutex);
    bool more = false;
    EventSummary *summary = nullptr;
    // A load's objects are walked as the root's are, so that its alarms show
    // in a workstation's summary of that device.
    if (const ObjectMap *objects = objectsOf(device)) {
        auto it = objects->begin();
        if (lastObjectId != -1) {
            it = objects->find(static_cast<uint32_t>(lastObjectId));
            if (it != objects->end()) {
                ++it;
            }
        }
        for (; it != objects->end(); ++it) {
            const BACnetObject *object = it->second;
            if (object == nullptr || !qualifies(*object)) {
                continue;
            }
            if (summary == nullptr) {
                summary = summaryOf(*object, *objects);
                if (summary == nullptr) {
                    break;
                }
                continue;
            }
            more = true;
            break;
        }
    }
    if (moreEvents != nullptr) {
        *moreEvents = more;
    }
    return summary;
}

// ---- passcode, DeviceCommunicationControl, ReinitializeDevice ----

uint32_t appCheckPasscode(const CharString *passcode) {
    return programLogin(textOf(passcode)) == 200 ? 0 : kPasswordFailure;
}

uint32_t appDeviceCommunicationControl(int32_t, uint8_t state, uint32_t durationMs, const CharString *passcode) {
    if (passcode == nullptr) {
        programLog(1, "Invalid login attempt for DeviceCommunicationControl (no passcode).");
        return kPasswordFailure;
    }
    if (appCheckPasscode(passcode) != 0) {
        programLog(1, "Invalid login attempt for DeviceCommunicationControl (wrong passcode).");
        return kPasswordFailure;
    }
    const std::string minutes = std::to_string(durationMs / 60000);
    switch (state) {
        case kDccEnable:
            programLog(6, "Rec'd a DCC request to enable comm with a valid passcode.");
            break;
        case kDccDisable:
            programLog(6, "Rec'd a DCC request to disable comm with a valid passcode. Disabling comms for " +
                              minutes + " minutes.");
            break;
        case kDccDisableInitiation:
            programLog(6,
                       "Rec'd a DCC request to disable initiation of comms with a valid passcode. Disabling "
                       "initiation of comms for " +
                           minutes + " minutes.");
            break;
        default:
            break;
    }
    return 0;
}

uint32_t appReinitializeDevice(int32_t, uint32_t state, const CharString *passcode) {
    if (passcode == nullptr) {
        programLog(1, "Invalid login attempt for ReinitializeDevice (no passcode).");
        return kPasswordFailure;
    }
    if (appCheckPasscode(passcode) != 0) {
        programLog(1, "Invalid login attempt for ReinitializeDevice (wrong passcode).");
        return kPasswordFailure;
    }
    if (state == kReinitializeWarmstart) {
        programLog(1, "Warm boot requested for root device, restarting.");
        programRequestRestart();
        return 0;
    }
    if (state == kReinitializeColdstart) {
        programLog(1, "Cold boot requested for root device, just logging it.");
        return 0;
    }
    return kServiceRequestDenied;
}

// ---- Who-Has ----

void appWhoHas(int32_t device, uint16_t network, bool byName, const CharString *name, uint32_t objectId) {
    if (byName) {
        appWhoHasName(device, network, name);
    } else {
        appWhoHasId(device, network, objectId);
    }
}
