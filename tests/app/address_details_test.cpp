// tests/app/address_details_test.cpp: the interface and network shown beside a listed address.
#include "app/address_details.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(FormatAddressDetails, NamesTheInterfaceTheNetworkAndADirectCable) {
    struct {
        const char* address;
        int prefixLength;
        const char* interfaceName;
        const char* expected;  // nullptr: refused
    } const cases[] = {
        {"192.168.1.5", 24, "Ethernet 2", "Ethernet 2, 192.168.1.0/24"},
        {"10.1.2.3", 8, "eth0", "eth0, 10.0.0.0/8"},
        {"172.16.5.77", 20, "wlan0", "wlan0, 172.16.0.0/20"},
        {"169.254.7.2", 16, "Ethernet", "Ethernet, 169.254.0.0/16, link-local (a direct cable)"},
        {"2001:db8::1", 64, "eth0", "eth0, 2001:db8::/64"},
        {"fe80::1%1", 64, "eth0", "eth0, fe80::/64, link-local (a direct cable)"},
        {"192.168.1.5", 24, "evil\x1b]0;x\x07", "evil\\x1B]0;x\\x07, 192.168.1.0/24"},
        {"192.168.1.5", 33, "eth0", nullptr},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.address);
        SCOPED_TRACE(row.prefixLength);
        bool isIpv6 = std::strchr(row.address, ':') != nullptr;
        NetworkAddress address;
        ASSERT_EQ(0, parseAddress(row.address, isIpv6 ? AddressFamily::kIpv6 : AddressFamily::kIpv4,
                                  &address));
        LocalAddressDetails details;
        ASSERT_EQ(0,
                  copyText(details.interfaceName, sizeof details.interfaceName, row.interfaceName));
        details.prefixLength = row.prefixLength;
        char out[kAddressDetailsSize];
        int result = formatAddressDetails(&address, &details, out, sizeof out);
        EXPECT_EQ(row.expected == nullptr ? -1 : 0, result);
        if (row.expected != nullptr && result == 0) {
            EXPECT_STREQ(row.expected, out);
        }
    }
}
