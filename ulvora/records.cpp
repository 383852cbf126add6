#include "ulvora/records.h"

#include <array>
#include <cstring>
#include <string>

namespace {

#define MB_FIELD(type, field, encoding) \
    MbField { #field, offsetof(type, field) / 2, sizeof(type::field) / 2, MbEncoding::encoding }

constexpr MbField kHeaderMap[] = {
    MB_FIELD(mb_header, site_name, text),
    MB_FIELD(mb_header, model, text),
    MB_FIELD(mb_header, serial, text),
    MB_FIELD(mb_header, version, text),
    MB_FIELD(mb_header, time, text),
    MB_FIELD(mb_header, power_factor_sign, int32),
    MB_FIELD(mb_header, demand_window, int32),
    MB_FIELD(mb_header, billing_cycle_day, int32),
    MB_FIELD(mb_header, billing_cycle_time, int32),
    MB_FIELD(mb_header, active_loads, int32),
};

// The three-element arrays of a voltage input, one field per line.
#define MB_LINE(field, line) \
    MbField { #field "[" #line "]", offsetof(mb_voltage_input, field) / 2 + 2 * (line), 2, MbEncoding::float32 }

constexpr MbField kVoltageInputMap[] = {
    MB_FIELD(mb_voltage_input, id, int32),
    MB_FIELD(mb_voltage_input, active, int32),
    MB_LINE(v, 0), MB_LINE(v, 1), MB_LINE(v, 2),
    MB_LINE(v_ll, 0), MB_LINE(v_ll, 1), MB_LINE(v_ll, 2),
    MB_LINE(ph, 0), MB_LINE(ph, 1), MB_LINE(ph, 2),
    MB_LINE(thd, 0), MB_LINE(thd, 1), MB_LINE(thd, 2),
    MB_FIELD(mb_voltage_input, freq, float32),
    MB_FIELD(mb_voltage_input, voltage, int32),
    MB_FIELD(mb_voltage_input, service, int32),
    MB_FIELD(mb_voltage_input, voltage_scaler, int32),
};

constexpr MbField kPulseInputMap[] = {
    MB_FIELD(mb_pulse_input, active, int32),
    MB_FIELD(mb_pulse_input, meter_kind, text),
    MB_FIELD(mb_pulse_input, unit, text),
    MB_FIELD(mb_pulse_input, scaled_count, int32),
    MB_FIELD(mb_pulse_input, scaler, int32),
    MB_FIELD(mb_pulse_input, count, int32),
};

// The energy and measurement floats, shared in order by loads and CTs.
#define MB_ENERGY(type)                                                                              \
    MB_FIELD(type, wh, float32), MB_FIELD(type, wh_in, float32), MB_FIELD(type, wh_out, float32),  \
        MB_FIELD(type, varh, float32), MB_FIELD(type, varh_ind, float32),                          \
        MB_FIELD(type, varh_cap, float32), MB_FIELD(type, varh_ind_dis, float32),                  \
        MB_FIELD(type, varh_ind_gen, float32), MB_FIELD(type, varh_cap_gen, float32),              \
        MB_FIELD(type, varh_cap_dis, float32), MB_FIELD(type, vah, float32),                       \
        MB_FIELD(type, vah_in, float32), MB_FIELD(type, vah_out, float32)
#define MB_MEASURES(type)                                                                          \
    MB_FIELD(type, a, float32), MB_FIELD(type, p, float32), MB_FIELD(type, q, float32),            \
        MB_FIELD(type, s, float32), MB_FIELD(type, apf, float32), MB_FIELD(type, dpf, float32),    \
        MB_FIELD(type, thd, float32), MB_FIELD(type, demand, float32), MB_FIELD(type, pd, float32)

constexpr MbField kLoadMap[] = {
    MB_FIELD(mb_load, id, int32),
    MB_FIELD(mb_load, name, text),
    MB_FIELD(mb_load, active, int32),
    MB_ENERGY(mb_load),
    MB_FIELD(mb_load, input, int32),
    MB_MEASURES(mb_load),
};

constexpr MbField kCtMap[] = {
    MB_FIELD(mb_ct, channel, int32),
    MB_FIELD(mb_ct, en, int32),
    MB_ENERGY(mb_ct),
    MB_MEASURES(mb_ct),
};

// Writes one block's served fields from its record into its registers.
void put_block(std::span<const MbField> map, const void *record, uint16_t *regs) {
    const auto *bytes = static_cast<const uint8_t *>(record);
    for (const MbField &f : map) {
        const uint8_t *src = bytes + 2 * f.reg;
        switch (f.encoding) {
        case MbEncoding::int32: {
            int32_t v;
            std::memcpy(&v, src, sizeof v);
            mbSetInt32(v, regs + f.reg);
            break;
        }
        case MbEncoding::float32: {
            float v;
            std::memcpy(&v, src, sizeof v);
            mbSetFloat(v, regs + f.reg);
            break;
        }
        case MbEncoding::text:
            std::memcpy(regs + f.reg, src, 2u * f.registers);
            break;
        }
    }
}

MbRecords g_records{};
uint64_t g_generation = 0;

} // namespace

const std::span<const MbField> mbHeaderMap{kHeaderMap};
const std::span<const MbField> mbVoltageInputMap{kVoltageInputMap};
const std::span<const MbField> mbPulseInputMap{kPulseInputMap};
const std::span<const MbField> mbLoadMap{kLoadMap};
const std::span<const MbField> mbCtMap{kCtMap};

void mbSetInt32(int32_t value, uint16_t *regs) {
    const uint32_t swapped = mbSwapWords(static_cast<uint32_t>(value));
    std::memcpy(regs, &swapped, sizeof swapped);
}

void mbSetFloat(float value, uint16_t *regs) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    regs[0] = static_cast<uint16_t>(bits & 0xFFFFu);
    regs[1] = static_cast<uint16_t>(bits >> 16);
}

void mbCopyText(std::string_view text, uint16_t *field, size_t n) {
    std::memset(field, 0, n);
    const size_t len = text.size() < n ? text.size() : n;
    for (size_t i = 0; i < len; ++i) {
        const auto c = static_cast<uint8_t>(text[i]);
        field[i / 2] = static_cast<uint16_t>(field[i / 2] | (i % 2 == 0 ? c << 8 : c));
    }
}

std::string mbFieldText(const uint16_t *field, size_t n) {
    std::string text;
    for (size_t i = 0; i < n; ++i) {
        const auto c = static_cast<char>(i % 2 == 0 ? field[i / 2] >> 8 : field[i / 2] & 0xFF);
        if (c == '\0') {
            break;
        }
        text += c;
    }
    return text;
}

std::mutex mbRecordsMutex;

MbRecords mbRecordsSnapshot() {
    std::lock_guard lock(mbRecordsMutex);
    return g_records;
}

void mbRecordsCommit(const MbRecords &records) {
    std::lock_guard lock(mbRecordsMutex);
    g_records = records;
    ++g_generation;
}

uint64_t mbRecordsGeneration() { return g_generation; }

void mbRecordsReset() { mbRecordsCommit(MbRecords{}); }

const MbRecords &mbRecordsLocked() { return g_records; }

void mbBuildImage(const MbRecords &r, uint16_t *regs) {
    std::memset(regs, 0, sizeof(uint16_t) * MB_MAP_END);
    put_block(mbHeaderMap, &r.header, regs + MB_HEADER_START);
    for (int k = 0; k < MB_VOLTAGE_INPUT_MAX; ++k) {
        put_block(mbVoltageInputMap, &r.inputs[k], regs + MB_VOLTAGE_INPUT_START + 48 * k);
    }
    for (int k = 0; k < MB_PULSE_INPUT_MAX; ++k) {
        put_block(mbPulseInputMap, &r.pulses[k], regs + MB_PULSE_INPUT_START + 32 * k);
    }
    for (int k = 0; k < MB_LOAD_MAX; ++k) {
        const mb_load &load = r.loads[k];
        if (load.active != 1) {
            continue;
        }
        uint16_t *b = regs + MB_LOAD_START + 280 * k;
        put_block(mbLoadMap, &load, b);
        for (int j = 0; j < MB_CT_MAX; ++j) {
            if (load.cts[j].en == 1) {
                put_block(mbCtMap, &load.cts[j], b + MB_CT_IN_LOAD + 60 * j);
            }
        }
    }
}
