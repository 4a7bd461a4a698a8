// session/connection_limits.h: how many sessions run, in all and from each client address. The
// accept loop asks before a session record or thread exists, so a host that opens connections
// without end costs the server one refused connection at a time.
#pragma once

#include "platform/platform.h"

// What an admitted connection holds until its session ends. Zero-filled, it holds nothing.
struct ConnectionTicket {
    bool held;
    int slot;  // its place in the table of client addresses; -1 when addresses are not counted
};

// What counts as one client host: an IPv4 address whole; an IPv6 one by its /64 prefix, since
// one host may take any number of addresses of its network's /64; but a link-local IPv6 address
// whole, with its zone, since there the /64 is the link and holds every host on it. Writes the
// address with everything else zero.
void clientNetworkOf(const NetworkAddress* peer, NetworkAddress* out);

enum class Admission { kAdmitted, kTooManySessions, kTooManyFromAddress };

// Counts a new connection from peer against "-maxsessions" and "-maxperaddress". Fills ticket
// and returns kAdmitted, or says which limit refuses it (ticket then holds nothing).
Admission admitConnection(const NetworkAddress* peer, ConnectionTicket* ticket);
// Gives back what ticket holds, if anything; at session teardown, or when no session came of it.
void releaseConnection(ConnectionTicket* ticket);
// True when another session from peer's client host runs besides ticket's, or when hosts are
// not counted and so that cannot be known.
bool isHostShared(const ConnectionTicket* ticket, const NetworkAddress* peer);
// Answers a refused connection with its 421 reply and closes it. The send is bounded, so a
// client that does not read holds up the accept loop for a moment at most.
void refuseConnection(SocketHandle connection, const NetworkAddress* peer, Admission admission);
