// platform/posix/tls.cpp: TLS as the server with OpenSSL: one session for each protected
// connection, with the credentials of certificates.cpp.
#include "platform/platform.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/posix/internal.h"

// The size of a control connection's own session id context: random, so that no other
// connection's session can be resumed on its data connections.
constexpr std::size_t kSessionContextSize = 16;

struct TlsSession {
    SSL* connection;
    int socket;
    int watch;  // a socket whose bytes end a wait (watchDuringTlsWaits); -1 for none
    unsigned char sessionContext[kSessionContextSize];
};

// Records why an OpenSSL call on a connection failed: a receive or send timeout as kTimedOut,
// the socket's own error, or a protocol failure.
static int failTls(SSL* connection, int result) {
    int error = SSL_get_error(connection, result);
    int systemError = errno;
    ERR_clear_error();
    // waitToRetry asks again until its deadline: a wish left over is that deadline passing.
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ||
        (error == SSL_ERROR_SYSCALL && (systemError == EAGAIN || systemError == EWOULDBLOCK))) {
        return fail(ETIMEDOUT);
    }
    if (error == SSL_ERROR_SYSCALL && systemError != 0) {
        return fail(systemError);
    }
    return fail(error == SSL_ERROR_ZERO_RETURN ? ECONNRESET : EPROTO);
}

// The time limit that the caller gave the socket for option (SO_RCVTIMEO or SO_SNDTIMEO), as
// the deadline of one whole TLS call; 0 for none.
static long long deadlineOf(int socket, int option) {
    struct timeval limit = {};
    socklen_t size = sizeof limit;
    if (getsockopt(socket, SOL_SOCKET, option, &limit, &size) != 0) {
        return 0;
    }
    long long milliseconds = limit.tv_sec * 1000LL + limit.tv_usec / 1000;
    return milliseconds > 0 ? monotonicMilliseconds() + milliseconds : 0;
}

// A deadline of a TLS call not worked out yet: most calls complete without a wait, and then
// need none.
constexpr long long kNoDeadlineYet = -1;

// After an OpenSSL call on the non-blocking socket did not complete: waits until the socket
// can go on, up to *deadline (none when 0), which the first wait of the call takes from the
// socket's time limit for option. Returns true to make the call again, false with the error
// set when it failed.
static bool waitToRetry(SSL* connection, int result, int socket, int option, long long* deadline,
                        int watch = -1) {
    int error = SSL_get_error(connection, result);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
        (void)failTls(connection, result);
        return false;
    }
    ERR_clear_error();
    if (*deadline == kNoDeadlineYet) {
        *deadline = deadlineOf(socket, option);
    }
    int timeout = -1;
    if (*deadline != 0) {
        long long remaining = *deadline - monotonicMilliseconds();
        if (remaining <= 0) {
            fail(ETIMEDOUT);
            return false;
        }
        timeout = static_cast<int>(remaining);
    }
    short events = error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
    struct pollfd entries[2] = {{socket, events, 0}, {watch, POLLIN, 0}};
    int ready = poll(entries, watch >= 0 ? 2 : 1, timeout);
    if (ready < 0 && errno != EINTR) {
        failWithErrno();
        return false;
    }
    if (ready == 0) {
        fail(ETIMEDOUT);
        return false;
    }
    if (watch >= 0 && entries[1].revents != 0) {
        fail(EINTR);  // kInterrupted: the caller looks at the watched socket first
        return false;
    }
    return true;  // ready, or a signal: the call tells which
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
        SSL_set_session_id_context(connection, session->sessionContext, kSessionContextSize) != 1 ||
        (control != nullptr && SSL_set_num_tickets(connection, 0) != 1)) {
        SSL_free(connection);
        delete session;
        ERR_clear_error();
        fail(ENOMEM);
        return nullptr;
    }
    // SECURITY: the socket's time limits bound each whole TLS call, not each receive or send
    // within it: a peer that trickles a record a byte at a time must not stretch a limit by
    // the record's length. So OpenSSL works on the socket without blocking, and waitToRetry
    // waits for it.
    int fd = static_cast<int>(socket);
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        failWithErrno();
        SSL_free(connection);
        delete session;
        return nullptr;
    }
    long long deadline = kNoDeadlineYet;
    int result;
    do {
        errno = 0;
        result = SSL_accept(connection);
    } while (result != 1 && waitToRetry(connection, result, fd, SO_RCVTIMEO, &deadline));
    if (result != 1) {
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
    session->socket = fd;
    session->watch = -1;
    return session;
}

bool isResumedTlsSession(const TlsSession* session) {
    return SSL_session_reused(session->connection) == 1;
}

int sendTlsBytes(TlsSession* session, const char* data, std::size_t length) {
    long long deadline = kNoDeadlineYet;
    while (length > 0) {
        std::size_t written = 0;
        errno = 0;
        int result = SSL_write_ex(session->connection, data, length, &written);
        if (result != 1) {
            // OpenSSL takes the same bytes again once the socket has room.
            if (waitToRetry(session->connection, result, session->socket, SO_SNDTIMEO, &deadline,
                            session->watch)) {
                continue;
            }
            return -1;
        }
        data += written;
        length -= written;
    }
    return 0;
}

long long receiveTlsBytes(TlsSession* session, char* buffer, std::size_t size) {
    long long deadline = kNoDeadlineYet;
    for (;;) {
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
        // SECURITY: an end of the connection without close_notify may be a cut that someone
        // else made; an upload that ends so is not complete, so it fails here.
        if (!waitToRetry(session->connection, result, session->socket, SO_RCVTIMEO, &deadline,
                         session->watch)) {
            return -1;
        }
    }
}

bool hasReceivedTlsBytes(TlsSession* session) {
    return SSL_has_pending(session->connection) == 1;
}

void endTlsSession(TlsSession* session) {
    if (session == nullptr) {
        return;
    }
    // Our close_notify alone: the caller's close of the socket follows, and waiting for the
    // peer's answer would only cost time. It may have to wait for room, as any send does.
    long long deadline = kNoDeadlineYet;
    int result;
    do {
        errno = 0;
        result = SSL_shutdown(session->connection);
    } while (result < 0 &&
             waitToRetry(session->connection, result, session->socket, SO_SNDTIMEO, &deadline));
    ERR_clear_error();  // a connection gone already has nothing to say
    SSL_free(session->connection);
    delete session;
}

void watchDuringTlsWaits(TlsSession* session, SocketHandle watch) {
    session->watch = static_cast<int>(watch);
}
