// For tests of a program bound to TQR's fixed address 127.0.0.1:8160: the
// test process moves into a network namespace of its own, so that tests
// running side by side (ctest -j) do not share the port.
#pragma once

#include <string>

namespace tqr_testing {

// Moves the calling process into a new network namespace with its loopback
// up. Call it before the process starts any thread: threads keep the
// namespace they started in. False, with the reason in why, where the
// system refuses (no privilege, or threads already run).
bool enterOwnNetworkNamespace(std::string &why);

} // namespace tqr_testing
