// tqr: the TQR stand-in as a program (see README.md beside this file).
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "tqr/standin.h"

namespace {

const char *const kUsage =
    "usage: tqr [--listen ADDR:PORT] [--scenario DIR] [--pincode TEXT] [--loads N] [--velsard]\n"
    "           [--live meter|generated] [--notify-velsard]\n"
    "  --listen ADDR:PORT   where to serve (default 127.0.0.1:8160; port 0 picks one)\n"
    "  --scenario DIR       one JSON file per endpoint below /api/v1 (DIR/config/static.json ...)\n"
    "  --pincode TEXT       the pincode that POST /api/v1/login accepts (default 1234)\n"
    "  --loads N            loads of three CTs of the built-in meter, 1 to 48 (default 4)\n"
    "  --velsard            the built-in meter's mapping, pulse configuration and settings from velsard\n"
    "  --live meter         live data from Nerisko's result nodes under METER_ROOT (default)\n"
    "  --live generated     live data from the generator, a step a second\n"
    "  --notify-velsard     each accepted alarm PUT makes the velsard stand-in announce NewAlarmState\n";

int usage(const std::string &why) {
    std::cerr << "tqr: " << why << "\n" << kUsage;
    return 2;
}

bool parsePort(const std::string &text, uint16_t &port) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const unsigned long value = std::stoul(text);
    if (value > 65535) {
        return false;
    }
    port = static_cast<uint16_t>(value);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    tqr::Options options;
    options.port = 8160;
    options.mode = tqr::LiveMode::running;
    // The program stands beside the meter: what it serves is what Nerisko
    // measures, unless a test asks for the generator.
    options.live = tqr::LiveSource::meter;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string &out) {
            if (i + 1 >= argc) {
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--listen") {
            if (!value(v)) {
                return usage("--listen needs ADDR:PORT");
            }
            const size_t colon = v.rfind(':');
            if (colon == std::string::npos || colon == 0 || !parsePort(v.substr(colon + 1), options.port)) {
                return usage("--listen needs ADDR:PORT, not " + v);
            }
            options.host = v.substr(0, colon);
        } else if (arg == "--scenario") {
            if (!value(options.scenarioDir)) {
                return usage("--scenario needs a folder");
            }
        } else if (arg == "--pincode") {
            if (!value(options.pincode)) {
                return usage("--pincode needs a text");
            }
        } else if (arg == "--loads") {
            if (!value(v) || v.empty() || v.size() > 2 || v.find_first_not_of("0123456789") != std::string::npos ||
                std::stoi(v) < 1 || std::stoi(v) > 48) {
                return usage("--loads needs a number from 1 to 48");
            }
            options.loads = std::stoi(v);
        } else if (arg == "--live") {
            if (!value(v) || (v != "generated" && v != "meter")) {
                return usage("--live needs generated or meter");
            }
            options.live = v == "meter" ? tqr::LiveSource::meter : tqr::LiveSource::generated;
        } else if (arg == "--velsard") {
            options.fromVelsard = true;
        } else if (arg == "--notify-velsard") {
            options.notifyVelsard = true;
        } else {
            return usage("unknown option " + arg);
        }
    }

    // Served until SIGINT or SIGTERM.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    try {
        tqr::StandIn standIn(options);
        standIn.start();
        std::cerr << "tqr: listening on " << options.host << ":" << standIn.port() << std::endl;
        int sig = 0;
        sigwait(&stopSignals, &sig);
        standIn.stop();
    } catch (const std::exception &e) {
        std::cerr << "tqr: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
