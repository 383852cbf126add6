// Time per encode and decode of typical property values, and appCalloc calls
// per operation. Run by hand from the release build:
//   build/release/bacnet/codec/bacnet_codec_bench

#include "app_memory_counting.h"
#include "bacnet/app_memory.h"
#include "bacnet/pdu_buffer.h"
#include "bacnet/property_decoder.h"
#include "bacnet/property_encoder.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Sample {
    uint16_t type;
    uint32_t property;
    std::function<void(PropertyValue &)> make;
};

void makeReal(PropertyValue &v) {
    v.datatype = kDtReal;
    v.value.f = 230.25f;
}

void makeObjectList(PropertyValue &v) {
    v.datatype = kDtObjectIdList;
    v.count = 117;
    auto *ids = static_cast<uint32_t *>(appCalloc(117 * 4));
    ids[0] = objectIdMake(kObjDevice, 1000);
    for (uint32_t i = 1; i < 117; ++i)
        ids[i] = objectIdMake(kObjAnalogInput, i);
    v.value.block = ids;
    v.ownsValue = 1;
}

void makeRecipients(PropertyValue &v) {
    v.datatype = kDtDestination;
    v.count = 5;
    auto *d = static_cast<BACnetDestination *>(appCalloc(5 * sizeof(BACnetDestination)));
    for (uint32_t i = 0; i < 5; ++i) {
        d[i].validDays = 0xFE;
        d[i].transitions = 0xE0;
        d[i].processId = i + 1;
        d[i].to = {23, 59, 59, 99};
        d[i].recipient.choice = kRecipientDevice;
        d[i].recipient.device = objectIdMake(kObjDevice, 100 + i);
    }
    v.value.block = d;
    v.ownsValue = 1;
}

void makeString(PropertyValue &v) {
    const std::string text(64, 'n');
    v.datatype = kDtCharString;
    auto *s = static_cast<CharString *>(appCalloc(8 + 64));
    s->length = 64;
    std::memcpy(s->chars(), text.data(), 64);
    v.value.block = s;
    v.ownsValue = 1;
}

void makeStatusFlags(PropertyValue &v) {
    v.datatype = kDtBitString;
    v.length = 4;
    v.value.octets[0] = 0x00;
}

const Sample kSamples[] = {
    {kObjAnalogInput, kPropPresentValue, makeReal},
    {kObjDevice, kPropObjectList, makeObjectList},                // 117 identifiers
    {kObjNotificationClass, kPropRecipientList, makeRecipients},  // 5 destinations
    {kObjAnalogInput, kPropObjectName, makeString},               // 64 characters
    {kObjAnalogInput, kPropStatusFlags, makeStatusFlags},
};

void encodeBench(benchmark::State &state) {
    const Sample &s = kSamples[state.range(0)];
    PduBuffer pdu;
    pduInit(&pdu);
    PropertyValue v{};
    s.make(v);
    appmem::reset();
    for (auto _ : state) {
        pdu.length = 0;
        if (propEncodeValue(&pdu, s.type, s.property, &v) != 0) {
            state.SkipWithError("encode failed");
            break;
        }
        benchmark::DoNotOptimize(pdu.writeBase);
    }
    state.counters["appCalloc/op"] =
        benchmark::Counter(static_cast<double>(appmem::calls()) / static_cast<double>(state.iterations()));
    state.counters["octets"] = pdu.length;
    propFreeValue(&v);
    pduFree(&pdu);
}

void decodeBench(benchmark::State &state) {
    const Sample &s = kSamples[state.range(0)];
    PduBuffer pdu;
    pduInit(&pdu);
    PropertyValue v{};
    s.make(v);
    propEncodeValue(&pdu, s.type, s.property, &v);
    propFreeValue(&v);
    std::vector<uint8_t> in(pdu.writeBase, pdu.writeBase + pdu.length);
    in.push_back(0x3F);
    pduFree(&pdu);
    appmem::reset();
    for (auto _ : state) {
        const uint8_t *cur = in.data();
        PropertyValue out{};
        if (propDecodeValue(&cur, objectIdMake(s.type, 1), s.property, &out, static_cast<uint32_t>(in.size()),
                            0x3F, -1) != 0) {
            state.SkipWithError("decode failed");
            break;
        }
        benchmark::DoNotOptimize(out);
        propFreeValue(&out);
    }
    state.counters["appCalloc/op"] =
        benchmark::Counter(static_cast<double>(appmem::calls()) / static_cast<double>(state.iterations()));
    state.counters["octets"] = static_cast<double>(in.size() - 1);
}

const char *const kNames[] = {"real", "object_list_117", "recipient_list_5", "string_64", "status_flags"};

void registerAll() {
    for (int i = 0; i < 5; ++i) {
        benchmark::RegisterBenchmark((std::string("encode/") + kNames[i]).c_str(), encodeBench)->Arg(i);
        benchmark::RegisterBenchmark((std::string("decode/") + kNames[i]).c_str(), decodeBench)->Arg(i);
    }
}

}  // namespace

int main(int argc, char **argv) {
    registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
