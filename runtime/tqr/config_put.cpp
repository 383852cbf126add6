#include "runtime/tqr/config_put.h"

#include <mutex>

std::string tqrSiteInfoBody(const SiteInfo &info) {
    JsonItem texts(JsonItemType::Object);
    texts.setName("siteinfo");
    texts.appendChild(JsonItem("name", info.getName()));
    texts.appendChild(JsonItem("site", info.getSite()));
    texts.appendChild(JsonItem("addr1", info.getAddr1()));
    texts.appendChild(JsonItem("addr2", info.getAddr2()));
    texts.appendChild(JsonItem("loc1", info.getLoc1()));
    texts.appendChild(JsonItem("loc2", info.getLoc2()));
    texts.appendChild(JsonItem("panel", info.getPanel()));
    texts.appendChild(JsonItem("type", info.getType()));
    JsonItem body(JsonItemType::Object);
    body.appendChild(texts);
    return body.toCompactText();
}

std::string tqrCommunicationBody(const CommunicationConfig &config) {
    JsonItem body(JsonItemType::Object);
    body.appendChild(JsonItem("type", config.getTypeName(static_cast<int>(config.getDatalinkType()))));
    // TQR's Modbus settings belong to Ulvora: they go back as TQR sent them.
    JsonItem modbus = config.getModbus();
    if (modbus.getType() != JsonItemType::Object) {
        modbus = JsonItem(JsonItemType::Object);
        modbus.appendChild(JsonItem("address", 1u));
        modbus.appendChild(JsonItem("port", 502u));
        modbus.appendChild(JsonItem("baudrate", config.getBaudRate()));
    } else {
        modbus = modbus.deepCopy();
    }
    modbus.setName("modbus");
    body.appendChild(modbus);
    JsonItem bacnet(JsonItemType::Object);
    bacnet.setName("bacnet");
    bacnet.appendChild(JsonItem("port", static_cast<unsigned>(config.getUdpPort())));
    bacnet.appendChild(JsonItem("baudrate", config.getBaudRate()));
    bacnet.appendChild(JsonItem("baseInstance", config.getBaseInstance()));
    bacnet.appendChild(JsonItem("baseName", config.getBaseName()));
    bacnet.appendChild(JsonItem("network", static_cast<unsigned>(config.getNetwork())));
    bacnet.appendChild(JsonItem("physicalnetwork", static_cast<unsigned>(config.getPhysicalNetwork())));
    bacnet.appendChild(JsonItem("bbmdAddress", config.getBbmdAddress()));
    bacnet.appendChild(JsonItem("bbmdTtl", static_cast<unsigned>(config.getBbmdTtl())));
    bacnet.appendChild(JsonItem("macAddress", static_cast<unsigned>(config.getMacAddress())));
    bacnet.appendChild(JsonItem("maxMaster", static_cast<unsigned>(config.getMaxMaster())));
    bacnet.appendChild(JsonItem("maxInfoFrames", static_cast<unsigned>(config.getMaxInfoFrames())));
    bacnet.appendChild(JsonItem("bbmdIPv6Address", config.getBbmdIpv6Address()));
    bacnet.appendChild(JsonItem("multiCastAddress", static_cast<unsigned>(config.getMulticastScope())));
    body.appendChild(bacnet);
    return body.toCompactText();
}

int tqrPutSiteInfo(const std::string &host, uint16_t port, const std::string &path, const SiteInfo &info,
                   const TqrCompletion &completion) {
    std::lock_guard<std::mutex> lock(tqrMutex);
    return tqrPutConfiguration(
        host, port, path,
        [&info] { return tqrSiteInfoBody(info); }, completion);
}

int tqrPutCommunication(const std::string &host, uint16_t port, const std::string &path,
                        const CommunicationConfig &config, const TqrCompletion &completion) {
    return tqrPutConfiguration(
        host, port, path,
        [&config] { return tqrCommunicationBody(config); }, completion);
}
