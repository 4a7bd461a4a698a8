// platform/posix/certificates.cpp: the credentials of TLS as the server with OpenSSL, made at
// start-up: a PEM file's certificate, chain and key, or a self-signed certificate.
#include "platform/platform.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "platform/posix/internal.h"
#include "platform/primitives.h"

static const char kKeptFileName[] = "self-signed.pem";

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
    bool made =
        number != nullptr && X509_set_version(certificate, 2) == 1 &&
        BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate)) != nullptr &&
        X509_gmtime_adj(X509_getm_notBefore(certificate), -kSelfSignedBackdateSeconds) != nullptr &&
        X509_gmtime_adj(X509_getm_notAfter(certificate), kSelfSignedSeconds) != nullptr &&
        X509_set_pubkey(certificate, key) == 1 &&
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("tarnLoader"), -1, -1,
                                   0) == 1 &&
        X509_set_issuer_name(certificate, name) == 1 &&
        X509_sign(certificate, key, EVP_sha256()) > 0;
    BN_free(number);
    if (!made) {
        X509_free(certificate);
        return nullptr;
    }
    return certificate;
}

// The folder of the kept self-signed certificate: $XDG_CONFIG_HOME/tarnLoader, or
// ~/.config/tarnLoader as the XDG rules have it. Returns 0, or -1 when neither gives an
// absolute path.
static int findKeptFolder(char* out, std::size_t outSize) {
    const char* config = std::getenv("XDG_CONFIG_HOME");  // start-up only: no other thread yet
    const char* home = std::getenv("HOME");
    int written = -1;
    // The XDG rules ignore a relative path, which would depend on where the server started.
    if (config != nullptr && config[0] == '/') {
        written = std::snprintf(out, outSize, "%s/tarnLoader", config);
    } else if (home != nullptr && home[0] == '/') {
        written = std::snprintf(out, outSize, "%s/.config/tarnLoader", home);
    } else {
        return fail(ENOENT);
    }
    return written >= 0 && static_cast<std::size_t>(written) < outSize ? 0 : fail(ENAMETOOLONG);
}

// Where the kept self-signed certificate lies, and its folder once opened and found safe.
struct KeptPlace {
    char folder[kKeptPathSize];
    char path[kKeptPathSize];
    int descriptor;  // the checked folder; -1 while it is missing or when it is not safe
    bool isUnsafe;   // the folder is there but others may change what it holds
};

// Opens place's folder without following a link and keeps its descriptor when the folder is this
// user's alone. One that is not is said in facts, both as a warning and as why nothing is kept.
static void openKeptFolder(KeptPlace* place, TlsCertificateFacts* facts) {
    place->descriptor = open(place->folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (place->descriptor < 0 && errno == ENOENT) {
        (void)failWithErrno();  // keepSelfSigned makes it
        return;
    }
    struct stat status;
    // SECURITY: a folder that another user owns or may write lets that user swap in a key of
    // theirs, and read or replace the key we would keep there.
    if (place->descriptor >= 0 && fstat(place->descriptor, &status) == 0 &&
        status.st_uid == geteuid() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
        return;
    }
    if (place->descriptor >= 0) {
        (void)close(place->descriptor);  // read only: nothing to lose
        place->descriptor = -1;
    }
    place->isUnsafe = true;
    std::snprintf(facts->keptWarning, sizeof facts->keptWarning,
                  "'%s' is not a folder that only this user can write, so no TLS certificate is "
                  "taken from it or kept in it",
                  place->folder);
    std::snprintf(facts->keptAt, sizeof facts->keptAt,
                  "%s: not a folder that only this user can write", place->folder);
}

// Opens the kept file in place's checked folder for reading, without following a link and
// without waiting on a FIFO. Returns nullptr when there is none, and also, with a warning in
// facts, when it is not a regular file that only this user can read and write.
static std::FILE* openKeptFile(const KeptPlace* place, TlsCertificateFacts* facts) {
    int descriptor =
        openat(place->descriptor, kKeptFileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0 && errno == ENOENT) {
        return nullptr;
    }
    struct stat status;
    // SECURITY: a file others may write could hold their key, and one they may read gives ours
    // away; either way its fingerprint must not be shown as the server's.
    std::FILE* file = nullptr;
    if (descriptor >= 0 && fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) &&
        status.st_uid == geteuid() && (status.st_mode & (S_IRWXG | S_IRWXO)) == 0) {
        file = fdopen(descriptor, "r");
    }
    if (file == nullptr) {
        std::snprintf(facts->keptWarning, sizeof facts->keptWarning,
                      "the kept TLS certificate '%s' is not a private regular file of this user, "
                      "so it is not used",
                      place->path);
    }
    if (file == nullptr && descriptor >= 0) {
        (void)close(descriptor);  // read only: nothing to lose
    }
    return file;
}

// Puts the kept certificate and key into context, when both are there, match, and stay valid
// for kRenewBeforeSeconds more.
static bool useKeptSelfSigned(SSL_CTX* context, const KeptPlace* place,
                              TlsCertificateFacts* facts) {
    std::FILE* file = openKeptFile(place, facts);
    if (file == nullptr) {
        return false;
    }
    X509* certificate = PEM_read_X509(file, nullptr, nullptr, nullptr);
    EVP_PKEY* key =
        certificate != nullptr ? PEM_read_PrivateKey(file, nullptr, nullptr, nullptr) : nullptr;
    (void)std::fclose(file);  // read only: nothing to lose
    std::time_t renewal = std::time(nullptr) + kRenewBeforeSeconds;
    bool used = key != nullptr && X509_cmp_time(X509_get0_notAfter(certificate), &renewal) > 0 &&
                SSL_CTX_use_certificate(context, certificate) == 1 &&
                SSL_CTX_use_PrivateKey(context, key) == 1 &&
                SSL_CTX_check_private_key(context) == 1;
    X509_free(certificate);
    EVP_PKEY_free(key);
    ERR_clear_error();  // a file that does not serve is replaced, not reported
    return used;
}

// Writes certificate and key into the checked folder, readable by the user alone, through a new
// file that takes the kept file's place in one step. Returns 0, or -1 with the error set.
static int writeKeptSelfSigned(X509* certificate, EVP_PKEY* key, int folder) {
    char temporary[sizeof kKeptFileName + 8];
    std::snprintf(temporary, sizeof temporary, "%s.new", kKeptFileName);  // always fits
    int descriptor =
        openat(folder, temporary, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
               S_IRUSR | S_IWUSR);
    std::FILE* file = descriptor >= 0 ? fdopen(descriptor, "w") : nullptr;
    if (file == nullptr) {
        int error = errno;
        if (descriptor >= 0) {
            (void)close(descriptor);
        }
        return fail(error);
    }
    // SECURITY: a file left by someone else keeps its mode through O_TRUNC; the key must not.
    errno = 0;
    bool written = fchmod(descriptor, S_IRUSR | S_IWUSR) == 0 &&
                   PEM_write_X509(file, certificate) == 1 &&
                   PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1 &&
                   std::fflush(file) == 0 && fsync(descriptor) == 0;
    int error = errno != 0 ? errno : EIO;
    written = std::fclose(file) == 0 && written;
    ERR_clear_error();
    if (written && renameat(folder, temporary, folder, kKeptFileName) == 0) {
        return 0;
    }
    error = written ? errno : error;
    (void)unlinkat(folder, temporary, 0);
    return fail(error);
}

// Keeps a new certificate and key in the kept folder, made if need be (mode 0700), unless the
// folder is not safe. Says where in facts, or why not.
static void keepSelfSigned(X509* certificate, EVP_PKEY* key, KeptPlace* place,
                           TlsCertificateFacts* facts) {
    if (place->isUnsafe) {
        return;  // openKeptFolder said why
    }
    if (place->descriptor < 0) {
        char parent[kKeptPathSize];
        std::snprintf(parent, sizeof parent, "%s", place->folder);  // as long, so it fits
        char* slash = std::strrchr(parent, '/');
        if (slash != nullptr && slash != parent) {
            *slash = '\0';
            (void)mkdir(parent, S_IRWXU);  // ~/.config may be missing; an existing one stays
        }
        if (mkdir(place->folder, S_IRWXU) == 0 || errno == EEXIST) {
            openKeptFolder(place, facts);  // someone else may have made it first
        } else {
            (void)failWithErrno();
        }
    }
    if (place->isUnsafe) {
        return;
    }
    if (place->descriptor >= 0 && writeKeptSelfSigned(certificate, key, place->descriptor) == 0) {
        facts->isKept = true;
        std::snprintf(facts->keptAt, sizeof facts->keptAt, "%s", place->path);
        std::snprintf(facts->keptFile, sizeof facts->keptFile, "%s", place->path);
        return;
    }
    char reason[kTlsReasonSize];
    lastErrorText(reason, sizeof reason);
    std::snprintf(facts->keptAt, sizeof facts->keptAt, "%s: %s", place->path, reason);
}

// Puts a new self-signed certificate and its key into context, and keeps them in place when
// there is one.
static bool useNewSelfSigned(SSL_CTX* context, KeptPlace* place, TlsCertificateFacts* facts) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = key != nullptr ? makeSelfSigned(key) : nullptr;
    bool used = certificate != nullptr && SSL_CTX_use_certificate(context, certificate) == 1 &&
                SSL_CTX_use_PrivateKey(context, key) == 1;
    if (used) {
        facts->isNewlyMade = true;
        if (place != nullptr) {
            keepSelfSigned(certificate, key, place, facts);
        } else {
            std::snprintf(facts->keptAt, sizeof facts->keptAt, "%s",
                          "neither XDG_CONFIG_HOME nor HOME names a folder");
        }
    }
    X509_free(certificate);
    EVP_PKEY_free(key);
    return used;
}

// Puts the kept self-signed certificate and its key into context, or a new pair, which is
// then kept for later starts.
static bool useSelfSigned(SSL_CTX* context, TlsCertificateFacts* facts) {
    KeptPlace place = {};
    place.descriptor = -1;
    int length = -1;
    if (findKeptFolder(place.folder, sizeof place.folder) == 0) {
        length = std::snprintf(place.path, sizeof place.path, "%s/%s", place.folder, kKeptFileName);
    }
    bool hasPlace = length >= 0 && static_cast<std::size_t>(length) < sizeof place.path;
    if (hasPlace) {
        openKeptFolder(&place, facts);
    }
    bool used = place.descriptor >= 0 && useKeptSelfSigned(context, &place, facts);
    if (used) {
        facts->isKept = true;
        std::snprintf(facts->keptAt, sizeof facts->keptAt, "%s", place.path);
        std::snprintf(facts->keptFile, sizeof facts->keptFile, "%s", place.path);
    } else {
        used = useNewSelfSigned(context, hasPlace ? &place : nullptr, facts);
    }
    if (place.descriptor >= 0) {
        (void)close(place.descriptor);  // read only: nothing to lose
    }
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
