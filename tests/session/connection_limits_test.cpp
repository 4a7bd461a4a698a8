// tests/session/connection_limits_test.cpp: which addresses count as one client host, and
// the failed logins remembered for each under a flood of hosts.
#include "session/connection_limits.h"

#include <gtest/gtest.h>

#include <vector>

#include "app/settings.h"
#include "session/login_brake.h"

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

// A flood of hosts, more than the table holds, each failing once, pushes out one another
// rather than a host that has earned a wait: that host still waits afterwards.
TEST(JudgeLogin, AFloodOfHostsDoesNotWipeOutAWait) {
    forgetFailedLogins();
    NetworkAddress guesser;
    ASSERT_EQ(0, parseAddress("2001:db8::7", AddressFamily::kIpv6, &guesser));
    long long now = 1000000000;
    long long wait = 0;
    for (int i = 0; i < kFreeFailedLogins; i++) {
        EXPECT_EQ(LoginVerdict::kRefused, judgeLogin(&guesser, false, now, &wait));
    }
    NetworkAddress other = {AddressFamily::kIpv4, {10, 0, 0, 0}, 0, 0};
    for (int i = 0; i < 4 * kLoginRecordCount; i++) {
        other.bytes[2] = static_cast<unsigned char>(i >> 8);
        other.bytes[3] = static_cast<unsigned char>(i);
        ASSERT_NE(LoginVerdict::kAccepted, judgeLogin(&other, false, now, &wait));
    }
    EXPECT_EQ(LoginVerdict::kMustWait, judgeLogin(&guesser, true, now + 500, &wait));
    EXPECT_EQ(500, wait);
    forgetFailedLogins();
}
