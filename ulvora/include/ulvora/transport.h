#pragma once
// The poller's requests through TQR's HTTP transport (runtime/tqr): GET of
// a path at TQR's address, bounded by the transport's time-outs.
//
// The transport's lines of a request are not logged as it writes them:
// they become the failure text of the answer, which the poller logs once
// when the endpoint's failure starts. Lines that come outside a request go
// to syslog through slog_string.
#include "ulvora/poll.h"

#include <string>

// One GET of path; the answer as the poller takes it.
TqrAnswer tqr_transport_fetch(const std::string &path);
// Prepares libcurl, sets the transport's log sink and installs
// tqr_transport_fetch as the poller's seam. Call it before any thread starts.
void ulvora_use_tqr_transport();
