// platform/windows/files.cpp: names and their UTF-8 and UTF-16 forms, changes in a folder held
// beneath the root and file descriptors with the Microsoft C runtime (enumeration.cpp lists).
#include "platform/platform.h"

#include <winsock2.h>

#include <windows.h>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <cwchar>

#include "platform/primitives.h"
#include "platform/windows/internal.h"

// ---------------------------------------------------------------------------------------------
// Paths and directories.

const char kPathSeparator = '\\';
const char kSystemPathSeparators[] = "\\/";

// Converts text to UTF-16 as toWideText does, but without recording an error. Returns 0,
// kRefusedPathError for text that is not UTF-8, or ENAMETOOLONG.
static int convertToWide(const char* text, wchar_t* out, std::size_t outSize) {
    int size = static_cast<int>(outSize < INT_MAX ? outSize : INT_MAX);
    if (size == 0) {
        return ENAMETOOLONG;
    }
    // A length of -1 converts the terminator too.
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out, size) == 0) {
        return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? ENAMETOOLONG : kRefusedPathError;
    }
    // SECURITY: the text must come back as the very bytes it was. A decoder that took an
    // over-long form ("\xC0\xAE" for ".") would let a name that passed every check by its
    // bytes open another one.
    char back[kLongPathTextSize];
    int length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, out, -1, back,
                                     static_cast<int>(sizeof back), nullptr, nullptr);
    if (length == 0 || std::strcmp(back, text) != 0) {
        return kRefusedPathError;
    }
    return 0;
}

int toWideText(const char* text, wchar_t* out, std::size_t outSize) {
    int error = convertToWide(text, out, outSize);
    return error == 0 ? 0 : failWithRuntimeError(error);
}

int toUtf8Text(const wchar_t* text, char* out, std::size_t outSize) {
    int size = static_cast<int>(outSize < INT_MAX ? outSize : INT_MAX);
    if (size == 0) {
        return failWithRuntimeError(ENAMETOOLONG);
    }
    // WC_ERR_INVALID_CHARS refuses a lone surrogate, which NTFS allows in a name, instead of
    // turning it into U+FFFD: a name must reach the client as it is or not at all.
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, out, size, nullptr, nullptr) ==
        0) {
        return failWithRuntimeError(
            GetLastError() == ERROR_INSUFFICIENT_BUFFER ? ENAMETOOLONG : kRefusedPathError);
    }
    return 0;
}

bool isSameWideName(const wchar_t* a, std::size_t aLength, const wchar_t* b, std::size_t bLength) {
    if (aLength > INT_MAX || bLength > INT_MAX) {
        return false;
    }
    // An ordinal comparison through the system's upper-case table matches names the way the
    // file system does, whatever the user's locale; a linguistic one (LCMapStringEx in a
    // locale) would not, for letters such as the Turkish dotted and dotless i. A failure
    // compares unequal, which keeps a path outside the root.
    return CompareStringOrdinal(a, static_cast<int>(aLength), b, static_cast<int>(bLength), TRUE) ==
           CSTR_EQUAL;
}

int changeProcessDirectory(const char* path) {
    wchar_t widePath[kLongPathSize];
    if (toWideText(path, widePath, kLongPathSize) != 0) {
        return -1;
    }
    return _wchdir(widePath) == 0 ? 0 : failWithErrno();
}

int enterDefaultRoot() {
    // The current directory without its drive letter and colon, entered again: a local
    // folder stays where it is, while a network path (\\server\share) leaves a relative text
    // that normally names nothing, so the caller refuses to serve it.
    char directory[kLongPathSize];
    if (currentDirectory(directory, sizeof directory) != 0) {
        return -1;
    }
    const char* rest = std::strlen(directory) > 2 ? directory + 2 : "\\";
    return changeProcessDirectory(rest);
}

int currentDirectory(char* out, std::size_t outSize) {
    wchar_t directory[kLongPathSize];
    if (_wgetcwd(directory, static_cast<int>(kLongPathSize)) == nullptr) {
        return failWithErrno();
    }
    return toUtf8Text(directory, out, outSize);
}

// Device names that Windows opens instead of a file of that name, in any folder. Windows also
// takes COM and LPT with a superscript 1, 2 or 3 (U+00B9, U+00B2, U+00B3, here in UTF-8).
static const char* const kDeviceNames[] = {
    "CON",         "PRN",         "AUX",         "NUL",         "COM1",        "COM2",
    "COM3",        "COM4",        "COM5",        "COM6",        "COM7",        "COM8",
    "COM9",        "LPT1",        "LPT2",        "LPT3",        "LPT4",        "LPT5",
    "LPT6",        "LPT7",        "LPT8",        "LPT9",        "COM\xC2\xB9", "COM\xC2\xB2",
    "COM\xC2\xB3", "LPT\xC2\xB9", "LPT\xC2\xB2", "LPT\xC2\xB3", "CONIN$",      "CONOUT$"};

static constexpr std::size_t kDeviceNameSize = 8;

bool hasReservedForm(const char* component) {
    // SECURITY: a colon names a drive ("c:") or a stream ("file:stream"); either would reach
    // past the entry the client named.
    if (std::strchr(component, ':') != nullptr) {
        return true;
    }
    // SECURITY: "nul.txt" and "con .log" open the device as well: Windows looks only at the
    // part before the first dot, without its trailing blanks.
    std::size_t length = std::strcspn(component, ".");
    while (length > 0 && component[length - 1] == ' ') {
        length--;
    }
    if (length == 0 || length >= kDeviceNameSize) {
        return false;
    }
    char base[kDeviceNameSize];
    std::memcpy(base, component, length);
    base[length] = '\0';
    // The superscripts have no letter case, so an ASCII comparison serves for every name.
    for (const char* device : kDeviceNames) {
        if (_stricmp(base, device) == 0) {
            return true;
        }
    }
    return false;
}

bool isReservedName(const char* component) {
    // SECURITY: a name that is not UTF-8 can name no entry here (every name is UTF-16
    // underneath), and no lossy form of it may be looked up instead.
    wchar_t wide[kLongPathSize];
    return hasReservedForm(component) ||
           convertToWide(component, wide, kLongPathSize) == kRefusedPathError;
}

bool isSameName(const char* a, const char* b) {
    if (std::strcmp(a, b) == 0) {
        return true;  // the same bytes, even where they are no UTF-8
    }
    wchar_t wideA[kLongPathSize];
    wchar_t wideB[kLongPathSize];
    return convertToWide(a, wideA, kLongPathSize) == 0 &&
           convertToWide(b, wideB, kLongPathSize) == 0 &&
           isSameWideName(wideA, std::wcslen(wideA), wideB, std::wcslen(wideB));
}

bool startsWithName(const char* name, const char* prefix) {
    wchar_t wideName[kLongPathSize];
    wchar_t widePrefix[kLongPathSize];
    if (convertToWide(name, wideName, kLongPathSize) != 0 ||
        convertToWide(prefix, widePrefix, kLongPathSize) != 0) {
        return std::strncmp(name, prefix, std::strlen(prefix)) == 0;
    }
    std::size_t length = std::wcslen(widePrefix);
    return std::wcslen(wideName) >= length && isSameWideName(wideName, length, widePrefix, length);
}

// The runtime rejects times before 1970; some versions return an error for them and others a
// broken-down time of -1 everywhere, so they are refused here first.
int breakDownTime(long long time, bool local, struct tm* out) {
    if (time < 0) {
        return failWithRuntimeError(EINVAL);
    }
    __time64_t value = static_cast<__time64_t>(time);
    errno_t error = local ? _localtime64_s(out, &value) : _gmtime64_s(out, &value);
    return error != 0 ? failWithRuntimeError(error) : 0;
}

// ---------------------------------------------------------------------------------------------
// Changes in a folder held beneath the root.

int makeDirectoryAt(Folder* folder, const char* name) {
    wchar_t path[kLongPathSize];
    if (pathInFolder(folder, name, path, kLongPathSize) != 0) {
        return -1;
    }
    return _wmkdir(path) == 0 ? 0 : failWithErrno();
}

// The removals and renames below act on a name that the lookup found free or its entry's own,
// and look again: a name free then may be the short name of an entry made since, such as an
// upload's temporary file, which no removal or replacement may reach.

int removeDirectoryAt(Folder* folder, const char* name) {
    wchar_t path[kLongPathSize];
    if (pathInFolder(folder, name, path, kLongPathSize) != 0 || refuseOtherName(path) != 0) {
        return -1;
    }
    return _wrmdir(path) == 0 ? 0 : failWithErrno();
}

int removeFileAt(Folder* folder, const char* name) {
    wchar_t path[kLongPathSize];
    if (pathInFolder(folder, name, path, kLongPathSize) != 0 || refuseOtherName(path) != 0) {
        return -1;
    }
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return failWithSystemError();
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return failWithRuntimeError(EISDIR);
    }
    // Windows refuses to delete a read-only file, but Wine as root may not; the attribute is
    // what protects an operator's package files from DELE, so it is tested here.
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return failWithRuntimeError(EACCES);
    }
    return _wunlink(path) == 0 ? 0 : failWithErrno();
}

int removeOwnFileAt(Folder* folder, const char* name) {
    wchar_t path[kLongPathSize];
    if (pathInFolder(folder, name, path, kLongPathSize) != 0) {
        return -1;
    }
    // Our own file may have come out read-only; that must not keep it.
    (void)SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);  // DeleteFile reports what matters
    return DeleteFileW(path) ? 0 : failWithSystemError();
}

int renameEntryAt(Folder* fromFolder, const char* fromName, Folder* toFolder, const char* toName) {
    wchar_t from[kLongPathSize];
    wchar_t to[kLongPathSize];
    if (pathInFolder(fromFolder, fromName, from, kLongPathSize) != 0 ||
        pathInFolder(toFolder, toName, to, kLongPathSize) != 0 || refuseOtherName(from) != 0) {
        return -1;
    }
    // Without MOVEFILE_REPLACE_EXISTING an existing entry is never replaced.
    return MoveFileExW(from, to, 0) ? 0 : failWithSystemError();
}

int replaceFileAt(Folder* folder, const char* fromName, const char* toName) {
    wchar_t from[kLongPathSize];
    wchar_t to[kLongPathSize];
    if (pathInFolder(folder, fromName, from, kLongPathSize) != 0 ||
        pathInFolder(folder, toName, to, kLongPathSize) != 0 || refuseOtherName(to) != 0) {
        return -1;
    }
    return MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING) ? 0 : failWithSystemError();
}

int createNewFileAt(Folder* folder, const char* name) {
    wchar_t path[kLongPathSize];
    if (pathInFolder(folder, name, path, kLongPathSize) != 0) {
        return -1;
    }
    // Nobody reads or writes an upload before it is complete; delete sharing only lets an
    // ending process remove its name while the upload still holds it.
    HANDLE handle = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return failWithSystemError();
    }
    int file = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (file < 0) {
        (void)CloseHandle(handle);
        return failWithRuntimeError(EMFILE);
    }
    return file;
}

// Makes the copy at path the new file that no one else may open meanwhile, and keeps length
// bytes of it (all when negative), positioned after them. Returns the handle, or
// INVALID_HANDLE_VALUE with the error set.
static HANDLE keepCopyStart(const wchar_t* path, long long length) {
    // CopyFile carries the source's attributes over; a read-only copy could not be written.
    if (!SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL)) {
        (void)failWithSystemError();
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        (void)failWithSystemError();
        return handle;
    }
    LARGE_INTEGER size;
    LARGE_INTEGER position;
    position.QuadPart = length < 0 ? 0 : length;
    int failed = 0;
    if (!GetFileSizeEx(handle, &size)) {
        failed = failWithSystemError();
    } else if (length > size.QuadPart) {
        failed = failWithRuntimeError(EINVAL);  // the source shrank since its size was read
    } else if (!SetFilePointerEx(handle, position, nullptr, length < 0 ? FILE_END : FILE_BEGIN) ||
               (length >= 0 && !SetEndOfFile(handle))) {
        failed = failWithSystemError();
    }
    if (failed != 0) {
        (void)CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

int createCopyAt(Folder* folder, const char* sourceName, const char* newName, long long length) {
    wchar_t source[kLongPathSize];
    wchar_t path[kLongPathSize];
    if (pathInFolder(folder, sourceName, source, kLongPathSize) != 0 ||
        pathInFolder(folder, newName, path, kLongPathSize) != 0) {
        return -1;
    }
    // The system's own copy: block cloning where the volume has it (ReFS), else a copy inside
    // the system. The link itself is copied, never followed; the caller takes regular files.
    if (!CopyFileExW(source, path, nullptr, nullptr, nullptr,
                     COPY_FILE_FAIL_IF_EXISTS | COPY_FILE_COPY_SYMLINK)) {
        return failWithSystemError();
    }
    HANDLE handle = keepCopyStart(path, length);
    int file = handle == INVALID_HANDLE_VALUE
                   ? -1
                   : _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (handle != INVALID_HANDLE_VALUE && file < 0) {
        (void)CloseHandle(handle);
        (void)failWithRuntimeError(EMFILE);
    }
    if (file < 0) {
        (void)DeleteFileW(path);  // the error that matters is recorded already
    }
    return file;
}

// ---------------------------------------------------------------------------------------------
// Files.

// _read and _write take an unsigned count but answer with an int.
static constexpr std::size_t kLargestFileTransfer = INT_MAX;

int openFileForAppending(const char* path) {
    wchar_t widePath[kLongPathSize];
    if (toWideText(path, widePath, kLongPathSize) != 0) {
        return -1;
    }
    // _SH_DENYNO lets the operator read the file while the server writes it.
    int file = -1;
    int error =
        _wsopen_s(&file, widePath, _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY | _O_NOINHERIT,
                  _SH_DENYNO, _S_IREAD | _S_IWRITE);
    return error == 0 ? file : failWithRuntimeError(error);
}

long long fileSizeOf(int file) {
    long long size = _filelengthi64(file);
    return size >= 0 ? size : failWithErrno();
}

int readFileVersion(int file, FileVersion* out) {
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(file));
    return handle == INVALID_HANDLE_VALUE ? failWithRuntimeError(EBADF)
                                          : versionOfHandle(handle, out);
}

int seekFile(int file, long long offset) {
    return _lseeki64(file, offset, SEEK_SET) >= 0 ? 0 : failWithErrno();
}

long long readFile(int file, char* buffer, std::size_t size) {
    unsigned count =
        static_cast<unsigned>(size < kLargestFileTransfer ? size : kLargestFileTransfer);
    int result = _read(file, buffer, count);
    if (result < 0) {
        return failWithErrno();
    }
    return result;
}

int writeFile(int file, const char* data, std::size_t length) {
    std::size_t written = 0;
    while (written < length) {
        std::size_t rest = length - written;
        unsigned count =
            static_cast<unsigned>(rest < kLargestFileTransfer ? rest : kLargestFileTransfer);
        int result = _write(file, data + written, count);
        if (result < 0) {
            return failWithErrno();
        }
        if (result == 0) {
            return failWithRuntimeError(ENOSPC);
        }
        written += static_cast<std::size_t>(result);
    }
    return 0;
}

int closeFile(int file) {
    return _close(file) == 0 ? 0 : failWithErrno();
}

long long sendFilePiece(SocketHandle socket, int file, char* buffer, std::size_t size,
                        bool* sendFailed) {
    *sendFailed = false;
    long long count = readFile(file, buffer, size);
    if (count <= 0) {
        return count;
    }
    // Windows has no send straight from a descriptor of the runtime, so every piece passes
    // through buffer, and what the socket did not take is read again by the next piece. A
    // blocking send takes it all, or fails.
    long long sent = sendSomeBytes(socket, buffer, static_cast<std::size_t>(count));
    long long unsent = count - (sent > 0 ? sent : 0);
    if (unsent > 0 && _lseeki64(file, -unsent, SEEK_CUR) < 0) {
        return failWithErrno();  // the position is lost: the file cannot go on
    }
    if (sent < 0) {
        *sendFailed = true;
        return -1;
    }
    return sent;
}
