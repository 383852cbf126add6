// What Talvik imports from TQR about its own identity and network: the
// communication configuration, the static identity and the site texts, each
// with one instance for the whole process. No lock guards them: they are
// written during start-up, before the stack and the worker threads run, and
// afterwards only by the Device object's writes on the main thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "device/program_services.h"
#include "meter/json.h"

class CommunicationConfig {
  public:
    CommunicationConfig();

    // Datalink names as they are sent to TQR ("mod_" for Modbus).
    std::map<int, std::string> datalinkNames;
    // BACnet/IPv6 multicast address by scope index.
    std::map<int, std::string> multicastScopes;

    uint32_t type = 0; // a DatalinkType code

    uint32_t getDatalinkType() const { return type; }
    // "none", "bac_ip", "bac_ipv6", "bac_mstp", "mb_tcp" or "mod_tcp",
    // "mb_rtu" or "mod_rtu" set 0 to 5; any other text 0. TQR answers with
    // the "mb_" names and stores the "mod_" names that the PUT sends.
    void setTypeFromName(const std::string &name);
    // The datalinkNames text of code, "Out of range" when there is none.
    std::string getTypeName(int code) const;
    std::string getMulticastAddress(int index) const;
    // The first code (index) whose text equals name; 0 when none.
    int findTypeByName(const std::string &name) const;
    int findScopeByAddress(const std::string &address) const;
    void setDefaults();

    uint32_t getBaudRate() const { return baudRate_; }
    uint16_t getUdpPort() const { return udpPort_; }
    uint32_t getBaseInstance() const { return baseInstance_; }
    std::string getBaseName() const { return baseName_; }
    uint16_t getNetwork() const { return network_; }
    uint16_t getPhysicalNetwork() const { return physicalNetwork_; }
    std::string getBbmdAddress() const { return bbmdAddress_; }
    std::string getIpAddress() const { return ipAddress_; }
    std::string getBroadcastAddress() const { return broadcastAddress_; }
    uint16_t getBbmdTtl() const { return bbmdTtl_; }
    uint8_t getMacAddress() const { return macAddress_; }
    uint8_t getMaxMaster() const { return maxMaster_; }
    uint8_t getMaxInfoFrames() const { return maxInfoFrames_; }
    std::string getBbmdIpv6Address() const { return bbmdIpv6Address_; }
    uint16_t getMulticastScope() const { return multicastScope_; }
    std::string getIpv6Address() const { return ipv6Address_; }
    // TQR's own "modbus" object of its last communication answer (Null
    // before one came); the configuration PUT sends it back unchanged.
    JsonItem getModbus() const { return modbus_; }

    // Each setter keeps the low bits that fit its field.
    void setBaudRate(uint32_t v) { baudRate_ = v; }
    void setUdpPort(uint32_t v) { udpPort_ = static_cast<uint16_t>(v); }
    void setBaseInstance(uint32_t v) { baseInstance_ = v; }
    void setBaseName(const std::string &v) { baseName_ = v; }
    void setNetwork(uint32_t v) { network_ = static_cast<uint16_t>(v); }
    void setPhysicalNetwork(uint32_t v) { physicalNetwork_ = static_cast<uint16_t>(v); }
    void setBbmdAddress(const std::string &v) { bbmdAddress_ = v; }
    void setIpAddress(const std::string &v) { ipAddress_ = v; }
    void setBroadcastAddress(const std::string &v) { broadcastAddress_ = v; }
    void setBbmdTtl(uint32_t v) { bbmdTtl_ = static_cast<uint16_t>(v); }
    void setMacAddress(uint32_t v) { macAddress_ = static_cast<uint8_t>(v); }
    void setMaxMaster(uint32_t v) { maxMaster_ = static_cast<uint8_t>(v); }
    void setMaxInfoFrames(uint32_t v) { maxInfoFrames_ = static_cast<uint8_t>(v); }
    void setBbmdIpv6Address(const std::string &v) { bbmdIpv6Address_ = v; }
    void setMulticastScope(uint32_t v) { multicastScope_ = static_cast<uint16_t>(v); }
    void setIpv6Address(const std::string &v) { ipv6Address_ = v; }
    void setModbus(const JsonItem &modbus) { modbus_ = modbus.deepCopy(); }

  private:
    uint32_t baudRate_ = 38400;
    uint16_t udpPort_ = 0;
    uint32_t baseInstance_ = 0;
    std::string baseName_;
    uint16_t network_ = 0;
    uint16_t physicalNetwork_ = 0;
    std::string bbmdAddress_;
    std::string ipAddress_;
    std::string broadcastAddress_;
    uint16_t bbmdTtl_ = 0;
    uint8_t macAddress_ = 0;
    uint8_t maxMaster_ = 0;
    uint8_t maxInfoFrames_ = 0;
    std::string bbmdIpv6Address_;
    uint16_t multicastScope_ = 0;
    std::string ipv6Address_;
    JsonItem modbus_;
};

class StaticConfig {
  public:
    std::string getModel() const { return model_; }
    std::string getSerial() const { return serial_; }
    std::string getVersion() const { return version_; }
    void setModel(const std::string &v) { model_ = v; }
    void setSerial(const std::string &v) { serial_ = v; }
    void setVersion(const std::string &v) { version_ = v; }

  private:
    std::string model_;
    std::string serial_;
    std::string version_;
};

class SiteInfo {
  public:
    std::string getName() const { return name_; }
    std::string getSite() const { return site_; }
    std::string getAddr1() const { return addr1_; }
    std::string getAddr2() const { return addr2_; }
    std::string getLoc1() const { return loc1_; }
    std::string getLoc2() const { return loc2_; }
    // addr1 directly followed by addr2.
    std::string getAddress() const { return addr1_ + addr2_; }
    // loc1, a blank, loc2.
    std::string getLocation() const { return loc1_ + " " + loc2_; }
    std::string getPanel() const { return panel_; }
    std::string getType() const { return type_; }
    void setName(const std::string &v) { name_ = v; }
    void setSite(const std::string &v) { site_ = v; }
    void setAddr1(const std::string &v) { addr1_ = v; }
    void setAddr2(const std::string &v) { addr2_ = v; }
    void setLoc1(const std::string &v) { loc1_ = v; }
    void setLoc2(const std::string &v) { loc2_ = v; }
    void setPanel(const std::string &v) { panel_ = v; }
    void setType(const std::string &v) { type_ = v; }

  private:
    std::string name_;
    std::string site_;
    std::string addr1_;
    std::string addr2_;
    std::string loc1_;
    std::string loc2_;
    std::string panel_;
    std::string type_;
};

extern CommunicationConfig communicationConfig;
extern StaticConfig staticConfig;
extern SiteInfo siteInfo;
