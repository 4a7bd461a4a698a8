// platform/windows/internal.h: what the Windows files of the platform layer share: the
// calling thread's last error, from whichever of the three sources it came, and the helpers
// that record it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/platform.h"

struct timeval;

// Where the number of the last error comes from. The runtime's errno values, Winsock's codes
// and Win32's codes overlap, and each source has its own texts.
enum class ErrorSource { kRuntime, kSocket, kSystem };

struct ErrorRecord {
    int number;
    ErrorSource source;
};

// The error of the calling thread's last failed platform call. Winsock and Win32 calls leave
// errno alone, so their numbers are kept here beside the runtime's.
extern thread_local ErrorRecord lastError;

void recordError(int number, ErrorSource source);
// Records WSAGetLastError; a send or receive timeout reads as the runtime's ETIMEDOUT, and
// WSAEWOULDBLOCK as EWOULDBLOCK.
void recordSocketError();
// Records GetLastError; file errors as the runtime's numbers, the rest as the system's.
void recordSystemError();
// Each records its error and returns -1. failWithSocketError, which the shared files call too,
// is declared in primitives.h.
int failWithRuntimeError(int error);
int failWithErrno();
int failWithSystemError();

// Room, in UTF-16 units, for a current directory or a final path with its "\\?\" prefix;
// longer paths fail as too long.
constexpr std::size_t kLongPathSize = 1024;
// Room for such a path in UTF-8, where one UTF-16 unit takes at most 3 bytes.
constexpr std::size_t kLongPathTextSize = 3 * kLongPathSize;

// Every name that crosses platform.h is UTF-8 and every Win32 call here takes UTF-16: the ANSI
// calls would turn a name outside the code page into a look-alike (two fullwidth full stops,
// U+FF0E, into "..").

// Converts text to UTF-16 in out (outSize units). Returns 0, or -1 with kRefusedPathError for
// text that is not UTF-8, or ENAMETOOLONG when it does not fit.
int toWideText(const char* text, wchar_t* out, std::size_t outSize);
// Converts UTF-16 text to UTF-8. Returns 0, or -1 with kRefusedPathError for text that is not
// valid UTF-16 (a lone surrogate), or ENAMETOOLONG when it does not fit.
int toUtf8Text(const wchar_t* text, char* out, std::size_t outSize);
// Compares two UTF-16 texts of the given lengths as Windows compares names.
bool isSameWideName(const wchar_t* a, std::size_t aLength, const wchar_t* b, std::size_t bLength);

// A folder beneath the root: the handle that pins it (none for the root's own record, which
// holds nothing open between commands) and its final path, in UTF-16 as the system gave it.
struct Folder {
    void* handle;
    wchar_t path[kLongPathSize];
};

// The root's final path without its "\\?\" prefix, in UTF-16 as the system gave it, for
// every check; fixed at start-up before any session exists, only read afterwards.
extern wchar_t rootFinalPath[kLongPathSize];

// Implemented by files.cpp. True for a name with a colon or of a device ("nul.txt"): the
// part of isReservedName that needs no conversion.
bool hasReservedForm(const char* component);

// Implemented by beneath.cpp. The names of a path below the root in UTF-16, "." and ".." taken
// off by name; refused when one would reach past the root or is no ordinary name. The last
// name's own bytes go to lastName, when given.
int namesOfPath(const char* path, std::vector<std::wstring>* names,
                std::string* lastName = nullptr);
// Copies text with its terminator; ENAMETOOLONG when it does not fit.
int copyWideText(wchar_t* out, std::size_t outSize, const wchar_t* text);
// folder and the first count names, or one name, joined by "\\".
int joinPath(const wchar_t* folder, const std::vector<std::wstring>& names, std::size_t count,
             wchar_t* out, std::size_t outSize);
int joinName(const wchar_t* folder, const wchar_t* name, wchar_t* out, std::size_t outSize);
// True when path (a final path) is the root or lies below it, compared name by name as
// Windows compares.
bool isBeneathRoot(const wchar_t* path);
// The final path of what handle names, without the "\\?\" prefix; refused when it cannot be
// told or has no UTF-8 form.
int finalPathOf(void* handle, wchar_t* out, std::size_t outSize);
// Refuses a path whose last name reaches its entry by a name other than the entry's own (in
// any letter case): its 8.3 short name ("TARNLO~1"), or its name with the trailing dots or
// spaces that Windows trims. Returns 0 for the entry's own name or a name of nothing, or -1
// with ENOENT's error: the other name is answered as missing.
int refuseOtherName(const wchar_t* path);
// Opens path (links followed) with access and share (CreateFileW's) and checks that what was
// opened lies beneath the root, and that each name of path is its entry's own (refused as
// missing otherwise). Returns the handle, or INVALID_HANDLE_VALUE with the error set; its final
// path goes to finalOut (kLongPathSize units), when given.
void* openVerified(const wchar_t* path, unsigned long access, unsigned long share,
                   wchar_t* finalOut);
// The full path of the entry that a path below the root names.
int entryPath(const char* path, wchar_t* out, std::size_t outSize);

// True for a file that withholdFile keeps from clients: the one handle names, or the one at
// path (links followed).
bool isWithheldHandle(void* handle);
bool isWithheldEntry(const wchar_t* path);
// The version of the file that handle names.
int versionOfHandle(void* handle, FileVersion* out);

// Pins the folder that path names beneath the root. Returns it, or nullptr with the error set.
Folder* pinFolderBeneath(const char* path);
// The full UTF-16 path of name (UTF-8) in a pinned folder. Returns 0, or -1 with the error.
int pathInFolder(const Folder* folder, const char* name, wchar_t* out, std::size_t outSize);

// ---------------------------------------------------------------------------------------------
// TLS: what certificates.cpp, pem.cpp and tls.cpp share. Windows types are passed as void*,
// so that no system header is needed here.

// Records a Schannel or CNG status (a Win32-style code) and returns -1.
int failWithSecurityStatus(long status);
// Writes "what (the last error's text)" into reason.
void writeTlsReason(char* reason, std::size_t reasonSize, const char* what);
// The Schannel credential handle (a CredHandle*) of every session.
void* credentialHandleOf(TlsCredentials* credentials);

// The forms of private key a PEM file may hold. The bare forms are put into a PKCS #8 wrapper
// with the certificate's algorithm; a key of another algorithm then fails the import.
enum class KeyForm { kNone, kPrivateKeyInfo, kBareKey, kEncrypted, kOther };

// What pem.cpp read of a PEM file.
struct PemContents {
    const void* leaf;         // the first certificate (a PCCERT_CONTEXT), in the store given
    unsigned char* key;       // the key's DER bytes, on the heap
    unsigned long keyLength;  // a DWORD
    KeyForm keyForm;
};

// Reads the whole file, at most 1 MiB, into a terminated heap copy. Returns nullptr with the
// error set.
char* readPemFile(const char* path, std::size_t* length);
// Puts the certificates of text into store (an HCERTSTORE), the first private key into
// contents. Returns 0, or -1 with the reason written.
int readPemContents(const char* text, void* store, PemContents* contents, char* reason,
                    std::size_t reasonSize);
// Returns 0 when contents have a certificate and an unencrypted key, or -1 with the reason.
int checkPemContents(const PemContents* contents, char* reason, std::size_t reasonSize);
// The key in PKCS #8 form: as the file has it, or a bare one wrapped with the certificate's
// algorithm (and curve). Release with LocalFree when *wrapped is set.
unsigned char* privateKeyInfoOf(const PemContents* contents, unsigned long* length, bool* wrapped);
// Writes the certificate's (a PCCERT_CONTEXT) SHA-256 digest in upper-case hexadecimal, its
// bytes joined by separator. Returns 0, or -1 with the error set.
int writeDigest(const void* certificateContext, const char* separator, char* out,
                std::size_t outSize);
// Writes the pin of the certificate's public key, "sha256//" and a base64 SHA-256 digest.
// Returns 0, or -1 with the error set.
int writePublicKeyPin(const void* certificateContext, char* out, std::size_t outSize);
// Acquires Schannel's server credentials (into a CredHandle) for a certificate with its key:
// TLS 1.2 and 1.3 with the system's recommended cipher suites, and flags besides. Returns the
// SECURITY_STATUS.
long acquireServerCredentials(const void* certificateContext, unsigned long flags, void* handle);

// The time limit of a select: out filled from milliseconds; nullptr, no limit, for a negative
// time.
struct timeval* selectLimit(long long milliseconds, struct timeval* out);
