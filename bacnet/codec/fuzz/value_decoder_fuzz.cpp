// Fuzzes the property value decoder over the writable properties of every
// datatype. The first octet picks the object type, property and array index;
// the rest is the value as a WriteProperty carries it, normally ending in the
// closing tag 0x3F. Whatever decodes must encode, decode again to the same
// octets, and release every block it took.

#include "app_memory_counting.h"
#include "bacnet/pdu_buffer.h"
#include "bacnet/property_decoder.h"
#include "bacnet/property_encoder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

struct Target {
    uint16_t type;
    uint32_t property;
    int32_t index;
};

// One entry per datatype the table gives, plus index forms and a
// proprietary property.
constexpr Target kTargets[] = {
    {0, 81, -1},   {0, 169, -1},  {8, 62, -1},   {15, 86, -1},  {19, 87, -1},  {19, 87, 0},   {19, 87, 5},
    {45, 85, -1},  {2, 85, -1},   {1, 87, -1},   {1, 87, 16},   {46, 85, -1},  {47, 85, -1},  {0, 77, -1},
    {19, 110, -1}, {19, 110, 2},  {0, 111, -1},  {39, 85, -1},  {3, 85, -1},   {4, 87, -1},   {42, 85, -1},
    {50, 85, -1},  {8, 75, -1},   {17, 85, -1},  {45, 87, -1},  {44, 87, -1},  {40, 7, -1},   {8, 76, -1},
    {8, 30, -1},   {0, 101, -1},  {8, 116, -1},  {6, 23, -1},   {0, 19, -1},   {8, 5, -1},    {15, 102, -1},
    {8, 55, -1},   {11, 53, -1},  {17, 123, -1}, {17, 123, 3},  {17, 38, -1},  {0, 249, -1},  {0, 159, -1},
    {17, 54, -1},  {20, 132, -1}, {17, 32, -1},  {0, 16, -1},   {0, 130, -1},  {0, 130, 2},   {0, 157, -1},
    {12, 109, -1}, {7, 2, -1},    {9, 83, -1},   {11, 85, -1},  {8, 152, -1},  {20, 131, -1}, {23, 184, -1},
    {24, 187, -1}, {23, 185, -1}, {28, 212, -1}, {25, 131, -1}, {27, 131, -1}, {32, 258, -1}, {35, 288, -1},
    {32, 256, -1}, {37, 85, -1},  {37, 304, -1}, {32, 257, -1}, {26, 85, -1},  {56, 332, -1}, {56, 330, -1},
    {0, 358, -1},  {15, 361, -1}, {15, 362, -1}, {56, 363, -1}, {54, 380, -1}, {53, 85, -1},  {0, 600, -1},
};
constexpr size_t kTargetCount = sizeof kTargets / sizeof kTargets[0];

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "value decoder fuzz: %s\n", what);
        std::abort();
    }
}

bool encodeInto(const Target &t, PropertyValue *v, std::vector<uint8_t> *out) {
    PduBuffer pdu;
    if (pduInit(&pdu) != 0) {
        return false;
    }
    const bool ok = propEncodeValue(&pdu, t.type, t.property, v) == 0;
    if (ok) {
        out->assign(pdu.writeBase, pdu.writeBase + pdu.length);
    }
    pduFree(&pdu);
    return ok;
}

PackedError decodeFrom(const Target &t, const uint8_t *data, size_t size, PropertyValue *out) {
    // An exact-size heap copy, so any read past the end is caught.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size]);
    if (size > 0) {
        std::memcpy(copy.get(), data, size);
    }
    const uint8_t *cur = copy.get();
    std::memset(out, 0, sizeof *out);
    const PackedError e = propDecodeValue(&cur, (uint32_t{t.type} << 22) | 1, t.property, out,
                                          static_cast<uint32_t>(size), 0x3F, t.index);
    check(cur >= copy.get() && cur <= copy.get() + size, "cursor outside the input");
    if (e == 0) {
        check(cur < copy.get() + size && *cur == 0x3F, "success without the closing tag at the cursor");
    } else {
        check(out->ownsValue == 0, "a failed decode owns a block");
    }
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const Target &t = kTargets[data[0] % kTargetCount];
    const int64_t before = appmem::outstanding();

    PropertyValue v;
    if (decodeFrom(t, data + 1, size - 1, &v) == 0) {
        std::vector<uint8_t> first;
        check(encodeInto(t, &v, &first), "a decoded value does not encode");
        propFreeValue(&v);
        first.push_back(0x3F);
        PropertyValue again;
        check(decodeFrom(t, first.data(), first.size(), &again) == 0, "an encoded value does not decode");
        std::vector<uint8_t> second;
        check(encodeInto(t, &again, &second), "a re-decoded value does not encode");
        propFreeValue(&again);
        second.push_back(0x3F);
        check(first == second, "encode(decode(encode(x))) differs from encode(x)");
    }
    check(appmem::outstanding() == before, "blocks leaked");
    return 0;
}
