// platform/windows/pem.cpp: one PEM file as Schannel's credentials need it: its certificates
// in a store and its first private key, in PKCS #8 form. OpenSSL reads such files itself; on
// Windows no system call does, so this is ours.
#include "platform/platform.h"

#include <winsock2.h>

#include <windows.h>
#include <wincrypt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/windows/internal.h"

// A certificate, its chain and its key take a few KiB; a larger file is no such file.
constexpr std::size_t kPemFileLimit = 1024 * 1024;
constexpr std::size_t kPemLabelSize = 32;
constexpr std::size_t kSha256Size = 32;

// Every encoding a certificate or key of ours is in.
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct PemBlock {
    char label[kPemLabelSize];
    const char* body;
    std::size_t bodyLength;
};

// Reads the whole file, at most kPemFileLimit bytes, into a terminated heap copy.
char* readPemFile(const char* path, std::size_t* length) {
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
int readPemContents(const char* text, void* store, PemContents* contents, char* reason,
                    std::size_t reasonSize) {
    const char* cursor = text;
    PemBlock block;
    while (nextPemBlock(&cursor, &block)) {
        if (takePemBlock(&block, static_cast<HCERTSTORE>(store), contents) != 0) {
            writeTlsReason(reason, reasonSize,
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
unsigned char* privateKeyInfoOf(const PemContents* contents, unsigned long* length,
                                bool* wrapped) {
    *wrapped = false;
    if (contents->keyForm == KeyForm::kPrivateKeyInfo) {
        *length = contents->keyLength;
        return contents->key;
    }
    CRYPT_PRIVATE_KEY_INFO info;
    std::memset(&info, 0, sizeof info);
    info.Version = 0;
    info.Algorithm =
        static_cast<PCCERT_CONTEXT>(contents->leaf)->pCertInfo->SubjectPublicKeyInfo.Algorithm;
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

int checkPemContents(const PemContents* contents, char* reason, std::size_t reasonSize) {
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

// Writes the certificate's SHA-256 digest in upper-case hexadecimal, its bytes joined by
// separator. Returns 0, or -1 with the error set.
int writeDigest(const void* certificateContext, const char* separator, char* out,
                std::size_t outSize) {
    PCCERT_CONTEXT certificate = static_cast<PCCERT_CONTEXT>(certificateContext);
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

// Writes "sha256//" and the base64 of the SHA-256 of the certificate's public key (its DER
// SubjectPublicKeyInfo), as curl's --pinnedpubkey takes it. Returns 0, or -1 with the error.
int writePublicKeyPin(const void* certificateContext, char* out, std::size_t outSize) {
    PCCERT_CONTEXT certificate = static_cast<PCCERT_CONTEXT>(certificateContext);
    BYTE* encoded = nullptr;
    DWORD encodedLength = 0;
    if (!CryptEncodeObjectEx(kEncoding, X509_PUBLIC_KEY_INFO,
                             &certificate->pCertInfo->SubjectPublicKeyInfo, CRYPT_ENCODE_ALLOC_FLAG,
                             nullptr, &encoded, &encodedLength)) {
        return failWithSystemError();
    }
    BYTE digest[kSha256Size];
    DWORD length = sizeof digest;
    bool hashed = CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, encoded, encodedLength,
                                        digest, &length);
    (void)LocalFree(encoded);  // the encoder's allocation
    static const char kPrefix[] = "sha256//";
    DWORD room = outSize > sizeof kPrefix ? static_cast<DWORD>(outSize - (sizeof kPrefix - 1)) : 0;
    if (!hashed || room == 0) {
        return hashed ? failWithRuntimeError(ENAMETOOLONG) : failWithSystemError();
    }
    std::memcpy(out, kPrefix, sizeof kPrefix - 1);
    if (!CryptBinaryToStringA(digest, length, CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF,
                              out + sizeof kPrefix - 1, &room)) {
        return failWithSystemError();
    }
    return 0;
}
