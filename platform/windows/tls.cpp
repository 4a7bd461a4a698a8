// platform/windows/tls.cpp: TLS as the server with Schannel: one session for each protected
// connection, over the blocking socket, with the credentials of certificates.cpp.
#include "platform/platform.h"

#include <winsock2.h>

#include <windows.h>
// TLS_PARAMETERS, the way to name the protocols on current Windows, needs UNICODE_STRING.
#include <subauth.h>
#define SCHANNEL_USE_BLACKLISTS
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/windows/internal.h"
#include "platform/windows/tls_steps.h"

struct TlsSession {
    SocketHandle socket;
    SocketHandle watch;  // a socket whose bytes end a wait for records (watchDuringTlsWaits)
    CredHandle* credentials;
    CtxtHandle context;
    bool hasContext;
    bool peerClosed;  // the peer's close_notify came: every receive reads the end
    bool isTls13;     // Schannel then reports post-handshake messages as SEC_I_RENEGOTIATE
    // The session as the handshake left it; a data connection's is held to its control's.
    SessionFacts facts;
    bool resumed;  // isResumedTlsSession's answer
    // Not SEC_E_OK after a failure: nothing more is decrypted or encrypted then, and no
    // close_notify goes out.
    SECURITY_STATUS failure;
    SecPkgContext_StreamSizes sizes;
    // Records as they arrived. Each is decrypted in place: plain points at the decrypted bytes
    // not yet handed out, and the bytes from pendingStart to inputLength wait for decryption.
    char* input;
    std::size_t inputSize;
    std::size_t inputLength;
    std::size_t pendingStart;
    char* plain;
    std::size_t plainLength;
    char* output;  // one record's header, message and trailer
};

// The largest TLS record: a header of 5 bytes, 2^14 bytes of content, and the 2048 bytes that
// protection may add to them (RFC 5246; TLS 1.3 allows 256).
constexpr std::size_t kLargestRecord = 5 + 16384 + kRecordExpansion;
// The handshake input holds one record, or one flight of them, at a time.
constexpr std::size_t kHandshakeInputSize = 2 * kLargestRecord;
// A handshake takes a few rounds of messages, a few receives each; a peer that trickles bytes
// gets no more than this many.
constexpr int kHandshakeReceiveLimit = 64;
// Records without content in a row (OpenSSL refuses more than 32): a peer that sends only
// empty records would otherwise keep a receive going without end.
constexpr int kEmptyRecordLimit = 32;

constexpr unsigned long kAcceptFlags = ASC_REQ_SEQUENCE_DETECT | ASC_REQ_REPLAY_DETECT |
                                       ASC_REQ_CONFIDENTIALITY | ASC_REQ_EXTENDED_ERROR |
                                       ASC_REQ_ALLOCATE_MEMORY | ASC_REQ_STREAM;

// ---------------------------------------------------------------------------------------------
// Credentials: Schannel's handle.

// Every protocol but TLS 1.2 and 1.3, for the form that names the disabled ones.
constexpr DWORD kDisabledProtocols = SP_PROT_SSL2 | SP_PROT_SSL3 | SP_PROT_TLS1_0 | SP_PROT_TLS1_1;

static SECURITY_STATUS acquireWith(void* authenticationData, CredHandle* out) {
    return AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W),
                                     SECPKG_CRED_INBOUND, nullptr, authenticationData, nullptr,
                                     nullptr, out, nullptr);
}

// TLS 1.2 and 1.3 with the system's recommended cipher suites (SCH_USE_STRONG_CRYPTO leaves out
// those it knows to be weak), and flags besides. SCH_CREDENTIALS is the form that offers TLS
// 1.3; Windows before 10 1809 knows only SCHANNEL_CRED, and some of those only TLS 1.2 in it.
long acquireServerCredentials(const void* certificateContext, unsigned long flags, void* handle) {
    PCCERT_CONTEXT certificate = static_cast<PCCERT_CONTEXT>(certificateContext);
    CredHandle* out = static_cast<CredHandle*>(handle);
    PCCERT_CONTEXT certificates[1] = {certificate};
    TLS_PARAMETERS parameters;
    std::memset(&parameters, 0, sizeof parameters);
    parameters.grbitDisabledProtocols = kDisabledProtocols;
    SCH_CREDENTIALS current;
    std::memset(&current, 0, sizeof current);
    current.dwVersion = SCH_CREDENTIALS_VERSION;
    current.cCreds = 1;
    current.paCred = certificates;
    current.dwFlags = SCH_USE_STRONG_CRYPTO | flags;
    current.cTlsParameters = 1;
    current.pTlsParameters = &parameters;
    SECURITY_STATUS status = acquireWith(&current, out);
    if (status == SEC_E_OK) {
        return status;
    }
    SCHANNEL_CRED older;
    std::memset(&older, 0, sizeof older);
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.cCreds = 1;
    older.paCred = certificates;
    older.dwFlags = SCH_USE_STRONG_CRYPTO | flags;
    older.grbitEnabledProtocols = SP_PROT_TLS1_2_SERVER | SP_PROT_TLS1_3_SERVER;
    status = acquireWith(&older, out);
    if (status != SEC_E_OK) {
        older.grbitEnabledProtocols = SP_PROT_TLS1_2_SERVER;
        status = acquireWith(&older, out);
    }
    return status;
}

// ---------------------------------------------------------------------------------------------
// Sessions: the handshake.

// Sends what Schannel wrote into token (a handshake flight or an alert) and frees it.
static int sendToken(TlsSession* session, SecBuffer* token) {
    int result = 0;
    if (token->pvBuffer != nullptr && token->cbBuffer > 0) {
        result =
            sendBytes(session->socket, static_cast<const char*>(token->pvBuffer), token->cbBuffer);
    }
    if (token->pvBuffer != nullptr) {
        (void)FreeContextBuffer(token->pvBuffer);  // frees Schannel's own allocation
        token->pvBuffer = nullptr;
    }
    return result;
}

// Keeps the bytes that Schannel left unread at the end of the input for the next call.
static void keepExtraInput(TlsSession* session, const SecBuffer* extra) {
    session->inputLength =
        extra->BufferType == SECBUFFER_EXTRA
            ? keepUnreadBytes(session->input, session->inputLength, extra->cbBuffer)
            : 0;
}

// Receives more of the peer's records into the input. Returns 0, or -1 with the error set: the
// socket's, or a cut stream when the peer has closed its side.
static int receiveInput(TlsSession* session) {
    // SECURITY: the input never grows; a record larger than it can hold is no record.
    if (session->inputLength >= session->inputSize) {
        return failWithSecurityStatus(SEC_E_ILLEGAL_MESSAGE);
    }
    long long count = receiveBytes(session->socket, session->input + session->inputLength,
                                   session->inputSize - session->inputLength);
    if (count < 0) {
        return -1;
    }
    if (count == 0) {
        return failWithSecurityStatus(
            SEC_E_INCOMPLETE_MESSAGE);  // the stream ended within a message
    }
    session->inputLength += static_cast<std::size_t>(count);
    return 0;
}

// One AcceptSecurityContext step over the input received so far; the reply goes out at once.
// *sendFailed tells a reply that could not be sent, with the socket's error set.
static SECURITY_STATUS acceptStep(TlsSession* session, bool* sendFailed) {
    SecBuffer inputs[2] = {
        {static_cast<unsigned long>(session->inputLength), SECBUFFER_TOKEN, session->input},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inputDescription = {SECBUFFER_VERSION, 2, inputs};
    SecBuffer outputs[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
    SecBufferDesc outputDescription = {SECBUFFER_VERSION, 2, outputs};
    unsigned long attributes = 0;
    SECURITY_STATUS status = AcceptSecurityContext(
        session->credentials, session->hasContext ? &session->context : nullptr, &inputDescription,
        kAcceptFlags, 0, &session->context, &outputDescription, &attributes, nullptr);
    // Every success leaves a context, also one that asks for completion: it must be passed to
    // each later call and deleted at the end. A failure of the first call leaves none.
    if (!FAILED(status)) {
        session->hasContext = true;
    }
    if (needsCompletion(status)) {
        SECURITY_STATUS completed = CompleteAuthToken(&session->context, &outputDescription);
        status = completed == SEC_E_OK ? statusAfterCompletion(status) : completed;
    }
    *sendFailed = sendToken(session, &outputs[0]) != 0 && !FAILED(status);
    // On a failure the alert tells the peer why; it may not arrive, and the failure stands.
    if (FAILED(status)) {
        (void)sendToken(session, &outputs[1]);
    } else if (outputs[1].pvBuffer != nullptr) {
        (void)FreeContextBuffer(outputs[1].pvBuffer);
    }
    if (status != SEC_E_INCOMPLETE_MESSAGE) {
        keepExtraInput(session, &inputs[1]);
    }
    return status;
}

// The time limit the caller gave the socket for option (SO_RCVTIMEO or SO_SNDTIMEO) in
// milliseconds, 0 when it has none.
static long long timeoutOf(SocketHandle socket, int option) {
    DWORD timeout = 0;
    int size = sizeof timeout;
    if (getsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, option,
                   reinterpret_cast<char*>(&timeout), &size) != 0) {
        return 0;
    }
    return static_cast<long long>(timeout);
}

// A deadline or limit not worked out yet: most records need no wait, and then none.
constexpr long long kNoDeadlineYet = -1;

// Runs the handshake to its end, from the bytes already in the input (a TLS 1.3
// post-handshake message) or from the first receive. Returns 0, or -1 with the error set.
static int runHandshake(TlsSession* session) {
    // A peer that trickles its handshake a byte at a time gets the receive timeout for the
    // whole of it (and the one receive under way), not for each piece.
    long long timeout = timeoutOf(session->socket, SO_RCVTIMEO);
    long long deadline = timeout > 0 ? monotonicMilliseconds() + timeout : 0;
    bool needInput = session->inputLength == 0;
    for (int receives = 0;;) {
        if (needInput) {
            if (receives++ == kHandshakeReceiveLimit ||
                (deadline != 0 && monotonicMilliseconds() >= deadline)) {
                return failWithRuntimeError(ETIMEDOUT);  // a peer that never finishes
            }
            if (receiveInput(session) != 0) {
                return -1;
            }
        }
        bool sendFailed = false;
        std::size_t offered = session->inputLength;
        SECURITY_STATUS status = acceptStep(session, &sendFailed);
        if (sendFailed) {
            return -1;
        }
        HandshakeNext next = nextHandshakeStep(status, offered, session->inputLength);
        if (next == HandshakeNext::kDone) {
            return 0;
        }
        if (next == HandshakeNext::kFail) {
            return failWithSecurityStatus(status);
        }
        needInput = next == HandshakeNext::kReceive;
    }
}

// Sizes the record buffers from the session's stream sizes, after the handshake and after each
// post-handshake message; the input keeps what came after the last handshake message.
static int prepareRecords(TlsSession* session) {
    SecPkgContext_ConnectionInfo connection;
    SECURITY_STATUS status =
        QueryContextAttributesW(&session->context, SECPKG_ATTR_STREAM_SIZES, &session->sizes);
    if (status == SEC_E_OK) {
        status =
            QueryContextAttributesW(&session->context, SECPKG_ATTR_CONNECTION_INFO, &connection);
    }
    if (status != SEC_E_OK) {
        return failWithSecurityStatus(status);
    }
    session->isTls13 = (connection.dwProtocol & SP_PROT_TLS1_3) != 0;
    RecordLayout layout = {session->sizes.cbHeader, session->sizes.cbMaximumMessage,
                           session->sizes.cbTrailer};
    std::size_t inputSize = recordInputSize(layout, session->inputLength);
    char* resized = static_cast<char*>(std::realloc(session->input, inputSize));
    if (resized == nullptr) {
        return failWithRuntimeError(ENOMEM);
    }
    session->input = resized;
    session->inputSize = inputSize;
    std::free(session->output);
    session->output = static_cast<char*>(std::malloc(recordOutputSize(layout)));
    if (session->output == nullptr) {
        return failWithRuntimeError(ENOMEM);
    }
    session->pendingStart = 0;
    return 0;
}

static void releaseSession(TlsSession* session) {
    if (session->hasContext) {
        (void)DeleteSecurityContext(&session->context);  // nothing to do about a failure
    }
    std::free(session->input);
    std::free(session->output);
    delete session;
}

// Notes which session the handshake left, and for a data connection whether it resumed its
// control connection's. A query that fails leaves no id, so such a data connection is refused:
// without the query not even Schannel's "resumed" is known.
static void noteSession(TlsSession* session, const TlsSession* control) {
    SecPkgContext_SessionInfo information;
    std::memset(&information, 0, sizeof information);
    static_assert(sizeof information.rgbSessionId == kSessionIdSize, "the id's array");
    SessionFacts* facts = &session->facts;
    facts->isTls13 = session->isTls13;
    if (QueryContextAttributesW(&session->context, SECPKG_ATTR_SESSION_INFO, &information) ==
        SEC_E_OK) {
        facts->resumed = (information.dwFlags & SSL_SESSION_RECONNECT) != 0;
        facts->idLength = information.cbSessionId;
        std::memcpy(facts->id, information.rgbSessionId, sizeof facts->id);
    }
    session->resumed = control != nullptr ? isResumptionOf(*facts, control->facts) : facts->resumed;
}

TlsSession* startTlsSession(TlsCredentials* credentials, SocketHandle socket,
                            const TlsSession* control) {
    TlsSession* session = new (std::nothrow) TlsSession{};
    if (session == nullptr) {
        failWithRuntimeError(ENOMEM);
        return nullptr;
    }
    session->socket = socket;
    session->watch = kNoSocket;
    session->credentials = static_cast<CredHandle*>(credentialHandleOf(credentials));
    session->inputSize = kHandshakeInputSize;
    session->input = static_cast<char*>(std::malloc(session->inputSize));
    if (session->input == nullptr) {
        failWithRuntimeError(ENOMEM);
        releaseSession(session);
        return nullptr;
    }
    if (runHandshake(session) != 0 || prepareRecords(session) != 0) {
        releaseSession(session);  // records no error, so the reason stays
        return nullptr;
    }
    noteSession(session, control);
    return session;
}

bool isResumedTlsSession(const TlsSession* session) {
    return session->resumed;
}

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
        deadline->limit = timeoutOf(session->socket, SO_SNDTIMEO);
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
    if (runHandshake(session) != 0 || prepareRecords(session) != 0) {
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
        long long timeout = timeoutOf(session->socket, SO_RCVTIMEO);
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
            receiveInput(session) != 0) {
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
    (void)sendToken(session, &output);  // a connection gone already has nothing to say
}

void endTlsSession(TlsSession* session) {
    if (session == nullptr) {
        return;
    }
    if (session->failure == SEC_E_OK) {
        sendCloseNotify(session);
    }
    releaseSession(session);
}

// Only the waits for records watch: a send goes out whole or breaks the session (Schannel
// cannot take a record back), and a TLS 1.3 post-handshake message, cut short, would break it
// too; both keep the socket's own timeout.
void watchDuringTlsWaits(TlsSession* session, SocketHandle watch) {
    session->watch = watch;
}
