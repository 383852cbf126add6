#include "mstp/emulator.h"

#include <gtest/gtest.h>

#include <asm/ioctls.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

class Emulator : public ::testing::Test {
  protected:
    int fd = -1;
    void SetUp() override {
        mstpemu::reset();
        fd = mstpemu::open("/dev/ttyO4", O_RDWR | O_NONBLOCK);
        ASSERT_GE(fd, 0);
    }
    void attach() {
        int d = mstpemu::kMstpDiscipline;
        ASSERT_EQ(mstpemu::ioctl(fd, TIOCSETD, reinterpret_cast<unsigned long>(&d)), 0);
        ASSERT_EQ(mstpemu::ioctl(fd, mstpemu::kSetMacAddress, 5), 0);
    }
    Bytes readFrame() {
        uint8_t buffer[600];
        ssize_t n = mstpemu::read(fd, buffer, sizeof buffer);
        return n > 0 ? Bytes(buffer, buffer + n) : Bytes{};
    }
};

TEST(MstpCrc, SentCrcsLeaveTheResidueOfAnIntactFrame) {
    // Run over a header or data with its CRC as sent, the registers end at
    // 0x55 and 0xF0B8 (here complemented once more by the functions).
    const Bytes headers[] = {
        {0x00, 0x10, 0x05, 0x00, 0x00}, {0x06, 0xFF, 0x05, 0x00, 0x04}, {0x05, 0x01, 0x7F, 0x01, 0xF5}};
    for (const Bytes &h : headers) {
        Bytes sent = h;
        sent.push_back(mstpemu::headerCrc(h.data(), h.size()));
        EXPECT_EQ(mstpemu::headerCrc(sent.data(), sent.size()), 0xAA);
    }
    const Bytes datas[] = {{0x01}, {0x01, 0x22, 0x30}, Bytes(501, 0xA5)};
    for (const Bytes &d : datas) {
        Bytes sent = d;
        uint16_t crc = mstpemu::dataCrc(d.data(), d.size());
        sent.push_back(static_cast<uint8_t>(crc));
        sent.push_back(static_cast<uint8_t>(crc >> 8));
        EXPECT_EQ(mstpemu::dataCrc(sent.data(), sent.size()), 0x0F47);
    }
    // The token of station 5 to station 0x10, and a Who-Is broadcast by
    // station 5, as a protocol analyser checks them.
    const Bytes token{0x00, 0x10, 0x05, 0x00, 0x00};
    EXPECT_EQ(mstpemu::headerCrc(token.data(), token.size()), 0x8C);
    const Bytes whoIs{0x01, 0x00, 0x10, 0x08};
    EXPECT_EQ(mstpemu::dataCrc(whoIs.data(), whoIs.size()), 0xF9BC);  // sent BC F9
}

TEST_F(Emulator, ModuleRequestsNeedTheDiscipline) {
    EXPECT_EQ(mstpemu::ioctl(fd, mstpemu::kSetMaxMaster, 64), -1);
    EXPECT_EQ(errno, ENOTTY);
    Bytes frame{6, 0xFF, 0xFF, 0, 2, 0x01, 0x00};
    EXPECT_EQ(mstpemu::write(fd, frame.data(), frame.size()), 7);
    EXPECT_EQ(mstpemu::state().rawOctets, 7u);
    EXPECT_TRUE(mstpemu::state().bus.empty());

    attach();
    EXPECT_EQ(mstpemu::ioctl(fd, mstpemu::kSetMaxMaster, 64), 0);
    EXPECT_EQ(mstpemu::ioctl(fd, mstpemu::kGetMaxMaster, 0), 64);
    EXPECT_EQ(mstpemu::ioctl(fd, mstpemu::kGetMacAddress, 0), 5);
    EXPECT_EQ(mstpemu::ioctl(fd, mstpemu::kGetModuleVersion, 0), 203);
    mstpemu::fail(mstpemu::Failure::kSetMaxMaster, EIO);
    mstpemu::fail(mstpemu::Failure::kModuleVersion, ENOTTY);
    EXPECT_EQ(mstpemu::ioctl(fd, mstpemu::kSetMaxMaster, 10), -1);
    EXPECT_EQ(mstpemu::ioctl(fd, mstpemu::kGetMaxMaster, 0), 64);
    EXPECT_LT(mstpemu::ioctl(fd, mstpemu::kGetModuleVersion, 0), 0);
}

TEST_F(Emulator, OneFramePerWriteAndPerRead) {
    attach();
    mstpemu::addStation(9, [](const mstpemu::Frame &seen) {
        std::vector<mstpemu::Frame> answers;
        if (seen.type == 5)
            answers.push_back(mstpemu::Frame{6, seen.source, 0, {0x01, 0x00, 0xAA}});
        return answers;
    });
    const struct {
        const char *name;
        Bytes frame;
        bool accepted;
    } cases[] = {
        {"expecting reply", {5, 9, 0xFF, 0, 2, 0x01, 0x04}, true},
        {"length longer than written", {6, 9, 0xFF, 0, 3, 0x01, 0x04}, false},
        {"length shorter than written", {6, 9, 0xFF, 0, 1, 0x01, 0x04}, false},
        {"token frame type", {0, 9, 0xFF, 0, 0}, false},
        {"header cut short", {6, 9, 0xFF, 0}, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ssize_t n = mstpemu::write(fd, c.frame.data(), c.frame.size());
        EXPECT_EQ(n, c.accepted ? static_cast<ssize_t>(c.frame.size()) : -1);
    }
    auto bus = mstpemu::state().bus;
    ASSERT_EQ(bus.size(), 2u);
    EXPECT_EQ(bus[0].source, 5);
    EXPECT_EQ(bus[1].source, 9);
    EXPECT_EQ(readFrame(), (Bytes{9, 0x01, 0x00, 0xAA}));
    EXPECT_TRUE(readFrame().empty());
    EXPECT_EQ(errno, EAGAIN);

    // Frames to another station are not read; broadcasts are.
    mstpemu::send(mstpemu::Frame{6, 3, 9, {0x01, 0x00}});
    mstpemu::send(mstpemu::Frame{6, 0xFF, 9, {0x01, 0x20}});
    EXPECT_EQ(readFrame(), (Bytes{9, 0x01, 0x20}));
    EXPECT_TRUE(readFrame().empty());
}

TEST_F(Emulator, FailuresOnRequest) {
    mstpemu::fail(mstpemu::Failure::kOpen, EACCES);
    EXPECT_EQ(mstpemu::open("/dev/ttyO4", O_RDWR), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(mstpemu::open("/dev/ttyS0", O_RDWR), -1);
    attach();
    mstpemu::failWrites(2, ENOMEM);
    Bytes frame{6, 0xFF, 0xFF, 0, 2, 0x01, 0x00};
    EXPECT_EQ(mstpemu::write(fd, frame.data(), frame.size()), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(mstpemu::write(fd, frame.data(), frame.size()), -1);
    EXPECT_EQ(mstpemu::write(fd, frame.data(), frame.size()), 7);
    EXPECT_EQ(mstpemu::state().writes, 3u);
    EXPECT_EQ(mstpemu::state().opens, 1);
    EXPECT_EQ(mstpemu::close(fd), 0);
    EXPECT_EQ(mstpemu::close(fd), -1);
    EXPECT_EQ(mstpemu::state().openDescriptors, 0);
}

TEST_F(Emulator, CaptureHoldsEveryFrameWithItsCrcs) {
    attach();
    auto path = std::filesystem::temp_directory_path() / ("mstp-emu-" + std::to_string(getpid()) + ".pcap");
    ASSERT_TRUE(mstpemu::capture(path.string()));
    mstpemu::send(mstpemu::Frame{6, 0xFF, 9, {0x01, 0x00, 0x10, 0x08}});
    mstpemu::stopCapture();
    std::ifstream in(path, std::ios::binary);
    Bytes file{std::istreambuf_iterator<char>(in), {}};
    std::filesystem::remove(path);
    ASSERT_EQ(file.size(), 24u + 16 + 8 + 4 + 2);
    EXPECT_EQ(file[20], 165);  // the link type
    Bytes wire(file.begin() + 40, file.end());
    EXPECT_EQ(wire[0], 0x55);
    EXPECT_EQ(wire[1], 0xFF);
    EXPECT_EQ(mstpemu::headerCrc(wire.data() + 2, 6), 0xAA);
    EXPECT_EQ(mstpemu::dataCrc(wire.data() + 8, 6), 0x0F47);
}

}  // namespace
