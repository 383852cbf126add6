#pragma once
// Ulvora's register data: one record per block of input registers, laid out
// like its block (two bytes of record per register, no gaps), the register
// map that places every served field, and the rebuild of the register image
// from the records.
//
// Encodings in the registers:
// - int32: two registers, bits 31..16 in the lower-numbered one; the records
//   hold it in native order and mbSwapWords turns it for the store.
// - float: IEEE single precision, the register of bits 15..0 first (what
//   Debian 12's libmodbus 3.1.6 writes with modbus_set_float_dcba); written
//   by mbSetFloat, which does not depend on the libmodbus release.
// - text[n]: n / 2 registers held in the record already in register form,
//   the first character of each pair in the high byte, zero-filled (mbCopyText).
// Every register that no field covers reads 0.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string_view>

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the records and the float encoding assume a little-endian processor"
#endif

constexpr int MB_LOAD_MAX = 48;
constexpr int MB_CT_MAX = 3;
constexpr int MB_VOLTAGE_INPUT_MAX = 2;
constexpr int MB_PULSE_INPUT_MAX = 2;

// The libmodbus mapping holds this many input registers; the map ends at
// MB_MAP_END - 1 and every register above reads 0.
constexpr int MB_INPUT_REGISTERS = 27492;
constexpr int MB_MAP_END = 13740;

// First registers of the blocks.
constexpr int MB_HEADER_START = 0;
constexpr int MB_VOLTAGE_INPUT_START = 100; // + 48 k
constexpr int MB_PULSE_INPUT_START = 200;   // + 32 k
constexpr int MB_LOAD_START = 300;          // + 280 k
constexpr int MB_CT_IN_LOAD = 100;          // + 60 j, within a load block

struct mb_header {
    uint16_t site_name[40];
    int32_t reserved_40;
    uint16_t model[8];
    uint16_t serial[8];
    uint16_t version[8];
    uint16_t time[12];
    int32_t power_factor_sign;
    int32_t demand_window;
    int32_t billing_cycle_day;
    int32_t billing_cycle_time;
    int32_t active_loads;
    uint16_t reserved_88[24];
};

struct mb_ct {
    int32_t channel; // 1..48, 0 when none
    int32_t en;
    float wh, wh_in, wh_out, varh, varh_ind, varh_cap;
    float varh_ind_dis, varh_ind_gen, varh_cap_gen, varh_cap_dis;
    float vah, vah_in, vah_out;
    float a, p, q, s, apf, dpf, thd, demand, pd;
    int32_t phase_correction; // kept, not served
    uint16_t reserved_50[10];
};

struct mb_load {
    int32_t id; // the mapping's id + 1
    uint16_t name[20];
    int32_t active;
    float wh, wh_in, wh_out, varh, varh_ind, varh_cap;
    float varh_ind_dis, varh_ind_gen, varh_cap_gen, varh_cap_dis;
    float vah, vah_in, vah_out;
    int32_t input;
    float a, p, q, s, apf, dpf, thd, demand, pd;
    uint16_t reserved_70[30];
    mb_ct cts[MB_CT_MAX];
};

struct mb_voltage_input {
    int32_t id;
    int32_t active;
    float v[3];
    float v_ll[3];
    float ph[3];
    float thd[3];
    float freq;
    int32_t voltage;
    int32_t service;
    int32_t voltage_scaler;
    uint16_t reserved_36[12];
};

struct mb_pulse_input {
    int32_t active;
    uint16_t meter_kind[8];
    uint16_t unit[8];
    int32_t scaled_count;
    int32_t scaler;
    int32_t count;
    uint16_t reserved_24[8];
};

#define MB_AT(type, field, reg) \
    static_assert(offsetof(type, field) == 2 * (reg), #type "." #field " at register " #reg)

static_assert(sizeof(mb_header) == 2 * 112);
MB_AT(mb_header, site_name, 0);
MB_AT(mb_header, reserved_40, 40);
MB_AT(mb_header, model, 42);
MB_AT(mb_header, serial, 50);
MB_AT(mb_header, version, 58);
MB_AT(mb_header, time, 66);
MB_AT(mb_header, power_factor_sign, 78);
MB_AT(mb_header, demand_window, 80);
MB_AT(mb_header, billing_cycle_day, 82);
MB_AT(mb_header, billing_cycle_time, 84);
MB_AT(mb_header, active_loads, 86);
MB_AT(mb_header, reserved_88, 88);

static_assert(sizeof(mb_ct) == 2 * 60);
MB_AT(mb_ct, channel, 0);
MB_AT(mb_ct, en, 2);
MB_AT(mb_ct, wh, 4);
MB_AT(mb_ct, wh_in, 6);
MB_AT(mb_ct, wh_out, 8);
MB_AT(mb_ct, varh, 10);
MB_AT(mb_ct, varh_ind, 12);
MB_AT(mb_ct, varh_cap, 14);
MB_AT(mb_ct, varh_ind_dis, 16);
MB_AT(mb_ct, varh_ind_gen, 18);
MB_AT(mb_ct, varh_cap_gen, 20);
MB_AT(mb_ct, varh_cap_dis, 22);
MB_AT(mb_ct, vah, 24);
MB_AT(mb_ct, vah_in, 26);
MB_AT(mb_ct, vah_out, 28);
MB_AT(mb_ct, a, 30);
MB_AT(mb_ct, p, 32);
MB_AT(mb_ct, q, 34);
MB_AT(mb_ct, s, 36);
MB_AT(mb_ct, apf, 38);
MB_AT(mb_ct, dpf, 40);
MB_AT(mb_ct, thd, 42);
MB_AT(mb_ct, demand, 44);
MB_AT(mb_ct, pd, 46);
MB_AT(mb_ct, phase_correction, 48);
MB_AT(mb_ct, reserved_50, 50);

static_assert(sizeof(mb_load) == 2 * 280);
MB_AT(mb_load, id, 0);
MB_AT(mb_load, name, 2);
MB_AT(mb_load, active, 22);
MB_AT(mb_load, wh, 24);
MB_AT(mb_load, wh_in, 26);
MB_AT(mb_load, wh_out, 28);
MB_AT(mb_load, varh, 30);
MB_AT(mb_load, varh_ind, 32);
MB_AT(mb_load, varh_cap, 34);
MB_AT(mb_load, varh_ind_dis, 36);
MB_AT(mb_load, varh_ind_gen, 38);
MB_AT(mb_load, varh_cap_gen, 40);
MB_AT(mb_load, varh_cap_dis, 42);
MB_AT(mb_load, vah, 44);
MB_AT(mb_load, vah_in, 46);
MB_AT(mb_load, vah_out, 48);
MB_AT(mb_load, input, 50);
MB_AT(mb_load, a, 52);
MB_AT(mb_load, p, 54);
MB_AT(mb_load, q, 56);
MB_AT(mb_load, s, 58);
MB_AT(mb_load, apf, 60);
MB_AT(mb_load, dpf, 62);
MB_AT(mb_load, thd, 64);
MB_AT(mb_load, demand, 66);
MB_AT(mb_load, pd, 68);
MB_AT(mb_load, reserved_70, 70);
MB_AT(mb_load, cts, 100);
MB_AT(mb_load, cts[1], 160);
MB_AT(mb_load, cts[2], 220);

static_assert(sizeof(mb_voltage_input) == 2 * 48);
MB_AT(mb_voltage_input, id, 0);
MB_AT(mb_voltage_input, active, 2);
MB_AT(mb_voltage_input, v, 4);
MB_AT(mb_voltage_input, v_ll, 10);
MB_AT(mb_voltage_input, ph, 16);
MB_AT(mb_voltage_input, thd, 22);
MB_AT(mb_voltage_input, freq, 28);
MB_AT(mb_voltage_input, voltage, 30);
MB_AT(mb_voltage_input, service, 32);
MB_AT(mb_voltage_input, voltage_scaler, 34);
MB_AT(mb_voltage_input, reserved_36, 36);

static_assert(sizeof(mb_pulse_input) == 2 * 32);
MB_AT(mb_pulse_input, active, 0);
MB_AT(mb_pulse_input, meter_kind, 2);
MB_AT(mb_pulse_input, unit, 10);
MB_AT(mb_pulse_input, scaled_count, 18);
MB_AT(mb_pulse_input, scaler, 20);
MB_AT(mb_pulse_input, count, 22);
MB_AT(mb_pulse_input, reserved_24, 24);
#undef MB_AT

// Every record of the process, copied and committed as a whole.
struct MbRecords {
    mb_header header;
    mb_voltage_input inputs[MB_VOLTAGE_INPUT_MAX];
    mb_pulse_input pulses[MB_PULSE_INPUT_MAX];
    mb_load loads[MB_LOAD_MAX];
};

// ---- the register map ----

enum class MbEncoding : uint8_t { int32, float32, text };

// One served field of a block: its first register within the block (which
// is also its byte offset in the record divided by 2) and its width.
struct MbField {
    std::string_view name;
    uint16_t reg;
    uint16_t registers;
    MbEncoding encoding;
};

// The served fields of each block, in register order. A load block is
// served only when its `active` is 1, a CT group only when its load is and
// its `en` is 1; the CT's `phase_correction` is not served.
extern const std::span<const MbField> mbHeaderMap;
extern const std::span<const MbField> mbVoltageInputMap;
extern const std::span<const MbField> mbPulseInputMap;
extern const std::span<const MbField> mbLoadMap;
extern const std::span<const MbField> mbCtMap;

// ---- encodings ----

// The value with its two 16-bit halves exchanged.
constexpr uint32_t mbSwapWords(uint32_t value) { return (value << 16) | (value >> 16); }
// Stores an int32 over regs[0], regs[1], bits 31..16 first.
void mbSetInt32(int32_t value, uint16_t *regs);
// Stores a float over regs[0], regs[1], bits 15..0 first.
void mbSetFloat(float value, uint16_t *regs);
// Writes text into a record field of n bytes (n even): zeroed, two
// characters per register, the first in the high byte, cut at n characters.
void mbCopyText(std::string_view text, uint16_t *field, size_t n);
// The text held in a field of n bytes, up to its first zero byte.
std::string mbFieldText(const uint16_t *field, size_t n);

// ---- the records of the process ----

// The records the parsers fill, all zero at start. Written only as a whole
// (mbRecordsCommit) under mbRecordsMutex; read under it.
extern std::mutex mbRecordsMutex;
MbRecords mbRecordsSnapshot();
void mbRecordsCommit(const MbRecords &records);
// Counts the commits; the image is rebuilt when it has moved.
uint64_t mbRecordsGeneration();
// The live records; only while holding mbRecordsMutex.
const MbRecords &mbRecordsLocked();
// Back to all zero (tests).
void mbRecordsReset();

// Rewrites registers 0 to MB_MAP_END - 1 of regs from the records; the
// registers above are left as they are (zero in every mapping).
void mbBuildImage(const MbRecords &records, uint16_t *regs);
