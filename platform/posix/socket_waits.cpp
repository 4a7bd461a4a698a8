// platform/posix/socket_waits.cpp: waiting until sockets can be read or written, with poll.
#include "platform/platform.h"

#include <poll.h>

#include <cerrno>

#include "platform/posix/internal.h"
#include "platform/primitives.h"

int waitForEither(SocketHandle socket, bool forWriting, SocketHandle watch,
                  int timeoutMilliseconds) {
    struct pollfd waiters[2] = {
        {static_cast<int>(socket), static_cast<short>(forWriting ? POLLOUT : POLLIN), 0},
        {static_cast<int>(watch), POLLIN, 0}};
    nfds_t count = watch != kNoSocket ? 2 : 1;
    long long deadline = monotonicMilliseconds() + timeoutMilliseconds;
    for (;;) {
        int result = poll(waiters, count, timeoutMilliseconds);
        if (result == 0) {
            return 0;
        }
        if (result > 0) {
            return count == 2 && waiters[1].revents != 0 ? 2 : 1;
        }
        if (errno != EINTR) {
            return failWithErrno();
        }
        long long remaining = deadline - monotonicMilliseconds();
        timeoutMilliseconds = remaining > 0 ? static_cast<int>(remaining) : 0;
    }
}

int waitAnyReadable(const SocketHandle* sockets, int count, int timeoutMilliseconds) {
    constexpr int kMostWaited = 16;
    struct pollfd waiters[kMostWaited];
    if (count <= 0 || count > kMostWaited) {
        return failWithInvalidArgument();
    }
    for (int i = 0; i < count; i++) {
        waiters[i] = {static_cast<int>(sockets[i]), POLLIN, 0};
    }
    for (;;) {
        int result = poll(waiters, static_cast<nfds_t>(count), timeoutMilliseconds);
        for (int i = 0; result > 0 && i < count; i++) {
            if (waiters[i].revents != 0) {
                return i + 1;
            }
        }
        if (result >= 0) {
            return 0;
        }
        if (errno != EINTR) {
            return failWithErrno();
        }
        // A signal cut the wait short; waiting the full time again keeps the bound finite.
    }
}
