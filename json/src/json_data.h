#pragma once
// The records behind JsonItem, shared by the reader, the writers and the
// item operations. Not part of the public interface.

#include "meter/json.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
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

// Memory for the records and slot arrays that splitting a text's containers
// makes: handed out by moving a pointer and given back all at once with the
// text, instead of one allocation and one free per container. Only records
// read from the text split into it, and each of them once, so it never holds
// more than one copy of the document's tree; copies split into the heap.
// Splits on several threads (of items that share no record) may draw from
// one arena at the same time.
class JsonArena {
  public:
    JsonArena() = default;
    JsonArena(const JsonArena &) = delete;
    JsonArena &operator=(const JsonArena &) = delete;
    ~JsonArena();

    // Memory for `bytes` (a multiple of 8), aligned for any record.
    void *allocate(size_t bytes);
    // Sizes the first chunk for a text of `length` bytes.
    void sizeFor(size_t length);

  private:
    struct Chunk {
        Chunk *previous;
        size_t size;
        std::atomic<size_t> used;
        char *data() { return reinterpret_cast<char *>(this) + header; }
    };
    static constexpr size_t header = 32;
    static constexpr size_t smallest = 4096;
    static constexpr size_t largest = size_t{16} << 20;

    Chunk *grow(Chunk *seen, size_t bytes);

    std::atomic<Chunk *> current_{nullptr};
    Chunk *chunks_ = nullptr; // every chunk but the current one
    size_t next_ = smallest;  // size of the next ordinary chunk
    std::mutex grow_;
};

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
    // A string holds bytes that are not UTF-8: the reader refuses the text.
    bool notUtf8 = false;
    JsonArena arena;
    // The root the reader made, and whether every record in the arena is
    // still only as the reader and the decoding made it: held by nothing but
    // its parent's slot (the root by its one handle), with nothing of its own
    // on the heap. While that holds, the tree dies with the root at once,
    // without a walk over every record.
    const JsonItemData *arenaRoot = nullptr;
    std::atomic<bool> arenaTouched{false};
    // Records alive in the arena. They hold one of `refs` together, given
    // back with the last of them.
    std::atomic<size_t> arenaRecords{0};

    void touchArena() {
        if (!arenaTouched.load(std::memory_order_relaxed)) {
            arenaTouched.store(true, std::memory_order_release);
        }
    }

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

// The slots of a container: the children's handles, in document order. The
// slot array is preceded by a JsonSlotHeader.
struct JsonItemList {
    JsonItem *items = nullptr;
    uint32_t count = 0;
    uint32_t capacity = 0; // slots as recorded; the array may be larger
};

struct JsonSlotHeader {
    uint32_t allocated; // slots the array has
    uint32_t inArena;   // the array is in its text's arena, not on the heap
};
inline JsonSlotHeader *jsonSlotHeader(const JsonItemList &list) {
    return reinterpret_cast<JsonSlotHeader *>(reinterpret_cast<char *>(list.items) - sizeof(JsonSlotHeader));
}
inline uint32_t jsonListAllocated(const JsonItemList &list) {
    return list.items == nullptr ? 0 : jsonSlotHeader(list)->allocated;
}

// What few records have: a name or text of their own, a comment.
struct JsonItemExtra {
    std::string name;
    std::string text;
    std::string comment;
};

// One item. Kept small, since a document is thousands of them: names and
// texts read from a text are views of it, and the rest is in `extra`.
// One cache line: a document is thousands of them, and reading it is bound
// by how many lines it touches.
struct JsonItemData {
    JsonItemType type = JsonItemType::Null;
    bool escapeName : 1 = false; // write the name escaped
    bool escapeText : 1 = false; // write a String's text escaped
    bool decoded : 1 = true;
    bool textIsView : 1 = false; // the value text is the raw view (a Number, a word, a String without escapes)
    bool nameIsView : 1 = false; // the name is source's bytes at nameBegin
    bool inArena : 1 = false;    // read from the text: lives in its arena and splits into it
    // Length of a name that is a view; longer names are kept as owned names.
    uint16_t nameLength = 0;
    uint32_t refCount = 1;
    uint32_t rawBegin = 0;
    uint32_t rawLength = 0;
    uint32_t nameBegin = 0;
    uint32_t jump = 0; // jump entry of an undecoded container
    // The text the record was read from. The record holds one reference to
    // it while set: for its raw text while undecoded, and for its views.
    JsonSource *source = nullptr;
    double number = 0;
    JsonItemList children;
    JsonItemExtra *extra = nullptr;

    JsonItemData() = default;
    JsonItemData(const JsonItemData &) = delete;
    JsonItemData &operator=(const JsonItemData &) = delete;
    ~JsonItemData() { delete extra; }

    bool isContainer() const { return type == JsonItemType::Array || type == JsonItemType::Object; }
    std::string_view raw() const { return {source->data() + rawBegin, rawLength}; }
    JsonItemExtra &ensureExtra() {
        if (extra == nullptr) {
            if (inArena) {
                source->touchArena(); // the record now has memory to give back
            }
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

// Sanitizer builds put every record and slot array on the heap on its own,
// so that a use after free is caught for each of them; a second build of the
// library with the arena on (records poisoned as they go) covers the arena.
#if !defined(JSON_RECORD_ARENA)
#if defined(__SANITIZE_ADDRESS__)
#define JSON_RECORD_ARENA 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define JSON_RECORD_ARENA 0
#endif
#endif
#endif
#if !defined(JSON_RECORD_ARENA)
#define JSON_RECORD_ARENA 1
#endif

#if !defined(JSON_ASAN) && defined(__SANITIZE_ADDRESS__)
#define JSON_ASAN 1
#elif !defined(JSON_ASAN) && defined(__has_feature)
#if __has_feature(address_sanitizer)
#define JSON_ASAN 1
#endif
#endif
#if defined(JSON_ASAN)
#include <sanitizer/asan_interface.h>
#define JSON_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define JSON_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define JSON_POISON(p, n) ((void)(p), (void)(n))
#define JSON_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

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
inline void jsonRetain(JsonItemData *record) {
    if (record->inArena) {
        record->source->touchArena(); // held elsewhere: it may outlive the root
    }
    ++record->refCount;
}
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

// Length of the UTF-8 sequence at p (at most `left` bytes) when it is a
// whole and valid one (no overlong form, surrogate or code point above
// U+10FFFF), 0 otherwise; p[0] must be 0x80 or above.
inline size_t jsonUtf8Length(const unsigned char *p, size_t left) {
    unsigned char c = p[0];
    auto cont = [&](size_t k) { return k < left && (p[k] & 0xC0) == 0x80; };
    if (c >= 0xC2 && c <= 0xDF) {
        return cont(1) ? 2 : 0;
    }
    if (c >= 0xE0 && c <= 0xEF) {
        if (left < 3 || !cont(1) || !cont(2)) {
            return 0;
        }
        if ((c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] > 0x9F)) {
            return 0; // overlong, or a surrogate
        }
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (left < 4 || !cont(1) || !cont(2) || !cont(3)) {
            return 0;
        }
        if ((c == 0xF0 && p[1] < 0x90) || (c == 0xF4 && p[1] > 0x8F)) {
            return 0; // overlong, or above U+10FFFF
        }
        return 4;
    }
    return 0;
}

// Whether the n bytes at p are UTF-8 throughout (jsonUtf8Length for every
// byte above 0x7F). Inline: the reader runs it over every string that holds
// such a byte.
inline bool jsonUtf8Valid(const unsigned char *p, size_t n) {
    for (size_t i = 0; i < n;) {
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        const size_t len = jsonUtf8Length(p + i, n - i);
        if (len == 0) {
            return false;
        }
        i += len;
    }
    return true;
}

// Escapes (reader and writer).
// Unescapes `in` into `out`; answers whether an escape was seen.
bool jsonUnescapeText(std::string_view in, std::string &out);
void jsonEscapeText(std::string_view text, bool escape, std::string &out);

extern const std::string jsonBlankText;
extern const std::string jsonBlankMessage;
