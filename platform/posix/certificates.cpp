// platform/posix/certificates.cpp: the credentials of TLS as the server with OpenSSL, made at
// start-up: a PEM file's certificate, chain and key, or a self-signed certificate
// (self_signed.cpp), and the session tickets' rules.
#include "platform/platform.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "platform/posix/internal.h"

// Writes OpenSSL's reason for the last failure, or fallback when it has none. A file that could
// not be opened is told by the system's reason ("No such file or directory"), which OpenSSL
// keeps beneath its own "system lib".
static void writeReason(char* reason, std::size_t reasonSize, const char* fallback) {
    unsigned long last = 0;
    int systemError = 0;
    for (unsigned long error = ERR_get_error(); error != 0; error = ERR_get_error()) {
        last = error;
        if (ERR_GET_LIB(error) == ERR_LIB_SYS && systemError == 0) {
            systemError = ERR_GET_REASON(error);
        }
    }
    char text[kTlsReasonSize];
    if (systemError != 0) {
        (void)fail(systemError);
        lastErrorText(text, sizeof text);
        std::snprintf(reason, reasonSize, "%s (%s)", fallback, text);
    } else if (last != 0) {
        ERR_error_string_n(last, text, sizeof text);
        std::snprintf(reason, reasonSize, "%s (%s)", fallback, text);
    } else {
        std::snprintf(reason, reasonSize, "%s", fallback);
    }
}

static bool writeFingerprint(SSL_CTX* context, char* out, std::size_t outSize) {
    X509* certificate = SSL_CTX_get0_certificate(context);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (certificate == nullptr || X509_digest(certificate, EVP_sha256(), digest, &length) != 1 ||
        outSize < length * 3) {
        return false;
    }
    for (unsigned int i = 0; i < length; i++) {
        std::snprintf(out + i * 3, outSize - i * 3, i + 1 < length ? "%02X:" : "%02X", digest[i]);
    }
    return true;
}

// What a session ticket carries about the connection its session was made on. Data connections
// get no TLS 1.3 tickets (tls.cpp), but TLS 1.2 hands one out on every handshake.
constexpr unsigned char kMadeOnControl = 'c';
constexpr unsigned char kMadeOnData = 'd';

// Marks a new ticket with where its session was made; a ticket renewed on resumption keeps its
// mark. Data connections are the ones that give no TLS 1.3 tickets.
static int markTicket(SSL* connection, void*) {
    SSL_SESSION* session = SSL_get0_session(connection);
    void* data = nullptr;
    std::size_t length = 0;
    if (SSL_SESSION_get0_ticket_appdata(session, &data, &length) == 1 && length > 0) {
        return 1;
    }
    unsigned char mark = SSL_get_num_tickets(connection) == 0 ? kMadeOnData : kMadeOnControl;
    return SSL_SESSION_set1_ticket_appdata(session, &mark, sizeof mark);
}

// SECURITY: only a session made on a control connection is resumed. A session that a program
// made on a data connection in the client's place carries that connection's id context too,
// and resuming it later would let that program pass for the client.
static SSL_TICKET_RETURN takeTicket(SSL*, SSL_SESSION* session, const unsigned char*,
                                    std::size_t, SSL_TICKET_STATUS status, void*) {
    if (status == SSL_TICKET_FATAL_ERR_MALLOC || status == SSL_TICKET_FATAL_ERR_OTHER) {
        return SSL_TICKET_RETURN_ABORT;
    }
    void* data = nullptr;
    std::size_t length = 0;
    if ((status != SSL_TICKET_SUCCESS && status != SSL_TICKET_SUCCESS_RENEW) ||
        SSL_SESSION_get0_ticket_appdata(session, &data, &length) != 1 || length != 1 ||
        *static_cast<unsigned char*>(data) != kMadeOnControl) {
        return SSL_TICKET_RETURN_IGNORE_RENEW;  // a new handshake, as for an unknown ticket
    }
    return status == SSL_TICKET_SUCCESS ? SSL_TICKET_RETURN_USE : SSL_TICKET_RETURN_USE_RENEW;
}

// "sha256//" and the base64 of the SHA-256 of the certificate's public key (its DER
// SubjectPublicKeyInfo), as curl's --pinnedpubkey takes it.
static bool writePublicKeyPin(SSL_CTX* context, char* out, std::size_t outSize) {
    X509* certificate = SSL_CTX_get0_certificate(context);
    EVP_PKEY* key = certificate != nullptr ? X509_get0_pubkey(certificate) : nullptr;
    unsigned char* encoded = nullptr;
    int length = key != nullptr ? i2d_PUBKEY(key, &encoded) : -1;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    bool hashed = length > 0 && EVP_Digest(encoded, static_cast<std::size_t>(length), digest,
                                           &digestLength, EVP_sha256(), nullptr) == 1;
    OPENSSL_free(encoded);
    static const char kPrefix[] = "sha256//";
    // Base64 takes four characters for every three bytes begun; sizeof kPrefix counts the
    // terminator.
    if (!hashed || outSize < sizeof kPrefix + (digestLength + 2) / 3 * 4) {
        return false;
    }
    std::memcpy(out, kPrefix, sizeof kPrefix - 1);
    (void)EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out + sizeof kPrefix - 1), digest,
                          static_cast<int>(digestLength));
    return true;
}

// A server context for TLS 1.2 and 1.3 with OpenSSL's default (recommended) cipher suites.
static SSL_CTX* newServerContext() {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) {
        return nullptr;
    }
    // One context serves every connection, so that a data connection may resume its control
    // connection's session. Each control connection sets an id context of its own (tls.cpp);
    // this one only stands until then.
    static const unsigned char kSessionContext[] = "tarnLoader";
    if (SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_session_id_context(context, kSessionContext, sizeof kSessionContext - 1) !=
            1 ||
        SSL_CTX_set_session_ticket_cb(context, markTicket, takeTicket, nullptr) != 1) {
        SSL_CTX_free(context);
        return nullptr;
    }
    (void)SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_SERVER);  // returns the old
    return context;
}

TlsCredentials* loadTlsCredentials(const char* pemPath, TlsCertificateFacts* facts, char* reason,
                                   std::size_t reasonSize) {
    std::memset(facts, 0, sizeof *facts);
    SSL_CTX* context = newServerContext();
    if (context == nullptr) {
        writeReason(reason, reasonSize, "TLS is not available");
        return nullptr;
    }
    bool loaded;
    if (pemPath == nullptr) {
        loaded = useSelfSigned(context, facts);
        if (!loaded) {
            writeReason(reason, reasonSize, "a self-signed certificate could not be made");
        }
    } else {
        loaded = SSL_CTX_use_certificate_chain_file(context, pemPath) == 1;
        if (!loaded) {
            writeReason(reason, reasonSize, "no certificate could be read from the file");
        } else if (SSL_CTX_use_PrivateKey_file(context, pemPath, SSL_FILETYPE_PEM) != 1) {
            loaded = false;
            writeReason(reason, reasonSize, "no private key could be read from the file");
        } else if (SSL_CTX_check_private_key(context) != 1) {
            loaded = false;
            writeReason(reason, reasonSize, "the private key does not match the certificate");
        }
    }
    TlsCredentials* credentials = nullptr;
    if (loaded && (!writeFingerprint(context, facts->fingerprint, sizeof facts->fingerprint) ||
                   !writePublicKeyPin(context, facts->publicKeyPin, sizeof facts->publicKeyPin))) {
        writeReason(reason, reasonSize, "the certificate's fingerprint could not be taken");
    } else if (loaded) {
        credentials = new (std::nothrow) TlsCredentials{context};
        if (credentials == nullptr) {
            writeReason(reason, reasonSize, "out of memory");
        }
    }
    if (credentials == nullptr) {
        SSL_CTX_free(context);
    }
    return credentials;
}
