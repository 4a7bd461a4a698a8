// platform/windows/files.cpp: paths, directories, the find functions and file descriptors
// with the Microsoft C runtime, and the few Win32 calls it does not wrap (final paths,
// replacing a file).
#include "platform/platform.h"

#include <winsock2.h>

#include <windows.h>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/windows/internal.h"

// ---------------------------------------------------------------------------------------------
// Paths and directories.

const char kPathSeparator = '\\';

int changeProcessDirectory(const char* path) {
    return _chdir(path) == 0 ? 0 : failWithErrno();
}

// Room for a current directory or a final path with its "\\?\" prefix; longer paths fail as
// too long.
static constexpr std::size_t kLongPathSize = 1024;

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
    int size = static_cast<int>(outSize < INT_MAX ? outSize : INT_MAX);
    if (_getcwd(out, size) == nullptr) {
        return failWithErrno();
    }
    return 0;
}

// Copies a final path without the "\\?\" prefix that GetFinalPathNameByHandle puts before it;
// a network path comes back as "\\?\UNC\server\share" and becomes "\\server\share".
static int copyWithoutLongPrefix(const char* finalPath, char* out, std::size_t outSize) {
    const char* rest = finalPath;
    const char* lead = "";
    if (std::strncmp(finalPath, "\\\\?\\UNC\\", 8) == 0) {
        rest = finalPath + 8;
        lead = "\\\\";
    } else if (std::strncmp(finalPath, "\\\\?\\", 4) == 0) {
        rest = finalPath + 4;
    }
    int written = std::snprintf(out, outSize, "%s%s", lead, rest);
    if (written < 0 || static_cast<std::size_t>(written) >= outSize) {
        return failWithRuntimeError(ENAMETOOLONG);
    }
    return 0;
}

// The absolute path without links resolved, for systems whose file system cannot name an open
// handle's path; the caller has already seen that path exists.
static int fullPath(const char* path, char* out, std::size_t outSize) {
    errno = 0;
    if (_fullpath(out, path, outSize) == nullptr) {
        return failWithRuntimeError(errno != 0 ? errno : ENAMETOOLONG);
    }
    return 0;
}

int realPath(const char* path, char* out, std::size_t outSize) {
    // FILE_FLAG_BACKUP_SEMANTICS lets CreateFile open a directory; no access is asked for, so
    // neither a sharing mode nor a lock of anyone else's is in the way.
    HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return failWithSystemError();
    }
    char finalPath[kLongPathSize];
    DWORD length =
        GetFinalPathNameByHandleA(handle, finalPath, static_cast<DWORD>(sizeof finalPath),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    (void)CloseHandle(handle);  // a handle opened without access has nothing left to write
    if (length == 0) {
        return fullPath(path, out, outSize);
    }
    if (length >= sizeof finalPath) {
        return failWithRuntimeError(ENAMETOOLONG);
    }
    return copyWithoutLongPrefix(finalPath, out, outSize);
}

bool isAbsolutePath(const char* path) {
    // "D:name" depends on drive D's own current directory, not on the process's.
    return path[0] == '\\' || path[0] == '/' ||
           (std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':');
}

// Device names that Windows opens instead of a file of that name, in any folder. Windows also
// takes COM and LPT with a superscript 1, 2 or 3 (0xB9, 0xB2, 0xB3 in code page 1252).
static const char* const kDeviceNames[] = {
    "CON",     "PRN",     "AUX",     "NUL",     "COM1",   "COM2",   "COM3",    "COM4",
    "COM5",    "COM6",    "COM7",    "COM8",    "COM9",   "LPT1",   "LPT2",    "LPT3",
    "LPT4",    "LPT5",    "LPT6",    "LPT7",    "LPT8",   "LPT9",   "COM\xB9", "COM\xB2",
    "COM\xB3", "LPT\xB9", "LPT\xB2", "LPT\xB3", "CONIN$", "CONOUT$"};

static constexpr std::size_t kDeviceNameSize = 8;

bool isReservedName(const char* component) {
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
    for (const char* device : kDeviceNames) {
        if (_stricmp(base, device) == 0) {
            return true;
        }
    }
    return false;
}

bool isSameName(const char* a, const char* b) {
    return _stricmp(a, b) == 0;
}

int makeDirectory(const char* path) {
    return _mkdir(path) == 0 ? 0 : failWithErrno();
}

int removeDirectory(const char* path) {
    return _rmdir(path) == 0 ? 0 : failWithErrno();
}

int removeFile(const char* path) {
    // Windows refuses to delete a read-only file, but Wine as root may not; the attribute is
    // what protects an operator's package files from DELE, so it is tested here.
    struct _stat64 status;
    if (_stat64(path, &status) != 0) {
        return failWithErrno();
    }
    if ((status.st_mode & _S_IFMT) == _S_IFREG && (status.st_mode & _S_IWRITE) == 0) {
        return failWithRuntimeError(EACCES);
    }
    return _unlink(path) == 0 ? 0 : failWithErrno();
}

int renameEntry(const char* from, const char* to) {
    // The runtime's rename never replaces an existing entry.
    if (std::rename(from, to) == 0) {
        return 0;
    }
    int error = errno;
    // Some runtimes report an existing target as a denied access; the caller is told the
    // real reason.
    struct _stat64 status;
    if (error == EACCES && !isSameName(from, to) && _stat64(to, &status) == 0) {
        error = EEXIST;
    }
    return failWithRuntimeError(error);
}

int replaceFile(const char* from, const char* to) {
    if (!MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) {
        return failWithSystemError();
    }
    return 0;
}

int fileStatus(const char* path, FileStatus* out) {
    struct _stat64 status;
    if (_stat64(path, &status) != 0) {
        return failWithErrno();
    }
    out->isDirectory = (status.st_mode & _S_IFMT) == _S_IFDIR;
    out->isRegularFile = (status.st_mode & _S_IFMT) == _S_IFREG;
    out->isReadOnly = (status.st_mode & _S_IWRITE) == 0;
    out->size = static_cast<long long>(status.st_size);
    out->modifiedTime = static_cast<long long>(status.st_mtime);
    return 0;
}

int toLocalTime(long long time, LocalTime* out) {
    // The runtime rejects times before 1970; some versions return an error for them and
    // others a broken-down time of -1 everywhere, so they are refused here first.
    if (time < 0) {
        return failWithRuntimeError(EINVAL);
    }
    __time64_t value = static_cast<__time64_t>(time);
    struct tm broken;
    errno_t error = _localtime64_s(&broken, &value);
    if (error != 0) {
        return failWithRuntimeError(error);
    }
    out->year = broken.tm_year + 1900;
    out->month = broken.tm_mon + 1;
    out->day = broken.tm_mday;
    out->hour = broken.tm_hour;
    out->minute = broken.tm_min;
    out->second = broken.tm_sec;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Directory enumeration.

struct FindState {
    intptr_t handle;
};

static void describeEntry(const struct __finddata64_t* found, FindEntry* entry) {
    // The runtime's name field has the same 260 bytes as ours, so the name always fits.
    std::snprintf(entry->name, sizeof entry->name, "%s", found->name);
    entry->attributes = found->attrib;
    entry->size = (found->attrib & _A_SUBDIR) != 0 ? 0 : static_cast<long long>(found->size);
    entry->writeTime = static_cast<long long>(found->time_write);
}

FindState* findFirst(const char* pattern, FindEntry* entry) {
    FindState* state = static_cast<FindState*>(std::malloc(sizeof(FindState)));
    if (state == nullptr) {
        recordError(ENOMEM, ErrorSource::kRuntime);
        return nullptr;
    }
    struct __finddata64_t found;
    state->handle = _findfirst64(pattern, &found);
    if (state->handle == -1) {
        recordError(errno, ErrorSource::kRuntime);
        std::free(state);
        return nullptr;
    }
    describeEntry(&found, entry);
    return state;
}

int findNext(FindState* state, FindEntry* entry) {
    struct __finddata64_t found;
    if (_findnext64(state->handle, &found) != 0) {
        return failWithErrno();
    }
    describeEntry(&found, entry);
    return 0;
}

void findClose(FindState* state) {
    if (state != nullptr) {
        (void)_findclose(state->handle);  // fails only for a handle we never hand out
        std::free(state);
    }
}

// ---------------------------------------------------------------------------------------------
// Files.

// kIsDirectory's error for a directory, kAccessDenied's for anything else that is not a
// regular file: a device such as CON would block the session or never end.
static int refuseUnlessRegular(unsigned short mode) {
    if ((mode & _S_IFMT) == _S_IFDIR) {
        return failWithRuntimeError(EISDIR);
    }
    if ((mode & _S_IFMT) != _S_IFREG) {
        return failWithRuntimeError(EACCES);
    }
    return 0;
}

int openForReading(const char* path) {
    // The runtime would answer a directory with EACCES; the status query tells the two apart.
    struct _stat64 status;
    if (_stat64(path, &status) != 0) {
        return failWithErrno();
    }
    if (refuseUnlessRegular(status.st_mode) != 0) {
        return -1;
    }
    int file = -1;
    errno_t error = _sopen_s(&file, path, _O_BINARY | _O_RDONLY, _SH_DENYWR, _S_IREAD);
    if (error != 0) {
        return failWithRuntimeError(error);
    }
    // The name may have been replaced between the query and the open; judge what was opened.
    if (_fstat64(file, &status) != 0) {
        int statusError = errno;
        (void)_close(file);
        return failWithRuntimeError(statusError);
    }
    if (refuseUnlessRegular(status.st_mode) != 0) {
        (void)_close(file);
        return -1;
    }
    return file;
}

int createNewFile(const char* path) {
    int file = -1;
    errno_t error = _sopen_s(&file, path, _O_BINARY | _O_WRONLY | _O_CREAT | _O_EXCL, _SH_DENYRW,
                             _S_IREAD | _S_IWRITE);
    if (error != 0) {
        return failWithRuntimeError(error);
    }
    return file;
}

// _read and _write take an unsigned count but answer with an int.
static constexpr std::size_t kLargestFileTransfer = INT_MAX;

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
    if (sendBytes(socket, buffer, static_cast<std::size_t>(count)) != 0) {
        *sendFailed = true;
        return -1;
    }
    return count;
}
