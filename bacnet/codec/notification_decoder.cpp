// The parameters of an EventNotification, read back into the records the
// event services encode them from: an event-log record holds them for each
// notification it logged.

#include "bacnet/event_notification.h"

#include <cstring>

#include "bacnet/app_memory.h"
#include "bacnet/enums.h"
#include "bacnet/property_decoder.h"
#include "reader.h"

using namespace codec;

namespace {

// The tags of the parameters, in the order they come.
enum : uint8_t {
    kTagProcessId = 0,
    kTagInitiatingDevice = 1,
    kTagEventObject = 2,
    kTagTimeStamp = 3,
    kTagNotificationClass = 4,
    kTagPriority = 5,
    kTagEventType = 6,
    kTagMessageText = 7,
    kTagNotifyType = 8,
    kTagAckRequired = 9,
    kTagFromState = 10,
    kTagToState = 11,
    kTagEventValues = 12,
};

// A status-flags bit string: its data octet, the flags from the top.
PackedError statusFlags(Reader &r, uint8_t n, uint8_t *flags) {
    uint16_t bits = 0;
    return ctxBits(r, n, flags, 1, &bits);
}

PackedError timeStamp(Reader &r, BACnetTimeStamp *t) {
    TagHeader h;
    if (!peek(r, &h)) {
        return kRejectInvalidTag;
    }
    if (atCtx(r, kTimeStampSequenceNumber)) {
        t->choice = kTimeStampSequenceNumber;
        return ctxU16(r, kTimeStampSequenceNumber, &t->sequenceNumber);
    }
    if (atOpening(r, kTimeStampDateTime)) {
        t->choice = kTimeStampDateTime;
        CODEC_TRY(open(r, kTimeStampDateTime));
        CODEC_TRY(appDate(r, &t->date));
        CODEC_TRY(appTime(r, &t->time));
        return close(r, kTimeStampDateTime);
    }
    if (atCtx(r, kTimeStampTime)) {
        // The time in its application form with the tag octet made context 0.
        if (h.length != 4 || r.left() < h.headerSize + 4u) {
            return kRejectInvalidTag;
        }
        t->choice = kTimeStampTime;
        std::memcpy(&t->time, r.p + h.headerSize, 4);
        r.p += h.headerSize + 4;
        return 0;
    }
    return kRejectInvalidParameterDataType;
}

// The event types whose values this decoder reads.
bool eventTypeKnown(uint16_t type) {
    switch (type) {
        case kEventChangeOfBitstring:
        case kEventChangeOfState:
        case kEventChangeOfValue:
        case kEventCommandFailure:
        case kEventFloatingLimit:
        case kEventOutOfRange:
        case kEventComplexEventType:
        case kEventChangeOfLifeSafety:
        case kEventBufferReady:
        case kEventUnsignedRange:
            return true;
        default:
            return false;
    }
}

// A command-failure value: unsigned, or enumerated for a binary output.
PackedError commandValue(Reader &r, uint8_t n, uint32_t *v) {
    CODEC_TRY(open(r, n));
    if (atApp(r, kTagEnumerated)) {
        CODEC_TRY(appEnum(r, v));
    } else {
        CODEC_TRY(appU(r, v));
    }
    return close(r, n);
}

// The three values and the status flags of out-of-range and floating-limit.
PackedError realRange(Reader &r, float *first, uint8_t *flags, float *second, float *third) {
    CODEC_TRY(ctxReal(r, 0, first));
    CODEC_TRY(statusFlags(r, 1, flags));
    CODEC_TRY(ctxReal(r, 2, second));
    return ctxReal(r, 3, third);
}

// The entries of a complex event, until the closing tag of its event type;
// the block grows as they come.
PackedError complexEntries(Reader &r, ComplexEventValues *x) {
    uint32_t room = 0;
    while (!atClosing(r, kEventComplexEventType)) {
        if (r.left() == 0) {
            return kRejectInvalidTag;
        }
        if (x->count == 0xFFFF) {
            return kErrorOutOfMemory;
        }
        if (x->count == room) {
            const uint32_t grown = room == 0 ? 4 : room * 2;
            auto *block = static_cast<ComplexEventEntry *>(appCalloc(grown * sizeof(ComplexEventEntry)));
            if (block == nullptr) {
                return kErrorOutOfMemory;
            }
            if (x->count > 0) {
                std::memcpy(block, x->entries, x->count * sizeof(ComplexEventEntry));
            }
            appFree(x->entries);
            x->entries = block;
            room = grown;
        }
        ComplexEventEntry &e = x->entries[x->count];
        CODEC_TRY(ctxU(r, 0, &e.propertyId));
        CODEC_TRY(optIndex(r, 1, &e.arrayIndex));
        CODEC_TRY(open(r, 2));
        TagHeader h;
        if (!peek(r, &h) || h.context) {
            return kRejectInvalidTag;
        }
        CODEC_TRY(appPrimitive(r, &e.value));
        // Counted before anything else can fail, so its blocks are released.
        ++x->count;
        CODEC_TRY(close(r, 2));
        if (atCtx(r, 3)) {
            CODEC_TRY(ctxU8(r, 3, &e.value.priority));
        }
    }
    return 0;
}

PackedError eventValues(Reader &r, const EventNotificationData &d, EventValues *v) {
    const auto type = static_cast<uint8_t>(d.eventType);
    CODEC_TRY(open(r, type));
    switch (d.eventType) {
        case kEventChangeOfBitstring: {
            auto &x = v->changeOfBitstring;
            CODEC_TRY(ctxBits(r, 0, x.bits, sizeof x.bits, &x.bitCount));
            CODEC_TRY(statusFlags(r, 1, &x.statusFlags));
            break;
        }
        case kEventChangeOfState: {
            auto &x = v->changeOfState;
            CODEC_TRY(open(r, 0));
            // The property state: its choice is the context tag number.
            TagHeader h;
            if (!peek(r, &h) || !h.context || h.opening || h.closing) {
                return kRejectInvalidTag;
            }
            x.choice = h.number;
            CODEC_TRY(ctxU(r, h.number, &x.stateValue));
            CODEC_TRY(close(r, 0));
            CODEC_TRY(statusFlags(r, 1, &x.statusFlags));
            break;
        }
        case kEventChangeOfValue: {
            auto &x = v->changeOfValue;
            CODEC_TRY(open(r, 0));
            if (atCtx(r, 1)) {
                x.choice = 1;
                CODEC_TRY(ctxReal(r, 1, &x.changedValue));
            } else {
                x.choice = 0;
                CODEC_TRY(ctxBits(r, 0, x.bits, sizeof x.bits, &x.bitCount));
            }
            CODEC_TRY(close(r, 0));
            CODEC_TRY(statusFlags(r, 1, &x.statusFlags));
            break;
        }
        case kEventCommandFailure: {
            auto &x = v->commandFailure;
            CODEC_TRY(commandValue(r, 0, &x.commandValue));
            CODEC_TRY(statusFlags(r, 1, &x.statusFlags));
            CODEC_TRY(commandValue(r, 2, &x.feedbackValue));
            break;
        }
        case kEventFloatingLimit: {
            auto &x = v->floatingLimit;
            CODEC_TRY(realRange(r, &x.referenceValue, &x.statusFlags, &x.setpointValue, &x.errorLimit));
            break;
        }
        case kEventOutOfRange: {
            auto &x = v->outOfRange;
            CODEC_TRY(realRange(r, &x.exceedingValue, &x.statusFlags, &x.deadband, &x.exceededLimit));
            break;
        }
        case kEventComplexEventType:
            CODEC_TRY(complexEntries(r, &v->complexEvent));
            break;
        case kEventChangeOfLifeSafety: {
            auto &x = v->changeOfLifeSafety;
            CODEC_TRY(ctxU(r, 0, &x.newState));
            CODEC_TRY(ctxU(r, 1, &x.newMode));
            CODEC_TRY(statusFlags(r, 2, &x.statusFlags));
            CODEC_TRY(ctxU(r, 3, &x.operationExpected));
            break;
        }
        case kEventBufferReady: {
            auto &x = v->bufferReady;
            CODEC_TRY(open(r, 0));
            CODEC_TRY(ctxOid(r, 0, &x.objectId));
            CODEC_TRY(ctxU(r, 1, &x.propertyId));
            CODEC_TRY(optIndex(r, 2, &x.arrayIndex));
            CODEC_TRY(optOid(r, 3, &x.deviceId));
            CODEC_TRY(close(r, 0));
            CODEC_TRY(ctxU(r, 1, &x.previousNotification));
            CODEC_TRY(ctxU(r, 2, &x.currentNotification));
            break;
        }
        case kEventUnsignedRange: {
            auto &x = v->unsignedRange;
            CODEC_TRY(ctxU(r, 0, &x.exceedingValue));
            CODEC_TRY(statusFlags(r, 1, &x.statusFlags));
            CODEC_TRY(ctxU(r, 2, &x.exceededLimit));
            break;
        }
        default:
            return kRejectInvalidParameterDataType;
    }
    return close(r, type);
}

PackedError messageText(Reader &r, CharString *text) {
    const uint32_t room = text == nullptr ? 0 : text->length;
    if (text != nullptr) {
        text->length = 0;
    }
    if (!atCtx(r, kTagMessageText)) {
        return 0;
    }
    // Without a record the characters are skipped: the header takes none.
    CharString skipped{};
    CharString *into = text == nullptr ? &skipped : text;
    if (!tagDecodeCharString(&r.p, r.end, into, room)) {
        return kRejectInvalidTag;
    }
    // A longer text is cut to the room the caller gave.
    if (into->length > room) {
        into->length = room;
    }
    return 0;
}

PackedError parameters(Reader &r, EventNotificationData *d, EventValues *v, CharString *text) {
    CODEC_TRY(ctxU(r, kTagProcessId, &d->processId));
    uint32_t device = 0;
    CODEC_TRY(ctxOid(r, kTagInitiatingDevice, &device));
    d->initiatingDevice = objectIdInstance(device);
    CODEC_TRY(ctxOid(r, kTagEventObject, &d->eventObject));
    CODEC_TRY(open(r, kTagTimeStamp));
    CODEC_TRY(timeStamp(r, &d->timeStamp));
    CODEC_TRY(close(r, kTagTimeStamp));
    CODEC_TRY(ctxU(r, kTagNotificationClass, &d->notificationClass));
    CODEC_TRY(ctxU8(r, kTagPriority, &d->priority));
    CODEC_TRY(ctxU16(r, kTagEventType, &d->eventType));
    if (!eventTypeKnown(d->eventType)) {
        return kRejectInvalidParameterDataType;
    }
    CODEC_TRY(messageText(r, text));
    CODEC_TRY(ctxU8(r, kTagNotifyType, &d->notifyType));
    if (d->notifyType == kNotifyAckNotification) {
        return ctxU16(r, kTagToState, &d->toState);
    }
    if (d->notifyType != kNotifyAlarm && d->notifyType != kNotifyEvent) {
        return kErrorValueOutOfRange;
    }
    CODEC_TRY(ctxU8(r, kTagAckRequired, &d->ackRequired));
    CODEC_TRY(ctxU16(r, kTagFromState, &d->fromState));
    CODEC_TRY(ctxU16(r, kTagToState, &d->toState));
    CODEC_TRY(open(r, kTagEventValues));
    CODEC_TRY(eventValues(r, *d, v));
    return close(r, kTagEventValues);
}

}  // namespace

PackedError propDecodeNotificationParameters(const uint8_t **cursor, const uint8_t *end,
                                             EventNotificationData *data, EventValues *values, CharString *text) {
    std::memset(data, 0, sizeof *data);
    std::memset(values, 0, sizeof *values);
    Reader r{*cursor, end};
    const PackedError e = parameters(r, data, values, text);
    if (e != 0) {
        propReleaseNotificationValues(data, values);
        return e;
    }
    *cursor = r.p;
    return 0;
}

void propReleaseNotificationValues(const EventNotificationData *data, EventValues *values) {
    if (data->eventType != kEventComplexEventType) {
        return;
    }
    ComplexEventValues &x = values->complexEvent;
    for (uint16_t i = 0; x.entries != nullptr && i < x.count; ++i) {
        propFreeValue(&x.entries[i].value);
    }
    appFree(x.entries);
    x.entries = nullptr;
    x.count = 0;
}
