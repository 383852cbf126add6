// Builds the object sets from a compact description the way the mapping
// and pulse imports do (identity, device instances, CT numbers in the
// names, registration, Vin1/Vin2 names, notification-class links), so that
// tests and benchmarks get realistic sets without TQR. A fixture, not an
// import.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/object_sets.h"

namespace devtest {

struct CtLayout {
    int channel = 6;  // sample channel; 6..53 are CTs 1..48
    bool active = true;
    bool inverse = false;
};

struct LoadLayout {
    int32_t id = 0;
    int32_t vdi = 1001;
    std::string name = "Load";
    int32_t input = 0;
    std::vector<CtLayout> cts;
};

struct InputLayout {
    uint32_t position = 0;  // 0 first input, 1 second
    int32_t id = 0;
    int32_t service = 1;
    int32_t voltage = 120;
};

struct MeterLayout {
    uint32_t baseInstance = 1000;
    std::string baseName = "Meter";
    uint16_t network = 100;
    std::vector<LoadLayout> loads;
    std::vector<InputLayout> inputs;
    std::vector<uint8_t> pulseIds;
};

// Sets the communication configuration's base instance, name and virtual
// network, then builds the loads, the inputs and the pulse inputs. A load
// whose vdi is taken already is dropped, as the import drops it.
void buildSets(const MeterLayout &layout);
// Empties the root map and the three maps (destroying the sets).
void clearSets();

// n loads of ids 0.. and vdi 1001.., each with ctsPerLoad CTs on channels
// from 6 on (wrapping after 53), all on input 0.
MeterLayout loadsLayout(int n, int ctsPerLoad);

}  // namespace devtest
