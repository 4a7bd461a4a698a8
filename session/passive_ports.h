// session/passive_ports.h: which passive ports of a "-prange" range live sessions hold, so that
// the accept loop can give the next session a free one.
#pragma once

// One flag per port number (its low 16 bits, as the bind uses it), so a range of any width has
// each of its ports tracked on its own. The accept loop takes a session's port before its
// thread starts; the session releases its bound port at teardown. A stale read only moves the
// search to another port, so no lock is needed.
void takePassivePort(int port);
void releasePassivePort(int port);

// The passive port for the next session: the lowest port from low up to high - 1 whose flag
// is clear, else high itself (never tested); low whenever low is not below high (no range).
int nextPassivePort(int low, int high);
// The port after port in the range low to high, counted round from high to low, whose flag is
// clear: where a session goes whose port something else holds. -1 when there is none.
int nextFreePassivePortAfter(int port, int low, int high);
