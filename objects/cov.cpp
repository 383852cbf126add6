#include "objects/bacnet_object.h"
#include "device/program_services.h"

#include <cstring>

namespace {

using Lock = std::lock_guard<std::mutex>;

constexpr size_t kMaxSubscriptions = 2;

bool sameOctets(uint8_t lengthA, const uint8_t *a, uint8_t lengthB, const uint8_t *b) {
    if (lengthA != lengthB) {
        return false;
    }
    const size_t n = lengthA < 8 ? lengthA : 8;
    return std::memcmp(a, b, n) == 0;
}

bool matches(const CovSubscriber &held, const CovSubscriber &request) {
    return held.processId == request.processId && held.monitoredObject == request.monitoredObject &&
           BACnetObject::isSameSubscriber(held.subscriber, request.subscriber);
}

}  // namespace

bool BACnetObject::isSameSubscriber(const BACnetAddress &a, const BACnetAddress &b) {
    return a.network == b.network && a.destinationNetwork == b.destinationNetwork && a.maxApdu == b.maxApdu &&
           a.maxSegments == b.maxSegments && a.port == b.port &&
           sameOctets(a.macLength, a.mac, b.macLength, b.mac) &&
           sameOctets(a.remoteLength, a.remoteAddress, b.remoteLength, b.remoteAddress) &&
           sameOctets(a.virtualLength, a.virtualAddress, b.virtualLength, b.virtualAddress) &&
           a.segmentedResponseAccepted == b.segmentedResponseAccepted;
}

PackedError BACnetObject::subscribeCov(const CovSubscriber &request) {
    Lock lock(covMutex);
    for (auto it = covSubscriptions.begin(); it != covSubscriptions.end(); ++it) {
        const CovSubscriber held = it->getSubscriber();
        if (request.cancel) {
            if (matches(held, request)) {
                covSubscriptions.erase(it);
                covCount.store(static_cast<uint32_t>(covSubscriptions.size()));
                return kErrorNone;
            }
            continue;
        }
        if (it->getRemainingLifetime() == 0 || !matches(held, request)) {
            continue;
        }
        const PackedError result = it->setLifetime(request.lifetime);
        if (result != kErrorNone) {
            covSubscriptions.erase(it);
            covCount.store(static_cast<uint32_t>(covSubscriptions.size()));
            return result;
        }
        CovSubscriber renewed = held;
        renewed.issueConfirmed = request.issueConfirmed;
        it->setSubscriber(&renewed);
        it->setNotifyPending(true);
        return kErrorNone;
    }
    if (request.cancel) {
        return kErrorNone;
    }
    // One rule for new and renewed subscriptions: 0 (indefinite) would be
    // dropped at the next tick and a long one would wrap the millisecond count.
    COVSubscription subscription;
    const PackedError lifetime = subscription.setLifetime(request.lifetime);
    if (lifetime != kErrorNone) {
        return lifetime;
    }
    if (covSubscriptions.size() >= kMaxSubscriptions) {
        return kErrorNoSpaceToAddListElement;
    }
    programLog(6, "Adding a new COV Subscription for objid " + std::to_string(request.monitoredObject));
    CovSubscriber record = request;
    // The values belong to the request; the object fills its own when it sends.
    record.valueCount = 0;
    record.values = nullptr;
    subscription.setSubscriber(&record);
    subscription.setNotifyPending(true);
    covSubscriptions.push_front(subscription);
    covCount.store(static_cast<uint32_t>(covSubscriptions.size()));
    return kErrorNone;
}

std::vector<COVSubscription> BACnetObject::copyCovSubscriptions() const {
    Lock lock(covMutex);
    return {covSubscriptions.begin(), covSubscriptions.end()};
}

void BACnetObject::clearCovSubscriptions() {
    Lock lock(covMutex);
    covSubscriptions.clear();
    covCount.store(0);
}

uint16_t BACnetObject::covValues(CovPropertyValue *) {
    return 0;
}

void BACnetObject::covSent(int) {}

void BACnetObject::sendCov(int32_t device, COVSubscription &subscription) {
    CovPropertyValue values[kMaxCovValues]{};
    CovSubscriber subscriber = subscription.getSubscriber();
    subscriber.lifetime = subscription.getRemainingLifetime() / 1000;
    subscriber.valueCount = covValues(values);
    subscriber.values = values;
    covSent(svcSendCovNotification(device, &subscriber));
    subscription.setNotifyPending(false);
}

void BACnetObject::notifyCovSubscribers() {
    const int32_t device = getSendingDevice();
    Lock lock(covMutex);
    for (COVSubscription &subscription : covSubscriptions) {
        if (subscription.getRemainingLifetime() > 0) {
            sendCov(device, subscription);
        }
    }
}

void BACnetObject::serveCovSubscriptions(int elapsedMs) {
    const uint32_t elapsed = elapsedMs > 0 ? static_cast<uint32_t>(elapsedMs) : 0;
    const int32_t device = getSendingDevice();
    Lock lock(covMutex);
    for (auto it = covSubscriptions.begin(); it != covSubscriptions.end(); ++it) {
        if (it->isNotifyPending()) {
            sendCov(device, *it);
        }
        const uint32_t remaining = it->getRemainingLifetime();
        it->setRemainingLifetime(remaining > elapsed ? remaining - elapsed : 0);
        if (it->getRemainingLifetime() == 0) {
            covSubscriptions.erase(it);
            covCount.store(static_cast<uint32_t>(covSubscriptions.size()));
            break;
        }
    }
}
