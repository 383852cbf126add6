#pragma once
// Walking n samples of a ring from a cursor, as at most two contiguous runs.

#include <cstdint>

#include "haldor/shared_types.h"

namespace haldor {

inline bool ring_ok(const cb_t *cb) { return cb != nullptr && cb->base != nullptr && cb->size > 0; }

// The position's offset in the ring, or -1 when it lies outside it. Compared
// as addresses so that a stray pointer is refused rather than dereferenced.
inline int64_t ring_offset(const cb_t *cb, const float *p) {
    if (!ring_ok(cb) || p == nullptr) {
        return -1;
    }
    auto b = reinterpret_cast<uintptr_t>(cb->base);
    auto a = reinterpret_cast<uintptr_t>(p);
    if (a < b || (a - b) % sizeof(float) != 0) {
        return -1;
    }
    uintptr_t off = (a - b) / sizeof(float);
    return off < cb->size ? static_cast<int64_t>(off) : -1;
}

// A cursor that may be read: its ring is set and its head lies inside it.
inline bool cursor_ok(const cbi_t *c) { return c != nullptr && ring_offset(c->cb, c->head) >= 0; }

// Calls f(pointer, count) for the run from the head to the ring's end and,
// when n wraps, for the run from the base. n must not exceed the ring's size.
template <class F>
void for_each_run(const cbi_t *c, uint32_t n, F &&f) {
    auto off = static_cast<uint32_t>(c->head - c->cb->base);
    uint32_t first = c->cb->size - off;
    if (first > n) {
        first = n;
    }
    if (first > 0) {
        f(c->head, first);
    }
    if (n > first) {
        f(c->cb->base, n - first);
    }
}

// Walks two cursors in step: f(pa, pb, count) for runs that are contiguous
// in both rings.
template <class F>
void for_each_pair_run(const cbi_t *a, const cbi_t *b, uint32_t n, F &&f) {
    float *pa = a->head;
    float *pb = b->head;
    float *ea = a->cb->base + a->cb->size;
    float *eb = b->cb->base + b->cb->size;
    while (n > 0) {
        auto run = static_cast<uint32_t>(ea - pa);
        if (auto rb = static_cast<uint32_t>(eb - pb); rb < run) {
            run = rb;
        }
        if (run > n) {
            run = n;
        }
        f(pa, pb, run);
        n -= run;
        pa += run;
        pb += run;
        if (pa == ea) {
            pa = a->cb->base;
        }
        if (pb == eb) {
            pb = b->cb->base;
        }
    }
}

}  // namespace haldor
