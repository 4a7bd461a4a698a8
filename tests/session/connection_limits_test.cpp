// tests/session/connection_limits_test.cpp: which addresses count as one client host, and
// the failed logins remembered for each under a flood of hosts.
#include "session/connection_limits.h"

#include <gtest/gtest.h>

#include <vector>

#include "app/settings.h"
#include "session/login_brake.h"

TEST(AdmitConnection, CountsAnIpv6HostByItsSlash64AndALinkLocalOneWhole) {
    // Two sessions from each client host at most; the link's /64 holds every host on it.
    const struct {
        const char* address;
        unsigned scope;
        Admission expected;
    } cases[] = {{"2001:db8::1", 0, Admission::kAdmitted},
                 {"2001:db8::ffff:1", 0, Admission::kAdmitted},
                 {"2001:db8::2", 0, Admission::kTooManyFromAddress},
                 {"2001:db8:0:1::1", 0, Admission::kAdmitted},
                 {"fe80::1", 3, Admission::kAdmitted},
                 {"fe80::2", 3, Admission::kAdmitted},
                 {"fe80::1", 4, Admission::kAdmitted},
                 {"fe80::1", 3, Admission::kAdmitted},
                 {"fe80::1", 3, Admission::kTooManyFromAddress}};
    int savedLimit = serverSettings.maxPerAddress;
    serverSettings.maxPerAddress = 2;
    std::vector<ConnectionTicket> tickets(sizeof cases / sizeof cases[0]);
    for (std::size_t i = 0; i < tickets.size(); i++) {
        SCOPED_TRACE(i);
        NetworkAddress peer;
        ASSERT_EQ(0, parseAddress(cases[i].address, AddressFamily::kIpv6, &peer));
        peer.scope = cases[i].scope;
        EXPECT_EQ(cases[i].expected, admitConnection(&peer, &tickets[i]));
    }
    for (ConnectionTicket& ticket : tickets) {
        releaseConnection(&ticket);
    }
    serverSettings.maxPerAddress = savedLimit;
}

// A flood of hosts, more than the table holds, each failing once, pushes out no host that has
// earned a wait: that host still waits afterwards.
TEST(JudgeLogin, AFloodOfHostsDoesNotWipeOutAWait) {
    forgetFailedLogins();
    NetworkAddress guesser, other = {AddressFamily::kIpv4, {10, 0, 0, 0}, 0, 0};
    ASSERT_EQ(0, parseAddress("2001:db8::7", AddressFamily::kIpv6, &guesser));
    long long now = 1000000000, wait = 0;
    for (int i = 0; i < kFreeFailedLogins; i++) {
        EXPECT_EQ(LoginVerdict::kRefused, judgeLogin(&guesser, false, now, &wait));
    }
    // Once braked, every host that fails waits, and none is pushed out for a new one: however
    // many hosts guess, the table bounds the guesses judged.
    int judged = 0;
    for (int i = 0; i < 4 * kLoginRecordCount; i++) {
        other.bytes[2] = static_cast<unsigned char>(i >> 8);
        other.bytes[3] = static_cast<unsigned char>(i);
        judged += judgeLogin(&other, false, now, &wait) == LoginVerdict::kRefused ? 1 : 0;
    }
    EXPECT_LE(judged, kLoginRecordCount + kServerWideFailedLogins);
    EXPECT_EQ(LoginVerdict::kMustWait, judgeLogin(&guesser, true, now + 500, &wait));
    EXPECT_EQ(500, wait);
    other.bytes[1] = 1;  // a new host, with the right password, waits while the table is full
    EXPECT_EQ(LoginVerdict::kMustWait, judgeLogin(&other, true, now + 500, &wait));
    forgetFailedLogins();
}
