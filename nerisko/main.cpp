// The measurement program. On this machine it runs on the simulated board:
// the simulated PRU gets its signal scenario before the program starts it.
#include "host_board.h"
#include "nerisko/program.h"

int main(int argc, char **argv) {
    if (!host_board_setup()) {
        return 1;
    }
    return nerisko_main(argc, argv);
}
