// The meter's BACnet object sets: a Load (one metered load, the 116 objects
// of its virtual device with their own ObjectMap), an Input (one voltage
// input, 17 objects on the root device) and a PulseInput (one pulse input,
// its PulseConverter on the root device), and the three maps that own them.
//
// The sets and maps are built during start-up and destroyed during
// clean-up, while the threads that walk them are stopped; at all other
// times they are only read, without a lock. Objects live inside their set
// by value and never move: maps hold raw pointers to them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "objects/analog_input.h"
#include "objects/binary_value.h"
#include "objects/multi_state_value.h"
#include "objects/notification_class.h"
#include "objects/object_map.h"
#include "objects/pulse_converter.h"

// Objects of several classes built in place, in order, inside one block,
// and destroyed in reverse order.
template <size_t Count, size_t Bytes>
class ObjectArena {
  public:
    ObjectArena() = default;
    ~ObjectArena() {
        while (count_ > 0) {
            objects_[--count_]->~BACnetObject();
        }
    }
    ObjectArena(const ObjectArena &) = delete;
    ObjectArena &operator=(const ObjectArena &) = delete;

    template <typename T, typename... Args>
    T &emplace(Args &&...args) {
        size_t offset = (used_ + alignof(T) - 1) / alignof(T) * alignof(T);
        if (count_ == Count || offset + sizeof(T) > Bytes) {
            throw std::bad_alloc();
        }
        T *object = new (storage_ + offset) T(std::forward<Args>(args)...);
        objects_[count_++] = object;
        used_ = offset + sizeof(T);
        return *object;
    }
    size_t size() const { return count_; }
    BACnetObject *at(size_t position) const { return position < count_ ? objects_[position] : nullptr; }

  private:
    alignas(std::max_align_t) unsigned char storage_[Bytes];
    BACnetObject *objects_[Count];
    size_t count_ = 0;
    size_t used_ = 0;
};

// Room for n objects of T in an arena, padding included.
template <typename T>
constexpr size_t arenaRoom(size_t n) {
    return n * ((sizeof(T) + alignof(T) - 1) / alignof(T) * alignof(T)) + alignof(T);
}

// What a Load and an Input share: the identity, the active flag, and the
// state files of the objects of a map, kept in the set's own directory.
class ObjectSet {
  public:
    void setId(int32_t v) { id_ = v; }
    void setActive(bool v) { active_ = v; }
    int32_t getId() const { return id_; }
    bool isActive() const { return active_; }

    // The set's directory and the id as an unsigned number.
    std::string stateDirectory() const;
    // Every object of the map saves its state file. 1.
    int saveObjects();
    // That one object of the map saves its state file; 0 when the map has
    // no such object.
    int saveObject(uint32_t objectId);
    // Every object of the map loads its state file. 1.
    int loadObjects();
    void clearCovSubscriptions();
    void clearAlarmEntries();

  protected:
    // The map may still be unbuilt: it is only used later.
    ObjectSet(const char *directory, ObjectMap &map) : directory_(directory), map_(map) {}
    ~ObjectSet() = default;
    ObjectSet(const ObjectSet &) = delete;
    ObjectSet &operator=(const ObjectSet &) = delete;

    int32_t id_ = 0;
    bool active_ = false;

  private:
    const char *directory_;
    ObjectMap &map_;
};

class Load : public ObjectSet {
  public:
    static constexpr size_t kObjectCount = 116;
    // Objects of the first table: totals, the notification class and the energies.
    static constexpr size_t kTotalObjectCount = 44;
    // 23 analog inputs and the polarity binary value of each CT group.
    static constexpr size_t kGroupObjectCount = 24;

    // The 116 objects in table order, an empty ObjectMap; identity unset.
    Load();
    ~Load();
    Load(const Load &) = delete;
    Load &operator=(const Load &) = delete;

    void setVdi(int32_t v) { vdi_ = v; }
    void setName(const std::string &v) { name_ = v; }
    void setInput(int32_t v) { input_ = v; }
    int32_t getVdi() const { return vdi_; }
    int32_t getInput() const { return input_; }
    std::string getName() const { return name_; }

    // The objects in table order (0..115), null past the end.
    BACnetObject *object(size_t position) const { return objects_.at(position); }
    size_t objectCount() const { return objects_.size(); }
    // The objects a client sees: those registered by the import.
    ObjectMap &getObjectMap() { return objectMap_; }
    const ObjectMap &getObjectMap() const { return objectMap_; }

    // Typed views of the table: the analog inputs by instance (1..17,
    // 140..152, 30..52, 60..82, 90..112), the large analog values by
    // instance (1..13), the polarity of CT group 1..3. Null for any other.
    AnalogInput *analogInput(uint32_t instance) const;
    LargeAnalogValue *largeAnalogValue(uint32_t instance) const;
    BinaryValue *polarity(int group) const;
    NotificationClass &notificationClass() const;
    // The state files of the registered objects, in map order, are in
    // "/config/talvik/loads/" and the id (ObjectSet).

  private:
    std::string name_;
    int32_t vdi_ = 0;
    int32_t input_ = 0;
    ObjectArena<kObjectCount, arenaRoom<AnalogInput>(99) + arenaRoom<LargeAnalogValue>(13) +
                                  arenaRoom<NotificationClass>(1) + arenaRoom<BinaryValue>(3)>
        objects_;
    ObjectMap objectMap_;
};

class Input : public ObjectSet {
  public:
    static constexpr size_t kObjectCount = 17;

    // The 17 objects as constructed (before the import names them); the
    // three line flags cleared.
    Input();
    ~Input();
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;

    void setService(int32_t v) { service_ = v; }
    void setVoltage(int32_t v) { voltage_ = v; }
    void setLine1Active(bool v) { line1Active_ = v; }
    void setLine2Active(bool v) { line2Active_ = v; }
    void setLine3Active(bool v) { line3Active_ = v; }
    int32_t getService() const { return service_; }
    uint32_t getVoltage() const { return static_cast<uint32_t>(voltage_); }

    // The objects in table order (0..16), null past the end.
    BACnetObject *object(size_t position) const { return objects_.at(position); }
    size_t objectCount() const { return objects_.size(); }
    // Positions 0..12 and 14 of the table.
    AnalogInput *analogInput(size_t position) const;
    LargeAnalogValue &totalEnergy() const;
    AnalogInput &totalEnergySingle() const;
    MultiStateValue &serviceType() const;
    NotificationClass &notificationClass() const;
    // The state files are in "/config/talvik/inputs/" and the id; they are
    // those of the whole root ObjectMap (both inputs' objects and the pulse
    // converters), into or from this input's directory (ObjectSet).

  private:
    int32_t service_ = 0;
    int32_t voltage_ = 0;
    bool line1Active_ = false;
    bool line2Active_ = false;
    bool line3Active_ = false;
    ObjectArena<kObjectCount, arenaRoom<AnalogInput>(14) + arenaRoom<LargeAnalogValue>(1) +
                                  arenaRoom<MultiStateValue>(1) + arenaRoom<NotificationClass>(1)>
        objects_;
};

class PulseInput {
  public:
    PulseInput();
    ~PulseInput();
    PulseInput(const PulseInput &) = delete;
    PulseInput &operator=(const PulseInput &) = delete;

    void setId(uint8_t v) { id_ = v; }
    void setOut(bool v) { out_ = v; }
    void setActive(bool v) { active_ = v; }
    void setType(const std::string &v) { type_ = v; }
    void setPulseWidth(int32_t v) { pulseWidth_ = v; }
    uint8_t getId() const { return id_; }
    bool isOut() const { return out_; }
    bool isActive() const { return active_; }

    PulseConverter &converter() { return converter_; }
    const PulseConverter &converter() const { return converter_; }

  private:
    uint8_t id_ = 0;
    bool out_ = false;
    bool active_ = false;
    std::string type_;
    int32_t pulseWidth_ = 0;
    PulseConverter converter_;
};

// The owners of the sets: loads by virtual device instance, voltage inputs
// by their position in the mapping, pulse inputs by pulse id.
extern std::map<int32_t, std::unique_ptr<Load>> loadMapping;
extern std::map<uint32_t, std::unique_ptr<Input>> inputMapping;
extern std::map<int32_t, std::unique_ptr<PulseInput>> pulseMapping;

// The load under a virtual device instance, or null.
Load *appFindLoad(int32_t device);

// Hands the COV timer and event threads the loads' object maps, in
// ascending virtual device instance, as loadMapping holds them when a
// thread starts. Call it once before the threads first start.
void appSetLoadObjectMaps();
