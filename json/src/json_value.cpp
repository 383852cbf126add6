// Values, number text and conversions.

#include "json_data.h"
#include "json_pow5.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale.h>
#include <vector>

namespace {

void setDecodedText(JsonItemData *record, JsonItemType type, std::string_view text) {
    // The text first: when it cannot be stored, the record keeps its old kind
    // with its old text rather than the new kind with the old text.
    record->setOwnedText(text);
    record->type = type;
    record->decoded = true;
}

std::string unsignedDigits(unsigned long long value, bool negative) {
    char buf[24];
    char *p = buf + sizeof buf;
    do {
        *--p = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    if (negative) {
        *--p = '-';
    }
    return std::string(p, buf + sizeof buf);
}

} // namespace

void jsonSetNull(JsonItemData *record) { setDecodedText(record, JsonItemType::Null, "null"); }

void jsonSetString(JsonItemData *record, const std::string &text) {
    setDecodedText(record, JsonItemType::String, text);
    record->escapeText = true;
}

void jsonSetInteger(JsonItemData *record, long long value) {
    // The magnitude in unsigned arithmetic, so that the most negative value
    // has its digits too.
    unsigned long long magnitude =
        value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
    setDecodedText(record, JsonItemType::Number, unsignedDigits(magnitude, value < 0));
    record->number = static_cast<double>(value);
}

void jsonSetUnsigned(JsonItemData *record, unsigned long long value) {
    setDecodedText(record, JsonItemType::Number, unsignedDigits(value, false));
    record->number = static_cast<double>(value);
}

void jsonSetDouble(JsonItemData *record, double value) {
    setDecodedText(record, JsonItemType::Number, jsonDoubleText(value));
    record->number = value;
}

void jsonSetBoolean(JsonItemData *record, bool value) {
    setDecodedText(record, JsonItemType::Boolean, value ? "true" : "false");
    record->number = value ? 1 : 0;
}

int jsonSaturateInt(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    if (value <= static_cast<double>(std::numeric_limits<int>::min())) {
        return std::numeric_limits<int>::min();
    }
    if (value >= static_cast<double>(std::numeric_limits<int>::max())) {
        return std::numeric_limits<int>::max();
    }
    return static_cast<int>(value);
}

unsigned int jsonSaturateUnsigned(double value) {
    if (std::isnan(value) || value <= 0) {
        return 0;
    }
    if (value >= static_cast<double>(std::numeric_limits<unsigned int>::max())) {
        return std::numeric_limits<unsigned int>::max();
    }
    return static_cast<unsigned int>(value);
}

std::string jsonDoubleText(double x) {
    if (!std::isfinite(x)) {
        return "null"; // nan and inf have no JSON form
    }
    if (x >= 0) {
        double u = x >= 4294967295.0 ? 4294967295.0 : std::trunc(x);
        if (x - u < 1e-5 && u - x < 1e-5) {
            return unsignedDigits(static_cast<unsigned long long>(u), false);
        }
    }
    double i = x <= -2147483648.0 ? -2147483648.0 : x >= 2147483647.0 ? 2147483647.0 : std::trunc(x);
    if (x - i < 1e-5 && i - x < 1e-5) {
        auto v = static_cast<long long>(i);
        return unsignedDigits(static_cast<unsigned long long>(v < 0 ? -v : v), v < 0);
    }
    // "%f" of the largest double has 309 integer digits; to_chars writes the
    // same text as printf's "%f" without regard to the locale.
    char buf[400];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, 6);
    std::string text(buf, ec == std::errc() ? end : buf);
    if (text.find('.') != std::string::npos) {
        while (!text.empty() && text.back() == '0') {
            text.pop_back();
        }
        if (!text.empty() && text.back() == '.') {
            text.pop_back();
        }
    }
    return text;
}

namespace {

bool isSpaceC(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

double slowParse(std::string_view text) {
    // Overflow and underflow: strtod in the C locale gives what it always
    // did (HUGE_VAL or the nearest subnormal or 0).
    static locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    std::string copy(text);
    return strtod_l(copy.c_str(), nullptr, cLocale);
}

} // namespace

namespace {

// Decimal numbers of at most 19 significant digits and a moderate exponent,
// the numbers of JSON texts, converted exactly without the general routine.
// False when the text is not of that form or the value is not certain, for
// the general routine to decide.

// Clinger: the digits and the power of ten are both exact doubles, so one
// multiplication or division gives the correctly rounded value.
bool clinger(uint64_t w, int q, bool negative, double &value) {
    static const double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (w > (uint64_t{1} << 53) || q < -22 || q > 22) {
        return false;
    }
    auto m = static_cast<double>(w);
    value = q < 0 ? m / powers[-q] : m * powers[q];
    if (negative) {
        value = -value;
    }
    return true;
}

// The 128-bit product of two 64-bit numbers; 32-bit machines have no
// 128-bit integer type.
inline void multiply128(uint64_t a, uint64_t b, uint64_t &high, uint64_t &low) {
#if defined(__SIZEOF_INT128__)
    unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    high = static_cast<uint64_t>(product >> 64);
    low = static_cast<uint64_t>(product);
#else
    const uint64_t aLow = a & 0xFFFFFFFFu;
    const uint64_t aHigh = a >> 32;
    const uint64_t bLow = b & 0xFFFFFFFFu;
    const uint64_t bHigh = b >> 32;
    const uint64_t ll = aLow * bLow;
    const uint64_t lh = aLow * bHigh;
    const uint64_t hl = aHigh * bLow;
    const uint64_t hh = aHigh * bHigh;
    const uint64_t middle = (ll >> 32) + (lh & 0xFFFFFFFFu) + (hl & 0xFFFFFFFFu);
    low = (middle << 32) | (ll & 0xFFFFFFFFu);
    high = hh + (lh >> 32) + (hl >> 32) + (middle >> 32);
#endif
}

// Eisel and Lemire: w * 10^q from the 128-bit product of w with a truncated
// 5^q, when that product's truncation cannot change the rounding.
bool eiselLemire(uint64_t w, int q, bool negative, double &value) {
    if (w == 0 || q < jsonPow5Min || q > jsonPow5Max) {
        return false;
    }
    const int lz = __builtin_clzll(w);
    w <<= lz;
    const uint64_t *t = jsonPow5[q - jsonPow5Min];
    uint64_t high = 0;
    uint64_t low = 0;
    multiply128(w, t[0], high, low);
    if ((high & 0x1FF) == 0x1FF) {
        // The first product leaves the rounding open: add the second.
        uint64_t second = 0;
        uint64_t ignored = 0;
        multiply128(w, t[1], second, ignored);
        low += second;
        if (second > low) {
            ++high;
        }
        if (low == ~uint64_t{0}) {
            return false; // still open
        }
    }
    const int upper = static_cast<int>(high >> 63);
    uint64_t mantissa = high >> (upper + 9);
    int power2 = (((152170 + 65536) * q) >> 16) + 63 + upper - lz + 1023;
    if (power2 <= 0 || power2 >= 0x7FF - 1) {
        return false; // subnormal or near overflow: the general routine
    }
    if (low <= 1 && q >= -4 && q <= 23 && (mantissa & 3) == 1 && (mantissa << (upper + 9)) == high) {
        mantissa &= ~uint64_t{1}; // exactly halfway: round to even
    }
    mantissa += mantissa & 1;
    mantissa >>= 1;
    if (mantissa >= (uint64_t{2} << 52)) {
        mantissa = uint64_t{1} << 52;
        ++power2;
    }
    mantissa &= ~(uint64_t{1} << 52);
    if (power2 >= 0x7FF) {
        return false;
    }
    uint64_t bits = mantissa | (static_cast<uint64_t>(power2) << 52) | (negative ? uint64_t{1} << 63 : 0);
    std::memcpy(&value, &bits, sizeof value);
    return true;
}

// `strict` accepts only the form of RFC 8259: digits before and after a
// point, no leading zero, digits after an exponent mark.
bool parseDecimal(std::string_view text, double &value, bool strict) {
    const char *p = text.data();
    const char *e = p + text.size();
    bool negative = false;
    if (p < e && *p == '-') {
        negative = true;
        ++p;
    }
    if (strict && (p == e || *p < '0' || *p > '9' || (*p == '0' && p + 1 < e && p[1] >= '0' && p[1] <= '9'))) {
        return false;
    }
    const char *start = p;
    uint64_t w = 0;
    int digits = 0; // significant digits in w
    int q = 0;
    while (p < e && *p == '0') {
        ++p;
    }
    for (; p < e && *p >= '0' && *p <= '9'; ++p) {
        if (digits == 19) {
            return false;
        }
        w = w * 10 + static_cast<unsigned>(*p - '0');
        ++digits;
    }
    const char *intEnd = p;
    if (p < e && *p == '.') {
        ++p;
        const char *fraction = p;
        if (w == 0) {
            while (p < e && *p == '0') {
                ++p;
                --q;
            }
        }
#if JSON_EIGHT_DIGITS
        while (e - p >= 8 && digits <= 11 && jsonEightDigits(jsonLoad8(p))) {
            w = w * 100000000u + jsonEightDigitsValue(jsonLoad8(p));
            digits += 8;
            q -= 8;
            p += 8;
        }
        if (e - p >= 4 && digits <= 15 && jsonFourDigits(jsonLoad4(p))) {
            w = w * 10000u + jsonFourDigitsValue(jsonLoad4(p));
            digits += 4;
            q -= 4;
            p += 4;
        }
#endif
        for (; p < e && *p >= '0' && *p <= '9'; ++p) {
            if (digits == 19) {
                return false;
            }
            w = w * 10 + static_cast<unsigned>(*p - '0');
            ++digits;
            --q;
        }
        if (fraction == p && (strict || intEnd == start)) {
            return false; // "." alone, or no digit after the point
        }
    } else if (intEnd == start) {
        return false; // no digit
    }
    if (p < e && (*p == 'e' || *p == 'E')) {
        ++p;
        bool negativeExponent = false;
        if (p < e && (*p == '+' || *p == '-')) {
            negativeExponent = *p == '-';
            ++p;
        }
        if (p == e || (strict && (*p < '0' || *p > '9'))) {
            return false;
        }
        int x = 0;
        for (; p < e && *p >= '0' && *p <= '9'; ++p) {
            if (x > 10000) {
                return false;
            }
            x = x * 10 + (*p - '0');
        }
        q += negativeExponent ? -x : x;
    }
    if (p != e) {
        return false;
    }
    if (w == 0) {
        value = negative ? -0.0 : 0.0;
        return true;
    }
    return clinger(w, q, negative, value) || eiselLemire(w, q, negative, value);
}

} // namespace

bool jsonStrictNumber(const char *p, size_t n, double &value) { return parseDecimal({p, n}, value, true); }

double jsonParseDouble(std::string_view text) {
    double simple;
    if (parseDecimal(text, simple, false)) {
        return simple;
    }
    size_t i = 0;
    while (i < text.size() && isSpaceC(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const char *first = text.data() + i;
    const char *last = text.data() + text.size();
    double value = 0;
    std::from_chars_result r{};
    if (last - first >= 2 && first[0] == '0' && (first[1] == 'x' || first[1] == 'X')) {
        r = std::from_chars(first + 2, last, value, std::chars_format::hex);
        if (r.ec == std::errc::invalid_argument) {
            return negative ? -0.0 : 0.0; // "0x" alone reads as the 0
        }
    } else {
        if (first < last && *first == '-') {
            return 0; // a second sign: nothing converts
        }
        r = std::from_chars(first, last, value, std::chars_format::general);
        if (r.ec == std::errc::invalid_argument) {
            return 0;
        }
    }
    if (r.ec == std::errc::result_out_of_range) {
        return slowParse(text);
    }
    return negative ? -value : value;
}

double jsonToDouble(JsonItemData *record) {
    jsonEnsureDecoded(record);
    switch (record->type) {
    case JsonItemType::Null:
        return 0;
    case JsonItemType::String:
        record->number = jsonParseDouble(record->textView());
        return record->number;
    default:
        return record->number;
    }
}

int jsonToInteger(JsonItemData *record) { return jsonSaturateInt(jsonToDouble(record)); }

unsigned int jsonToUnsigned(JsonItemData *record) { return jsonSaturateUnsigned(jsonToDouble(record)); }

bool jsonToBoolean(JsonItemData *record) {
    jsonEnsureDecoded(record);
    switch (record->type) {
    case JsonItemType::Boolean:
        return record->number != 0;
    case JsonItemType::Number:
        return std::fabs(record->number) >= 1e-5;
    case JsonItemType::String:
        return record->textView() == "true";
    default:
        return false;
    }
}

bool jsonEquals(JsonItemData *a, JsonItemData *b) {
    // Pairs still to compare, without recursion.
    std::vector<std::pair<JsonItemData *, JsonItemData *>> pending;
    pending.emplace_back(a, b);
    while (!pending.empty()) {
        auto [x, y] = pending.back();
        pending.pop_back();
        if (x == y) {
            continue;
        }
        jsonEnsureDecoded(x);
        jsonEnsureDecoded(y);
        if (x->type != y->type || x->nameView() != y->nameView()) {
            return false;
        }
        switch (x->type) {
        case JsonItemType::Null:
            break;
        case JsonItemType::Number:
            if (!(x->number == y->number || std::fabs(x->number - y->number) < 1e-5)) {
                return false;
            }
            break;
        case JsonItemType::Boolean:
            if ((x->number != 0) != (y->number != 0)) {
                return false;
            }
            break;
        case JsonItemType::String:
            if (x->textView() != y->textView()) {
                return false;
            }
            break;
        case JsonItemType::Array:
        case JsonItemType::Object:
            if (x->children.count != y->children.count) {
                return false;
            }
            for (uint32_t i = x->children.count; i-- > 0;) {
                pending.emplace_back(JsonItemAccess::record(x->children.items[i]),
                                     JsonItemAccess::record(y->children.items[i]));
            }
            break;
        }
    }
    return true;
}
