// Fuzzes the property value decoder over the writable properties of every
// datatype. The first octet picks the object type, property and array index;
// the rest is the value as a WriteProperty carries it, normally ending in the
// closing tag 0x3F. Whatever decodes must encode, decode again to the same
// octets, and release every block it took. The notifications that event-log
// records hold are encoded by the event services, whose encoder the target
// installs as the stack does at its start.

#include "app_memory_counting.h"
#include "bacnet/pdu_buffer.h"
#include "bacnet/property_decoder.h"
#include "bacnet/property_encoder.h"
#include "bacnet/stack/notify.h"
#include "test_app.h"
#include "value_targets.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using value_fuzz::kTargetCount;
using value_fuzz::kTargets;
using value_fuzz::Target;

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
    const PackedError e = propDecodeValue(&cur, objectIdMake(t.type, 1), t.property, out,
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

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The stack links against an application: the tests' one stands by.
    testapp::configure(testapp::Config{});
    svcInstallEventLogEncoder();
    return 0;
}

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
