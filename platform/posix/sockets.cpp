// platform/posix/sockets.cpp: TCP sockets over IPv4 and IPv6 on POSIX; their addresses and the
// calls alike on both platforms are in ../socket_calls.cpp, the host's own addresses in
// local_addresses.cpp, the waits in socket_waits.cpp.
#include "platform/platform.h"

#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/posix/internal.h"
#include "platform/primitives.h"

// ---------------------------------------------------------------------------------------------
// Sockets.

const int kLargestBacklog = SOMAXCONN;

int failWithSocketError() {
    return failWithErrno();
}

int failWithUnsupportedFamily() {
    return fail(EAFNOSUPPORT);
}

int failWithInvalidArgument() {
    return fail(EINVAL);
}

SocketHandle openTcpSocket(AddressFamily family) {
    int socketFd = socket(systemFamilyOf(family), SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socketFd < 0) {
        (void)failWithErrno();
        return kNoSocket;
    }
    return socketFd;
}

bool isFamilyUnavailableError() {
    int error = lastRuntimeError();
    return error == EAFNOSUPPORT || error == EPFNOSUPPORT || error == EADDRNOTAVAIL ||
           error == EPROTONOSUPPORT;
}

int allowPortReuse(SocketHandle socket) {
    return setSocketOption(socket, SOL_SOCKET, SO_REUSEADDR, 1);
}

bool isAddressInUseError() {
    return lastRuntimeError() == EADDRINUSE;
}

bool isPortPermissionError() {
    return lastRuntimeError() == EACCES || lastRuntimeError() == EPERM;
}

void formatPortPermissionAdvice(char* out, std::size_t outSize) {
    char program[4096];
    if (ownProgramPath(program, sizeof program) != 0) {
        std::snprintf(program, sizeof program, "tarnLoader");
    }
    // Ports below 1024 need root or the capability; the capability stays with the file, so
    // the operator grants it once instead of running the whole server as root.
    std::snprintf(out, outSize,
                  "  To use it, run tarnLoader as root, or let this program open it once with:\n"
                  "    sudo setcap cap_net_bind_service=+ep '%s'\n",
                  program);
}

SocketHandle acceptConnection(SocketHandle listener, NetworkAddress* peer) {
    struct sockaddr_storage address;
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
    if (peer != nullptr &&
        fromSocketAddress(reinterpret_cast<struct sockaddr*>(&address), peer) != 0) {
        (void)close(connection);  // a family we never listen on
        return kNoSocket;
    }
    return connection;
}

AcceptFailure classifyAcceptFailure() {
    switch (lastRuntimeError()) {
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
        // A peer of a family we cannot read: never on our listeners, and only that connection.
        case EAFNOSUPPORT:
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

int connectSocket(SocketHandle socket, const NetworkAddress* address) {
    struct sockaddr_storage target;
    socklen_t targetLength = toSocketAddress(address, &target);
    int result = connect(static_cast<int>(socket), reinterpret_cast<struct sockaddr*>(&target),
                         targetLength);
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

int connectSocketWithin(SocketHandle socket, const NetworkAddress* address, int timeoutMilliseconds,
                        SocketHandle watch) {
    int fd = static_cast<int>(socket);
    if (setNonBlocking(socket, true) != 0) {
        return -1;
    }
    struct sockaddr_storage target;
    socklen_t targetLength = toSocketAddress(address, &target);
    // A connect that a watch cut short is still under way when it is called again.
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&target), targetLength) == 0 ||
        errno == EISCONN) {
        return 0;
    }
    if (errno != EINPROGRESS && errno != EINTR && errno != EALREADY) {
        return failWithErrno();
    }
    long long deadline = monotonicMilliseconds() + timeoutMilliseconds;
    int ready = 0;
    do {
        long long remaining = deadline - monotonicMilliseconds();
        if (remaining <= 0) {
            return fail(ETIMEDOUT);
        }
        ready = waitForEither(socket, true, watch, static_cast<int>(remaining));
    } while (ready == 0);
    if (ready == 2) {
        return fail(EINTR);  // kInterrupted: the caller looks at the watch
    }
    if (ready < 0) {
        return -1;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return failWithErrno();
    }
    return error == 0 ? 0 : fail(error);
}

int setNonBlocking(SocketHandle socket, bool nonBlocking) {
    int on = nonBlocking ? 1 : 0;
    if (ioctl(static_cast<int>(socket), FIONBIO, &on) != 0) {
        return failWithErrno();
    }
    return 0;
}

int failWithoutWaiting(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return fail(flags >= 0 && (flags & O_NONBLOCK) != 0 ? EWOULDBLOCK : ETIMEDOUT);
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

long long sendSomeBytes(SocketHandle socket, const char* data, std::size_t length) {
    for (;;) {
        ssize_t result = send(static_cast<int>(socket), data, length, MSG_NOSIGNAL);
        if (result >= 0) {
            return result;
        }
        if (errno != EINTR) {
            return errno == EAGAIN || errno == EWOULDBLOCK
                       ? failWithoutWaiting(static_cast<int>(socket))
                       : failWithErrno();
        }
    }
}

long long receiveBytes(SocketHandle socket, char* buffer, std::size_t size) {
    for (;;) {
        ssize_t result = recv(static_cast<int>(socket), buffer, size, 0);
        if (result >= 0) {
            return result;
        }
        if (errno != EINTR) {
            return errno == EAGAIN || errno == EWOULDBLOCK
                       ? failWithoutWaiting(static_cast<int>(socket))
                       : failWithErrno();
        }
    }
}

int setTimeLimit(SocketHandle socket, bool forSending, int milliseconds) {
    int option = forSending ? SO_SNDTIMEO : SO_RCVTIMEO;
    struct timeval limit;
    limit.tv_sec = milliseconds / 1000;
    limit.tv_usec = (milliseconds % 1000) * 1000;
    if (setsockopt(static_cast<int>(socket), SOL_SOCKET, option, &limit, sizeof limit) != 0) {
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

// What discardReceivedBytes reads, and throws away, at most.
constexpr std::size_t kDiscardBufferSize = 512;
constexpr int kDiscardReadLimit = 64;

void discardReceivedBytes(SocketHandle socket) {
    int fd = static_cast<int>(socket);
    char discarded[kDiscardBufferSize];
    for (int reads = 0; reads < kDiscardReadLimit; reads++) {
        if (recv(fd, discarded, sizeof discarded, MSG_DONTWAIT) <= 0) {
            return;
        }
    }
}

void closeSocketDelivered(SocketHandle socket, int seconds) {
    if (socket == kNoSocket) {
        return;
    }
    int fd = static_cast<int>(socket);
    // With a linger time, Linux's close sends the end of the stream and waits until the peer
    // acknowledged it; when the time runs out it goes on closing in the background, without
    // a reset.
    struct linger linger;
    linger.l_onoff = 1;
    linger.l_linger = seconds;
    (void)setsockopt(fd, SOL_SOCKET, SO_LINGER, &linger, sizeof linger);  // else: no wait
    (void)close(fd);  // Linux frees the descriptor even on EINTR
}
