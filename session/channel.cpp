// session/channel.cpp: the bytes of the control and data connections.
#include "session/channel.h"

#include "session/data_connection.h"
#include "session/session.h"

// What closeDataConnection reads, and throws away, while it waits for the client's end.
constexpr std::size_t kDiscardBufferSize = 512;
constexpr int kDataCloseReadLimit = 64;

int sendControlBytes(FtpSession* session, const char* data, std::size_t length) {
    return sendBytes(session->controlSocket, data, length);
}

long long receiveControlBytes(FtpSession* session, char* buffer, std::size_t size) {
    return receiveBytes(session->controlSocket, buffer, size);
}

int waitForControlBytes(FtpSession* session, int milliseconds) {
    return waitReadable(session->controlSocket, milliseconds);
}

int startDataConnection(FtpSession* session, SocketHandle socket, DataConnection* out) {
    // A client that neither reads nor sends must not hold the session for ever.
    (void)setSocketTimeout(socket, session->stallMilliseconds);  // without it: no stall limit
    out->socket = socket;
    return 0;
}

int sendDataBytes(DataConnection* data, const char* bytes, std::size_t length) {
    return sendBytes(data->socket, bytes, length);
}

long long receiveDataBytes(DataConnection* data, char* buffer, std::size_t size) {
    return receiveBytes(data->socket, buffer, size);
}

long long sendFileData(DataConnection* data, int file, char* buffer, std::size_t size,
                       bool* sendFailed) {
    return sendFilePiece(data->socket, file, buffer, size, sendFailed);
}

void closeDataConnection(DataConnection* data) {
    // The end of the stream goes first; the client reads what is left, sees the end and
    // closes its side. Only then does the final reply go out: a client that knows the size
    // stops reading at the last byte and then waits for the reply (aria2c), and would miss
    // one that arrived together with "150". A client that keeps its side open meanwhile
    // costs at most the wait.
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
