// platform/posix/digests.cpp: SHA-256, SHA-1 and MD5 from OpenSSL's libcrypto; the set of them
// and CRC-32 are in ../digest_set.cpp.
#include <openssl/evp.h>

#include <cerrno>

#include "platform/platform.h"
#include "platform/posix/internal.h"
#include "platform/primitives.h"

void* beginProvidedDigest(DigestKind kind) {
    const EVP_MD* digests[kProvidedDigests] = {EVP_sha256(), EVP_sha1(), EVP_md5()};
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr ||
        EVP_DigestInit_ex(context, digests[static_cast<int>(kind)], nullptr) != 1) {
        EVP_MD_CTX_free(context);  // takes nullptr
        (void)fail(ENOSYS);        // the provider has no such digest
        return nullptr;
    }
    return context;
}

void updateProvidedDigest(void* digest, const char* bytes, std::size_t length) {
    // Fails only for a context never begun.
    (void)EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(digest), bytes, length);
}

int finishProvidedDigest(void* digest, DigestKind /*kind*/, char* text) {
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(digest), bytes, &length) != 1 ||
        2 * length >= kDigestTextSize) {
        return fail(EIO);
    }
    writeHexDigest(bytes, length, text);
    return 0;
}

void endProvidedDigest(void* digest) {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(digest));  // takes nullptr
}
