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

// An IPv6 network's hosts share its /64 (a link-local one's is the link, named by its zone), and
// one host may take any number of its addresses. So an IPv6 client counts twice: by its whole
// address, against the limit for one address, and by its /64, against this many times that
// limit, so that one host with many addresses holds a few hosts' share and no more.
constexpr int kSharedNetworkFactor = 4;

// The client's address as counted alone: the whole address, with its zone when link-local.
// Everything else zero.
void clientAddressOf(const NetworkAddress* peer, NetworkAddress* out);
// The network the client shares with its neighbours: an IPv4 address whole, an IPv6 one's /64
// prefix, with its zone when link-local. Everything else zero.
void clientNetworkOf(const NetworkAddress* peer, NetworkAddress* out);

enum class Admission { kAdmitted, kTooManySessions, kTooManyFromAddress };

// Counts a new connection from peer against "-maxsessions" and "-maxperaddress". Fills ticket
// and returns kAdmitted, or says which limit refuses it (ticket then holds nothing).
Admission admitConnection(const NetworkAddress* peer, ConnectionTicket* ticket);
// Gives back what ticket holds, if anything; at session teardown, or when no session came of it.
void releaseConnection(ConnectionTicket* ticket);
// True when another session from peer's address runs besides ticket's, or when addresses are
// not counted and so that cannot be known.
bool isHostShared(const ConnectionTicket* ticket, const NetworkAddress* peer);
