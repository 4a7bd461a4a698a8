// app/firewall_advice.h: whether the firewall would keep the chassis out, judged from what the
// platform read of it, and the warning that tells the operator how to let it in.
#pragma once

#include <cstddef>

#include "platform/platform.h"

// Room for the warning: a few lines, two of them holding the program's path.
constexpr std::size_t kFirewallAdviceSize = 2 * kKeptPathSize + 2048;

// What the chassis needs the firewall to let in.
struct FirewallNeeds {
    const char* programPath;  // this program's executable, which the suggested rule names
    int controlPort;
    int passiveLow;  // the "-prange" ports; passiveLow is 0 where the system picks them
    int passiveHigh;
    int systemLow;  // where the system picks passive ports from; 0 and 0 when not known
    int systemHigh;
    bool tls;
};

// Writes the warning into out, lines ending in "\n": which profile may block the chassis and
// why, the command that allows it for those profiles only and the one that removes it again.
// facts is nullptr when the firewall could not be read. Returns the length written, 0 when
// there is nothing to say (the chassis gets in, or it cannot be told), or -1 when out is too
// small.
int composeFirewallAdvice(const FirewallFacts* facts, const FirewallNeeds* needs, char* out,
                          std::size_t outSize);
