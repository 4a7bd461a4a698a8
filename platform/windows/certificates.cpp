// platform/windows/certificates.cpp: the credentials of TLS as the server with Schannel,
// made at start-up: a PEM file's certificate and key (read by pem.cpp), or a self-signed
// certificate (self_signed.cpp), the key store's keys, and Schannel's handles for them.
#include "platform/windows/credentials.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

#include "platform/primitives.h"
#include "platform/windows/internal.h"

// "tarnLoader " and the certificate's digest in hexadecimal.
constexpr std::size_t kKeyNameSize = 96;

// Records a Schannel or CNG status; they are Win32-style codes that FormatMessage knows.
int failWithSecurityStatus(long status) {
    recordError(static_cast<int>(status), ErrorSource::kSystem);
    return -1;
}

void writeTlsReason(char* reason, std::size_t reasonSize, const char* what) {
    char text[kTlsReasonSize];
    lastErrorText(text, sizeof text);
    std::snprintf(reason, reasonSize, "%s (%s)", what, text);
}

// ---------------------------------------------------------------------------------------------
// Credentials: the key.
//
// Schannel makes a server's handshake in the system's security process, which opens the private
// key by the name on the certificate: a key held only in our memory fails there with "No
// credentials are available in the security package". So the key lives in the user's key
// store under a name of ours, named for what it belongs to, so that running again reuses the
// entry instead of adding one.

int openKeyProvider(TlsCredentials* credentials) {
    SECURITY_STATUS status =
        NCryptOpenStorageProvider(&credentials->provider, MS_KEY_STORAGE_PROVIDER, 0);
    if (status != ERROR_SUCCESS) {
        credentials->provider = 0;
        return failWithSecurityStatus(status);
    }
    return 0;
}

void describeKey(const wchar_t* name, CRYPT_KEY_PROV_INFO* out) {
    std::memset(out, 0, sizeof *out);
    out->pwszContainerName = const_cast<wchar_t*>(name);
    out->pwszProvName = const_cast<wchar_t*>(MS_KEY_STORAGE_PROVIDER);
    out->dwProvType = 0;  // a CNG key storage provider, not a CryptoAPI one
}

static int attachKeyName(PCCERT_CONTEXT certificate, const wchar_t* name) {
    CRYPT_KEY_PROV_INFO info;
    describeKey(name, &info);
    if (!CertSetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
        return failWithSystemError();
    }
    return 0;
}

// Puts a PKCS #8 private key into the key store under name, replacing what was there.
static int importPrivateKey(TlsCredentials* credentials, const wchar_t* name,
                            const BYTE* privateKeyInfo, DWORD length) {
    NCryptBuffer nameBuffer;
    nameBuffer.cbBuffer = static_cast<ULONG>((std::wcslen(name) + 1) * sizeof(wchar_t));
    nameBuffer.BufferType = NCRYPTBUFFER_PKCS_KEY_NAME;
    nameBuffer.pvBuffer = const_cast<wchar_t*>(name);
    NCryptBufferDesc parameters = {NCRYPTBUFFER_VERSION, 1, &nameBuffer};
    // The import only names the key; the finalize writes it to the store.
    SECURITY_STATUS status = NCryptImportKey(
        credentials->provider, 0, NCRYPT_PKCS8_PRIVATE_KEY_BLOB, &parameters, &credentials->key,
        const_cast<BYTE*>(privateKeyInfo), length,
        NCRYPT_OVERWRITE_KEY_FLAG | NCRYPT_DO_NOT_FINALIZE_FLAG | NCRYPT_SILENT_FLAG);
    if (status == ERROR_SUCCESS) {
        status = NCryptFinalizeKey(credentials->key, NCRYPT_SILENT_FLAG);
    }
    if (status != ERROR_SUCCESS) {
        if (credentials->key != 0) {
            (void)NCryptFreeObject(credentials->key);  // an unfinished key has nothing to keep
            credentials->key = 0;
        }
        return failWithSecurityStatus(status);
    }
    return 0;
}

// True when key (a CNG key, or a CryptoAPI provider with keySpec) is the private half of the
// certificate's public key.
bool isKeyOfCertificate(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key, PCCERT_CONTEXT certificate,
                        DWORD keySpec) {
    DWORD size = 0;
    if (!CryptExportPublicKeyInfoEx(key, keySpec, X509_ASN_ENCODING, nullptr, 0, nullptr, nullptr,
                                    &size)) {
        return false;
    }
    CERT_PUBLIC_KEY_INFO* info = static_cast<CERT_PUBLIC_KEY_INFO*>(std::malloc(size));
    bool matches = info != nullptr &&
                   CryptExportPublicKeyInfoEx(key, keySpec, X509_ASN_ENCODING, nullptr, 0, nullptr,
                                              info, &size) &&
                   CertComparePublicKeyInfo(X509_ASN_ENCODING,
                                            &certificate->pCertInfo->SubjectPublicKeyInfo, info);
    std::free(info);
    return matches;
}

// The self-signed certificate's key: the one kept under name, or a new one made there. Running
// again reuses it, and so may another copy of the server running at the same time; the
// certificate made for it is new each time.
int openSelfSignedKey(TlsCredentials* credentials, const wchar_t* name, const wchar_t* algorithm,
                      DWORD bits) {
    if (NCryptOpenKey(credentials->provider, &credentials->key, name, 0, NCRYPT_SILENT_FLAG) ==
        ERROR_SUCCESS) {
        return 0;
    }
    credentials->key = 0;
    SECURITY_STATUS status =
        NCryptCreatePersistedKey(credentials->provider, &credentials->key, algorithm, name, 0, 0);
    if (status == ERROR_SUCCESS && bits != 0) {
        status = NCryptSetProperty(credentials->key, NCRYPT_LENGTH_PROPERTY,
                                   reinterpret_cast<BYTE*>(&bits), sizeof bits, 0);
    }
    if (status == ERROR_SUCCESS) {
        status = NCryptFinalizeKey(credentials->key, NCRYPT_SILENT_FLAG);
    }
    if (status != ERROR_SUCCESS) {
        if (credentials->key != 0) {
            (void)NCryptFreeObject(credentials->key);
            credentials->key = 0;
        }
        return failWithSecurityStatus(status);
    }
    return 0;
}

// The key store's name for the key of certificate: "tarnLoader " and its SHA-256 digest.
static int keyNameFor(PCCERT_CONTEXT certificate, wchar_t* out, std::size_t outSize) {
    char name[kKeyNameSize] = "tarnLoader ";
    std::size_t prefixLength = std::strlen(name);
    if (writeDigest(certificate, "", name + prefixLength, sizeof name - prefixLength) != 0) {
        return -1;
    }
    return toWideText(name, out, outSize);
}

// Puts the file's key into the key store and names it on the certificate, when it is the
// certificate's key. Returns 0, or -1 with the reason written.
static int useFileKey(TlsCredentials* credentials, const PemContents* contents, char* reason,
                      std::size_t reasonSize) {
    PCCERT_CONTEXT leaf = static_cast<PCCERT_CONTEXT>(contents->leaf);
    wchar_t name[kKeyNameSize];
    if (keyNameFor(leaf, name, kKeyNameSize) != 0) {
        writeTlsReason(reason, reasonSize, "the certificate's digest could not be taken");
        return -1;
    }
    if (openKeyProvider(credentials) != 0) {
        writeTlsReason(reason, reasonSize, "the key storage provider cannot be opened");
        return -1;
    }
    DWORD length = 0;
    bool wrapped = false;
    BYTE* privateKeyInfo = privateKeyInfoOf(contents, &length, &wrapped);
    int imported = privateKeyInfo != nullptr
                       ? importPrivateKey(credentials, name, privateKeyInfo, length)
                       : -1;
    if (wrapped) {
        SecureZeroMemory(privateKeyInfo, length);
        (void)LocalFree(privateKeyInfo);  // the encoder's allocation
    }
    if (imported != 0) {
        writeTlsReason(reason, reasonSize, "no private key could be read from the file");
        return -1;
    }
    if (!isKeyOfCertificate(credentials->key, leaf)) {
        // Nothing may keep a key under the name of a certificate it does not belong to.
        (void)NCryptDeleteKey(credentials->key, 0);  // frees the handle, whatever it reports
        credentials->key = 0;
        std::snprintf(reason, reasonSize, "%s", "the private key does not match the certificate");
        return -1;
    }
    if (attachKeyName(leaf, name) != 0) {
        writeTlsReason(reason, reasonSize, "the private key cannot be attached to the certificate");
        return -1;
    }
    return 0;
}

// Schannel sends the chain it builds from the system's stores, and no other: the file's chain
// goes into the user's intermediate store ("CA"), which makes its certificates available to
// chain building, not trusted. A self-signed root is left out; a client must have it already.
// Where the store cannot take them, the chain sent ends at the server's certificate.
static void offerChain(HCERTSTORE fileStore, PCCERT_CONTEXT leaf) {
    HCERTSTORE intermediates =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"CA");
    if (intermediates == nullptr) {
        return;
    }
    PCCERT_CONTEXT certificate = nullptr;
    // Each call frees the context before it; the last returns nullptr with all freed.
    while ((certificate = CertEnumCertificatesInStore(fileStore, certificate)) != nullptr) {
        const CERT_INFO* info = certificate->pCertInfo;
        bool isRoot = CertCompareCertificateName(X509_ASN_ENCODING,
                                                 const_cast<CERT_NAME_BLOB*>(&info->Subject),
                                                 const_cast<CERT_NAME_BLOB*>(&info->Issuer));
        bool isLeaf =
            CertCompareCertificate(X509_ASN_ENCODING, certificate->pCertInfo, leaf->pCertInfo);
        if (!isRoot && !isLeaf) {
            (void)CertAddCertificateContextToStore(intermediates, certificate,
                                                   CERT_STORE_ADD_USE_EXISTING, nullptr);
        }
    }
    (void)CertCloseStore(intermediates, 0);  // nothing held open in it
}

static int useCertificateFile(TlsCredentials* credentials, const char* pemPath, char* reason,
                              std::size_t reasonSize) {
    std::size_t length = 0;
    char* text = readPemFile(pemPath, &length);
    if (text == nullptr) {
        writeTlsReason(reason, reasonSize, "no certificate could be read from the file");
        return -1;
    }
    credentials->store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    PemContents contents = {nullptr, nullptr, 0, KeyForm::kNone};
    int result = -1;
    if (credentials->store == nullptr) {
        recordSystemError();
        writeTlsReason(reason, reasonSize, "no certificate could be read from the file");
    } else if (readPemContents(text, credentials->store, &contents, reason, reasonSize) == 0 &&
               checkPemContents(&contents, reason, reasonSize) == 0) {
        result = useFileKey(credentials, &contents, reason, reasonSize);
    }
    if (result == 0) {
        offerChain(credentials->store, static_cast<PCCERT_CONTEXT>(contents.leaf));
    }
    credentials->certificate = static_cast<PCCERT_CONTEXT>(contents.leaf);
    // The key's bytes leave our memory with the file's text.
    if (contents.key != nullptr) {
        SecureZeroMemory(contents.key, contents.keyLength);
        std::free(contents.key);
    }
    SecureZeroMemory(text, length);
    std::free(text);
    return result;
}

// ---------------------------------------------------------------------------------------------
// Credentials: Schannel's handle.

static void releaseCredentials(TlsCredentials* credentials) {
    if (credentials->hasHandle) {
        (void)FreeCredentialsHandle(&credentials->handle);  // nothing to do about a failure
    }
    if (credentials->certificate != nullptr) {
        (void)CertFreeCertificateContext(credentials->certificate);  // always succeeds
    }
    if (credentials->store != nullptr) {
        (void)CertCloseStore(credentials->store, 0);  // fails only for contexts still held
    }
    if (credentials->key != 0) {
        (void)NCryptFreeObject(credentials->key);
    }
    if (credentials->provider != 0) {
        (void)NCryptFreeObject(credentials->provider);
    }
    if (credentials->cryptoApiProvider != 0) {
        (void)CryptReleaseContext(credentials->cryptoApiProvider, 0);
    }
    delete credentials;
}

TlsCredentials* loadTlsCredentials(const char* pemPath, TlsCertificateFacts* facts, char* reason,
                                   std::size_t reasonSize) {
    std::memset(facts, 0, sizeof *facts);
    TlsCredentials* credentials = new (std::nothrow) TlsCredentials{};
    if (credentials == nullptr) {
        std::snprintf(reason, reasonSize, "%s", "TLS is not available (out of memory)");
        return nullptr;
    }
    int result = pemPath != nullptr ? useCertificateFile(credentials, pemPath, reason, reasonSize)
                                    : useSelfSigned(credentials, facts, reason, reasonSize);
    if (result == 0 && (writeDigest(credentials->certificate, ":", facts->fingerprint,
                                    sizeof facts->fingerprint) != 0 ||
                        writePublicKeyPin(credentials->certificate, facts->publicKeyPin,
                                          sizeof facts->publicKeyPin) != 0)) {
        writeTlsReason(reason, reasonSize, "the certificate's fingerprint could not be taken");
        result = -1;
    }
    if (result == 0) {
        SECURITY_STATUS status =
            acquireServerCredentials(credentials->certificate, 0, &credentials->handle);
        if (status != SEC_E_OK) {
            failWithSecurityStatus(status);
            writeTlsReason(reason, reasonSize,
                           "Schannel does not take the certificate as a server's");
            result = -1;
        }
        credentials->hasHandle = status == SEC_E_OK;
    }
    if (result != 0) {
        releaseCredentials(credentials);
        return nullptr;
    }
    return credentials;
}

void* credentialHandleOf(TlsCredentials* credentials) {
    return &credentials->handle;
}
