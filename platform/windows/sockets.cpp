// platform/windows/sockets.cpp: TCP sockets over IPv4 and IPv6 with Winsock 2; their addresses
// and the calls alike on both platforms are in ../socket_calls.cpp, the host's own addresses in
// local_addresses.cpp, the waits in socket_waits.cpp.
#include "platform/platform.h"

#include <winsock2.h>

#include <windows.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "platform/primitives.h"
#include "platform/windows/internal.h"

// ---------------------------------------------------------------------------------------------
// Sockets.

const int kLargestBacklog = SOMAXCONN;

// Winsock's send and recv take an int length.
static constexpr std::size_t kLargestSocketTransfer = INT_MAX;

static SOCKET toWinsock(SocketHandle socket) {
    return static_cast<SOCKET>(socket);
}

int failWithUnsupportedFamily() {
    recordError(WSAEAFNOSUPPORT, ErrorSource::kSocket);
    return -1;
}

int failWithInvalidArgument() {
    recordError(WSAEINVAL, ErrorSource::kSocket);
    return -1;
}

SocketHandle openTcpSocket(AddressFamily family) {
    SOCKET created = socket(systemFamilyOf(family), SOCK_STREAM, 0);
    if (created == INVALID_SOCKET) {
        recordSocketError();
        return kNoSocket;
    }
    return static_cast<SocketHandle>(created);
}

bool isFamilyUnavailableError() {
    return lastError.source == ErrorSource::kSocket &&
           (lastError.number == WSAEAFNOSUPPORT || lastError.number == WSAEPFNOSUPPORT ||
            lastError.number == WSAEADDRNOTAVAIL || lastError.number == WSAEPROTONOSUPPORT);
}

int allowPortReuse(SocketHandle /*socket*/) {
    // On Windows SO_REUSEADDR would let another program bind the same port and take our
    // connections; a port in TIME_WAIT can be bound again without it.
    return 0;
}

bool isAddressInUseError() {
    return lastError.source == ErrorSource::kSocket && lastError.number == WSAEADDRINUSE;
}

bool isPortPermissionError() {
    return lastError.source == ErrorSource::kSocket && lastError.number == WSAEACCES;
}

void formatPortPermissionAdvice(char* out, std::size_t outSize) {
    // Windows lets every user bind port 21; WSAEACCES there means a port that the system keeps
    // for itself (Hyper-V and friends reserve ranges) or one held with exclusive use.
    std::snprintf(out, outSize,
                  "  Windows keeps it from this program: it may be reserved (see netsh interface\n"
                  "  ipv4 show excludedportrange protocol=tcp) or held by another program.\n");
}

SocketHandle acceptConnection(SocketHandle listener, NetworkAddress* peer) {
    struct sockaddr_storage address;
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
    if (peer != nullptr &&
        fromSocketAddress(reinterpret_cast<struct sockaddr*>(&address), peer) != 0) {
        (void)closesocket(connection);  // a family we never listen on
        return kNoSocket;
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
        // A peer of a family we cannot read: never on our listeners, and only that connection.
        case WSAEAFNOSUPPORT:
            return AcceptFailure::kRetry;
        case WSAEMFILE:
        case WSAENOBUFS:
            return AcceptFailure::kRetryAfterPause;
        default:
            return AcceptFailure::kFatal;
    }
}

int connectSocket(SocketHandle socket, const NetworkAddress* address) {
    struct sockaddr_storage target;
    int length = toSocketAddress(address, &target);
    if (connect(toWinsock(socket), reinterpret_cast<struct sockaddr*>(&target), length) != 0) {
        return failWithSocketError();
    }
    return 0;
}

// The time limit of a select; nullptr, no limit, for a negative time.
struct timeval* selectLimit(long long milliseconds, struct timeval* out) {
    if (milliseconds < 0) {
        return nullptr;
    }
    out->tv_sec = static_cast<long>(milliseconds / 1000);
    out->tv_usec = static_cast<long>((milliseconds % 1000) * 1000);
    return out;
}

// Winsock shows a connection under way as writable once it stands, and one that failed in the
// except set, not as writable: both end the wait, and SO_ERROR tells which.
static int awaitConnection(SOCKET handle, int timeoutMilliseconds, SocketHandle watch) {
    long long deadline = monotonicMilliseconds() + timeoutMilliseconds;
    fd_set failed;
    for (;;) {
        long long remaining = deadline - monotonicMilliseconds();
        if (remaining <= 0) {
            return failWithRuntimeError(ETIMEDOUT);
        }
        fd_set writable;
        fd_set readable;
        FD_ZERO(&writable);
        FD_SET(handle, &writable);
        FD_ZERO(&failed);
        FD_SET(handle, &failed);
        FD_ZERO(&readable);
        if (watch != kNoSocket) {
            FD_SET(toWinsock(watch), &readable);
        }
        struct timeval limit;
        int ready = select(0, &readable, &writable, &failed, selectLimit(remaining, &limit));
        if (ready > 0 && watch != kNoSocket && FD_ISSET(toWinsock(watch), &readable)) {
            return failWithRuntimeError(EINTR);  // kInterrupted: the caller looks at the watch
        }
        if (ready > 0) {
            break;
        }
        if (ready == SOCKET_ERROR && WSAGetLastError() != WSAEINTR) {
            return failWithSocketError();
        }
    }
    int error = 0;
    int size = sizeof error;
    if (getsockopt(handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0) {
        return failWithSocketError();
    }
    if (error == 0 && FD_ISSET(handle, &failed)) {
        error = WSAECONNREFUSED;  // failed, yet without a reason to read
    }
    if (error == 0) {
        return 0;
    }
    WSASetLastError(error);  // recorded as any socket error is: a system timeout as ETIMEDOUT
    return failWithSocketError();
}

int connectSocketWithin(SocketHandle socket, const NetworkAddress* address, int timeoutMilliseconds,
                        SocketHandle watch) {
    if (setNonBlocking(socket, true) != 0) {
        return -1;
    }
    struct sockaddr_storage target;
    int length = toSocketAddress(address, &target);
    // A connect that a watch cut short is still under way when it is called again: Winsock
    // then says WSAEALREADY (or WSAEINVAL, as older versions did), or WSAEISCONN once it stands.
    if (connect(toWinsock(socket), reinterpret_cast<struct sockaddr*>(&target), length) == 0 ||
        WSAGetLastError() == WSAEISCONN) {
        return 0;
    }
    // A non-blocking connect that has begun says WSAEWOULDBLOCK, where POSIX says EINPROGRESS.
    int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK && error != WSAEALREADY && error != WSAEINVAL) {
        return failWithSocketError();
    }
    return awaitConnection(toWinsock(socket), timeoutMilliseconds, watch);
}

int setNonBlocking(SocketHandle socket, bool nonBlocking) {
    u_long mode = nonBlocking ? 1 : 0;
    if (ioctlsocket(toWinsock(socket), FIONBIO, &mode) != 0) {
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

long long sendSomeBytes(SocketHandle socket, const char* data, std::size_t length) {
    int piece = static_cast<int>(length < kLargestSocketTransfer ? length : kLargestSocketTransfer);
    for (;;) {
        int result = send(toWinsock(socket), data, piece, 0);
        if (result != SOCKET_ERROR) {
            return result;
        }
        if (WSAGetLastError() != WSAEINTR) {
            return failWithSocketError();
        }
    }
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

// Winsock takes the time as a DWORD of milliseconds, of an int's size, not as a timeval.
int setTimeLimit(SocketHandle socket, bool forSending, int milliseconds) {
    int option = forSending ? SO_SNDTIMEO : SO_RCVTIMEO;
    return setSocketOption(socket, SOL_SOCKET, option, milliseconds > 0 ? milliseconds : 0);
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

// What discardReceivedBytes reads, and throws away, at most.
constexpr int kDiscardBufferSize = 512;
constexpr int kDiscardReadLimit = 64;

// Receives only what FIONREAD counts as waiting, so that it never waits, in either mode.
void discardReceivedBytes(SocketHandle socket) {
    SOCKET handle = toWinsock(socket);
    char discarded[kDiscardBufferSize];
    for (int reads = 0; reads < kDiscardReadLimit; reads++) {
        u_long pending = 0;
        if (ioctlsocket(handle, FIONREAD, &pending) != 0 || pending == 0 ||
            recv(handle, discarded, sizeof discarded, 0) <= 0) {
            return;
        }
    }
}

void closeSocketDelivered(SocketHandle socket, int seconds) {
    if (socket == kNoSocket) {
        return;
    }
    SOCKET handle = toWinsock(socket);
    // A blocking socket with a linger time sends the end of the stream and waits in
    // closesocket until the peer acknowledged what we sent. When the time runs out Winsock
    // resets the connection: that only meets a peer that stopped reading or died, so the time
    // is the transfer's own stall limit. A non-blocking socket with a linger time would fail
    // the close with WSAEWOULDBLOCK and stay open, so one that stays non-blocking gets no
    // linger time: it closes at once, its bytes going on in the background.
    if (setNonBlocking(socket, false) == 0) {
        LINGER linger;
        linger.l_onoff = 1;
        linger.l_linger = static_cast<u_short>(seconds > 65535 ? 65535 : seconds);
        (void)setsockopt(handle, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&linger),
                         sizeof linger);  // else: no wait
    }
    (void)closesocket(handle);  // the handle is gone whatever it reports
}
