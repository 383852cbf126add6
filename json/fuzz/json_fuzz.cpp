// Reads any bytes as a JSON text, walks every value, writes the document
// compact and indented, reads the compact text again and checks that it is
// the same document, and that a text that is strict JSON is written as one.

#include "meter/json.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

void walk(const JsonItem &root) {
    std::vector<const JsonItem *> pending{&root};
    while (!pending.empty()) {
        const JsonItem *item = pending.back();
        pending.pop_back();
        (void)item->getText();
        (void)item->getName();
        (void)item->getComment();
        const double value = item->toDouble();
        if (item->getType() == JsonItemType::Number) {
            // The fast conversions must give what the C library gives.
            const double expected = std::strtod(item->getText().c_str(), nullptr);
            if (std::memcmp(&value, &expected, sizeof value) != 0) {
                std::abort();
            }
        }
        (void)item->toInteger();
        (void)item->toBoolean();
        size_t n = 0;
        for (const JsonItem &child : *item) {
            pending.push_back(&child);
            ++n;
        }
        if (n != item->getSize() ||
            static_cast<size_t>(std::distance(item->rbegin(), item->rend())) != n) {
            std::abort();
        }
    }
}

// Whether the writer put out an escape of a byte 0x80..0xFF, its form for a
// byte that is not part of UTF-8 (in a text set through the interface).
bool writesLoneBytes(const std::string &compact) {
    bool inString = false;
    for (size_t at = 0; at + 1 < compact.size(); ++at) {
        if (compact[at] == '"') {
            inString = !inString;
        }
        if (!inString || compact[at] != '\\') {
            continue;
        }
        if (compact.compare(at + 1, 3, "u00") == 0 && at + 4 < compact.size() &&
            std::strchr("89ABCDEF", compact[at + 4]) != nullptr && compact[at + 4] != '\0') {
            return true;
        }
        ++at; // the escaped character, a backslash among them
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    // The first pass on its own, and reading what it gives.
    std::string prepared = jsonPrepareTextDropComments(text.data(), text.size());
    try {
        JsonItem fromPrepared = jsonReadPreparedText(prepared);
        fromPrepared.decodeAll();
        walk(fromPrepared);
    } catch (const std::invalid_argument &) {
    }
    JsonItem root;
    try {
        root = jsonRead(text);
    } catch (const std::invalid_argument &) {
        return 0;
    }
    // Written once before anything is read (from the raw text) and once after.
    std::string unread = root.toCompactText();
    walk(root);
    std::string compact = root.toCompactText();
    (void)root.toIndentedText();
    if (compact.empty()) {
        return 0; // the root did not split
    }
    // Every text read is UTF-8, so the writer never has to write a byte
    // that is not as an escape naming another character.
    if (writesLoneBytes(compact)) {
        std::abort();
    }
    JsonItem again = jsonRead(compact);
    walk(again);
    if (!again.equals(root)) {
        std::abort();
    }
    JsonItem fromUnread = jsonRead(unread);
    if (!fromUnread.equals(root)) {
        std::abort();
    }
    // JSON as the standard has it stays so through the reader and writer.
    if (jsonIsStrictText(text) && !jsonIsStrictText(compact)) {
        std::abort();
    }
    JsonItem copy = root.deepCopy();
    if (!copy.equals(root) || copy.toCompactText() != compact) {
        std::abort();
    }
    return 0;
}
