#pragma once
// JSON documents as trees of reference-counted items.
//
// A JsonItem is a handle of one pointer to a record. Copying a handle shares
// the record; every operation that changes an item first gives its handle a
// record of its own (copy-on-write). Records built by jsonRead stay undecoded
// until they are first read: a container is split into its children only when
// it is first visited, and a string is unescaped only when it is read itself
// (words and numbers of the usual form are converted as their container is
// split).
//
// The reader is lenient: a value that fails its check becomes Null instead of
// an error, and comments ("//", "#", "/* */") are kept as the comment of the
// item that follows them. Only a text whose root is not an array or an object,
// or one with bytes that are not UTF-8 in a string, is refused, with
// std::invalid_argument.
//
// Threads: a record, and every handle that shares it, may be used by one
// thread at a time; even a read may decode a shared record in place. Items
// of one document that do not share a record may be used on different threads.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

enum class JsonItemType : uint8_t {
    Null = 0,
    String = 1,
    Number = 2,
    Boolean = 3,
    Array = 4,
    Object = 5,
};

struct JsonItemData;
class JsonItem;

// A position in a container's children: a pointer to one slot. It stays valid
// until the container's list changes (an insertion may move the slots).
class JsonItemIterator {
  public:
    using iterator_category = std::bidirectional_iterator_tag;
    using value_type = JsonItem;
    using difference_type = std::ptrdiff_t;
    using pointer = JsonItem *;
    using reference = JsonItem &;

    JsonItemIterator() = default;
    explicit JsonItemIterator(JsonItem *slot) : slot_(slot) {}

    JsonItem &operator*() const { return *slot_; }
    JsonItem *operator->() const { return slot_; }
    JsonItemIterator &operator++();
    JsonItemIterator operator++(int);
    JsonItemIterator &operator--();
    JsonItemIterator operator--(int);
    bool operator==(const JsonItemIterator &other) const { return slot_ == other.slot_; }
    bool operator!=(const JsonItemIterator &other) const { return slot_ != other.slot_; }
    JsonItem *slot() const { return slot_; }

  private:
    JsonItem *slot_ = nullptr;
};

class JsonItemConstIterator {
  public:
    using iterator_category = std::bidirectional_iterator_tag;
    using value_type = JsonItem;
    using difference_type = std::ptrdiff_t;
    using pointer = const JsonItem *;
    using reference = const JsonItem &;

    JsonItemConstIterator() = default;
    explicit JsonItemConstIterator(const JsonItem *slot) : slot_(slot) {}
    JsonItemConstIterator(JsonItemIterator it) : slot_(it.slot()) {}

    const JsonItem &operator*() const { return *slot_; }
    const JsonItem *operator->() const { return slot_; }
    JsonItemConstIterator &operator++();
    JsonItemConstIterator operator++(int);
    JsonItemConstIterator &operator--();
    JsonItemConstIterator operator--(int);
    bool operator==(const JsonItemConstIterator &other) const { return slot_ == other.slot_; }
    bool operator!=(const JsonItemConstIterator &other) const { return slot_ != other.slot_; }
    const JsonItem *slot() const { return slot_; }

  private:
    const JsonItem *slot_ = nullptr;
};

// Positions counted from the last child.
using JsonItemReverseIterator = std::reverse_iterator<JsonItemIterator>;
using JsonItemConstReverseIterator = std::reverse_iterator<JsonItemConstIterator>;

class JsonItem {
  public:
    // A new, empty item of the kind: "null", "", 0, false, [] or {}.
    explicit JsonItem(JsonItemType type = JsonItemType::Null);

    // Named values, as the savers and request bodies build them. The name is
    // written only when the item is a member of an Object; an empty name
    // gives an array element. Integers are written as their decimal digits,
    // floating values without a fraction when within 1e-5 above an integer,
    // else in "%f" form with the trailing zeros cut; NaN and infinities as null.
    JsonItem(const std::string &name, char value); // taken as 0..255
    JsonItem(const std::string &name, unsigned char value);
    JsonItem(const std::string &name, short value);
    JsonItem(const std::string &name, unsigned short value);
    JsonItem(const std::string &name, int value);
    JsonItem(const std::string &name, unsigned int value);
    JsonItem(const std::string &name, long value);
    JsonItem(const std::string &name, unsigned long value);
    // 64-bit on every machine, also where long has 32 bits.
    JsonItem(const std::string &name, long long value);
    JsonItem(const std::string &name, unsigned long long value);
    JsonItem(const std::string &name, float value);
    JsonItem(const std::string &name, double value);
    JsonItem(const std::string &name, const std::string &value);
    JsonItem(const std::string &name, const char *value);
    JsonItem(const std::string &name, bool value);

    JsonItem(const JsonItem &other);            // shares the record
    JsonItem &operator=(const JsonItem &other); // shares the other's record
    ~JsonItem();

    // The kind as it stands, without decoding: a member not yet read reports
    // the kind its first character gave, even if reading it turns it Null.
    JsonItemType getType() const;

    void setName(const std::string &name);
    std::string getName() const;
    // Comment read before the item; written before it by toIndentedText.
    std::string getComment() const;

    // The value as text: a String's characters, a Number's text as read or
    // written, "true", "false" or "null"; empty for a container.
    std::string getText() const;

    // Number of children; 0 for anything but an Array or Object.
    size_t getSize() const;
    bool isEmpty() const;

    // Children in document order; begin() == end() for a non-container.
    // The non-const forms make the record unique first.
    JsonItemIterator begin();
    JsonItemIterator end();
    JsonItemConstIterator begin() const;
    JsonItemConstIterator end() const;

    // Children from the last to the first (same rules as begin and end).
    JsonItemReverseIterator rbegin();
    JsonItemReverseIterator rend();
    JsonItemConstReverseIterator rbegin() const;
    JsonItemConstReverseIterator rend() const;

    void clearChildren();

    // The item seen as a container: an Object (Array) is shared; an Array
    // (Object) gives a retyped copy, an Object's members losing their names;
    // anything else gives a new empty container. The item is unchanged.
    JsonItem toObject() const;
    JsonItem toArray() const;
    // Changes the item's kind in place, keeping what the value converts to.
    void convertTo(JsonItemType type);

    JsonItem deepCopy() const;
    // Gives this handle a record of its own when the record is shared.
    void unshare();

    // Conversions; none fails. Out-of-range and NaN values saturate (NaN
    // gives 0). A String is converted from its text as strtod would, in the
    // C locale.
    double toDouble() const;
    int toInteger() const;
    bool toBoolean() const;

    // Lookups. A name finds the first child with exactly that name (or with
    // that name regardless of ASCII case). find* answer end() when nothing is
    // found; get*/require* raise std::out_of_range with an empty message.
    JsonItemIterator findChild(const std::string &name);
    JsonItemConstIterator findChild(const std::string &name) const;
    JsonItemIterator findChildIgnoringCase(const std::string &name);
    JsonItemConstIterator findChildIgnoringCase(const std::string &name) const;
    JsonItem &getChild(const std::string &name);
    JsonItem &getChildAt(size_t index);
    const JsonItem &getChildAt(size_t index) const;
    JsonItem &requireChild(const std::string &name);
    const JsonItem &requireChild(const std::string &name) const;
    JsonItem &requireChildIgnoringCase(const std::string &name);
    const JsonItem &requireChildIgnoringCase(const std::string &name) const;
    JsonItem &requireChildAt(size_t index);
    const JsonItem &requireChildAt(size_t index) const;

    // Insertion shares the given item (no copy). On a non-container nothing
    // is inserted and end() (null) is returned.
    JsonItemIterator appendChild(const JsonItem &item);
    JsonItemIterator insertChild(JsonItemIterator position, const JsonItem &item);
    JsonItemIterator insertChildren(JsonItemIterator position, JsonItemConstIterator first,
                                    JsonItemConstIterator last);

    // Removal. take* hand the child back; a missing child raises
    // std::out_of_range. erase* answer the position after the removed range.
    JsonItem takeChildAt(size_t index);
    JsonItem takeChild(const std::string &name);
    JsonItem takeChildIgnoringCase(const std::string &name);
    JsonItemIterator eraseChild(JsonItemIterator position);
    JsonItemIterator eraseChildren(JsonItemIterator first, JsonItemIterator last);

    // The same through positions counted from the last child: an insertion
    // at a position puts the new child before it in that order (after it in
    // document order), so that inserting at rend() puts it first in the
    // document; a range is inserted so that it reads in its own order from
    // the last child backwards. A position before rbegin() inserts or
    // removes nothing and answers rbegin(); past rend() answers rend().
    JsonItemReverseIterator insertChild(JsonItemReverseIterator position, const JsonItem &item);
    JsonItemReverseIterator insertChildren(JsonItemReverseIterator position, JsonItemConstIterator first,
                                           JsonItemConstIterator last);
    JsonItemReverseIterator eraseChild(JsonItemReverseIterator position);
    JsonItemReverseIterator eraseChildren(JsonItemReverseIterator first, JsonItemReverseIterator last);

    // Decodes the item and every item below it now, rather than on first use.
    void decodeAll() const;

    // Texts of an Array or Object root; any other root gives "". The compact
    // text has no whitespace and no comments; the indented text has one value
    // per line, tab indents, '" : ' after names and the comments.
    std::string toCompactText(size_t reserve = 1024) const;
    std::string toIndentedText(size_t reserve = 2048) const;

    // Same kind, name and value, children compared pairwise in order.
    // Numbers match within 1e-5. Comments are not compared.
    bool equals(const JsonItem &other) const;

    // The record behind the handle (for diagnostics and the library itself).
    JsonItemData *data() const { return data_; }

    // Handles on the heap, for code that keeps items by pointer: a handle
    // sharing `record` (one more reference), a handle taking over a
    // reference already counted (given back if the handle cannot be made),
    // and the release of either (null is fine).
    static JsonItem *createShared(JsonItemData *record);
    static JsonItem *createOwning(JsonItemData *record);
    static void destroyHandle(JsonItem *handle);

  private:
    struct Adopt {};
    JsonItem(Adopt, JsonItemData *record) : data_(record) {}
    friend struct JsonItemAccess;

    JsonItemData *data_;
};

inline JsonItemIterator &JsonItemIterator::operator++() {
    ++slot_;
    return *this;
}
inline JsonItemIterator JsonItemIterator::operator++(int) {
    JsonItemIterator was = *this;
    ++slot_;
    return was;
}
inline JsonItemIterator &JsonItemIterator::operator--() {
    --slot_;
    return *this;
}
inline JsonItemIterator JsonItemIterator::operator--(int) {
    JsonItemIterator was = *this;
    --slot_;
    return was;
}
inline JsonItemConstIterator &JsonItemConstIterator::operator--() {
    --slot_;
    return *this;
}
inline JsonItemConstIterator JsonItemConstIterator::operator--(int) {
    JsonItemConstIterator was = *this;
    --slot_;
    return was;
}
inline JsonItemConstIterator &JsonItemConstIterator::operator++() {
    ++slot_;
    return *this;
}
inline JsonItemConstIterator JsonItemConstIterator::operator++(int) {
    JsonItemConstIterator was = *this;
    ++slot_;
    return was;
}

// Reads a JSON text. The root is undecoded; its members are decoded when they
// are first used. Throws std::invalid_argument with an empty message when the
// text, once whitespace and comments are dropped, is not one array or object,
// or when a string in it holds bytes that are not UTF-8. Escapes beyond
// JSON's that give a byte above 0x7F which forms no UTF-8 sequence with the
// bytes around it give that byte's Latin-1 character, as a lone escape of
// U+0080 to U+00FF does: every text read is UTF-8.
JsonItem jsonRead(const std::string &text);

// Whether the text is one JSON value exactly as RFC 8259 has it, in UTF-8:
// none of the reader's leniencies (comments, holes, other words, number forms
// and escapes, control bytes in strings) and no lone surrogate escape. For
// texts that go on to peers as they came.
bool jsonIsStrictText(std::string_view text);

// Whether the bytes are UTF-8 as RFC 3629 has it, by the reader's own test of
// strings: every sequence whole, none overlong, no surrogate and nothing
// above U+10FFFF. Any byte below 0x80, NUL included, passes. For texts that
// go into JSON or on to peers that take them as UTF-8.
bool jsonIsUtf8(std::string_view text);

// The first pass of the reader on its own, with the comments dropped instead
// of kept: the text without whitespace outside strings and without comments,
// cut where the reader would stop reading. From a JSON text with comments it
// gives plain compact JSON.
std::string jsonPrepareTextDropComments(const char *text, size_t length);
// Reads a text that has already been through the first pass (as
// jsonPrepareTextDropComments gives it): it must begin with "[" or "{",
// else std::invalid_argument with an empty message.
JsonItem jsonReadPreparedText(const std::string &prepared);

// Makes two handles share one record: the one whose record has fewer
// references takes the other's (the second on a tie).
void jsonShareRecord(JsonItem &a, JsonItem &b);
// The second handle takes the first one's record.
void jsonShareFirstRecord(const JsonItem &first, JsonItem &second);
// Every handle of items[0..n) takes the record of items[0].
void jsonShareRecord(JsonItem *items, size_t n);

// Base64 with the standard alphabet of RFC 4648 and "=" padding.
extern const char base64Alphabet[65];
extern const std::string base64EmptyText;
std::string base64Encode(const std::string &bytes);
// The bytes of a padded base64 text; "" when the text is not one.
std::string base64Decode(const std::string &text);
// Length of the text base64Encode writes for n bytes (padding included).
size_t base64EncodedLength(size_t n);
// At most this many bytes come from a base64 text of n characters.
size_t base64DecodedLength(size_t n);
