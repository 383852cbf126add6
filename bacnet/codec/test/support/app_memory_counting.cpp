#include "app_memory_counting.h"

#include "bacnet/app_memory.h"

#include <atomic>
#include <cstdlib>

namespace {

std::atomic<int64_t> g_outstanding{0};
std::atomic<uint64_t> g_calls{0};
std::atomic<int64_t> g_fail_countdown{-1};
std::atomic<bool> g_fail_all{false};

}  // namespace

void *appCalloc(uint32_t size) {
    g_calls.fetch_add(1, std::memory_order_relaxed);
    if (g_fail_all.load(std::memory_order_relaxed)) {
        return nullptr;
    }
    int64_t left = g_fail_countdown.load(std::memory_order_relaxed);
    while (left >= 0 && !g_fail_countdown.compare_exchange_weak(left, left - 1)) {
    }
    if (left == 0) {
        return nullptr;
    }
    // calloc(0) may return nullptr, which callers would take for exhaustion.
    void *block = std::calloc(size == 0 ? 1 : size, 1);
    if (block != nullptr) {
        g_outstanding.fetch_add(1, std::memory_order_relaxed);
    }
    return block;
}

void appFree(void *block) {
    if (block == nullptr) {
        return;
    }
    g_outstanding.fetch_sub(1, std::memory_order_relaxed);
    std::free(block);
}

namespace appmem {

void reset() {
    g_calls = 0;
    g_fail_countdown = -1;
    g_fail_all = false;
}

int64_t outstanding() { return g_outstanding.load(); }

uint64_t calls() { return g_calls.load(); }

void failAfter(int64_t successes) { g_fail_countdown = successes < 0 ? -1 : successes; }

void failAll(bool on) { g_fail_all = on; }

}  // namespace appmem
