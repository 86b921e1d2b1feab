// The local IPv4 address the receiver stamps into its records.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include "last_error.h"
#include "commlib/nevtar.h"

extern "C" NEVTAR_API int32_t NEVTAR_CALL CGetLocalIPString(char* text, int32_t capacity) {
    NevtarClearError();
    if (text == nullptr || capacity <= 0) {
        return NevtarFail(NEVTAR_ERR_ARGUMENT, EINVAL, "CGetLocalIPString: ungueltiger Puffer");
    }
    text[0] = '\0';
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        return NevtarFailSystem(errno, "CGetLocalIPString: getifaddrs");
    }
    char address[INET_ADDRSTRLEN] = "127.0.0.1";
    for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            (entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) {
            continue;
        }
        const auto* inet = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        inet_ntop(AF_INET, &inet->sin_addr, address, sizeof address);
        break;
    }
    freeifaddrs(interfaces);
    if (std::strlen(address) >= static_cast<std::size_t>(capacity)) {
        return NevtarFail(NEVTAR_ERR_ARGUMENT, EINVAL, "CGetLocalIPString: Puffer zu klein fuer %s",
                          address);
    }
    std::snprintf(text, static_cast<std::size_t>(capacity), "%s", address);
    return 0;
}
