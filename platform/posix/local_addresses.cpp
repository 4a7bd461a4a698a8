// platform/posix/local_addresses.cpp: the host's own addresses, the interfaces that hold them
// and the ephemeral port range, from getifaddrs and /proc.
#include "platform/platform.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "platform/posix/internal.h"
#include "platform/primitives.h"

int queryEphemeralPorts(int* low, int* high) {
    FILE* range = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "re");
    if (range == nullptr) {
        return failWithErrno();
    }
    bool isRead = std::fscanf(range, "%d %d", low, high) == 2;
    (void)std::fclose(range);
    return isRead ? 0 : fail(EINVAL);
}

int queryLocalAddresses(NetworkAddress* out, int maxCount) {
    struct ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        return failWithErrno();
    }
    // Addresses an operator can give a chassis come first; loopback only when nothing else.
    int count = 0;
    for (int wantLoopback = 0; wantLoopback < 2 && count == 0; wantLoopback++) {
        for (struct ifaddrs* entry = interfaces; entry != nullptr && count < maxCount;
             entry = entry->ifa_next) {
            if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
                (entry->ifa_flags & IFF_UP) == 0) {
                continue;
            }
            bool isLoopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
            if (isLoopback != (wantLoopback == 1)) {
                continue;
            }
            if (fromSocketAddress(entry->ifa_addr, &out[count]) == 0) {
                count++;
            }
        }
    }
    freeifaddrs(interfaces);
    if (count == 0) {
        return fail(EADDRNOTAVAIL);
    }
    return count;
}

// The length of the netmask's leading run of one bits. The mask is read as the address's
// family, since some systems leave the family of a netmask unset.
static int prefixLengthOf(const struct sockaddr* netmask, AddressFamily family) {
    const unsigned char* bytes =
        family == AddressFamily::kIpv6
            ? reinterpret_cast<const struct sockaddr_in6*>(netmask)->sin6_addr.s6_addr
            : reinterpret_cast<const unsigned char*>(
                  &reinterpret_cast<const struct sockaddr_in*>(netmask)->sin_addr.s_addr);
    int bits = family == AddressFamily::kIpv6 ? 128 : 32;
    int length = 0;
    while (length < bits && (bytes[length / 8] & (0x80u >> (length % 8))) != 0) {
        length++;
    }
    return length;
}

static bool holdsAddress(const struct ifaddrs* entry, const NetworkAddress* address) {
    NetworkAddress held;
    if (entry->ifa_addr == nullptr || entry->ifa_netmask == nullptr ||
        fromSocketAddress(entry->ifa_addr, &held) != 0) {
        return false;
    }
    // An address given without a zone may still be one of a link-local interface's.
    if (address->scope == 0) {
        held.scope = 0;
    }
    return isSameHost(&held, address);
}

int describeLocalAddress(const NetworkAddress* address, LocalAddressDetails* out) {
    struct ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        return failWithErrno();
    }
    const struct ifaddrs* entry = interfaces;
    while (entry != nullptr && !holdsAddress(entry, address)) {
        entry = entry->ifa_next;
    }
    int result = -1;
    if (entry == nullptr) {
        (void)fail(EADDRNOTAVAIL);
    } else {
        out->prefixLength = prefixLengthOf(entry->ifa_netmask, address->family);
        int n = std::snprintf(out->interfaceName, sizeof out->interfaceName, "%s", entry->ifa_name);
        result = n >= 0 && static_cast<std::size_t>(n) < sizeof out->interfaceName
                     ? 0
                     : fail(ENAMETOOLONG);
    }
    freeifaddrs(interfaces);
    return result;
}
