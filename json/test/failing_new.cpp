// An operator new that tests can make fail after a number of allocations.

#include "json_test_util.h"

#include <cstdlib>
#include <new>

std::atomic<long> jsontest::allocationsLeft{-1};

void *operator new(size_t size) {
    if (jsontest::allocationsLeft.load(std::memory_order_relaxed) >= 0 &&
        jsontest::allocationsLeft.fetch_sub(1, std::memory_order_relaxed) == 0) {
        throw std::bad_alloc();
    }
    void *p = std::malloc(size != 0 ? size : 1);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }
