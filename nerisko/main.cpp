// The measurement program. The platform gets the board ready first (on a
// build machine: the simulated board and its signal scenario).
#include "meter/sysio.h"
#include "nerisko/program.h"

int main(int argc, char **argv) {
    if (!sys_platform_start()) {
        return 1;
    }
    return nerisko_main(argc, argv);
}
