// platform/posix/tls.cpp: TLS as the server with OpenSSL: one session for each protected
// connection, with the credentials of certificates.cpp.
#include "platform/platform.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <new>

#include "platform/posix/internal.h"

struct TlsSession {
    SSL* connection;
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

TlsSession* startTlsSession(TlsCredentials* credentials, SocketHandle socket, bool resumable) {
    SSL* connection = SSL_new(credentials->context);
    if (connection == nullptr || SSL_set_fd(connection, static_cast<int>(socket)) != 1 ||
        (!resumable && SSL_set_num_tickets(connection, 0) != 1)) {
        SSL_free(connection);
        ERR_clear_error();
        fail(ENOMEM);
        return nullptr;
    }
    errno = 0;
    int result = SSL_accept(connection);
    if (result != 1) {
        failTls(connection, result);
        SSL_free(connection);
        return nullptr;
    }
    TlsSession* session = new (std::nothrow) TlsSession{connection};
    if (session == nullptr) {
        SSL_free(connection);
        fail(ENOMEM);
    }
    return session;
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
