// Notification class: priorities, the recipient list, MAC texts and the
// state file with every kind of recipient.

#include "fake_stack.h"
#include "objects/notification_class.h"
#include "temp_root.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

namespace {

using meter::host::TempRoot;

const std::string kDir = "/config/talvik/loads/3";
const std::string kMain = kDir + "/notification-class-1";

BACnetDestination device(uint32_t instance, uint32_t processId = 0) {
    BACnetDestination d;
    std::memset(&d, 0, sizeof d);
    d.validDays = 0x7C;  // Tuesday to Saturday
    d.transitions = 0xA0;
    d.issueConfirmed = 1;
    d.processId = processId;
    d.from = {6, 30, 0, 0};
    d.to = {18, 0, 0, 0};
    d.recipient.choice = kRecipientDevice;
    d.recipient.device = objectIdMake(kObjDevice, instance);
    return d;
}

BACnetDestination address(uint16_t network, std::initializer_list<uint8_t> mac, uint32_t processId = 0) {
    BACnetDestination d = device(0, processId);
    d.recipient.choice = kRecipientAddress;
    d.recipient.device = 0;
    d.recipient.network = network;
    d.recipient.macLength = static_cast<uint16_t>(mac.size());
    std::copy(mac.begin(), mac.end(), d.recipient.mac);
    return d;
}

std::vector<DestinationImage> images(const std::vector<BACnetDestination> &list) {
    std::vector<DestinationImage> out;
    for (const auto &d : list) {
        out.push_back(destinationImage(d));
    }
    return out;
}

TEST(NotificationClass, Priorities) {
    NotificationClass nc(1, "Event Notification Class", 1);
    EXPECT_EQ(nc.getObjectType(), kObjNotificationClass);
    EXPECT_EQ(nc.getClassNumber(), 1u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(nc.getPriority(i), 255u) << "set before any write";
    }
    struct Case {
        uint32_t value, index;
        PackedError result;
    } const cases[] = {{255, 2, 0}, {0, 0, 0}, {256, 0, 0x20025}, {7, 3, 0x20025}};
    for (const Case &c : cases) {
        EXPECT_EQ(nc.setPriority(c.value, c.index), c.result) << c.value << " at " << c.index;
    }
    EXPECT_EQ(nc.getToOffnormalPriority(), 0u);
    EXPECT_EQ(nc.getToNormalPriority(), 255u);
    EXPECT_EQ(nc.getPriority(3), 256u);
    nc.setAckRequiredToNormal(true);
    nc.setAckRequiredToOffnormal(true);
    nc.setAckRequiredToOffnormal(false);
    EXPECT_EQ(nc.getAckRequired(), 0x04);
    EXPECT_TRUE(nc.isAckRequiredToNormal());
}

TEST(NotificationClass, RecipientListKeepsFiveDistinctInImageOrder) {
    NotificationClass nc(1, "N", 1);
    EXPECT_TRUE(nc.addRecipient(device(9)));
    EXPECT_TRUE(nc.addRecipient(device(3)));
    EXPECT_TRUE(nc.addRecipient(device(3)));
    EXPECT_EQ(nc.getRecipientCount(), 2u) << "an equal destination is merged";
    EXPECT_TRUE(nc.addRecipient(address(0, {1})));
    EXPECT_TRUE(nc.addDefaultRecipient());
    EXPECT_EQ(nc.getRecipientCount(), 4u);
    EXPECT_TRUE(nc.addRecipient(device(9))) << "the fifth place takes a duplicate that then merges";
    EXPECT_EQ(nc.getRecipientCount(), 4u);
    EXPECT_TRUE(nc.addRecipient(device(10)));
    EXPECT_FALSE(nc.addRecipient(device(11)));
    EXPECT_TRUE(nc.addDefaultRecipient()) << "true even when the list is full";
    const auto list = nc.getRecipients();
    ASSERT_EQ(list.size(), 5u);
    for (size_t i = 1; i < list.size(); ++i) {
        EXPECT_TRUE(destinationLess(list[i - 1], list[i]));
    }

    EXPECT_FALSE(nc.replaceRecipients({device(1), device(2), device(3), device(4), device(5), device(6)}));
    EXPECT_EQ(nc.getRecipientCount(), 5u) << "a refused list changes nothing";
    EXPECT_TRUE(nc.replaceRecipients({device(2), device(1), device(2)}));
    EXPECT_EQ(images(nc.getRecipients()), images({device(1), device(2)}));
}

TEST(NotificationClass, MacTexts) {
    EXPECT_EQ(NotificationClass::formatMacAddress(address(0, {0xC0, 0xA8, 1, 10, 0xBA, 0xC0})), "c0:a8:01:0a:ba:c0");
    EXPECT_EQ(NotificationClass::formatMacAddress(address(5, {0x7F})), "7f");
    EXPECT_EQ(NotificationClass::formatMacAddress(address(0xFFFF, {})), "");

    struct Case {
        const char *text;
        size_t length;
        bool ok;
        std::array<uint8_t, 8> octets;
    } const cases[] = {
        {"C0:A8:1:A:BA:C0", 6, true, {0xC0, 0xA8, 1, 10, 0xBA, 0xC0}},
        {"7f", 1, true, {0x7F}},
        {"01:02:03:04:05:06:07:08", 8, true, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"c0:a8:01:0a:ba", 6, false, {}},
        {"c0-a8-01-0a-ba-c0", 6, false, {}},
        {"c0:a8:01:0a:ba:c0:11", 6, false, {}},
        {"100:a8:01:0a:ba:c0", 6, false, {}},
        {"", 1, false, {}},
        {"7f", 0, false, {}},
        {"7g", 1, false, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        if (c.ok) {
            EXPECT_EQ(NotificationClass::parseMacAddress(c.text, c.length), c.octets);
        } else {
            try {
                NotificationClass::parseMacAddress(c.text, c.length);
                ADD_FAILURE() << "accepted";
            } catch (const std::runtime_error &e) {
                EXPECT_EQ(std::string(e.what()), std::string(c.text) + " is an invalid MAC address");
            }
        }
    }
}

class NotificationClassFile : public ::testing::Test {
protected:
    void SetUp() override {
        fake_stack::reset();
        std::filesystem::create_directories(root.host(kDir));
    }
    TempRoot root;
};

TEST_F(NotificationClassFile, EveryKindOfRecipientReloadsToEqualImages) {
    NotificationClass nc(1, "Event Notification Class", 1);
    nc.setPriority(100, 0);
    nc.setPriority(150, 1);
    nc.setPriority(200, 2);
    nc.addDefaultRecipient();
    nc.addRecipient(address(5, {0x21}, 77));                               // MS/TP
    nc.addRecipient(address(0, {192, 168, 1, 10, 0xBA, 0xC0}, 0x10000));  // B/IP
    nc.addRecipient(device(1234, 3));
    nc.saveConfig(kDir);
    const std::string text = root.get(kMain);
    EXPECT_NE(text.find(R"({"addr":{"net":65535,"maclen":0,"mac":""},"process":0,"confirmed":false,)"
                        R"("transitions":[true,true,true],"validdays":[true,true,true,true,true,true,true],)"
                        R"("fromtime":[0,0,0,0],"totime":[23,59,59,99]})"),
              std::string::npos)
        << text;

    NotificationClass back(1, "Event Notification Class", 1);
    EXPECT_TRUE(back.loadConfig(kDir));
    EXPECT_EQ(images(back.getRecipients()), images(nc.getRecipients()));
    EXPECT_EQ(back.getPriority(0), 100u);
    EXPECT_EQ(back.getPriority(1), 150u);
    EXPECT_EQ(back.getPriority(2), 200u);
    EXPECT_TRUE(fake_stack::logTexts(1).empty());

    EXPECT_TRUE(back.loadConfig(kDir));
    EXPECT_EQ(back.getRecipientCount(), 4u) << "a second load merges into the same list";
}

TEST_F(NotificationClassFile, ARecipientWithoutProcessLoadsAsZero) {
    root.put(kMain, R"({"notification-class-1":{"object-name":"N","priority":[1,2,3],"recipient-list":[)"
                    R"({"device":12,"confirmed":true,"transitions":[true,false,true],)"
                    R"("validdays":[true,true,true,true,true,false,false],"fromtime":[0,0,0,0],"totime":[23,59,59,99]}]}})");
    NotificationClass nc(1, "Kept", 1);
    ASSERT_TRUE(nc.loadConfig(kDir));
    const auto list = nc.getRecipients();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].processId, 0u);
    EXPECT_EQ(objectIdInstance(list[0].recipient.device), 12u);
    EXPECT_EQ(list[0].validDays, 0xF8);
    EXPECT_EQ(list[0].transitions, 0xA0);
    EXPECT_EQ(nc.getObjectName(), "Kept");
}

TEST_F(NotificationClassFile, InvalidFilesApplyNothing) {
    const std::string head = R"({"notification-class-1":{"object-name":"N","priority":[1,2,3])";
    const std::string good = R"({"device":12,"confirmed":true,"transitions":[true,false,true],)"
                             R"("validdays":[true,true,true,true,true,false,false],"fromtime":[0,0,0,0],"totime":[1,2,3,4]})";
    struct Case {
        const char *what;
        std::string text;
        std::string reason;
    } const cases[] = {
        {"priority of two", R"({"notification-class-1":{"object-name":"N","priority":[1,2]}})",
         "priority not correct size"},
        {"priority missing", R"({"notification-class-1":{"object-name":"N"}})", "priority not found"},
        {"priority beyond 64 bits", R"({"notification-class-1":{"object-name":"N","priority":[1,3e115,3]}})",
         "3e115 out of range"},
        {"six valid days", head + R"(,"recipient-list":[)" + good + R"(,{"device":13,"confirmed":true,)"
                                  R"("transitions":[true,false,true],"validdays":[true,true,true,true,true,false],)"
                                  R"("fromtime":[0,0,0,0],"totime":[1,2,3,4]}]}})",
         "validdays not correct size"},
        {"bad mac", head + R"(,"recipient-list":[{"addr":{"net":0,"maclen":6,"mac":"c0:a8:01"},"confirmed":true,)"
                           R"("transitions":[true,false,true],"validdays":[true,true,true,true,true,false,false],)"
                           R"("fromtime":[0,0,0,0],"totime":[1,2,3,4]}]}})",
         "c0:a8:01 is an invalid MAC address"},
        {"maclen beyond eight", head + R"(,"recipient-list":[{"addr":{"net":0,"maclen":9,"mac":"1"},"confirmed":true,)"
                                       R"("transitions":[true,false,true],"validdays":[true,true,true,true,true,false,false],)"
                                       R"("fromtime":[0,0,0,0],"totime":[1,2,3,4]}]}})",
         "maclen 9 out of range"},
        {"confirmed missing", head + R"(,"recipient-list":[{"device":1,"transitions":[true,false,true],)"
                                     R"("validdays":[true,true,true,true,true,false,false],"fromtime":[0,0,0,0],"totime":[1,2,3,4]}]}})",
         "confirmed not found"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fake_stack::reset();
        root.put(kMain, c.text);
        NotificationClass nc(1, "N", 1);
        nc.addDefaultRecipient();
        EXPECT_FALSE(nc.loadConfig(kDir));
        EXPECT_EQ(nc.getRecipientCount(), 1u) << "no recipient of a refused file is added";
        EXPECT_EQ(nc.getPriority(0), 255u);
        EXPECT_EQ(fake_stack::logTexts(1),
                  std::vector<std::string>{"Invalid data in " + kMain + " (" + c.reason + "). Using factory defaults."});
    }

    fake_stack::reset();
    root.put(kMain, R"({"notification-class-1":{"object-name":"N","priority":[1,2,3]}})");
    NotificationClass nc(1, "N", 1);
    nc.addDefaultRecipient();
    EXPECT_TRUE(nc.loadConfig(kDir));
    EXPECT_EQ(nc.getRecipientCount(), 1u);
    EXPECT_TRUE(fake_stack::logLines().empty()) << "an empty list is only a debug line, never written";
}

TEST(NotificationClassPowerCut, SaveAndLoadLeaveTheOldOrTheNewList) {
    fake_stack::reset();
    const std::vector<BACnetDestination> oldList = {device(1)};
    const std::vector<BACnetDestination> newList = {device(2), address(5, {0x21})};
    for (int phase = 0; phase < 2; ++phase) {
        for (uint64_t step = 0;; ++step) {
            SCOPED_TRACE((phase == 0 ? "save, cut at step " : "load, cut at step ") + std::to_string(step));
            TempRoot root;
            std::filesystem::create_directories(root.host(kDir));
            NotificationClass nc(1, "N", 1);
            nc.replaceRecipients(oldList);
            nc.saveConfig(kDir);
            nc.replaceRecipients(newList);
            meter::host::fault_arm(step, meter::host::Mode::power_cut);
            if (phase == 0) {
                nc.saveConfig(kDir);
            } else {
                NotificationClass loader(1, "N", 1);
                loader.loadConfig(kDir);
            }
            const bool fired = meter::host::fault_fired();
            meter::host::fault_disarm();
            NotificationClass fresh(1, "N", 1);
            EXPECT_TRUE(fresh.loadConfig(kDir));
            const auto got = images(fresh.getRecipients());
            EXPECT_TRUE(got == images(oldList) || (phase == 0 && got == images(newList)));
            if (!fired) {
                break;
            }
            ASSERT_LT(step, 100u);
        }
    }
}

}  // namespace
