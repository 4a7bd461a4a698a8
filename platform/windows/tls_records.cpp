// platform/windows/tls_records.cpp: a Schannel session's records once its handshake is done:
// sending, receiving and decrypting them, a TLS 1.3 post-handshake message, the close.
#include "platform/windows/tls_session.h"

#include <cerrno>
#include <cstring>

#include "platform/windows/internal.h"

// ---------------------------------------------------------------------------------------------
// Sessions: records.

// Marks the session unusable; each later call fails with status.
static void markBroken(TlsSession* session, SECURITY_STATUS status) {
    session->failure = status;
}

static int breakSession(TlsSession* session, SECURITY_STATUS status) {
    markBroken(session, status);
    return failWithSecurityStatus(status);
}

// The time of one sendTlsBytes call. Winsock's send timeout starts again with each send, so
// a call of several records would wait the whole limit for each; the records after the first
// get what is left of it (to a sixteenth of the limit), which the socket carries while the
// call lasts.
struct SendDeadline {
    long long start;    // when the call began
    long long limit;    // the socket's own send timeout (0: none), read before the second record
    long long carried;  // the send timeout the socket has now
};

// Gives the socket what is left of the call's time for the next record's send. Returns 0, or
// -1 with the error set: kTimedOut's once nothing is left.
static int limitNextSend(TlsSession* session, SendDeadline* deadline) {
    if (deadline->limit == kNoDeadlineYet) {
        deadline->limit = socketTimeoutOf(session->socket, SO_SNDTIMEO);
        deadline->carried = deadline->limit;
    }
    if (deadline->limit == 0) {
        return 0;  // the sends wait without a limit
    }
    long long remaining = deadline->start + deadline->limit - monotonicMilliseconds();
    if (remaining <= 0) {
        return failWithRuntimeError(ETIMEDOUT);
    }
    // Set again only once it overshoots by a sixteenth of the limit: a call that moves at once
    // makes no calls for it.
    if (deadline->carried - remaining > deadline->limit / 16) {
        if (setSendTimeout(session->socket, static_cast<int>(remaining)) != 0) {
            return -1;
        }
        deadline->carried = remaining;
    }
    return 0;
}

// Encrypts piece (at most cbMaximumMessage bytes) as one record and sends it: the call's first
// record (no deadline) with the socket's own limit, a later one with what is left of it.
// Returns 0, or -1 with the error set and the session broken.
static int sendRecord(TlsSession* session, const char* piece, std::size_t length,
                      SendDeadline* deadline) {
    const SecPkgContext_StreamSizes* sizes = &session->sizes;
    char* message = session->output + sizes->cbHeader;
    std::memcpy(message, piece, length);
    SecBuffer buffers[4] = {{sizes->cbHeader, SECBUFFER_STREAM_HEADER, session->output},
                            {static_cast<unsigned long>(length), SECBUFFER_DATA, message},
                            {sizes->cbTrailer, SECBUFFER_STREAM_TRAILER, message + length},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc description = {SECBUFFER_VERSION, 4, buffers};
    SECURITY_STATUS status = EncryptMessage(&session->context, 0, &description, 0);
    if (status != SEC_E_OK) {
        return breakSession(session, status);
    }
    std::size_t total = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
    if ((deadline != nullptr && limitNextSend(session, deadline) != 0) ||
        sendBytes(session->socket, session->output, total) != 0) {
        // Half a record may have gone out, and a peer that takes no more in time would only
        // hold up a close_notify as well: the stream cannot go on.
        markBroken(session, SEC_E_INTERNAL_ERROR);
        return -1;
    }
    return 0;
}

int sendTlsBytes(TlsSession* session, const char* data, std::size_t length) {
    if (session->failure != SEC_E_OK) {
        return failWithSecurityStatus(session->failure);
    }
    // SECURITY: the socket's send timeout bounds the whole call, as it does on the other
    // platform: a client that reads slowly must not hold a step for a limit per record.
    SendDeadline deadline = {monotonicMilliseconds(), kNoDeadlineYet, 0};
    int result = 0;
    for (bool isFirst = true; length > 0 && result == 0; isFirst = false) {
        std::size_t piece =
            length < session->sizes.cbMaximumMessage ? length : session->sizes.cbMaximumMessage;
        result = sendRecord(session, data, piece, isFirst ? nullptr : &deadline);
        data += piece;
        length -= piece;
    }
    if (deadline.limit > 0 && deadline.carried != deadline.limit) {
        // The caller's own limit again, as the caller set it; a socket that refuses it fails
        // its next call anyway.
        (void)setSendTimeout(session->socket, static_cast<int>(deadline.limit));
    }
    return result;
}

// Moves the encrypted bytes still waiting to the start of the input, once the decrypted ones
// before them are handed out.
static void compactInput(TlsSession* session) {
    if (session->pendingStart > 0) {
        std::memmove(session->input, session->input + session->pendingStart,
                     session->inputLength - session->pendingStart);
        session->inputLength -= session->pendingStart;
        session->pendingStart = 0;
    }
}

// A TLS 1.3 post-handshake message (a key update, a ticket) goes back to AcceptSecurityContext
// with whatever came after it, as the documentation asks; records then go on. Returns 0, or -1
// with the error set and the session broken.
static int acceptPostHandshake(TlsSession* session, const SecBuffer* buffers, int count) {
    std::size_t extra = 0;
    for (int i = 0; i < count; i++) {
        if (buffers[i].BufferType == SECBUFFER_EXTRA) {
            extra = buffers[i].cbBuffer;
        }
    }
    session->inputLength = keepUnreadBytes(session->input, session->inputLength, extra);
    if (runTlsHandshake(session) != 0 || prepareTlsRecords(session) != 0) {
        markBroken(session, SEC_E_INTERNAL_ERROR);  // this call reports the step's own error
        return -1;
    }
    return 0;
}

// Points plain at the record DecryptMessage decrypted in place; the bytes after it (its
// SECBUFFER_EXTRA) wait in the input for the next one.
static void takeDecryptedRecord(TlsSession* session, const SecBuffer* buffers, int count) {
    session->pendingStart = session->inputLength;
    for (int i = 0; i < count; i++) {
        if (buffers[i].BufferType == SECBUFFER_DATA) {
            session->plain = static_cast<char*>(buffers[i].pvBuffer);
            session->plainLength = buffers[i].cbBuffer;
        } else if (buffers[i].BufferType == SECBUFFER_EXTRA &&
                   buffers[i].cbBuffer <= session->inputLength) {
            session->pendingStart = session->inputLength - buffers[i].cbBuffer;
        }
    }
}

// Waits until the socket has more to receive, up to *deadline (none when 0), which the first
// wait for a record takes from the socket's receive timeout, counted from started, when the
// record's first receive began. The record's first receive needs no wait unless a watch is
// set: the socket's own timeout is all of the deadline then. Returns 0, or -1 with the error
// set: kInterrupted's when the watch had something first.
static int waitForInput(TlsSession* session, bool isFirstReceive, long long started,
                        long long* deadline) {
    if (isFirstReceive && session->watch == kNoSocket) {
        return 0;
    }
    if (*deadline == kNoDeadlineYet) {
        long long timeout = socketTimeoutOf(session->socket, SO_RCVTIMEO);
        *deadline = timeout > 0 ? started + timeout : 0;
    }
    if (*deadline == 0 && session->watch == kNoSocket) {
        return 0;  // the receive itself waits, without a limit
    }
    long long remaining = -1;  // no limit
    if (*deadline != 0) {
        remaining = *deadline - monotonicMilliseconds();
        if (remaining <= 0) {
            return failWithRuntimeError(ETIMEDOUT);
        }
    }
    int ready = waitForEither(session->socket, false, session->watch, static_cast<int>(remaining));
    if (ready == 2) {
        return failWithRuntimeError(EINTR);  // kInterrupted: the caller looks at the watch first
    }
    if (ready == 0) {
        return failWithRuntimeError(ETIMEDOUT);
    }
    return ready > 0 ? 0 : -1;
}

// Decrypts the next record in the input, receiving until one is complete. Returns 1 with plain
// set (maybe empty), 0 for the peer's close_notify, or -1 with the error set.
static int decryptNextRecord(TlsSession* session) {
    compactInput(session);
    // SECURITY: the receive timeout bounds the whole record, not each receive within it: a peer
    // that trickles a record a byte at a time must not stretch a limit by the record's length.
    // The record's first receive has the socket's own timeout, which is all of it, and needs
    // no wait before it unless a watch is set; most records come whole in that one.
    long long started = monotonicMilliseconds();
    long long deadline = kNoDeadlineYet;
    for (bool isFirstReceive = true;; isFirstReceive = false) {
        SECURITY_STATUS status = SEC_E_INCOMPLETE_MESSAGE;
        SecBuffer buffers[4] = {
            {static_cast<unsigned long>(session->inputLength), SECBUFFER_DATA, session->input},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc description = {SECBUFFER_VERSION, 4, buffers};
        if (session->inputLength > 0) {
            status = DecryptMessage(&session->context, &description, 0, nullptr);
        }
        switch (nextRecordStep(status, session->isTls13)) {
            case RecordNext::kData:
                takeDecryptedRecord(session, buffers, 4);
                return 1;
            case RecordNext::kClosed:
                session->peerClosed = true;
                return 0;
            case RecordNext::kPostHandshake:
                if (acceptPostHandshake(session, buffers, 4) != 0) {
                    return -1;
                }
                // Counted as a record without content, so that a peer sending nothing else
                // cannot keep a receive going.
                session->plainLength = 0;
                return 1;
            case RecordNext::kBroken:
                // Any other status is a record altered, cut or out of order.
                return breakSession(session, status);
            case RecordNext::kReceive:
                break;
        }
        if (waitForInput(session, isFirstReceive, started, &deadline) != 0 ||
            receiveTlsInput(session) != 0) {
            // A wait that ran out or was cut short by the watch took nothing from the stream:
            // the record goes on with the next call.
            if (!isLastError(ErrorKind::kTimedOut) && !isLastError(ErrorKind::kInterrupted)) {
                markBroken(session, SEC_E_INCOMPLETE_MESSAGE);  // a stream cut within a record
            }
            return -1;
        }
    }
}

long long receiveTlsBytes(TlsSession* session, char* buffer, std::size_t size) {
    if (session->peerClosed) {
        return 0;
    }
    if (session->failure != SEC_E_OK) {
        return failWithSecurityStatus(session->failure);
    }
    for (int empty = 0; session->plainLength == 0; empty++) {
        if (empty == kEmptyRecordLimit) {
            return breakSession(session, SEC_E_ILLEGAL_MESSAGE);
        }
        int result = decryptNextRecord(session);
        if (result <= 0) {
            // SECURITY: an end of the connection without close_notify may be a cut that someone
            // else made; an upload that ends so is not complete, so it fails.
            return result;
        }
    }
    std::size_t count = size < session->plainLength ? size : session->plainLength;
    std::memcpy(buffer, session->plain, count);
    session->plain += count;
    session->plainLength -= count;
    return static_cast<long long>(count);
}

bool hasReceivedTlsBytes(TlsSession* session) {
    return session->plainLength > 0 || session->pendingStart < session->inputLength;
}

// Makes our close_notify and sends it, without waiting for the peer's.
static void sendCloseNotify(TlsSession* session) {
    DWORD shutdown = SCHANNEL_SHUTDOWN;
    SecBuffer control = {sizeof shutdown, SECBUFFER_TOKEN, &shutdown};
    SecBufferDesc controlDescription = {SECBUFFER_VERSION, 1, &control};
    if (ApplyControlToken(&session->context, &controlDescription) != SEC_E_OK) {
        return;
    }
    SecBuffer output = {0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outputDescription = {SECBUFFER_VERSION, 1, &output};
    unsigned long attributes = 0;
    SECURITY_STATUS status =
        AcceptSecurityContext(session->credentials, &session->context, nullptr, kAcceptFlags, 0,
                              &session->context, &outputDescription, &attributes, nullptr);
    if (FAILED(status) && output.pvBuffer != nullptr) {
        (void)FreeContextBuffer(output.pvBuffer);
        return;
    }
    (void)sendHandshakeToken(session, &output);  // a connection gone already has nothing to say
}

void endTlsSession(TlsSession* session) {
    if (session == nullptr) {
        return;
    }
    if (session->failure == SEC_E_OK) {
        sendCloseNotify(session);
    }
    releaseTlsSession(session);
}

// Only the waits for records watch: a send goes out whole or breaks the session (Schannel
// cannot take a record back), and a TLS 1.3 post-handshake message, cut short, would break it
// too; both keep the socket's own timeout.
void watchDuringTlsWaits(TlsSession* session, SocketHandle watch) {
    session->watch = watch;
}
