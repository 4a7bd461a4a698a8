// platform/windows/sockets.cpp: IPv4 TCP sockets with Winsock 2, and the host's addresses.
#include "platform/platform.h"

#include <winsock2.h>

#include <windows.h>

#include <climits>
#include <cstring>

#include "platform/windows/internal.h"

// ---------------------------------------------------------------------------------------------
// Sockets.

const int kLargestBacklog = SOMAXCONN;

// Winsock's send and recv take an int length.
static constexpr std::size_t kLargestSocketTransfer = INT_MAX;

static SOCKET toWinsock(SocketHandle socket) {
    return static_cast<SOCKET>(socket);
}

static void toSocketAddress(const Ipv4Address* address, struct sockaddr_in* out) {
    std::memset(out, 0, sizeof *out);
    out->sin_family = AF_INET;
    out->sin_port = htons(address->port);
    std::memcpy(&out->sin_addr.s_addr, address->octets, 4);
}

static void fromSocketAddress(const struct sockaddr_in* address, Ipv4Address* out) {
    std::memcpy(out->octets, &address->sin_addr.s_addr, 4);
    out->port = ntohs(address->sin_port);
}

SocketHandle openTcpSocket() {
    SOCKET created = socket(AF_INET, SOCK_STREAM, 0);
    if (created == INVALID_SOCKET) {
        recordSocketError();
        return kNoSocket;
    }
    return static_cast<SocketHandle>(created);
}

int allowPortReuse(SocketHandle /*socket*/) {
    // On Windows SO_REUSEADDR would let another program bind the same port and take our
    // connections; a port in TIME_WAIT can be bound again without it.
    return 0;
}

int bindSocket(SocketHandle socket, unsigned short port) {
    struct sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(toWinsock(socket), reinterpret_cast<struct sockaddr*>(&address), sizeof address) !=
        0) {
        return failWithSocketError();
    }
    return 0;
}

int listenSocket(SocketHandle socket, int backlog) {
    if (listen(toWinsock(socket), backlog) != 0) {
        return failWithSocketError();
    }
    return 0;
}

bool isAddressInUseError() {
    return lastError.source == ErrorSource::kSocket && lastError.number == WSAEADDRINUSE;
}

int socketLocalAddress(SocketHandle socket, Ipv4Address* out) {
    struct sockaddr_in address;
    int length = sizeof address;
    if (getsockname(toWinsock(socket), reinterpret_cast<struct sockaddr*>(&address), &length) !=
        0) {
        return failWithSocketError();
    }
    fromSocketAddress(&address, out);
    return 0;
}

int socketPeerAddress(SocketHandle socket, Ipv4Address* out) {
    struct sockaddr_in address;
    int length = sizeof address;
    if (getpeername(toWinsock(socket), reinterpret_cast<struct sockaddr*>(&address), &length) !=
        0) {
        return failWithSocketError();
    }
    fromSocketAddress(&address, out);
    return 0;
}

SocketHandle acceptConnection(SocketHandle listener, Ipv4Address* peer) {
    struct sockaddr_in address;
    int length;
    SOCKET connection;
    do {
        length = sizeof address;
        connection =
            accept(toWinsock(listener), reinterpret_cast<struct sockaddr*>(&address), &length);
    } while (connection == INVALID_SOCKET && WSAGetLastError() == WSAEINTR);
    if (connection == INVALID_SOCKET) {
        recordSocketError();
        return kNoSocket;
    }
    if (peer != nullptr) {
        fromSocketAddress(&address, peer);
    }
    return static_cast<SocketHandle>(connection);
}

AcceptFailure classifyAcceptFailure() {
    if (lastError.source != ErrorSource::kSocket) {
        return AcceptFailure::kFatal;
    }
    switch (lastError.number) {
        case WSAEINTR:
        case WSAECONNRESET:
        case WSAECONNABORTED:
        // A client that resets its connection while it waits in the backlog can make accept
        // fail with this error (Wine reports it so); it costs that connection, not the server.
        case WSAENOTCONN:
        case WSAENETDOWN:
        case WSAENETUNREACH:
        case WSAENETRESET:
        case WSAEHOSTDOWN:
        case WSAEHOSTUNREACH:
            return AcceptFailure::kRetry;
        case WSAEMFILE:
        case WSAENOBUFS:
            return AcceptFailure::kRetryAfterPause;
        default:
            return AcceptFailure::kFatal;
    }
}

int connectSocket(SocketHandle socket, const Ipv4Address* address) {
    struct sockaddr_in target;
    toSocketAddress(address, &target);
    if (connect(toWinsock(socket), reinterpret_cast<struct sockaddr*>(&target), sizeof target) !=
        0) {
        return failWithSocketError();
    }
    return 0;
}

int sendBytes(SocketHandle socket, const char* data, std::size_t length) {
    std::size_t sent = 0;
    while (sent < length) {
        std::size_t rest = length - sent;
        int piece = static_cast<int>(rest < kLargestSocketTransfer ? rest : kLargestSocketTransfer);
        int result = send(toWinsock(socket), data + sent, piece, 0);
        if (result == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEINTR) {
                continue;
            }
            return failWithSocketError();
        }
        sent += static_cast<std::size_t>(result);
    }
    return 0;
}

long long receiveBytes(SocketHandle socket, char* buffer, std::size_t size) {
    int piece = static_cast<int>(size < kLargestSocketTransfer ? size : kLargestSocketTransfer);
    for (;;) {
        int result = recv(toWinsock(socket), buffer, piece, 0);
        if (result != SOCKET_ERROR) {
            return result;
        }
        if (WSAGetLastError() != WSAEINTR) {
            return failWithSocketError();
        }
    }
}

int waitReadable(SocketHandle socket, int timeoutMilliseconds) {
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(toWinsock(socket), &readable);
        struct timeval limit;
        limit.tv_sec = timeoutMilliseconds / 1000;
        limit.tv_usec = (timeoutMilliseconds % 1000) * 1000;
        // The first argument is ignored by Winsock; a negative timeout waits without limit.
        int result =
            select(0, &readable, nullptr, nullptr, timeoutMilliseconds < 0 ? nullptr : &limit);
        if (result != SOCKET_ERROR) {
            return result > 0 ? 1 : 0;
        }
        if (WSAGetLastError() != WSAEINTR) {
            return failWithSocketError();
        }
        // An interrupted wait starts again with the full time, which keeps the bound finite.
    }
}

int setSocketTimeout(SocketHandle socket, int milliseconds) {
    // Winsock takes the time as a DWORD of milliseconds, not as a timeval.
    DWORD limit = milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0;
    const char* value = reinterpret_cast<const char*>(&limit);
    if (setsockopt(toWinsock(socket), SOL_SOCKET, SO_RCVTIMEO, value, sizeof limit) != 0 ||
        setsockopt(toWinsock(socket), SOL_SOCKET, SO_SNDTIMEO, value, sizeof limit) != 0) {
        return failWithSocketError();
    }
    return 0;
}

int setNoDelay(SocketHandle socket) {
    BOOL on = TRUE;
    if (setsockopt(toWinsock(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                   sizeof on) != 0) {
        return failWithSocketError();
    }
    return 0;
}

void shutdownReceiving(SocketHandle socket) {
    if (socket != kNoSocket) {
        (void)shutdown(toWinsock(socket), SD_RECEIVE);  // fails harmlessly on a dead socket
    }
}

void closeSocket(SocketHandle socket) {
    if (socket != kNoSocket) {
        (void)closesocket(toWinsock(socket));  // the handle is gone whatever it reports
    }
}

static constexpr std::size_t kHostNameSize = 256;

int queryLocalAddresses(Ipv4Address* out, int maxCount) {
    // On Windows the host name's entry lists every configured IPv4 address, in the order the
    // system prefers, which is the list the operator expects.
    char hostName[kHostNameSize];
    if (gethostname(hostName, static_cast<int>(sizeof hostName)) != 0) {
        return failWithSocketError();
    }
    struct hostent* host = gethostbyname(hostName);
    if (host == nullptr) {
        return failWithSocketError();
    }
    if (host->h_addrtype != AF_INET || host->h_length != 4) {
        return 0;
    }
    int count = 0;
    while (count < maxCount && host->h_addr_list[count] != nullptr) {
        std::memcpy(out[count].octets, host->h_addr_list[count], 4);
        out[count].port = 0;
        count++;
    }
    return count;
}
