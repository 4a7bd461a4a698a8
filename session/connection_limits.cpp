// session/connection_limits.cpp: the count of sessions, lock-free, and the client hosts of the
// sessions that run, in a table under SharedLock::kConnectionLimits.
#include "session/connection_limits.h"

#include <atomic>
#include <cstring>

#include "app/settings.h"
#include "base/shared_locks.h"
#include "base/text.h"

// Only the accept loop adds to it; ending sessions only make room meanwhile.
static std::atomic<int> sessionCount{0};

struct AddressSlot {
    NetworkAddress address;
    bool used;
};
// Under SharedLock::kConnectionLimits. Every used slot lies below slotsInUse, and a new session
// takes the lowest free slot, so a look at the table costs as much as the sessions that run.
static AddressSlot addressSlots[kLargestSessionLimit];
static int slotsInUse = 0;

static void copyPrefix(const NetworkAddress* peer, std::size_t kept, NetworkAddress* out) {
    std::memset(out, 0, sizeof *out);
    out->family = peer->family;
    out->scope = isLinkLocalAddress(peer) ? peer->scope : 0;  // IPv4 addresses have none
    std::memcpy(out->bytes, peer->bytes, kept);
}

void clientAddressOf(const NetworkAddress* peer, NetworkAddress* out) {
    copyPrefix(peer, peer->family == AddressFamily::kIpv6 ? kAddressBytes : 4, out);
}

void clientNetworkOf(const NetworkAddress* peer, NetworkAddress* out) {
    copyPrefix(peer, peer->family == AddressFamily::kIpv6 ? kAddressBytes / 2 : 4, out);
}

static bool isInNetwork(const NetworkAddress* address, const NetworkAddress* network) {
    NetworkAddress prefix;
    clientNetworkOf(address, &prefix);
    return isSameHost(&prefix, network);
}

// Takes a slot for peer's address unless its sessions fill its share, or its network's
// sessions fill the network's. Returns the slot, or -1.
static int takeAddressSlot(const NetworkAddress* peer) {
    NetworkAddress client, network;
    clientAddressOf(peer, &client);
    clientNetworkOf(peer, &network);
    takeLock(SharedLock::kConnectionLimits);
    int count = 0, networkCount = 0;
    int freeSlot = slotsInUse;
    for (int i = 0; i < slotsInUse; i++) {
        if (!addressSlots[i].used) {
            if (freeSlot == slotsInUse) {
                freeSlot = i;  // the lowest
            }
        } else if (isInNetwork(&addressSlots[i].address, &network)) {
            networkCount++;
            count += isSameHost(&addressSlots[i].address, &client) ? 1 : 0;
        }
    }
    int networkLimit = peer->family == AddressFamily::kIpv6
                           ? serverSettings.maxPerAddress * kSharedNetworkFactor
                           : serverSettings.maxPerAddress;
    // SECURITY: never beyond the table; the session count keeps freeSlot inside it anyway.
    bool admitted = count < serverSettings.maxPerAddress && networkCount < networkLimit &&
                    freeSlot < kLargestSessionLimit;
    if (admitted) {
        addressSlots[freeSlot].address = client;
        addressSlots[freeSlot].used = true;
        if (freeSlot == slotsInUse) {
            slotsInUse++;
        }
    }
    releaseLock(SharedLock::kConnectionLimits);
    return admitted ? freeSlot : -1;
}

static void releaseAddressSlot(int slot) {
    takeLock(SharedLock::kConnectionLimits);
    addressSlots[slot].used = false;
    while (slotsInUse > 0 && !addressSlots[slotsInUse - 1].used) {
        slotsInUse--;
    }
    releaseLock(SharedLock::kConnectionLimits);
}

Admission admitConnection(const NetworkAddress* peer, ConnectionTicket* ticket) {
    ticket->held = false;
    ticket->slot = -1;
    if (sessionCount.load() >= serverSettings.maxSessions) {
        return Admission::kTooManySessions;
    }
    if (serverSettings.maxPerAddress > 0) {
        ticket->slot = takeAddressSlot(peer);
        if (ticket->slot < 0) {
            return Admission::kTooManyFromAddress;
        }
    }
    sessionCount.fetch_add(1);
    ticket->held = true;
    return Admission::kAdmitted;
}

void releaseConnection(ConnectionTicket* ticket) {
    if (!ticket->held) {
        return;
    }
    if (ticket->slot >= 0) {
        releaseAddressSlot(ticket->slot);
    }
    sessionCount.fetch_sub(1);
    ticket->held = false;
}

bool isHostShared(const ConnectionTicket* ticket, const NetworkAddress* peer) {
    if (ticket->slot < 0) {
        return true;
    }
    NetworkAddress client;
    clientAddressOf(peer, &client);
    bool isShared = false;
    takeLock(SharedLock::kConnectionLimits);
    for (int i = 0; i < slotsInUse && !isShared; i++) {
        isShared = i != ticket->slot && addressSlots[i].used &&
                   isSameHost(&addressSlots[i].address, &client);
    }
    releaseLock(SharedLock::kConnectionLimits);
    return isShared;
}
