// app/address_details.h: what the operator is told of a listed address besides its text: the
// interface that holds it and its network.
#pragma once

#include <cstddef>

#include "base/text.h"
#include "platform/platform.h"

// Room for the escaped interface name, the network and the link-local note.
constexpr std::size_t kAddressDetailsSize =
    escapedTextSize(kInterfaceNameSize) + kNetworkTextSize + 64;

// Writes "<interface>, <network>", and ", link-local (a direct cable)" for a link-local
// address: "Ethernet 2, 192.168.1.0/24". The interface's name is escaped for the console.
// Returns 0, or -1 when the prefix length does not fit the family or out is too small.
int formatAddressDetails(const NetworkAddress* address, const LocalAddressDetails* details,
                         char* out, std::size_t outSize);
