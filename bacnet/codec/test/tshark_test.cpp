// An independent decoder agrees with the encoder: encoded values are wrapped
// in ReadProperty-ACK packets (Ethernet, IPv4, UDP 47808, BVLC, NPDU, APDU),
// written to a pcap file, and dissected by tshark. tshark must report no
// malformed packet and no expert warning, and the fields it decodes must be
// the values encoded.

#include "tshark_samples.h"

#include "pcap_tshark.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

extern char **environ;

namespace {

using namespace codec_test;


// A ReadProperty-ACK of `value` for (type, instance, property) in one
// Ethernet frame from 192.168.1.10 to 192.168.1.20, both on port 47808.
Bytes frame(uint16_t type, uint32_t instance, uint32_t property, const Bytes &value, uint8_t invokeId) {
    Bytes apdu = {apduFirstOctet(kPduComplexAck), invokeId, kSvcReadProperty};
    apdu.push_back(0x0C);
    const uint32_t id = objectIdMake(type, instance);
    for (int s = 24; s >= 0; s -= 8) {
        apdu.push_back(static_cast<uint8_t>(id >> s));
    }
    if (property < 256) {
        apdu.insert(apdu.end(), {0x19, static_cast<uint8_t>(property)});
    } else {
        apdu.insert(apdu.end(), {0x1A, static_cast<uint8_t>(property >> 8), static_cast<uint8_t>(property)});
    }
    apdu.push_back(0x3E);
    apdu.insert(apdu.end(), value.begin(), value.end());
    apdu.push_back(0x3F);

    Bytes bvlc = {kBvllTypeBip, kBvlcOriginalUnicastNpdu};
    pcap::put16(bvlc, static_cast<uint16_t>(4 + 2 + apdu.size()));
    bvlc.insert(bvlc.end(), {0x01, 0x00});  // NPDU version 1, no addressing
    bvlc.insert(bvlc.end(), apdu.begin(), apdu.end());

    return pcap::udpFrame(bvlc, invokeId);
}


class TsharkTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(pcap::kTshark, X_OK) != 0) {
            GTEST_SKIP() << "tshark is not installed (" << pcap::kTshark << "); the interoperability check is skipped";
        }
        char tmpl[] = "/tmp/bacnet-tshark-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        mkdir((dir_ + "/config").c_str(), 0700);
        appmem::reset();
    }
    void TearDown() override {
        if (!dir_.empty()) {
            unlink((dir_ + "/tshark.out").c_str());
            unlink((dir_ + "/values.pcap").c_str());
            rmdir((dir_ + "/config").c_str());
            rmdir(dir_.c_str());
        }
    }
    std::string dir_;
};

TEST_F(TsharkTest, AgreesWithTheEncoder) {
    const std::vector<Sample> all = samples();
    std::vector<Bytes> frames;
    for (size_t i = 0; i < all.size(); ++i) {
        PropertyValue v{};
        all[i].make(v);
        Bytes enc;
        ASSERT_TRUE(encode(all[i].type, all[i].property, &v, &enc)) << all[i].what;
        propFreeValue(&v);
        frames.push_back(frame(all[i].type, 1, all[i].property, enc, static_cast<uint8_t>(i + 1)));
    }
    const std::string pcap = dir_ + "/values.pcap";
    pcap::writePcap(pcap, frames);

    // The detailed dissection of every frame: no malformed packet, no
    // expert warning or error.
    const std::string verbose = pcap::runTshark(dir_, {"-r", pcap, "-V"});
    ASSERT_FALSE(verbose.empty());
    std::vector<std::string> perFrame;
    size_t at = verbose.find("Frame 1:");
    ASSERT_NE(at, std::string::npos);
    for (size_t i = 1; i <= all.size(); ++i) {
        const size_t next = verbose.find("\nFrame " + std::to_string(i + 1) + ":", at);
        perFrame.push_back(verbose.substr(at, next == std::string::npos ? std::string::npos : next - at));
        at = next;
    }
    for (size_t i = 0; i < all.size(); ++i) {
        const std::string &text = perFrame[i];
        EXPECT_EQ(text.find("Malformed"), std::string::npos) << all[i].what << "\n" << text;
        EXPECT_EQ(text.find("Expert Info (Warning"), std::string::npos) << all[i].what << "\n" << text;
        EXPECT_EQ(text.find("Expert Info (Error"), std::string::npos) << all[i].what << "\n" << text;
        EXPECT_NE(text.find("readProperty"), std::string::npos) << all[i].what;
        for (const std::string &want : all[i].verbose) {
            EXPECT_NE(text.find(want), std::string::npos) << all[i].what << ": no \"" << want << "\"\n" << text;
        }
    }

    // The decoded fields, one line per frame.
    std::vector<std::string> args = {"-r", pcap, "-T", "fields", "-E", "separator=|", "-e", "frame.number",
                                     "-e", "bacapp.instance_number", "-e", "bacapp.property_identifier"};
    std::vector<std::string> fields;
    for (const Sample &s : all) {
        if (*s.field != '\0') {
            bool seen = false;
            for (const auto &f : fields) seen = seen || f == s.field;
            if (!seen) fields.push_back(s.field);
        }
    }
    for (const auto &f : fields) {
        args.push_back("-e");
        args.push_back(f);
    }
    const std::string table = pcap::runTshark(dir_, args);
    std::istringstream lines(table);
    std::string line;
    size_t n = 0;
    while (std::getline(lines, line)) {
        std::vector<std::string> cells;
        std::string cell;
        std::istringstream ls(line);
        while (std::getline(ls, cell, '|')) cells.push_back(cell);
        cells.resize(3 + fields.size());
        ASSERT_LT(n, all.size());
        const Sample &s = all[n];
        EXPECT_EQ(cells[0], std::to_string(n + 1));
        // The object's instance comes first; an object list adds its own.
        EXPECT_EQ(cells[1].substr(0, cells[1].find(',')), "1") << s.what;
        EXPECT_EQ(cells[2].substr(0, cells[2].find(',')), std::to_string(s.property)) << s.what;
        if (s.type == kObjDevice && s.property == kPropObjectList) {
            size_t ids = 0;
            for (char ch : cells[1]) ids += ch == ',' ? 1 : 0;
            EXPECT_EQ(ids, 117u) << "the object and its list of 117 identifiers";
        }
        for (size_t f = 0; f < fields.size(); ++f) {
            if (fields[f] == s.field) {
                const std::string &got = cells[3 + f];
                // Repeated fields (a priority array) list their occurrences.
                EXPECT_EQ(got.substr(got.rfind(',') == std::string::npos ? 0 : got.rfind(',') + 1), s.fieldValue)
                    << s.what << ": " << s.field;
            }
        }
        ++n;
    }
    EXPECT_EQ(n, all.size());
    EXPECT_EQ(appmem::outstanding(), 0);
}

}  // namespace
