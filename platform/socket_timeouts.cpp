// platform/socket_timeouts.cpp: a socket's time limits, set the same way on both platforms over
// the one option each platform sets in its own units.
#include "platform/platform.h"

#include "platform/primitives.h"

int setSocketTimeout(SocketHandle socket, int milliseconds) {
    return setTimeLimit(socket, false, milliseconds) == 0 &&
                   setTimeLimit(socket, true, milliseconds) == 0
               ? 0
               : -1;
}

int setSendTimeout(SocketHandle socket, int milliseconds) {
    return setTimeLimit(socket, true, milliseconds);
}

int setReceiveTimeout(SocketHandle socket, int milliseconds) {
    return setTimeLimit(socket, false, milliseconds);
}
