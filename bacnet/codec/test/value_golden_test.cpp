// What the value codec reads and writes for a broad, fixed set of inputs,
// held line by line against test/data/value_golden.txt: the round-trip cases
// and the tshark samples, the fuzz corpus, mutations of every encoding, every
// encoding decoded as every fuzz target's property, and encoder sweeps over
// every datatype code. A change that is meant to keep the wire format must
// leave every line as it is.
//
// What depends on the CPU's data model stays out of that one table: the
// in-memory element sizes, the allocations each decode makes (the decoder
// stages elements in a fixed number of octets), and the sweeps over the
// octets of flat records. They are held per ABI in
// test/data/value_golden_memory.<abi>.txt (lp64: 64-bit build machines,
// ilp32: the board's 32-bit ARM), whose first line names the ABI's pointer
// size and alignments.
//
// The derived inputs (mutations, other properties, sweeps) are thousands; a
// group of them takes one line with its count and a digest of its results.
// CODEC_GOLDEN_WRITE=DIR writes both tables of this ABI to DIR instead of
// comparing; with CODEC_GOLDEN_FULL=1 as well, every derived input gets its
// own line, for comparing the records of two builds where a digest differs,
// and with CODEC_GOLDEN_CORPUS=DIR the inputs of DIR as well (a fuzz run's
// work folder, say), read as the fuzz target reads them.

#include "../fuzz/value_targets.h"
#include "tshark_samples.h"
#include "value_cases.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace codec_test;

std::string compact(const uint8_t *p, size_t n) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        s += kDigits[p[i] >> 4];
        s += kDigits[p[i] & 15];
    }
    return s;
}

std::string compact(const Bytes &b) {
    return compact(b.data(), b.size());
}

std::string format(const char *fmt, auto... args) {
    char buf[160];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

// Long encodings of derived inputs are recorded by their length and an
// FNV-1a digest, which keeps the record small and still tells any change.
std::string digest(const uint8_t *p, size_t n) {
    uint64_t h = 0xCBF29CE484222325u;
    for (size_t i = 0; i < n; ++i) {
        h = (h ^ p[i]) * 0x100000001B3u;
    }
    return format("#%zu:%016llX", n, static_cast<unsigned long long>(h));
}

enum class Detail { kOctets, kDigest };

// The two tables: what is the same on every CPU, and what depends on its ABI.
struct Tables {
    std::vector<std::string> wire;
    std::vector<std::string> memory;
};

const char *abiName() { return sizeof(void *) == 8 ? "lp64" : "ilp32"; }

std::string abiLine() {
    return format("abi %s pointer %zu int64 align %zu double align %zu max align %zu", abiName(), sizeof(void *),
                  alignof(int64_t), alignof(double), alignof(std::max_align_t));
}

// The results of a group of derived inputs: each on its own line, or all
// folded into one line.
class Group {
  public:
    Group(std::vector<std::string> &lines, std::string name) : lines_(lines), name_(std::move(name)) {}
    Group(const Group &) = delete;
    Group &operator=(const Group &) = delete;
    ~Group() {
        if (!full()) {
            lines_.push_back(name_ + format(": %zu inputs, %zu accepted, ", count_, accepted_) +
                             digest(reinterpret_cast<const uint8_t *>(results_.data()), results_.size()));
        }
    }
    static bool full() { return std::getenv("CODEC_GOLDEN_FULL") != nullptr; }

    void add(const std::string &what, const std::string &result) {
        ++count_;
        if (result.rfind("dt", 0) == 0 || result.rfind("0:", 0) == 0) {
            ++accepted_;
        }
        if (full()) {
            lines_.push_back(name_ + " " + what + " " + result);
        } else {
            results_ += what + " " + result + "\n";
        }
    }

  private:
    std::vector<std::string> &lines_;
    std::string name_;
    std::string results_;
    size_t count_ = 0;
    size_t accepted_ = 0;
};

// Encodes v into a fresh PDU: "rc:octets", and the length left in the
// buffer after a failure (the encoder takes its octets back).
std::string encodeRecord(uint16_t type, uint32_t property, PropertyValue *v,
                         Detail detail = Detail::kOctets) {
    PduBuffer pdu;
    if (pduInit(&pdu) != 0) {
        return "no pdu";
    }
    const uint8_t rc = propEncodeValue(&pdu, type, property, v);
    std::string s;
    if (rc != 0) {
        s = format("%u left %u", rc, pdu.length);
    } else if (detail == Detail::kDigest && pdu.length > 24) {
        s = "0:" + digest(pdu.writeBase, pdu.length);
    } else {
        s = "0:" + compact(pdu.writeBase, pdu.length);
    }
    pduFree(&pdu);
    return s;
}

struct Decoded {
    std::string wire;
    unsigned allocations = 0;
    std::string allocated() const { return format("a%u", allocations); }
};

// The allocation counts of a group of decodes, beside the group's own line.
class AllocationGroup {
  public:
    AllocationGroup(std::vector<std::string> &lines, std::string name) : lines_(lines), name_(std::move(name)) {}
    AllocationGroup(const AllocationGroup &) = delete;
    AllocationGroup &operator=(const AllocationGroup &) = delete;
    ~AllocationGroup() {
        if (!Group::full()) {
            lines_.push_back(name_ + format(": %zu inputs, ", count_) +
                             digest(reinterpret_cast<const uint8_t *>(results_.data()), results_.size()));
        }
    }

    void add(const std::string &what, const Decoded &d) {
        ++count_;
        if (Group::full()) {
            lines_.push_back(name_ + " " + what + " " + d.allocated());
        } else {
            results_ += what + " " + d.allocated() + "\n";
        }
    }

  private:
    std::vector<std::string> &lines_;
    std::string name_;
    std::string results_;
    size_t count_ = 0;
};

// Decodes the input as the value of (type, property, index), then encodes
// what came back and releases it: the error, the failing position and the
// octets consumed, or the decoded shape and its encoding; and apart from
// those, the allocations made.
Decoded decodeRecord(uint16_t type, uint32_t property, int32_t index, const Bytes &input,
                     Detail detail = Detail::kDigest) {
    const int64_t before = appmem::outstanding();
    const uint64_t calls = appmem::calls();
    std::unique_ptr<uint8_t[]> heap(new uint8_t[input.size() + 1]);
    if (!input.empty()) {
        std::memcpy(heap.get(), input.data(), input.size());
    }
    const uint8_t *cur = heap.get();
    PropertyValue out;
    std::memset(&out, 0, sizeof out);
    const PackedError e =
        propDecodeValue(&cur, oid(type, 1), property, &out, static_cast<uint32_t>(input.size()), 0x3F, index);
    const auto used = static_cast<unsigned>(cur - heap.get());
    const auto allocations = static_cast<unsigned>(appmem::calls() - calls);
    std::string s;
    if (e != 0) {
        s = format("E%08X n%u @%u", e, out.count, used);
        if (out.ownsValue != 0) {
            s += " OWNS";
        }
    } else {
        s = format("dt%u n%u l%u @%u = ", out.datatype, out.count, out.length, used);
        s += encodeRecord(type, property, &out, detail);
        propFreeValue(&out);
    }
    if (appmem::outstanding() != before) {
        s += format(" LEAK %lld", static_cast<long long>(appmem::outstanding() - before));
    }
    return {s, allocations};
}

std::string target(uint16_t type, uint32_t property, int32_t index) {
    return format("%u.%u[%d]", type, property, index);
}

// The inputs derived from one encoding (closing tag included): every cut,
// every octet removed or doubled, and every octet replaced by a few values
// that flip the class bit, the tag number, the length field or all. Of a
// long encoding, whose middle repeats itself, only the head and the tail.
std::vector<std::pair<std::string, Bytes>> mutants(const Bytes &in) {
    std::vector<std::pair<std::string, Bytes>> out;
    for (size_t i = 0; i < in.size(); ++i) {
        if (i >= 48 && i + 16 < in.size()) {
            continue;
        }
        out.emplace_back(format("cut%zu", i), Bytes(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(i)));
        Bytes del = in;
        del.erase(del.begin() + static_cast<std::ptrdiff_t>(i));
        out.emplace_back(format("del%zu", i), del);
        Bytes dup = in;
        dup.insert(dup.begin() + static_cast<std::ptrdiff_t>(i), in[i]);
        out.emplace_back(format("dup%zu", i), dup);
        std::vector<uint8_t> values;
        for (uint8_t v : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t(in[i] ^ 0x01), uint8_t(in[i] ^ 0x08),
                          uint8_t(in[i] ^ 0x10), uint8_t(in[i] ^ 0x80)}) {
            if (v != in[i] && std::find(values.begin(), values.end(), v) == values.end()) {
                values.push_back(v);
                Bytes set = in;
                set[i] = v;
                out.emplace_back(format("set%zu=%02X", i, v), set);
            }
        }
    }
    return out;
}

struct Encoding {
    std::string name;
    uint16_t type;
    uint32_t property;
    int32_t index;
    Bytes octets;  // closing tag included
};

void recordValue(Tables &t, std::vector<Encoding> &encodings, const std::string &name,
                 uint16_t type, uint32_t property, int32_t index,
                 const std::function<void(PropertyValue &)> &make) {
    PropertyValue v;
    std::memset(&v, 0, sizeof v);
    make(v);
    Bytes enc;
    const bool ok = encode(type, property, &v, &enc);
    propFreeValue(&v);
    t.wire.push_back(name + " " + target(type, property, index) + " enc " + (ok ? compact(enc) : "failed"));
    if (!ok) {
        return;
    }
    enc.push_back(0x3F);
    const Decoded d = decodeRecord(type, property, index, enc, Detail::kOctets);
    t.wire.push_back(name + " dec " + d.wire);
    t.memory.push_back(name + " dec " + d.allocated());
    encodings.push_back({name, type, property, index, enc});
}

// Every allocation of the decode made to fail in turn.
void recordAllocationFailures(Tables &t, const Encoding &e) {
    const uint64_t calls = appmem::calls();
    PropertyValue probe;
    decode(e.type, e.property, e.index, Bytes(e.octets.begin(), e.octets.end() - 1), &probe);
    propFreeValue(&probe);
    const uint64_t allocations = appmem::calls() - calls;
    for (uint64_t k = 0; k < allocations; ++k) {
        appmem::failAfter(static_cast<int64_t>(k));
        const Decoded d = decodeRecord(e.type, e.property, e.index, e.octets);
        appmem::failAfter(-1);
        const std::string what = e.name + format(" nomem%llu ", static_cast<unsigned long long>(k));
        t.wire.push_back(what + d.wire);
        t.memory.push_back(what + d.allocated());
    }
}

// Encodes a value with no block, and one with a zeroed block of every
// element size, for every datatype code.
void recordEncoderSweep(std::vector<std::string> &lines) {
    struct Place {
        uint16_t type;
        uint32_t property;
    };
    const Place places[] = {{kObjAnalogInput, kPropPresentValue},
                            {kObjAnalogOutput, kPropPriorityArray},
                            {kObjDatetimeValue, kPropPriorityArray},
                            {kObjAnalogInput, kPropControlledVariableReference},
                            {kObjSchedule, kPropListOfObjectPropertyReferences}};
    for (const Place &p : places) {
        Group empty(lines, format("no block %u.%u", p.type, p.property));
        for (unsigned code = 0; code < 256; ++code) {
            for (uint16_t count : {0, 1}) {
                PropertyValue v;
                std::memset(&v, 0, sizeof v);
                v.datatype = static_cast<uint8_t>(code);
                v.count = count;
                empty.add(format("code %u n%u", code, count), encodeRecord(p.type, p.property, &v));
            }
            // Codes whose value the encoder writes inline would read the
            // block's address; they have no element block to sweep.
            const uint32_t size = code == kDtCharString ? sizeof(CharString) : propElementSize(uint8_t(code));
            if (size == 0) {
                continue;
            }
            for (uint16_t count : {0, 1, 2}) {
                if (count == 0 && code <= kDtObjectId) {
                    continue;  // a primitive held inline
                }
                PropertyValue v;
                std::memset(&v, 0, sizeof v);
                v.datatype = static_cast<uint8_t>(code);
                v.count = count;
                v.value.block = appCalloc(size * (count == 0 ? 1u : count));
                v.ownsValue = 1;
                lines.push_back(format("zeroed %u %u.%u n%u ", code, p.type, p.property, count) +
                                encodeRecord(p.type, p.property, &v));
                propFreeValue(&v);
            }
        }
    }
}

// Every octet of the first element of a flat record replaced by a few
// values, and every aligned word set to all ones (the absent marker).
void recordFlatSweep(std::vector<std::string> &lines, const Case &c) {
    PropertyValue v;
    std::memset(&v, 0, sizeof v);
    c.make(v);
    const uint32_t size = propElementSize(v.datatype);
    // A channel value's block pointer would be released after encoding.
    if (v.value.block != nullptr && size > 0 && v.datatype != kDtChannelValue) {
        auto *element = static_cast<uint8_t *>(v.value.block);
        const Bytes original(element, element + size);
        Group g(lines, std::string("case ") + c.name + " record octets");
        auto one = [&](const std::string &what) {
            g.add(what, encodeRecord(c.type, c.property, &v));
            std::memcpy(element, original.data(), size);
        };
        for (uint32_t j = 0; j < size; ++j) {
            for (uint8_t value : {0x00, 0x01, 0x02, 0x05, 0xFF}) {
                element[j] = value;
                one(format("b%u=%02X", j, value));
            }
        }
        for (uint32_t j = 0; j + 4 <= size; j += 4) {
            std::memset(element + j, 0xFF, 4);
            one(format("w%u=absent", j));
        }
    }
    propFreeValue(&v);
}

void recordCorpus(Tables &tables, const std::string &folder) {
    std::vector<std::filesystem::path> files;
    for (const auto &entry : std::filesystem::directory_iterator(folder)) {
        files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto &path : files) {
        std::ifstream in(path, std::ios::binary);
        const Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string line = "corpus " + path.filename().string();
        if (!data.empty()) {
            const value_fuzz::Target &t = value_fuzz::kTargets[data[0] % value_fuzz::kTargetCount];
            const Decoded d = decodeRecord(t.type, t.property, t.index, Bytes(data.begin() + 1, data.end()),
                                           Detail::kOctets);
            line += " " + target(t.type, t.property, t.index);
            tables.memory.push_back(line + " " + d.allocated());
            line += " " + d.wire;
        }
        tables.wire.push_back(line);
    }
}

Tables record() {
    Tables t;
    std::vector<Encoding> encodings;
    t.memory.push_back(abiLine());
    for (unsigned code = 0; code < 256; ++code) {
        t.memory.push_back(format("size %u %u", code, propElementSize(uint8_t(code))));
    }
    for (const Case &c : cases()) {
        recordValue(t, encodings, std::string("case ") + c.name, c.type, c.property, c.index, c.make);
    }
    for (const Sample &s : samples()) {
        recordValue(t, encodings, std::string("sample ") + s.what, s.type, s.property, -1, s.make);
    }
    for (const Encoding &e : encodings) {
        recordAllocationFailures(t, e);
    }

    // The fuzz corpus, each input read as the fuzz target reads it.
    const char *top = std::getenv("METER_SOURCE_DIR");
    recordCorpus(t, std::string(top != nullptr ? top : ".") + "/bacnet/codec/fuzz/corpus");
    if (const char *extra = std::getenv("CODEC_GOLDEN_CORPUS")) {
        recordCorpus(t, extra);
    }

    for (const Encoding &e : encodings) {
        {
            Group g(t.wire, e.name + " mutated");
            AllocationGroup a(t.memory, e.name + " mutated");
            for (const auto &[what, input] : mutants(e.octets)) {
                const Decoded d = decodeRecord(e.type, e.property, e.index, input);
                g.add(what, d.wire);
                a.add(what, d);
            }
        }
        Group g(t.wire, e.name + " elsewhere");
        AllocationGroup a(t.memory, e.name + " elsewhere");
        for (int32_t index : {0, 1, 2}) {
            const Decoded d = decodeRecord(e.type, e.property, index, e.octets);
            g.add(format("index%d", index), d.wire);
            a.add(format("index%d", index), d);
        }
        for (const value_fuzz::Target &as : value_fuzz::kTargets) {
            const Decoded d = decodeRecord(as.type, as.property, as.index, e.octets);
            const std::string what = "as " + target(as.type, as.property, as.index);
            g.add(what, d.wire);
            a.add(what, d);
        }
    }

    recordEncoderSweep(t.wire);
    for (const Case &c : cases()) {
        if (c.flat) {
            // The octets of the record as it lies in memory.
            recordFlatSweep(t.memory, c);
        }
    }
    return t;
}

// The recorded lines against a table's file, the first differences shown.
void compare(const std::vector<std::string> &got, const std::string &file) {
    std::ifstream in(file);
    ASSERT_TRUE(in.good()) << file;
    std::vector<std::string> want;
    for (std::string l; std::getline(in, l);) {
        want.push_back(l);
    }
    EXPECT_EQ(got.size(), want.size()) << file;
    int shown = 0;
    for (size_t i = 0; i < std::max(got.size(), want.size()) && shown < 20; ++i) {
        const std::string g = i < got.size() ? got[i] : "(none)";
        const std::string w = i < want.size() ? want[i] : "(none)";
        if (g != w) {
            ADD_FAILURE() << file << " line " << i + 1 << "\n  recorded: " << w << "\n  now:      " << g;
            ++shown;
        }
    }
}

void write(const std::vector<std::string> &lines, const std::string &file) {
    std::ofstream out(file);
    for (const std::string &l : lines) {
        out << l << '\n';
    }
    ASSERT_TRUE(out.good()) << file;
}

TEST(ValueGolden, EveryLineAsRecorded) {
    appmem::reset();
    const int64_t base = appmem::outstanding();
    const Tables got = record();
    EXPECT_EQ(appmem::outstanding(), base) << "blocks leaked";

    const std::string memoryFile = std::string("value_golden_memory.") + abiName() + ".txt";
    if (const char *dir = std::getenv("CODEC_GOLDEN_WRITE")) {
        write(got.wire, std::string(dir) + "/value_golden.txt");
        write(got.memory, std::string(dir) + "/" + memoryFile);
        GTEST_SKIP() << "written to " << dir;
    }

    const char *top = std::getenv("METER_SOURCE_DIR");
    ASSERT_NE(top, nullptr) << "METER_SOURCE_DIR names the source tree";
    const std::string data = std::string(top) + "/bacnet/codec/test/data/";
    compare(got.wire, data + "value_golden.txt");
    compare(got.memory, data + memoryFile);
}

}  // namespace
