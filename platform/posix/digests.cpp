// platform/posix/digests.cpp: SHA-256, SHA-1 and MD5 from OpenSSL's libcrypto, CRC-32 of our own.
#include <openssl/evp.h>

#include <cerrno>
#include <new>

#include "platform/digest_text.h"
#include "platform/platform.h"
#include "platform/posix/internal.h"

constexpr int kProvidedDigests = 3;  // every kind before kCrc32

struct DigestSet {
    EVP_MD_CTX* contexts[kProvidedDigests];  // nullptr for a kind not begun
    unsigned crc;
    bool hasCrc;
};

static void freeDigests(DigestSet* set) {
    for (EVP_MD_CTX* context : set->contexts) {
        EVP_MD_CTX_free(context);  // takes nullptr
    }
    delete set;
}

DigestSet* beginDigests(unsigned kinds) {
    DigestSet* set = new (std::nothrow) DigestSet{};
    if (set == nullptr) {
        (void)fail(ENOMEM);
        return nullptr;
    }
    const EVP_MD* digests[kProvidedDigests] = {EVP_sha256(), EVP_sha1(), EVP_md5()};
    set->hasCrc = (kinds & digestBit(DigestKind::kCrc32)) != 0;
    for (int i = 0; i < kProvidedDigests; i++) {
        if ((kinds & (1u << i)) == 0) {
            continue;
        }
        set->contexts[i] = EVP_MD_CTX_new();
        if (set->contexts[i] == nullptr ||
            EVP_DigestInit_ex(set->contexts[i], digests[i], nullptr) != 1) {
            freeDigests(set);
            (void)fail(ENOSYS);  // the provider has no such digest
            return nullptr;
        }
    }
    return set;
}

void updateDigests(DigestSet* set, const char* bytes, std::size_t length) {
    for (EVP_MD_CTX* context : set->contexts) {
        if (context != nullptr) {
            (void)EVP_DigestUpdate(context, bytes, length);  // fails only for one never begun
        }
    }
    if (set->hasCrc) {
        set->crc = updateCrc32(set->crc, bytes, length);
    }
}

int finishDigests(DigestSet* set, char texts[kDigestKindCount][kDigestTextSize]) {
    for (int i = 0; i < kProvidedDigests; i++) {
        texts[i][0] = '\0';
        if (set->contexts[i] == nullptr) {
            continue;
        }
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned length = 0;
        if (EVP_DigestFinal_ex(set->contexts[i], digest, &length) != 1 ||
            2 * length >= kDigestTextSize) {
            freeDigests(set);
            return fail(EIO);
        }
        writeHexDigest(digest, length, texts[i]);
    }
    char* crcText = texts[static_cast<int>(DigestKind::kCrc32)];
    crcText[0] = '\0';
    if (set->hasCrc) {
        writeCrc32Digest(set->crc, crcText);
    }
    freeDigests(set);
    return 0;
}
