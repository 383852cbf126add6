// Any answer TQR may give, into any of the parsers: a parser either reads
// it or refuses it with std::invalid_argument or std::out_of_range; any
// other outcome is a fault. The first byte chooses the parser.
#include "ulvora/parsers.h"
#include "ulvora/records.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using Parser = int (*)(const char *, size_t, size_t, void *);
    static const Parser parsers[] = {mbParseTime,    mbParseStatic,      mbParseInfo,      mbParseMapping,
                                     mbParsePulseConfig, mbParseLoadData, mbParseInputData, mbParsePulseData};
    if (size == 0) {
        return 0;
    }
    const Parser parser = parsers[data[0] % 8];
    try {
        parser(reinterpret_cast<const char *>(data + 1), 1, size - 1, nullptr);
    } catch (const std::invalid_argument &) {
    } catch (const std::out_of_range &) {
    }
    mbTakeNotes();
    if (mbTimePending()) {
        mbCommitTime();
    }
    return 0;
}
