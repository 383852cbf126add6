#pragma once
// Drives the stack in virtual time over a fake UDP socket with the test
// application: tests inject datagrams, call stackTick/stackProcess themselves
// and read what was sent.

#include "fake_link.h"
#include "test_app.h"

namespace harness {

// Starts the stack on B/IP over the fake socket with a test application
// configuration; shuts it down at the end.
class Stack : public FakeLink {
  public:
    explicit Stack(const testapp::Config &config = testapp::Config{}, uint8_t port = 1);
};

}  // namespace harness
