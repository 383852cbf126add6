// The class rows of the notification-class, multi-state-value and
// binary-value handlers.
//
// A write that holds several elements (the whole priority array, the
// recipient list) checks every element before it changes anything, and
// the recipient list is replaced whole under the class's own lock, so the
// event thread never sends to a half-written list and a refused write
// leaves the class as it was.

#include <cstdlib>
#include <vector>

#include "bacnet/enums.h"
#include "bacnet/stack/apdu.h"
#include "bacnet/stack/tsm.h"
#include "handler_frame.h"
#include "objects/binary_value.h"
#include "objects/multi_state_value.h"
#include "objects/notification_class.h"

namespace handler {
namespace {

constexpr uint8_t kUnspecified = 255;

// ---- notification class ----

// The class keeps its ack-required flags as bits 0 to-offnormal, 1
// to-fault, 2 to-normal; the bit string has the first in the top bit.
uint8_t ackRequiredBits(uint8_t flags) {
    return static_cast<uint8_t>(((flags & 0x01) != 0 ? 0x80 : 0) | ((flags & 0x02) != 0 ? 0x40 : 0) |
                                ((flags & 0x04) != 0 ? 0x20 : 0));
}

uint32_t readPriority(const NotificationClass &nc, uint32_t index, PropertyValue *v) {
    if (index == 0) {
        setScalar(v, kDtUnsigned, 3);
        return 0;
    }
    if (index >= 1 && index <= 3) {
        setScalar(v, kDtUnsigned, nc.getPriority(index - 1));
        return 0;
    }
    if (index != kNoArrayIndex) {
        return kErrInvalidArrayIndex;
    }
    auto *block = static_cast<uint32_t *>(std::calloc(3, sizeof(uint32_t)));
    if (block == nullptr) {
        return kErrorOutOfMemory;
    }
    block[0] = nc.getToOffnormalPriority();
    block[1] = nc.getToFaultPriority();
    block[2] = nc.getToNormalPriority();
    setOwned(v, kDtUnsigned, 3, block);
    return 0;
}

uint32_t writePriority(NotificationClass &nc, uint32_t index, const PropertyValue *v) {
    std::vector<uint32_t> values;
    if (!unsignedElements(v, &values)) {
        return kErrorInvalidDataType;
    }
    if (index == 0) {
        return kErrWriteAccessDenied;
    }
    if (index >= 1 && index <= 3) {
        if (values.size() != 1) {
            return kErrorInvalidDataType;
        }
        return nc.setPriority(values[0], index - 1);
    }
    if (index != kNoArrayIndex || values.size() != 3) {
        return kErrInvalidArrayIndex;
    }
    for (uint32_t p : values) {
        if (p > 255) {
            return kErrorValueOutOfRange;
        }
    }
    for (uint32_t i = 0; i < 3; ++i) {
        nc.setPriority(values[i], i);
    }
    return 0;
}

uint32_t readRecipients(const NotificationClass &nc, PropertyValue *v) {
    const std::vector<BACnetDestination> list = nc.getRecipients();
    if (list.empty()) {
        v->datatype = kDtEmptyList;
        v->count = 0;
        v->ownsValue = 0;
        v->value.block = nullptr;
        return 0;
    }
    auto *block = static_cast<BACnetDestination *>(std::calloc(list.size(), sizeof(BACnetDestination)));
    if (block == nullptr) {
        return kErrorOutOfMemory;
    }
    for (size_t i = 0; i < list.size(); ++i) {
        block[i] = list[i];
    }
    setOwned(v, kDtDestination, static_cast<uint16_t>(list.size()), block);
    return 0;
}

bool unspecified(const BACnetTime &t) {
    return t.hour == kUnspecified || t.minute == kUnspecified || t.second == kUnspecified ||
           t.hundredths == kUnspecified;
}

uint32_t writeRecipients(NotificationClass &nc, const PropertyValue *v) {
    if (v->datatype != kDtDestination) {
        return kErrorInvalidDataType;
    }
    if (v->count > NotificationClass::kMaxRecipients) {
        return kErrorNoSpaceToAddListElement;
    }
    const auto *given = static_cast<const BACnetDestination *>(v->value.block);
    // A value with a block but no count holds one destination.
    const size_t n = given == nullptr ? 0 : (v->count == 0 ? 1 : v->count);
    std::vector<BACnetDestination> list;
    for (size_t i = 0; i < n; ++i) {
        const BACnetDestination &d = given[i];
        if (unspecified(d.from) || unspecified(d.to)) {
            return kErrorValueOutOfRange;
        }
        if (d.recipient.choice == kRecipientDevice && objectIdType(d.recipient.device) != kObjDevice) {
            return kErrorValueOutOfRange;
        }
        list.push_back(d);
    }
    if (!nc.replaceRecipients(list)) {
        return kErrorNoSpaceToAddListElement;
    }
    // A recipient device the stack has no address for yet is entered as
    // pending, which has the stack send one Who-Is for it at its next step;
    // a Who-Is of our own beside it would ask twice.
    for (const BACnetDestination &d : list) {
        const uint32_t instance = objectIdInstance(d.recipient.device);
        if (d.recipient.choice == kRecipientDevice && instance != kMaxInstance) {
            bindingFind(instance);
        }
    }
    return 0;
}

// ---- multi-state value ----

uint32_t readStateText(const MultiStateValue &msv, uint32_t index, PropertyValue *v) {
    const uint32_t n = msv.getNumberOfStates();
    if (index == 0) {
        setScalar(v, kDtUnsigned, n);
        return 0;
    }
    if (index >= 1 && index <= n) {
        const uint32_t e = readText(v, msv.getStateText(static_cast<uint8_t>(index)));
        v->count = 1;
        return e;
    }
    if (index != kNoArrayIndex) {
        return kErrInvalidArrayIndex;
    }
    if (n == 0) {
        const uint32_t e = readText(v, "");
        v->count = 1;
        return e;
    }
    std::vector<std::string> texts;
    for (uint32_t i = 1; i <= n; ++i) {
        texts.push_back(msv.getStateText(static_cast<uint8_t>(i)));
    }
    return readPacked(v, texts);
}

}  // namespace

uint32_t notificationClassRows(Access &a) {
    auto &nc = static_cast<NotificationClass &>(a.object);
    switch (a.property) {
        case kPropNotificationClass:
            if (!a.reading()) {
                return kErrWriteAccessDenied;
            }
            setScalar(a.value, kDtUnsigned, nc.getClassNumber());
            return 0;
        case kPropAckRequired:
            if (!a.reading()) {
                return kErrWriteAccessDenied;
            }
            setBits(a.value, ackRequiredBits(nc.getAckRequired()), 3);
            return 0;
        case kPropPriority:
            return a.reading() ? readPriority(nc, a.index, a.value) : writePriority(nc, a.index, a.value);
        case kPropRecipientList:
            return a.reading() ? readRecipients(nc, a.value) : writeRecipients(nc, a.value);
        default:
            return kNotOwnRow;
    }
}

uint32_t multiStateValueRows(Access &a) {
    auto &msv = static_cast<MultiStateValue &>(a.object);
    switch (a.property) {
        case kPropNumberOfStates:
            if (!a.reading()) {
                return kErrWriteAccessDenied;
            }
            setScalar(a.value, kDtUnsigned, msv.getNumberOfStates());
            return 0;
        case kPropPresentValue:
            if (a.reading()) {
                setScalar(a.value, kDtUnsigned, msv.getPresentValue());
                return 0;
            }
            if (!msv.isOutOfService()) {
                return kErrWriteAccessDenied;
            }
            if (a.value->datatype != kDtUnsigned) {
                return kErrorInvalidDataType;
            }
            // The state file keeps no present value.
            a.save = false;
            return msv.writePresentValue(a.value->value.u);
        case kPropStateText:
            if (!a.reading()) {
                return kErrWriteAccessDenied;
            }
            return readStateText(msv, a.index, a.value);
        default:
            return kNotOwnRow;
    }
}

uint32_t binaryValueRows(Access &a) {
    auto &bv = static_cast<BinaryValue &>(a.object);
    switch (a.property) {
        case kPropActiveText:
        case kPropInactiveText:
            if (!a.reading()) {
                return kErrWriteAccessDenied;
            }
            return readText(a.value, a.property == kPropActiveText ? bv.getActiveText() : bv.getInactiveText());
        case kPropPresentValue:
            if (a.reading()) {
                setScalar(a.value, kDtEnumerated, bv.getPresentValue());
                return 0;
            }
            if (!bv.isOutOfService()) {
                return kErrWriteAccessDenied;
            }
            if (a.value->datatype != kDtEnumerated) {
                return kErrorInvalidDataType;
            }
            if (a.value->value.u > 1) {
                return kErrorValueOutOfRange;
            }
            bv.setPresentValue(a.value->value.u);
            return 0;
        default:
            return kNotOwnRow;
    }
}

void multiStateOutOfServiceChanged(BACnetObject &object) {
    static_cast<MultiStateValue &>(object).onOutOfServiceChange();
}

void binaryOutOfServiceChanged(BACnetObject &object) {
    static_cast<BinaryValue &>(object).onOutOfServiceChange();
}

}  // namespace handler
