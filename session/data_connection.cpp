// session/data_connection.cpp: passive and active data connections.
#include "session/data_connection.h"

#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "session/channel.h"
#include "session/reply.h"
#include "session/session.h"

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
static const char kUnsupportedProtocol[] = "522 Network protocol not supported, use (1)";

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
    char reply[kReplyTextSize];
    if (formatPassiveReply(reply, sizeof reply, &session->serverAddress, session->passivePort) !=
        0) {
        reply[0] = '\0';  // never: the reply has a fixed form
    }
    usePassiveListener(session, reply);
}

static bool isAllDigits(const char* text) {
    if (*text == '\0') {
        return false;
    }
    for (; *text != '\0'; text++) {
        if (*text < '0' || *text > '9') {
            return false;
        }
    }
    return true;
}

void enterExtendedPassiveMode(FtpSession* session, const char* argument) {
    if (equalsIgnoringCase(argument, "ALL")) {
        // The client promises to use EPSV alone, which lets a firewall in between stop
        // looking into the control connection for addresses.
        session->extendedPassiveOnly = true;
        sendReply(session, "200 EPSV ALL ok");
        return;
    }
    if (argument[0] != '\0' && std::strcmp(argument, "1") != 0) {
        sendReply(session,
                  isAllDigits(argument) ? kUnsupportedProtocol : "501 Illegal EPSV command.");
        return;
    }
    char reply[kReplyTextSize];
    std::snprintf(reply, sizeof reply, "229 Entering Extended Passive Mode (|||%d|)",
                  session->passivePort);
    usePassiveListener(session, reply);
}

// Makes target the session's active-mode target and replies success; refuses with refusal
// a target other than the client itself.
static void useActiveTarget(FtpSession* session, const NetworkAddress* target, const char* success,
                            const char* refusal) {
    // SECURITY: only the client itself may be the target (no FTP bounce to third parties).
    if (!isSameHost(target, &session->peerAddress)) {
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

int parseExtendedPortArgument(const char* argument, NetworkAddress* out) {
    // "<d>1<d>a.b.c.d<d>port<d>", where any printable character but a digit may stand for <d>.
    char delimiter = argument[0];
    if (delimiter < 33 || delimiter > 126 || (delimiter >= '0' && delimiter <= '9')) {
        return -1;
    }
    int protocol = 0;
    const char* rest = scanBoundedNumber(argument + 1, delimiter, 3, 255, &protocol);
    if (rest == nullptr) {
        return -1;
    }
    if (protocol != 1) {
        return -2;
    }
    std::memset(out, 0, sizeof *out);
    out->family = AddressFamily::kIpv4;
    rest++;
    for (int i = 0; i < 4; i++) {
        int octet = 0;
        rest = scanBoundedNumber(rest, i < 3 ? '.' : delimiter, 3, 255, &octet);
        if (rest == nullptr) {
            return -1;
        }
        out->bytes[i] = static_cast<unsigned char>(octet);
        rest++;
    }
    int port = 0;
    rest = scanBoundedNumber(rest, delimiter, 5, 65535, &port);
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
    int parsed = parseExtendedPortArgument(argument, &target);
    if (parsed == -2) {
        sendReply(session, kUnsupportedProtocol);
        return;
    }
    if (parsed != 0) {
        sendReply(session, "501 Illegal EPRT command.");
        return;
    }
    useActiveTarget(session, &target, "200 EPRT command successful", "501 Illegal EPRT command.");
}

SocketHandle connectDataSocket(const NetworkAddress* address) {
    SocketHandle socket = openTcpSocket(address->family);
    if (socket == kNoSocket) {
        printSystemError("socket() failed");
        return kNoSocket;
    }
    if (connectSocket(socket, address) != 0) {
        printSystemError("connect() failed");
        closeSocket(socket);
        return kNoSocket;
    }
    return socket;
}

// Waits for the client's connection on the passive listener, up to the session's limit.
// SECURITY: a connection from any host but the client's is closed and the wait goes on, so
// nobody else can take over a transfer.
static SocketHandle acceptPassiveConnection(FtpSession* session) {
    long long deadline = monotonicMilliseconds() + session->dataWaitMilliseconds;
    for (;;) {
        long long remaining = deadline - monotonicMilliseconds();
        if (remaining <= 0 ||
            waitReadable(session->passiveListener, static_cast<int>(remaining)) != 1) {
            return kNoSocket;
        }
        NetworkAddress peer;
        SocketHandle data = acceptConnection(session->passiveListener, &peer);
        if (data == kNoSocket) {
            // SECURITY: a connection reset while it waited (from any host) costs only itself;
            // the wait goes on, so nobody can cut another client's transfer short that way.
            if (classifyAcceptFailure() != AcceptFailure::kRetry) {
                return kNoSocket;
            }
            continue;
        }
        if (isSameHost(&peer, &session->peerAddress)) {
            return data;
        }
        closeSocket(data);
    }
}

int connectForTransfer(FtpSession* session, DataConnection* data, char* failureReply,
                       std::size_t replySize) {
    SocketHandle socket;
    if (session->passiveMode) {
        socket = acceptPassiveConnection(session);
        if (socket == kNoSocket) {
            copyText(failureReply, replySize, "425 Can't open data connection.");
            return -1;
        }
    } else {
        if (!session->hasPortTarget) {
            copyText(failureReply, replySize, "425 Use PORT or PASV first.");
            return -1;
        }
        socket = connectDataSocket(&session->dataAddress);
        if (socket == kNoSocket) {
            formatErrorReply(failureReply, replySize);
            return -1;
        }
    }
    if (startDataConnection(session, socket, data) != 0) {
        formatErrorReply(failureReply, replySize);
        return -1;
    }
    return 0;
}

int openDataConnection(FtpSession* session, DataConnection* data) {
    char reply[kReplyTextSize];
    if (connectForTransfer(session, data, reply, sizeof reply) != 0) {
        sendReply(session, reply);
        return -1;
    }
    return 0;
}
