// The per-object state-file reader on any file: the first byte picks the
// class, the rest is the file's text, put where the class looks for it. A
// crash, a leak, an exception or an allocation past libFuzzer's limit stops
// the run. A file that loads must save to a text that loads back to itself.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "objects/analog_input.h"
#include "objects/binary_value.h"
#include "objects/multi_state_value.h"
#include "objects/notification_class.h"
#include "objects/pulse_converter.h"
#include "objects/records.h"

namespace {

constexpr uint32_t kInstance = 7;
const std::string kDir = "/state";

struct Class {
    const char *kind;
    std::unique_ptr<BACnetObject> (*make)();
};

const Class kClasses[] = {
    {kKindAnalogInput, [] { return std::unique_ptr<BACnetObject>(new AnalogInput(kInstance, "kW", 48)); }},
    {kKindLargeAnalogValue, [] { return std::unique_ptr<BACnetObject>(new LargeAnalogValue(kInstance, "kWh", 19)); }},
    {kKindPulseConverter, [] { return std::unique_ptr<BACnetObject>(new PulseConverter(kInstance, "Pulse", 95)); }},
    {kKindBinaryValue, [] { return std::unique_ptr<BACnetObject>(new BinaryValue(kInstance, "Relay", "off", "on")); }},
    {kKindMultiStateValue, [] { return std::unique_ptr<BACnetObject>(new MultiStateValue(kInstance, "Mode", 0)); }},
    {kKindNotificationClass,
     [] { return std::unique_ptr<BACnetObject>(new NotificationClass(kInstance, "Alarms", 1)); }},
};

std::string root;

std::string hostPath(const std::string &name) { return root + kDir + "/" + name; }

void put(const std::string &name, const std::string &text) {
    std::ofstream(hostPath(name), std::ios::binary | std::ios::trunc) << text;
}

std::string get(const std::string &name) {
    std::ifstream in(hostPath(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void clear(const std::string &file) {
    for (const char *suffix : {"", "_bu", "_flag"}) {
        ::unlink(hostPath(file + suffix).c_str());
    }
}

bool setUp() {
    char folder[] = "/tmp/state-file-fuzz-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        std::abort();
    }
    root = folder;
    setenv("METER_ROOT", folder, 1);
    if (::mkdir((root + kDir).c_str(), 0755) != 0) {
        std::abort();
    }
    std::atexit([] {
        for (const Class &c : kClasses) {
            clear(std::string(c.kind) + "-" + std::to_string(kInstance));
        }
        ::rmdir((root + kDir).c_str());
        ::rmdir(root.c_str());
    });
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = setUp();
    (void)ready;
    if (size == 0) {
        return 0;
    }
    const Class &c = kClasses[data[0] % std::size(kClasses)];
    const std::string file = std::string(c.kind) + "-" + std::to_string(kInstance);
    clear(file);
    put(file, std::string(reinterpret_cast<const char *>(data) + 1, size - 1));
    if (c.make()->loadConfig(kDir)) {
        // What loaded saves to a text that loads back to the same text.
        const std::unique_ptr<BACnetObject> loaded = c.make();
        if (!loaded->loadConfig(kDir)) {
            std::abort();
        }
        clear(file);
        loaded->saveConfig(kDir);
        const std::string saved = get(file);
        const std::unique_ptr<BACnetObject> again = c.make();
        if (!again->loadConfig(kDir)) {
            std::abort();
        }
        clear(file);
        again->saveConfig(kDir);
        if (get(file) != saved) {
            std::abort();
        }
    }
    clear(file);
    return 0;
}
