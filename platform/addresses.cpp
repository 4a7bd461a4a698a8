// platform/addresses.cpp: what both platforms compare and write of network addresses the same way.
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

bool isSameHost(const NetworkAddress* a, const NetworkAddress* b) {
    std::size_t length = a->family == AddressFamily::kIpv6 ? kAddressBytes : 4;
    // SECURITY: the whole address and, for a link-local one, its zone: the same bytes on
    // another interface are another host.
    return a->family == b->family && a->scope == b->scope &&
           std::memcmp(a->bytes, b->bytes, length) == 0;
}

static int addressBits(AddressFamily family) {
    return family == AddressFamily::kIpv6 ? 128 : 32;
}

int formatNetwork(const NetworkAddress* address, int prefixLength, char* out, std::size_t outSize) {
    if (prefixLength < 0 || prefixLength > addressBits(address->family)) {
        return -1;
    }
    NetworkAddress network = *address;
    for (int bit = prefixLength; bit < addressBits(address->family); bit++) {
        network.bytes[bit / 8] &= static_cast<unsigned char>(~(0x80u >> (bit % 8)));
    }
    network.scope = 0;  // the zone belongs to the address, not to the network's text
    char text[kNetworkAddressTextSize];
    if (formatAddress(&network, text, sizeof text) != 0) {
        return -1;
    }
    int n = std::snprintf(out, outSize, "%s/%d", text, prefixLength);
    return n >= 0 && static_cast<std::size_t>(n) < outSize ? 0 : -1;
}

bool isLinkLocalAddress(const NetworkAddress* address) {
    if (address->family == AddressFamily::kIpv6) {
        return address->bytes[0] == 0xfe && (address->bytes[1] & 0xc0) == 0x80;
    }
    return address->bytes[0] == 169 && address->bytes[1] == 254;
}
