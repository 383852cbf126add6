#pragma once
// The polling of TQR: every second five configuration endpoints and three
// live-data endpoints, each answer handed to its parser.
//
// The requests go through one seam, tqrFetch: one GET of a path on TQR
// (runtime/tqr/address.h) that answers the HTTP status and the body. The program
// installs the transport; tests install their own answers.

#include <functional>
#include <string>

struct TqrAnswer {
    int status = 0;      // HTTP status; 0 when no answer arrived
    std::string body;    // the body of a 200 answer
    std::string failure; // the log line of a failed request (the transport's
                         // own text); "" for the poller's default line
};
using TqrFetch = std::function<TqrAnswer(const std::string &path)>;

void tqr_set_fetch(TqrFetch fetch);

// One configuration poll (time, static identity, site information, mapping,
// pulse configuration) and one data poll (loads, inputs, pulses). An
// endpoint that fails logs one line when its failure starts and one when
// it ends; its records keep their last complete values. The time registers
// move only in a data poll whose load and input data were applied.
void tqr_poll_config();
void tqr_poll_data();

// Back to the state of a fresh process: no failures, no pending time (tests).
void tqr_poll_reset();

// The poll thread: one configuration poll at once, then, while the
// configuration is active and the server runs, a one-second pause and a
// configuration and a data poll; otherwise a two-second pause. Returns when
// the program quits.
void tqr_thread();
