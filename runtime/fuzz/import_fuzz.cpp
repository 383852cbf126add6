// One of Talvik's imports of TQR's documents (FUZZ_DOCUMENT names it) on any
// body, as tqrGet hands bodies to it: a failure may only be reported by
// std::invalid_argument or std::out_of_range; anything else escapes and
// stops the run, as do a crash, a leak or an allocation past libFuzzer's
// limit. Where a document has a writer, what the parser stored must read
// back to itself. The process runs in a network namespace of its own, so
// that the PUTs some imports make reach nothing.

#include <sched.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "device/config.h"
#include "device/object_sets.h"
#include "device/program_services.h"
#include "meter/json.h"
#include "objects/object_map.h"
#include "runtime/log.h"
#include "runtime/state.h"
#include "runtime/tqr/alarm_import.h"
#include "runtime/tqr/config_import.h"
#include "runtime/tqr/config_put.h"
#include "runtime/tqr/live_import.h"
#include "runtime/tqr/set_import.h"
#include "runtime/tqr/transport.h"

namespace {

using Parser = int (*)(const char *, size_t, size_t, void *);

enum class Document { Time, Static, Info, Ethernet, Communication, Mapping, Pulse, Alarms, Loads, Inputs, Pulses };

constexpr Document kDocument = Document::FUZZ_DOCUMENT;

Parser parserOf(Document d) {
    switch (d) {
    case Document::Time: return tqrParseTime;
    case Document::Static: return tqrParseStatic;
    case Document::Info: return tqrParseInfo;
    case Document::Ethernet: return tqrParseEthernet;
    case Document::Communication: return tqrParseCommunication;
    case Document::Mapping: return tqrParseMapping;
    case Document::Pulse: return tqrParsePulseConfig;
    case Document::Alarms: return tqrParseAlarms;
    case Document::Loads: return tqrParseLoadData;
    case Document::Inputs: return tqrParseInputData;
    case Document::Pulses: return tqrParsePulseData;
    }
    std::abort();
}

// False when the parser reported the body unusable.
bool parse(Parser parser, const std::string &body) {
    try {
        if (parser(body.data(), 1, body.size(), nullptr) != static_cast<int>(body.size())) {
            std::abort(); // a parser that returns answers the body's length
        }
        return true;
    } catch (const std::invalid_argument &) {
    } catch (const std::out_of_range &) {
    }
    return false;
}

void check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

// Sets for the documents that feed existing ones: TQR's stand-in's mapping
// (three loads of three CTs, two inputs) and pulse configuration.
const char kMapping[] = R"json({"version":"1","loads":[{"active":true,"id":0,"vdi":1001,"name":"Load 1","input":0,"cts":[{"type":9,"channel":6,"maxRating":100.0,"active":true,"inverse":false,"phaseCorrection":0},{"type":9,"channel":7,"maxRating":100.0,"active":true,"inverse":false,"phaseCorrection":0},{"type":9,"channel":8,"maxRating":100.0,"active":true,"inverse":false,"phaseCorrection":0}]},{"active":true,"id":1,"vdi":1002,"name":"Load 2","input":0,"cts":[{"type":9,"channel":9,"maxRating":100.0,"active":true,"inverse":false,"phaseCorrection":0},{"type":9,"channel":10,"maxRating":100.0,"active":true,"inverse":false,"phaseCorrection":0},{"type":9,"channel":11,"maxRating":100.0,"active":true,"inverse":false,"phaseCorrection":0}]},{"active":true,"id":2,"vdi":1003,"name":"Load 3","input":1,"cts":[{"type":9,"channel":12,"maxRating":100.0,"active":true,"inverse":false,"phaseCorrection":0},{"type":9,"channel":13,"maxRating":100.0,"active":true,"inverse":false,"phaseCorrection":0},{"type":9,"channel":14,"maxRating":100.0,"active":true,"inverse":false,"phaseCorrection":0}]}],"inputs":[{"active":true,"id":0,"voltage":120,"service":1,"voltageScaler":1,"lines":[{"active":true},{"active":true},{"active":true}]},{"active":true,"id":1,"voltage":120,"service":1,"voltageScaler":1,"lines":[{"active":true},{"active":true},{"active":true}]}]})json";
const char kPulse[] = R"json([{"id":0,"active":false,"out":false,"type":0,"param":19,"scaler":1,"pulseWidth":100},{"id":1,"active":false,"out":false,"type":0,"param":19,"scaler":1,"pulseWidth":100},{"id":2,"active":true,"out":true,"type":0,"param":19,"scaler":1,"pulseWidth":100}])json";

void clearSets() {
    deviceObjectMap.clear();
    for (auto &[vdi, load] : loadMapping) {
        load->getObjectMap().clear();
    }
    loadMapping.clear();
    inputMapping.clear();
    pulseMapping.clear();
}

// The sets as a start-up builds them before the alarms and the live data.
void buildSets() {
    clearSets();
    check(parse(tqrParseMapping, kMapping));
    check(parse(tqrParsePulseConfig, kPulse));
}

bool setUp() {
    // Loopback stays down: a PUT fails at once and reaches no TQR.
    if (unshare(CLONE_NEWNET) != 0) {
        std::abort();
    }
    // An empty root of its own: the state files the imports save find no
    // folder there, so nothing is written, on the machine least of all.
    static char root[] = "/tmp/talvik-import-fuzz-XXXXXX";
    if (mkdtemp(root) == nullptr || setenv("METER_ROOT", root, 1) != 0) {
        std::abort();
    }
    std::atexit([] { ::rmdir(root); });
    logSetLevel(0); // the lines would drown libFuzzer's
    tqrSetLogSink([](int, const std::string &) {});
    ProgramServices services;
    services.datalinkType = [](void *) { return communicationConfig.getDatalinkType(); };
    services.baseInstance = [](void *) { return communicationConfig.getBaseInstance(); };
    programSetServices(services);
    communicationConfig.setDefaults();
    if (kDocument == Document::Loads || kDocument == Document::Inputs || kDocument == Document::Pulses) {
        buildSets();
    }
    return true;
}

// The communication settings read back from the document the PUT sends
// are the settings it was made of.
void communicationRoundTrip() {
    const std::string written = tqrCommunicationBody(communicationConfig);
    const bool read = parse(tqrParseCommunication, written);
    const std::string again = tqrCommunicationBody(communicationConfig);
    if (!read || again != written) {
        std::fprintf(stderr, "written:   %s\nread back: %s\n", written.c_str(), read ? again.c_str() : "(refused)");
        std::abort();
    }
}

// TQR's time, once taken, breaks down into a date and a time of day.
void timeIsBrokenDown() {
    const TqrTime t = tqrTimeSnapshot();
    check(t.received);
    const std::tm &tm = t.tqrLocalTime;
    check(tm.tm_mon >= 0 && tm.tm_mon <= 11 && tm.tm_mday >= 1 && tm.tm_mday <= 31);
    check(tm.tm_hour >= 0 && tm.tm_hour <= 23 && tm.tm_min >= 0 && tm.tm_min <= 59);
    check(t.tqrTimezoneMinutes >= -1440 && t.tqrTimezoneMinutes <= 1440);
    check(t.tqrTimeText.size() >= 24); // "%FT%T" and "+hhmm"
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = setUp();
    (void)ready;
    const std::string body(reinterpret_cast<const char *>(data), size);
    if (kDocument == Document::Communication) {
        communicationConfig = CommunicationConfig();
        communicationConfig.setDefaults();
        const std::string before = tqrCommunicationBody(communicationConfig);
        if (parse(tqrParseCommunication, body)) {
            // Whatever TQR sent, what goes back is JSON and reads back to
            // the same settings.
            if (!jsonIsStrictText(tqrCommunicationBody(communicationConfig))) {
                std::fprintf(stderr, "not JSON: %s\n", tqrCommunicationBody(communicationConfig).c_str());
                std::abort();
            }
            communicationRoundTrip();
        } else {
            // Checked whole before anything is stored.
            check(tqrCommunicationBody(communicationConfig) == before);
        }
        return 0;
    }
    if (kDocument == Document::Time) {
        tqrStoreTime(TqrTime{});
        if (parse(tqrParseTime, body)) {
            timeIsBrokenDown();
        } else {
            check(!tqrTimeSnapshot().received);
        }
        return 0;
    }
    if (kDocument == Document::Alarms) {
        buildSets(); // each import of the alarms follows a restart
    }
    parse(parserOf(kDocument), body);
    if (kDocument == Document::Mapping || kDocument == Document::Pulse) {
        clearSets(); // the next body starts from no sets, as a restart does
    }
    return 0;
}
