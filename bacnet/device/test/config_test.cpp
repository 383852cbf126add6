#include "device/config.h"

#include <gtest/gtest.h>

namespace {

TEST(CommunicationConfig, TypeNamesAreReadInBothFormsAndWrittenAsModbusNames) {
    struct {
        const char *name;
        uint32_t type;
    } const cases[] = {
        {"none", 0},    {"bac_ip", 1},  {"bac_ipv6", 2}, {"bac_mstp", 3}, {"mb_tcp", 4}, {"mod_tcp", 4},
        {"mb_rtu", 5},  {"mod_rtu", 5}, {"BAC_IP", 0},   {"", 0},         {"bac_ip ", 0},
    };
    CommunicationConfig config;
    for (const auto &c : cases) {
        config.type = 3;
        config.setTypeFromName(c.name);
        EXPECT_EQ(config.getDatalinkType(), c.type) << c.name;
    }
    EXPECT_EQ(config.getTypeName(4), "mod_tcp");
    EXPECT_EQ(config.getTypeName(5), "mod_rtu");
    EXPECT_EQ(config.getTypeName(6), "Out of range");
    EXPECT_EQ(config.getTypeName(-1), "Out of range");
    EXPECT_EQ(config.findTypeByName("bac_mstp"), 3);
    EXPECT_EQ(config.findTypeByName("mb_tcp"), 0);
}

TEST(CommunicationConfig, MulticastScopes) {
    CommunicationConfig config;
    EXPECT_EQ(config.getMulticastAddress(1), "FF02::BAC0");
    EXPECT_EQ(config.getMulticastAddress(5), "FF0E::BAC0");
    EXPECT_EQ(config.getMulticastAddress(7), "Out of range");
    EXPECT_EQ(config.findScopeByAddress("FF05::BAC0"), 3);
    EXPECT_EQ(config.findScopeByAddress("ff05::bac0"), 0);
}

TEST(CommunicationConfig, SettersKeepTheBitsTheirFieldHolds) {
    CommunicationConfig config;
    EXPECT_EQ(config.getBaudRate(), 38400u);
    EXPECT_EQ(config.getBaseInstance(), 0u);
    EXPECT_EQ(config.getBaseName(), "");
    EXPECT_EQ(config.getModbus().getType(), JsonItemType::Null);
    config.setMacAddress(300);
    config.setMaxMaster(255);
    config.setUdpPort(0x1BAC0);
    config.setNetwork(65536 + 7);
    config.setMulticastScope(0x10002);
    EXPECT_EQ(config.getMacAddress(), 44);
    EXPECT_EQ(config.getMaxMaster(), 255);
    EXPECT_EQ(config.getUdpPort(), 0xBAC0);
    EXPECT_EQ(config.getNetwork(), 7);
    EXPECT_EQ(config.getMulticastScope(), 2);
}

TEST(CommunicationConfig, DefaultsLeaveTheAddressesAlone) {
    CommunicationConfig config;
    config.setIpAddress("192.0.2.10");
    config.setDefaults();
    EXPECT_EQ(config.getUdpPort(), 47808);
    EXPECT_EQ(config.getBaseInstance(), 0x3FFFFFu);
    EXPECT_EQ(config.getBaseName(), "Krevo Power Meter4194303");
    EXPECT_EQ(config.getBbmdAddress(), "0.0.0.0");
    EXPECT_EQ(config.getNetwork(), 65535);
    EXPECT_EQ(config.getBbmdTtl(), 300);
    EXPECT_EQ(config.getMacAddress(), 127);
    EXPECT_EQ(config.getMaxInfoFrames(), 10);
    EXPECT_EQ(config.getMulticastScope(), 1);
    EXPECT_EQ(config.getBbmdIpv6Address(), "00:00:00:00:00:00:00:00");
    EXPECT_EQ(config.getIpAddress(), "192.0.2.10");
}

TEST(SiteInfo, AddressAndLocationJoinTheirLines) {
    SiteInfo info;
    info.setAddr1("Main St 1");
    info.setAddr2("Building B");
    info.setLoc1("Floor 2");
    info.setLoc2("Room 12");
    EXPECT_EQ(info.getAddress(), "Main St 1Building B");
    EXPECT_EQ(info.getLocation(), "Floor 2 Room 12");
    EXPECT_EQ(info.getAddr1(), "Main St 1");
    EXPECT_EQ(SiteInfo().getLocation(), " ");
}

} // namespace
