#include "harness.h"

namespace harness {

namespace {
// The application is configured before the link starts the stack, which
// fetches the device record from it.
uint8_t configureThen(const testapp::Config &config, uint8_t port) {
    testapp::configure(config);
    return port;
}
}  // namespace

Stack::Stack(const testapp::Config &config, uint8_t p) : FakeLink(configureThen(config, p)) {}

}  // namespace harness
