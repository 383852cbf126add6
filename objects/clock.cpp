#include "objects/clock.h"

#include <atomic>

namespace {

std::atomic<ObjectsTimeSource> timeSource{nullptr};

}  // namespace

void objectsSetTimeSource(ObjectsTimeSource source) {
    timeSource.store(source);
}

std::tm objectsLocalTime() {
    const ObjectsTimeSource source = timeSource.load();
    const std::time_t now = source != nullptr ? source() : std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}
