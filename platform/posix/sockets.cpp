// platform/posix/sockets.cpp: IPv4 TCP sockets and the host's addresses on POSIX.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/internal.h"

// ---------------------------------------------------------------------------------------------
// Sockets.

const int kLargestBacklog = SOMAXCONN;

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
    int socketFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socketFd < 0) {
        (void)failWithErrno();
        return kNoSocket;
    }
    return socketFd;
}

int allowPortReuse(SocketHandle socket) {
    int on = 1;
    if (setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        return failWithErrno();
    }
    return 0;
}

int bindSocket(SocketHandle socket, unsigned short port) {
    struct sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(static_cast<int>(socket), reinterpret_cast<struct sockaddr*>(&address),
             sizeof address) != 0) {
        return failWithErrno();
    }
    return 0;
}

int listenSocket(SocketHandle socket, int backlog) {
    if (listen(static_cast<int>(socket), backlog) != 0) {
        return failWithErrno();
    }
    return 0;
}

bool isAddressInUseError() {
    return lastErrorNumber() == EADDRINUSE;
}

int socketLocalAddress(SocketHandle socket, Ipv4Address* out) {
    struct sockaddr_in address;
    socklen_t length = sizeof address;
    if (getsockname(static_cast<int>(socket), reinterpret_cast<struct sockaddr*>(&address),
                    &length) != 0) {
        return failWithErrno();
    }
    fromSocketAddress(&address, out);
    return 0;
}

int socketPeerAddress(SocketHandle socket, Ipv4Address* out) {
    struct sockaddr_in address;
    socklen_t length = sizeof address;
    if (getpeername(static_cast<int>(socket), reinterpret_cast<struct sockaddr*>(&address),
                    &length) != 0) {
        return failWithErrno();
    }
    fromSocketAddress(&address, out);
    return 0;
}

SocketHandle acceptConnection(SocketHandle listener, Ipv4Address* peer) {
    struct sockaddr_in address;
    socklen_t length = sizeof address;
    int connection;
    do {
        length = sizeof address;
        connection = accept4(static_cast<int>(listener),
                             reinterpret_cast<struct sockaddr*>(&address), &length, SOCK_CLOEXEC);
    } while (connection < 0 && errno == EINTR);
    if (connection < 0) {
        (void)failWithErrno();
        return kNoSocket;
    }
    if (peer != nullptr) {
        fromSocketAddress(&address, peer);
    }
    return connection;
}

AcceptFailure classifyAcceptFailure() {
    switch (lastErrorNumber()) {
        case EINTR:
        case ECONNABORTED:
        // A firewall rule that refuses the connection shows here; it costs that connection.
        case EPERM:
        case EPROTO:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
            return AcceptFailure::kRetry;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return AcceptFailure::kRetryAfterPause;
        default:
            return AcceptFailure::kFatal;
    }
}

int connectSocket(SocketHandle socket, const Ipv4Address* address) {
    struct sockaddr_in target;
    toSocketAddress(address, &target);
    int result = connect(static_cast<int>(socket), reinterpret_cast<struct sockaddr*>(&target),
                         sizeof target);
    if (result != 0 && errno == EINTR) {
        // The connection goes on in the background after EINTR; wait for its outcome.
        struct pollfd waiter = {static_cast<int>(socket), POLLOUT, 0};
        while (poll(&waiter, 1, -1) < 0 && errno == EINTR) {
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(static_cast<int>(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            return failWithErrno();
        }
        return error == 0 ? 0 : fail(error);
    }
    return result == 0 ? 0 : failWithErrno();
}

int sendBytes(SocketHandle socket, const char* data, std::size_t length) {
    std::size_t sent = 0;
    while (sent < length) {
        ssize_t result = send(static_cast<int>(socket), data + sent, length - sent, MSG_NOSIGNAL);
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail((errno == EAGAIN || errno == EWOULDBLOCK) ? ETIMEDOUT : errno);
        }
        sent += static_cast<std::size_t>(result);
    }
    return 0;
}

long long receiveBytes(SocketHandle socket, char* buffer, std::size_t size) {
    for (;;) {
        ssize_t result = recv(static_cast<int>(socket), buffer, size, 0);
        if (result >= 0) {
            return result;
        }
        if (errno != EINTR) {
            return fail((errno == EAGAIN || errno == EWOULDBLOCK) ? ETIMEDOUT : errno);
        }
    }
}

int waitReadable(SocketHandle socket, int timeoutMilliseconds) {
    struct pollfd waiter = {static_cast<int>(socket), POLLIN, 0};
    for (;;) {
        int result = poll(&waiter, 1, timeoutMilliseconds);
        if (result >= 0) {
            return result > 0 ? 1 : 0;
        }
        if (errno != EINTR) {
            return failWithErrno();
        }
        // A signal cut the wait short; waiting the full time again keeps the bound finite.
    }
}

int setSocketTimeout(SocketHandle socket, int milliseconds) {
    struct timeval limit;
    limit.tv_sec = milliseconds / 1000;
    limit.tv_usec = (milliseconds % 1000) * 1000;
    int fd = static_cast<int>(socket);
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) {
        return failWithErrno();
    }
    return 0;
}

int setNoDelay(SocketHandle socket) {
    int on = 1;
    if (setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
        return failWithErrno();
    }
    return 0;
}

void shutdownReceiving(SocketHandle socket) {
    if (socket != kNoSocket) {
        (void)shutdown(static_cast<int>(socket), SHUT_RD);  // fails harmlessly on a dead socket
    }
}

void closeSocket(SocketHandle socket) {
    if (socket != kNoSocket) {
        (void)close(static_cast<int>(socket));  // Linux frees the descriptor even on EINTR
    }
}

int queryLocalAddresses(Ipv4Address* out, int maxCount) {
    struct ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        return failWithErrno();
    }
    // Addresses an operator can give a chassis come first; loopback only when nothing else.
    int count = 0;
    for (int wantLoopback = 0; wantLoopback < 2 && count == 0; wantLoopback++) {
        for (struct ifaddrs* entry = interfaces; entry != nullptr && count < maxCount;
             entry = entry->ifa_next) {
            if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
                (entry->ifa_flags & IFF_UP) == 0) {
                continue;
            }
            bool isLoopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
            if (isLoopback != (wantLoopback == 1)) {
                continue;
            }
            const struct sockaddr_in* address =
                reinterpret_cast<const struct sockaddr_in*>(entry->ifa_addr);
            fromSocketAddress(address, &out[count]);
            count++;
        }
    }
    freeifaddrs(interfaces);
    if (count == 0) {
        return fail(EADDRNOTAVAIL);
    }
    return count;
}
