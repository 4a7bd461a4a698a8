// platform/windows/digests.cpp: SHA-256, SHA-1 and MD5 from CNG (bcrypt.dll, part of every
// Windows since Vista); the set of them and CRC-32 are in ../digest_set.cpp.
#include <windows.h>

#include <bcrypt.h>  // after windows.h, whose types it uses

#include "platform/platform.h"
#include "platform/primitives.h"
#include "platform/windows/internal.h"

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

void* beginProvidedDigest(DigestKind kind) {
    BCRYPT_ALG_HANDLE provider = providerOf(static_cast<int>(kind));
    BCRYPT_HASH_HANDLE hash = nullptr;
    // CNG keeps the hash object itself when none is given (Windows 7 and later).
    NTSTATUS status = provider != nullptr
                          ? BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0)
                          : static_cast<NTSTATUS>(0xC0000225L);  // STATUS_NOT_FOUND
    if (status < 0) {
        (void)failWithSecurityStatus(status);
        return nullptr;
    }
    return hash;
}

void updateProvidedDigest(void* digest, const char* bytes, std::size_t length) {
    // Pieces of at most 1 GiB, since CNG counts in 32 bits.
    for (std::size_t done = 0; done < length;) {
        ULONG piece = static_cast<ULONG>(length - done < (1u << 30) ? length - done : 1u << 30);
        (void)BCryptHashData(static_cast<BCRYPT_HASH_HANDLE>(digest),
                             reinterpret_cast<PUCHAR>(const_cast<char*>(bytes + done)), piece,
                             0);  // fails only for a handle never made
        done += piece;
    }
}

int finishProvidedDigest(void* digest, DigestKind kind, char* text) {
    const ULONG lengths[kProvidedDigests] = {32, 20, 16};
    ULONG length = lengths[static_cast<int>(kind)];
    unsigned char bytes[32];
    NTSTATUS status = BCryptFinishHash(static_cast<BCRYPT_HASH_HANDLE>(digest), bytes, length, 0);
    if (status < 0) {
        return failWithSecurityStatus(status);
    }
    writeHexDigest(bytes, length, text);
    return 0;
}

void endProvidedDigest(void* digest) {
    if (digest != nullptr) {
        (void)BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(digest));
    }
}
