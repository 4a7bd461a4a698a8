// platform/windows/certificates.cpp: the credentials of TLS as the server with Schannel,
// made at start-up: a PEM file's certificate and key (read by pem.cpp), or a self-signed
// certificate, and Schannel's handles for them.
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

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

#include "platform/primitives.h"
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

// The friendly name of the self-signed certificate kept in the user's "MY" store.
static const wchar_t kKeptCertificateName[] = L"tarnLoader self-signed";
constexpr std::size_t kFriendlyNameSize = 64;
// Earlier certificates of ours removed from the store at most, should it hold many.
constexpr int kMostKeptCertificates = 16;
constexpr long long kFileTimeUnitsPerSecond = 10000000;
constexpr DWORD kRsaBits = 2048;
// "tarnLoader " and the certificate's digest in hexadecimal.
constexpr std::size_t kKeyNameSize = 96;
// The encoded name CN=tarnLoader.
constexpr std::size_t kSubjectNameSize = 64;

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

static int openKeyProvider(TlsCredentials* credentials) {
    SECURITY_STATUS status =
        NCryptOpenStorageProvider(&credentials->provider, MS_KEY_STORAGE_PROVIDER, 0);
    if (status != ERROR_SUCCESS) {
        credentials->provider = 0;
        return failWithSecurityStatus(status);
    }
    return 0;
}

static void describeKey(const wchar_t* name, CRYPT_KEY_PROV_INFO* out) {
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
static bool isKeyOfCertificate(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key, PCCERT_CONTEXT certificate,
                               DWORD keySpec = 0) {
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
static int openSelfSignedKey(TlsCredentials* credentials, const wchar_t* name,
                             const wchar_t* algorithm, DWORD bits) {
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

// ---------------------------------------------------------------------------------------------
// Credentials: the self-signed certificate.

static void systemTimeFromNow(long long seconds, SYSTEMTIME* out) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER time;
    time.LowPart = now.dwLowDateTime;
    time.HighPart = now.dwHighDateTime;
    time.QuadPart += static_cast<unsigned long long>(seconds * kFileTimeUnitsPerSecond);
    FILETIME then;
    then.dwLowDateTime = time.LowPart;
    then.dwHighDateTime = time.HighPart;
    (void)FileTimeToSystemTime(&then, out);  // fails only for times past the year 30827
}

static HCERTSTORE openUserCertificateStore() {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"MY");
}

static bool hasKeptName(PCCERT_CONTEXT certificate) {
    wchar_t name[kFriendlyNameSize];
    DWORD size = sizeof name;
    return CertGetCertificateContextProperty(certificate, CERT_FRIENDLY_NAME_PROP_ID, name,
                                             &size) &&
           size >= sizeof(wchar_t) && name[size / sizeof(wchar_t) - 1] == L'\0' &&
           std::wcscmp(name, kKeptCertificateName) == 0;
}

// The kept certificate of key, when the store holds one that stays valid for
// kRenewBeforeSeconds more; nullptr otherwise.
static PCCERT_CONTEXT findKeptCertificate(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key, DWORD keySpec) {
    HCERTSTORE store = openUserCertificateStore();
    if (store == nullptr) {
        return nullptr;
    }
    SYSTEMTIME renewalTime;
    FILETIME renewal;
    systemTimeFromNow(kRenewBeforeSeconds, &renewalTime);
    (void)SystemTimeToFileTime(&renewalTime, &renewal);  // a time that systemTimeFromNow made
    PCCERT_CONTEXT found = nullptr;
    PCCERT_CONTEXT next = nullptr;
    while (found == nullptr && (next = CertEnumCertificatesInStore(store, next)) != nullptr) {
        if (hasKeptName(next) && CompareFileTime(&next->pCertInfo->NotAfter, &renewal) > 0 &&
            isKeyOfCertificate(key, next, keySpec)) {
            found = next;  // the enumeration ends here, so its reference is ours
        }
    }
    (void)CertCloseStore(store, 0);  // the found context holds what it needs
    return found;
}

// Keeps certificate in the user's "MY" store under kKeptCertificateName, in the place of the
// ones kept before. Says where in facts, or why not.
static void keepCertificate(PCCERT_CONTEXT certificate, TlsCertificateFacts* facts) {
    HCERTSTORE store = openUserCertificateStore();
    CRYPT_DATA_BLOB name = {sizeof kKeptCertificateName,
                            reinterpret_cast<BYTE*>(const_cast<wchar_t*>(kKeptCertificateName))};
    bool kept = store != nullptr;
    // One at a time, each found by a new enumeration: an enumeration does not survive the
    // delete of its own entry everywhere (Wine's starts over on it).
    for (int removed = 0; kept && removed < kMostKeptCertificates; removed++) {
        PCCERT_CONTEXT next = nullptr;
        while ((next = CertEnumCertificatesInStore(store, next)) != nullptr && !hasKeptName(next)) {
        }
        if (next == nullptr) {
            break;
        }
        (void)CertDeleteCertificateFromStore(next);  // frees next, whatever it reports
    }
    kept = kept &&
           CertSetCertificateContextProperty(certificate, CERT_FRIENDLY_NAME_PROP_ID, 0, &name) &&
           CertAddCertificateContextToStore(store, certificate, CERT_STORE_ADD_REPLACE_EXISTING,
                                            nullptr);
    if (!kept) {
        recordSystemError();
        writeTlsReason(facts->keptAt, sizeof facts->keptAt,
                       "the user's certificate store (MY) did not take it");
    } else {
        facts->isKept = true;
        std::snprintf(facts->keptAt, sizeof facts->keptAt, "%s",
                      "the user's certificate store (MY) as \"tarnLoader self-signed\"");
    }
    if (store != nullptr) {
        // Windows writes a system store at once; Wine's only on a commit or a close that a
        // killed server never makes. Where it is written already the commit changes nothing.
        (void)CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
        (void)CertCloseStore(store, 0);
    }
}

// A certificate for the key, signed by it: subject and issuer CN=tarnLoader, valid from an
// hour ago for ten years. keyInfo names the key on the certificate.
static PCCERT_CONTEXT makeSelfSigned(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key,
                                     CRYPT_KEY_PROV_INFO* keyInfo, const char* signatureAlgorithm) {
    BYTE subject[kSubjectNameSize];
    CERT_NAME_BLOB subjectBlob = {sizeof subject, subject};
    if (!CertStrToNameW(X509_ASN_ENCODING, L"CN=tarnLoader", CERT_X500_NAME_STR, nullptr, subject,
                        &subjectBlob.cbData, nullptr)) {
        recordSystemError();
        return nullptr;
    }
    CRYPT_ALGORITHM_IDENTIFIER signature = {const_cast<char*>(signatureAlgorithm), {0, nullptr}};
    SYSTEMTIME start;
    SYSTEMTIME end;
    systemTimeFromNow(-kSelfSignedBackdateSeconds, &start);
    systemTimeFromNow(kSelfSignedSeconds, &end);
    PCCERT_CONTEXT certificate = CertCreateSelfSignCertificate(key, &subjectBlob, 0, keyInfo,
                                                               &signature, &start, &end, nullptr);
    if (certificate == nullptr) {
        recordSystemError();
        return nullptr;
    }
    // The name Schannel opens the key by; set here whether or not the call above set it.
    if (!CertSetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, 0, keyInfo)) {
        recordSystemError();
        (void)CertFreeCertificateContext(certificate);  // always succeeds
        return nullptr;
    }
    return certificate;
}

// The kept certificate of key, or a new one made and kept for later starts.
static PCCERT_CONTEXT takeSelfSigned(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key,
                                     CRYPT_KEY_PROV_INFO* keyInfo, const char* signatureAlgorithm,
                                     TlsCertificateFacts* facts) {
    PCCERT_CONTEXT certificate = findKeptCertificate(key, keyInfo->dwKeySpec);
    if (certificate != nullptr) {
        facts->isKept = true;
        std::snprintf(facts->keptAt, sizeof facts->keptAt, "%s",
                      "the user's certificate store (MY) as \"tarnLoader self-signed\"");
        // The name Schannel opens the key by, as makeSelfSigned sets it.
        if (CertSetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, 0,
                                              keyInfo)) {
            return certificate;
        }
        (void)CertFreeCertificateContext(certificate);  // always succeeds
    }
    certificate = makeSelfSigned(key, keyInfo, signatureAlgorithm);
    if (certificate != nullptr) {
        facts->isNewlyMade = true;
        keepCertificate(certificate, facts);
    }
    return certificate;
}

static void makeCngSelfSigned(TlsCredentials* credentials, const wchar_t* keyName,
                              const wchar_t* algorithm, DWORD bits, const char* signatureAlgorithm,
                              TlsCertificateFacts* facts) {
    if (openSelfSignedKey(credentials, keyName, algorithm, bits) != 0) {
        return;
    }
    CRYPT_KEY_PROV_INFO keyInfo;
    describeKey(keyName, &keyInfo);
    credentials->certificate =
        takeSelfSigned(credentials->key, &keyInfo, signatureAlgorithm, facts);
    if (credentials->certificate == nullptr) {
        (void)NCryptFreeObject(credentials->key);  // the persisted key stays for the next run
        credentials->key = 0;
    }
}

// An RSA 2048 key in a CryptoAPI key container, for a system whose key storage provider keeps
// no keys (Wine's). Schannel takes such keys for TLS 1.2; TLS 1.3 needs a CNG key.
static void makeCryptoApiSelfSigned(TlsCredentials* credentials, TlsCertificateFacts* facts) {
    static const wchar_t kContainerName[] = L"tarnLoader self-signed RSA 2048 (CryptoAPI)";
    wchar_t* container = const_cast<wchar_t*>(kContainerName);
    wchar_t* providerName = const_cast<wchar_t*>(MS_ENH_RSA_AES_PROV_W);
    HCRYPTPROV provider = 0;
    HCRYPTKEY key = 0;
    if (!CryptAcquireContextW(&provider, container, providerName, PROV_RSA_AES, CRYPT_SILENT) &&
        !CryptAcquireContextW(&provider, container, providerName, PROV_RSA_AES,
                              CRYPT_NEWKEYSET | CRYPT_SILENT)) {
        recordSystemError();
        return;
    }
    credentials->cryptoApiProvider = provider;
    if (CryptGetUserKey(provider, AT_KEYEXCHANGE, &key)) {
        (void)CryptDestroyKey(key);  // the container keeps it; the certificate names the container
    } else if (!CryptGenKey(provider, AT_KEYEXCHANGE, kRsaBits << 16, &key)) {
        recordSystemError();
        return;
    } else {
        (void)CryptDestroyKey(key);
        // Wine's provider writes a new key to its store only when the context is released; a
        // server that is closed, as servers are, would otherwise lose it and its pin.
        (void)CryptReleaseContext(provider, 0);
        credentials->cryptoApiProvider = 0;
        if (!CryptAcquireContextW(&provider, container, providerName, PROV_RSA_AES, CRYPT_SILENT)) {
            recordSystemError();
            return;
        }
        credentials->cryptoApiProvider = provider;
    }
    CRYPT_KEY_PROV_INFO keyInfo;
    std::memset(&keyInfo, 0, sizeof keyInfo);
    keyInfo.pwszContainerName = container;
    keyInfo.pwszProvName = providerName;
    keyInfo.dwProvType = PROV_RSA_AES;
    keyInfo.dwKeySpec = AT_KEYEXCHANGE;
    credentials->certificate = takeSelfSigned(provider, &keyInfo, szOID_RSA_SHA256RSA, facts);
}

// ECDSA P-256, or RSA 2048 where the system makes no P-256 keys, in the key storage provider;
// a CryptoAPI key where it keeps none. A failure reports the first way's reason.
static int useSelfSigned(TlsCredentials* credentials, TlsCertificateFacts* facts, char* reason,
                         std::size_t reasonSize) {
    if (openKeyProvider(credentials) == 0) {
        makeCngSelfSigned(credentials, L"tarnLoader self-signed P-256", NCRYPT_ECDSA_P256_ALGORITHM,
                          0, szOID_ECDSA_SHA256, facts);
    }
    ErrorRecord firstError = lastError;
    if (credentials->certificate == nullptr && credentials->provider != 0) {
        makeCngSelfSigned(credentials, L"tarnLoader self-signed RSA 2048", NCRYPT_RSA_ALGORITHM,
                          kRsaBits, szOID_RSA_SHA256RSA, facts);
    }
    if (credentials->certificate == nullptr) {
        makeCryptoApiSelfSigned(credentials, facts);
    }
    if (credentials->certificate == nullptr) {
        lastError = firstError;
        writeTlsReason(reason, reasonSize, "a self-signed certificate could not be made");
        return -1;
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
