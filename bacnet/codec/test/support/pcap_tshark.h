#pragma once
// Captures for tshark: BVLL messages wrapped in Ethernet, IPv4 and UDP
// (192.168.1.10 to 192.168.1.20, port 47808 both), written as a classic pcap
// file, and tshark run on it without a shell.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace pcap {

using Bytes = std::vector<uint8_t>;

inline constexpr const char *kTshark = "/usr/bin/tshark";

inline void put16(Bytes &b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

inline void putLe32(Bytes &b, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

// One Ethernet frame carrying a BVLL message; id is the IPv4 identification.
inline Bytes udpFrame(const Bytes &bvll, uint8_t id) {
    Bytes udp;
    put16(udp, 47808);
    put16(udp, 47808);
    put16(udp, static_cast<uint16_t>(8 + bvll.size()));
    put16(udp, 0);  // no checksum
    udp.insert(udp.end(), bvll.begin(), bvll.end());

    Bytes ip = {0x45, 0x00};
    put16(ip, static_cast<uint16_t>(20 + udp.size()));
    ip.insert(ip.end(), {0x00, id, 0x40, 0x00, 64, 17, 0x00, 0x00, 192, 168, 1, 10, 192, 168, 1, 20});
    uint32_t sum = 0;
    for (size_t i = 0; i < 20; i += 2) {
        sum += (uint32_t{ip[i]} << 8) | ip[i + 1];
    }
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    ip[10] = static_cast<uint8_t>(~sum >> 8);
    ip[11] = static_cast<uint8_t>(~sum);
    ip.insert(ip.end(), udp.begin(), udp.end());

    Bytes eth = {0x02, 0, 0, 0, 0, 0x20, 0x02, 0, 0, 0, 0, 0x10, 0x08, 0x00};
    eth.insert(eth.end(), ip.begin(), ip.end());
    return eth;
}

// The classic pcap format: a global header, then a record header per frame.
inline void writePcap(const std::string &path, const std::vector<Bytes> &frames) {
    Bytes out;
    putLe32(out, 0xA1B2C3D4);
    out.insert(out.end(), {2, 0, 4, 0});  // version 2.4
    putLe32(out, 0);                      // this zone
    putLe32(out, 0);                      // sigfigs
    putLe32(out, 65535);                  // snaplen
    putLe32(out, 1);                      // Ethernet
    uint32_t second = 1700000000;
    for (const Bytes &f : frames) {
        putLe32(out, second++);
        putLe32(out, 0);
        putLe32(out, static_cast<uint32_t>(f.size()));
        putLe32(out, static_cast<uint32_t>(f.size()));
        out.insert(out.end(), f.begin(), f.end());
    }
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(out.data()),
                                                static_cast<std::streamsize>(out.size()));
}

// Runs tshark without a shell, with a private home so that it reads no
// settings of the machine's users; returns its standard output.
inline std::string runTshark(const std::string &home, const std::vector<std::string> &args) {
    const std::string outPath = home + "/tshark.out";
    std::vector<std::string> envs = {"HOME=" + home, "XDG_CONFIG_HOME=" + home + "/config", "LC_ALL=C",
                                     "PATH=/usr/bin:/bin"};
    std::vector<char *> envp;
    for (auto &e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStore = {kTshark};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open("/dev/null", O_WRONLY);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
            _exit(127);
        }
        execve(kTshark, argv.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ADD_FAILURE() << "tshark did not run cleanly (status " << status << ")";
        return {};
    }
    std::ifstream in(outPath);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace pcap
