#pragma once
// The index of one device's objects by object identifier. Maps never own
// their objects; they change only while the threads that walk them are
// stopped, and are read without a lock.

#include <cstdint>
#include <map>
#include <string>

#include "objects/bacnet_object.h"

using ObjectMap = std::map<uint32_t, BACnetObject *>;

// The root device's objects.
extern ObjectMap deviceObjectMap;

// Inserts under the object's identifier; an identifier already present
// keeps its object. True either way.
bool objectMapAdd(ObjectMap &map, BACnetObject *object);
// null for an instance beyond 22 bits.
BACnetObject *objectMapFind(const ObjectMap &map, uint32_t instance, uint16_t type);
BACnetObject *objectMapFindId(const ObjectMap &map, uint32_t objectId);
// The first object in identifier order whose name is exactly the text.
BACnetObject *objectMapFindName(const ObjectMap &map, const std::string &name);
