// tests/session/connection_limits_test.cpp: which addresses count as one client host.
#include "session/connection_limits.h"

#include <gtest/gtest.h>

#include <vector>

#include "app/settings.h"

TEST(AdmitConnection, CountsAnIpv6HostByItsSlash64AndALinkLocalOneWhole) {
    struct Case {
        const char* address;
        unsigned scope;
        Admission expected;
    };
    // Two sessions from each client host at most.
    const Case cases[] = {
        {"2001:db8::1", 0, Admission::kAdmitted},
        {"2001:db8::ffff:1", 0, Admission::kAdmitted},
        {"2001:db8::2", 0, Admission::kTooManyFromAddress},  // the same /64
        {"2001:db8:0:1::1", 0, Admission::kAdmitted},        // the next /64
        {"fe80::1", 3, Admission::kAdmitted},
        {"fe80::1", 3, Admission::kAdmitted},
        {"fe80::2", 3, Admission::kAdmitted},  // the link's /64 holds every host on it
        {"fe80::1", 4, Admission::kAdmitted},  // another link
        {"fe80::1", 3, Admission::kTooManyFromAddress},
    };
    int savedLimit = serverSettings.maxPerAddress;
    serverSettings.maxPerAddress = 2;
    std::vector<ConnectionTicket> tickets;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        NetworkAddress peer;
        ASSERT_EQ(0, parseAddress(c.address, AddressFamily::kIpv6, &peer));
        peer.scope = c.scope;
        peer.port = static_cast<unsigned short>(40000 + tickets.size());
        ConnectionTicket ticket;
        EXPECT_EQ(c.expected, admitConnection(&peer, &ticket));
        tickets.push_back(ticket);
    }
    for (ConnectionTicket& ticket : tickets) {
        releaseConnection(&ticket);
    }
    serverSettings.maxPerAddress = savedLimit;
}
