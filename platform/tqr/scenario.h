// What the stand-in serves for each endpoint before anything is PUT.
#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <set>
#include <string>

namespace tqr {

// The endpoints under /api/v1 that a scenario may give, as file names
// without ".json" below the scenario folder.
extern const char *const scenarioEndpoints[11];

// The built-in meter's root device instance; a load's virtual device
// instance is this + 1 + its id.
constexpr unsigned kBaseInstance = 1000;

// The built-in meter: the velsard stand-in's (loads of three CTs on the
// channels from 6 on, two voltage inputs), with `loads` loads.
std::map<std::string, nlohmann::ordered_json> builtInScenario(int loads);
// The built-in meter with every endpoint that dir holds a file for replaced
// by that file; fromFiles, when given, receives those endpoints. Throws
// std::runtime_error for a file that is not JSON.
std::map<std::string, nlohmann::ordered_json> loadScenario(const std::string &dir, int loads,
                                                           std::set<std::string> *fromFiles = nullptr);

} // namespace tqr
