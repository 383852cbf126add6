// An independent decoder agrees with the encoder: encoded values are wrapped
// in ReadProperty-ACK packets (Ethernet, IPv4, UDP 47808, BVLC, NPDU, APDU),
// written to a pcap file, and dissected by tshark. tshark must report no
// malformed packet and no expert warning, and the fields it decodes must be
// the values encoded.

#include "value_fixture.h"

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

constexpr const char *kTshark = "/usr/bin/tshark";

void put16(Bytes &b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

void putLe32(Bytes &b, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

// A ReadProperty-ACK of `value` for (type, instance, property) in one
// Ethernet frame from 192.168.1.10 to 192.168.1.20, both on port 47808.
Bytes frame(uint16_t type, uint32_t instance, uint32_t property, const Bytes &value, uint8_t invokeId) {
    Bytes apdu = {0x30, invokeId, 0x0C};  // ComplexACK, ReadProperty
    apdu.push_back(0x0C);
    const uint32_t id = (uint32_t{type} << 22) | instance;
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

    Bytes bvlc = {0x81, 0x0A};  // BACnet/IP, Original-Unicast-NPDU
    put16(bvlc, static_cast<uint16_t>(4 + 2 + apdu.size()));
    bvlc.insert(bvlc.end(), {0x01, 0x00});  // NPDU version 1, no addressing
    bvlc.insert(bvlc.end(), apdu.begin(), apdu.end());

    Bytes udp;
    put16(udp, 47808);
    put16(udp, 47808);
    put16(udp, static_cast<uint16_t>(8 + bvlc.size()));
    put16(udp, 0);  // no checksum
    udp.insert(udp.end(), bvlc.begin(), bvlc.end());

    Bytes ip = {0x45, 0x00};
    put16(ip, static_cast<uint16_t>(20 + udp.size()));
    ip.insert(ip.end(), {0x00, invokeId, 0x40, 0x00, 64, 17, 0x00, 0x00, 192, 168, 1, 10, 192, 168, 1, 20});
    uint32_t sum = 0;
    for (size_t i = 0; i < 20; i += 2) {
        sum += (uint32_t{ip[i]} << 8) | ip[i + 1];
    }
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    ip[10] = static_cast<uint8_t>(~sum >> 8);
    ip[11] = static_cast<uint8_t>(~sum);
    ip.insert(ip.end(), udp.begin(), udp.end());

    Bytes eth = {0x02, 0, 0, 0, 0, 0x20, 0x02, 0, 0, 0, 0, 0x10, 0x08, 0x00};
    eth.insert(eth.end(), ip.begin(), ip.end());
    return eth;
}

// The classic pcap format: a global header, then a record header per frame.
void writePcap(const std::string &path, const std::vector<Bytes> &frames) {
    Bytes out;
    putLe32(out, 0xA1B2C3D4);
    out.insert(out.end(), {2, 0, 4, 0});  // version 2.4
    putLe32(out, 0);                      // this zone
    putLe32(out, 0);                      // sigfigs
    putLe32(out, 65535);                  // snaplen
    putLe32(out, 1);                      // Ethernet
    uint32_t second = 1700000000;
    for (const Bytes &f : frames) {
        putLe32(out, second++);
        putLe32(out, 0);
        putLe32(out, static_cast<uint32_t>(f.size()));
        putLe32(out, static_cast<uint32_t>(f.size()));
        out.insert(out.end(), f.begin(), f.end());
    }
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(out.data()),
                                                static_cast<std::streamsize>(out.size()));
}

// Runs tshark without a shell, with a private home so that it reads no
// settings of the machine's users; returns its standard output.
std::string runTshark(const std::string &home, const std::vector<std::string> &args) {
    const std::string outPath = home + "/tshark.out";
    std::vector<std::string> envs = {"HOME=" + home, "XDG_CONFIG_HOME=" + home + "/config", "LC_ALL=C",
                                     "PATH=/usr/bin:/bin"};
    std::vector<char *> envp;
    for (auto &e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStore = {kTshark};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open("/dev/null", O_WRONLY);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
            _exit(127);
        }
        execve(kTshark, argv.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ADD_FAILURE() << "tshark did not run cleanly (status " << status << ")";
        return {};
    }
    std::ifstream in(outPath);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct Sample {
    const char *what;
    uint16_t type;
    uint32_t property;
    std::function<void(PropertyValue &)> make;
    // tshark field and the text it must show for this frame; empty field:
    // only the -V text below is checked.
    const char *field;
    std::string fieldValue;
    std::vector<std::string> verbose;  // texts the detailed dissection must contain
};

class TsharkTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(kTshark, X_OK) != 0) {
            GTEST_SKIP() << "tshark is not installed (" << kTshark << "); the interoperability check is skipped";
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

std::vector<Sample> samples() {
    std::vector<Sample> s;
    s.push_back({"real present value", 0, 85, [](PropertyValue &v) { v.datatype = 4; v.value.f = 230.5f; },
                 "bacapp.present_value.real", "230.5", {}});
    s.push_back({"enumerated present value", 5, 85, [](PropertyValue &v) { v.datatype = 9; v.value.u = 1; },
                 "bacapp.present_value.enum_index", "1", {}});
    s.push_back({"unsigned present value", 19, 85, [](PropertyValue &v) { v.datatype = 2; v.value.u = 70000; },
                 "bacapp.present_value.uint", "70000", {}});
    s.push_back({"signed present value", 45, 85, [](PropertyValue &v) { v.datatype = 3; v.value.i = -200; },
                 "bacapp.present_value.int", "-200", {}});
    s.push_back({"double present value", 46, 85, [](PropertyValue &v) { v.datatype = 5; v.value.d = 1234567.25; },
                 "bacapp.present_value.double", "1234567.25", {}});
    s.push_back({"64-character string", 40, 85,
                 [](PropertyValue &v) {
                     std::string t;
                     for (int i = 0; i < 64; ++i) t += static_cast<char>('A' + i % 26);
                     charString(v, t);
                 },
                 "bacapp.present_value.char_string", "ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFGHIJKL",
                 {}});
    s.push_back({"octet string", 47, 85,
                 [](PropertyValue &v) {
                     v.datatype = 6;
                     v.length = 4;
                     auto *b = nested<uint8_t>(4);
                     b[0] = 0xDE;
                     b[1] = 0xAD;
                     b[2] = 0xBE;
                     b[3] = 0xEF;
                     v.value.block = b;
                     v.ownsValue = 1;
                 },
                 "bacapp.present_value.octet_string", "64deadbeef", {}});  // the field covers the tag
    s.push_back({"boolean present value", 6, 85, [](PropertyValue &v) { v.datatype = 1; v.value.u = 1; },
                 "bacapp.present_value.boolean", "1", {}});
    s.push_back({"status flags", 0, 111,
                 [](PropertyValue &v) {
                     v.datatype = 8;
                     v.length = 4;
                     v.value.octets[0] = 0x90;  // in-alarm, out-of-service
                 },
                 "", "", {"status-flags: (Bit String) (TFFT)"}});
    s.push_back({"object list of 117", 8, 76,
                 [](PropertyValue &v) {
                     auto *b = block<uint32_t>(v, 16, 117);
                     for (uint32_t i = 0; i < 117; ++i) b[i] = oid(i == 0 ? 8 : 0, i);
                 },
                 "", "", {"ObjectIdentifier: device, 0", "ObjectIdentifier: analog-input, 116"}});
    s.push_back({"recipient list of 5", 15, 102,
                 [](PropertyValue &v) {
                     auto *b = block<BACnetDestination>(v, 23, 5);
                     for (uint32_t i = 0; i < 5; ++i) {
                         b[i].validDays = 0xFE;
                         b[i].transitions = 0xE0;
                         b[i].issueConfirmed = i & 1;
                         b[i].processId = 100 + i;
                         b[i].to = {23, 59, 59, 99};
                         if (i < 3) {
                             b[i].recipient.choice = 0;
                             b[i].recipient.device = oid(8, 1000 + i);
                         } else {
                             b[i].recipient.choice = 1;
                             b[i].recipient.network = 5;
                             b[i].recipient.macLength = 6;
                             const uint8_t mac[6] = {192, 168, 1, 50, 0xBA, 0xC0};
                             std::memcpy(b[i].recipient.mac, mac, 6);
                         }
                     }
                 },
                 "", "", {"DeviceIdentifier: device, 1002", "ProcessIdentifier: 104", "IPV4: 192.168.1.50",
                         "transitions: (Bit String) (TTT)", "valid Days: (Bit String) (TTTTTTT)"}});
    s.push_back({"priority array with one real", 1, 87,
                 [](PropertyValue &v) {
                     auto *b = block<uint32_t>(v, 4, 16);
                     for (int i = 0; i < 15; ++i) b[i] = 0xFFFFFFFF;
                     const float f = 20.0f;
                     std::memcpy(&b[15], &f, 4);
                 },
                 "", "", {"priority-array[15]: NULL", "priority-array[16]: 20.000000 (Real)"}});
    s.push_back({"date value", 42, 85, [](PropertyValue &v) { v.datatype = 10; v.value.date = {124, 3, 15, 5}; },
                 "", "", {"Date: March 15, 2024, (Day of Week = Friday)"}});
    s.push_back({"time value", 50, 85, [](PropertyValue &v) { v.datatype = 11; v.value.time = {13, 45, 30, 25}; },
                 "", "", {"= 13:45:30.25"}});
    s.push_back({"event time stamps", 0, 130,
                 [](PropertyValue &v) {
                     auto *b = block<BACnetTimeStamp>(v, 32, 3);
                     b[0].choice = 2;
                     b[0].date = {124, 5, 6, 1};
                     b[0].time = {7, 8, 9, 10};
                     b[1].choice = 1;
                     b[1].sequenceNumber = 300;
                     b[2].choice = 0;
                     b[2].time = {1, 2, 3, 4};
                 },
                 "", "", {"Date: May 6, 2024", "= 07:08:09.10", "TO-FAULT timestamp: (Unsigned) 300",
                         "TO-NORMAL timestamp: 1:02:03.4"}});
    s.push_back({"cov subscriptions", 8, 152,
                 [](PropertyValue &v) {
                     auto *b = block<BACnetCOVSubscription>(v, 37, 1);
                     b[0].recipient.choice = 0;
                     b[0].recipient.device = oid(8, 9);
                     b[0].processId = 77;
                     b[0].objectId = oid(0, 3);
                     b[0].propertyId = 85;
                     b[0].arrayIndex = kNoIndex;
                     b[0].issueConfirmed = 1;
                     b[0].timeRemaining = 300;
                     b[0].hasCovIncrement = 1;
                     b[0].covIncrement = 0.5f;
                 },
                 "", "", {"DeviceIdentifier: device, 9", "ProcessIdentifier: 77", "Time Remaining: (Unsigned) 300",
                         "COV Increment: 0.500000 (Real)", "Issue Confirmed Notifications: TRUE"}});
    s.push_back({"event parameters (out of range)", 9, 83,
                 [](PropertyValue &v) {
                     auto *e = block<BACnetEventParameter>(v, 35, 0);
                     e->choice = 5;
                     e->timeDelay = 10;
                     e->realLow = 1.0f;
                     e->realHigh = 2.0f;
                     e->realDeadband = 0.5f;
                 },
                 "", "", {"event parameters (5) out-of-range", "Time Delay (hh.mm.ss): 0.00.10",
                         "low limit: 1.000000", "high limit: 2.000000", "deadband: 0.500000"}});
    s.push_back({"trend log buffer", 20, 131,
                 [](PropertyValue &v) {
                     auto *b = block<BACnetLogRecord>(v, 38, 2);
                     b[0].date = {124, 1, 1, 1};
                     b[0].datumChoice = 2;
                     b[0].datum.datatype = 4;
                     b[0].datum.value.f = 1.5f;
                     b[0].statusFlags = 255;
                     b[1].date = {124, 1, 1, 1};
                     b[1].time = {0, 15, 0, 0};
                     b[1].datumChoice = 5;
                     b[1].datum.datatype = 3;
                     b[1].datum.value.i = 200;
                     b[1].statusFlags = 0x40;
                 },
                 "", "", {"real value: 1.500000 (Real)", "signed value: (Signed) 200", "Status Flags: (Bit String) (FTFF)"}});
    s.push_back({"weekly schedule", 17, 123,
                 [](PropertyValue &v) {
                     auto *b = block<BACnetDailySchedule>(v, 26, 7);
                     b[0].timeValueCount = 1;
                     b[0].timeValues = nested<BACnetTimeValue>(1);
                     b[0].timeValues[0].time = {8, 0, 0, 0};
                     b[0].timeValues[0].value.datatype = 4;
                     b[0].timeValues[0].value.value.f = 21.0f;
                 },
                 "", "", {"Monday", "= 08:00:00.0", "Value: 21.000000 (Real)", "Sunday"}});
    return s;
}

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
    writePcap(pcap, frames);

    // The detailed dissection of every frame: no malformed packet, no
    // expert warning or error.
    const std::string verbose = runTshark(dir_, {"-r", pcap, "-V"});
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
    const std::string table = runTshark(dir_, args);
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
        if (s.type == 8 && s.property == 76) {
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
