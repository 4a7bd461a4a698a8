// session/tcp_socket.h: the one way the server makes a listening TCP socket, for the control
// listener and for every session's passive listener.
#pragma once

#include "platform/platform.h"

struct FtpSession;

// A fatal failure for the caller: no socket could be made, or its address read, or listen
// failed for a reason other than a taken port. The console line is already printed.
constexpr SocketHandle kSocketUnavailable = -2;

// Makes a TCP socket listening on *port (its low 16 bits; 0 for any free port) at local, or,
// when local is nullptr, on every interface of family, and writes the port actually bound
// back into *port. An IPv6 socket on every interface takes IPv4 clients too, and is an IPv4
// one where the system has no IPv6. When the port is taken, or not this user's to bind
// (isPortPermissionError), it prints "Could not open socket port %d" with the requested
// value and the reason on the next line, and returns kNoSocket. A local address that cannot
// be listened on for another reason (none of this machine's) prints "Error: Unable to listen
// on '<address>': <reason>" and returns kSocketUnavailable; other failures print a perror
// line (listenFailureText for listen) and return kSocketUnavailable. A session's passive
// listener names its session (the control listener nullptr), so that its lines carry the
// session's time and client under "-status".
SocketHandle createTcpSocket(AddressFamily family, const NetworkAddress* local, int* port,
                             int backlog, const char* listenFailureText, const FtpSession* session);
