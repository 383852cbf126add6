#pragma once
// Notification Class (type 15): the priorities, ack-required bits and
// recipients of the out-of-range event notifications.
//
// The recipient list is read by the event thread while the main thread may
// write it: recipientMutex guards it, readers take a copy, and a write
// replaces the whole list in one step once the new one is checked.

#include <array>
#include <mutex>
#include <string>
#include <vector>

#include "objects/bacnet_object.h"

class NotificationClass : public BACnetObject {
public:
    static constexpr size_t kMaxRecipients = 5;
    // No urgency the meter could justify: the lowest priority.
    static constexpr uint32_t kDefaultPriority = 255;

    NotificationClass(uint32_t instance, const std::string &name, uint32_t classNumber);

    void setClassNumber(uint32_t v);
    uint32_t getClassNumber() const;
    // 0x20025 for an index above 2 or a value above 255.
    PackedError setPriority(uint32_t value, uint32_t index);
    // 256 for an index above 2.
    uint32_t getPriority(uint32_t index) const;
    uint32_t getToOffnormalPriority() const { return getPriority(0); }
    uint32_t getToFaultPriority() const { return getPriority(1); }
    uint32_t getToNormalPriority() const { return getPriority(2); }
    // Bits 0 to-offnormal, 1 to-fault, 2 to-normal.
    void setAckRequiredToOffnormal(bool v);
    void setAckRequiredToFault(bool v);
    void setAckRequiredToNormal(bool v);
    uint8_t getAckRequired() const;
    bool isAckRequiredToOffnormal() const;
    bool isAckRequiredToNormal() const;

    // False when five are listed; else added, sorted by image, duplicates merged.
    bool addRecipient(const BACnetDestination &destination);
    // The broadcast recipient: every day, all day, all transitions, network 0xFFFF.
    bool addDefaultRecipient();
    static BACnetDestination broadcastRecipient();
    // A copy of the list, in image order.
    std::vector<BACnetDestination> getRecipients() const;
    size_t getRecipientCount() const;
    // Sorts and merges the list; false, and nothing changed, when more than
    // five would remain.
    bool replaceRecipients(const std::vector<BACnetDestination> &list);

    // The first MAC-length octets as lower-case hex pairs joined by ":".
    static std::string formatMacAddress(const BACnetDestination &destination);
    // Exactly length (1..8) hex fields of one or two digits joined by ":";
    // throws std::runtime_error(text + " is an invalid MAC address").
    static std::array<uint8_t, 8> parseMacAddress(const std::string &text, size_t length);

    void tickCov(int) override {}
    void saveConfig(const std::string &directory) override;
    bool loadConfig(const std::string &directory) override;

private:
    static void normalize(std::vector<BACnetDestination> &list);

    mutable std::mutex recipientMutex;  // guards every member below
    uint32_t classNumber;
    uint32_t priorities[3] = {kDefaultPriority, kDefaultPriority, kDefaultPriority};
    uint8_t ackRequired = 0;
    std::vector<BACnetDestination> recipientList;
};
