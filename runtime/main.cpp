// Talvik, the BACnet server.
#include "runtime/program.h"

int main(int argc, char **argv) { return runtimeMain(argc, argv); }
