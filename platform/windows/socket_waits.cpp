// platform/windows/socket_waits.cpp: waiting until sockets can be read or written, with
// Winsock's select.
#include "platform/platform.h"

#include <winsock2.h>

#include <windows.h>

#include <algorithm>

#include "platform/primitives.h"
#include "platform/windows/internal.h"

static SOCKET toWinsock(SocketHandle socket) {
    return static_cast<SOCKET>(socket);
}

// select leaves the sockets' modes alone: a blocking socket (a TLS data connection) waits
// here as a non-blocking one does. The except set is left out: urgent data that nobody reads
// would keep it ready, and a wait in a loop would then never wait. An end or a reset shows as
// readable, and a send on a reset connection fails at once, so Winsock shows it as writable.
int waitForEither(SocketHandle socket, bool forWriting, SocketHandle watch,
                  int timeoutMilliseconds) {
    SOCKET handle = toWinsock(socket);
    long long deadline = monotonicMilliseconds() + timeoutMilliseconds;
    for (;;) {
        fd_set readable;
        fd_set writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_SET(handle, forWriting ? &writable : &readable);
        if (watch != kNoSocket) {
            FD_SET(toWinsock(watch), &readable);
        }
        // A negative time waits without limit, as poll's does; a wait cut short goes on with
        // what is left of the time.
        long long remaining =
            timeoutMilliseconds < 0 ? -1 : std::max(0LL, deadline - monotonicMilliseconds());
        struct timeval limit;
        int ready = select(0, &readable, &writable, nullptr, selectLimit(remaining, &limit));
        if (ready == 0) {
            return 0;
        }
        if (ready > 0) {
            return watch != kNoSocket && FD_ISSET(toWinsock(watch), &readable) ? 2 : 1;
        }
        if (WSAGetLastError() != WSAEINTR) {
            return failWithSocketError();
        }
    }
}

int waitAnyReadable(const SocketHandle* sockets, int count, int timeoutMilliseconds) {
    if (count <= 0 || count > FD_SETSIZE) {
        return failWithInvalidArgument();
    }
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        for (int i = 0; i < count; i++) {
            FD_SET(toWinsock(sockets[i]), &readable);
        }
        struct timeval limit;
        // The first argument is ignored by Winsock.
        int result =
            select(0, &readable, nullptr, nullptr, selectLimit(timeoutMilliseconds, &limit));
        for (int i = 0; result > 0 && i < count; i++) {
            if (FD_ISSET(toWinsock(sockets[i]), &readable)) {
                return i + 1;
            }
        }
        if (result != SOCKET_ERROR) {
            return 0;
        }
        if (WSAGetLastError() != WSAEINTR) {
            return failWithSocketError();
        }
        // An interrupted wait starts again with the full time, which keeps the bound finite.
    }
}
