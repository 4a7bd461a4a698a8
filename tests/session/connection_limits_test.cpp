// tests/session/connection_limits_test.cpp: which addresses count as one client host, and
// the failed logins remembered for each under a flood of hosts.
#include "session/connection_limits.h"

#include <gtest/gtest.h>

#include <vector>

#include "app/settings.h"
#include "session/login_brake.h"

TEST(AdmitConnection, CountsAnIpv6HostWholeAndByItsSlash64) {
    // Two sessions from one address at most, eight from one /64; a link-local /64 is its link.
    const struct {
        const char* address;
        unsigned scope;
        int tries;
        int admitted;
    } cases[] = {{"2001:db8::1", 0, 3, 2}, {"2001:db8::2", 0, 2, 2}, {"2001:db8::ffff:3", 0, 2, 2},
                 {"2001:db8::4", 0, 3, 2}, {"2001:db8::5", 0, 1, 0}, {"2001:db8:0:1::1", 0, 2, 2},
                 {"fe80::1", 3, 3, 2},     {"fe80::2", 3, 2, 2},     {"fe80::3", 3, 2, 2},
                 {"fe80::4", 3, 2, 2},     {"fe80::5", 3, 1, 0},     {"fe80::5", 4, 1, 1}};
    int savedLimit = serverSettings.maxPerAddress;
    serverSettings.maxPerAddress = 2;
    std::vector<ConnectionTicket> tickets;
    for (const auto& row : cases) {
        SCOPED_TRACE(row.address);
        NetworkAddress peer;
        ASSERT_EQ(0, parseAddress(row.address, AddressFamily::kIpv6, &peer));
        peer.scope = row.scope;
        int admitted = 0;
        for (int i = 0; i < row.tries; i++) {
            tickets.emplace_back();
            admitted += admitConnection(&peer, &tickets.back()) == Admission::kAdmitted ? 1 : 0;
        }
        EXPECT_EQ(row.admitted, admitted);
    }
    for (ConnectionTicket& ticket : tickets) {
        releaseConnection(&ticket);
    }
    serverSettings.maxPerAddress = savedLimit;
}

// One IPv6 host's failures make only its own address wait at first; its /64 waits once it
// has failed as often as several hosts may, and then every address in it waits.
TEST(JudgeLogin, BrakesAnIpv6AddressFirstAndItsSlash64Later) {
    forgetFailedLogins();
    const struct {
        const char* address;
        unsigned scope;
        int failures;   // wrong passwords sent first, each judged
        bool isSpread;  // each from an address of its own, as one host with a /64 may send them
        LoginVerdict right;
    } steps[] = {
        {"2001:db8::a", 0, kFreeFailedLogins, false, LoginVerdict::kMustWait},
        {"2001:db8::b", 0, 0, false, LoginVerdict::kAccepted},
        {"2001:db8::c", 0, kFreeFailedLogins * (kSharedNetworkFactor - 1), true,
         LoginVerdict::kMustWait},
        {"2001:db8::d", 0, 0, false, LoginVerdict::kMustWait},
        {"2001:db8:0:1::d", 0, 0, false, LoginVerdict::kAccepted},
        {"fe80::1", 3, kFreeFailedLogins * kSharedNetworkFactor, true, LoginVerdict::kMustWait},
        {"fe80::2", 3, 0, false, LoginVerdict::kMustWait},
        {"fe80::2", 4, 0, false, LoginVerdict::kAccepted}};
    long long now = 1000000000, wait = 0;
    int number = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.address);
        NetworkAddress peer;
        ASSERT_EQ(0, parseAddress(step.address, AddressFamily::kIpv6, &peer));
        peer.scope = step.scope;
        for (int i = 0; i < step.failures; i++, number++) {
            if (step.isSpread) {
                peer.bytes[13] = 0x5e;  // apart from the named addresses
                peer.bytes[14] = static_cast<unsigned char>(number >> 8);
                peer.bytes[15] = static_cast<unsigned char>(number);
            }
            EXPECT_EQ(LoginVerdict::kRefused, judgeLogin(&peer, false, now, &wait));
        }
        EXPECT_EQ(step.right, judgeLogin(&peer, true, now, &wait));
    }
    forgetFailedLogins();
}

// A flood of hosts, more than the table holds, each failing once, pushes out no host that has
// earned a wait: that host still waits afterwards.
TEST(JudgeLogin, AFloodOfHostsDoesNotWipeOutAWait) {
    forgetFailedLogins();
    NetworkAddress guesser, other = {AddressFamily::kIpv4, {10, 0, 0, 0}, 0, 0};
    ASSERT_EQ(0, parseAddress("192.0.2.7", AddressFamily::kIpv4, &guesser));
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
