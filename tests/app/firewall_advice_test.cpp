// tests/app/firewall_advice_test.cpp: whether the firewall warning is given, and what it says.
#include "app/firewall_advice.h"

#include <gtest/gtest.h>

#include <string>

#include "base/text.h"
#include "platform/firewall_text.h"

namespace {

// A firewall on for the Public profile only, turning away what no rule allows.
FirewallFacts publicFirewall() {
    FirewallFacts facts = {};
    facts.currentProfiles = kFirewallPublic;
    facts.enabledProfiles = kFirewallPublic;
    facts.guardedProfiles = kFirewallPublic;
    return facts;
}

std::string advise(const FirewallFacts* facts, int passiveLow, int passiveHigh, bool tls) {
    FirewallNeeds needs = {
        "C:\\fw\\tarnLoader.exe", 21, passiveLow, passiveHigh, 49152, 65535, tls};
    char out[kFirewallAdviceSize];
    int length = composeFirewallAdvice(facts, &needs, out, sizeof out);
    EXPECT_GE(length, 0);
    return length > 0 ? std::string(out, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace

TEST(ComposeFirewallAdvice, SaysNothingWhereTheChassisGetsInOrNobodyCanTell) {
    struct Row {
        const char* name;
        const char* ports;  // an allowing rule's port list, or nullptr for none
        unsigned enabled;
        bool isCut;
        bool isKnown;
        int passiveLow;
        int passiveHigh;
        bool tls;
    };
    const Row rows[] = {
        {"firewall off", nullptr, 0, false, true, 0, 0, false},
        {"unknown", nullptr, kFirewallPublic, false, false, 0, 0, false},
        {"program rule", "*", kFirewallPublic, false, true, 50000, 50100, true},
        {"port rule with range", "21,50000-50050,50051-50100", kFirewallPublic, false, true, 50000,
         50100, false},
        {"plain FTP without range", "21", kFirewallPublic, false, true, 0, 0, false},
        {"rules past the list", nullptr, kFirewallPublic, true, true, 0, 0, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FirewallFacts facts = publicFirewall();
        facts.enabledProfiles = row.enabled;
        facts.isPortListCut = row.isCut;
        if (row.ports != nullptr) {
            addFirewallPorts(&facts, row.ports, kFirewallPublic);
        }
        EXPECT_EQ("",
                  advise(row.isKnown ? &facts : nullptr, row.passiveLow, row.passiveHigh, row.tls));
    }
}

TEST(ComposeFirewallAdvice, WithoutARuleGivesTheCommandForThatProfileOnly) {
    FirewallFacts facts = publicFirewall();
    addFirewallPorts(&facts, "21", kFirewallPrivate);  // another profile's rule does not count
    std::string advice = advise(&facts, 50000, 50100, false);
    EXPECT_NE(std::string::npos, advice.find("(Public profile)"));
    EXPECT_NE(std::string::npos, advice.find("no rule lets tarnLoader in"));
    EXPECT_NE(std::string::npos, advice.find("program=\"C:\\fw\\tarnLoader.exe\" protocol=TCP "
                                             "localport=21,50000-50100 profile=public\n"));
    EXPECT_NE(std::string::npos, advice.find("delete rule name=\"tarnLoader\"\n"));
    EXPECT_NE(std::string::npos, advice.find("Unidentified network"));
}

TEST(ComposeFirewallAdvice, WarnsOfPassivePortsAPortRuleLeavesOut) {
    FirewallFacts facts = publicFirewall();
    addFirewallPorts(&facts, "21,50000-50099", kFirewallPublic);
    EXPECT_NE(std::string::npos, advise(&facts, 50000, 50100, false).find("passive ports"));
    // Under TLS the firewall cannot see the passive port, so the rule for the program is given.
    std::string advice = advise(&facts, 0, 0, true);
    EXPECT_NE(std::string::npos, advice.find("under TLS"));
    EXPECT_NE(std::string::npos, advice.find("protocol=TCP profile=public\n"));
}

TEST(ComposeFirewallAdvice, ABlockOutweighsEveryAllowingRule) {
    FirewallFacts closed = publicFirewall();
    closed.closedProfiles = kFirewallPublic;
    addFirewallPorts(&closed, "*", kFirewallPublic);
    std::string advice = advise(&closed, 0, 0, false);
    EXPECT_NE(std::string::npos, advice.find("it blocks all incoming"));
    EXPECT_EQ(std::string::npos, advice.find("netsh"));  // the rule is there already

    FirewallFacts blocked = publicFirewall();
    blocked.currentProfiles |= kFirewallPrivate;  // a profile with the firewall off
    blocked.programBlockedProfiles = kFirewallPublic;
    copyText(blocked.blockingRuleName, sizeof blocked.blockingRuleName, "tarnloader.exe");
    advice = advise(&blocked, 0, 0, false);
    EXPECT_NE(std::string::npos, advice.find("the rule \"tarnloader.exe\" blocks tarnLoader"));
    EXPECT_NE(std::string::npos, advice.find("profile=public\n"));
    EXPECT_EQ(std::string::npos, advice.find("Private"));
}
