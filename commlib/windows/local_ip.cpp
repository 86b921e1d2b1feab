// The local IPv4 address the receiver stamps into its records.
#include <winsock2.h>
#include <iphlpapi.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "last_error.h"
#include "commlib/nevtar.h"

namespace {

// The adapters' IPv4 addresses; the list's size is known only after asking.
int32_t NevtarReadAdapters(std::vector<unsigned char>& storage) {
    constexpr ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                            GAA_FLAG_SKIP_DNS_SERVER | GAA_FLAG_SKIP_FRIENDLY_NAME;
    ULONG size = 16 * 1024;
    for (int attempt = 0; attempt < 4; ++attempt) {
        storage.resize(size);
        const ULONG error =
            GetAdaptersAddresses(AF_INET, flags, nullptr,
                                 reinterpret_cast<IP_ADAPTER_ADDRESSES*>(storage.data()), &size);
        if (error == ERROR_SUCCESS) {
            return 0;
        }
        if (error == ERROR_NO_DATA) {
            storage.clear();
            return 0;
        }
        if (error != ERROR_BUFFER_OVERFLOW) {
            return NevtarFailSystem(static_cast<int>(error),
                                    "CGetLocalIPString: GetAdaptersAddresses");
        }
    }
    return NevtarFailSystem(ERROR_BUFFER_OVERFLOW, "CGetLocalIPString: GetAdaptersAddresses");
}

} // namespace

extern "C" NEVTAR_API int32_t NEVTAR_CALL CGetLocalIPString(char* text, int32_t capacity) {
    NevtarClearError();
    if (text == nullptr || capacity <= 0) {
        return NevtarFail(NEVTAR_ERR_ARGUMENT, EINVAL, "CGetLocalIPString: ungueltiger Puffer");
    }
    text[0] = '\0';
    std::vector<unsigned char> storage;
    if (NevtarReadAdapters(storage) != 0) {
        return NEVTAR_ERR_SYSTEM;
    }
    char address[16] = "127.0.0.1";
    const auto* adapter =
        storage.empty() ? nullptr : reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(storage.data());
    for (; adapter != nullptr; adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp || adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK ||
            adapter->FirstUnicastAddress == nullptr) {
            continue;
        }
        const auto* inet =
            reinterpret_cast<const sockaddr_in*>(adapter->FirstUnicastAddress->Address.lpSockaddr);
        const auto* parts = reinterpret_cast<const unsigned char*>(&inet->sin_addr);
        std::snprintf(address, sizeof address, "%u.%u.%u.%u", parts[0], parts[1], parts[2],
                      parts[3]);
        break;
    }
    if (std::strlen(address) >= static_cast<std::size_t>(capacity)) {
        return NevtarFail(NEVTAR_ERR_ARGUMENT, EINVAL, "CGetLocalIPString: Puffer zu klein fuer %s",
                          address);
    }
    std::snprintf(text, static_cast<std::size_t>(capacity), "%s", address);
    return 0;
}
