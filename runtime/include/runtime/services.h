// Talvik's side of what the object model and the device application reach
// of the program (device/program_services.h): its logger, TQR through the
// transport, the configuration records and the restart request.
#pragma once

#include "device/program_services.h"

ProgramServices talvikServices();
// programSetServices(talvikServices()): the program does it at start-up,
// before any thread of the stack or the objects runs.
void talvikInstallServices();
