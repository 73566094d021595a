#include "Platform/Net/NetworkReachability.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace platform {

bool hasNetworkConnection() {
    ifaddrs* list = nullptr;
    // Without the interface list we cannot tell; staying online lets the request itself decide.
    if (::getifaddrs(&list) != 0) return true;
    bool connected = false;
    for (const ifaddrs* entry = list; entry && !connected; entry = entry->ifa_next) {
        if (!entry->ifa_addr) continue;
        const unsigned flags = entry->ifa_flags;
        if (!(flags & IFF_UP) || !(flags & IFF_RUNNING) || (flags & IFF_LOOPBACK)) continue;
        if (entry->ifa_addr->sa_family == AF_INET) {
            connected = true;
        } else if (entry->ifa_addr->sa_family == AF_INET6) {
            const auto* address = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
            connected = !IN6_IS_ADDR_LINKLOCAL(&address->sin6_addr) && !IN6_IS_ADDR_LOOPBACK(&address->sin6_addr);
        }
    }
    ::freeifaddrs(list);
    return connected;
}

}  // namespace platform
