// tests/platform/firewall_text_test.cpp: a firewall rule's port list read into ranges.
#include "platform/firewall_text.h"

#include <gtest/gtest.h>

#include <string>

TEST(AddFirewallPorts, KeepsNumbersAndRangesAndPassesOverTheRest) {
    FirewallFacts facts = {};
    addFirewallPorts(&facts, "21, 50000-50100,RPC,70000,9-3,80-,Teredo", kFirewallPublic);
    ASSERT_EQ(2, facts.allowedPortCount);
    EXPECT_EQ(21u, facts.allowedPorts[0].low);
    EXPECT_EQ(21u, facts.allowedPorts[0].high);
    EXPECT_EQ(50000u, facts.allowedPorts[1].low);
    EXPECT_EQ(50100u, facts.allowedPorts[1].high);
    EXPECT_EQ(kFirewallPublic, facts.allowedPorts[1].profiles);
}

TEST(AddFirewallPorts, AnEmptyListOrAStarMeansEveryPort) {
    for (const char* every : {"", "*"}) {
        SCOPED_TRACE(every);
        FirewallFacts facts = {};
        addFirewallPorts(&facts, every, kFirewallPrivate);
        addFirewallPorts(&facts, every, kFirewallPrivate);  // kept once
        ASSERT_EQ(1, facts.allowedPortCount);
        EXPECT_EQ(1u, facts.allowedPorts[0].low);
        EXPECT_EQ(65535u, facts.allowedPorts[0].high);
    }
}

TEST(AddFirewallPorts, SaysWhenTheListIsCut) {
    FirewallFacts facts = {};
    for (int port = 1; port <= kFirewallPortRangeCount; port++) {
        addFirewallPorts(&facts, std::to_string(port).c_str(), kFirewallDomain);
    }
    EXPECT_FALSE(facts.isPortListCut);
    addFirewallPorts(&facts, "8021", kFirewallDomain);
    EXPECT_TRUE(facts.isPortListCut);
}
