#include "nerisko/cb.h"

#include <cstdlib>
#include <mutex>
#include <set>

namespace {

// Storage that cb_init allocated, so that cb_free never frees a buffer that
// a caller handed to cb_init_static.
std::mutex owned_mutex;
std::set<const float *> owned;

}  // namespace

bool cb_init(cbi_t *c, uint32_t n) {
    if (n == 0) {
        return false;
    }
    auto *base = static_cast<float *>(std::calloc(n, sizeof(float)));
    if (base == nullptr) {
        return false;
    }
    {
        std::lock_guard lock(owned_mutex);
        owned.insert(base);
    }
    c->cb->base = base;
    c->cb->size = n;
    c->head = base;
    return true;
}

bool cb_init_static(cbi_t *c, float *storage, uint32_t n) {
    c->cb->base = storage;
    c->cb->size = n;
    c->head = storage;
    return true;
}

void cb_free(cbi_t *c) {
    cb_t *cb = c->cb;
    if (cb->base != nullptr) {
        bool ours;
        {
            std::lock_guard lock(owned_mutex);
            ours = owned.erase(cb->base) != 0;
        }
        if (ours) {
            std::free(cb->base);
        }
    }
    cb->base = nullptr;
    cb->size = 0;
    c->head = nullptr;
}

uint32_t cb_items_available(const cbi_t *c, const float *position) {
    const cb_t *cb = c->cb;
    if (c->head >= position) {
        return static_cast<uint32_t>(c->head - position);
    }
    return static_cast<uint32_t>((c->head - cb->base) + (cb->base + cb->size - position));
}

float *cb_step(const cb_t *cb, float *position, uint32_t n) {
    const int64_t size = cb->size;
    if (size == 0) {
        return position;
    }
    int64_t offset = (position - cb->base) + static_cast<int32_t>(n);
    offset %= size;
    if (offset < 0) {
        offset += size;
    }
    return cb->base + offset;
}

void cb_added_items(cbi_t *c, uint32_t n) { c->head = cb_step(c->cb, c->head, n); }
