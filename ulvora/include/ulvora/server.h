#pragma once
// Ulvora's Modbus server over libmodbus: Modbus TCP or Modbus RTU over the
// register image, one server per configuration.
//
// The main loop calls ulvora_setup, ulvora_run and ulvora_cleanup in turn;
// ulvora_stop may come from any thread at any time. A stop request holds
// until ulvora_stop_reset takes it (the main loop does so before it reads
// the configuration for the next server), so a stop that comes during the
// set-up ends the run that follows at once. Only the serving thread closes
// the listening socket and the client connections; a stop only wakes it.

#include "arvent.h"


// Builds the server for the configuration: the register mapping with the
// image built from the records, the libmodbus context. 1 when it can serve.
int ulvora_setup(modbus_config config);
// Serves until a stop request or a failure; 1 after serving, 0 when serving
// could not start (listener, serial device, thread).
int ulvora_run();
// Releases what ulvora_setup made.
void ulvora_cleanup();
// Asks the server to stop; any thread, any time, with or without a server.
void ulvora_stop();
// Whether a stop request is pending, and taking it.
bool ulvora_stop_requested();
void ulvora_stop_reset();
// 1 from a successful set-up until the server stops.
int ulvora_is_running();

// Rewrites the image from the records before a reply. It only tries the
// records' lock: when the lock is busy the reply goes out from the image as
// it stands (built at the set-up at the latest).
void update_registers();

// The TCP port the running server listens on (0 when none); for tests,
// which let the system choose the port.
int ulvora_tcp_port();
