// An operator new that tests can make fail after a number of allocations,
// and that counts the bytes in use.

#include "json_test_util.h"

#include <cstdlib>
#include <malloc.h>
#include <new>

std::atomic<long> jsontest::allocationsLeft{-1};
std::atomic<long long> jsontest::bytesInUse{0};

void *operator new(size_t size) {
    if (jsontest::allocationsLeft.load(std::memory_order_relaxed) >= 0 &&
        jsontest::allocationsLeft.fetch_sub(1, std::memory_order_relaxed) == 0) {
        throw std::bad_alloc();
    }
    void *p = std::malloc(size != 0 ? size : 1);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    jsontest::bytesInUse.fetch_add(static_cast<long long>(malloc_usable_size(p)), std::memory_order_relaxed);
    return p;
}

void operator delete(void *p) noexcept {
    if (p != nullptr) {
        jsontest::bytesInUse.fetch_sub(static_cast<long long>(malloc_usable_size(p)), std::memory_order_relaxed);
    }
    std::free(p);
}
void operator delete(void *p, size_t) noexcept { operator delete(p); }
