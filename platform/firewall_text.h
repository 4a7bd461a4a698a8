// platform/firewall_text.h: a firewall rule's port list as text, the same on every platform,
// so that its reading is tested where the firewall itself is not there to ask.
#pragma once

#include "platform/platform.h"

// Adds the ports of a rule's local port list ("21,50000-50100", "*" or "" for every port) to
// facts->allowedPorts, for the given profiles. Entries that name no fixed port (the system's
// "RPC" or "Teredo", or numbers past 65535) are passed over: they never open ours. A range
// already kept is not kept twice; one that does not fit sets facts->isPortListCut.
void addFirewallPorts(FirewallFacts* facts, const char* localPorts, unsigned profiles);
