// app/address_details.cpp: the interface and network the operator sees beside a listed address.
#include "app/address_details.h"

#include <cstdio>

int formatAddressDetails(const NetworkAddress* address, const LocalAddressDetails* details,
                         char* out, std::size_t outSize) {
    char network[kNetworkTextSize];
    if (formatNetwork(address, details->prefixLength, network, sizeof network) != 0) {
        return -1;
    }
    // SECURITY: an interface's name is the system's, yet anyone who may rename an adapter can
    // put an escape sequence in it; it must not act on the operator's terminal.
    char name[escapedTextSize(kInterfaceNameSize)];
    (void)escapeString(name, sizeof name, details->interfaceName);  // always fits
    // A link-local address is what a laptop takes on a direct cable with no DHCP server; the
    // chassis then needs an address of the same network too.
    const char* note = isLinkLocalAddress(address) ? ", link-local (a direct cable)" : "";
    int n = std::snprintf(out, outSize, "%s, %s%s", name, network, note);
    return n >= 0 && static_cast<std::size_t>(n) < outSize ? 0 : -1;
}
