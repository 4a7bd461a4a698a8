// platform/windows/credentials.h: the Schannel server credentials, shared by the file's
// certificate and the handles (certificates.cpp) and the self-signed certificate
// (self_signed.cpp).
#pragma once

#include "platform/platform.h"

#include <winsock2.h>

#include <windows.h>
// TLS_PARAMETERS, the way to name the protocols on current Windows, needs UNICODE_STRING.
#include <subauth.h>
#define SCHANNEL_USE_BLACKLISTS
#define SECURITY_WIN32
#include <ncrypt.h>
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <cstddef>

#include "platform/windows/internal.h"

struct TlsCredentials {
    // For every session: a data connection must be able to resume its control connection's
    // session, so the credential allows reconnects.
    CredHandle handle;
    bool hasHandle;
    HCERTSTORE store;             // the file's certificates; nullptr for a self-signed one
    PCCERT_CONTEXT certificate;   // the server's own, with its key's name attached
    NCRYPT_PROV_HANDLE provider;  // the key storage provider that keeps the key
    NCRYPT_KEY_HANDLE key;
    HCRYPTPROV cryptoApiProvider;  // the key container, where the provider keeps no keys
};

// Opens the key storage provider into credentials. Returns 0, or -1 with the error set.
int openKeyProvider(TlsCredentials* credentials);
// The certificate's reference to the key kept under name, for Schannel to find it.
void describeKey(const wchar_t* name, CRYPT_KEY_PROV_INFO* out);
// True when key (a CNG key, or a CryptoAPI provider with keySpec) is the private half of the
// certificate's public key.
bool isKeyOfCertificate(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key, PCCERT_CONTEXT certificate,
                        DWORD keySpec = 0);
// The self-signed certificate's key: the one kept under name, or a new one made there. Running
// again reuses it, and so may another copy of the server running at the same time; the
// certificate made for it is new each time.
int openSelfSignedKey(TlsCredentials* credentials, const wchar_t* name, const wchar_t* algorithm,
                      DWORD bits);
// ECDSA P-256, or RSA 2048 where the system makes no P-256 keys, in the key storage provider;
// a CryptoAPI key where it keeps none. A failure reports the first way's reason.
int useSelfSigned(TlsCredentials* credentials, TlsCertificateFacts* facts, char* reason,
                  std::size_t reasonSize);
