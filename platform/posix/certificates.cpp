// platform/posix/certificates.cpp: the credentials of TLS as the server with OpenSSL, made at
// start-up: a PEM file's certificate, chain and key, or a self-signed certificate.
#include "platform/platform.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdio>
#include <new>

#include "platform/posix/internal.h"

// A self-signed certificate lasts this long; clients that pin it compare its fingerprint.
constexpr long kSelfSignedSeconds = 10L * 365 * 24 * 3600;

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

static X509* makeSelfSigned(EVP_PKEY* key) {
    X509* certificate = X509_new();
    unsigned char serial[8];
    if (certificate == nullptr || RAND_bytes(serial, sizeof serial) != 1) {
        X509_free(certificate);
        return nullptr;
    }
    serial[0] &= 0x7f;  // a positive serial number
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    X509_NAME* name = X509_get_subject_name(certificate);
    bool made = number != nullptr && X509_set_version(certificate, 2) == 1 &&
                BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate)) != nullptr &&
                X509_gmtime_adj(X509_getm_notBefore(certificate), -3600) != nullptr &&
                X509_gmtime_adj(X509_getm_notAfter(certificate), kSelfSignedSeconds) != nullptr &&
                X509_set_pubkey(certificate, key) == 1 &&
                X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                           reinterpret_cast<const unsigned char*>("tarnLoader"),
                                           -1, -1, 0) == 1 &&
                X509_set_issuer_name(certificate, name) == 1 &&
                X509_sign(certificate, key, EVP_sha256()) > 0;
    BN_free(number);
    if (!made) {
        X509_free(certificate);
        return nullptr;
    }
    return certificate;
}

// Puts a new key and a self-signed certificate for it into context.
static bool useSelfSigned(SSL_CTX* context) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = key != nullptr ? makeSelfSigned(key) : nullptr;
    bool used = certificate != nullptr && SSL_CTX_use_certificate(context, certificate) == 1 &&
                SSL_CTX_use_PrivateKey(context, key) == 1;
    X509_free(certificate);
    EVP_PKEY_free(key);
    return used;
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

// A server context for TLS 1.2 and 1.3 with OpenSSL's default (recommended) cipher suites.
static SSL_CTX* newServerContext() {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) {
        return nullptr;
    }
    // One context serves every connection, so the data connections may resume the control
    // connection's session; the id context names whose sessions they are.
    static const unsigned char kSessionContext[] = "tarnLoader";
    if (SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_session_id_context(context, kSessionContext, sizeof kSessionContext - 1) !=
            1) {
        SSL_CTX_free(context);
        return nullptr;
    }
    (void)SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_SERVER);  // returns the old
    return context;
}

TlsCredentials* loadTlsCredentials(const char* pemPath, char* fingerprint,
                                   std::size_t fingerprintSize, char* reason,
                                   std::size_t reasonSize) {
    SSL_CTX* context = newServerContext();
    if (context == nullptr) {
        writeReason(reason, reasonSize, "TLS is not available");
        return nullptr;
    }
    bool loaded;
    if (pemPath == nullptr) {
        loaded = useSelfSigned(context);
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
    if (loaded && !writeFingerprint(context, fingerprint, fingerprintSize)) {
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

