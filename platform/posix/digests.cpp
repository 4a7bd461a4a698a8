// platform/posix/digests.cpp: SHA-256, SHA-1 and MD5 from OpenSSL's libcrypto, CRC-32 of our own.
#include <openssl/evp.h>

#include <cerrno>
#include <new>

#include "platform/digest_text.h"
#include "platform/platform.h"
#include "platform/posix/internal.h"

constexpr int kProvidedDigests = 3;  // every kind before kCrc32

struct DigestSet {
    EVP_MD_CTX* contexts[kProvidedDigests];
    unsigned crc;
};

static void freeDigests(DigestSet* set) {
    for (EVP_MD_CTX* context : set->contexts) {
        EVP_MD_CTX_free(context);  // takes nullptr
    }
    delete set;
}

DigestSet* beginDigests() {
    DigestSet* set = new (std::nothrow) DigestSet{};
    if (set == nullptr) {
        (void)fail(ENOMEM);
        return nullptr;
    }
    const EVP_MD* kinds[kProvidedDigests] = {EVP_sha256(), EVP_sha1(), EVP_md5()};
    for (int i = 0; i < kProvidedDigests; i++) {
        set->contexts[i] = EVP_MD_CTX_new();
        if (set->contexts[i] == nullptr ||
            EVP_DigestInit_ex(set->contexts[i], kinds[i], nullptr) != 1) {
            freeDigests(set);
            (void)fail(ENOSYS);  // the provider has no such digest
            return nullptr;
        }
    }
    return set;
}

void updateDigests(DigestSet* set, const char* bytes, std::size_t length) {
    for (EVP_MD_CTX* context : set->contexts) {
        (void)EVP_DigestUpdate(context, bytes, length);  // fails only for a context never begun
    }
    set->crc = updateCrc32(set->crc, bytes, length);
}

int finishDigests(DigestSet* set, char texts[kDigestKindCount][kDigestTextSize]) {
    for (int i = 0; i < kProvidedDigests; i++) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned length = 0;
        if (EVP_DigestFinal_ex(set->contexts[i], digest, &length) != 1 ||
            2 * length >= kDigestTextSize) {
            freeDigests(set);
            return fail(EIO);
        }
        writeHexDigest(digest, length, texts[i]);
    }
    writeCrc32Digest(set->crc, texts[static_cast<int>(DigestKind::kCrc32)]);
    freeDigests(set);
    return 0;
}
