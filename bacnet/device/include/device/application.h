// The device application's own interface beside the functions the stack
// calls (bacnet/stack/app.h): the rule that tells the root device from a
// load's virtual device, the property tables and handlers, the Device
// object's writes, the interface-address query of the start-up and the
// texts the records carry.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "bacnet/property_value.h"
#include "bacnet/stack/app.h"

// ---- object identifiers ----
// (type << 22) + instance, neither part masked.
uint32_t appMakeObjectId(uint32_t type, uint32_t instance);
// Writes nothing when either out-pointer is null.
void appSplitObjectId(uint32_t objectId, uint16_t *type, uint32_t *instance);

// ---- devices ----
// -1 and the communication configuration's base instance name the root
// device; any other instance a load's virtual device.
bool appIsRootDevice(int32_t device);

// ---- locks ----
// The stack lock, held by the stack's steps.
extern std::mutex appStackMutex;
// Serialises the property handlers (but the pulse-converter one) and
// GetEventInformation.
extern std::mutex appPropertyMutex;

// ---- interface address ----
// The IPv4 address and broadcast address of the interface whose name
// begins with name, into bipOwnAddress and bipBroadcastAddress and the
// communication configuration. A later matching entry replaces an earlier
// one; an entry is taken whole (address, broadcast and netmask all
// readable) or not at all. False when no entry was taken.
bool appGetInterfaceAddress(const char *name);

// ---- texts ----
// The longest text a record or an object-name value carries, in octets.
inline constexpr size_t appMaxTextOctets = 256;
// The text up to its first zero, cut to at most max octets without
// splitting a UTF-8 character.
std::string appCutText(const std::string &text, size_t max = appMaxTextOctets);
// A CharString block of 264 octets from calloc holding the cut text
// (character set 0), or null when memory is exhausted.
CharString *appNewCharString(const std::string &text);

// ---- Device object ----
inline constexpr uint16_t appVendorId = 64999;
// The database revision: counted on every successful object-identifier and
// object-name write of the Device object; kept in memory from 0 at start.
uint32_t appDatabaseRevision();
// Writes of the Device object (mode 1); mode 0 answers 0.
uint32_t appDeviceWriteProperty(int32_t device, uint8_t mode, uint32_t objectId, uint32_t property,
                                uint32_t arrayIndex, PropertyValue *value);

// ---- device services ----
// 0 when TQR's login accepts the passcode's characters, else
// security/password-failure (also when TQR cannot be reached).
uint32_t appCheckPasscode(const CharString *passcode);
// The two halves of Who-Has: the device's objects by name (then the Device
// object by its name) or by identifier, each found one answered with I-Have.
void appWhoHasName(int32_t device, uint16_t network, const CharString *name);
void appWhoHasId(int32_t device, uint16_t network, uint32_t objectId);

// ---- property tables ----
// The lists of an object type, each headed by its pseudo-property (8 all,
// 105 required, 80 optional) and ended by 0xFFFFFFFF; null for a type
// without lists. The Device object has an all-list only.
const uint32_t *appPropertyList(uint16_t objectType, uint32_t group);
// True for 8, 80 and 105; otherwise whether property is in the list.
bool appPropertyInList(const uint32_t *list, uint32_t property);
// The object types of the root device and of the virtual devices, and the
// properties whose values are lists; each ended by 0xFFFF or 0xFFFFFFFF.
extern const uint16_t rootObjectTypes[];
extern const uint16_t virtualObjectTypes[];
extern const uint32_t listProperties[];

// ---- property handlers ----
// mode 0 read, 1 write; array index 0xFFFFFFFF the whole value; the cursor
// is given with reads only.
using AppPropertyHandler = uint32_t (*)(int32_t device, uint8_t mode, uint32_t objectId, uint32_t property,
                                        uint32_t arrayIndex, PropertyValue *value, uint32_t *cursor);
uint32_t appAnalogInputProperty(int32_t device, uint8_t mode, uint32_t objectId, uint32_t property,
                                uint32_t arrayIndex, PropertyValue *value, uint32_t *cursor);
uint32_t appBinaryValueProperty(int32_t device, uint8_t mode, uint32_t objectId, uint32_t property,
                                uint32_t arrayIndex, PropertyValue *value, uint32_t *cursor);
uint32_t appNotificationClassProperty(int32_t device, uint8_t mode, uint32_t objectId, uint32_t property,
                                      uint32_t arrayIndex, PropertyValue *value, uint32_t *cursor);
uint32_t appMultiStateValueProperty(int32_t device, uint8_t mode, uint32_t objectId, uint32_t property,
                                    uint32_t arrayIndex, PropertyValue *value, uint32_t *cursor);
uint32_t appPulseConverterProperty(int32_t device, uint8_t mode, uint32_t objectId, uint32_t property,
                                   uint32_t arrayIndex, PropertyValue *value, uint32_t *cursor);
uint32_t appLargeAnalogValueProperty(int32_t device, uint8_t mode, uint32_t objectId, uint32_t property,
                                     uint32_t arrayIndex, PropertyValue *value, uint32_t *cursor);
