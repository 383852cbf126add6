// Where TQR, the meter's own REST server, listens. Every program that talks
// to it takes the address from here.
#pragma once

#include <cstdint>
#include <string>

inline constexpr const char *tqrHost = "127.0.0.1";
inline constexpr uint16_t tqrPort = 8160;

// "http://host:port", to which a request's path is appended.
inline std::string tqrBaseUrl(const std::string &host = tqrHost, uint16_t port = tqrPort) {
    return "http://" + host + ":" + std::to_string(port);
}
