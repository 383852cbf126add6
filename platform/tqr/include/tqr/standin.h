// TQR stand-in: the meter's local REST server as the programs of this
// system use it, so that they and their tests run without the real one.
// JSON answers under /api/v1 from a scenario (one file per endpoint, or a
// built-in meter, or velsard's configuration), PUTs kept for the next GET, live data from a
// deterministic generator or from Nerisko's result nodes, and a control
// interface under /_stub on the same port (see README.md beside this file).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tqr {

enum class LiveSource {
    generated, // the generator below
    meter,     // Nerisko's result nodes under METER_ROOT, once they exist
};

enum class LiveMode {
    frozen,  // values stay
    stepped, // one step per POST /_stub/live/step
    running, // one step a second
};

struct Options {
    std::string host = "127.0.0.1";
    uint16_t port = 0;         // 0: an ephemeral port (see StandIn::port)
    std::string scenarioDir;   // "": the built-in meter
    std::string pincode = "1234";
    int loads = 4;             // loads of the built-in meter, 1..48
    LiveSource live = LiveSource::generated;
    LiveMode mode = LiveMode::frozen;
    bool notifyVelsard = false; // accepted alarm PUTs emit velsard's NewAlarmState
    // The built-in meter's mapping, pulse configuration and settings read
    // from velsard on the system bus, at start and again for each request
    // that depends on them (an endpoint given by the scenario folder stays).
    bool fromVelsard = false;
};

class StandIn {
  public:
    // Reads the scenario; throws std::runtime_error naming what is wrong.
    explicit StandIn(Options options);
    ~StandIn(); // stops
    StandIn(const StandIn &) = delete;
    StandIn &operator=(const StandIn &) = delete;

    // Binds and serves on its own threads; throws std::runtime_error when
    // the address cannot be bound.
    void start();
    // Releases waiting requests, stops serving and joins the threads.
    void stop();
    uint16_t port() const;
    // "http://host:port".
    std::string url() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace tqr
