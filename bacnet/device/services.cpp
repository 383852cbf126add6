// The device-level services: the object-list walk, and the services whose
// answers come with the next part of the application, refused until then.

#include "bacnet/enums.h"
#include "bacnet/stack/apdu.h"
#include "bacnet/stack/app.h"
#include "device/application.h"
#include "device/object_sets.h"
#include "runtime/config.h"

namespace {

constexpr uint32_t kServiceRequestDenied = errMake(kErrorClassServices, kErrorCodeServiceRequestDenied);

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

}  // namespace

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

int32_t appCountCovSubscriptions(int32_t) {
    return 0;
}

uint32_t appGetCovSubscription(int32_t, PropertyValue *) {
    return 0;
}

uint32_t appSubscribeCov(int32_t, const CovSubscriber *) {
    return kServiceRequestDenied;
}

EventSummary *appGetEventInformation(int32_t, uint32_t, int32_t, bool *moreEvents) {
    *moreEvents = false;
    return nullptr;
}

uint32_t appDeviceCommunicationControl(int32_t, uint8_t, uint32_t, const CharString *) {
    return kServiceRequestDenied;
}

uint32_t appReinitializeDevice(int32_t, uint32_t, const CharString *) {
    return kServiceRequestDenied;
}

void appWhoHas(int32_t, uint16_t, bool, const CharString *, uint32_t) {}
