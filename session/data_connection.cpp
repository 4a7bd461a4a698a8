// session/data_connection.cpp: passive and active data connections.
#include "session/data_connection.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "session/channel.h"
#include "session/operator_status.h"
#include "session/reply.h"
#include "session/session.h"
#include "session/time_limits.h"

int parsePortArgument(const char* argument, unsigned char numbers[6]) {
    const char* rest = argument;
    for (int i = 0; i < 6; i++) {
        if (i > 0) {
            if (*rest != ',') {
                return -1;
            }
            rest++;
        }
        int value = 0;
        rest = scanInteger(rest, &value);
        if (rest == nullptr) {
            return -1;
        }
        numbers[i] = static_cast<unsigned char>(value & 0xff);
    }
    return 0;
}

int formatPassiveReply(char* out, std::size_t outSize, const NetworkAddress* address, int port) {
    int length = std::snprintf(out, outSize, "227 Entering Passive Mode (%u,%u,%u,%u,%d,%d)",
                               address->bytes[0], address->bytes[1], address->bytes[2],
                               address->bytes[3], (port >> 8) & 0xff, port & 0xff);
    return (length >= 0 && static_cast<std::size_t>(length) < outSize) ? 0 : -1;
}

// A client connects to the passive port right after the 227 reply. When its transfer command
// then fails before the "150", that connection stays queued, and the next transfer would take
// the dead connection instead of the new one. Clients connect after reading this PASV's reply,
// so whatever waits now is stale.
static void discardStaleConnections(FtpSession* session) {
    if (session->waitingData != kNoSocket) {
        closeSocket(session->waitingData);
        session->waitingData = kNoSocket;
    }
    for (int i = 0; i < kStaleConnectionLimit; i++) {
        if (waitReadable(session->passiveListener, 0) != 1) {
            return;
        }
        SocketHandle stale = acceptConnection(session->passiveListener, nullptr);
        if (stale == kNoSocket) {
            return;
        }
        closeSocket(stale);
    }
}

static const char kExtendedPassiveOnly[] = "503 EPSV ALL in effect";
// 0.1 ms takes curl's one-second stalls from one run of 20 files in eight to one in 200; 30 us
// left as many.
constexpr int kExtendedPassivePauseMicroseconds = 100;

// RFC 2428's number for the family of the session's control connection, which its data
// connections share: 1 for IPv4, 2 for IPv6.
static int sessionProtocol(const FtpSession* session) {
    return session->peerAddress.family == AddressFamily::kIpv6 ? 2 : 1;
}

static void refuseProtocol(FtpSession* session) {
    sendReply(session, sessionProtocol(session) == 2
                           ? "522 Network protocol not supported, use (2)"
                           : "522 Network protocol not supported, use (1)");
}

// PASV and EPSV alike: the same listener, drained of stale connections, announced by reply.
static void usePassiveListener(FtpSession* session, const char* reply) {
    discardStaleConnections(session);
    sendReply(session, reply);
    session->passiveMode = true;
}

void enterPassiveMode(FtpSession* session) {
    if (session->extendedPassiveOnly) {
        sendReply(session, kExtendedPassiveOnly);
        return;
    }
    // PASV's reply can only hold an IPv4 address.
    if (sessionProtocol(session) == 2) {
        sendReply(session, "425 Use EPSV for IPv6 connections.");
        return;
    }
    char reply[kReplyTextSize];
    if (formatPassiveReply(reply, sizeof reply, &session->serverAddress, session->passivePort) !=
        0) {
        reply[0] = '\0';  // never: the reply has a fixed form
    }
    usePassiveListener(session, reply);
}

void enterExtendedPassiveMode(FtpSession* session, const char* argument) {
    if (equalsIgnoringCase(argument, "ALL")) {
        // The client promises to use EPSV alone, which lets a firewall in between stop
        // looking into the control connection for addresses.
        session->extendedPassiveOnly = true;
        sendReply(session, "200 EPSV ALL ok");
        return;
    }
    if (argument[0] != '\0' && !isAllDigits(argument)) {
        sendReply(session, "501 Illegal EPSV command.");
        return;
    }
    // The passive listener is of the control connection's family, so only that one is served.
    bool isOwn = argument[0] == '\0' ||
                 (sessionProtocol(session) == 1 && std::strcmp(argument, "1") == 0) ||
                 (sessionProtocol(session) == 2 && std::strcmp(argument, "2") == 0);
    if (!isOwn) {
        refuseProtocol(session);
        return;
    }
    char reply[kReplyTextSize];
    std::snprintf(reply, sizeof reply, "229 Entering Extended Passive Mode (|||%d|)",
                  session->passivePort);
    // curl 7.88 looks for the 229 once, at once after sending EPSV; a reply that is already
    // there leaves it waiting a second on its own timer before it connects, while one that
    // comes a moment later wakes it at once (bench/RESULTS.md). PASV, which the chassis and
    // most other clients use, is answered at once.
    pauseMicroseconds(kExtendedPassivePauseMicroseconds);
    usePassiveListener(session, reply);
}

// Makes target the session's active-mode target and replies success; refuses with refusal
// a target other than the client itself.
static void useActiveTarget(FtpSession* session, const NetworkAddress* target, const char* success,
                            const char* refusal) {
    // SECURITY: only the client itself may be the target (no FTP bounce to third parties),
    // and never a port below 1024, where the client's own services listen (RFC 2577).
    if (!isSameHost(target, &session->peerAddress) || target->port < kLowestActivePort) {
        sendReply(session, refusal);
        return;
    }
    session->dataAddress = *target;
    session->hasPortTarget = true;
    session->passiveMode = false;
    sendReply(session, success);
}

void storePortTarget(FtpSession* session, const char* argument) {
    if (session->extendedPassiveOnly) {
        sendReply(session, kExtendedPassiveOnly);
        return;
    }
    if (sessionProtocol(session) == 2) {
        sendReply(session, "501 Use EPRT for IPv6 connections.");
        return;
    }
    unsigned char numbers[6];
    if (parsePortArgument(argument, numbers) != 0) {
        sendReply(session, "501 Illegal PORT command.");
        return;
    }
    NetworkAddress target = {};
    target.family = AddressFamily::kIpv4;
    std::memcpy(target.bytes, numbers, 4);
    target.port = static_cast<unsigned short>(numbers[4] * 256 + numbers[5]);
    useActiveTarget(session, &target, "200 PORT command successful", "501 Illegal PORT command.");
}

// Reads a decimal number of 1 to maxDigits digits, at most maxValue, ending at end.
static const char* scanBoundedNumber(const char* text, char end, int maxDigits, int maxValue,
                                     int* value) {
    int digits = 0;
    *value = 0;
    for (; *text >= '0' && *text <= '9'; text++) {
        if (++digits > maxDigits) {
            return nullptr;
        }
        *value = *value * 10 + (*text - '0');
    }
    return digits > 0 && *value <= maxValue && *text == end ? text : nullptr;
}

// Reads the IPv4 address of EPRT's protocol 1, "a.b.c.d" up to delimiter. Returns the position
// of the delimiter, or nullptr.
static const char* scanIpv4(const char* text, char delimiter, NetworkAddress* out) {
    out->family = AddressFamily::kIpv4;
    for (int i = 0; i < 4; i++) {
        int octet = 0;
        text = scanBoundedNumber(text, i < 3 ? '.' : delimiter, 3, 255, &octet);
        if (text == nullptr) {
            return nullptr;
        }
        out->bytes[i] = static_cast<unsigned char>(octet);
        if (i < 3) {
            text++;
        }
    }
    return text;
}

// Reads the IPv6 address of EPRT's protocol 2 up to delimiter, in its usual text form with an
// optional zone. Returns the position of the delimiter, or nullptr.
static const char* scanIpv6(const char* text, char delimiter, NetworkAddress* out) {
    const char* end = std::strchr(text, delimiter);
    // SECURITY: the address is copied only when it fits, so the text's length cannot matter.
    if (end == nullptr || end == text ||
        static_cast<std::size_t>(end - text) >= kNetworkAddressTextSize) {
        return nullptr;
    }
    char address[kNetworkAddressTextSize];
    std::memcpy(address, text, static_cast<std::size_t>(end - text));
    address[end - text] = '\0';
    return parseAddress(address, AddressFamily::kIpv6, out) == 0 ? end : nullptr;
}

int parseExtendedPortArgument(const char* argument, int* protocol, NetworkAddress* out) {
    // "<d>1<d>a.b.c.d<d>port<d>" or "<d>2<d>IPv6 address<d>port<d>", where any printable
    // character but a digit may stand for <d>.
    *protocol = 0;
    char delimiter = argument[0];
    if (delimiter < 33 || delimiter > 126 || (delimiter >= '0' && delimiter <= '9')) {
        return -1;
    }
    int number = 0;
    const char* rest = scanBoundedNumber(argument + 1, delimiter, 3, 255, &number);
    if (rest == nullptr) {
        return -1;
    }
    *protocol = number;
    if (number != 1 && number != 2) {
        return -2;
    }
    std::memset(out, 0, sizeof *out);
    rest = number == 1 ? scanIpv4(rest + 1, delimiter, out) : scanIpv6(rest + 1, delimiter, out);
    if (rest == nullptr) {
        return -1;
    }
    int port = 0;
    rest = scanBoundedNumber(rest + 1, delimiter, 5, 65535, &port);
    if (rest == nullptr || port == 0 || rest[1] != '\0') {
        return -1;
    }
    out->port = static_cast<unsigned short>(port);
    return 0;
}

void storeExtendedPortTarget(FtpSession* session, const char* argument) {
    if (session->extendedPassiveOnly) {
        sendReply(session, kExtendedPassiveOnly);
        return;
    }
    NetworkAddress target;
    int protocol = 0;
    int parsed = parseExtendedPortArgument(argument, &protocol, &target);
    if (parsed == -2 || (protocol != 0 && protocol != sessionProtocol(session))) {
        refuseProtocol(session);
        return;
    }
    if (parsed != 0) {
        sendReply(session, "501 Illegal EPRT command.");
        return;
    }
    // An address without a zone is on the link the client's own connection came over. lftp
    // names the unspecified address "::" when its data socket listens on every interface:
    // that can only mean the client itself.
    static const unsigned char kUnspecified[kAddressBytes] = {};
    if (target.family == AddressFamily::kIpv6 &&
        std::memcmp(target.bytes, kUnspecified, sizeof kUnspecified) == 0) {
        std::memcpy(target.bytes, session->peerAddress.bytes, sizeof target.bytes);
    }
    if (target.family == AddressFamily::kIpv6 && target.scope == 0) {
        target.scope = session->peerAddress.scope;
    }
    useActiveTarget(session, &target, "200 EPRT command successful", "501 Illegal EPRT command.");
}

// The active-mode connection to the client, given up after the time a passive one has to
// arrive: a firewall that drops our connection attempt must not hold the session for the
// system's own limit of minutes. Prints why it failed.
static SocketHandle connectDataSocket(FtpSession* session) {
    SocketHandle socket = openTcpSocket(session->dataAddress.family);
    if (socket == kNoSocket) {
        printSessionError(session, "socket() failed");
        return kNoSocket;
    }
    long long deadline = monotonicMilliseconds() + limitFor(session, SessionState::kAwaitingData);
    SocketHandle watch = session->controlSocket;
    ControlNews news = ControlNews::kNothing;
    for (;;) {
        long long remaining = std::max(0LL, deadline - monotonicMilliseconds());
        if (connectSocketWithin(socket, &session->dataAddress, static_cast<int>(remaining),
                                watch) == 0) {
            return socket;
        }
        if (!isLastError(ErrorKind::kInterrupted) || isStoppedByControl(session, &watch, &news)) {
            break;
        }
    }
    if (!isLastError(ErrorKind::kInterrupted)) {
        printSessionError(session, "connect() failed");
    }
    closeSocket(socket);
    return kNoSocket;
}

bool isAwaitingPassiveConnection(const FtpSession* session) {
    return session->passiveMode && session->passiveListener != kNoSocket;
}

// Accepts a connection from the passive listener into *data: the client's, or kNoSocket when
// a foreign one was closed. Returns 0, or -1 when accept failed.
static int acceptFromClient(FtpSession* session, SocketHandle* data) {
    NetworkAddress peer;
    *data = acceptConnection(session->passiveListener, &peer);
    if (*data == kNoSocket) {
        return -1;
    }
    if (!isSameHost(&peer, &session->peerAddress)) {
        closeSocket(*data);
        *data = kNoSocket;
    }
    return 0;
}

void takeArrivingDataConnection(FtpSession* session) {
    SocketHandle data = kNoSocket;
    if (acceptFromClient(session, &data) != 0 || data == kNoSocket) {
        return;  // a failed accept is the transfer's wait's to judge
    }
    if (session->waitingData == kNoSocket) {
        session->waitingData = data;
    } else {
        closeSocket(data);  // a transfer takes one connection; the client's first came first
    }
}

// Waits for the client's connection on the passive listener, up to the session's limit, with
// kTimedOut's error when none came. SECURITY: a connection from any host but the client's is
// closed and the wait goes on, so nobody else can take over a transfer.
static SocketHandle acceptPassiveConnection(FtpSession* session) {
    if (session->waitingData != kNoSocket) {
        SocketHandle data = session->waitingData;
        session->waitingData = kNoSocket;
        return data;
    }
    long long deadline = monotonicMilliseconds() + limitFor(session, SessionState::kAwaitingData);
    SocketHandle watch = session->controlSocket;
    ControlNews news = ControlNews::kNothing;
    for (;;) {
        long long remaining = deadline - monotonicMilliseconds();
        int ready = remaining > 0 ? waitForEither(session->passiveListener, false, watch,
                                                  static_cast<int>(remaining))
                                  : 0;
        if (ready == 2) {
            if (isStoppedByControl(session, &watch, &news)) {
                return kNoSocket;
            }
            continue;
        }
        if (ready != 1) {
            setLastError(ErrorKind::kTimedOut);
            return kNoSocket;
        }
        // SECURITY: a connection reset while it waited (from any host) costs only itself; the
        // wait goes on, so nobody can cut another client's transfer short that way.
        SocketHandle data = kNoSocket;
        int accepted = acceptFromClient(session, &data);
        if (accepted == 0 && data != kNoSocket) {
            return data;
        }
        if (accepted != 0 && classifyAcceptFailure() != AcceptFailure::kRetry) {
            return kNoSocket;
        }
    }
}

int connectForTransfer(FtpSession* session, DataConnection* data, char* failureReply,
                       std::size_t replySize) {
    SocketHandle socket;
    if (session->passiveMode) {
        socket = acceptPassiveConnection(session);
    } else if (!session->hasPortTarget) {
        copyText(failureReply, replySize, "425 Use PORT or PASV first.");
        return kDataConnectionRefused;
    } else {
        socket = connectDataSocket(session);
        // A client that refused the connection hears why; one that never answered, as in
        // passive mode, that none came.
        if (socket == kNoSocket && !isLastError(ErrorKind::kTimedOut) &&
            !isLastError(ErrorKind::kInterrupted)) {
            formatErrorReply(failureReply, replySize);
            return -1;
        }
    }
    if (socket == kNoSocket) {
        bool isAborted = isLastError(ErrorKind::kInterrupted);
        if (session->passiveMode && isLastError(ErrorKind::kTimedOut)) {
            reportNoDataConnection(session);
        }
        copyText(failureReply, replySize,
                 isAborted ? kAbortedTransferReply : "425 Can't open data connection.");
        return -1;
    }
    // Clear text waits in the transfer's own waits, which watch the control connection too;
    // TLS waits inside its calls, on a socket the TLS layer sets up itself.
    if (setNonBlocking(socket, !session->protectsData) != 0) {
        printSessionError(session, "data connection set-up failed");
        closeSocket(socket);
        copyText(failureReply, replySize, "425 Can't open data connection.");
        return -1;
    }
    int started = startDataConnection(session, socket, data);
    if (started == kDataSessionNotResumed) {
        copyText(failureReply, replySize, "425 TLS session of data connection not resumed.");
        return kDataConnectionRefused;
    }
    if (started != 0) {
        copyText(failureReply, replySize, "425 TLS handshake failed on the data connection");
        return -1;
    }
    return 0;
}
