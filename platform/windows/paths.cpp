// platform/windows/paths.cpp: the served root's lifetime and every lookup beneath it on
// Windows. Each lookup pins what it found with a handle whose final path was checked against
// the root's (beneath.cpp), and acts while the handle is held; a path whose final form cannot
// be told is refused.
// Paths stay in UTF-16 from the client's UTF-8 names to the system and back.
#include "platform/platform.h"

#include <winsock2.h>

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/path_text.h"
#include "platform/primitives.h"
#include "platform/windows/internal.h"

wchar_t rootFinalPath[kLongPathSize];
// The same in UTF-8, for the server.
static char rootFinalText[kLongPathTextSize];

// Share modes without FILE_SHARE_DELETE: while such a handle is open, neither the entry nor
// any folder above it can be renamed or removed.
constexpr DWORD kPinningShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kAnyShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

int setServedRoot(const char* rootPath) {
    wchar_t widePath[kLongPathSize];
    if (toWideText(rootPath, widePath, kLongPathSize) != 0) {
        return -1;
    }
    HANDLE handle = CreateFileW(widePath, 0, kAnyShare, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return failWithSystemError();
    }
    int found = finalPathOf(handle, rootFinalPath, kLongPathSize);
    (void)CloseHandle(handle);  // a handle opened without access has nothing left to write
    if (found != 0 || toUtf8Text(rootFinalPath, rootFinalText, sizeof rootFinalText) != 0) {
        rootFinalPath[0] = L'\0';
        rootFinalText[0] = '\0';
        return -1;
    }
    return 0;
}

int withholdFile(const char* path, int openFile) {
    wchar_t widePath[kLongPathSize];
    if (openFile < 0 && toWideText(path, widePath, kLongPathSize) != 0) {
        return -1;
    }
    // The caller's own handle is not ours to close.
    HANDLE handle = openFile >= 0 ? reinterpret_cast<HANDLE>(_get_osfhandle(openFile))
                                  : CreateFileW(widePath, FILE_READ_ATTRIBUTES, kAnyShare, nullptr,
                                                OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION information;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &information)) {
        int result = failWithSystemError();
        if (handle != INVALID_HANDLE_VALUE && openFile < 0) {
            (void)CloseHandle(handle);  // opened for its attributes: nothing to lose
        }
        return result;
    }
    // Nothing of the file is held open for the table (-1): its index passes to no other file
    // while the file has a name, and the caller's handle is not ours to keep.
    unsigned long long fileIndex =
        (static_cast<unsigned long long>(information.nFileIndexHigh) << 32) |
        information.nFileIndexLow;
    if (addWithheldFile(information.dwVolumeSerialNumber, fileIndex, -1) != 0) {
        if (openFile < 0) {
            (void)CloseHandle(handle);
        }
        return -1;
    }
    if (openFile >= 0) {
        return 0;
    }
    wchar_t finalPath[kLongPathSize];
    int found = finalPathOf(handle, finalPath, kLongPathSize);
    (void)CloseHandle(handle);
    // A path that cannot be told (a network path) is no place the root can be either.
    return found == 0 && isBeneathRoot(finalPath) ? 1 : 0;
}

// Whether the file that information describes is one the server never serves.
static bool isWithheldFile(const BY_HANDLE_FILE_INFORMATION* information) {
    unsigned long long fileIndex =
        (static_cast<unsigned long long>(information->nFileIndexHigh) << 32) |
        information->nFileIndexLow;
    return (information->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
           isWithheldIdentity(information->dwVolumeSerialNumber, fileIndex);
}

// Windows keeps no hold on a withheld file, so none is ever gone or released.
bool isHeldFileGone(std::intptr_t) {
    return false;
}

void releaseFileHold(std::intptr_t) {}

bool isWithheldHandle(void* handle) {
    BY_HANDLE_FILE_INFORMATION information;
    return hasWithheldFiles() && GetFileInformationByHandle(handle, &information) &&
           isWithheldFile(&information);
}

bool isWithheldEntry(const wchar_t* path) {
    if (!hasWithheldFiles()) {
        return false;
    }
    HANDLE handle = CreateFileW(path, FILE_READ_ATTRIBUTES, kAnyShare, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;  // what cannot be opened cannot be read through us either
    }
    bool isWithheld = isWithheldHandle(handle);
    (void)CloseHandle(handle);
    return isWithheld;
}

const char* servedRootPath() {
    return rootFinalText;
}

bool isAbsolutePath(const char* path) {
    // "D:name" depends on drive D's own current directory, not on the process's.
    return path[0] == '\\' || path[0] == '/' || drivePrefixLength(path) > 0;
}

std::size_t drivePrefixLength(const char* path) {
    return std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' ? 2 : 0;
}

static Folder* newFolder(HANDLE handle, const wchar_t* path) {
    Folder* folder = static_cast<Folder*>(std::malloc(sizeof(Folder)));
    if (folder == nullptr) {
        failWithRuntimeError(ENOMEM);
    } else if (copyWideText(folder->path, kLongPathSize, path) != 0) {
        std::free(folder);
        folder = nullptr;
    }
    if (folder == nullptr) {
        if (handle != nullptr) {
            (void)CloseHandle(handle);
        }
        return nullptr;
    }
    folder->handle = handle;
    return folder;
}

Folder* openServedRoot() {
    // The root is named by its final path; nothing is held open between commands, so the
    // operator may still move or replace the folder.
    return newFolder(nullptr, rootFinalPath);
}

void closeFolder(Folder* folder) {
    if (folder != nullptr) {
        if (folder->handle != nullptr) {
            (void)CloseHandle(static_cast<HANDLE>(folder->handle));
        }
        std::free(folder);
    }
}

// Seconds since 1970 from a FILETIME's 100-nanosecond steps since 1601.
static long long toUnixTime(FILETIME time) {
    constexpr long long kStepsFrom1601To1970 = 116444736000000000LL;
    long long steps = (static_cast<long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return (steps - kStepsFrom1601To1970) / 10000000LL;
}

static void toFileStatus(DWORD attributes, DWORD sizeHigh, DWORD sizeLow, FILETIME written,
                         FileStatus* out) {
    out->isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    out->isLink = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    out->isRegularFile = !out->isDirectory && !out->isLink;
    out->isReadOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    out->size = out->isDirectory ? 0 : (static_cast<long long>(sizeHigh) << 32) | sizeLow;
    out->modifiedTime = toUnixTime(written);
}

static void takeIdentity(const BY_HANDLE_FILE_INFORMATION* information, FileStatus* out) {
    out->volume = information->dwVolumeSerialNumber;
    out->fileIndex = (static_cast<unsigned long long>(information->nFileIndexHigh) << 32) |
                     information->nFileIndexLow;
}

int versionOfHandle(HANDLE handle, FileVersion* out) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information)) {
        return failWithSystemError();
    }
    out->volume = information.dwVolumeSerialNumber;
    out->fileIndex = (static_cast<unsigned long long>(information.nFileIndexHigh) << 32) |
                     information.nFileIndexLow;
    out->size =
        (static_cast<long long>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    out->modifiedTicks = static_cast<long long>(
        (static_cast<unsigned long long>(information.ftLastWriteTime.dwHighDateTime) << 32) |
        information.ftLastWriteTime.dwLowDateTime);
    return 0;
}

// The status of what handle names; a withheld file fails as a missing one.
static int statusOfHandle(HANDLE handle, FileStatus* out) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information)) {
        return failWithSystemError();
    }
    // SECURITY: the server's own key and log are not there for any verb, whatever the name;
    // checked on the very handle that is then read.
    if (isWithheldFile(&information)) {
        return failWithRuntimeError(ENOENT);
    }
    // The handle was opened through any link, so what it describes is the target.
    toFileStatus(information.dwFileAttributes & ~FILE_ATTRIBUTE_REPARSE_POINT,
                 information.nFileSizeHigh, information.nFileSizeLow, information.ftLastWriteTime,
                 out);
    takeIdentity(&information, out);
    return 0;
}

// Fills the identity of the file at full, where a handle that asks for nothing but attributes
// can be had (such a handle meets no sharing mode); leaves it zero otherwise, which an upload
// then takes for a change.
static void readIdentity(const wchar_t* full, FileStatus* out) {
    HANDLE handle = CreateFileW(
        full, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return;
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileInformationByHandle(handle, &information)) {
        takeIdentity(&information, out);
    }
    (void)CloseHandle(handle);
}

int openFileBeneath(Folder* /*root*/, const char* path, FileVersion* version, bool lettingNameGo) {
    wchar_t full[kLongPathSize];
    if (entryPath(path, full, kLongPathSize) != 0) {
        return -1;
    }
    // The file is read through the very handle whose final path was checked.
    DWORD share = FILE_SHARE_READ | (lettingNameGo ? FILE_SHARE_DELETE : 0);
    HANDLE handle = openVerified(full, GENERIC_READ, share, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // The transfer log, which we write, fails here for sharing before a handle can tell
        // what it is; it must look missing all the same.
        return isWithheldEntry(full) ? failWithRuntimeError(ENOENT) : -1;
    }
    FileStatus status = {};
    if (statusOfHandle(handle, &status) != 0) {
        (void)CloseHandle(handle);  // leaves the status's error as it is
        return -1;
    }
    int error = 0;
    if (status.isDirectory) {
        error = EISDIR;
    } else if (GetFileType(handle) != FILE_TYPE_DISK) {
        error = EACCES;  // a device would block the session or never end
    }
    if (error != 0) {
        (void)CloseHandle(handle);
        return failWithRuntimeError(error);
    }
    if (version != nullptr && versionOfHandle(handle, version) != 0) {
        (void)CloseHandle(handle);
        return -1;
    }
    int file = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (file < 0) {
        (void)CloseHandle(handle);
        return failWithRuntimeError(EMFILE);
    }
    return file;
}

// The status of what full names, links followed, once its final path (to finalOut, when
// given, kLongPathSize units) is checked to lie beneath the root.
static int verifiedStatus(const wchar_t* full, FileStatus* out, wchar_t* finalOut) {
    HANDLE handle = openVerified(full, FILE_READ_ATTRIBUTES, kAnyShare, finalOut);
    if (handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    int result = statusOfHandle(handle, out);
    (void)CloseHandle(handle);
    return result;
}

int fileStatusBeneath(Folder* /*root*/, const char* path, FileStatus* out) {
    wchar_t full[kLongPathSize];
    if (entryPath(path, full, kLongPathSize) != 0) {
        return -1;
    }
    return verifiedStatus(full, out, nullptr);
}

int locateBeneath(Folder* /*root*/, const char* path, char* reached, std::size_t reachedSize,
                  FileStatus* status) {
    wchar_t full[kLongPathSize];
    if (entryPath(path, full, kLongPathSize) != 0) {
        return -1;
    }
    wchar_t finalPath[kLongPathSize];
    if (verifiedStatus(full, status, finalPath) != 0) {
        return -1;
    }
    // A final path beneath the root is at least as long as the root's: an ordinal comparison
    // without regard to case matches unit for unit.
    char below[kLongPathTextSize];
    if (toUtf8Text(finalPath + std::wcslen(rootFinalPath), below, sizeof below) != 0) {
        return -1;
    }
    std::vector<std::string> names;
    splitNames(below, kSystemPathSeparators, &names);
    int written = std::snprintf(reached, reachedSize, "%s", joinNames(names).c_str());
    if (written < 0 || static_cast<std::size_t>(written) >= reachedSize) {
        return failWithRuntimeError(ENAMETOOLONG);
    }
    return 0;
}

// Pins the folder that the first count names lead to. Returns it, or nullptr with the error.
static Folder* pinFolder(const std::vector<std::wstring>& names, std::size_t count) {
    wchar_t full[kLongPathSize];
    if (joinPath(rootFinalPath, names, count, full, kLongPathSize) != 0) {
        return nullptr;
    }
    wchar_t finalPath[kLongPathSize];
    HANDLE handle = openVerified(full, FILE_LIST_DIRECTORY, kPinningShare, finalPath);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return newFolder(handle, finalPath);
}

Folder* pinFolderBeneath(const char* path) {
    std::vector<std::wstring> names;
    if (namesOfPath(path, &names) != 0) {
        return nullptr;
    }
    return pinFolder(names, names.size());
}

// SECURITY: the name joins the folder's final path exactly as the system gave it. Its ANSI
// form turned a folder named with two fullwidth full stops into "..", so that a name joined
// to it landed beside the root.
int pathInFolder(const Folder* folder, const char* name, wchar_t* out, std::size_t outSize) {
    wchar_t wideName[kLongPathSize];
    if (toWideText(name, wideName, kLongPathSize) != 0) {
        return -1;
    }
    return joinName(folder->path, wideName, out, outSize);
}

static int describeRoot(EntryLookup* out) {
    int result = verifiedStatus(rootFinalPath, &out->status, nullptr);
    out->exists = result == 0;
    return result;
}

// Where an entry leads when opened: refused when that lies outside the root, true in *isRoot
// when it is the root itself.
static int checkEntryTarget(const wchar_t* full, bool* isRoot) {
    wchar_t finalPath[kLongPathSize];
    HANDLE handle = openVerified(full, FILE_READ_ATTRIBUTES, kAnyShare, finalPath);
    if (handle == INVALID_HANDLE_VALUE) {
        // A link to nothing leads nowhere, and an entry another program holds open is not
        // opened here either: the verb then acts on the entry itself, in its pinned folder,
        // and reports what that gives. A final path that lies elsewhere is refused.
        return isLastError(ErrorKind::kNotFound) || isLastError(ErrorKind::kAccessDenied) ? 0 : -1;
    }
    // SECURITY: a withheld file is not there for a change either: an upload must not replace it.
    if (isWithheldHandle(handle)) {
        (void)CloseHandle(handle);
        return failWithRuntimeError(ENOENT);
    }
    (void)CloseHandle(handle);
    *isRoot = isSameWideName(finalPath, std::wcslen(finalPath), rootFinalPath,
                             std::wcslen(rootFinalPath));
    return 0;
}

int lookUpEntry(Folder* /*root*/, const char* path, EntryLookup* out) {
    out->folder = nullptr;
    out->name[0] = '\0';
    out->exists = false;
    std::vector<std::wstring> names;
    std::string name;
    if (namesOfPath(path, &names, &name) != 0) {
        return -1;
    }
    if (names.empty()) {
        return describeRoot(out);
    }
    if (name.size() >= sizeof out->name) {
        return failWithRuntimeError(ENAMETOOLONG);
    }
    Folder* folder = pinFolder(names, names.size() - 1);
    if (folder == nullptr) {
        return -1;
    }
    wchar_t full[kLongPathSize];
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (joinName(folder->path, names.back().c_str(), full, kLongPathSize) != 0) {
        closeFolder(folder);
        return -1;
    }
    out->exists = GetFileAttributesExW(full, GetFileExInfoStandard, &data) != 0;
    // SECURITY: an entry named by another of its names (an upload's temporary file by its
    // short name) is not there for a change either.
    if (out->exists && refuseOtherName(full) != 0) {
        closeFolder(folder);
        out->exists = false;
        return -1;
    }
    if (out->exists) {
        toFileStatus(data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow,
                     data.ftLastWriteTime, &out->status);
        if (out->status.isRegularFile) {
            readIdentity(full, &out->status);  // an upload's commit compares it
        }
    }
    bool isRoot = false;
    // SECURITY: a link or junction that leads out is refused even where the verb acts on the
    // link itself. Every entry is checked, not only those marked as links: under Wine a
    // POSIX link looks like what it leads to.
    if (out->exists && checkEntryTarget(full, &isRoot) != 0) {
        closeFolder(folder);
        out->exists = false;
        return -1;
    }
    if (isRoot) {
        closeFolder(folder);
        return describeRoot(out);
    }
    out->folder = folder;
    std::memcpy(out->name, name.c_str(), name.size() + 1);
    return 0;
}
