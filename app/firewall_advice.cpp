// app/firewall_advice.cpp: the firewall warning of the start-up text, decided on the facts
// platform/ read, so that the decision is the same, and tested, everywhere.
#include "app/firewall_advice.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/text.h"

// The name of the suggested rule, which the delete command gives again.
static const char kRuleName[] = "tarnLoader";

// The profiles in the order the warning names them.
static constexpr unsigned kProfiles[] = {kFirewallDomain, kFirewallPrivate, kFirewallPublic};
// Room for " localport=21,50000-50100" and for "domain,private,public".
static constexpr std::size_t kPortListSize = 48;
static constexpr std::size_t kProfileListSize = 32;

// Why one profile may keep the chassis out, the first that holds.
enum class Obstacle { kNone, kAllBlocked, kBlockingRule, kNoRule, kNoPassivePorts };

struct Writer {
    char* out;
    std::size_t size;
    std::size_t used;
    bool isCut;
};

[[gnu::format(printf, 2, 3)]] static void writeText(Writer* writer, const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    if (!writer->isCut &&
        appendFormatList(writer->out, writer->size, &writer->used, format, arguments) != 0) {
        writer->isCut = true;
    }
    va_end(arguments);
}

// True when the allowing rules of profile open every port from low to high. Ranges may
// overlap or touch, so the covered stretch grows until no range extends it.
static bool isCovered(const FirewallFacts* facts, unsigned profile, int low, int high) {
    long long next = low;
    bool isGrowing = true;
    while (next <= high && isGrowing) {
        isGrowing = false;
        for (int i = 0; i < facts->allowedPortCount; i++) {
            const FirewallPortRange* range = &facts->allowedPorts[i];
            long long rangeLow = range->low;
            long long rangeHigh = range->high;
            if ((range->profiles & profile) != 0 && rangeLow <= next && rangeHigh >= next) {
                next = rangeHigh + 1;
                isGrowing = true;
            }
        }
    }
    return next > high;
}

// The passive ports that must be open, as low and high; false when none need checking. In
// plain FTP the firewall's FTP filter reads the passive reply and opens the port the system
// picked; under TLS it cannot read it. A "-prange" range is the operator's own and is
// checked whole.
static bool neededPassivePorts(const FirewallNeeds* needs, int* low, int* high) {
    if (needs->passiveLow > 0) {
        *low = needs->passiveLow;
        *high = needs->passiveHigh > needs->passiveLow ? needs->passiveHigh : needs->passiveLow;
        return true;
    }
    *low = needs->systemLow;
    *high = needs->systemHigh;
    return needs->tls && needs->systemLow > 0;
}

// Whether no allowing rule lets the chassis in through profile: kNoRule, kNoPassivePorts or
// kNone. Ports a cut list may hold are not judged.
static Obstacle missingPorts(const FirewallFacts* facts, const FirewallNeeds* needs,
                             unsigned profile) {
    if ((facts->guardedProfiles & profile) == 0) {
        return Obstacle::kNone;
    }
    Obstacle missing = Obstacle::kNone;
    int low = 0;
    int high = 0;
    if (!isCovered(facts, profile, needs->controlPort, needs->controlPort)) {
        missing = Obstacle::kNoRule;
    } else if (neededPassivePorts(needs, &low, &high) && !isCovered(facts, profile, low, high)) {
        missing = Obstacle::kNoPassivePorts;
    }
    return facts->isPortListCut ? Obstacle::kNone : missing;
}

static Obstacle obstacleIn(const FirewallFacts* facts, const FirewallNeeds* needs,
                           unsigned profile) {
    if ((facts->enabledProfiles & profile) == 0) {
        return Obstacle::kNone;
    }
    if ((facts->closedProfiles & profile) != 0) {
        return Obstacle::kAllBlocked;
    }
    if ((facts->programBlockedProfiles & profile) != 0) {
        return Obstacle::kBlockingRule;
    }
    return missingPorts(facts, needs, profile);
}

static const char* profileName(unsigned profile) {
    return profile == kFirewallDomain    ? "Domain"
           : profile == kFirewallPrivate ? "Private"
                                         : "Public";
}

static void writeObstacle(Writer* writer, const FirewallFacts* facts, const FirewallNeeds* needs,
                          unsigned profile, Obstacle obstacle) {
    writeText(writer, "Warning: the Windows firewall (%s profile) may block the chassis: ",
              profileName(profile));
    char shown[escapedTextSize(kFirewallRuleNameSize)];
    int low = 0;
    int high = 0;
    switch (obstacle) {
        case Obstacle::kAllBlocked:
            writeText(writer,
                      "it blocks all incoming\n"
                      "  connections, allowed apps included.\n");
            break;
        case Obstacle::kBlockingRule:
            writeText(writer, "the rule \"%s\" blocks %s.\n",
                      escapeString(shown, sizeof shown, facts->blockingRuleName), kRuleName);
            break;
        case Obstacle::kNoRule:
            writeText(writer, "no rule lets %s in.\n", kRuleName);
            break;
        default:
            if (needs->passiveLow > 0) {
                (void)neededPassivePorts(needs, &low, &high);
                writeText(writer,
                          "a rule lets port %d in,\n"
                          "  but not the passive ports %d-%d.\n",
                          needs->controlPort, low, high);
            } else {
                writeText(writer,
                          "a rule lets port %d in,\n"
                          "  but under TLS it cannot see which "
                          "passive port each transfer uses.\n",
                          needs->controlPort);
            }
            break;
    }
}

// The rule that lets the program in through the given profiles only, and how to take it away.
static void writeAllowRule(Writer* writer, const FirewallNeeds* needs, unsigned profiles) {
    // Without "-prange" the system picks the passive ports, which no port list can name; a rule
    // for the program alone lets in whichever ports it listens on.
    char ports[kPortListSize] = "";
    int low = 0;
    int high = 0;
    if (needs->passiveLow > 0 && neededPassivePorts(needs, &low, &high)) {
        std::snprintf(ports, sizeof ports, " localport=%d,%d-%d", needs->controlPort, low,
                      high);  // always fits
    }
    char profileList[kProfileListSize] = "";
    const char* names[] = {"domain", "private", "public"};
    for (int i = 0; i < 3; i++) {
        if ((profiles & kProfiles[i]) != 0) {
            std::size_t used = std::strlen(profileList);
            std::snprintf(profileList + used, sizeof profileList - used, "%s%s",
                          used > 0 ? "," : "", names[i]);  // always fits
        }
    }
    char shown[escapedTextSize(kKeptPathSize)];
    bool isOne =
        profiles == kFirewallDomain || profiles == kFirewallPrivate || profiles == kFirewallPublic;
    writeText(writer, "  To allow it for %s only, in an administrator console:\n",
              isOne ? "this profile" : "these profiles");
    writeText(writer,
              "    netsh advfirewall firewall add rule name=\"%s\" dir=in action=allow "
              "program=\"%s\" protocol=TCP%s profile=%s\n",
              kRuleName, escapeString(shown, sizeof shown, needs->programPath), ports, profileList);
    writeText(writer, "  Remove it after the update with:\n");
    writeText(writer, "    netsh advfirewall firewall delete rule name=\"%s\"\n", kRuleName);
}

static void writeRemedies(Writer* writer, const FirewallNeeds* needs, unsigned warned,
                          unsigned closed, unsigned blockedByRule, unsigned lackingRule) {
    if (closed != 0) {
        writeText(
            writer,
            "  For the update, turn off \"Blocks all incoming connections\" for that network\n"
            "  in Windows Security, Firewall & network protection.\n");
    }
    if (blockedByRule != 0) {
        writeText(writer,
                  "  For the update, turn that rule off in wf.msc (Windows Defender Firewall with\n"
                  "  Advanced Security), Inbound Rules.\n");
    }
    if (lackingRule != 0) {
        writeAllowRule(writer, needs, lackingRule);
    }
    if ((warned & kFirewallPublic) != 0) {
        writeText(
            writer,
            "  A direct cable to the chassis shows as \"Unidentified network\", which Windows\n"
            "  puts in the Public profile.\n");
    }
}

int composeFirewallAdvice(const FirewallFacts* facts, const FirewallNeeds* needs, char* out,
                          std::size_t outSize) {
    if (facts == nullptr) {
        return 0;
    }
    Writer writer = {out, outSize, 0, false};
    if (outSize > 0) {
        out[0] = '\0';
    }
    unsigned warned = 0;
    unsigned closed = 0;
    unsigned blockedByRule = 0;
    unsigned lackingRule = 0;
    for (unsigned profile : kProfiles) {
        Obstacle obstacle = (facts->currentProfiles & profile) != 0
                                ? obstacleIn(facts, needs, profile)
                                : Obstacle::kNone;
        if (obstacle == Obstacle::kNone) {
            continue;
        }
        writeObstacle(&writer, facts, needs, profile, obstacle);
        warned |= profile;
        closed |= obstacle == Obstacle::kAllBlocked ? profile : 0;
        blockedByRule |= obstacle == Obstacle::kBlockingRule ? profile : 0;
        // A block outweighs every allowing rule; the rule is still needed once it is lifted.
        lackingRule |= missingPorts(facts, needs, profile) != Obstacle::kNone ? profile : 0;
    }
    if (warned != 0) {
        writeRemedies(&writer, needs, warned, closed, blockedByRule, lackingRule);
    }
    return writer.isCut ? -1 : static_cast<int>(writer.used);
}
