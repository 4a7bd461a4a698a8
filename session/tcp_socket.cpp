// session/tcp_socket.cpp: bound and listening TCP sockets.
#include "session/tcp_socket.h"

#include "platform/platform.h"
#include "session/operator_status.h"

// A socket of family bound to port on every interface: an IPv6 one takes IPv4 clients too.
// Returns kNoSocket with the error set when the family is missing (isFamilyUnavailableError)
// or the bind fails; *opened tells whether a socket could be made at all.
static SocketHandle bindListener(AddressFamily family, unsigned short port, bool* opened) {
    SocketHandle socket = openTcpSocket(family);
    *opened = socket != kNoSocket;
    if (socket == kNoSocket) {
        return kNoSocket;
    }
    if (family == AddressFamily::kIpv6 && acceptBothFamilies(socket) != 0) {
        closeSocket(socket);
        return kNoSocket;
    }
    // Linux refuses a port that still has connections in TIME_WAIT, which Windows does not;
    // a restarted server or a reused passive port would fail here without it.
    if (port != 0) {
        (void)allowPortReuse(socket);  // without it the bind below may fail; that is reported
    }
    if (bindSocket(socket, family, port) != 0) {
        closeSocket(socket);
        return kNoSocket;
    }
    return socket;
}

SocketHandle createTcpSocket(AddressFamily family, int* port, int backlog,
                             const char* listenFailureText, const FtpSession* session) {
    unsigned short requested = static_cast<unsigned short>(*port & 0xffff);
    bool opened = false;
    SocketHandle socket = bindListener(family, requested, &opened);
    // A system without IPv6 (or with it turned off) serves IPv4 as it always can.
    if (socket == kNoSocket && family == AddressFamily::kIpv6 && isFamilyUnavailableError()) {
        socket = bindListener(AddressFamily::kIpv4, requested, &opened);
    }
    if (socket == kNoSocket) {
        if (!opened) {
            printSessionError(session, "createTcpSocket():socket failed");
            return kSocketUnavailable;
        }
        printSessionText(session, ConsoleStream::kOutput, "Could not open socket port %d\n", *port);
        return kNoSocket;
    }
    NetworkAddress bound;
    if (socketLocalAddress(socket, &bound) != 0) {
        printSessionError(session, "Error: getsockname() failed");
        closeSocket(socket);
        return kSocketUnavailable;
    }
    if (listenSocket(socket, backlog) != 0) {
        // Linux checks only listening sockets for a taken port, so a taken port can show
        // here instead of at bind.
        if (isAddressInUseError()) {
            printSessionText(session, ConsoleStream::kOutput, "Could not open socket port %d\n",
                             *port);
            closeSocket(socket);
            return kNoSocket;
        }
        printSessionError(session, listenFailureText);
        closeSocket(socket);
        return kSocketUnavailable;
    }
    *port = bound.port;
    return socket;
}
