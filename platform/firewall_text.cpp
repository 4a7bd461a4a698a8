// platform/firewall_text.cpp: a firewall rule's port list read into port ranges.
#include "platform/firewall_text.h"

#include <cstring>

static constexpr unsigned kHighestPort = 65535;

// Reads the port number at the start of text. Returns the text after it, or nullptr when no
// number from 1 to 65535 stands there.
static const char* readPortNumber(const char* text, unsigned* port) {
    unsigned value = 0;
    const char* digit = text;
    while (*digit >= '0' && *digit <= '9') {
        value = value * 10 + static_cast<unsigned>(*digit - '0');
        if (value > kHighestPort) {
            return nullptr;
        }
        digit++;
    }
    if (digit == text || value == 0) {
        return nullptr;
    }
    *port = value;
    return digit;
}

static void keepRange(FirewallFacts* facts, unsigned low, unsigned high, unsigned profiles) {
    for (int i = 0; i < facts->allowedPortCount; i++) {
        const FirewallPortRange* kept = &facts->allowedPorts[i];
        if (kept->low == low && kept->high == high && kept->profiles == profiles) {
            return;
        }
    }
    if (facts->allowedPortCount == kFirewallPortRangeCount) {
        facts->isPortListCut = true;
        return;
    }
    facts->allowedPorts[facts->allowedPortCount++] = {low, high, profiles};
}

// One entry of the list, without its comma: "21", "50000-50100" or a keyword.
static void addEntry(FirewallFacts* facts, const char* entry, std::size_t length,
                     unsigned profiles) {
    const char* end = entry + length;
    while (entry < end && *entry == ' ') {
        entry++;
    }
    while (end > entry && end[-1] == ' ') {
        end--;
    }
    if (end - entry == 1 && *entry == '*') {
        keepRange(facts, 1, kHighestPort, profiles);
        return;
    }
    unsigned low = 0;
    const char* after = readPortNumber(entry, &low);
    if (after == nullptr) {
        return;
    }
    unsigned high = low;
    if (after < end && *after == '-') {
        after = readPortNumber(after + 1, &high);
    }
    if (after == end && low <= high) {
        keepRange(facts, low, high, profiles);
    }
}

void addFirewallPorts(FirewallFacts* facts, const char* localPorts, unsigned profiles) {
    if (localPorts[0] == '\0') {
        keepRange(facts, 1, kHighestPort, profiles);
        return;
    }
    const char* entry = localPorts;
    for (;;) {
        const char* comma = std::strchr(entry, ',');
        std::size_t length =
            comma != nullptr ? static_cast<std::size_t>(comma - entry) : std::strlen(entry);
        addEntry(facts, entry, length, profiles);
        if (comma == nullptr) {
            return;
        }
        entry = comma + 1;
    }
}
