// The reader: the first pass over the text, the root, and the lazy decoding
// of items (splitting containers, unescaping strings, converting numbers).

#include "json_data.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <limits>
#include <stdexcept>

// ---------------------------------------------------------------------------
// Source

void jsonReleaseSource(JsonSource *source, size_t n) {
    if (source->refs.fetch_sub(n, std::memory_order_acq_rel) == n) {
        delete source;
    }
}

bool JsonSource::hasMarkIn(uint32_t begin, uint32_t end) const {
    if (!marks.empty()) {
        auto it = std::lower_bound(marks.begin(), marks.end(), begin,
                                   [](const Comment &c, uint32_t pos) { return c.position < pos; });
        if (it != marks.end() && it->position < end) {
            return true;
        }
    }
    if (!holes.empty()) {
        auto it = std::lower_bound(holes.begin(), holes.end(), begin);
        if (it != holes.end() && *it < end) {
            return true;
        }
    }
    return false;
}

std::string_view JsonSource::commentAt(uint32_t position) const {
    auto it = std::lower_bound(marks.begin(), marks.end(), position,
                               [](const Comment &c, uint32_t pos) { return c.position < pos; });
    if (it == marks.end() || it->position != position) {
        return {};
    }
    return std::string_view(comments).substr(it->offset, it->length);
}

size_t JsonSource::jumpAt(uint32_t position, size_t hint) const {
    if (hint < jumps.size() && jumps[hint].open == position) {
        return hint;
    }
    auto it = std::lower_bound(jumps.begin(), jumps.end(), position,
                               [](const Jump &j, uint32_t pos) { return j.open < pos; });
    if (it == jumps.end() || it->open != position) {
        return jumps.size();
    }
    return static_cast<size_t>(it - jumps.begin());
}

// ---------------------------------------------------------------------------
// First pass

namespace {

enum : uint8_t { Plain, Space, Quote, Hash, Slash, Open, Close, Stop };

struct ByteClasses {
    uint8_t of[256];
    constexpr ByteClasses() : of() {
        for (int c = 0; c < 256; ++c) {
            of[c] = c >= 0x20 && c <= 0x7E ? Plain : Stop;
        }
        for (unsigned char c : {' ', '\t', '\n', '\r'}) {
            of[c] = Space;
        }
        of[static_cast<unsigned char>('"')] = Quote;
        of[static_cast<unsigned char>('#')] = Hash;
        of[static_cast<unsigned char>('/')] = Slash;
        of[static_cast<unsigned char>('[')] = of[static_cast<unsigned char>('{')] = Open;
        of[static_cast<unsigned char>(']')] = of[static_cast<unsigned char>('}')] = Close;
    }
};
constexpr ByteClasses byteClass;

// Builds the prepared text: whitespace outside strings dropped, each comment
// replaced by one mark (its text kept aside), each escaped quote's quote
// replaced by jsonQuoteMark, and the brackets matched.
void prepare(const char *s, size_t n, JsonSource &src) {
    // Room after the text, so that the splitting may read sixteen bytes at a
    // time past the end of a container.
    src.text.reset(new char[n + JsonSource::padding]);
    char *out = src.text.get();
    size_t o = 0;
    std::vector<uint32_t> open; // jump entries of the brackets not yet closed
#if defined(__SSE2__)
    const __m128i blank = _mm_set1_epi8(' ');
    const __m128i newline = _mm_set1_epi8('\n');
    const __m128i tab = _mm_set1_epi8('\t');
    const __m128i carriageReturn = _mm_set1_epi8('\r');
    const __m128i below = _mm_set1_epi8(0x21);
    const __m128i del = _mm_set1_epi8(0x7F);
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i hash = _mm_set1_epi8('#');
    const __m128i slash = _mm_set1_epi8('/');
    const __m128i openSquare = _mm_set1_epi8('[');
    const __m128i closeSquare = _mm_set1_epi8(']');
    const __m128i openCurly = _mm_set1_epi8('{');
    const __m128i closeCurly = _mm_set1_epi8('}');
    const __m128i comma = _mm_set1_epi8(',');
    const __m128i colon = _mm_set1_epi8(':');
    const __m128i backslash = _mm_set1_epi8('\\');
#endif

    auto addComment = [&](size_t from, size_t to) {
        src.marks.push_back({static_cast<uint32_t>(o), static_cast<uint32_t>(src.comments.size()),
                             static_cast<uint32_t>(to - from)});
        src.comments.append(s + from, to - from);
        out[o++] = jsonCommentMark;
    };

    // A comma at `at` after `before` leaves a value out.
    auto noteComma = [&](size_t at, char before) {
        if (before == '[' || before == '{' || before == ',' || before == ':') {
            src.holes.push_back(static_cast<uint32_t>(at));
        }
    };

    auto openAt = [&](size_t at) {
        open.push_back(static_cast<uint32_t>(src.jumps.size()));
        src.jumps.push_back({static_cast<uint32_t>(at), JsonSource::noClose, 0});
    };
    // The bracket `c` closing at `at` (already in `out`).
    auto closeAt = [&](size_t at, char c) {
        if (at > 0 && (out[at - 1] == ',' || (c == '}' && out[at - 1] == ':'))) {
            src.holes.push_back(static_cast<uint32_t>(at));
        }
        // Match the nearest open bracket of the same kind; brackets of the
        // other kind left open inside it stay unmatched. A close without
        // any match is left as it is.
        const char want = c == ']' ? '[' : '{';
        for (size_t k = open.size(); k-- > 0;) {
            JsonSource::Jump &j = src.jumps[open[k]];
            if (out[j.open] == want) {
                j.close = static_cast<uint32_t>(at);
                for (size_t m = k; m < open.size(); ++m) {
                    src.jumps[open[m]].next = static_cast<uint32_t>(src.jumps.size());
                }
                open.resize(k);
                break;
            }
        }
    };

    size_t i = 0;
    while (i < n) {
        auto c = static_cast<unsigned char>(s[i]);
#if defined(__SSE2__)
        // Numbers, words, separators and brackets sixteen bytes at a time,
        // copied as they are, while there are that many; the brackets and
        // the commas that leave a value out are found from bit masks.
        if (byteClass.of[c] == Plain || byteClass.of[c] == Open || byteClass.of[c] == Close) {
            while (i + 16 <= n) {
                __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
                __m128i special = _mm_or_si128(_mm_cmplt_epi8(v, below), // controls, space, >= 0x80
                                               _mm_cmpeq_epi8(v, del));
                special = _mm_or_si128(special, _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, hash)));
                special = _mm_or_si128(special, _mm_cmpeq_epi8(v, slash));
                // A comma matters only where it leaves a value out: after an
                // opening bracket, a comma or a colon.
                const __m128i before = _mm_or_si128(_mm_slli_si128(v, 1),
                                                    _mm_cvtsi32_si128(o != 0 ? static_cast<unsigned char>(out[o - 1]) : 0));
                __m128i left = _mm_or_si128(_mm_cmpeq_epi8(before, openSquare), _mm_cmpeq_epi8(before, openCurly));
                left = _mm_or_si128(left, _mm_or_si128(_mm_cmpeq_epi8(before, comma), _mm_cmpeq_epi8(before, colon)));
                __m128i marks = _mm_and_si128(_mm_cmpeq_epi8(v, comma), left);
                marks = _mm_or_si128(marks, _mm_cmpeq_epi8(v, openSquare));
                marks = _mm_or_si128(marks, _mm_cmpeq_epi8(v, closeSquare));
                marks = _mm_or_si128(marks, _mm_cmpeq_epi8(v, openCurly));
                marks = _mm_or_si128(marks, _mm_cmpeq_epi8(v, closeCurly));
                _mm_storeu_si128(reinterpret_cast<__m128i *>(out + o), v); // out has room: o <= i
                auto mask = static_cast<unsigned>(_mm_movemask_epi8(special));
                const size_t plain = mask != 0 ? static_cast<size_t>(__builtin_ctz(mask)) : 16;
                auto found = static_cast<unsigned>(_mm_movemask_epi8(marks)) & ((1u << plain) - 1);
                // In text order, so that the holes stay sorted.
                while (found != 0) {
                    const auto k = static_cast<size_t>(__builtin_ctz(found));
                    const char m = s[i + k];
                    if (m == ',') {
                        src.holes.push_back(static_cast<uint32_t>(o + k));
                    } else if (m == '[' || m == '{') {
                        openAt(o + k);
                    } else {
                        closeAt(o + k, m);
                    }
                    found &= found - 1;
                }
                i += plain;
                o += plain;
                if (mask != 0) {
                    break;
                }
            }
            if (i >= n) {
                break;
            }
            c = static_cast<unsigned char>(s[i]);
        }
#endif
        if (byteClass.of[c] == Plain) {
            // Runs of plain bytes (numbers, words, separators) in one loop.
            do {
                if (c == ',') {
                    noteComma(o, o != 0 ? out[o - 1] : '\0');
                }
                out[o++] = static_cast<char>(c);
                if (++i == n) {
                    break;
                }
                c = static_cast<unsigned char>(s[i]);
            } while (byteClass.of[c] == Plain);
            continue;
        }
        switch (byteClass.of[c]) {
        case Space:
            ++i;
#if defined(__SSE2__)
            // Indentation: sixteen bytes at a time.
            while (i + 16 <= n) {
                __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
                __m128i space = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, blank), _mm_cmpeq_epi8(v, newline)),
                                             _mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_cmpeq_epi8(v, carriageReturn)));
                auto other = ~static_cast<unsigned>(_mm_movemask_epi8(space)) & 0xFFFFu;
                if (other != 0) {
                    i += static_cast<size_t>(__builtin_ctz(other));
                    break;
                }
                i += 16;
            }
#endif
            while (i < n && byteClass.of[static_cast<unsigned char>(s[i])] == Space) {
                ++i;
            }
            continue;
        case Open:
            openAt(o);
            out[o++] = static_cast<char>(c);
            ++i;
            continue;
        case Close:
            out[o] = static_cast<char>(c);
            closeAt(o, static_cast<char>(c));
            ++o;
            ++i;
            continue;
        case Quote: {
            out[o++] = '"';
            ++i;
            bool closed = false;
            while (i < n) {
                // Copy up to the next quote or backslash in one step, noting
                // whether the run holds a byte above 0x7F.
                size_t run = i;
                unsigned high = 0;
#if defined(__SSE2__)
                while (run + 16 <= n) {
                    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + run));
                    auto mask = static_cast<unsigned>(_mm_movemask_epi8(
                        _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash))));
                    const auto top = static_cast<unsigned>(_mm_movemask_epi8(v));
                    if (mask != 0) {
                        const auto k = static_cast<unsigned>(__builtin_ctz(mask));
                        high |= top & ((1u << k) - 1);
                        run += k;
                        break;
                    }
                    high |= top;
                    run += 16;
                }
#endif
                while (run < n && s[run] != '"' && s[run] != '\\') {
                    high |= static_cast<unsigned char>(s[run]) & 0x80u;
                    ++run;
                }
                // No quote or backslash occurs inside a UTF-8 sequence, so
                // each run between them must be UTF-8 on its own: JSON text
                // is UTF-8, and a byte that is not would come out of the
                // writer as a different character.
                if (high != 0 && !src.notUtf8 &&
                    !jsonUtf8Valid(reinterpret_cast<const unsigned char *>(s + i), run - i)) {
                    src.notUtf8 = true;
                }
                std::memcpy(out + o, s + i, run - i);
                o += run - i;
                i = run;
                if (i >= n) {
                    break;
                }
                if (s[i] == '"') {
                    out[o++] = '"';
                    ++i;
                    closed = true;
                    break;
                }
                out[o++] = '\\';
                if (i + 1 >= n) {
                    i = n;
                    break;
                }
                if (s[i + 1] == '"') {
                    out[o++] = jsonQuoteMark;
                    src.quoteMarkSeen = true;
                } else if (static_cast<unsigned char>(s[i + 1]) >= 0x80) {
                    // The first byte of a sequence: copied and checked with
                    // the run it begins.
                    ++i;
                    continue;
                } else {
                    out[o++] = s[i + 1];
                }
                i += 2;
            }
            if (!closed) {
                i = n; // the text ended inside a string
            }
            continue;
        }
        case Hash: {
            const void *nl = std::memchr(s + i + 1, '\n', n - i - 1);
            size_t end = nl != nullptr ? static_cast<size_t>(static_cast<const char *>(nl) - s) : n;
            addComment(i + 1, end);
            i = end + 1;
            continue;
        }
        case Slash:
            if (i + 1 < n && s[i + 1] == '/') {
                const void *nl = n - i > 2 ? std::memchr(s + i + 2, '\n', n - i - 2) : nullptr;
                size_t end = nl != nullptr ? static_cast<size_t>(static_cast<const char *>(nl) - s) : n;
                addComment(i + 2, end);
                i = end + 1;
                continue;
            }
            if (i + 1 < n && s[i + 1] == '*') {
                size_t from = i + 2;
                size_t end = from;
                while (end + 1 < n && !(s[end] == '*' && s[end + 1] == '/')) {
                    ++end;
                }
                if (end + 1 < n) {
                    addComment(from, end);
                    i = end + 2;
                } else {
                    addComment(from, n); // unclosed: the rest is the comment
                    i = n;
                }
                continue;
            }
            i = n; // a slash that starts no comment ends the text
            continue;
        default: // a control byte or a byte above 0x7E outside strings ends the text
            i = n;
            continue;
        }
    }
    for (uint32_t k : open) {
        src.jumps[k].next = static_cast<uint32_t>(src.jumps.size());
    }
    src.length = static_cast<uint32_t>(o);
    std::memset(out + o, 0, JsonSource::padding); // what the sixteen-byte reads may see past the end
}

// ---------------------------------------------------------------------------
// Value checks

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A run of digits with at most one "." before any exponent, and at most one
// exponent that is followed by a digit or by a sign and a digit.
bool decimalTail(const char *p, const char *e, bool pointSeen, bool exponentSeen) {
    while (p < e) {
#if JSON_EIGHT_DIGITS
        if (e - p >= 8 && jsonEightDigits(jsonLoad8(p))) {
            p += 8;
            continue;
        }
#endif
        char c = *p;
        if (isDigit(c)) {
            ++p;
        } else if (c == '.' && !pointSeen && !exponentSeen) {
            pointSeen = true;
            ++p;
        } else if ((c == 'e' || c == 'E') && !exponentSeen) {
            if (p + 1 < e && isDigit(p[1])) {
                ++p;
            } else if (p + 2 < e && (p[1] == '+' || p[1] == '-') && isDigit(p[2])) {
                p += 2;
            } else {
                return false;
            }
            exponentSeen = true;
        } else {
            return false;
        }
    }
    return true;
}

bool octalTail(const char *p, const char *e) {
    for (; p < e; ++p) {
        if (*p < '0' || *p > '7') {
            return false;
        }
    }
    return true;
}

bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool hexTail(const char *p, const char *e) {
    for (; p < e; ++p) {
        if (!isHex(*p)) {
            return false;
        }
    }
    return true;
}

// Whether a value text that starts with a digit, ".", "+" or "-" is a number.
bool isNumberText(const char *p, size_t n) {
    const char *e = p + n;
    char c = p[0];
    if (c >= '1' && c <= '9') {
        return decimalTail(p + 1, e, false, false);
    }
    if (c == '.') {
        // A point needs a digit after it: "." alone is no number.
        return n >= 2 && isDigit(p[1]) && decimalTail(p + 1, e, true, false);
    }
    if (c == '+' || c == '-') {
        if (n < 2 || p[1] == '.' || p[1] == 'e' || p[1] == 'E') {
            return false;
        }
        if (p[1] == '0') {
            return decimalTail(p + 2, e, false, false);
        }
        return decimalTail(p + 1, e, false, false);
    }
    if (c == '0') {
        if (n == 1) {
            return true;
        }
        char d = p[1];
        if (d == '.') {
            return decimalTail(p + 2, e, true, false);
        }
        if (d >= '1' && d <= '7') {
            return octalTail(p + 1, e);
        }
        if (d == 'x') {
            return hexTail(p + 2, e);
        }
        if (d == 'e' || d == 'E') {
            return n >= 3 && (p[2] == '+' || p[2] == '-' || isDigit(p[2])) && decimalTail(p + 3, e, false, true);
        }
        return false;
    }
    return false;
}

bool wordIs(const char *p, size_t n, const char *word) {
    size_t w = std::strlen(word);
    return n == w && std::memcmp(p, word, w) == 0;
}

// Makes `record` the child for the value text at [begin, begin + n) of
// `src`. Containers get `jump`, the jump entry of their bracket.
// The record already holds its reference to `src`.
JsonItemData *makeValue(JsonItemData *record, JsonSource *src, uint32_t begin, uint32_t n, size_t jump) {
    if (n == 0) {
        return record; // Null with an empty text
    }
    const char *p = src->data() + begin;
    const char last = p[n - 1];
    auto undecoded = [&](JsonItemType type) {
        record->type = type;
        record->decoded = false;
        record->rawBegin = begin;
        record->rawLength = n;
    };
    // Words and converted numbers are decoded as they stand: their text is a
    // view of the source, with nothing to allocate.
    auto word = [&](JsonItemType type, double value) {
        record->type = type;
        record->rawBegin = begin;
        record->rawLength = n;
        record->textIsView = true;
        record->number = value;
    };
    switch (p[0]) {
    case '"':
        if (n >= 2 && last == '"') {
            undecoded(JsonItemType::String);
            return record;
        }
        break;
    case '[':
    case '{':
        if (last == (p[0] == '[' ? ']' : '}')) {
            undecoded(p[0] == '[' ? JsonItemType::Array : JsonItemType::Object);
            record->jump = static_cast<uint32_t>(src->jumpAt(begin, jump));
            return record;
        }
        break;
    case 't':
        if (wordIs(p, n, "true")) {
            word(JsonItemType::Boolean, 1);
            return record;
        }
        break;
    case 'f':
        if (wordIs(p, n, "false")) {
            word(JsonItemType::Boolean, 0);
            return record;
        }
        break;
    case 'n':
        if (wordIs(p, n, "null")) {
            word(JsonItemType::Null, 0);
            return record;
        }
        break;
    default:
        // The common form is checked and converted in one pass. The reader's other forms ("017",
        // "0x1A", "+1", ".5") are only checked here.
        if (jsonStrictNumber(p, n, record->number)) {
            word(JsonItemType::Number, record->number); // converted: nothing left to decode
            return record;
        }
        if (isNumberText(p, n)) {
            undecoded(JsonItemType::Number);
            return record;
        }
        break;
    }
    jsonSetNull(record); // "null" itself, and any text that fails its check
    return record;
}

// ---------------------------------------------------------------------------
// Splitting

constexpr size_t notFound = std::numeric_limits<size_t>::max();

// Finds the first of `a` or `b` at nesting level 0 in [p, end). Strings are
// skipped to their closing quote, nested containers to their matching
// bracket; a closing bracket at level 0, a string or container that does not
// close before `end` give "not found". `cursor` is the jump entry of the
// next bracket at or after p.
#if !defined(__SSE2__)
struct StopBytes {
    bool of[256];
    constexpr StopBytes() : of() {
        for (char c : {',', ':', '"', '[', '{', ']', '}'}) {
            of[static_cast<unsigned char>(c)] = true;
        }
    }
};
constexpr StopBytes stopByte;
#endif

#if defined(__SSE2__)
// Offset of the first byte in [p, end) that `match` finds, reading sixteen
// bytes at a time (the text is padded for it); `end` when there is none.
template <typename Match> size_t scanTo(const char *t, size_t p, size_t end, Match match) {
    while (p < end) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(t + p));
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(match(v)));
        if (end - p < 16) {
            mask &= (1u << (end - p)) - 1;
        }
        if (mask != 0) {
            return p + static_cast<size_t>(__builtin_ctz(mask));
        }
        p += 16;
    }
    return end;
}
#endif

size_t findTopLevel(const JsonSource &src, size_t p, size_t end, size_t &cursor, char a, char b) {
    const char *t = src.data();
#if defined(__SSE2__)
    const __m128i comma = _mm_set1_epi8(',');
    const __m128i colon = _mm_set1_epi8(':');
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i openSquare = _mm_set1_epi8('[');
    const __m128i closeSquare = _mm_set1_epi8(']');
    const __m128i openCurly = _mm_set1_epi8('{');
    const __m128i closeCurly = _mm_set1_epi8('}');
#endif
    while (p < end) {
#if defined(__SSE2__)
        p = scanTo(t, p, end, [&](__m128i v) {
            __m128i x = _mm_or_si128(_mm_cmpeq_epi8(v, comma), _mm_cmpeq_epi8(v, colon));
            __m128i y = _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, openSquare));
            __m128i z = _mm_or_si128(_mm_cmpeq_epi8(v, closeSquare), _mm_cmpeq_epi8(v, openCurly));
            return _mm_or_si128(_mm_or_si128(x, y), _mm_or_si128(z, _mm_cmpeq_epi8(v, closeCurly)));
        });
        if (p >= end) {
            return notFound;
        }
#else
        while (!stopByte.of[static_cast<unsigned char>(t[p])]) {
            if (++p == end) {
                return notFound;
            }
        }
#endif
        char c = t[p];
        if (c == a || c == b) {
            return p;
        }
        switch (c) {
        case '"': {
#if defined(__SSE2__)
            size_t q = scanTo(t, p + 1, end, [&](__m128i v) { return _mm_cmpeq_epi8(v, quote); });
            if (q >= end) {
                return notFound;
            }
            p = q + 1;
#else
            const void *q = std::memchr(t + p + 1, '"', end - p - 1);
            if (q == nullptr) {
                return notFound;
            }
            p = static_cast<size_t>(static_cast<const char *>(q) - t) + 1;
#endif
            break;
        }
        case '[':
        case '{': {
            cursor = src.jumpAt(static_cast<uint32_t>(p), cursor);
            if (cursor >= src.jumps.size()) {
                return notFound;
            }
            const JsonSource::Jump &j = src.jumps[cursor];
            if (j.close == JsonSource::noClose || j.close >= end) {
                return notFound;
            }
            p = size_t{j.close} + 1;
            cursor = j.next;
            break;
        }
        case ']':
        case '}':
            return notFound;
        default:
            ++p;
            break;
        }
    }
    return notFound;
}

// Moves `p` past the comment marks that start [p, end), joining their texts
// into `comment` with newlines between them.
inline void takeComments(const JsonSource &src, uint32_t &p, uint32_t end, std::string &comment) {
    if (p >= end || src.data()[p] != jsonCommentMark) {
        return;
    }
    bool first = true;
    while (p < end && src.data()[p] == jsonCommentMark) {
        if (!first) {
            comment.push_back('\n');
        }
        comment.append(src.commentAt(p));
        first = false;
        ++p;
    }
}

// Takes the references of the children about to be made in one step before
// they are made (a child given up on a failure must not take the text's last
// one), and gives back those of the children never made. Records in the
// arena count in the arena, which holds one reference for all of them.
struct ChildShares {
    JsonSource *src;
    bool inArena;
    size_t planned;
    size_t made = 0;
    ChildShares(JsonSource *source, bool arena, size_t n) : src(source), inArena(arena), planned(n) {
        if (inArena) {
            src->arenaRecords.fetch_add(n, std::memory_order_relaxed);
        } else {
            jsonRetainSource(src, n);
        }
    }
    ~ChildShares() {
        const size_t unmade = planned - made; // the parent still holds its own
        if (unmade != 0) {
            if (inArena) {
                src->arenaRecords.fetch_sub(unmade, std::memory_order_relaxed);
            } else {
                jsonReleaseSource(src, unmade);
            }
        }
    }
};

void dropChildren(JsonItemData *record) {
    JsonItemList &list = record->children;
    for (uint32_t i = 0; i < list.count; ++i) {
        jsonRelease(JsonItemAccess::record(list.items[i]));
    }
    list.count = 0;
    jsonListFree(list);
}

// One child found by a split, before its record is made.
struct Piece {
    uint32_t keyBegin;
    uint32_t keyEnd;
    uint32_t valueBegin;
    uint32_t valueEnd;
    size_t cursor; // jump entry of the first bracket at or after valueBegin
    bool keyPlain; // the key is known to hold no backslash
};

// The end of a string or container value that starts at p, when a comma or
// the container's end follows it at once, as in well-formed texts; otherwise
// the general search from p decides. Same answers as findTopLevel(p, ...)
// with stops ',' and `other`.
size_t findValueEnd(const JsonSource &src, size_t p, size_t end, size_t &cursor, char other) {
    const char *t = src.data();
    if (p < end) {
        size_t after = notFound;
        size_t nextCursor = cursor;
        if (t[p] == '"') {
#if defined(__SSE2__)
            const __m128i quote = _mm_set1_epi8('"');
            size_t q = scanTo(t, p + 1, end, [&](__m128i v) { return _mm_cmpeq_epi8(v, quote); });
#else
            const void *found = std::memchr(t + p + 1, '"', end - p - 1);
            size_t q = found != nullptr ? static_cast<size_t>(static_cast<const char *>(found) - t) : end;
#endif
            if (q < end) {
                after = q + 1;
            }
        } else if (t[p] == '[' || t[p] == '{') {
            size_t j = src.jumpAt(static_cast<uint32_t>(p), cursor);
            if (j < src.jumps.size() && src.jumps[j].close != JsonSource::noClose && src.jumps[j].close < end) {
                after = size_t{src.jumps[j].close} + 1;
                nextCursor = src.jumps[j].next;
            }
        }
        if (after == end) {
            cursor = nextCursor;
            return notFound; // the last value
        }
        if (after != notFound && t[after] == ',') {
            cursor = nextCursor;
            return after;
        }
    }
    return findTopLevel(src, p, end, cursor, ',', other);
}

// Finds the children of a container, so that its slots are allocated once.
// False when the text does not split.
bool findPieces(const JsonSource &src, const JsonItemData *record, std::vector<Piece> &pieces) {
    const char *t = src.data();
    const uint32_t begin = record->rawBegin;
    const uint32_t close = begin + record->rawLength - 1;
    const bool array = record->type == JsonItemType::Array;
    size_t cursor = src.jumpAt(begin, record->jump);
    cursor = cursor < src.jumps.size() ? cursor + 1 : cursor;
    size_t p = begin + 1;
    // Pieces are filled in place: building one on the stack and copying it
    // in stalls on the store of its fields.
    for (;;) {
        if (array) {
            const size_t pieceCursor = cursor;
            size_t q = findValueEnd(src, p, close, cursor, ':');
            if (q != notFound && t[q] == ':') {
                return false; // a member inside an array
            }
            Piece &piece = pieces.emplace_back();
            piece.keyBegin = 0;
            piece.keyEnd = 0;
            piece.keyPlain = true;
            piece.valueBegin = static_cast<uint32_t>(p);
            piece.valueEnd = static_cast<uint32_t>(q == notFound ? close : q);
            piece.cursor = pieceCursor;
            if (q == notFound) {
                return true;
            }
            p = q + 1;
            continue;
        }
        // The key runs to the character before the one that precedes the
        // colon: the closing quote is dropped here and the opening one later,
        // whatever they are. A comma before the colon is a member without one.
        size_t colon = notFound;
        bool keyPlain = false;
        if (t[p] == '"') {
            // A quoted key without escapes followed by its colon, as in
            // well-formed texts.
#if defined(__SSE2__)
            const __m128i quote = _mm_set1_epi8('"');
            const __m128i backslash = _mm_set1_epi8('\\');
            size_t q = scanTo(t, p + 1, close, [&](__m128i v) {
                return _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash));
            });
#else
            size_t q = p + 1;
            while (q < close && t[q] != '"' && t[q] != '\\') {
                ++q;
            }
#endif
            if (q + 1 < close && t[q] == '"' && t[q + 1] == ':') {
                colon = q + 1;
                keyPlain = true;
            }
        }
        if (colon == notFound) {
            colon = findTopLevel(src, p, close, cursor, ':', ',');
        }
        if (colon == notFound || t[colon] == ',') {
            return false;
        }
        const size_t valueCursor = cursor;
        size_t q = findValueEnd(src, colon + 1, close, cursor, ',');
        Piece &piece = pieces.emplace_back();
        piece.keyBegin = static_cast<uint32_t>(p);
        piece.keyEnd = static_cast<uint32_t>(std::max(p, colon - 1));
        piece.valueBegin = static_cast<uint32_t>(colon + 1);
        piece.valueEnd = static_cast<uint32_t>(q == notFound ? close : q);
        piece.cursor = valueCursor;
        piece.keyPlain = keyPlain;
        if (q == notFound) {
            return true;
        }
        p = q + 1;
    }
}

// Splits a container's text into its children; false when it does not split.
bool split(JsonItemData *record) {
    if (record->rawLength < 3) {
        return true; // "[]" or "{}"
    }
    JsonSource *src = record->source;
    const char *t = src->data();
    // The thread's buffer, used by one split at a time; a split that found
    // it busy (none does today) takes one of its own.
    thread_local std::vector<Piece> scratch;
    thread_local bool scratchBusy = false;
    std::vector<Piece> own;
    const bool useScratch = !scratchBusy;
    std::vector<Piece> &pieces = useScratch ? scratch : own;
    struct GiveBack {
        std::vector<Piece> &pieces;
        bool used;
        ~GiveBack() {
            pieces.clear();
            if (used) {
                if (pieces.capacity() > 65536) {
                    std::vector<Piece>().swap(pieces); // a huge container's buffer is not kept
                }
                scratchBusy = false;
            }
        }
    } giveBack{pieces, useScratch};
    if (useScratch) {
        scratchBusy = true;
    }
    if (!findPieces(*src, record, pieces)) {
        return false;
    }
    const auto n = static_cast<uint32_t>(pieces.size());
    JsonItemList &list = record->children;
    // A record read from the text makes its children in the text's arena,
    // slots and records in one piece; any other one on the heap.
    char *records = nullptr;
#if JSON_RECORD_ARENA
    if (record->inArena) {
        // The records follow the slots at a multiple of 8 bytes: where a
        // handle is 4 bytes (32-bit ARM), an odd number of slots would leave
        // them, and every allocation after them, off their double's alignment.
        static_assert(alignof(JsonItemData) <= 8);
        const size_t slotBytes = (sizeof(JsonSlotHeader) + sizeof(JsonItem) * size_t{n} + 7) & ~size_t{7};
        const size_t bytes = slotBytes + sizeof(JsonItemData) * size_t{n};
        char *memory = static_cast<char *>(src->arena.allocate(bytes));
        new (memory) JsonSlotHeader{n, 1};
        list.items = reinterpret_cast<JsonItem *>(memory + sizeof(JsonSlotHeader));
        list.capacity = n;
        records = memory + slotBytes;
    }
#endif
    if (records == nullptr) {
        jsonListReserve(list, n);
    }
    list.count = 0;
    ChildShares shares{src, records != nullptr, n};
    const bool array = record->type == JsonItemType::Array;
    const bool hasComments = !src->marks.empty();
    for (uint32_t i = 0; i < n; ++i) {
        const Piece &piece = pieces[i];
        JsonItemData *child;
        if (records != nullptr) {
            child = ::new (records + sizeof(JsonItemData) * size_t{i}) JsonItemData;
            child->inArena = true;
        } else {
            child = new JsonItemData;
        }
        child->source = src; // every child holds the text, for its raw text and its views
        ++shares.made;
        uint32_t keyBegin = piece.keyBegin;
        uint32_t valueBegin = piece.valueBegin;
        try {
            if (hasComments) {
                std::string comment;
                if (array) {
                    takeComments(*src, valueBegin, piece.valueEnd, comment);
                } else {
                    takeComments(*src, keyBegin, piece.keyEnd, comment);
                }
                if (!comment.empty()) {
                    child->ensureExtra().comment = std::move(comment);
                }
            }
            if (!array && keyBegin < piece.keyEnd) {
                ++keyBegin; // the opening quote
            }
            makeValue(child, src, valueBegin, piece.valueEnd - valueBegin, piece.cursor);
            if (!array) {
                std::string_view key(t + keyBegin, piece.keyEnd - keyBegin);
                if ((piece.keyPlain || std::memchr(key.data(), '\\', key.size()) == nullptr) &&
                    key.size() <= UINT16_MAX) {
                    child->nameIsView = true; // the source is held for the value or below
                    child->nameBegin = keyBegin;
                    child->nameLength = static_cast<uint16_t>(key.size());
                } else {
                    child->escapeName = jsonUnescapeText(key, child->ensureExtra().name);
                }
            }
        } catch (...) {
            jsonRelease(child);
            throw;
        }
        JsonItemAccess::construct(list.items + i, child);
        list.count = i + 1;
    }
    return true;
}

void decodeString(JsonItemData *record) {
    std::string_view raw = record->raw();
    if (raw.size() < 2 || raw.front() != '"' || raw.back() != '"') {
        jsonSetNull(record);
        return;
    }
    std::string_view inner = raw.substr(1, raw.size() - 2);
    if (std::memchr(inner.data(), '\\', inner.size()) == nullptr) {
        // No escapes: the text is the raw characters, kept as a view.
        record->rawBegin += 1;
        record->rawLength -= 2;
        record->textIsView = true;
        record->escapeText = false;
    } else {
        std::string text;
        record->escapeText = jsonUnescapeText(inner, text);
        record->textIsView = false;
        record->ensureExtra().text = std::move(text);
    }
    record->decoded = true;
}

} // namespace

void jsonDecode(JsonItemData *record) {
    switch (record->type) {
    case JsonItemType::String:
        decodeString(record);
        return;
    case JsonItemType::Number:
        record->number = jsonParseDouble(record->raw());
        record->textIsView = true;
        record->decoded = true;
        return;
    case JsonItemType::Array:
    case JsonItemType::Object: {
        std::string_view raw = record->raw();
        const bool array = record->type == JsonItemType::Array;
        bool ok = raw.size() >= 2 && raw.front() == (array ? '[' : '{') && raw.back() == (array ? ']' : '}');
        try {
            ok = ok && split(record);
        } catch (...) {
            dropChildren(record);
            throw;
        }
        if (!ok) {
            // Children split before the failure are dropped with it, so that
            // nothing sees a Null with children.
            dropChildren(record);
            jsonSetNull(record);
            return;
        }
        record->decoded = true;
        return;
    }
    default:
        jsonSetNull(record);
        return;
    }
}

// ---------------------------------------------------------------------------
// Unescaping

namespace {

// A hex digit as the old reader took it, without validation.
unsigned looseHex(unsigned char c) {
    if (c > '`') {
        return c - 87u;
    }
    if (c > '9') {
        return c - 55u;
    }
    return c - static_cast<unsigned>('0');
}

bool strictHex(std::string_view s, size_t at, unsigned &value) {
    if (at + 4 > s.size()) {
        return false;
    }
    value = 0;
    for (size_t k = 0; k < 4; ++k) {
        char c = s[at + k];
        if (!isHex(c)) {
            return false;
        }
        value = value * 16 + looseHex(static_cast<unsigned char>(c));
    }
    return true;
}

// When the byte lead, taken from an escape, and the byte escapes that follow
// at `at` form one whole UTF-8 sequence: the number of those following
// escapes; otherwise 0.
size_t utf8EscapeRun(std::string_view in, size_t at, unsigned lead) {
    size_t more = 0;
    unsigned low = 0x80;
    unsigned high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        more = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        more = 2;
        low = lead == 0xE0 ? 0xA0 : 0x80; // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        more = 3;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF; // nothing above U+10FFFF
    } else {
        return 0;
    }
    for (size_t k = 0; k < more; ++k) {
        const size_t e = at + k * 6;
        unsigned byte = 0;
        if (e + 6 > in.size() || in[e] != '\\' || in[e + 1] != 'u' || !strictHex(in, e + 2, byte) ||
            byte < low || byte > high) {
            return 0;
        }
        low = 0x80;
        high = 0xBF;
    }
    return more;
}

void appendUtf8(std::string &out, unsigned cp) {
    if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

} // namespace

namespace {

// Gives every byte from `from` on that is not part of a UTF-8 sequence its
// Latin-1 code point, as a lone escape of U+0080 to U+00FF gets: only the
// reader's escapes beyond JSON's leave such bytes, and a byte on its own
// would reach the writer and BACnet as text that is not UTF-8.
void latin1LoneBytes(std::string &out, size_t from) {
    std::string fixed;
    const auto *p = reinterpret_cast<const unsigned char *>(out.data());
    const size_t n = out.size();
    for (size_t i = from; i < n;) {
        if (p[i] < 0x80) {
            fixed.push_back(static_cast<char>(p[i]));
            ++i;
            continue;
        }
        const size_t len = jsonUtf8Length(p + i, n - i);
        if (len == 0) {
            appendUtf8(fixed, p[i]);
            ++i;
            continue;
        }
        fixed.append(out, i, len);
        i += len;
    }
    out.replace(from, std::string::npos, fixed);
}

} // namespace

bool jsonUnescapeText(std::string_view in, std::string &out) {
    bool escaped = false;
    // An escape beyond JSON's: it may give a byte above 0x7F on its own, or
    // take the first bytes of a UTF-8 character for its digits and leave the
    // rest of it alone.
    bool looseEscape = false;
    const size_t from = out.size();
    out.reserve(out.size() + in.size());
    size_t i = 0;
    const size_t n = in.size();
    while (i < n) {
        const void *bs = std::memchr(in.data() + i, '\\', n - i);
        size_t run = bs == nullptr ? n : static_cast<size_t>(static_cast<const char *>(bs) - in.data());
        out.append(in.data() + i, run - i);
        i = run;
        if (i >= n) {
            break;
        }
        escaped = true;
        if (i + 1 >= n) {
            break; // a backslash at the very end gives nothing
        }
        const char e = in[i + 1];
        i += 2;
        switch (e) {
        case jsonQuoteMark:
            out.push_back('"');
            break;
        case 'b':
            out.push_back('\b');
            break;
        case 'f':
            out.push_back('\f');
            break;
        case 'n':
            out.push_back('\n');
            break;
        case 'r':
            out.push_back('\r');
            break;
        case 't':
            out.push_back('\t');
            break;
        case 'v':
            out.push_back('\v');
            break;
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
            if (i + 2 > n) {
                out.push_back('\0'); // the digits after the first one stay plain characters
            } else {
                unsigned v = (static_cast<unsigned>(e - '0') * 64u) +
                             (static_cast<unsigned char>(in[i]) - static_cast<unsigned>('0')) * 8u +
                             (static_cast<unsigned char>(in[i + 1]) - static_cast<unsigned>('0'));
                out.push_back(static_cast<char>(v & 0xFF));
                looseEscape = true;
                i += 2;
            }
            break;
        case 'x':
            if (i + 2 > n) {
                out.push_back('\0');
            } else {
                unsigned v = looseHex(static_cast<unsigned char>(in[i])) * 16u +
                             looseHex(static_cast<unsigned char>(in[i + 1]));
                out.push_back(static_cast<char>(v & 0xFF));
                looseEscape = true;
                i += 2;
            }
            break;
        case 'u': {
            unsigned cp = 0;
            if (i + 4 > n) {
                out.push_back('\0');
                break;
            }
            if (!strictHex(in, i, cp)) {
                // Not four hex digits: the byte of the last two, as before.
                unsigned v = looseHex(static_cast<unsigned char>(in[i + 2])) * 16u +
                             looseHex(static_cast<unsigned char>(in[i + 3]));
                out.push_back(static_cast<char>(v & 0xFF));
                looseEscape = true;
                i += 4;
                break;
            }
            i += 4;
            if (cp < 0x80) {
                out.push_back(static_cast<char>(cp));
            } else if (cp < 0x100) {
                // Files written before hold one escape per byte of a UTF-8
                // sequence; a standard writer's escape names a code point.
                // Only a run that forms a whole sequence is taken as bytes.
                const size_t more = utf8EscapeRun(in, i, cp);
                if (more > 0) {
                    out.push_back(static_cast<char>(cp));
                    for (size_t k = 0; k < more; ++k) {
                        unsigned next = 0;
                        strictHex(in, i + 2, next);
                        out.push_back(static_cast<char>(next));
                        i += 6;
                    }
                } else {
                    appendUtf8(out, cp);
                }
            } else if (cp >= 0xD800 && cp <= 0xDBFF) {
                unsigned low = 0;
                if (i + 6 <= n && in[i] == '\\' && in[i + 1] == 'u' && strictHex(in, i + 2, low) &&
                    low >= 0xDC00 && low <= 0xDFFF) {
                    appendUtf8(out, 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00));
                    i += 6;
                } else {
                    appendUtf8(out, 0xFFFD); // a lone high surrogate
                }
            } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                appendUtf8(out, 0xFFFD); // a lone low surrogate
            } else {
                appendUtf8(out, cp);
            }
            break;
        }
        default: // "/", backslash, quote and anything else: the character itself
            out.push_back(e);
            break;
        }
    }
    if (looseEscape) {
        latin1LoneBytes(out, from);
    }
    return escaped;
}

// ---------------------------------------------------------------------------
// jsonRead

JsonItem jsonRead(const std::string &text) {
    if (text.size() >= JsonSource::noClose) {
        throw std::invalid_argument(jsonBlankMessage); // offsets are 32-bit
    }
    auto *src = new JsonSource;
    JsonItemData *root = nullptr;
    try {
        prepare(text.data(), text.size(), *src);
        if (src->notUtf8) {
            throw std::invalid_argument(jsonBlankMessage);
        }
        const char *t = src->data();
        uint32_t p = 0;
        std::string comment;
        takeComments(*src, p, src->length, comment);
        const uint32_t end = src->length;
        const bool ok = end > p && ((t[p] == '[' && t[end - 1] == ']') || (t[p] == '{' && t[end - 1] == '}'));
        if (!ok) {
            throw std::invalid_argument(jsonBlankMessage);
        }
#if JSON_RECORD_ARENA
        src->arena.sizeFor(text.size());
        root = ::new (src->arena.allocate(sizeof(JsonItemData))) JsonItemData;
        root->inArena = true;
        src->arenaRoot = root;
        src->arenaRecords.store(1, std::memory_order_relaxed);
#else
        root = new JsonItemData;
#endif
        root->type = t[p] == '[' ? JsonItemType::Array : JsonItemType::Object;
        root->decoded = false;
        root->source = src; // the source's first reference: the root's, or the arena's with the root in it
        root->rawBegin = p;
        root->rawLength = end - p;
        root->jump = 0;
        if (!comment.empty()) {
            root->ensureExtra().comment = std::move(comment);
        }
    } catch (...) {
        if (root != nullptr) {
            jsonRelease(root); // and with it the source
        } else {
            delete src;
        }
        throw;
    }
    return JsonItemAccess::adopt(root);
}

std::string jsonPrepareTextDropComments(const char *text, size_t length) {
    if (length >= JsonSource::noClose) {
        throw std::invalid_argument(jsonBlankMessage); // offsets are 32-bit
    }
    JsonSource src;
    prepare(text, length, src);
    // The pass leaves one mark per comment outside strings, and the mark
    // byte in place of an escaped quote's quote inside them: drop the first,
    // give the second its quote back.
    std::string out;
    out.reserve(src.length);
    const char *t = src.data();
    bool inString = false;
    for (uint32_t i = 0; i < src.length; ++i) {
        const char c = t[i];
        if (inString) {
            out.push_back(c);
            if (c == '"') {
                inString = false;
            } else if (c == '\\' && i + 1 < src.length) {
                ++i;
                out.push_back(t[i] == jsonQuoteMark ? '"' : t[i]);
            }
            continue;
        }
        if (c == jsonCommentMark) {
            continue;
        }
        out.push_back(c);
        inString = c == '"';
    }
    return out;
}

JsonItem jsonReadPreparedText(const std::string &prepared) {
    if (prepared.empty() || (prepared[0] != '[' && prepared[0] != '{')) {
        throw std::invalid_argument(jsonBlankMessage);
    }
    // The pass finds nothing left to drop in a prepared text; it is still
    // run, for the bracket table the splitting uses.
    return jsonRead(prepared);
}
