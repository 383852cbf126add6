// Shared pieces of the record conversions: text fields and GVariant ownership.
#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace arvent {

struct VariantUnref {
    void operator()(GVariant *v) const { g_variant_unref(v); }
};
// Owns one strong reference to a value (a child taken out of a reply, say).
using VariantRef = std::unique_ptr<GVariant, VariantUnref>;

inline VariantRef child(GVariant *container, size_t index) {
    return VariantRef(g_variant_get_child_value(container, index));
}

// A record's bool byte as D-Bus wants it. The byte is read as a byte: a
// record filled from a file or left uninitialised may hold something other
// than 0 or 1, and reading that through a C++ bool is undefined.
inline gboolean flag_of(const bool &field) {
    uint8_t byte;
    std::memcpy(&byte, &field, 1);
    return byte != 0;
}

// The number of bytes of a text field that are sent: up to the terminator,
// never beyond the field.
inline size_t field_length(const char *field, size_t size) {
    return strnlen(field, size);
}

// Whether the sent part of a text field is valid UTF-8 (D-Bus carries only
// UTF-8; GLib refuses anything else).
inline bool field_is_utf8(const char *field, size_t size) {
    return g_utf8_validate(field, static_cast<gssize>(field_length(field, size)), nullptr);
}

// A new floating string value holding the sent part of a text field, which
// must already have been checked with field_is_utf8.
inline GVariant *field_value(const char *field, size_t size) {
    return g_variant_new_take_string(g_strndup(field, field_length(field, size)));
}

// Copies a received text into a field of size bytes: at most size - 1 bytes
// when terminated is set (readers take the field as a C string), at most size
// bytes otherwise, always ending on a whole UTF-8 character; the rest of the
// field is zero-filled.
inline void copy_text(char *field, size_t size, const char *text, bool terminated) {
    size_t limit = terminated ? size - 1 : size;
    size_t n = strnlen(text, limit);
    const gchar *end = text;
    g_utf8_validate(text, static_cast<gssize>(n), &end);
    n = static_cast<size_t>(end - text);
    std::memcpy(field, text, n);
    std::memset(field + n, 0, size - n);
}

// Whether a record was given; logs and returns false otherwise.
bool record_given(const void *record, const char *what);

// Whether both the record and the value are present and the value has the
// signature the record expects; logs and returns false otherwise, so that the
// caller leaves the record alone.
bool value_fits(GVariant *value, const char *signature, const void *record, const char *what);

}  // namespace arvent
