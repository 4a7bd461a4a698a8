// platform/windows/tls.cpp: TLS as the server with Schannel: one session for each protected
// connection, over the blocking socket, with the credentials of certificates.cpp.
#include "platform/windows/tls_session.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/windows/internal.h"

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

int sendHandshakeToken(TlsSession* session, SecBuffer* token) {
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

int receiveTlsInput(TlsSession* session) {
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
    *sendFailed = sendHandshakeToken(session, &outputs[0]) != 0 && !FAILED(status);
    // On a failure the alert tells the peer why; it may not arrive, and the failure stands.
    if (FAILED(status)) {
        (void)sendHandshakeToken(session, &outputs[1]);
    } else if (outputs[1].pvBuffer != nullptr) {
        (void)FreeContextBuffer(outputs[1].pvBuffer);
    }
    if (status != SEC_E_INCOMPLETE_MESSAGE) {
        keepExtraInput(session, &inputs[1]);
    }
    return status;
}

long long socketTimeoutOf(SocketHandle socket, int option) {
    DWORD timeout = 0;
    int size = sizeof timeout;
    if (getsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, option,
                   reinterpret_cast<char*>(&timeout), &size) != 0) {
        return 0;
    }
    return static_cast<long long>(timeout);
}

int runTlsHandshake(TlsSession* session) {
    // A peer that trickles its handshake a byte at a time gets the receive timeout for the
    // whole of it (and the one receive under way), not for each piece.
    long long timeout = socketTimeoutOf(session->socket, SO_RCVTIMEO);
    long long deadline = timeout > 0 ? monotonicMilliseconds() + timeout : 0;
    bool needInput = session->inputLength == 0;
    for (int receives = 0;;) {
        if (needInput) {
            if (receives++ == kHandshakeReceiveLimit ||
                (deadline != 0 && monotonicMilliseconds() >= deadline)) {
                return failWithRuntimeError(ETIMEDOUT);  // a peer that never finishes
            }
            if (receiveTlsInput(session) != 0) {
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

int prepareTlsRecords(TlsSession* session) {
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

void releaseTlsSession(TlsSession* session) {
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
        releaseTlsSession(session);
        return nullptr;
    }
    if (runTlsHandshake(session) != 0 || prepareTlsRecords(session) != 0) {
        releaseTlsSession(session);  // records no error, so the reason stays
        return nullptr;
    }
    noteSession(session, control);
    return session;
}

bool isResumedTlsSession(const TlsSession* session) {
    return session->resumed;
}
