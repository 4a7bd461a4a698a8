// session/data_connection.h: PASV, PORT and the data connection of one transfer.
#pragma once

#include <cstddef>

#include "platform/platform.h"

struct FtpSession;
struct DataConnection;

// At most this many connections that were made before a PASV reply are discarded by it.
constexpr int kStaleConnectionLimit = 16;
// The passive listener's queue. Connections are taken off it as they arrive while a command is
// awaited, so another host has to fill it faster than the session empties it to keep the
// client's connection out.
constexpr int kPassiveBacklog = 16;
// PORT and EPRT refuse targets below this port.
constexpr unsigned short kLowestActivePort = 1024;

// Reads "h1,h2,h3,h4,p1,p2" as the C library's "%d,%d,%d,%d,%d,%d" would and keeps the low
// eight bits of each number; text after the sixth is ignored. Returns 0, or -1 when fewer
// than six numbers stand there.
int parsePortArgument(const char* argument, unsigned char numbers[6]);

// Formats the PASV reply for the given address and port into out.
int formatPassiveReply(char* out, std::size_t outSize, const NetworkAddress* address, int port);

// PASV: discards connections that are already waiting, announces our address and passive
// port, and switches the session to passive mode. An IPv6 client is told to use EPSV.
void enterPassiveMode(FtpSession* session);
// EPSV: as PASV, with the port alone in the reply ("229 ... (|||port|)"). "EPSV 1" (IPv4) or
// "EPSV 2" (IPv6), the control connection's family, is the same; "EPSV ALL" refuses PASV,
// PORT and EPRT from then on; other protocols get 522.
void enterExtendedPassiveMode(FtpSession* session, const char* argument);
// PORT: stores the client's target and switches the session to active mode. Refuses a target
// other than the control connection's peer, which would let any client make us connect to
// third parties, and a port below 1024. An IPv6 client is told to use EPRT.
void storePortTarget(FtpSession* session, const char* argument);
// Reads EPRT's "|1|a.b.c.d|port|" or "|2|IPv6 address|port|" (any printable delimiter) and
// its protocol number. Returns 0, -2 for a protocol other than 1 and 2, or -1 for anything
// malformed (*protocol then holds the number when it could be read, else 0).
int parseExtendedPortArgument(const char* argument, int* protocol, NetworkAddress* out);
// EPRT: as PORT, for a target of the control connection's family; the other family gets 522.
void storeExtendedPortTarget(FtpSession* session, const char* argument);

// True while the session has announced its passive listener, so that connections to it are
// taken as they arrive (takeArrivingDataConnection).
bool isAwaitingPassiveConnection(const FtpSession* session);
// Accepts one connection waiting on the passive listener. SECURITY: one from any host but the
// client's is closed at once, so another host cannot fill the listener's queue and keep the
// client's connection out; the client's first is kept for its next transfer, later ones closed.
void takeArrivingDataConnection(FtpSession* session);

// Opens the data connection of one transfer, after its "150" reply: passive or active, each
// within the session's data wait. Returns 0, or -1 with the transfer's final reply (425) in
// failureReply; kDataConnectionRefused, with its reply, when the server itself turned the
// connection away (no PORT or PASV came first, a TLS data connection did not resume the control
// connection's session), so the transfer counts as refused rather than cut off.
constexpr int kDataConnectionRefused = -2;
int connectForTransfer(FtpSession* session, DataConnection* data, char* failureReply,
                       std::size_t replySize);
