// platform/posix/tls.cpp: TLS as the server with OpenSSL: one session for each protected
// connection, with the credentials of certificates.cpp.
#include "platform/platform.h"

#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/posix/internal.h"

// The size of a control connection's own session id context: random, so that no other
// connection's session can be resumed on its data connections.
constexpr std::size_t kSessionContextSize = 16;

struct TlsSession {
    SSL* connection;
    unsigned char sessionContext[kSessionContextSize];
};

// Records why an OpenSSL call on a connection failed: a receive or send timeout as kTimedOut,
// the socket's own error, or a protocol failure.
static int failTls(SSL* connection, int result) {
    int error = SSL_get_error(connection, result);
    int systemError = errno;
    ERR_clear_error();
    // On our blocking sockets only their time limit makes OpenSSL ask to be called again.
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ||
        (error == SSL_ERROR_SYSCALL && (systemError == EAGAIN || systemError == EWOULDBLOCK))) {
        return fail(ETIMEDOUT);
    }
    if (error == SSL_ERROR_SYSCALL && systemError != 0) {
        return fail(systemError);
    }
    return fail(error == SSL_ERROR_ZERO_RETURN ? ECONNRESET : EPROTO);
}

TlsSession* startTlsSession(TlsCredentials* credentials, SocketHandle socket,
                            const TlsSession* control) {
    TlsSession* session = new (std::nothrow) TlsSession{};
    if (session == nullptr) {
        fail(ENOMEM);
        return nullptr;
    }
    // SECURITY: OpenSSL resumes a session only on a connection with the id context it was made
    // with. Each control connection has a random one of its own, which its data connections
    // share, so another client's session (or a program's beside the client) cannot pass for
    // this client's on its data connection.
    bool hasContext = true;
    if (control != nullptr) {
        std::memcpy(session->sessionContext, control->sessionContext, kSessionContextSize);
    } else {
        hasContext = RAND_bytes(session->sessionContext, kSessionContextSize) == 1;
    }
    SSL* connection = hasContext ? SSL_new(credentials->context) : nullptr;
    if (connection == nullptr || SSL_set_fd(connection, static_cast<int>(socket)) != 1 ||
        SSL_set_session_id_context(connection, session->sessionContext, kSessionContextSize) !=
            1 ||
        (control != nullptr && SSL_set_num_tickets(connection, 0) != 1)) {
        SSL_free(connection);
        delete session;
        ERR_clear_error();
        fail(ENOMEM);
        return nullptr;
    }
    errno = 0;
    int result = SSL_accept(connection);
    if (result != 1) {
        failTls(connection, result);
        SSL_free(connection);
        delete session;
        return nullptr;
    }
    // SECURITY: a session made on a data connection is no control connection's, yet it has
    // the id context: were it kept, whoever made it could resume it on a later transfer.
    if (control != nullptr && SSL_session_reused(connection) != 1) {
        (void)SSL_CTX_remove_session(credentials->context, SSL_get0_session(connection));
    }
    session->connection = connection;
    return session;
}

bool isResumedTlsSession(const TlsSession* session) {
    return SSL_session_reused(session->connection) == 1;
}

int sendTlsBytes(TlsSession* session, const char* data, std::size_t length) {
    while (length > 0) {
        std::size_t written = 0;
        errno = 0;
        int result = SSL_write_ex(session->connection, data, length, &written);
        if (result != 1) {
            return failTls(session->connection, result);
        }
        data += written;
        length -= written;
    }
    return 0;
}

long long receiveTlsBytes(TlsSession* session, char* buffer, std::size_t size) {
    std::size_t count = 0;
    errno = 0;
    int result = SSL_read_ex(session->connection, buffer, size, &count);
    if (result == 1) {
        return static_cast<long long>(count);
    }
    if (SSL_get_error(session->connection, result) == SSL_ERROR_ZERO_RETURN) {
        ERR_clear_error();
        return 0;  // the peer's close_notify
    }
    // SECURITY: an end of the connection without close_notify may be a cut that someone else
    // made; an upload that ends so is not complete.
    return failTls(session->connection, result);
}

bool hasReceivedTlsBytes(TlsSession* session) {
    return SSL_has_pending(session->connection) == 1;
}

void endTlsSession(TlsSession* session) {
    if (session == nullptr) {
        return;
    }
    // Our close_notify alone: the caller's close of the socket follows, and waiting for the
    // peer's answer would only cost time.
    (void)SSL_shutdown(session->connection);  // a connection gone already has nothing to say
    ERR_clear_error();
    SSL_free(session->connection);
    delete session;
}
