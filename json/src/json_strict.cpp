// The strict check of a text against JSON's own grammar, for texts that
// leave the meter as they came, and the UTF-8 check of a text on its own.

#include "json_data.h"

#include <vector>

namespace {

struct Strict {
    const unsigned char *p;
    const unsigned char *end;

    void space() {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) {
            ++p;
        }
    }
    bool take(unsigned char c) {
        if (p < end && *p == c) {
            ++p;
            return true;
        }
        return false;
    }
    bool word(const char *w) {
        for (; *w != '\0'; ++w, ++p) {
            if (p >= end || *p != static_cast<unsigned char>(*w)) {
                return false;
            }
        }
        return true;
    }
    bool digits() {
        const unsigned char *start = p;
        while (p < end && *p >= '0' && *p <= '9') {
            ++p;
        }
        return p > start;
    }
    bool number() {
        take('-');
        // A leading zero stands alone.
        if (!take('0') && (p >= end || *p < '1' || *p > '9' || !digits())) {
            return false;
        }
        if (take('.') && !digits()) {
            return false;
        }
        if (take('e') || take('E')) {
            if (!take('+')) {
                take('-');
            }
            if (!digits()) {
                return false;
            }
        }
        return true;
    }
    bool hex4(unsigned &value) {
        value = 0;
        for (int k = 0; k < 4; ++k, ++p) {
            if (p >= end) {
                return false;
            }
            const unsigned char c = *p;
            unsigned d;
            if (c >= '0' && c <= '9') {
                d = c - '0';
            } else if (c >= 'a' && c <= 'f') {
                d = c - 'a' + 10;
            } else if (c >= 'A' && c <= 'F') {
                d = c - 'A' + 10;
            } else {
                return false;
            }
            value = value * 16 + d;
        }
        return true;
    }
    // A string from its opening quote. Surrogate escapes only in pairs: a
    // lone one names no character, and strict readers refuse it.
    bool string() {
        if (!take('"')) {
            return false;
        }
        while (p < end) {
            const unsigned char c = *p;
            if (c == '"') {
                ++p;
                return true;
            }
            if (c < 0x20) {
                return false;
            }
            if (c >= 0x80) {
                const size_t len = jsonUtf8Length(p, static_cast<size_t>(end - p));
                if (len == 0) {
                    return false;
                }
                p += len;
                continue;
            }
            ++p;
            if (c != '\\') {
                continue;
            }
            if (p >= end) {
                return false;
            }
            const unsigned char e = *p++;
            if (e == 'u') {
                unsigned cp = 0;
                if (!hex4(cp) || (cp >= 0xDC00 && cp <= 0xDFFF)) {
                    return false;
                }
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    unsigned low = 0;
                    if (!take('\\') || !take('u') || !hex4(low) || low < 0xDC00 || low > 0xDFFF) {
                        return false;
                    }
                }
            } else if (e != '"' && e != '\\' && e != '/' && e != 'b' && e != 'f' && e != 'n' && e != 'r' &&
                       e != 't') {
                return false;
            }
        }
        return false;
    }
    // A member's name and its colon.
    bool name() {
        space();
        if (!string()) {
            return false;
        }
        space();
        return take(':');
    }
    bool scalar() {
        switch (*p) {
        case '"':
            return string();
        case 't':
            return word("true");
        case 'f':
            return word("false");
        case 'n':
            return word("null");
        default:
            return number();
        }
    }
};

} // namespace

bool jsonIsStrictText(std::string_view text) {
    Strict s{reinterpret_cast<const unsigned char *>(text.data()),
             reinterpret_cast<const unsigned char *>(text.data()) + text.size()};
    // The containers still open, innermost last: without recursion, so that
    // deep nesting costs memory rather than stack.
    std::vector<unsigned char> open;
    for (;;) {
        // One value.
        s.space();
        if (s.p >= s.end) {
            return false;
        }
        if (*s.p == '{' || *s.p == '[') {
            open.push_back(*s.p);
            ++s.p;
            s.space();
            if (s.take(open.back() == '{' ? '}' : ']')) {
                open.pop_back();
            } else if (open.back() == '{' && !s.name()) {
                return false;
            } else {
                continue; // the first member's or element's value
            }
        } else if (!s.scalar()) {
            return false;
        }
        // What follows a value: a separator, or the ends of containers.
        for (;;) {
            s.space();
            if (open.empty()) {
                return s.p == s.end;
            }
            const bool object = open.back() == '{';
            if (s.take(',')) {
                if (object && !s.name()) {
                    return false;
                }
                break; // the next value
            }
            if (!s.take(object ? '}' : ']')) {
                return false;
            }
            open.pop_back();
        }
    }
}

bool jsonIsUtf8(std::string_view text) {
    return jsonUtf8Valid(reinterpret_cast<const unsigned char *>(text.data()), text.size());
}
