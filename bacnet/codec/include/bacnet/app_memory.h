#pragma once
// The heap of the BACnet value encoding and of the stack.
//
// Every block that the codec or the stack keeps on the heap comes from
// appCalloc and goes back through appFree, so that the application decides
// where BACnet memory lives and tests can count it. The application (the
// device program) defines both; test and fuzz binaries link a counting
// stand-in instead.

#include <cstdint>

// A zero-filled block of size octets, or nullptr when memory is exhausted.
void *appCalloc(uint32_t size);

// Releases a block obtained from appCalloc; nullptr is ignored.
void appFree(void *block);
