// session/tcp_socket.cpp: bound and listening IPv4 sockets.
#include "session/tcp_socket.h"

#include "platform/platform.h"

SocketHandle createTcpSocket(int* port, int backlog, const char* listenFailureText) {
    SocketHandle socket = openTcpSocket(AddressFamily::kIpv4);
    if (socket == kNoSocket) {
        printSystemError("createTcpSocket():socket failed");
        return kSocketUnavailable;
    }
    unsigned short requested = static_cast<unsigned short>(*port & 0xffff);
    // Linux refuses a port that still has connections in TIME_WAIT, which Windows does not;
    // a restarted server or a reused passive port would fail here without it.
    if (requested != 0) {
        (void)allowPortReuse(socket);  // without it the bind below may fail; that is reported
    }
    if (bindSocket(socket, AddressFamily::kIpv4, requested) != 0) {
        printConsole(ConsoleStream::kOutput, "Could not open socket port %d\n", *port);
        closeSocket(socket);
        return kNoSocket;
    }
    NetworkAddress bound;
    if (socketLocalAddress(socket, &bound) != 0) {
        printSystemError("Error: getsockname() failed");
        closeSocket(socket);
        return kSocketUnavailable;
    }
    if (listenSocket(socket, backlog) != 0) {
        // Linux checks only listening sockets for a taken port, so a taken port can show
        // here instead of at bind.
        if (isAddressInUseError()) {
            printConsole(ConsoleStream::kOutput, "Could not open socket port %d\n", *port);
            closeSocket(socket);
            return kNoSocket;
        }
        printSystemError(listenFailureText);
        closeSocket(socket);
        return kSocketUnavailable;
    }
    *port = bound.port;
    return socket;
}
