#pragma once
// The records behind JsonItem, shared by the reader, the writers and the
// item operations. Not part of the public interface.

#include "meter/json.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Byte that stands for one comment in a prepared text. It cannot occur
// outside strings in a prepared text otherwise, since the first pass ends the
// text at any control byte there; the comment itself is kept aside.
inline constexpr char jsonCommentMark = '\x02';
// Byte written in place of the quote of an escaped quote, so that a quote in
// a prepared text always opens or closes a string.
inline constexpr char jsonQuoteMark = '\x01';

// A prepared text shared by every record read from it. Records keep a view
// of their raw text here instead of a copy each, so that splitting a
// container costs no copying, and the bracket table lets a split skip a
// nested container in one step instead of rescanning it at every level.
struct JsonSource {
    static constexpr uint32_t noClose = 0xFFFFFFFFu;
    static constexpr size_t padding = 16;

    // One bracket that opens a container, in text order.
    struct Jump {
        uint32_t open;  // offset of "[" or "{"
        uint32_t close; // offset of the matching bracket, or noClose
        uint32_t next;  // index of the first bracket after this one's contents
    };
    // One comment mark and where its text is in `comments`.
    struct Comment {
        uint32_t position;
        uint32_t offset;
        uint32_t length;
    };

    std::atomic<size_t> refs{1};
    std::unique_ptr<char[]> text;
    uint32_t length = 0;
    std::vector<Jump> jumps;
    std::vector<Comment> marks;
    // Where a value is missing: a separator or closing bracket right after
    // an opening bracket, a comma or a colon ("[1,]", "{"a":}").
    std::vector<uint32_t> holes;
    std::string comments;
    bool quoteMarkSeen = false;

    const char *data() const { return text.get(); }
    // Whether a comment mark or a hole lies in [begin, end): raw text that
    // cannot be written as it stands.
    bool hasMarkIn(uint32_t begin, uint32_t end) const;
    // The comment of the mark at `position` (which must be a mark).
    std::string_view commentAt(uint32_t position) const;
    // Index of the jump entry of the bracket at `position`, or jumps.size().
    size_t jumpAt(uint32_t position, size_t hint) const;
};

inline void jsonRetainSource(JsonSource *source, size_t n = 1) {
    source->refs.fetch_add(n, std::memory_order_relaxed);
}
void jsonReleaseSource(JsonSource *source, size_t n = 1);

// The children of a split are allocated in one block with their slot array:
// one allocation per container instead of one per value, and siblings close
// together in memory. The block is freed when its last record and the slot
// array are gone.
struct JsonRecordBlock {
    std::atomic<uint32_t> live;
};
void jsonReleaseBlock(JsonRecordBlock *block, uint32_t units);

// The slots of a container: the children's handles, in document order. The
// slot array is preceded by a JsonSlotHeader.
struct JsonItemList {
    JsonItem *items = nullptr;
    uint32_t count = 0;
    uint32_t capacity = 0; // slots as recorded; the array may be larger
};

struct JsonSlotHeader {
    JsonRecordBlock *block; // the block the slots live in, or null
    uint32_t allocated;     // slots the array has
    uint32_t unused;
};
inline JsonSlotHeader *jsonSlotHeader(const JsonItemList &list) {
    return reinterpret_cast<JsonSlotHeader *>(reinterpret_cast<char *>(list.items) - sizeof(JsonSlotHeader));
}
inline uint32_t jsonListAllocated(const JsonItemList &list) {
    return list.items == nullptr ? 0 : jsonSlotHeader(list)->allocated;
}

struct JsonChildBlock {
    JsonRecordBlock *block = nullptr;
    JsonItem *slots = nullptr;
    char *records = nullptr;
    uint32_t count = 0;
};
struct JsonItemData;
// A block for n children and their slots.
JsonChildBlock jsonNewChildBlock(uint32_t n);

// What few records have: a name or text of their own, a comment.
struct JsonItemExtra {
    std::string name;
    std::string text;
    std::string comment;
};

// One item. Kept small, since a document is thousands of them: names and
// texts read from a text are views of it, and the rest is in `extra`.
struct JsonItemData {
    JsonItemType type = JsonItemType::Null;
    bool escapeName = false; // write the name escaped
    bool escapeText = false; // write a String's text escaped
    bool decoded = true;
    bool textIsView = false; // the value text is the raw view (a Number, a String without escapes)
    bool nameIsView = false; // the name is source's bytes at nameBegin
    bool numberReady = false; // an undecoded Number whose `number` is already converted
    uint32_t refCount = 1;
    uint32_t jump = 0; // jump entry of an undecoded container
    // The text the record was read from. The record holds one reference to
    // it while set: for its raw text while undecoded, and for its views.
    JsonSource *source = nullptr;
    uint32_t rawBegin = 0;
    uint32_t rawLength = 0;
    uint32_t nameBegin = 0;
    uint32_t nameLength = 0;
    double number = 0;
    JsonItemList children;
    JsonItemExtra *extra = nullptr;

    JsonItemData() = default;
    JsonItemData(const JsonItemData &) = delete;
    JsonItemData &operator=(const JsonItemData &) = delete;
    ~JsonItemData() { delete extra; }

    // A record lives on its own or in the block of its container's split.
    static void *operator new(size_t size);
    static void *operator new(size_t, void *place) { return place; }
    static void operator delete(void *p);

    bool isContainer() const { return type == JsonItemType::Array || type == JsonItemType::Object; }
    std::string_view raw() const { return {source->data() + rawBegin, rawLength}; }
    JsonItemExtra &ensureExtra() {
        if (extra == nullptr) {
            extra = new JsonItemExtra;
        }
        return *extra;
    }
    std::string_view nameView() const {
        if (nameIsView) {
            return {source->data() + nameBegin, nameLength};
        }
        return extra != nullptr ? std::string_view(extra->name) : std::string_view();
    }
    // The value text as it stands (decoded records).
    std::string_view textView() const {
        if (textIsView) {
            return raw();
        }
        return extra != nullptr ? std::string_view(extra->text) : std::string_view();
    }
    std::string_view commentView() const {
        return extra != nullptr ? std::string_view(extra->comment) : std::string_view();
    }
    void setOwnedName(std::string_view name) {
        ensureExtra().name.assign(name);
        nameIsView = false;
    }
    void setOwnedText(std::string_view text) {
        if (text.empty() && extra == nullptr) {
            textIsView = false;
            return;
        }
        ensureExtra().text.assign(text);
        textIsView = false;
    }
};

#if defined(__SANITIZE_ADDRESS__)
#define JSON_RECORD_BLOCKS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define JSON_RECORD_BLOCKS 0
#endif
#endif
#ifndef JSON_RECORD_BLOCKS
#define JSON_RECORD_BLOCKS 1
#endif

// Every record is preceded by the block it lives in, or null for a record
// allocated on its own.
inline constexpr size_t jsonRecordPrefix = sizeof(void *);
inline constexpr size_t jsonRecordUnit = jsonRecordPrefix + sizeof(JsonItemData);

// Constructs record i of the block.
inline JsonItemData *jsonBlockRecord(JsonChildBlock &b, uint32_t i) {
#if JSON_RECORD_BLOCKS
    char *memory = b.records + size_t{i} * jsonRecordUnit;
    *reinterpret_cast<JsonRecordBlock **>(memory) = b.block;
    return new (memory + jsonRecordPrefix) JsonItemData;
#else
    (void)b;
    (void)i;
    return new JsonItemData;
#endif
}

// Handle-level helpers that need the record's private parts.
struct JsonItemAccess {
    static JsonItem adopt(JsonItemData *record) { return JsonItem(JsonItem::Adopt{}, record); }
    static void construct(JsonItem *slot, JsonItemData *record) {
        new (slot) JsonItem(JsonItem::Adopt{}, record);
    }
    static JsonItemData *&record(JsonItem &item) { return item.data_; }
    static JsonItemData *record(const JsonItem &item) { return item.data_; }
};

// Records and their lifetime.
JsonItemData *jsonNewRecord(JsonItemType type);
inline void jsonRetain(JsonItemData *record) { ++record->refCount; }
// Drops one reference; destroys the record and, without recursion, every
// descendant that no other handle holds.
void jsonRelease(JsonItemData *record);
// A copy of the record and its whole subtree, every record with refCount 1.
JsonItemData *jsonClone(const JsonItemData *record);

// Children lists.
void jsonListReserve(JsonItemList &list, uint32_t capacity);
// Frees the slot array (not the children).
void jsonListFree(JsonItemList &list);
void jsonListGrowForOne(JsonItemList &list);
void jsonListGrowBy(JsonItemList &list, uint32_t n);
// Appends a handle that adopts `record` (no increment).
inline void jsonListAppendOwning(JsonItemList &list, JsonItemData *record) {
    if (list.count == list.capacity || list.count == jsonListAllocated(list)) {
        jsonListGrowForOne(list);
    }
    JsonItemAccess::construct(list.items + list.count, record);
    ++list.count;
}

// Decoding (reader).
void jsonDecode(JsonItemData *record);
inline void jsonEnsureDecoded(JsonItemData *record) {
    if (!record->decoded) {
        jsonDecode(record);
    }
}

// Decodes the record and every record below it, without recursion.
void jsonDecodeAll(JsonItemData *record);
// Puts a handle sharing `child` before the first child of a container.
void jsonPrependChild(JsonItemData *record, JsonItemData *child);

// Values.
void jsonSetNull(JsonItemData *record);
void jsonSetString(JsonItemData *record, const std::string &text);
void jsonSetDouble(JsonItemData *record, double value);
void jsonSetInteger(JsonItemData *record, long long value);
void jsonSetUnsigned(JsonItemData *record, unsigned long long value);
void jsonSetBoolean(JsonItemData *record, bool value);
double jsonToDouble(JsonItemData *record);
int jsonToInteger(JsonItemData *record);
unsigned int jsonToUnsigned(JsonItemData *record);
bool jsonToBoolean(JsonItemData *record);
bool jsonEquals(JsonItemData *a, JsonItemData *b);

// Number text and conversion, independent of the process locale.
// `text` as strtod would read it in the C locale: leading white space, sign,
// decimal or "0x" hexadecimal, "inf", "nan"; 0 when nothing converts.
double jsonParseDouble(std::string_view text);
// A number of RFC 8259's form ("-0.5", "1e20") converted exactly, when it
// has at most 19 significant digits and its value is certain without the
// general routine; false otherwise.
bool jsonStrictNumber(const char *p, size_t n, double &value);
// Text of a double: integral within 1e-5 above an integer, else "%f" with
// the trailing zeros cut; "null" for NaN and infinities.
std::string jsonDoubleText(double value);
int jsonSaturateInt(double value);
unsigned int jsonSaturateUnsigned(double value);

// Eight decimal digits at once, on machines that keep the first byte in the
// low bits of a word.
#if !defined(JSON_EIGHT_DIGITS)
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define JSON_EIGHT_DIGITS 1
#else
#define JSON_EIGHT_DIGITS 0
#endif
#endif
#if JSON_EIGHT_DIGITS
inline uint64_t jsonLoad8(const char *p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline bool jsonEightDigits(uint64_t v) {
    return ((v & 0xF0F0F0F0F0F0F0F0u) | (((v + 0x0606060606060606u) & 0xF0F0F0F0F0F0F0F0u) >> 4)) ==
           0x3333333333333333u;
}
inline uint32_t jsonEightDigitsValue(uint64_t v) {
    v -= 0x3030303030303030u;
    v = (v * 10) + (v >> 8);
    v = (((v & 0x000000FF000000FFu) * (100 + (uint64_t{1000000} << 32))) +
         (((v >> 16) & 0x000000FF000000FFu) * (1 + (uint64_t{10000} << 32)))) >>
        32;
    return static_cast<uint32_t>(v);
}
inline uint32_t jsonLoad4(const char *p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline bool jsonFourDigits(uint32_t v) {
    return ((v & 0xF0F0F0F0u) | (((v + 0x06060606u) & 0xF0F0F0F0u) >> 4)) == 0x33333333u;
}
inline uint32_t jsonFourDigitsValue(uint32_t v) {
    v -= 0x30303030u;
    v = (v * 10) + (v >> 8); // pairs in bytes 0 and 2
    return ((v & 0xFF) * 100) + ((v >> 16) & 0xFF);
}
#endif

// Names compared without regard to ASCII case.
bool jsonNamesMatchIgnoringCase(std::string_view childName, std::string_view askedName);

// Escapes (reader and writer).
// Unescapes `in` into `out`; answers whether an escape was seen.
bool jsonUnescapeText(std::string_view in, std::string &out);
void jsonEscapeText(std::string_view text, bool escape, std::string &out);

extern const std::string jsonBlankText;
extern const std::string jsonBlankMessage;
