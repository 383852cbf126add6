#include "bacnet/property_value.h"

#include "bacnet/app_memory.h"

#include <cstring>

uint32_t propElementSize(uint8_t datatype) {
    switch (datatype) {
        case kDtBoolean:
            return 1;
        case kDtUnsigned:
        case kDtReal:
        case kDtEnumerated:
        case kDtObjectId:
        case kDtObjectIdList:
            return 4;
        case kDtAny:
            return sizeof(PropertyValue);
        case kDtAddressBinding:
            return sizeof(BACnetAddressBinding);
        case kDtRecipient:
            return sizeof(BACnetRecipient);
        case kDtCalendarEntry:
            return sizeof(BACnetCalendarEntry);
        case kDtObjectPropertyReference:
        case kDtSetpointReference:
            return sizeof(BACnetObjectPropertyReference);
        case kDtVTSession:
            return sizeof(BACnetVTSession);
        case kDtDestination:
            return sizeof(BACnetDestination);
        case kDtSessionKey:
            return sizeof(BACnetSessionKey);
        case kDtReadAccessSpecification:
            return sizeof(ReadAccessSpecification);
        case kDtDailySchedule:
            return sizeof(BACnetDailySchedule);
        case kDtSpecialEvent:
            return sizeof(BACnetSpecialEvent);
        case kDtDeviceObjectReference:
            return sizeof(BACnetDeviceObjectReference);
        case kDtDeviceObjectPropertyReference:
            return sizeof(BACnetDeviceObjectPropertyReference);
        case kDtTimeStamp:
            return sizeof(BACnetTimeStamp);
        case kDtActionList:
            return sizeof(BACnetActionList);
        case kDtEventParameter:
            return sizeof(BACnetEventParameter);
        case kDtReadAccessResult:
            return sizeof(ReadAccessResult);
        case kDtCOVSubscription:
            return sizeof(BACnetCOVSubscription);
        case kDtLogRecord:
            return sizeof(BACnetLogRecord);
        case kDtAccumulatorRecord:
            return sizeof(BACnetAccumulatorRecord);
        case kDtScale:
            return sizeof(BACnetScale);
        case kDtPrescale:
            return sizeof(BACnetPrescale);
        case kDtShedLevel:
            return sizeof(BACnetShedLevel);
        case kDtEventLogRecord:
            return sizeof(BACnetEventLogRecord);
        case kDtLogMultipleRecord:
            return sizeof(BACnetLogMultipleRecord);
        case kDtAuthenticationPolicy:
            return sizeof(BACnetAuthenticationPolicy);
        case kDtAccessRule:
            return sizeof(BACnetAccessRule);
        case kDtAssignedAccessRights:
            return sizeof(BACnetAssignedAccessRights);
        case kDtAuthenticationFactor:
            return sizeof(BACnetAuthenticationFactor);
        case kDtAuthenticationFactorFormat:
            return sizeof(BACnetAuthenticationFactorFormat);
        case kDtCredentialAuthenticationFactor:
            return sizeof(BACnetCredentialAuthenticationFactor);
        case kDtPropertyAccessResult:
            return sizeof(BACnetPropertyAccessResult);
        case kDtNetworkSecurityPolicy:
            return sizeof(BACnetNetworkSecurityPolicy);
        case kDtSecurityKeySet:
            return sizeof(BACnetSecurityKeySet);
        case kDtFaultParameter:
            return sizeof(BACnetFaultParameter);
        case kDtEventNotificationSubscription:
            return sizeof(BACnetEventNotificationSubscription);
        case kDtPortPermission:
            return sizeof(BACnetPortPermission);
        case kDtLightingCommand:
            return sizeof(BACnetLightingCommand);
        case kDtChannelValue:
            return sizeof(BACnetChannelValue);
        default:
            return 0;
    }
}

PackedError tagDecodeApplicationValue(const uint8_t **cursor, PropertyValue *out, uint32_t available) {
    out->count = 0;
    out->ownsValue = 0;
    if (cursor == nullptr || *cursor == nullptr) {
        return kRejectInvalidTag;
    }
    const uint8_t *p = *cursor;
    const uint8_t *end = p + available;
    TagHeader h;
    if (!tagDecodeHeader(p, end, &h) || h.context || h.lvt > 5) {
        return kRejectInvalidTag;
    }
    if (h.number > 12) {
        return kErrorInvalidDataType;
    }
    const uint8_t *v = p + h.headerSize;
    const uint8_t tag = p[0];
    switch (h.number) {
        case kDtNull:
            if (tag != 0x00) {
                return kRejectInvalidTag;
            }
            break;
        case kDtBoolean:
            if (tag != 0x10 && tag != 0x11) {
                return kRejectInvalidTag;
            }
            out->value.u = tag & 1u;
            break;
        case kDtUnsigned:
        case kDtSigned:
        case kDtEnumerated: {
            if (h.length > 4) {
                return kErrorValueOutOfRange;
            }
            uint32_t raw = 0;
            const uint8_t *c = p;
            if (!tagDecodeInteger(&c, end, h.number == kDtSigned, &raw)) {
                return kRejectInvalidTag;
            }
            out->value.u = raw;
            break;
        }
        case kDtReal:
            if (tag != 0x44) {
                return kRejectInvalidTag;
            }
            {
                const uint8_t *c = p;
                tagDecodeReal(&c, end, &out->value.f);
            }
            break;
        case kDtDouble:
            if (tag != 0x55 || h.length != 8 || h.headerSize != 2) {
                return kRejectInvalidTag;
            }
            {
                const uint8_t *c = p;
                tagDecodeDouble(&c, end, &out->value.d);
            }
            break;
        case kDtOctetString:
            out->length = static_cast<uint16_t>(h.length);
            out->value.block = nullptr;
            if (h.length > 0) {
                auto *block = static_cast<uint8_t *>(appCalloc(h.length));
                if (block == nullptr) {
                    out->datatype = kDtOctetString;
                    *cursor = v + h.length;
                    return kErrorOutOfMemory;
                }
                std::memcpy(block, v, h.length);
                out->value.block = block;
                out->ownsValue = 1;
            }
            break;
        case kDtCharString: {
            uint32_t characters = 0;
            if (!tagCharStringLength(p, end, &characters)) {
                return kRejectInvalidTag;
            }
            auto *str = static_cast<CharString *>(appCalloc(characters + sizeof(CharString)));
            if (str == nullptr) {
                out->datatype = kDtCharString;
                out->value.block = nullptr;
                *cursor = v + h.length;
                return kErrorOutOfMemory;
            }
            const uint8_t *c = p;
            tagDecodeCharString(&c, end, str, characters);
            out->value.block = str;
            out->ownsValue = 1;
            break;
        }
        case kDtBitString: {
            if (h.length == 0 || v[0] > 7 || (h.length == 1 && v[0] != 0) ||
                (h.length - 1) * 8 - v[0] > 0xFFFF) {
                return kRejectInvalidTag;
            }
            const uint32_t octets = h.length - 1;
            out->length = static_cast<uint16_t>(octets * 8 - v[0]);
            if (h.length <= 8) {
                std::memset(out->value.octets, 0, sizeof out->value.octets);
                std::memcpy(out->value.octets, v + 1, octets);
            } else {
                auto *block = static_cast<uint8_t *>(appCalloc(octets));
                if (block == nullptr) {
                    out->datatype = kDtBitString;
                    out->value.block = nullptr;
                    *cursor = v + h.length;
                    return kErrorOutOfMemory;
                }
                std::memcpy(block, v + 1, octets);
                out->value.block = block;
                out->ownsValue = 1;
            }
            break;
        }
        case kDtDate:
            if (tag != 0xA4) {
                return kRejectInvalidTag;
            }
            std::memcpy(&out->value.date, v, 4);
            break;
        case kDtTime:
            if (tag != 0xB4) {
                return kRejectInvalidTag;
            }
            std::memcpy(&out->value.time, v, 4);
            break;
        case kDtObjectId:
            if (tag != 0xC4) {
                return kRejectInvalidTag;
            }
            out->value.u = (uint32_t{v[0]} << 24) | (uint32_t{v[1]} << 16) | (uint32_t{v[2]} << 8) | v[3];
            break;
        default:
            return kErrorInvalidDataType;
    }
    out->datatype = h.number;
    *cursor = v + h.length;
    return 0;
}

void *propConcatBlocks(void *oldBlock, const void *newOctets, uint32_t oldLength, uint32_t newLength) {
    const uint64_t total = uint64_t{oldLength} + newLength;
    void *block = total <= UINT32_MAX ? appCalloc(static_cast<uint32_t>(total)) : nullptr;
    if (block != nullptr) {
        if (oldLength > 0 && oldBlock != nullptr) {
            std::memcpy(block, oldBlock, oldLength);
        }
        if (newLength > 0 && newOctets != nullptr) {
            std::memcpy(static_cast<uint8_t *>(block) + oldLength, newOctets, newLength);
        }
    }
    appFree(oldBlock);
    return block;
}

namespace {

void freeTimeValues(BACnetTimeValue *tv, uint32_t count) {
    for (uint32_t i = 0; tv != nullptr && i < count; ++i) {
        propFreeValue(&tv[i].value);
    }
    appFree(tv);
}

void freeParameters(PropertyValue *params, uint32_t count) {
    for (uint32_t i = 0; params != nullptr && i < count; ++i) {
        if (params[i].datatype == kDtDeviceObjectPropertyReference) {
            if (params[i].ownsValue) {
                appFree(params[i].value.block);
            }
            params[i].value.block = nullptr;
            params[i].ownsValue = 0;
        } else {
            propFreeValue(&params[i]);
        }
    }
    appFree(params);
}

}  // namespace

// Releases the nested blocks one element record owns and clears the flags
// and pointers that marked them, so a repeated release finds nothing.
void propFreeNested(uint8_t datatype, void *element) {
    switch (datatype) {
        case kDtAny:
            propFreeValue(static_cast<PropertyValue *>(element));
            break;
        case kDtReadAccessSpecification: {
            auto *e = static_cast<ReadAccessSpecification *>(element);
            if (e->ownsList) {
                appFree(e->references);
            }
            e->ownsList = 0;
            e->references = nullptr;
            e->referenceCount = 0;
            break;
        }
        case kDtDailySchedule: {
            auto *e = static_cast<BACnetDailySchedule *>(element);
            freeTimeValues(e->timeValues, e->timeValueCount);
            e->timeValues = nullptr;
            e->timeValueCount = 0;
            break;
        }
        case kDtSpecialEvent: {
            auto *e = static_cast<BACnetSpecialEvent *>(element);
            freeTimeValues(e->timeValues, e->timeValueCount);
            e->timeValues = nullptr;
            e->timeValueCount = 0;
            break;
        }
        case kDtActionList: {
            auto *e = static_cast<BACnetActionList *>(element);
            for (uint32_t i = 0; e->commands != nullptr && i < e->commandCount; ++i) {
                propFreeValue(&e->commands[i].value);
            }
            if (e->ownsList) {
                appFree(e->commands);
                e->commands = nullptr;
                e->commandCount = 0;
            }
            e->ownsList = 0;
            break;
        }
        case kDtEventParameter: {
            auto *e = static_cast<BACnetEventParameter *>(element);
            propFreeValue(&e->criteria);
            if (e->choice == 0 && e->list != nullptr) {
                auto *masks = static_cast<PropertyValue *>(e->list);
                for (uint32_t i = 0; i < e->listCount; ++i) {
                    propFreeValue(&masks[i]);
                }
            }
            if (e->ownsList) {
                appFree(e->list);
                e->list = nullptr;
                e->listCount = 0;
            }
            e->ownsList = 0;
            if (e->ownsList2) {
                appFree(e->list2);
                e->list2 = nullptr;
                e->list2Count = 0;
            }
            e->ownsList2 = 0;
            if (e->ownsParameters) {
                freeParameters(e->parameters, e->parameterCount);
                e->parameters = nullptr;
                e->parameterCount = 0;
            }
            e->ownsParameters = 0;
            break;
        }
        case kDtReadAccessResult: {
            auto *e = static_cast<ReadAccessResult *>(element);
            for (uint32_t i = 0; e->results != nullptr && i < e->resultCount; ++i) {
                if (e->results[i].value.datatype != kDtUnknown) {
                    propFreeValue(&e->results[i].value);
                }
            }
            if (e->ownsResults) {
                appFree(e->results);
                e->results = nullptr;
                e->resultCount = 0;
            }
            e->ownsResults = 0;
            break;
        }
        case kDtLogRecord: {
            auto *e = static_cast<BACnetLogRecord *>(element);
            if (e->datum.datatype != kDtUnknown) {
                propFreeValue(&e->datum);
            }
            break;
        }
        case kDtEventLogRecord: {
            auto *e = static_cast<BACnetEventLogRecord *>(element);
            // The notification's own text blocks are released by the event
            // services, which define the record.
            if (e->ownsNotification) {
                appFree(e->notification);
                e->notification = nullptr;
            }
            e->ownsNotification = 0;
            break;
        }
        case kDtLogMultipleRecord: {
            auto *e = static_cast<BACnetLogMultipleRecord *>(element);
            if (e->ownsEntries) {
                appFree(e->entries);
                e->entries = nullptr;
                e->entryCount = 0;
            }
            e->ownsEntries = 0;
            break;
        }
        case kDtAuthenticationPolicy: {
            auto *e = static_cast<BACnetAuthenticationPolicy *>(element);
            if (e->ownsList) {
                appFree(e->entries);
                e->entries = nullptr;
                e->entryCount = 0;
            }
            e->ownsList = 0;
            break;
        }
        case kDtAuthenticationFactor:
            propFreeValue(&static_cast<BACnetAuthenticationFactor *>(element)->value);
            break;
        case kDtCredentialAuthenticationFactor:
            propFreeValue(&static_cast<BACnetCredentialAuthenticationFactor *>(element)->value);
            break;
        case kDtPropertyAccessResult: {
            auto *e = static_cast<BACnetPropertyAccessResult *>(element);
            if (e->value.datatype != kDtUnknown) {
                propFreeValue(&e->value);
            }
            break;
        }
        case kDtSecurityKeySet: {
            auto *e = static_cast<BACnetSecurityKeySet *>(element);
            if (e->ownsKeys) {
                appFree(e->keys);
                e->keys = nullptr;
                e->keyCount = 0;
            }
            e->ownsKeys = 0;
            break;
        }
        case kDtFaultParameter: {
            auto *e = static_cast<BACnetFaultParameter *>(element);
            if (e->choice == 2 && e->list != nullptr) {
                auto *ext = static_cast<BACnetFaultExtended *>(e->list);
                freeParameters(ext->parameters, ext->parameterCount);
                ext->parameters = nullptr;
                ext->parameterCount = 0;
            }
            if (e->ownsList) {
                appFree(e->list);
                e->list = nullptr;
                e->listCount = 0;
            }
            e->ownsList = 0;
            break;
        }
        case kDtChannelValue: {
            auto *e = static_cast<BACnetChannelValue *>(element);
            if (e->ownsValue) {
                appFree(e->value.block);
                e->value.block = nullptr;
            }
            e->ownsValue = 0;
            break;
        }
        default:
            break;
    }
}

void propFreeValue(PropertyValue *value) {
    if (value == nullptr) {
        return;
    }
    const uint8_t dt = value->datatype;
    const bool isBlock = dt >= kDtAny && dt != kDtDateRange && dt != kDtDateTime &&
                         dt != kDtProcessIdSelection && dt != kDtUnknown;
    if (isBlock && value->value.block != nullptr) {
        const uint32_t size = propElementSize(dt);
        const uint32_t count = (dt == kDtEventParameter || dt == kDtFaultParameter) ? 1u : value->count;
        auto *base = static_cast<uint8_t *>(value->value.block);
        for (uint32_t i = 0; size > 0 && i < count; ++i) {
            propFreeNested(dt, base + size_t{i} * size);
        }
    }
    if (value->ownsValue) {
        appFree(value->value.block);
        value->value.block = nullptr;
    }
    value->ownsValue = 0;
}
