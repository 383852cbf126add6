#pragma once
// Ulvora's frame: command line, logging, velsard connection and Modbus
// configuration, the main loop that builds, runs and tears down the server,
// SIGINT and the exit.

#include "arvent.h"

// The program; returns its exit status (0 after SIGINT, 1 when velsard or
// its first configuration cannot be had).
int ulvora_main(int argc, char **argv);

// Reads and validates a configuration from velsard; 1 when it may be used.
int fetch_modbus_config(modbus_config *record);
// The configuration-change handler given to libarvent (IPC thread).
void ipc_event_handler(int kind);
