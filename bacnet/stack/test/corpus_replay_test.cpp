// Every input of the stack's fuzz corpora, fed as its fuzz target feeds it to
// a freshly started stack, and what the stack sent in answer, against the
// record in golden/corpus_replies.txt.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../fuzz/fuzz_common.h"
#include "test_util.h"

using harness::Bytes;
using namespace tu;
namespace fs = std::filesystem;

namespace {

std::string describe(const harness::Datagram &d) {
    const auto *a = reinterpret_cast<const uint8_t *>(&d.address);
    const auto *p = reinterpret_cast<const uint8_t *>(&d.port);
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
           std::to_string(a[3]) + ":" + std::to_string(p[0] << 8 | p[1]) + " " + hex(d.data);
}

TEST(CorpusReplay, AnswersAreAsRecorded) {
    const char *root = std::getenv("METER_SOURCE_DIR");
    ASSERT_NE(root, nullptr) << "METER_SOURCE_DIR is not set";
    struct Target {
        const char *corpus;
        void (*feed)(const uint8_t *, size_t);
    };
    const Target targets[] = {{"corpus", fuzz::feedDatagram}, {"corpus_npdu", fuzz::feedNpdu}};
    std::string record;
    for (const Target &t : targets) {
        std::vector<fs::path> inputs;
        for (const auto &entry : fs::directory_iterator(fs::path(root) / "bacnet/stack/fuzz" / t.corpus)) {
            inputs.push_back(entry.path());
        }
        std::sort(inputs.begin(), inputs.end());
        ASSERT_FALSE(inputs.empty()) << t.corpus;
        for (const fs::path &input : inputs) {
            std::ifstream in(input, std::ios::binary);
            const Bytes data{std::istreambuf_iterator<char>(in), {}};
            record += std::string(t.corpus) + "/" + input.filename().string() + "\n";
            if (data.empty() || data.size() > 2000) {
                continue;
            }
            harness::Stack stack(fuzz::config());
            ASSERT_TRUE(stack.started());
            harness::takeSent();
            const int64_t before = appmem::outstanding();
            t.feed(data.data(), data.size());
            for (const harness::Datagram &d : fuzz::drain(before)) {
                record += "  " + describe(d) + "\n";
            }
        }
    }
    expectAsRecorded(record, "corpus_replies.txt");
}

}  // namespace
