// platform/windows/files.cpp: names, the find functions and file descriptors with the
// Microsoft C runtime.
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

// The runtime rejects times before 1970; some versions return an error for them and others a
// broken-down time of -1 everywhere, so they are refused here first.
static int toCalendarTime(long long time, bool local, CalendarTime* out) {
    if (time < 0) {
        return failWithRuntimeError(EINVAL);
    }
    __time64_t value = static_cast<__time64_t>(time);
    struct tm broken;
    errno_t error = local ? _localtime64_s(&broken, &value) : _gmtime64_s(&broken, &value);
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

int toLocalTime(long long time, CalendarTime* out) {
    return toCalendarTime(time, true, out);
}

int toUniversalTime(long long time, CalendarTime* out) {
    return toCalendarTime(time, false, out);
}

// ---------------------------------------------------------------------------------------------
// Directory enumeration.

struct FindState {
    intptr_t handle;
    Folder* folder;  // pinned while its entries are read
};

static void describeEntry(const struct __finddata64_t* found, FindEntry* entry) {
    // The runtime's name field has the same 260 bytes as ours, so the name always fits.
    std::snprintf(entry->name, sizeof entry->name, "%s", found->name);
    entry->attributes = found->attrib;
    entry->size = (found->attrib & _A_SUBDIR) != 0 ? 0 : static_cast<long long>(found->size);
    entry->writeTime = static_cast<long long>(found->time_write);
}

FindState* findFirst(Folder* /*root*/, const char* folderPath, const char* pattern,
                     FindEntry* entry) {
    FindState* state = static_cast<FindState*>(std::malloc(sizeof(FindState)));
    if (state == nullptr) {
        recordError(ENOMEM, ErrorSource::kRuntime);
        return nullptr;
    }
    state->folder = pinFolderBeneath(folderPath);
    char search[kLongPathSize];
    int written = -1;
    if (state->folder != nullptr) {
        written = std::snprintf(search, sizeof search, "%s\\%s", state->folder->path, pattern);
        if (written < 0 || static_cast<std::size_t>(written) >= sizeof search) {
            recordError(ENAMETOOLONG, ErrorSource::kRuntime);
            written = -1;
        }
    }
    struct __finddata64_t found;
    state->handle = written < 0 ? -1 : _findfirst64(search, &found);
    if (state->handle == -1) {
        if (written >= 0) {
            recordError(errno, ErrorSource::kRuntime);
        }
        closeFolder(state->folder);
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
        closeFolder(state->folder);
        std::free(state);
    }
}

// ---------------------------------------------------------------------------------------------
// Files.

// _read and _write take an unsigned count but answer with an int.
static constexpr std::size_t kLargestFileTransfer = INT_MAX;

long long fileSizeOf(int file) {
    long long size = _filelengthi64(file);
    return size >= 0 ? size : failWithErrno();
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
    if (sendBytes(socket, buffer, static_cast<std::size_t>(count)) != 0) {
        *sendFailed = true;
        return -1;
    }
    return count;
}
