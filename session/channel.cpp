// session/channel.cpp: the bytes of the control and data connections.
#include "session/channel.h"

#include "app/settings.h"
#include "session/data_connection.h"
#include "session/session.h"

// What closeDataConnection reads, and throws away, while it waits for the client's end.
constexpr std::size_t kDiscardBufferSize = 512;
constexpr int kDataCloseReadLimit = 64;

int protectControlConnection(FtpSession* session) {
    // SECURITY: bytes that came in clear text after AUTH must not count as commands sent
    // under TLS; anyone on the path could have put them there.
    session->reader.heldLength = 0;
    session->reader.skipLineFeed = false;
    // A client that never makes the handshake costs this session no more than a data wait.
    (void)setSocketTimeout(session->controlSocket, session->dataWaitMilliseconds);
    // The data connections may resume this session, so the client gets what that takes.
    session->controlTls =
        startTlsSession(serverSettings.tlsCredentials, session->controlSocket, true);
    // A receive that waits for the rest of a record ends with the idle limit, when there is
    // one: a client that stops in mid-record is idle too. Without one, commands take their time.
    (void)setSocketTimeout(session->controlSocket, session->idleMilliseconds);
    return session->controlTls != nullptr ? 0 : -1;
}

// Either connection: through its TLS session when it has one, else straight on the socket.
static int sendOver(SocketHandle socket, TlsSession* tls, const char* bytes, std::size_t length) {
    return tls != nullptr ? sendTlsBytes(tls, bytes, length) : sendBytes(socket, bytes, length);
}

static long long receiveOver(SocketHandle socket, TlsSession* tls, char* buffer,
                             std::size_t size) {
    return tls != nullptr ? receiveTlsBytes(tls, buffer, size)
                          : receiveBytes(socket, buffer, size);
}

int sendControlBytes(FtpSession* session, const char* data, std::size_t length) {
    return sendOver(session->controlSocket, session->controlTls, data, length);
}

long long receiveControlBytes(FtpSession* session, char* buffer, std::size_t size) {
    return receiveOver(session->controlSocket, session->controlTls, buffer, size);
}

int waitForControlBytes(FtpSession* session, int milliseconds) {
    // What TLS holds already was received; the socket may have nothing more to say.
    if (session->controlTls != nullptr && hasReceivedTlsBytes(session->controlTls)) {
        return 1;
    }
    return waitReadable(session->controlSocket, milliseconds);
}

bool isControlConnectionOpen(FtpSession* session, int milliseconds) {
    if (session->controlTls != nullptr && hasReceivedTlsBytes(session->controlTls)) {
        return true;
    }
    // A failure to look counts as an end: in doubt the old file stays, and a live client
    // hears the 426 and can send the file again.
    return hasPeerEnded(session->controlSocket, milliseconds) == 0;
}

int startDataConnection(FtpSession* session, SocketHandle socket, DataConnection* out) {
    out->socket = socket;
    out->tls = nullptr;
    if (session->protectsData) {
        // The handshake gets the time a client has to make its data connection.
        (void)setSocketTimeout(socket, session->dataWaitMilliseconds);
        out->tls = startTlsSession(serverSettings.tlsCredentials, socket, false);
        if (out->tls == nullptr) {
            printSystemError("TLS handshake failed on a data connection");
            closeSocket(socket);
            out->socket = kNoSocket;
            return -1;
        }
    }
    // A client that neither reads nor sends must not hold the session for ever.
    (void)setSocketTimeout(socket, session->stallMilliseconds);  // without it: no stall limit
    return 0;
}

int sendDataBytes(DataConnection* data, const char* bytes, std::size_t length) {
    return sendOver(data->socket, data->tls, bytes, length);
}

long long receiveDataBytes(DataConnection* data, char* buffer, std::size_t size) {
    return receiveOver(data->socket, data->tls, buffer, size);
}

long long sendFileData(DataConnection* data, int file, char* buffer, std::size_t size,
                       bool* sendFailed) {
    if (data->tls == nullptr) {
        return sendFilePiece(data->socket, file, buffer, size, sendFailed);
    }
    // TLS encrypts in our memory, so the piece goes through the buffer.
    *sendFailed = false;
    long long count = readFile(file, buffer, size);
    if (count <= 0) {
        return count;
    }
    if (sendTlsBytes(data->tls, buffer, static_cast<std::size_t>(count)) != 0) {
        *sendFailed = true;
        return -1;
    }
    return count;
}

void closeDataConnection(DataConnection* data) {
    // The end of the stream goes first; the client reads what is left, sees the end and
    // closes its side. Only then does the final reply go out: a client that knows the size
    // stops reading at the last byte and then waits for the reply (aria2c), and would miss
    // one that arrived together with "150". A client that keeps its side open meanwhile
    // costs at most the wait.
    endTlsSession(data->tls);  // its close_notify, before the end of the stream
    data->tls = nullptr;
    shutdownSending(data->socket);
    // Each receive below waits no longer than the whole wait may, even where the system says
    // a reset connection is readable and then blocks in the receive (Wine does).
    (void)setSocketTimeout(data->socket, kDataCloseWaitMilliseconds);  // else: the stall limit
    long long deadline = monotonicMilliseconds() + kDataCloseWaitMilliseconds;
    char discarded[kDiscardBufferSize];
    for (int reads = 0; reads < kDataCloseReadLimit; reads++) {
        long long remaining = deadline - monotonicMilliseconds();
        if (remaining <= 0 || waitReadable(data->socket, static_cast<int>(remaining)) != 1 ||
            receiveBytes(data->socket, discarded, sizeof discarded) <= 0) {
            break;
        }
    }
    closeSocket(data->socket);
    data->socket = kNoSocket;
}
