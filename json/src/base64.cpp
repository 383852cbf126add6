// Base64 with the standard alphabet and "=" padding.

#include "meter/json.h"

const char base64Alphabet[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const std::string base64EmptyText;

size_t base64EncodedLength(size_t n) { return (n + 2) / 3 * 4; }

size_t base64DecodedLength(size_t n) { return n / 4 * 3 + n % 4 * 3 / 4; }

std::string base64Encode(const std::string &bytes) {
    if (bytes.empty()) {
        return base64EmptyText;
    }
    std::string out;
    out.reserve(base64EncodedLength(bytes.size()));
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    size_t n = bytes.size();
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        uint32_t v = uint32_t{p[i]} << 16 | uint32_t{p[i + 1]} << 8 | p[i + 2];
        out.push_back(base64Alphabet[v >> 18]);
        out.push_back(base64Alphabet[(v >> 12) & 63]);
        out.push_back(base64Alphabet[(v >> 6) & 63]);
        out.push_back(base64Alphabet[v & 63]);
    }
    if (i < n) {
        uint32_t v = uint32_t{p[i]} << 16 | (i + 1 < n ? uint32_t{p[i + 1]} << 8 : 0);
        out.push_back(base64Alphabet[v >> 18]);
        out.push_back(base64Alphabet[(v >> 12) & 63]);
        out.push_back(i + 1 < n ? base64Alphabet[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

namespace {

int sextet(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

} // namespace

std::string base64Decode(const std::string &text) {
    const size_t n = text.size();
    if (n % 4 != 0) {
        return base64EmptyText;
    }
    size_t pad = 0;
    if (n >= 1 && text[n - 1] == '=') {
        pad = n >= 2 && text[n - 2] == '=' ? 2 : 1;
    }
    std::string out;
    out.reserve(n / 4 * 3);
    for (size_t i = 0; i < n; i += 4) {
        uint32_t v = 0;
        for (size_t k = 0; k < 4; ++k) {
            size_t at = i + k;
            int s = at >= n - pad ? 0 : sextet(text[at]);
            if (s < 0) {
                return base64EmptyText;
            }
            v = v << 6 | static_cast<uint32_t>(s);
        }
        out.push_back(static_cast<char>(v >> 16));
        out.push_back(static_cast<char>(v >> 8));
        out.push_back(static_cast<char>(v));
    }
    out.resize(out.size() - pad);
    return out;
}
