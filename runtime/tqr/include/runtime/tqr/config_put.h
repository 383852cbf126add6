// Talvik's configuration PUTs to TQR: the site texts and the communication
// settings, written as TQR stores them and sent through the transport.
#pragma once

#include <cstdint>
#include <string>

#include "device/config.h"
#include "runtime/tqr/transport.h"

// The documents the PUTs send: the site texts, and the communication
// settings (which tqrParseCommunication reads back to the same settings).
std::string tqrSiteInfoBody(const SiteInfo &info);
std::string tqrCommunicationBody(const CommunicationConfig &config);

// PUT of the site texts to path (used as given), holding tqrMutex for the
// request. libcurl's result, 0 when TQR stored them (completion then called).
int tqrPutSiteInfo(const std::string &host, uint16_t port, const std::string &path, const SiteInfo &info,
                   const TqrCompletion &completion);
// PUT of the communication configuration to path, with TQR's own "modbus"
// settings as it last sent them. Takes no lock: the communication parser
// calls it under tqrMutex.
int tqrPutCommunication(const std::string &host, uint16_t port, const std::string &path,
                        const CommunicationConfig &config, const TqrCompletion &completion);
