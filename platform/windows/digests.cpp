// platform/windows/digests.cpp: SHA-256, SHA-1 and MD5 from CNG (bcrypt.dll, part of every
// Windows since Vista), CRC-32 of our own.
#include <windows.h>

#include <bcrypt.h>  // after windows.h, whose types it uses

#include <cerrno>
#include <new>

#include "platform/digest_text.h"
#include "platform/platform.h"
#include "platform/windows/internal.h"

constexpr int kProvidedDigests = 3;  // every kind before kCrc32

struct DigestSet {
    BCRYPT_HASH_HANDLE hashes[kProvidedDigests];  // nullptr for a kind not begun
    unsigned crc;
    bool hasCrc;
};

// The providers, opened once for the process and never closed; a null handle where the
// system has none.
static BCRYPT_ALG_HANDLE providerOf(int kind) {
    static const struct Providers {
        BCRYPT_ALG_HANDLE handles[kProvidedDigests];
        Providers() : handles() {
            const wchar_t* names[kProvidedDigests] = {BCRYPT_SHA256_ALGORITHM,
                                                      BCRYPT_SHA1_ALGORITHM, BCRYPT_MD5_ALGORITHM};
            for (int i = 0; i < kProvidedDigests; i++) {
                if (BCryptOpenAlgorithmProvider(&handles[i], names[i], nullptr, 0) < 0) {
                    handles[i] = nullptr;
                }
            }
        }
    } providers;
    return providers.handles[kind];
}

static void freeDigests(DigestSet* set) {
    for (BCRYPT_HASH_HANDLE hash : set->hashes) {
        if (hash != nullptr) {
            (void)BCryptDestroyHash(hash);
        }
    }
    delete set;
}

DigestSet* beginDigests(unsigned kinds) {
    DigestSet* set = new (std::nothrow) DigestSet{};
    if (set == nullptr) {
        (void)failWithRuntimeError(ENOMEM);
        return nullptr;
    }
    set->hasCrc = (kinds & digestBit(DigestKind::kCrc32)) != 0;
    for (int i = 0; i < kProvidedDigests; i++) {
        if ((kinds & (1u << i)) == 0) {
            continue;
        }
        BCRYPT_ALG_HANDLE provider = providerOf(i);
        // CNG keeps the hash object itself when none is given (Windows 7 and later).
        NTSTATUS status =
            provider != nullptr
                ? BCryptCreateHash(provider, &set->hashes[i], nullptr, 0, nullptr, 0, 0)
                : static_cast<NTSTATUS>(0xC0000225L);  // STATUS_NOT_FOUND
        if (status < 0) {
            set->hashes[i] = nullptr;
            freeDigests(set);
            (void)failWithSecurityStatus(status);
            return nullptr;
        }
    }
    return set;
}

void updateDigests(DigestSet* set, const char* bytes, std::size_t length) {
    // Pieces of at most 1 GiB, since CNG counts in 32 bits.
    for (std::size_t done = 0; done < length;) {
        ULONG piece = static_cast<ULONG>(length - done < (1u << 30) ? length - done : 1u << 30);
        for (BCRYPT_HASH_HANDLE hash : set->hashes) {
            if (hash == nullptr) {
                continue;
            }
            (void)BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes + done)),
                                 piece, 0);  // fails only for a handle never made
        }
        done += piece;
    }
    if (set->hasCrc) {
        set->crc = updateCrc32(set->crc, bytes, length);
    }
}

int finishDigests(DigestSet* set, char texts[kDigestKindCount][kDigestTextSize]) {
    const ULONG lengths[kProvidedDigests] = {32, 20, 16};
    for (int i = 0; i < kProvidedDigests; i++) {
        texts[i][0] = '\0';
        if (set->hashes[i] == nullptr) {
            continue;
        }
        unsigned char digest[32];
        NTSTATUS status = BCryptFinishHash(set->hashes[i], digest, lengths[i], 0);
        if (status < 0) {
            freeDigests(set);
            return failWithSecurityStatus(status);
        }
        writeHexDigest(digest, lengths[i], texts[i]);
    }
    char* crcText = texts[static_cast<int>(DigestKind::kCrc32)];
    crcText[0] = '\0';
    if (set->hasCrc) {
        writeCrc32Digest(set->crc, crcText);
    }
    freeDigests(set);
    return 0;
}
