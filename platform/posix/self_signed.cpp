// platform/posix/self_signed.cpp: the self-signed certificate of TLS without "-tlscert": made
// with its key, and kept in the user's configuration folder for later starts, from a folder
// and a file that only the user can have written.
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

#include "platform/posix/internal.h"
#include "platform/primitives.h"

static const char kKeptFileName[] = "self-signed.pem";

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

bool useSelfSigned(SSL_CTX* context, TlsCertificateFacts* facts) {
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
