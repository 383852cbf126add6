// The built-in meter taken from velsard's configuration, so that what the
// stand-in serves agrees with what the measurement program was given: the
// loads with their ids and CT channels, the voltage inputs with their
// nominal voltage, the pulse channels and the meter's settings.
#pragma once

#include <gio/gio.h>

#include <nlohmann/json.hpp>

#include <string>

namespace tqr {

// GET /api/v1/config/mapping from velsard's mapping record (type
// "(ua(ubuuduuuuuuuua(ub))a(uuubsa(ububudddd))ai)"): every load entry in
// velsard's order, active or not, so that entry m is also the m-th load of
// the result nodes; its id as velsard has it and its virtual device
// instance baseInstance + 1 + id. A voltage set's extra_1 is served as its
// nominal voltage and extra_2 as its service type, as the velsard stand-in
// keeps them. Throws std::runtime_error for a value of another type.
nlohmann::ordered_json mappingFromVelsard(GVariant *mapping, unsigned baseInstance);

// GET /api/v1/config/pulse from velsard's pulse configuration (type
// "a(ibbiidiiuuuuuuuu)"): entry n is pulse channel n (inputs 0 and 1, the
// output 2); its first flag is "active", its second "out".
nlohmann::ordered_json pulseFromVelsard(GVariant *pulseConfig);

// The "defaults" of GET /api/v1/config/info from velsard's device
// configuration (type "(uuuuuuuuuuuuuuu)"): values 0 backlight, 1 power-factor
// sign, 2 nominal frequency, 3 demand window, 5 billing day, 6 billing time.
nlohmann::ordered_json defaultsFromVelsard(GVariant *deviceConfig);

struct VelsardConfig {
    nlohmann::ordered_json mapping;
    nlohmann::ordered_json pulse;
    nlohmann::ordered_json defaults;
};

// Reads the three records from velsard (com.velsard) on the system bus
// (DBUS_SYSTEM_BUS_ADDRESS). Safe to call from several threads at once.
class VelsardReader {
  public:
    // Throws std::runtime_error when the system bus cannot be reached.
    VelsardReader();
    ~VelsardReader();
    VelsardReader(const VelsardReader &) = delete;
    VelsardReader &operator=(const VelsardReader &) = delete;

    // Throws std::runtime_error naming the call that failed.
    VelsardConfig read(unsigned baseInstance) const;

  private:
    GDBusConnection *bus_ = nullptr;
};

} // namespace tqr
