// Records, reference counting, copy-on-write and the children lists.

#include "json_data.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

const std::string jsonBlankText;
const std::string jsonBlankMessage;

// ---------------------------------------------------------------------------
// Records

static_assert(sizeof(JsonSlotHeader) == 8);
static_assert(sizeof(JsonSlotHeader) % alignof(JsonItem) == 0);
static_assert(sizeof(JsonItemData) % alignof(JsonItemData) == 0 && alignof(JsonItemData) <= 8);
static_assert(sizeof(void *) != 8 || sizeof(JsonItemData) == 64);

JsonArena::~JsonArena() {
    Chunk *c = current_.load(std::memory_order_relaxed);
    if (c != nullptr) {
        c->previous = chunks_;
        chunks_ = c;
    }
    while (chunks_ != nullptr) {
        Chunk *previous = chunks_->previous;
        JSON_UNPOISON(chunks_->data(), chunks_->size);
        chunks_->~Chunk();
        ::operator delete(static_cast<void *>(chunks_));
        chunks_ = previous;
    }
}

void JsonArena::sizeFor(size_t length) { next_ = std::clamp(length / 4, smallest, size_t{64} << 10); }

void *JsonArena::allocate(size_t bytes) {
    for (;;) {
        Chunk *c = current_.load(std::memory_order_acquire);
        if (c != nullptr) {
            const size_t at = c->used.fetch_add(bytes, std::memory_order_relaxed);
            if (at + bytes <= c->size && at + bytes >= at) {
                JSON_UNPOISON(c->data() + at, bytes);
                return c->data() + at;
            }
        }
        c = grow(c, bytes);
        if (c != nullptr) {
            return c->data(); // a chunk of its own, for one large container
        }
    }
}

JsonArena::Chunk *JsonArena::grow(Chunk *seen, size_t bytes) {
    std::lock_guard<std::mutex> lock(grow_);
    if (bytes > largest / 4 || bytes > next_) {
        // A large container gets a chunk of its own, kept apart, so that the
        // current chunk goes on serving the small ones. That includes one
        // larger than the next ordinary chunk: growing chunk by chunk until
        // one holds it would leave every chunk on the way unused.
        if (bytes > SIZE_MAX - header) {
            throw std::bad_alloc();
        }
        static_assert(sizeof(Chunk) <= header);
        auto *c = new (::operator new(header + bytes)) Chunk{chunks_, bytes, {bytes}};
        chunks_ = c;
        return c;
    }
    Chunk *c = current_.load(std::memory_order_relaxed);
    if (c != seen) {
        return nullptr; // another thread has made a new one meanwhile
    }
    const size_t size = next_;
    auto *fresh = new (::operator new(header + size)) Chunk{nullptr, size, {0}};
    JSON_POISON(fresh->data(), size); // given out piece by piece
    if (c != nullptr) {
        c->previous = chunks_;
        chunks_ = c;
    }
    next_ = std::min(next_ * 2, largest);
    current_.store(fresh, std::memory_order_release);
    return nullptr;
}

JsonItemData *jsonNewRecord(JsonItemType type) {
    auto *record = new JsonItemData;
    record->type = type;
    return record;
}

namespace {

} // namespace

void jsonListFree(JsonItemList &list) {
    if (list.items != nullptr) {
        JsonSlotHeader *header = jsonSlotHeader(list);
        if (header->inArena == 0) {
            ::operator delete(static_cast<void *>(header));
        } else {
            JSON_POISON(header, sizeof(JsonSlotHeader) + sizeof(JsonItem) * size_t{header->allocated});
        }
    }
    list.items = nullptr;
    list.capacity = 0;
}

namespace {

// References to one text given back in one atomic step per run of records
// read from it, rather than one per record.
struct BatchedSourceRelease {
    JsonSource *target = nullptr;
    size_t count = 0;
    size_t inArena = 0;

    void add(JsonSource *source, bool fromArena) {
        if (source != target) {
            flush();
            target = source;
        }
        ++count;
        inArena += fromArena ? 1 : 0;
    }
    void flush() {
        if (target != nullptr) {
            size_t references = count - inArena;
            // The arena's one reference goes with its last record.
            if (inArena != 0 &&
                target->arenaRecords.fetch_sub(inArena, std::memory_order_acq_rel) == inArena) {
                ++references;
            }
            if (references != 0) {
                jsonReleaseSource(target, references);
            }
        }
        target = nullptr;
        count = 0;
        inArena = 0;
    }
};

// Ends a record whose children are gone. A record in an arena leaves its
// memory there; the text it holds, and with it the arena, goes only when the
// batch is flushed.
inline void destroyRecord(JsonItemData *record, BatchedSourceRelease &sources) {
    const bool inArena = record->inArena;
    if (record->source != nullptr) {
        sources.add(record->source, inArena);
    }
    record->~JsonItemData();
    if (!inArena) {
        ::operator delete(static_cast<void *>(record));
    } else {
        JSON_POISON(record, sizeof(JsonItemData));
    }
}

} // namespace

void jsonRelease(JsonItemData *record) {
    if (--record->refCount != 0) {
        return;
    }
#if JSON_RECORD_ARENA
    if (record->inArena) {
        JsonSource *source = record->source;
        if (record == source->arenaRoot && !source->arenaTouched.load(std::memory_order_acquire)) {
            // Nothing below the root is held elsewhere or owns memory: the
            // records go with the arena.
            jsonReleaseSource(source); // the arena's reference
            return;
        }
    }
#endif
    // Deeply nested documents are released with a work list rather than by
    // recursion, so that no nesting depth can exhaust the stack. The list
    // runs through the dead containers themselves (their number, which a
    // container does not use), so that releasing never needs memory: it runs
    // in destructors, also when memory has run out.
    static_assert(sizeof(JsonItemData *) <= sizeof(double));
    BatchedSourceRelease sources;
    JsonItemData *pending = nullptr;
    JsonItemData *next = record;
    while (next != nullptr) {
        JsonItemData *current = next;
        JsonItemList &list = current->children;
        // From the last child to the first, so that the containers pushed
        // come back in document order, the order their memory was made in.
        for (uint32_t i = list.count; i-- > 0;) {
            JsonItemData *child = JsonItemAccess::record(list.items[i]);
            if (--child->refCount != 0) {
                continue;
            }
            if (child->children.items != nullptr) {
                std::memcpy(&child->number, &pending, sizeof pending);
                pending = child;
                continue;
            }
            destroyRecord(child, sources); // a leaf goes at once, while its memory is at hand
        }
        jsonListFree(list);
        destroyRecord(current, sources);
        next = pending;
        if (pending != nullptr) {
            std::memcpy(&pending, &pending->number, sizeof pending);
        }
    }
    sources.flush();
}

namespace {

JsonItemData *cloneOne(const JsonItemData *from) {
    // What may fail is made before the record, which then cannot leak.
    std::unique_ptr<JsonItemExtra> extra;
    if (from->extra != nullptr) {
        extra = std::make_unique<JsonItemExtra>(*from->extra);
    }
    auto *to = new JsonItemData;
    to->extra = extra.release();
    to->type = from->type;
    to->escapeName = from->escapeName;
    to->escapeText = from->escapeText;
    to->decoded = from->decoded;
    to->textIsView = from->textIsView;
    to->number = from->number;
    to->nameIsView = from->nameIsView;
    to->nameBegin = from->nameBegin;
    to->nameLength = from->nameLength;
    to->source = from->source;
    to->rawBegin = from->rawBegin;
    to->rawLength = from->rawLength;
    to->jump = from->jump;
    if (to->source != nullptr) {
        jsonRetainSource(to->source);
    }
    return to;
}

} // namespace

JsonItemData *jsonClone(const JsonItemData *record) {
    JsonItemData *root = cloneOne(record);
    // Containers whose children are still to be copied, without recursion.
    std::vector<std::pair<const JsonItemData *, JsonItemData *>> pending;
    try {
        if (record->isContainer() && record->children.count > 0) {
            pending.emplace_back(record, root);
        }
        while (!pending.empty()) {
            auto [from, to] = pending.back();
            pending.pop_back();
            const JsonItemList &src = from->children;
            jsonListReserve(to->children, src.count);
            for (uint32_t i = 0; i < src.count; ++i) {
                const JsonItemData *child = JsonItemAccess::record(src.items[i]);
                JsonItemData *copy = cloneOne(child);
                try {
                    jsonListAppendOwning(to->children, copy);
                } catch (...) {
                    jsonRelease(copy);
                    throw;
                }
                if (child->isContainer() && child->children.count > 0) {
                    pending.emplace_back(child, copy);
                }
            }
        }
    } catch (...) {
        jsonRelease(root);
        throw;
    }
    return root;
}

// ---------------------------------------------------------------------------
// Children lists

void jsonListReserve(JsonItemList &list, uint32_t capacity) {
    if (capacity <= jsonListAllocated(list)) {
        list.capacity = std::max(list.capacity, capacity);
        return;
    }
    char *memory = static_cast<char *>(::operator new(sizeof(JsonSlotHeader) + sizeof(JsonItem) * size_t{capacity}));
    new (memory) JsonSlotHeader{capacity, 0};
    auto *slots = reinterpret_cast<JsonItem *>(memory + sizeof(JsonSlotHeader));
    for (uint32_t i = 0; i < list.count; ++i) {
        // Handles are one pointer: moving a slot is taking over its record.
        JsonItemAccess::construct(slots + i, JsonItemAccess::record(list.items[i]));
    }
    uint32_t count = list.count;
    jsonListFree(list);
    list.items = slots;
    list.count = count;
    list.capacity = capacity;
}

void jsonListGrowForOne(JsonItemList &list) {
    if (list.count < list.capacity && list.count < jsonListAllocated(list)) {
        return;
    }
    if (list.count == UINT32_MAX) {
        throw std::length_error(jsonBlankMessage);
    }
    uint32_t want = list.items == nullptr || list.capacity == 0 ? 8 : list.capacity;
    while (want <= list.count) {
        want = want > UINT32_MAX / 2 ? UINT32_MAX : want * 2;
    }
    jsonListReserve(list, want);
    list.capacity = want;
}

void jsonListGrowBy(JsonItemList &list, uint32_t n) {
    if (n == 0 || uint64_t{list.count} + n < list.capacity) {
        return;
    }
    if (uint64_t{list.count} + n > UINT32_MAX) {
        throw std::length_error(jsonBlankMessage);
    }
    uint32_t need = list.count + n;
    uint32_t want;
    if (list.items == nullptr || list.capacity == 0) {
        want = std::max<uint32_t>(n, 8);
    } else {
        uint64_t w = uint64_t{list.capacity} * 2;
        while (w < need) {
            w *= 2;
        }
        want = static_cast<uint32_t>(std::min<uint64_t>(w, UINT32_MAX));
    }
    want = std::max(want, need);
    jsonListReserve(list, want);
    list.capacity = want;
}

namespace {

// Removes `n` slots at `at`, releasing their handles unless `keep` asks to
// hand the first one's record to the caller instead.
void removeSlots(JsonItemList &list, uint32_t at, uint32_t n, JsonItemData **keep = nullptr) {
    std::vector<JsonItemData *> dropped;
    dropped.reserve(n);
    for (uint32_t i = 0; i < n; ++i) {
        dropped.push_back(JsonItemAccess::record(list.items[at + i]));
    }
    for (uint32_t i = at + n; i < list.count; ++i) {
        JsonItemAccess::record(list.items[i - n]) = JsonItemAccess::record(list.items[i]);
    }
    list.count -= n;
    if (list.count == 0) {
        jsonListFree(list);
    } else {
        list.capacity = list.count;
    }
    size_t first = 0;
    if (keep != nullptr) {
        *keep = dropped[0];
        first = 1;
    }
    for (size_t i = first; i < dropped.size(); ++i) {
        jsonRelease(dropped[i]);
    }
}

// Opens `n` slots at `at` (at <= count) and fills them with `records`,
// each adopted (references already taken).
void insertSlots(JsonItemList &list, uint32_t at, const std::vector<JsonItemData *> &records) {
    auto n = static_cast<uint32_t>(records.size());
    if (n == 1) {
        jsonListGrowForOne(list);
    } else {
        jsonListGrowBy(list, n);
    }
    uint32_t old = list.count;
    for (uint32_t i = old; i > at; --i) {
        JsonItemData *moved = JsonItemAccess::record(list.items[i - 1]);
        if (i - 1 + n >= old) {
            JsonItemAccess::construct(list.items + i - 1 + n, moved);
        } else {
            JsonItemAccess::record(list.items[i - 1 + n]) = moved;
        }
    }
    for (uint32_t i = 0; i < n; ++i) {
        if (at + i >= old) {
            JsonItemAccess::construct(list.items + at + i, records[i]);
        } else {
            JsonItemAccess::record(list.items[at + i]) = records[i];
        }
    }
    list.count = old + n;
}

// Where an iterator points in a list, without comparing unrelated pointers.
enum class Place { Before, Inside, Past };
Place placeOf(const JsonItemList &list, const JsonItem *slot, uint32_t &index) {
    auto p = reinterpret_cast<uintptr_t>(slot);
    auto b = reinterpret_cast<uintptr_t>(list.items);
    if (list.items == nullptr || p < b) {
        return list.items == nullptr ? Place::Past : Place::Before;
    }
    uintptr_t offset = (p - b) / sizeof(JsonItem);
    if (offset >= list.count) {
        return Place::Past;
    }
    index = static_cast<uint32_t>(offset);
    return Place::Inside;
}

} // namespace

// ---------------------------------------------------------------------------
// Handle

JsonItem::JsonItem(JsonItemType type) : data_(jsonNewRecord(type)) {
    if (type != JsonItemType::Null && type != JsonItemType::String && type != JsonItemType::Number &&
        type != JsonItemType::Boolean && !data_->isContainer()) {
        data_->type = JsonItemType::Null;
    }
    // A Null made here has an empty text, as one read from an empty value;
    // the writers write both as null.
    try {
        switch (data_->type) {
        case JsonItemType::Number:
            data_->setOwnedText("0");
            break;
        case JsonItemType::Boolean:
            data_->setOwnedText("false");
            break;
        default:
            break;
        }
    } catch (...) {
        jsonRelease(data_); // the destructor of a handle never made does not run
        throw;
    }
}

namespace {

// A named record given its value by `set`; nothing is left behind when
// either fails.
template <typename Set> JsonItemData *named(const std::string &name, Set set) {
    JsonItemData *record = jsonNewRecord(JsonItemType::Null);
    try {
        record->setOwnedName(name);
        record->escapeName = true;
        set(record);
    } catch (...) {
        jsonRelease(record);
        throw;
    }
    return record;
}

} // namespace

JsonItem::JsonItem(const std::string &name, char value)
    : data_(named(name, [&](JsonItemData *r) { jsonSetUnsigned(r, static_cast<unsigned char>(value)); })) {}
JsonItem::JsonItem(const std::string &name, unsigned char value)
    : data_(named(name, [&](JsonItemData *r) { jsonSetUnsigned(r, value); })) {}
JsonItem::JsonItem(const std::string &name, short value)
    : data_(named(name, [&](JsonItemData *r) { jsonSetInteger(r, value); })) {}
JsonItem::JsonItem(const std::string &name, unsigned short value)
    : data_(named(name, [&](JsonItemData *r) { jsonSetUnsigned(r, value); })) {}
JsonItem::JsonItem(const std::string &name, int value)
    : data_(named(name, [&](JsonItemData *r) { jsonSetInteger(r, value); })) {}
JsonItem::JsonItem(const std::string &name, unsigned int value)
    : data_(named(name, [&](JsonItemData *r) { jsonSetUnsigned(r, value); })) {}
JsonItem::JsonItem(const std::string &name, long value)
    : data_(named(name, [&](JsonItemData *r) { jsonSetInteger(r, value); })) {}
JsonItem::JsonItem(const std::string &name, unsigned long value)
    : data_(named(name, [&](JsonItemData *r) { jsonSetUnsigned(r, value); })) {}
JsonItem::JsonItem(const std::string &name, long long value)
    : data_(named(name, [&](JsonItemData *r) { jsonSetInteger(r, value); })) {}
JsonItem::JsonItem(const std::string &name, unsigned long long value)
    : data_(named(name, [&](JsonItemData *r) { jsonSetUnsigned(r, value); })) {}
JsonItem::JsonItem(const std::string &name, float value)
    : data_(named(name, [&](JsonItemData *r) { jsonSetDouble(r, static_cast<double>(value)); })) {}
JsonItem::JsonItem(const std::string &name, double value)
    : data_(named(name, [&](JsonItemData *r) { jsonSetDouble(r, value); })) {}
JsonItem::JsonItem(const std::string &name, const std::string &value)
    : data_(named(name, [&](JsonItemData *r) { jsonSetString(r, value); })) {}
JsonItem::JsonItem(const std::string &name, const char *value)
    : data_(named(name, [&](JsonItemData *r) {
          jsonSetString(r, value != nullptr ? std::string(value) : std::string());
      })) {}
JsonItem::JsonItem(const std::string &name, bool value)
    : data_(named(name, [&](JsonItemData *r) { jsonSetBoolean(r, value); })) {}

JsonItem::JsonItem(const JsonItem &other) : data_(other.data_) { jsonRetain(data_); }

JsonItem &JsonItem::operator=(const JsonItem &other) {
    // Take the new reference before dropping the old one: the other handle
    // may live inside this record (item = item.getChild("x")).
    JsonItemData *old = data_;
    if (old != other.data_) {
        if (old->inArena && old != old->source->arenaRoot) {
            // This handle may be a slot of a container read from a text,
            // which then holds a record of another kind.
            old->source->touchArena();
        }
        jsonRetain(other.data_);
        data_ = other.data_;
        jsonRelease(old);
    }
    return *this;
}

JsonItem::~JsonItem() {
    if (data_ != nullptr) {
        jsonRelease(data_);
    }
}

void JsonItem::unshare() {
    if (data_->refCount < 2) {
        if (data_->inArena) {
            data_->source->touchArena(); // about to be changed in place
        }
        return;
    }
    JsonItemData *copy = jsonClone(data_);
    --data_->refCount;
    data_ = copy;
}

JsonItemType JsonItem::getType() const { return data_->type; }

void JsonItem::setName(const std::string &name) {
    unshare();
    data_->setOwnedName(name);
    data_->escapeName = true;
}

std::string JsonItem::getName() const { return std::string(data_->nameView()); }
std::string JsonItem::getComment() const { return std::string(data_->commentView()); }

std::string JsonItem::getText() const {
    jsonEnsureDecoded(data_);
    return std::string(data_->textView());
}

size_t JsonItem::getSize() const {
    jsonEnsureDecoded(data_);
    return data_->isContainer() ? data_->children.count : 0;
}

bool JsonItem::isEmpty() const { return getSize() == 0; }

JsonItemIterator JsonItem::begin() {
    unshare();
    jsonEnsureDecoded(data_);
    return JsonItemIterator(data_->isContainer() ? data_->children.items : nullptr);
}

JsonItemIterator JsonItem::end() {
    unshare();
    jsonEnsureDecoded(data_);
    return JsonItemIterator(data_->isContainer() && data_->children.items != nullptr
                                ? data_->children.items + data_->children.count
                                : nullptr);
}

JsonItemConstIterator JsonItem::begin() const {
    jsonEnsureDecoded(data_);
    return JsonItemConstIterator(data_->isContainer() ? data_->children.items : nullptr);
}

JsonItemConstIterator JsonItem::end() const {
    jsonEnsureDecoded(data_);
    return JsonItemConstIterator(data_->isContainer() && data_->children.items != nullptr
                                     ? data_->children.items + data_->children.count
                                     : nullptr);
}

void JsonItem::clearChildren() {
    jsonEnsureDecoded(data_);
    if (!data_->isContainer() || data_->children.count == 0) {
        return;
    }
    unshare();
    JsonItemList &list = data_->children;
    uint32_t n = list.count;
    std::vector<JsonItemData *> dropped;
    dropped.reserve(n);
    for (uint32_t i = 0; i < n; ++i) {
        dropped.push_back(JsonItemAccess::record(list.items[i]));
    }
    list.count = 0;
    for (JsonItemData *record : dropped) {
        jsonRelease(record);
    }
}

namespace {

// A clone retyped to `type`. The item is decoded first, so that the result
// does not depend on whether the item had been read before.
JsonItem retypedCopy(JsonItemData *record, JsonItemType type) {
    jsonEnsureDecoded(record);
    // Held by a handle at once: dropping a name may need memory and fail.
    JsonItem copy = JsonItemAccess::adopt(jsonClone(record));
    JsonItemData *retyped = copy.data();
    retyped->type = type;
    if (type == JsonItemType::Array) {
        for (uint32_t i = 0; i < retyped->children.count; ++i) {
            JsonItemAccess::record(retyped->children.items[i])->setOwnedName({});
        }
    }
    return copy;
}

} // namespace

JsonItem JsonItem::toObject() const {
    jsonEnsureDecoded(data_);
    switch (data_->type) {
    case JsonItemType::Object:
        return *this;
    case JsonItemType::Array:
        return retypedCopy(data_, JsonItemType::Object);
    default:
        return JsonItem(JsonItemType::Object);
    }
}

JsonItem JsonItem::toArray() const {
    jsonEnsureDecoded(data_);
    switch (data_->type) {
    case JsonItemType::Array:
        return *this;
    case JsonItemType::Object:
        return retypedCopy(data_, JsonItemType::Array);
    default:
        return JsonItem(JsonItemType::Array);
    }
}

void JsonItem::convertTo(JsonItemType type) {
    if (type == data_->type) {
        return;
    }
    switch (type) {
    case JsonItemType::Null:
        unshare();
        jsonSetNull(data_);
        break;
    case JsonItemType::String: {
        jsonEnsureDecoded(data_);
        std::string text(data_->textView());
        unshare();
        jsonSetString(data_, text);
        break;
    }
    case JsonItemType::Number: {
        double value = jsonToDouble(data_);
        unshare();
        jsonSetDouble(data_, value);
        break;
    }
    case JsonItemType::Boolean: {
        bool value = jsonToBoolean(data_);
        unshare();
        jsonSetBoolean(data_, value);
        break;
    }
    case JsonItemType::Array:
        *this = toArray();
        break;
    case JsonItemType::Object:
        *this = toObject();
        break;
    }
}

JsonItem JsonItem::deepCopy() const { return JsonItemAccess::adopt(jsonClone(data_)); }

double JsonItem::toDouble() const { return jsonToDouble(data_); }
int JsonItem::toInteger() const { return jsonToInteger(data_); }
bool JsonItem::toBoolean() const { return jsonToBoolean(data_); }

bool JsonItem::equals(const JsonItem &other) const { return jsonEquals(data_, other.data_); }

// ---------------------------------------------------------------------------
// Lookup

bool jsonNamesMatchIgnoringCase(std::string_view childName, std::string_view askedName) {
    if (childName.size() != askedName.size()) {
        return false;
    }
    for (size_t i = 0; i < askedName.size(); ++i) {
        auto a = static_cast<unsigned char>(askedName[i]);
        auto c = static_cast<unsigned char>(childName[i]);
        if (a == c) {
            continue;
        }
        if (a >= 'A' && a <= 'Z' && c == a + 32) {
            continue;
        }
        if (a >= 'a' && a <= 'z' && c == a - 32) {
            continue;
        }
        return false;
    }
    return true;
}

namespace {

// The asked name up to its first NUL, as the ignoring-case lookups compare it.
std::string_view upToNul(const std::string &name) {
    size_t nul = name.find('\0');
    return nul == std::string::npos ? std::string_view(name) : std::string_view(name).substr(0, nul);
}

// Slot index of the first matching child, or UINT32_MAX.
uint32_t findSlot(JsonItemData *record, const std::string &name, bool ignoreCase) {
    jsonEnsureDecoded(record);
    if (!record->isContainer()) {
        return UINT32_MAX;
    }
    const JsonItemList &list = record->children;
    if (ignoreCase) {
        std::string_view asked = upToNul(name);
        for (uint32_t i = 0; i < list.count; ++i) {
            if (jsonNamesMatchIgnoringCase(JsonItemAccess::record(list.items[i])->nameView(), asked)) {
                return i;
            }
        }
    } else {
        for (uint32_t i = 0; i < list.count; ++i) {
            if (JsonItemAccess::record(list.items[i])->nameView() == name) {
                return i;
            }
        }
    }
    return UINT32_MAX;
}

[[noreturn]] void outOfRange() { throw std::out_of_range(jsonBlankMessage); }

// The slot of the named child; a missing name throws std::out_of_range.
// The lookup may decode the record: read its children only afterwards.
uint32_t requireSlot(JsonItemData *record, const std::string &name, bool ignoreCase) {
    uint32_t i = findSlot(record, name, ignoreCase);
    if (i == UINT32_MAX) {
        outOfRange();
    }
    return i;
}

} // namespace

JsonItemIterator JsonItem::findChild(const std::string &name) {
    unshare();
    uint32_t i = findSlot(data_, name, false);
    return i == UINT32_MAX ? end() : JsonItemIterator(data_->children.items + i);
}

JsonItemConstIterator JsonItem::findChild(const std::string &name) const {
    uint32_t i = findSlot(data_, name, false);
    return i == UINT32_MAX ? end() : JsonItemConstIterator(data_->children.items + i);
}

JsonItemIterator JsonItem::findChildIgnoringCase(const std::string &name) {
    unshare();
    uint32_t i = findSlot(data_, name, true);
    return i == UINT32_MAX ? end() : JsonItemIterator(data_->children.items + i);
}

JsonItemConstIterator JsonItem::findChildIgnoringCase(const std::string &name) const {
    uint32_t i = findSlot(data_, name, true);
    return i == UINT32_MAX ? end() : JsonItemConstIterator(data_->children.items + i);
}

JsonItem &JsonItem::getChild(const std::string &name) { return requireChild(name); }

JsonItem &JsonItem::getChildAt(size_t index) { return requireChildAt(index); }

const JsonItem &JsonItem::getChildAt(size_t index) const { return requireChildAt(index); }

JsonItem &JsonItem::requireChild(const std::string &name) {
    unshare();
    const uint32_t i = requireSlot(data_, name, false);
    return data_->children.items[i];
}

const JsonItem &JsonItem::requireChild(const std::string &name) const {
    const uint32_t i = requireSlot(data_, name, false);
    return data_->children.items[i];
}

JsonItem &JsonItem::requireChildIgnoringCase(const std::string &name) {
    unshare();
    const uint32_t i = requireSlot(data_, name, true);
    return data_->children.items[i];
}

const JsonItem &JsonItem::requireChildIgnoringCase(const std::string &name) const {
    const uint32_t i = requireSlot(data_, name, true);
    return data_->children.items[i];
}

JsonItem &JsonItem::requireChildAt(size_t index) {
    jsonEnsureDecoded(data_);
    if (!data_->isContainer() || index >= data_->children.count) {
        outOfRange();
    }
    unshare();
    return data_->children.items[index];
}

const JsonItem &JsonItem::requireChildAt(size_t index) const {
    jsonEnsureDecoded(data_);
    if (!data_->isContainer() || index >= data_->children.count) {
        outOfRange();
    }
    return data_->children.items[index];
}

// ---------------------------------------------------------------------------
// Insertion and removal

namespace {

// Whether `container` lies in the tree of `item` (its decoded part: an
// unread container has no records below it yet).
bool holds(const JsonItemData *item, const JsonItemData *container) {
    if (item == container) {
        return true;
    }
    if (!item->isContainer() || item->children.count == 0) {
        return false;
    }
    std::vector<const JsonItemData *> pending{item};
    while (!pending.empty()) {
        const JsonItemData *current = pending.back();
        pending.pop_back();
        for (uint32_t i = 0; i < current->children.count; ++i) {
            const JsonItemData *child = JsonItemAccess::record(current->children.items[i]);
            if (child == container) {
                return true;
            }
            if (child->isContainer() && child->children.count != 0) {
                pending.push_back(child);
            }
        }
    }
    return false;
}

// An item about to go into `container`, its reference already taken. Put
// into its own tree, it would make the tree hold itself, which no writer and
// no release could ever finish: it goes in as a copy of itself then, as it
// stands before the insertion.
void takeInsertable(JsonItemData *&added, const JsonItemData *container) {
    if (holds(added, container)) {
        JsonItemData *copy = jsonClone(added);
        jsonRelease(added);
        added = copy;
    }
}

// Puts handles sharing `added` at slot `at` of `container`, which first gets
// a record of its own. The records are taken before: one of them may be the
// container's own child, or the container itself. On failure nothing is
// inserted and no reference is left taken.
void insertShared(JsonItem &container, uint32_t at, std::vector<JsonItemData *> added) {
    for (JsonItemData *record : added) {
        jsonRetain(record);
    }
    try {
        container.unshare();
        JsonItemData *own = container.data();
        for (JsonItemData *&record : added) {
            takeInsertable(record, own);
        }
        if (!added.empty()) {
            insertSlots(own->children, at, added);
        }
    } catch (...) {
        for (JsonItemData *record : added) {
            jsonRelease(record);
        }
        throw;
    }
}

} // namespace

JsonItemIterator JsonItem::appendChild(const JsonItem &item) {
    jsonEnsureDecoded(data_);
    if (!data_->isContainer()) {
        return JsonItemIterator();
    }
    insertShared(*this, data_->children.count, {item.data_});
    return JsonItemIterator(data_->children.items + data_->children.count - 1);
}

JsonItemIterator JsonItem::insertChild(JsonItemIterator position, const JsonItem &item) {
    jsonEnsureDecoded(data_);
    if (!data_->isContainer()) {
        return JsonItemIterator();
    }
    uint32_t index = 0;
    Place place = placeOf(data_->children, position.slot(), index);
    if (place == Place::Before) {
        return begin();
    }
    if (place == Place::Past) {
        return appendChild(item);
    }
    insertShared(*this, index, {item.data_});
    return JsonItemIterator(data_->children.items + index);
}

JsonItemIterator JsonItem::insertChildren(JsonItemIterator position, JsonItemConstIterator first,
                                          JsonItemConstIterator last) {
    jsonEnsureDecoded(data_);
    if (!data_->isContainer()) {
        return JsonItemIterator();
    }
    uint32_t index = 0;
    Place place = placeOf(data_->children, position.slot(), index);
    if (place == Place::Before) {
        return begin();
    }
    if (place == Place::Past) {
        if (position.slot() != nullptr && position.slot() == data_->children.items + data_->children.count) {
            index = data_->children.count; // inserting at end() appends
        } else {
            return end();
        }
    }
    // The records are taken first: the range may lie in this very list.
    std::vector<JsonItemData *> added;
    for (auto it = first; it != last; ++it) {
        added.push_back(it->data());
    }
    insertShared(*this, index, std::move(added));
    return JsonItemIterator(data_->children.items == nullptr ? nullptr : data_->children.items + index);
}

JsonItem JsonItem::takeChildAt(size_t index) {
    jsonEnsureDecoded(data_);
    if (!data_->isContainer() || index >= data_->children.count) {
        outOfRange();
    }
    unshare();
    JsonItemData *taken = nullptr;
    removeSlots(data_->children, static_cast<uint32_t>(index), 1, &taken);
    return JsonItemAccess::adopt(taken);
}

JsonItem JsonItem::takeChild(const std::string &name) {
    unshare();
    uint32_t i = findSlot(data_, name, false);
    if (i == UINT32_MAX) {
        outOfRange();
    }
    return takeChildAt(i);
}

JsonItem JsonItem::takeChildIgnoringCase(const std::string &name) {
    unshare();
    uint32_t i = findSlot(data_, name, true);
    if (i == UINT32_MAX) {
        outOfRange();
    }
    return takeChildAt(i);
}

JsonItemIterator JsonItem::eraseChild(JsonItemIterator position) {
    jsonEnsureDecoded(data_);
    if (!data_->isContainer()) {
        return end();
    }
    uint32_t index = 0;
    Place place = placeOf(data_->children, position.slot(), index);
    if (place == Place::Past) {
        return end();
    }
    if (place == Place::Before) {
        return begin();
    }
    unshare();
    removeSlots(data_->children, index, 1);
    if (data_->children.count == 0) {
        return end();
    }
    return JsonItemIterator(data_->children.items + index);
}

JsonItemIterator JsonItem::eraseChildren(JsonItemIterator first, JsonItemIterator last) {
    jsonEnsureDecoded(data_);
    if (!data_->isContainer()) {
        return end();
    }
    if (first == last) {
        return last;
    }
    uint32_t from = 0;
    uint32_t to = 0;
    Place a = placeOf(data_->children, first.slot(), from);
    if (a == Place::Past) {
        return end();
    }
    if (a == Place::Before) {
        return begin();
    }
    Place b = placeOf(data_->children, last.slot(), to);
    if (b == Place::Before) {
        return begin();
    }
    if (b == Place::Past) {
        to = data_->children.count;
    }
    if (to <= from) {
        return JsonItemIterator(data_->children.items + from);
    }
    unshare();
    removeSlots(data_->children, from, to - from);
    if (data_->children.count == 0) {
        return end();
    }
    return JsonItemIterator(data_->children.items + from);
}

// ---------------------------------------------------------------------------
// Positions counted from the last child

namespace {

// Slot index of `slot` in the list as a signed count, so that positions
// before the first slot or past the last can be told apart; without
// comparing unrelated pointers.
std::ptrdiff_t slotOffset(const JsonItemList &list, const JsonItem *slot) {
    if (list.items == nullptr) {
        return 0;
    }
    auto p = static_cast<std::intptr_t>(reinterpret_cast<uintptr_t>(slot));
    auto b = static_cast<std::intptr_t>(reinterpret_cast<uintptr_t>(list.items));
    return (p - b) / static_cast<std::intptr_t>(sizeof(JsonItem));
}

} // namespace

JsonItemReverseIterator JsonItem::rbegin() { return JsonItemReverseIterator(end()); }
JsonItemReverseIterator JsonItem::rend() { return JsonItemReverseIterator(begin()); }
JsonItemConstReverseIterator JsonItem::rbegin() const { return JsonItemConstReverseIterator(end()); }
JsonItemConstReverseIterator JsonItem::rend() const { return JsonItemConstReverseIterator(begin()); }

JsonItemReverseIterator JsonItem::insertChild(JsonItemReverseIterator position, const JsonItem &item) {
    jsonEnsureDecoded(data_);
    if (!data_->isContainer()) {
        return JsonItemReverseIterator();
    }
    const std::ptrdiff_t count = data_->children.count;
    const std::ptrdiff_t at = slotOffset(data_->children, position.base().slot());
    if (at > count) {
        return rbegin();
    }
    if (at <= 0) {
        insertShared(*this, 0, {item.data_});
        return JsonItemReverseIterator(JsonItemIterator(data_->children.items + 1));
    }
    // After the child at at - 1 in document order.
    JsonItemIterator added = insertChild(JsonItemIterator(data_->children.items + at), item);
    return JsonItemReverseIterator(++added);
}

JsonItemReverseIterator JsonItem::insertChildren(JsonItemReverseIterator position, JsonItemConstIterator first,
                                                 JsonItemConstIterator last) {
    jsonEnsureDecoded(data_);
    if (!data_->isContainer()) {
        return JsonItemReverseIterator();
    }
    const std::ptrdiff_t count = data_->children.count;
    const std::ptrdiff_t at = slotOffset(data_->children, position.base().slot());
    if (at > count) {
        return rbegin();
    }
    if (at < 0) {
        return rend();
    }
    std::vector<JsonItemData *> added;
    for (auto it = first; it != last; ++it) {
        added.push_back(it->data());
    }
    // In document order the range reads backwards.
    std::reverse(added.begin(), added.end());
    const size_t n = added.size();
    insertShared(*this, static_cast<uint32_t>(at), std::move(added));
    if (data_->children.items == nullptr) {
        return JsonItemReverseIterator();
    }
    return JsonItemReverseIterator(JsonItemIterator(data_->children.items + at + n));
}

JsonItemReverseIterator JsonItem::eraseChild(JsonItemReverseIterator position) {
    jsonEnsureDecoded(data_);
    if (!data_->isContainer()) {
        return rend();
    }
    const std::ptrdiff_t count = data_->children.count;
    const std::ptrdiff_t at = slotOffset(data_->children, position.base().slot());
    if (at > count) {
        return rbegin();
    }
    if (at <= 0) {
        return rend();
    }
    unshare();
    removeSlots(data_->children, static_cast<uint32_t>(at - 1), 1);
    if (data_->children.count == 0) {
        return rend();
    }
    return JsonItemReverseIterator(JsonItemIterator(data_->children.items + at - 1));
}

JsonItemReverseIterator JsonItem::eraseChildren(JsonItemReverseIterator first, JsonItemReverseIterator last) {
    jsonEnsureDecoded(data_);
    if (!data_->isContainer()) {
        return rend();
    }
    if (first == last) {
        return last;
    }
    const std::ptrdiff_t count = data_->children.count;
    // In document order the range is [last.base(), first.base()).
    const std::ptrdiff_t to = slotOffset(data_->children, first.base().slot());
    std::ptrdiff_t from = slotOffset(data_->children, last.base().slot());
    if (to > count) {
        return rbegin();
    }
    if (to <= 0) {
        return rend();
    }
    if (from > count) {
        return rbegin();
    }
    from = std::max<std::ptrdiff_t>(from, 0);
    if (from >= to) {
        return JsonItemReverseIterator(JsonItemIterator(data_->children.items + to));
    }
    unshare();
    removeSlots(data_->children, static_cast<uint32_t>(from), static_cast<uint32_t>(to - from));
    if (data_->children.count == 0) {
        return rend();
    }
    return JsonItemReverseIterator(JsonItemIterator(data_->children.items + from));
}

// ---------------------------------------------------------------------------
// Decoding a whole subtree

void jsonDecodeAll(JsonItemData *record) {
    // A work list instead of recursion: any nesting depth is fine.
    std::vector<JsonItemData *> pending{record};
    while (!pending.empty()) {
        JsonItemData *current = pending.back();
        pending.pop_back();
        jsonEnsureDecoded(current);
        if (!current->isContainer()) {
            continue;
        }
        const JsonItemList &list = current->children;
        for (uint32_t i = list.count; i-- > 0;) {
            pending.push_back(JsonItemAccess::record(list.items[i]));
        }
    }
}

void JsonItem::decodeAll() const { jsonDecodeAll(data_); }

// ---------------------------------------------------------------------------
// Heap handles and record sharing

JsonItem *JsonItem::createShared(JsonItemData *record) {
    jsonRetain(record);
    try {
        return new JsonItem(Adopt{}, record);
    } catch (...) {
        jsonRelease(record);
        throw;
    }
}

JsonItem *JsonItem::createOwning(JsonItemData *record) {
    try {
        return new JsonItem(Adopt{}, record);
    } catch (...) {
        jsonRelease(record); // the reference was handed over: nobody else gives it back
        throw;
    }
}

void JsonItem::destroyHandle(JsonItem *handle) { delete handle; }

void jsonShareRecord(JsonItem &a, JsonItem &b) {
    if (a.data() == b.data()) {
        return;
    }
    if (a.data()->refCount < b.data()->refCount) {
        a = b;
    } else {
        b = a;
    }
}

void jsonShareFirstRecord(const JsonItem &first, JsonItem &second) { second = first; }

void jsonShareRecord(JsonItem *items, size_t n) {
    for (size_t i = 1; i < n; ++i) {
        items[i] = items[0];
    }
}
