// The EX station's port for tests that start the program without a station:
// a pseudo-terminal whose slave is linked as /dev/ttyGS0 under METER_ROOT,
// the master held open (and drained of nothing) for the test's life.
#pragma once

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace ex_testing {

class PtyPort {
public:
    explicit PtyPort(const std::string &root, const char *board_path = "/dev/ttyGS0") {
        int slave = -1;
        char name[256] = {};
        if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
        }
        // The slave stays open here too: the port keeps its line while the
        // program closes and reopens its end.
        slave_ = slave;
        const std::filesystem::path link = root + board_path;
        std::filesystem::create_directories(link.parent_path());
        std::filesystem::remove(link);
        std::filesystem::create_symlink(name, link);
    }
    ~PtyPort() {
        ::close(slave_);
        ::close(master_);
    }
    PtyPort(const PtyPort &) = delete;
    PtyPort &operator=(const PtyPort &) = delete;

    int master() const { return master_; }

private:
    int master_ = -1;
    int slave_ = -1;
};

}  // namespace ex_testing
