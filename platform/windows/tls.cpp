// platform/windows/tls.cpp: TLS as the server with Schannel: the credentials made at start-up
// (a PEM file's certificate and key, or a self-signed certificate) and one session for each
// protected connection, over the blocking socket.
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

#include "platform/windows/internal.h"

struct TlsCredentials {
    CredHandle handle;  // for sessions a client may resume later
    bool hasHandle;
    // For sessions that leave nothing to resume: a credential without reconnects, so that
    // Schannel keeps and offers nothing (no TLS 1.3 tickets) that a client that only sends
    // would leave unread and answer with a reset when it closes. Where it cannot be had,
    // handle serves for these too.
    CredHandle oneTimeHandle;
    bool hasOneTimeHandle;
    HCERTSTORE store;             // the file's certificates; nullptr for a self-signed one
    PCCERT_CONTEXT certificate;   // the server's own, with its key's name attached
    NCRYPT_PROV_HANDLE provider;  // the key storage provider that keeps the key
    NCRYPT_KEY_HANDLE key;
    HCRYPTPROV cryptoApiProvider;  // the key container, where the provider keeps no keys
};

struct TlsSession {
    SocketHandle socket;
    CredHandle* credentials;
    CtxtHandle context;
    bool hasContext;
    // After a failure nothing more is decrypted or encrypted, and no close_notify goes out.
    bool broken;
    bool peerClosed;  // the peer's close_notify came: every receive reads the end
    SECURITY_STATUS failure;
    SecPkgContext_StreamSizes sizes;
    // Records as they arrived. Each is decrypted in place: plain points at the decrypted bytes
    // not yet handed out, and the bytes from pendingStart to inputLength wait for decryption.
    char* input;
    std::size_t inputSize;
    std::size_t inputLength;
    std::size_t pendingStart;
    char* plain;
    std::size_t plainLength;
    char* output;  // one record's header, message and trailer
    std::size_t outputSize;
};

// A self-signed certificate lasts this long; clients that pin it compare its fingerprint.
constexpr long long kSelfSignedSeconds = 10LL * 365 * 24 * 3600;
// It is valid from this long ago, so that a client whose clock is a little behind takes it.
constexpr long long kSelfSignedBackdateSeconds = 3600;
constexpr long long kFileTimeUnitsPerSecond = 10000000;
// A certificate, its chain and its key take a few KiB; a larger file is no such file.
constexpr std::size_t kPemFileLimit = 1024 * 1024;
constexpr std::size_t kPemLabelSize = 32;
constexpr std::size_t kSha256Size = 32;
constexpr DWORD kRsaBits = 2048;
// "tarnLoader " and the certificate's digest in hexadecimal.
constexpr std::size_t kKeyNameSize = 96;
// The encoded name CN=tarnLoader.
constexpr std::size_t kSubjectNameSize = 64;
// The largest TLS record: a header of 5 bytes, 2^14 bytes of content, and the 2048 bytes that
// protection may add to them (RFC 5246; TLS 1.3 allows 256).
constexpr std::size_t kRecordExpansion = 2048;
constexpr std::size_t kLargestRecord = 5 + 16384 + kRecordExpansion;
// The handshake input holds one record, or one flight of them, at a time.
constexpr std::size_t kHandshakeInputSize = 2 * kLargestRecord;
// A handshake takes a few rounds of messages, a few receives each; a peer that trickles bytes
// gets no more than this many.
constexpr int kHandshakeReceiveLimit = 64;
// Records without content in a row (OpenSSL refuses more than 32): a peer that sends only
// empty records would otherwise keep a receive going without end.
constexpr int kEmptyRecordLimit = 32;

constexpr unsigned long kAcceptFlags = ASC_REQ_SEQUENCE_DETECT | ASC_REQ_REPLAY_DETECT |
                                       ASC_REQ_CONFIDENTIALITY | ASC_REQ_EXTENDED_ERROR |
                                       ASC_REQ_ALLOCATE_MEMORY | ASC_REQ_STREAM;

// Every encoding a certificate or key of ours is in.
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Records a Schannel or CNG status; they are Win32-style codes that FormatMessage knows.
static int failWithStatus(SECURITY_STATUS status) {
    recordError(static_cast<int>(status), ErrorSource::kSystem);
    return -1;
}

// Writes "what (the last error's text)".
static void writeReason(char* reason, std::size_t reasonSize, const char* what) {
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
        return failWithStatus(status);
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
        return failWithStatus(status);
    }
    return 0;
}

// True when key is the private half of the certificate's public key.
static bool isKeyOfCertificate(NCRYPT_KEY_HANDLE key, PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    if (!CryptExportPublicKeyInfoEx(key, 0, X509_ASN_ENCODING, nullptr, 0, nullptr, nullptr,
                                    &size)) {
        return false;
    }
    CERT_PUBLIC_KEY_INFO* info = static_cast<CERT_PUBLIC_KEY_INFO*>(std::malloc(size));
    bool matches =
        info != nullptr &&
        CryptExportPublicKeyInfoEx(key, 0, X509_ASN_ENCODING, nullptr, 0, nullptr, info, &size) &&
        CertComparePublicKeyInfo(X509_ASN_ENCODING, &certificate->pCertInfo->SubjectPublicKeyInfo,
                                 info);
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
        return failWithStatus(status);
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

static void makeCngSelfSigned(TlsCredentials* credentials, const wchar_t* keyName,
                              const wchar_t* algorithm, DWORD bits,
                              const char* signatureAlgorithm) {
    if (openSelfSignedKey(credentials, keyName, algorithm, bits) != 0) {
        return;
    }
    CRYPT_KEY_PROV_INFO keyInfo;
    describeKey(keyName, &keyInfo);
    credentials->certificate = makeSelfSigned(credentials->key, &keyInfo, signatureAlgorithm);
    if (credentials->certificate == nullptr) {
        (void)NCryptFreeObject(credentials->key);  // the persisted key stays for the next run
        credentials->key = 0;
    }
}

// An RSA 2048 key in a CryptoAPI key container, for a system whose key storage provider keeps
// no keys (Wine's). Schannel takes such keys for TLS 1.2; TLS 1.3 needs a CNG key.
static void makeCryptoApiSelfSigned(TlsCredentials* credentials) {
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
    if (!CryptGetUserKey(provider, AT_KEYEXCHANGE, &key) &&
        !CryptGenKey(provider, AT_KEYEXCHANGE, kRsaBits << 16, &key)) {
        recordSystemError();
        return;
    }
    (void)CryptDestroyKey(key);  // the container keeps it; the certificate names the container
    CRYPT_KEY_PROV_INFO keyInfo;
    std::memset(&keyInfo, 0, sizeof keyInfo);
    keyInfo.pwszContainerName = container;
    keyInfo.pwszProvName = providerName;
    keyInfo.dwProvType = PROV_RSA_AES;
    keyInfo.dwKeySpec = AT_KEYEXCHANGE;
    credentials->certificate = makeSelfSigned(provider, &keyInfo, szOID_RSA_SHA256RSA);
}

// ECDSA P-256, or RSA 2048 where the system makes no P-256 keys, in the key storage provider;
// a CryptoAPI key where it keeps none. A failure reports the first way's reason.
static int useSelfSigned(TlsCredentials* credentials, char* reason, std::size_t reasonSize) {
    if (openKeyProvider(credentials) == 0) {
        makeCngSelfSigned(credentials, L"tarnLoader self-signed P-256", NCRYPT_ECDSA_P256_ALGORITHM,
                          0, szOID_ECDSA_SHA256);
    }
    ErrorRecord firstError = lastError;
    if (credentials->certificate == nullptr && credentials->provider != 0) {
        makeCngSelfSigned(credentials, L"tarnLoader self-signed RSA 2048", NCRYPT_RSA_ALGORITHM,
                          kRsaBits, szOID_RSA_SHA256RSA);
    }
    if (credentials->certificate == nullptr) {
        makeCryptoApiSelfSigned(credentials);
    }
    if (credentials->certificate == nullptr) {
        lastError = firstError;
        writeReason(reason, reasonSize, "a self-signed certificate could not be made");
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Credentials: a PEM file.

// The forms of private key a PEM file may hold. The bare forms are put into a PKCS #8 wrapper
// with the certificate's algorithm; a key of another algorithm then fails the import.
enum class KeyForm { kNone, kPrivateKeyInfo, kBareKey, kEncrypted, kOther };

struct PemBlock {
    char label[kPemLabelSize];
    const char* body;
    std::size_t bodyLength;
};

struct PemContents {
    PCCERT_CONTEXT leaf;  // the first certificate, in store
    BYTE* key;            // the key's DER bytes
    DWORD keyLength;
    KeyForm keyForm;
};

// Reads the whole file, at most kPemFileLimit bytes, into a terminated heap copy.
static char* readPemFile(const char* path, std::size_t* length) {
    wchar_t widePath[kLongPathSize];
    if (toWideText(path, widePath, kLongPathSize) != 0) {
        return nullptr;
    }
    HANDLE file = CreateFileW(widePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        recordSystemError();
        return nullptr;
    }
    LARGE_INTEGER size;
    char* text = nullptr;
    DWORD count = 0;
    if (!GetFileSizeEx(file, &size)) {
        recordSystemError();
    } else if (size.QuadPart > static_cast<long long>(kPemFileLimit)) {
        failWithRuntimeError(EFBIG);
    } else if ((text = static_cast<char*>(std::malloc(size.QuadPart + 1))) == nullptr) {
        failWithRuntimeError(ENOMEM);
    } else if (!ReadFile(file, text, static_cast<DWORD>(size.QuadPart), &count, nullptr)) {
        recordSystemError();
        std::free(text);
        text = nullptr;
    } else {
        text[count] = '\0';
        *length = count;
    }
    (void)CloseHandle(file);  // read only: nothing to lose
    return text;
}

// Finds the next "-----BEGIN label-----" ... "-----END label-----" from *cursor on. Text
// outside the blocks (comments, "Bag Attributes") is passed over, as OpenSSL does.
static bool nextPemBlock(const char** cursor, PemBlock* out) {
    static const char kBegin[] = "-----BEGIN ";
    static const char kDashes[] = "-----";
    const char* label = nullptr;
    const char* labelEnd = nullptr;
    std::size_t labelLength = 0;
    // Each turn starts past the last "-----BEGIN " seen, so the search ends with the text.
    const char* from = *cursor;
    while (labelEnd == nullptr) {
        const char* begin = std::strstr(from, kBegin);
        if (begin == nullptr) {
            return false;
        }
        label = begin + sizeof kBegin - 1;
        from = label;
        labelEnd = std::strstr(label, kDashes);
        labelLength = labelEnd != nullptr ? static_cast<std::size_t>(labelEnd - label) : 0;
        if (labelEnd != nullptr && (labelLength >= sizeof out->label ||
                                    std::memchr(label, '\n', labelLength) != nullptr)) {
            labelEnd = nullptr;  // not a block's first line
        }
    }
    std::memcpy(out->label, label, labelLength);
    out->label[labelLength] = '\0';
    char endLine[sizeof out->label + sizeof kBegin + sizeof kDashes];
    std::snprintf(endLine, sizeof endLine, "-----END %s-----", out->label);
    out->body = labelEnd + sizeof kDashes - 1;
    const char* end = std::strstr(out->body, endLine);
    if (end == nullptr) {
        return false;  // a block cut short ends what can be read
    }
    out->bodyLength = static_cast<std::size_t>(end - out->body);
    *cursor = end + std::strlen(endLine);
    return true;
}

// Decodes a block's base64 into a heap copy (std::free). Returns nullptr with the error set.
static BYTE* decodePemBody(const PemBlock* block, DWORD* length) {
    DWORD size = 0;
    if (block->bodyLength > kPemFileLimit ||
        !CryptStringToBinaryA(block->body, static_cast<DWORD>(block->bodyLength),
                              CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr) ||
        size == 0) {
        recordError(ERROR_INVALID_DATA, ErrorSource::kSystem);  // no base64
        return nullptr;
    }
    BYTE* bytes = static_cast<BYTE*>(std::malloc(size));
    if (bytes == nullptr) {
        failWithRuntimeError(ENOMEM);
        return nullptr;
    }
    if (!CryptStringToBinaryA(block->body, static_cast<DWORD>(block->bodyLength),
                              CRYPT_STRING_BASE64, bytes, &size, nullptr, nullptr)) {
        std::free(bytes);
        recordError(ERROR_INVALID_DATA, ErrorSource::kSystem);  // no base64
        return nullptr;
    }
    *length = size;
    return bytes;
}

static KeyForm keyFormOf(const char* label) {
    if (std::strcmp(label, "PRIVATE KEY") == 0) {
        return KeyForm::kPrivateKeyInfo;
    }
    if (std::strcmp(label, "EC PRIVATE KEY") == 0 || std::strcmp(label, "RSA PRIVATE KEY") == 0) {
        return KeyForm::kBareKey;
    }
    if (std::strcmp(label, "ENCRYPTED PRIVATE KEY") == 0) {
        return KeyForm::kEncrypted;
    }
    return KeyForm::kOther;
}

// Takes one block: a certificate into store (the first is the server's own, the others its
// chain), the first private key into contents. Returns 0, or -1 with the error set.
static int takePemBlock(const PemBlock* block, HCERTSTORE store, PemContents* contents) {
    bool isCertificate = std::strcmp(block->label, "CERTIFICATE") == 0;
    KeyForm form = keyFormOf(block->label);
    if (!isCertificate && (form == KeyForm::kOther || contents->keyForm != KeyForm::kNone)) {
        return 0;  // parameters, a second key: OpenSSL reads the first key only
    }
    if (form == KeyForm::kEncrypted) {
        contents->keyForm = form;  // there is no one to ask for its password
        return 0;
    }
    DWORD length = 0;
    BYTE* bytes = decodePemBody(block, &length);
    if (bytes == nullptr) {
        return -1;
    }
    if (!isCertificate) {
        contents->key = bytes;
        contents->keyLength = length;
        contents->keyForm = form;
        return 0;
    }
    PCCERT_CONTEXT added = nullptr;
    bool isLeaf = contents->leaf == nullptr;
    BOOL stored =
        CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, bytes, length,
                                         CERT_STORE_ADD_USE_EXISTING, isLeaf ? &added : nullptr);
    std::free(bytes);
    if (!stored) {
        return failWithSystemError();
    }
    if (isLeaf) {
        contents->leaf = added;
    }
    return 0;
}

// Returns 0, or -1 with the reason written.
static int readPemContents(const char* text, HCERTSTORE store, PemContents* contents, char* reason,
                           std::size_t reasonSize) {
    const char* cursor = text;
    PemBlock block;
    while (nextPemBlock(&cursor, &block)) {
        if (takePemBlock(&block, store, contents) != 0) {
            writeReason(reason, reasonSize,
                        std::strcmp(block.label, "CERTIFICATE") == 0
                            ? "no certificate could be read from the file"
                            : "no private key could be read from the file");
            return -1;
        }
    }
    return 0;
}

// The key in PKCS #8 form: as the file has it, or a bare one wrapped with the certificate's
// algorithm (and curve). Release with LocalFree when *wrapped is set.
static BYTE* privateKeyInfoOf(const PemContents* contents, DWORD* length, bool* wrapped) {
    *wrapped = false;
    if (contents->keyForm == KeyForm::kPrivateKeyInfo) {
        *length = contents->keyLength;
        return contents->key;
    }
    CRYPT_PRIVATE_KEY_INFO info;
    std::memset(&info, 0, sizeof info);
    info.Version = 0;
    info.Algorithm = contents->leaf->pCertInfo->SubjectPublicKeyInfo.Algorithm;
    info.PrivateKey.cbData = contents->keyLength;
    info.PrivateKey.pbData = contents->key;
    BYTE* encoded = nullptr;
    if (!CryptEncodeObjectEx(kEncoding, PKCS_PRIVATE_KEY_INFO, &info, CRYPT_ENCODE_ALLOC_FLAG,
                             nullptr, &encoded, length)) {
        recordSystemError();
        return nullptr;
    }
    *wrapped = true;
    return encoded;
}

// Writes the certificate's SHA-256 digest in upper-case hexadecimal, its bytes joined by
// separator. Returns 0, or -1 with the error set.
static int writeDigest(PCCERT_CONTEXT certificate, const char* separator, char* out,
                       std::size_t outSize) {
    BYTE digest[kSha256Size];
    DWORD length = sizeof digest;
    if (!CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, certificate->pbCertEncoded,
                               certificate->cbCertEncoded, digest, &length)) {
        return failWithSystemError();
    }
    std::size_t used = 0;
    for (DWORD i = 0; i < length; i++) {
        int written = std::snprintf(out + used, outSize - used, "%02X%s", digest[i],
                                    i + 1 < length ? separator : "");
        if (written < 0 || static_cast<std::size_t>(written) >= outSize - used) {
            return failWithRuntimeError(ENAMETOOLONG);
        }
        used += static_cast<std::size_t>(written);
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
    wchar_t name[kKeyNameSize];
    if (keyNameFor(contents->leaf, name, kKeyNameSize) != 0) {
        writeReason(reason, reasonSize, "the certificate's digest could not be taken");
        return -1;
    }
    if (openKeyProvider(credentials) != 0) {
        writeReason(reason, reasonSize, "the key storage provider cannot be opened");
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
        writeReason(reason, reasonSize, "no private key could be read from the file");
        return -1;
    }
    if (!isKeyOfCertificate(credentials->key, contents->leaf)) {
        // Nothing may keep a key under the name of a certificate it does not belong to.
        (void)NCryptDeleteKey(credentials->key, 0);  // frees the handle, whatever it reports
        credentials->key = 0;
        std::snprintf(reason, reasonSize, "%s", "the private key does not match the certificate");
        return -1;
    }
    if (attachKeyName(contents->leaf, name) != 0) {
        writeReason(reason, reasonSize, "the private key cannot be attached to the certificate");
        return -1;
    }
    return 0;
}

static int checkPemContents(const PemContents* contents, char* reason, std::size_t reasonSize) {
    if (contents->leaf == nullptr) {
        std::snprintf(reason, reasonSize, "%s", "no certificate could be read from the file");
        return -1;
    }
    if (contents->keyForm == KeyForm::kNone) {
        std::snprintf(reason, reasonSize, "%s", "no private key could be read from the file");
        return -1;
    }
    if (contents->keyForm == KeyForm::kEncrypted) {
        std::snprintf(reason, reasonSize, "%s",
                      "the private key in the file is encrypted; an unencrypted one is needed");
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
        writeReason(reason, reasonSize, "no certificate could be read from the file");
        return -1;
    }
    credentials->store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    PemContents contents = {nullptr, nullptr, 0, KeyForm::kNone};
    int result = -1;
    if (credentials->store == nullptr) {
        recordSystemError();
        writeReason(reason, reasonSize, "no certificate could be read from the file");
    } else if (readPemContents(text, credentials->store, &contents, reason, reasonSize) == 0 &&
               checkPemContents(&contents, reason, reasonSize) == 0) {
        result = useFileKey(credentials, &contents, reason, reasonSize);
    }
    if (result == 0) {
        offerChain(credentials->store, contents.leaf);
    }
    credentials->certificate = contents.leaf;
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

// Every protocol but TLS 1.2 and 1.3, for the form that names the disabled ones.
constexpr DWORD kDisabledProtocols = SP_PROT_SSL2 | SP_PROT_SSL3 | SP_PROT_TLS1_0 | SP_PROT_TLS1_1;

static SECURITY_STATUS acquireWith(void* authenticationData, CredHandle* out) {
    return AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W),
                                     SECPKG_CRED_INBOUND, nullptr, authenticationData, nullptr,
                                     nullptr, out, nullptr);
}

// TLS 1.2 and 1.3 with the system's recommended cipher suites (SCH_USE_STRONG_CRYPTO leaves out
// those it knows to be weak), and flags besides. SCH_CREDENTIALS is the form that offers TLS
// 1.3; Windows before 10 1809 knows only SCHANNEL_CRED, and some of those only TLS 1.2 in it.
static SECURITY_STATUS acquireServerCredentials(PCCERT_CONTEXT certificate, DWORD flags,
                                                CredHandle* out) {
    PCCERT_CONTEXT certificates[1] = {certificate};
    TLS_PARAMETERS parameters;
    std::memset(&parameters, 0, sizeof parameters);
    parameters.grbitDisabledProtocols = kDisabledProtocols;
    SCH_CREDENTIALS current;
    std::memset(&current, 0, sizeof current);
    current.dwVersion = SCH_CREDENTIALS_VERSION;
    current.cCreds = 1;
    current.paCred = certificates;
    current.dwFlags = SCH_USE_STRONG_CRYPTO | flags;
    current.cTlsParameters = 1;
    current.pTlsParameters = &parameters;
    SECURITY_STATUS status = acquireWith(&current, out);
    if (status == SEC_E_OK) {
        return status;
    }
    SCHANNEL_CRED older;
    std::memset(&older, 0, sizeof older);
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.cCreds = 1;
    older.paCred = certificates;
    older.dwFlags = SCH_USE_STRONG_CRYPTO | flags;
    older.grbitEnabledProtocols = SP_PROT_TLS1_2_SERVER | SP_PROT_TLS1_3_SERVER;
    status = acquireWith(&older, out);
    if (status != SEC_E_OK) {
        older.grbitEnabledProtocols = SP_PROT_TLS1_2_SERVER;
        status = acquireWith(&older, out);
    }
    return status;
}

static void releaseCredentials(TlsCredentials* credentials) {
    if (credentials->hasHandle) {
        (void)FreeCredentialsHandle(&credentials->handle);  // nothing to do about a failure
    }
    if (credentials->hasOneTimeHandle) {
        (void)FreeCredentialsHandle(&credentials->oneTimeHandle);
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

TlsCredentials* loadTlsCredentials(const char* pemPath, char* fingerprint,
                                   std::size_t fingerprintSize, char* reason,
                                   std::size_t reasonSize) {
    TlsCredentials* credentials = new (std::nothrow) TlsCredentials{};
    if (credentials == nullptr) {
        std::snprintf(reason, reasonSize, "%s", "TLS is not available (out of memory)");
        return nullptr;
    }
    int result = pemPath != nullptr ? useCertificateFile(credentials, pemPath, reason, reasonSize)
                                    : useSelfSigned(credentials, reason, reasonSize);
    if (result == 0 &&
        writeDigest(credentials->certificate, ":", fingerprint, fingerprintSize) != 0) {
        writeReason(reason, reasonSize, "the certificate's fingerprint could not be taken");
        result = -1;
    }
    if (result == 0) {
        SECURITY_STATUS status =
            acquireServerCredentials(credentials->certificate, 0, &credentials->handle);
        if (status != SEC_E_OK) {
            failWithStatus(status);
            writeReason(reason, reasonSize, "Schannel does not take the certificate as a server's");
            result = -1;
        }
        credentials->hasHandle = status == SEC_E_OK;
    }
    if (result == 0) {
        credentials->hasOneTimeHandle =
            acquireServerCredentials(credentials->certificate, SCH_CRED_DISABLE_RECONNECTS,
                                     &credentials->oneTimeHandle) == SEC_E_OK;
    }
    if (result != 0) {
        releaseCredentials(credentials);
        return nullptr;
    }
    return credentials;
}

// ---------------------------------------------------------------------------------------------
// Sessions: the handshake.

// Sends what Schannel wrote into token (a handshake flight or an alert) and frees it.
static int sendToken(TlsSession* session, SecBuffer* token) {
    int result = 0;
    if (token->pvBuffer != nullptr && token->cbBuffer > 0) {
        result =
            sendBytes(session->socket, static_cast<const char*>(token->pvBuffer), token->cbBuffer);
    }
    if (token->pvBuffer != nullptr) {
        (void)FreeContextBuffer(token->pvBuffer);  // frees Schannel's own allocation
        token->pvBuffer = nullptr;
    }
    return result;
}

// Keeps the bytes that Schannel left unread at the end of the input for the next call.
static void keepExtraInput(TlsSession* session, const SecBuffer* extra) {
    if (extra->BufferType == SECBUFFER_EXTRA && extra->cbBuffer > 0 &&
        extra->cbBuffer <= session->inputLength) {
        std::memmove(session->input, session->input + session->inputLength - extra->cbBuffer,
                     extra->cbBuffer);
        session->inputLength = extra->cbBuffer;
    } else {
        session->inputLength = 0;
    }
}

// Receives more of the peer's records into the input. Returns 0, or -1 with the error set: the
// socket's, or a cut stream when the peer has closed its side.
static int receiveInput(TlsSession* session) {
    // SECURITY: the input never grows; a record larger than it can hold is no record.
    if (session->inputLength >= session->inputSize) {
        return failWithStatus(SEC_E_ILLEGAL_MESSAGE);
    }
    long long count = receiveBytes(session->socket, session->input + session->inputLength,
                                   session->inputSize - session->inputLength);
    if (count < 0) {
        return -1;
    }
    if (count == 0) {
        return failWithStatus(SEC_E_INCOMPLETE_MESSAGE);  // the stream ended within a message
    }
    session->inputLength += static_cast<std::size_t>(count);
    return 0;
}

// One AcceptSecurityContext step over the input received so far; the reply goes out at once.
// *sendFailed tells a reply that could not be sent, with the socket's error set.
static SECURITY_STATUS acceptStep(TlsSession* session, bool* sendFailed) {
    SecBuffer inputs[2] = {
        {static_cast<unsigned long>(session->inputLength), SECBUFFER_TOKEN, session->input},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inputDescription = {SECBUFFER_VERSION, 2, inputs};
    SecBuffer outputs[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
    SecBufferDesc outputDescription = {SECBUFFER_VERSION, 2, outputs};
    unsigned long attributes = 0;
    SECURITY_STATUS status = AcceptSecurityContext(
        session->credentials, session->hasContext ? &session->context : nullptr, &inputDescription,
        kAcceptFlags, 0, &session->context, &outputDescription, &attributes, nullptr);
    if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) {
        session->hasContext = true;
    }
    *sendFailed = sendToken(session, &outputs[0]) != 0 && !FAILED(status);
    // On a failure the alert tells the peer why; it may not arrive, and the failure stands.
    if (FAILED(status)) {
        (void)sendToken(session, &outputs[1]);
    } else if (outputs[1].pvBuffer != nullptr) {
        (void)FreeContextBuffer(outputs[1].pvBuffer);
    }
    if (status != SEC_E_INCOMPLETE_MESSAGE) {
        keepExtraInput(session, &inputs[1]);
    }
    return status;
}

// The receive timeout the caller gave the socket in milliseconds, 0 when it has none.
static long long receiveTimeoutOf(SocketHandle socket) {
    DWORD timeout = 0;
    int size = sizeof timeout;
    if (getsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_RCVTIMEO,
                   reinterpret_cast<char*>(&timeout), &size) != 0) {
        return 0;
    }
    return static_cast<long long>(timeout);
}

// Runs the handshake to its end. Returns 0, or -1 with the error set.
static int runHandshake(TlsSession* session) {
    // A peer that trickles its handshake a byte at a time gets the receive timeout for the
    // whole of it (and the one receive under way), not for each piece.
    long long timeout = receiveTimeoutOf(session->socket);
    long long deadline = timeout > 0 ? monotonicMilliseconds() + timeout : 0;
    bool needInput = true;
    for (int receives = 0;;) {
        if (needInput) {
            if (receives++ == kHandshakeReceiveLimit ||
                (deadline != 0 && monotonicMilliseconds() >= deadline)) {
                return failWithRuntimeError(ETIMEDOUT);  // a peer that never finishes
            }
            if (receiveInput(session) != 0) {
                return -1;
            }
        }
        bool sendFailed = false;
        std::size_t offered = session->inputLength;
        SECURITY_STATUS status = acceptStep(session, &sendFailed);
        if (sendFailed) {
            return -1;
        }
        if (status == SEC_E_OK) {
            return 0;
        }
        if (status != SEC_I_CONTINUE_NEEDED && status != SEC_E_INCOMPLETE_MESSAGE) {
            return failWithStatus(status);
        }
        // Schannel takes more only when it has used up what came, or found it incomplete; a
        // step that used nothing waits for more too, so that this loop cannot turn in place.
        needInput = status == SEC_E_INCOMPLETE_MESSAGE || session->inputLength == 0 ||
                    session->inputLength == offered;
    }
}

// Sizes the record buffers from the session's stream sizes; the input keeps what came after the
// handshake's last message.
static int prepareRecords(TlsSession* session) {
    SECURITY_STATUS status =
        QueryContextAttributesW(&session->context, SECPKG_ATTR_STREAM_SIZES, &session->sizes);
    if (status != SEC_E_OK) {
        return failWithStatus(status);
    }
    const SecPkgContext_StreamSizes* sizes = &session->sizes;
    session->outputSize = sizes->cbHeader + sizes->cbMaximumMessage + sizes->cbTrailer;
    // One record of the peer's at a time, which may be larger than ours by the expansion that
    // protection allows; and room for whatever came after the handshake.
    std::size_t inputSize = session->outputSize + kRecordExpansion;
    if (inputSize < session->inputLength) {
        inputSize = session->inputLength;
    }
    char* resized = static_cast<char*>(std::realloc(session->input, inputSize));
    if (resized == nullptr) {
        return failWithRuntimeError(ENOMEM);
    }
    session->input = resized;
    session->inputSize = inputSize;
    session->output = static_cast<char*>(std::malloc(session->outputSize));
    if (session->output == nullptr) {
        return failWithRuntimeError(ENOMEM);
    }
    session->pendingStart = 0;
    return 0;
}

static void releaseSession(TlsSession* session) {
    if (session->hasContext) {
        (void)DeleteSecurityContext(&session->context);  // nothing to do about a failure
    }
    std::free(session->input);
    std::free(session->output);
    delete session;
}

TlsSession* startTlsSession(TlsCredentials* credentials, SocketHandle socket, bool resumable) {
    TlsSession* session = new (std::nothrow) TlsSession{};
    if (session == nullptr) {
        failWithRuntimeError(ENOMEM);
        return nullptr;
    }
    session->socket = socket;
    session->credentials = resumable || !credentials->hasOneTimeHandle
                               ? &credentials->handle
                               : &credentials->oneTimeHandle;
    session->inputSize = kHandshakeInputSize;
    session->input = static_cast<char*>(std::malloc(session->inputSize));
    if (session->input == nullptr) {
        failWithRuntimeError(ENOMEM);
        releaseSession(session);
        return nullptr;
    }
    if (runHandshake(session) != 0 || prepareRecords(session) != 0) {
        ErrorRecord kept = lastError;  // the release must not replace the reason
        releaseSession(session);
        lastError = kept;
        return nullptr;
    }
    return session;
}

// ---------------------------------------------------------------------------------------------
// Sessions: records.

static int breakSession(TlsSession* session, SECURITY_STATUS status) {
    session->broken = true;
    session->failure = status;
    return failWithStatus(status);
}

int sendTlsBytes(TlsSession* session, const char* data, std::size_t length) {
    if (session->broken) {
        return failWithStatus(session->failure);
    }
    const SecPkgContext_StreamSizes* sizes = &session->sizes;
    while (length > 0) {
        std::size_t piece = length < sizes->cbMaximumMessage ? length : sizes->cbMaximumMessage;
        char* message = session->output + sizes->cbHeader;
        std::memcpy(message, data, piece);
        SecBuffer buffers[4] = {{sizes->cbHeader, SECBUFFER_STREAM_HEADER, session->output},
                                {static_cast<unsigned long>(piece), SECBUFFER_DATA, message},
                                {sizes->cbTrailer, SECBUFFER_STREAM_TRAILER, message + piece},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc description = {SECBUFFER_VERSION, 4, buffers};
        SECURITY_STATUS status = EncryptMessage(&session->context, 0, &description, 0);
        if (status != SEC_E_OK) {
            return breakSession(session, status);
        }
        std::size_t total = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
        if (sendBytes(session->socket, session->output, total) != 0) {
            // Half a record may have gone out: the stream cannot go on.
            ErrorRecord kept = lastError;
            (void)breakSession(session, SEC_E_INTERNAL_ERROR);
            lastError = kept;
            return -1;
        }
        data += piece;
        length -= piece;
    }
    return 0;
}

// Moves the encrypted bytes still waiting to the start of the input, once the decrypted ones
// before them are handed out.
static void compactInput(TlsSession* session) {
    if (session->pendingStart > 0) {
        std::memmove(session->input, session->input + session->pendingStart,
                     session->inputLength - session->pendingStart);
        session->inputLength -= session->pendingStart;
        session->pendingStart = 0;
    }
}

// Decrypts the next record in the input, receiving until one is complete. Returns 1 with plain
// set (maybe empty), 0 for the peer's close_notify, or -1 with the error set.
static int decryptNextRecord(TlsSession* session) {
    compactInput(session);
    for (;;) {
        SECURITY_STATUS status = SEC_E_INCOMPLETE_MESSAGE;
        SecBuffer buffers[4] = {
            {static_cast<unsigned long>(session->inputLength), SECBUFFER_DATA, session->input},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc description = {SECBUFFER_VERSION, 4, buffers};
        if (session->inputLength > 0) {
            status = DecryptMessage(&session->context, &description, 0, nullptr);
        }
        if (status == SEC_E_OK) {
            session->pendingStart = session->inputLength;
            for (const SecBuffer& buffer : buffers) {
                if (buffer.BufferType == SECBUFFER_DATA) {
                    session->plain = static_cast<char*>(buffer.pvBuffer);
                    session->plainLength = buffer.cbBuffer;
                } else if (buffer.BufferType == SECBUFFER_EXTRA &&
                           buffer.cbBuffer <= session->inputLength) {
                    session->pendingStart = session->inputLength - buffer.cbBuffer;
                }
            }
            return 1;
        }
        if (status == SEC_I_CONTEXT_EXPIRED) {
            session->peerClosed = true;
            return 0;
        }
        // SECURITY: a renegotiation (or, in TLS 1.3, a key update) is refused and ends the
        // session: nothing the peer sends makes the handshake start over in mid-transfer.
        if (status == SEC_I_RENEGOTIATE) {
            return breakSession(session, status);
        }
        if (status != SEC_E_INCOMPLETE_MESSAGE) {
            return breakSession(session, status);  // a record altered, cut or out of order
        }
        if (receiveInput(session) != 0) {
            if (!isLastError(ErrorKind::kTimedOut)) {
                session->broken = true;  // a stream cut within a record cannot go on
                session->failure = SEC_E_INCOMPLETE_MESSAGE;
            }
            return -1;
        }
    }
}

long long receiveTlsBytes(TlsSession* session, char* buffer, std::size_t size) {
    if (session->peerClosed) {
        return 0;
    }
    if (session->broken) {
        return failWithStatus(session->failure);
    }
    for (int empty = 0; session->plainLength == 0; empty++) {
        if (empty == kEmptyRecordLimit) {
            return breakSession(session, SEC_E_ILLEGAL_MESSAGE);
        }
        int result = decryptNextRecord(session);
        if (result <= 0) {
            // SECURITY: an end of the connection without close_notify may be a cut that someone
            // else made; an upload that ends so is not complete, so it fails.
            return result;
        }
    }
    std::size_t count = size < session->plainLength ? size : session->plainLength;
    std::memcpy(buffer, session->plain, count);
    session->plain += count;
    session->plainLength -= count;
    return static_cast<long long>(count);
}

// Makes our close_notify and sends it, without waiting for the peer's.
static void sendCloseNotify(TlsSession* session) {
    DWORD shutdown = SCHANNEL_SHUTDOWN;
    SecBuffer control = {sizeof shutdown, SECBUFFER_TOKEN, &shutdown};
    SecBufferDesc controlDescription = {SECBUFFER_VERSION, 1, &control};
    if (ApplyControlToken(&session->context, &controlDescription) != SEC_E_OK) {
        return;
    }
    SecBuffer output = {0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outputDescription = {SECBUFFER_VERSION, 1, &output};
    unsigned long attributes = 0;
    SECURITY_STATUS status =
        AcceptSecurityContext(session->credentials, &session->context, nullptr, kAcceptFlags, 0,
                              &session->context, &outputDescription, &attributes, nullptr);
    if (FAILED(status) && output.pvBuffer != nullptr) {
        (void)FreeContextBuffer(output.pvBuffer);
        return;
    }
    (void)sendToken(session, &output);  // a connection gone already has nothing to say
}

void endTlsSession(TlsSession* session) {
    if (session == nullptr) {
        return;
    }
    if (session->hasContext && !session->broken) {
        sendCloseNotify(session);
    }
    releaseSession(session);
}
