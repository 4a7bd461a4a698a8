// platform/socket_calls.cpp: socket addresses of the system as ours and back, their text, and
// the socket calls that are alike on both platforms: Winsock took the BSD sockets' types and
// calls as they were, and only the handle's type and the error each failure leaves differ. The
// wait for one readable socket is the wait for any of one.
#include "platform/platform.h"

#ifdef _WIN32
#include <winsock2.h>

#include <ws2tcpip.h>
using SystemSocket = SOCKET;
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
using SystemSocket = int;
#endif

#include <cstring>

#include "platform/primitives.h"

int toSocketAddress(const NetworkAddress* address, struct sockaddr_storage* out) {
    std::memset(out, 0, sizeof *out);
    if (address->family == AddressFamily::kIpv6) {
        struct sockaddr_in6* six = reinterpret_cast<struct sockaddr_in6*>(out);
        six->sin6_family = AF_INET6;
        six->sin6_port = htons(address->port);
        std::memcpy(&six->sin6_addr, address->bytes, sizeof six->sin6_addr);
        six->sin6_scope_id = address->scope;
        return static_cast<int>(sizeof *six);
    }
    struct sockaddr_in* four = reinterpret_cast<struct sockaddr_in*>(out);
    four->sin_family = AF_INET;
    four->sin_port = htons(address->port);
    std::memcpy(&four->sin_addr.s_addr, address->bytes, 4);
    return static_cast<int>(sizeof *four);
}

int fromSocketAddress(const struct sockaddr* address, NetworkAddress* out) {
    std::memset(out, 0, sizeof *out);
    if (address->sa_family == AF_INET6) {
        const struct sockaddr_in6* six = reinterpret_cast<const struct sockaddr_in6*>(address);
        // An IPv4 client of a socket that takes both families arrives as ::ffff:a.b.c.d; it is
        // an IPv4 client in every reply and check.
        if (IN6_IS_ADDR_V4MAPPED(&six->sin6_addr)) {
            out->family = AddressFamily::kIpv4;
            std::memcpy(out->bytes, six->sin6_addr.s6_addr + 12, 4);
            out->port = ntohs(six->sin6_port);
            return 0;
        }
        out->family = AddressFamily::kIpv6;
        std::memcpy(out->bytes, &six->sin6_addr, sizeof six->sin6_addr);
        out->port = ntohs(six->sin6_port);
        out->scope = six->sin6_scope_id;
        return 0;
    }
    if (address->sa_family != AF_INET) {
        return failWithUnsupportedFamily();
    }
    const struct sockaddr_in* four = reinterpret_cast<const struct sockaddr_in*>(address);
    out->family = AddressFamily::kIpv4;
    std::memcpy(out->bytes, &four->sin_addr.s_addr, 4);
    out->port = ntohs(four->sin_port);
    return 0;
}

int systemFamilyOf(AddressFamily family) {
    return family == AddressFamily::kIpv6 ? AF_INET6 : AF_INET;
}

int formatAddress(const NetworkAddress* address, char* out, std::size_t outSize) {
    if (inet_ntop(systemFamilyOf(address->family), address->bytes, out,
                  static_cast<socklen_t>(outSize)) == nullptr) {
        return failWithSocketError();
    }
    return 0;
}

int parseAddress(const char* text, AddressFamily family, NetworkAddress* out) {
    // The numeric form only, never a name to look up; for IPv6 with an optional zone.
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = systemFamilyOf(family);
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    struct addrinfo* found = nullptr;
    if (getaddrinfo(text, nullptr, &hints, &found) != 0 || found == nullptr) {
        return failWithInvalidArgument();
    }
    int result = fromSocketAddress(found->ai_addr, out);
    freeaddrinfo(found);
    if (result != 0 || out->family != family) {
        return failWithInvalidArgument();  // a mapped IPv4 address is no IPv6 one
    }
    out->port = 0;
    return 0;
}

int setSocketOption(SocketHandle socket, int level, int option, int value) {
    // Winsock takes the value as a char pointer; POSIX takes any pointer.
    if (setsockopt(static_cast<SystemSocket>(socket), level, option,
                   reinterpret_cast<const char*>(&value), sizeof value) != 0) {
        return failWithSocketError();
    }
    return 0;
}

int acceptBothFamilies(SocketHandle socket) {
    return setSocketOption(socket, IPPROTO_IPV6, IPV6_V6ONLY, 0);  // a DWORD on Windows
}

int bindSocket(SocketHandle socket, const NetworkAddress* address) {
    struct sockaddr_storage local;
    int length = toSocketAddress(address, &local);
    if (bind(static_cast<SystemSocket>(socket), reinterpret_cast<struct sockaddr*>(&local),
             length) != 0) {
        return failWithSocketError();
    }
    return 0;
}

int listenSocket(SocketHandle socket, int backlog) {
    if (listen(static_cast<SystemSocket>(socket), backlog) != 0) {
        return failWithSocketError();
    }
    return 0;
}

int socketLocalAddress(SocketHandle socket, NetworkAddress* out) {
    struct sockaddr_storage address;
    socklen_t length = sizeof address;
    struct sockaddr* generic = reinterpret_cast<struct sockaddr*>(&address);
    if (getsockname(static_cast<SystemSocket>(socket), generic, &length) != 0) {
        return failWithSocketError();
    }
    return fromSocketAddress(generic, out);
}

int waitReadable(SocketHandle socket, int timeoutMilliseconds) {
    int ready = waitAnyReadable(&socket, 1, timeoutMilliseconds);
    return ready > 0 ? 1 : ready;
}

int setNoDelay(SocketHandle socket) {
    return setSocketOption(socket, IPPROTO_TCP, TCP_NODELAY, 1);  // a BOOL on Windows
}
