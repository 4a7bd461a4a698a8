// platform/addresses.cpp: what both platforms compare of network addresses the same way.
#include <cstring>

#include "platform/platform.h"

bool isSameHost(const NetworkAddress* a, const NetworkAddress* b) {
    std::size_t length = a->family == AddressFamily::kIpv6 ? kAddressBytes : 4;
    // SECURITY: the whole address and, for a link-local one, its zone: the same bytes on
    // another interface are another host.
    return a->family == b->family && a->scope == b->scope &&
           std::memcmp(a->bytes, b->bytes, length) == 0;
}
