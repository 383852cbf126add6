#include "runtime/state.h"

#include <mutex>

std::atomic<bool> resetRequested{false};

namespace {
// A lock of their own: the time must never wait for a TQR request.
std::mutex timeMutex;
TqrTime storedTime;
} // namespace

void tqrStoreTime(const TqrTime &time) {
    std::lock_guard<std::mutex> lock(timeMutex);
    storedTime = time;
}

TqrTime tqrTimeSnapshot() {
    std::lock_guard<std::mutex> lock(timeMutex);
    return storedTime;
}
