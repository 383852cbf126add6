// The Modbus server program.
#include "ulvora/program.h"
#include "ulvora/transport.h"

int main(int argc, char **argv) {
    ulvora_use_tqr_transport();
    return ulvora_main(argc, argv);
}
