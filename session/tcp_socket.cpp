// session/tcp_socket.cpp: bound and listening TCP sockets.
#include "session/tcp_socket.h"

#include "platform/platform.h"
#include "session/operator_status.h"

// A socket bound to address (every interface of its family when its bytes are zero) and port:
// an IPv6 one on every interface takes IPv4 clients too. Returns kNoSocket with the error set
// when the family is missing (isFamilyUnavailableError) or the bind fails; *opened tells
// whether a socket could be made at all.
static SocketHandle bindListener(const NetworkAddress* address, unsigned short port, bool* opened) {
    SocketHandle socket = openTcpSocket(address->family);
    *opened = socket != kNoSocket;
    if (socket == kNoSocket) {
        return kNoSocket;
    }
    if (address->family == AddressFamily::kIpv6 && acceptBothFamilies(socket) != 0) {
        closeSocket(socket);
        return kNoSocket;
    }
    // Linux refuses a port that still has connections in TIME_WAIT, which Windows does not;
    // a restarted server or a reused passive port would fail here without it.
    if (port != 0) {
        (void)allowPortReuse(socket);  // without it the bind below may fail; that is reported
    }
    NetworkAddress local = *address;
    local.port = port;
    if (bindSocket(socket, &local) != 0) {
        closeSocket(socket);  // keeps the bind's error: a close that succeeds records none
        return kNoSocket;
    }
    return socket;
}

// The line of a port that could not be had, and on the next one why: taken, or not this
// user's to bind.
static void printPortFailure(const FtpSession* session, int port) {
    char reason[kErrorTextSize];
    lastErrorText(reason, sizeof reason);
    printSessionText(session, ConsoleStream::kOutput, "Could not open socket port %d\n", port);
    printSessionText(session, ConsoleStream::kOutput, "  Reason: %s\n", reason);
}

// An address of "-i" that cannot be listened on is the operator's mistake, not a taken port.
static void printAddressFailure(const NetworkAddress* address) {
    char reason[kErrorTextSize];
    lastErrorText(reason, sizeof reason);
    char shown[kNetworkAddressTextSize];
    if (formatAddress(address, shown, sizeof shown) != 0) {
        shown[0] = '\0';  // never: the room fits every address
    }
    printConsole(ConsoleStream::kOutput, "Error: Unable to listen on '%s': %s\n", shown, reason);
}

SocketHandle createTcpSocket(AddressFamily family, const NetworkAddress* local, int* port,
                             int backlog, const char* listenFailureText,
                             const FtpSession* session) {
    unsigned short requested = static_cast<unsigned short>(*port & 0xffff);
    NetworkAddress any = {family, {}, 0, 0};
    const NetworkAddress* address = local != nullptr ? local : &any;
    bool opened = false;
    SocketHandle socket = bindListener(address, requested, &opened);
    // A system without IPv6 (or with it turned off) serves IPv4 as it always can.
    if (socket == kNoSocket && local == nullptr && family == AddressFamily::kIpv6 &&
        isFamilyUnavailableError()) {
        any.family = AddressFamily::kIpv4;
        socket = bindListener(&any, requested, &opened);
    }
    if (socket == kNoSocket) {
        if (!opened) {
            printSessionError(session, "createTcpSocket():socket failed");
            return kSocketUnavailable;
        }
        if (local != nullptr && !isAddressInUseError() && !isPortPermissionError()) {
            printAddressFailure(local);
            return kSocketUnavailable;
        }
        printPortFailure(session, *port);
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
            printPortFailure(session, *port);
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
