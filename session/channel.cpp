// session/channel.cpp: the bytes of the control and data connections.
#include "session/channel.h"

#include <algorithm>
#include <cstring>

#include "app/settings.h"
#include "session/operator_status.h"
#include "session/session.h"
#include "session/time_limits.h"

// The most a data connection sends in one step, so that a step waits for the client only once:
// a timeout restarts with each system call, and a step that waited several times, moving a
// few bytes each time, would stretch the limit. Linux's sendfile passes a file to the socket
// 64 KiB (a pipe of 16 pages) at a time, each with a wait of its own.
constexpr std::size_t kDataStepSize = 65536;

int protectControlConnection(FtpSession* session) {
    // SECURITY: bytes that came in clear text after AUTH must not count as commands sent
    // under TLS; anyone on the path could have put them there.
    session->reader.heldLength = 0;
    session->reader.skipLineFeed = false;
    // A client that never makes the handshake costs this session no more than a data wait,
    // nor, before its login, more than is left of the login deadline.
    applyTimeLimits(session, SessionState::kAwaitingData);
    // The data connections may resume this session, so the client gets what that takes.
    session->controlTls =
        startTlsSession(serverSettings.tlsCredentials, session->controlSocket, nullptr);
    applyTimeLimits(session, SessionState::kAwaitingCommand);
    return session->controlTls != nullptr ? 0 : -1;
}

// Either connection: through its TLS session when it has one, else straight on the socket.
static int sendOver(SocketHandle socket, TlsSession* tls, const char* bytes, std::size_t length) {
    return tls != nullptr ? sendTlsBytes(tls, bytes, length) : sendBytes(socket, bytes, length);
}

static long long receiveOver(SocketHandle socket, TlsSession* tls, char* buffer, std::size_t size) {
    return tls != nullptr ? receiveTlsBytes(tls, buffer, size) : receiveBytes(socket, buffer, size);
}

int sendControlBytes(FtpSession* session, const char* data, std::size_t length) {
    // After a reply that did not go out whole (a client that stopped reading, a connection
    // gone), further replies would each wait the reply limit again, and a half-sent line or
    // TLS record leaves nothing the client could read: the session ends after this command.
    if (session->hasLostControl) {
        setLastError(ErrorKind::kTimedOut);
        return -1;
    }
    // A client that never reads its replies waits no longer before its login than a silent one.
    if (session->loginDeadline != 0) {
        applyTimeLimits(session, SessionState::kSendingReply);
    }
    if (sendOver(session->controlSocket, session->controlTls, data, length) != 0) {
        session->hasLostControl = true;
        session->isEnding = true;
        return -1;
    }
    return 0;
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

int startDataConnection(FtpSession* session, SocketHandle socket, DataConnection* out) {
    out->socket = socket;
    out->tls = nullptr;
    out->session = session;
    out->watch = session->controlSocket;
    out->stop = ControlNews::kNothing;
    out->bytesSinceProgress = 0;
    out->stallMilliseconds = limitFor(session, SessionState::kTransferring);
    out->socketTimeout = 0;
    if (session->protectsData) {
        // The handshake gets the time a client has to make its data connection.
        (void)setSocketTimeout(socket, limitFor(session, SessionState::kAwaitingData));
        out->tls = startTlsSession(serverSettings.tlsCredentials, socket, session->controlTls);
        if (out->tls == nullptr) {
            printSessionError(session, "TLS handshake failed on a data connection");
            closeSocket(socket);
            out->socket = kNoSocket;
            return -1;
        }
        // SECURITY: the client's address alone does not tell its data connection from another
        // program's on the same host; resuming the control connection's session does (RFC 4217
        // section 10), since only the client holds it. "-tlsnoresume" gives that up for
        // clients that cannot resume it. On Windows a resumption counts only when Schannel gives
        // both connections the same session id, which it need not under TLS 1.3: such a data
        // connection is closed there as not resumed.
        if (!serverSettings.tlsAnyDataSession && !isResumedTlsSession(out->tls)) {
            printSessionText(session, ConsoleStream::kError,
                             "TLS data connection closed: it did not resume the control "
                             "connection's session\n");
            endTlsSession(out->tls);
            out->tls = nullptr;
            closeSocket(socket);
            out->socket = kNoSocket;
            return kDataSessionNotResumed;
        }
        watchDuringTlsWaits(out->tls, out->watch);
    }
    // A client that neither reads nor sends must not hold the session for ever.
    out->progressDeadline = monotonicMilliseconds() + out->stallMilliseconds;
    return 0;
}

// Bounds the next wait on the data connection by what is left of the stall limit, and returns
// how many bytes the next step may move: at most largest, and never past the next whole
// buffer, so that the step that completes one returns the moment it does. The socket's
// timeout follows the deadline: never short of it, and set again once it reaches a sixteenth
// of the limit beyond it. Returns -1 with kTimedOut's error once the deadline has passed.
static long long boundNextStep(DataConnection* data, std::size_t size, std::size_t largest) {
    long long remaining = data->progressDeadline - monotonicMilliseconds();
    if (remaining <= 0) {
        setLastError(ErrorKind::kTimedOut);
        return -1;
    }
    // A clear-text step never waits inside the call: awaitStep waits, with the deadline.
    if (data->tls != nullptr && (data->socketTimeout < remaining ||
                                 data->socketTimeout - remaining > data->stallMilliseconds / 16)) {
        data->socketTimeout = static_cast<int>(remaining);
        // Not on a socket gone bad; its next send or receive fails anyway.
        (void)setSocketTimeout(data->socket, data->socketTimeout);
    }
    long long step = static_cast<long long>(kTransferBufferSize) - data->bytesSinceProgress;
    return std::min(step, static_cast<long long>(std::min(size, largest)));
}

// Counts bytes moved; a whole transfer buffer of them within the limit is progress. One that
// completes only after the deadline is not: the next step finds the transfer stalled.
static void countProgress(DataConnection* data, long long count) {
    data->bytesSinceProgress += count;
    if (data->bytesSinceProgress < static_cast<long long>(kTransferBufferSize)) {
        return;
    }
    long long now = monotonicMilliseconds();
    if (now <= data->progressDeadline) {
        data->bytesSinceProgress = 0;
        data->progressDeadline = now + data->stallMilliseconds;
    }
}

bool isStoppedByControl(FtpSession* session, SocketHandle* watch, ControlNews* news) {
    *news = session->takeNews(session, 0, watch);
    if (*news == ControlNews::kNothing) {
        return false;
    }
    setLastError(ErrorKind::kInterrupted);
    return true;
}

// After a step that could not go on: waits for the data connection, looking at the control
// connection whenever it speaks. Returns 0 to make the step again, or -1 when the transfer
// ends: stalled (kTimedOut's error), stopped by the control connection (kInterrupted's), or
// failed.
static int awaitStep(DataConnection* data, bool forWriting) {
    if (isLastError(ErrorKind::kInterrupted)) {  // a TLS wait saw the control connection
        return isStoppedByControl(data->session, &data->watch, &data->stop) ? -1 : 0;
    }
    if (!isLastError(ErrorKind::kWouldBlock)) {
        return -1;
    }
    long long remaining = data->progressDeadline - monotonicMilliseconds();
    int ready = remaining > 0 ? waitForEither(data->socket, forWriting, data->watch,
                                              static_cast<int>(remaining))
                              : 0;
    if (ready == 2) {
        return isStoppedByControl(data->session, &data->watch, &data->stop) ? -1 : 0;
    }
    if (ready == 0) {
        setLastError(ErrorKind::kTimedOut);
    }
    return ready == 1 ? 0 : -1;
}

// Sends all length bytes under TLS, taking the control connection's news whenever a wait is
// cut short by it; the same bytes go again then, as TLS asks.
static int sendTlsData(DataConnection* data, const char* bytes, std::size_t length) {
    while (sendTlsBytes(data->tls, bytes, length) != 0) {
        if (awaitStep(data, true) != 0) {
            return -1;
        }
    }
    return 0;
}

int sendDataBytes(DataConnection* data, const char* bytes, std::size_t length) {
    while (length > 0) {
        long long step = boundNextStep(data, length, kDataStepSize);
        if (step < 0) {
            return -1;
        }
        std::size_t piece = static_cast<std::size_t>(step);
        long long sent = data->tls != nullptr ? (sendTlsData(data, bytes, piece) == 0 ? step : -1)
                                              : sendSomeBytes(data->socket, bytes, piece);
        if (sent < 0) {
            if (data->tls == nullptr && awaitStep(data, true) == 0) {
                continue;
            }
            return -1;
        }
        countProgress(data, sent);
        bytes += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return 0;
}

long long receiveDataBytes(DataConnection* data, char* buffer, std::size_t size) {
    for (;;) {
        // A receive returns as soon as anything came: one wait, whatever it asks for.
        long long step = boundNextStep(data, size, size);
        if (step < 0) {
            return -1;
        }
        long long count =
            receiveOver(data->socket, data->tls, buffer, static_cast<std::size_t>(step));
        if (count > 0) {
            countProgress(data, count);
        }
        if (count >= 0 || awaitStep(data, false) != 0) {
            return count;
        }
    }
}

// One piece of file: straight from the file where the platform can, through buffer under TLS.
static long long sendFilePart(DataConnection* data, int file, char* buffer, std::size_t size,
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
    if (sendTlsData(data, buffer, static_cast<std::size_t>(count)) != 0) {
        *sendFailed = true;
        return -1;
    }
    return count;
}

long long sendFileData(DataConnection* data, int file, char* buffer, std::size_t size,
                       bool* sendFailed) {
    for (;;) {
        long long step = boundNextStep(data, size, kDataStepSize);
        if (step < 0) {
            *sendFailed = true;
            return -1;
        }
        long long count =
            sendFilePart(data, file, buffer, static_cast<std::size_t>(step), sendFailed);
        if (count > 0) {
            countProgress(data, count);
        }
        if (count >= 0 || !*sendFailed || data->tls != nullptr || awaitStep(data, true) != 0) {
            return count;
        }
    }
}

void closeDataConnection(DataConnection* data, DeliveryWait wait) {
    if (wait == DeliveryWait::kAbandoned) {
        // A client that stopped reading must not hold the session for a close_notify: it gets
        // one only when the connection takes it at once.
        if (data->tls != nullptr) {
            (void)setSendTimeout(data->socket, limitFor(data->session, SessionState::kTearingDown));
            endTlsSession(data->tls);
            data->tls = nullptr;
        }
        closeSocket(data->socket);
        data->socket = kNoSocket;
        return;
    }
    // A final reply that waits goes out once the client's system has acknowledged the data
    // and its end, not before and not later: a client that reads the reply before it closes
    // (Python's urllib) must not wait for a close of ours. That serves aria2c, which reads
    // "150" and then looks for the final reply only once new bytes arrive: a "226" that came
    // with the "150" it would never see.
    bool isProtected = data->tls != nullptr;
    if (isProtected) {
        endTlsSession(data->tls);  // its close_notify, before the end of the stream
        data->tls = nullptr;
        // The client's own close_notify may be waiting; unread, it would make the close a
        // reset. A clear-text client sends nothing on a download's connection, and an
        // upload's was read to its end.
        discardReceivedBytes(data->socket);
    }
    if (wait == DeliveryWait::kNone && !isProtected) {
        closeSocket(data->socket);
    } else {
        // Whole seconds, as the system counts them; no stall limit keeps the close from waiting.
        closeSocketDelivered(data->socket, (data->stallMilliseconds + 999) / 1000);
    }
    data->socket = kNoSocket;
}
