#pragma once
// A fresh METER_ROOT for one test: a new temporary folder, the host models
// reset (what a power cut would lose is kept from here on), the log
// captured. Removed again when the object goes.

#include "meter/host.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace meter::host {

class TempRoot {
public:
    TempRoot() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "meter-root-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = tmpl;
        ::setenv("METER_ROOT", path_.c_str(), 1);
        reset();
        log_capture(true);
    }
    ~TempRoot() {
        reset();
        ::unsetenv("METER_ROOT");
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempRoot(const TempRoot &) = delete;
    TempRoot &operator=(const TempRoot &) = delete;

    const std::string &path() const { return path_; }

    // The host file of a board path.
    std::string host(const std::string &board_path) const { return path_ + board_path; }

    // Writes a board file, creating its folders.
    void put(const std::string &board_path, const std::string &content) const {
        const std::filesystem::path p = host(board_path);
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
    }

    std::string get(const std::string &board_path) const {
        std::ifstream in(host(board_path), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::string path_;
};

}  // namespace meter::host
