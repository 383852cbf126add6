// What the blocking operations need of the IPC connection.
#pragma once

#include "velsardbus.h"

namespace arvent {

// A new reference to the open cycle's velsard proxy, or null (logged) when
// no cycle is open. Holding the reference keeps the proxy alive across a
// concurrent arvent_cleanup.
VelsardBusGdbus1 *proxy_acquire();

}  // namespace arvent
