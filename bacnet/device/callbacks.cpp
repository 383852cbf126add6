// The small members of the application's interface to the stack: the stack
// lock, the heap, local date and time, the log hooks, the interface-address
// query, the system status and the hooks that have nothing to do.

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "bacnet/app_memory.h"
#include "bacnet/stack/app.h"
#include "bacnet/stack/bip.h"
#include "device/application.h"
#include "device/config.h"
#include "meter/sysio.h"

std::mutex appStackMutex;
std::mutex appPropertyMutex;

uint32_t appMakeObjectId(uint32_t type, uint32_t instance) {
    return (type << 22) + instance;
}

void appSplitObjectId(uint32_t objectId, uint16_t *type, uint32_t *instance) {
    if (type == nullptr || instance == nullptr) {
        return;
    }
    *type = static_cast<uint16_t>(objectId >> 22);
    *instance = objectId & 0x3FFFFF;
}

bool appIsRootDevice(int32_t device) {
    return device == -1 || static_cast<uint32_t>(device) == communicationConfig.getBaseInstance();
}

void appStackLock() {
    appStackMutex.lock();
}

void appStackUnlock() {
    appStackMutex.unlock();
}

void *appCalloc(uint32_t size) {
    return std::calloc(size, 1);
}

void appFree(void *block) {
    std::free(block);
}

int appGetLocalDateTime(LocalDateTime *out) {
    std::tm tm{};
    int utcOffsetMinutes = 0;
    if (!programTqrLocalTime(&tm, &utcOffsetMinutes)) {
        // Until TQR's first answer the system clock stands in, so the Device
        // object never reports a date of zeros.
        std::time_t now = sys_time();
        localtime_r(&now, &tm);
        utcOffsetMinutes = static_cast<int>(tm.tm_gmtoff / 60);
    }
    out->hour = static_cast<uint8_t>(tm.tm_hour);
    out->minute = static_cast<uint8_t>(tm.tm_min);
    out->second = static_cast<uint8_t>(tm.tm_sec);
    out->hundredths = 0;
    out->year = static_cast<uint16_t>(tm.tm_year + 1900);
    out->month = static_cast<uint8_t>(tm.tm_mon + 1);
    out->day = static_cast<uint8_t>(tm.tm_mday);
    out->weekday = static_cast<uint8_t>(tm.tm_wday == 0 ? 7 : tm.tm_wday);
    out->daylightSaving = tm.tm_isdst > 0 ? 1 : 0;
    out->utcOffsetMinutes = static_cast<int16_t>(utcOffsetMinutes);
    return 1;
}

void logMessage(int level, const char *text) {
    programLog(level, text != nullptr ? text : "");
}

void appBipLog(const char *text) {
    logMessage(6, text);
}

void appBipv6Log(const char *text) {
    logMessage(6, text);
}

void appSyslog(int priority, const char *text) {
    syslog(priority, "%s", text);
    logMessage(priority == LOG_ERR ? 1 : 6, text);
}

namespace {

// The numeric text of an IPv4 socket address, or the resolver's message.
bool numericHost(const sockaddr *address, std::string &text) {
    if (address == nullptr) {
        text = "no address";
        return false;
    }
    char host[1025];
    int rc = getnameinfo(address, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST);
    if (rc != 0) {
        text = gai_strerror(rc);
        return false;
    }
    text = host;
    return true;
}

uint32_t ipv4Of(const sockaddr *address) {
    return reinterpret_cast<const sockaddr_in *>(address)->sin_addr.s_addr;
}

}  // namespace

bool appGetInterfaceAddress(const char *name) {
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        perror("getifaddrs");
        return false;
    }
    const std::string wanted = name != nullptr ? name : "";
    bool found = false;
    for (ifaddrs *entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_name == nullptr ||
            std::string(entry->ifa_name).compare(0, wanted.size(), wanted) != 0 ||
            entry->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        // An entry counts only whole: its own address with its own
        // broadcast address, never one entry's address with another's.
        std::string address;
        std::string broadcast;
        std::string netmask;
        if (!numericHost(entry->ifa_addr, address)) {
            programLog(1, "Retrieving IPv4 Address failed: " + address);
            break;
        }
        if (!numericHost(entry->ifa_broadaddr, broadcast)) {
            programLog(1, "Retrieving Broadcast Address failed: " + broadcast);
            break;
        }
        if (!numericHost(entry->ifa_netmask, netmask)) {
            programLog(1, "Retrieving Netmask failed: " + netmask);
            break;
        }
        bipOwnAddress = ipv4Of(entry->ifa_addr);
        communicationConfig.setIpAddress(address);
        bipBroadcastAddress = ipv4Of(entry->ifa_broadaddr);
        communicationConfig.setBroadcastAddress(broadcast);
        found = true;
    }
    freeifaddrs(list);
    return found;
}

uint32_t appGetSystemStatus(int32_t) {
    return 0;
}

int appReinitializeDone() {
    return 0;
}

void appDeviceBound(uint32_t, const BACnetAddress *, uint16_t) {}

void appConfirmedRequestTimeout(uint8_t, uint8_t, uint32_t) {}

void appConfirmedReplyReceived(int32_t, uint8_t, uint8_t, uint32_t) {}

void appMonitorPdu(uint8_t, uint32_t, const uint8_t *, const BACnetAddress *, const BACnetAddress *, uint8_t) {}
