// Every input of the stack's fuzz corpora, fed as its fuzz target feeds it to
// a freshly started stack, and what the stack sent in answer, against the
// record in golden/corpus_replies.txt.

#include <gtest/gtest.h>

#include <arpa/inet.h>

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

// The B/IPv6 and MS/TP corpora the same way: what the datalink sent in
// answer, against golden/corpus_replies_datalinks.txt.
TEST(CorpusReplay, Bipv6AndMstpAnswersAreAsRecorded) {
    const char *root = std::getenv("METER_SOURCE_DIR");
    ASSERT_NE(root, nullptr) << "METER_SOURCE_DIR is not set";
    struct Target {
        const char *corpus;
        bool (*start)();
        void (*feed)(const uint8_t *, size_t);
        size_t (*minimum)();
    };
    const Target targets[] = {
        {"corpus_bipv6", fuzz::startBipv6, fuzz::feedBipv6, [] { return size_t{1}; }},
        {"corpus_mstp", fuzz::startMstp, fuzz::feedMstpFrame, [] { return size_t{2}; }},
    };
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
            if (data.size() < t.minimum() || data.size() > 2000) {
                continue;
            }
            ASSERT_TRUE(t.start());
            const int64_t before = appmem::outstanding();
            t.feed(data.data(), data.size());
            fuzz::drain(before);
            for (const auto &[to, datagram] : fuzz::bipv6fake::sent) {
                char address[INET6_ADDRSTRLEN];
                inet_ntop(AF_INET6, to.data(), address, sizeof address);
                record += std::string("  ") + address + " " + hex(datagram) + "\n";
            }
            fuzz::bipv6fake::sent.clear();
            for (const mstpemu::Frame &f : mstpemu::state().bus) {
                if (f.source == 5) {
                    record += "  " + std::to_string(f.type) + " " + std::to_string(f.destination) + " " +
                              hex(f.data) + "\n";
                }
            }
            mstpemu::forgetBus();
            stackShutdown();
        }
    }
    bipv6SetSocketOps(nullptr);
    harness::uninstallMstpEmulator();
    expectAsRecorded(record, "corpus_replies_datalinks.txt");
}

}  // namespace
