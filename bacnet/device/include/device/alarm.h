// Meter alarms as TQR configures them: the entry that links an alarm to the
// objects that watch its quantity, and the text of an event notification.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What an alarm's "vinLineLoadOrCt" counts; also the prefix of its texts.
enum class AlarmSourceKind : int32_t {
    Load = 0,
    VoltageInput = 1,
    Ct = 2,
    Line = 3,
};

// Alarm states exchanged with TQR.
enum class AlarmState : int32_t {
    Normal = 2,
    Low = 5,
    High = 6,
};

class AlarmEntry {
  public:
    AlarmEntry() = default;
    ~AlarmEntry() = default;

    int32_t getId() const { return id_; }
    void setId(int32_t id) { id_ = id; }
    // -1: the alarm names no source.
    int32_t getSourceIndex() const { return sourceIndex_; }
    void setSourceIndex(int32_t index) { sourceIndex_ = index; }
    void setSetPoint(float setPoint) { setPoint_ = setPoint; }
    // In the units of the watched object.
    float getDeadband() const { return deadband_; }
    void setDeadband(float deadband) { deadband_ = deadband; }
    // Seconds.
    void setDelay(int32_t seconds) { delay = seconds; }
    void setType(int32_t type) { type_ = type; }
    int32_t getState() const { return state_; }
    void setState(int32_t state) { state_ = state; }
    int32_t getSourceKind() const { return sourceKind_; }
    void setSourceKind(int32_t kind) { sourceKind_ = kind; }

    // Read directly by the text builder.
    int32_t delay = 0;
    // The AlarmState codes whose relay this entry takes part in.
    std::vector<int32_t> followedStates;

  private:
    int32_t id_ = 0;
    int32_t sourceIndex_ = -1;
    float setPoint_ = 0;
    float deadband_ = 0;
    int32_t type_ = 0;
    int32_t state_ = 0;
    int32_t sourceKind_ = 0;
};

// What an event-notification sender fills for the text of one notification.
struct AlarmMessage {
    const AlarmEntry *entry = nullptr; // required: deadband, delay, prefix
    uint8_t fromState = 0;
    // BACnet event state (0 normal, 3 high-limit, 4 low-limit) or AlarmState
    // (2, 6, 5).
    uint8_t toState = 0;
    float highLimit = 0;
    float lowLimit = 0;
    float presentValue = 0; // with its sign
    std::string unitsText;  // not used by the text
    std::string objectName;
};

// The longest text the notification encoder takes; longer ones were dropped
// whole.
constexpr size_t alarmMessageMaxLength = 248;

// 2 gives 0 (normal), 6 gives 3 (high-limit), 5 gives 4 (low-limit); any
// other code 0.
uint8_t alarmStateToEventState(uint8_t state);
// value in fixed-point notation with exactly `decimals` digits after the
// point, never an exponent.
std::string formatFixed(float value, int decimals);
// The notification text, cut to alarmMessageMaxLength bytes at a character
// boundary.
std::string alarmBuildMessage(const AlarmMessage &message);
