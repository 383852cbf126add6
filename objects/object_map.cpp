#include "objects/object_map.h"

ObjectMap deviceObjectMap;

bool objectMapAdd(ObjectMap &map, BACnetObject *object) {
    if (object != nullptr) {
        map.emplace(object->getObjectIdentifier(), object);
    }
    return true;
}

BACnetObject *objectMapFind(const ObjectMap &map, uint32_t instance, uint16_t type) {
    // A wider instance would carry into the type bits and find another object.
    if (instance > kNoInstance || type > 0x3FF) {
        return nullptr;
    }
    return objectMapFindId(map, objectIdMake(type, instance));
}

BACnetObject *objectMapFindId(const ObjectMap &map, uint32_t objectId) {
    const auto it = map.find(objectId);
    return it == map.end() ? nullptr : it->second;
}

BACnetObject *objectMapFindName(const ObjectMap &map, const std::string &name) {
    for (const auto &[id, object] : map) {
        if (object != nullptr && object->getObjectName() == name) {
            return object;
        }
    }
    return nullptr;
}
