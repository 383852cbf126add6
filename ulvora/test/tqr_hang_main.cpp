// The program with a TQR whose every request hangs, as one that accepts
// connections and never answers: for the tests of start-up and exit.
#include "ulvora/poll.h"
#include "ulvora/program.h"

#include <condition_variable>
#include <mutex>

int main(int argc, char **argv) {
    tqr_set_fetch([](const std::string &) {
        static std::mutex m;
        static std::condition_variable never;
        std::unique_lock lock(m);
        never.wait(lock, [] { return false; });
        return TqrAnswer{};
    });
    return ulvora_main(argc, argv);
}
