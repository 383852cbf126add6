// The Modbus server program.
#include "ulvora/poll.h"
#include "ulvora/program.h"

int main(int argc, char **argv) {
    // Until the TQR transport is joined, every request answers that there
    // is none: the server serves the records as they stand.
    tqr_set_fetch([](const std::string &) { return TqrAnswer{0, {}, "TQR transport not linked"}; });
    return ulvora_main(argc, argv);
}
