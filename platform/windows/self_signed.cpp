// platform/windows/self_signed.cpp: the self-signed certificate of TLS without "-tlscert":
// made for its key in the key store, and kept in the user's "MY" store for later starts.
#include "platform/windows/credentials.h"

#include <cstring>
#include <cwchar>

#include "platform/primitives.h"
#include "platform/windows/internal.h"

// The friendly name of the self-signed certificate kept in the user's "MY" store.
static const wchar_t kKeptCertificateName[] = L"tarnLoader self-signed";
constexpr std::size_t kFriendlyNameSize = 64;
// Earlier certificates of ours removed from the store at most, should it hold many.
constexpr int kMostKeptCertificates = 16;
constexpr long long kFileTimeUnitsPerSecond = 10000000;
constexpr DWORD kRsaBits = 2048;
// The encoded name CN=tarnLoader.
constexpr std::size_t kSubjectNameSize = 64;

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
int useSelfSigned(TlsCredentials* credentials, TlsCertificateFacts* facts, char* reason,
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
