// platform/windows/paths.cpp: the served root and every lookup beneath it on Windows. Each
// lookup pins what it found with a handle, checks that handle's final path against the
// root's, and acts while the handle is held; a path whose final form cannot be told is refused.
#include "platform/platform.h"

#include <winsock2.h>

#include <windows.h>

#include <direct.h>
#include <fcntl.h>
#include <io.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/windows/internal.h"

// The root's final path without its "\\?\" prefix, fixed at start-up before any session
// exists; only read afterwards.
static char rootFinalPath[kLongPathSize];

// Share modes without FILE_SHARE_DELETE: while such a handle is open, neither the entry nor
// any folder above it can be renamed or removed.
constexpr DWORD kPinningShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kAnyShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

int failRefused() {
    return failWithRuntimeError(kRefusedPathError);
}

static bool isSeparator(char c) {
    return c == '\\' || c == '/';
}

static void splitNames(const char* text, std::vector<std::string>* names) {
    const char* start = text;
    for (;;) {
        while (isSeparator(*start)) {
            start++;
        }
        if (*start == '\0') {
            return;
        }
        const char* end = start;
        while (*end != '\0' && !isSeparator(*end)) {
            end++;
        }
        names->emplace_back(start, static_cast<std::size_t>(end - start));
        start = end;
    }
}

// The names of a path below the root, with "." and ".." taken off by name, as Windows itself
// does before it opens anything.
static int namesBelowRoot(const char* path, std::vector<std::string>* names) {
    std::vector<std::string> steps;
    splitNames(path, &steps);
    for (const std::string& step : steps) {
        if (step == ".") {
            continue;
        }
        if (step == "..") {
            // SECURITY: ".." never rises above the root.
            if (names->empty()) {
                return failRefused();
            }
            names->pop_back();
            continue;
        }
        // SECURITY: drive prefixes, streams and device names would reach past the root, and
        // "\\.\" or "\\?\" forms cannot arise from names joined below it.
        if (isReservedName(step.c_str())) {
            return failRefused();
        }
        names->push_back(step);
    }
    return 0;
}

static int joinPath(const char* folder, const std::vector<std::string>& names, std::size_t count,
                    char* out, std::size_t outSize) {
    std::string path = folder;
    for (std::size_t i = 0; i < count; i++) {
        path += "\\" + names[i];
    }
    int written = std::snprintf(out, outSize, "%s", path.c_str());
    if (written < 0 || static_cast<std::size_t>(written) >= outSize) {
        return failWithRuntimeError(ENAMETOOLONG);
    }
    return 0;
}

// True when path is the root or lies below it, compared name by name as Windows compares.
static bool isBeneathRoot(const char* path) {
    std::size_t length = std::strlen(rootFinalPath);
    if (_strnicmp(path, rootFinalPath, length) != 0) {
        return false;
    }
    // SECURITY: whole names only: a root of D:\pkg never takes D:\pkg2.
    return path[length] == '\0' || path[length] == '\\' || rootFinalPath[length - 1] == '\\';
}

// The final path of what handle names, without the "\\?\" prefix. Fails closed: a path that
// cannot be told (a network path included) is refused.
static int finalPathOf(HANDLE handle, char* out, std::size_t outSize) {
    char finalPath[kLongPathSize];
    DWORD length =
        GetFinalPathNameByHandleA(handle, finalPath, static_cast<DWORD>(sizeof finalPath),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= sizeof finalPath || std::strncmp(finalPath, "\\\\?\\", 4) != 0 ||
        std::strncmp(finalPath, "\\\\?\\UNC\\", 8) == 0) {
        return failRefused();
    }
    int written = std::snprintf(out, outSize, "%s", finalPath + 4);
    if (written < 0 || static_cast<std::size_t>(written) >= outSize) {
        return failRefused();
    }
    return 0;
}

// Opens path (links followed) and checks that what was opened lies beneath the root. Returns
// the handle, or INVALID_HANDLE_VALUE with the error set; its final path goes to finalOut.
static HANDLE openVerified(const char* path, DWORD access, DWORD share, char* finalOut,
                           std::size_t finalSize) {
    // FILE_FLAG_BACKUP_SEMANTICS lets CreateFile open a folder as well.
    HANDLE handle = CreateFileA(path, access, share, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        recordSystemError();
        return INVALID_HANDLE_VALUE;
    }
    char finalPath[kLongPathSize];
    if (finalPathOf(handle, finalPath, sizeof finalPath) != 0 || !isBeneathRoot(finalPath)) {
        (void)CloseHandle(handle);
        failRefused();
        return INVALID_HANDLE_VALUE;
    }
    if (finalOut != nullptr && std::snprintf(finalOut, finalSize, "%s", finalPath) < 0) {
        finalOut[0] = '\0';
    }
    return handle;
}

// The full path of the entry that a path below the root names.
static int entryPath(const char* path, char* out, std::size_t outSize) {
    std::vector<std::string> names;
    if (namesBelowRoot(path, &names) != 0) {
        return -1;
    }
    return joinPath(rootFinalPath, names, names.size(), out, outSize);
}

int setServedRoot(const char* rootPath, char* realPathOut, std::size_t realPathSize) {
    HANDLE handle = CreateFileA(rootPath, 0, kAnyShare, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return failWithSystemError();
    }
    int found = finalPathOf(handle, rootFinalPath, sizeof rootFinalPath);
    (void)CloseHandle(handle);  // a handle opened without access has nothing left to write
    if (found != 0) {
        return -1;
    }
    int written = std::snprintf(realPathOut, realPathSize, "%s", rootFinalPath);
    if (written < 0 || static_cast<std::size_t>(written) >= realPathSize) {
        return failWithRuntimeError(ENAMETOOLONG);
    }
    return 0;
}

bool isAbsolutePath(const char* path) {
    // "D:name" depends on drive D's own current directory, not on the process's.
    return isSeparator(path[0]) ||
           (std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':');
}

int toRootRelativePath(const char* absolutePath, char* out, std::size_t outSize) {
    std::vector<std::string> rootNames;
    splitNames(rootFinalPath, &rootNames);
    std::vector<std::string> names;
    splitNames(absolutePath, &names);
    // A path from the top of the current drive: the root's own drive is the one meant.
    bool hasDrive = absolutePath[0] != '\0' && absolutePath[1] == ':';
    std::size_t skip =
        !hasDrive && !rootNames.empty() && rootNames[0].size() == 2 && rootNames[0][1] == ':';
    if ((!hasDrive && !isSeparator(absolutePath[0])) || names.size() + skip < rootNames.size()) {
        return failRefused();
    }
    for (std::size_t i = skip; i < rootNames.size(); i++) {
        if (_stricmp(names[i - skip].c_str(), rootNames[i].c_str()) != 0) {
            return failRefused();
        }
    }
    std::string relative = ".";
    for (std::size_t i = rootNames.size() - skip; i < names.size(); i++) {
        relative += "/" + names[i];
    }
    int written = std::snprintf(out, outSize, "%s", relative.c_str());
    if (written < 0 || static_cast<std::size_t>(written) >= outSize) {
        return failRefused();
    }
    return 0;
}

static Folder* newFolder(HANDLE handle, const char* path) {
    Folder* folder = static_cast<Folder*>(std::malloc(sizeof(Folder)));
    if (folder == nullptr) {
        if (handle != nullptr) {
            (void)CloseHandle(handle);
        }
        failWithRuntimeError(ENOMEM);
        return nullptr;
    }
    folder->handle = handle;
    if (std::snprintf(folder->path, sizeof folder->path, "%s", path) < 0) {
        folder->path[0] = '\0';
    }
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

static int statusOfHandle(HANDLE handle, FileStatus* out) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information)) {
        return failWithSystemError();
    }
    // The handle was opened through any link, so what it describes is the target.
    toFileStatus(information.dwFileAttributes & ~FILE_ATTRIBUTE_REPARSE_POINT,
                 information.nFileSizeHigh, information.nFileSizeLow, information.ftLastWriteTime,
                 out);
    return 0;
}

int openFileBeneath(Folder* /*root*/, const char* path) {
    char full[kLongPathSize];
    if (entryPath(path, full, sizeof full) != 0) {
        return -1;
    }
    // Others may read the file meanwhile, but neither write, rename nor remove it; the file
    // is read through the very handle whose final path was checked.
    HANDLE handle = openVerified(full, GENERIC_READ, FILE_SHARE_READ, nullptr, 0);
    if (handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    FileStatus status = {};
    int error = 0;
    if (statusOfHandle(handle, &status) != 0) {
        error = lastError.number;
    } else if (status.isDirectory) {
        error = EISDIR;
    } else if (GetFileType(handle) != FILE_TYPE_DISK) {
        error = EACCES;  // a device would block the session or never end
    }
    if (error != 0) {
        (void)CloseHandle(handle);
        return failWithRuntimeError(error);
    }
    int file = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (file < 0) {
        (void)CloseHandle(handle);
        return failWithRuntimeError(EMFILE);
    }
    return file;
}

// The status of what full names, links followed, once its final path (to finalOut, when
// given) is checked to lie beneath the root.
static int verifiedStatus(const char* full, FileStatus* out, char* finalOut,
                          std::size_t finalSize) {
    HANDLE handle = openVerified(full, FILE_READ_ATTRIBUTES, kAnyShare, finalOut, finalSize);
    if (handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    int result = statusOfHandle(handle, out);
    (void)CloseHandle(handle);
    return result;
}

int fileStatusBeneath(Folder* /*root*/, const char* path, FileStatus* out) {
    char full[kLongPathSize];
    if (entryPath(path, full, sizeof full) != 0) {
        return -1;
    }
    return verifiedStatus(full, out, nullptr, 0);
}

int locateBeneath(Folder* /*root*/, const char* path, char* clientPath, std::size_t clientSize,
                  FileStatus* status) {
    char full[kLongPathSize];
    if (entryPath(path, full, sizeof full) != 0) {
        return -1;
    }
    char finalPath[kLongPathSize];
    if (verifiedStatus(full, status, finalPath, sizeof finalPath) != 0) {
        return -1;
    }
    const char* below = finalPath + std::strlen(rootFinalPath);
    std::string shown = *below == '\0' ? "/" : below;
    for (char& c : shown) {
        c = c == '\\' ? '/' : c;
    }
    if (shown[0] != '/') {
        shown.insert(shown.begin(), '/');  // a root at the top of a drive ends in "\"
    }
    int written = std::snprintf(clientPath, clientSize, "%s", shown.c_str());
    if (written < 0 || static_cast<std::size_t>(written) >= clientSize) {
        return failWithRuntimeError(ENAMETOOLONG);
    }
    return 0;
}

// Pins the folder that the first count names lead to. Returns it, or nullptr with the error.
static Folder* pinFolder(const std::vector<std::string>& names, std::size_t count) {
    char full[kLongPathSize];
    if (joinPath(rootFinalPath, names, count, full, sizeof full) != 0) {
        return nullptr;
    }
    char finalPath[kLongPathSize];
    HANDLE handle =
        openVerified(full, FILE_LIST_DIRECTORY, kPinningShare, finalPath, sizeof finalPath);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return newFolder(handle, finalPath);
}

Folder* pinFolderBeneath(const char* path) {
    std::vector<std::string> names;
    if (namesBelowRoot(path, &names) != 0) {
        return nullptr;
    }
    return pinFolder(names, names.size());
}

// The full path of name in a pinned folder.
static int pathIn(const Folder* folder, const char* name, char* out, std::size_t outSize) {
    int written = std::snprintf(out, outSize, "%s\\%s", folder->path, name);
    if (written < 0 || static_cast<std::size_t>(written) >= outSize) {
        return failWithRuntimeError(ENAMETOOLONG);
    }
    return 0;
}

static int describeRoot(EntryLookup* out) {
    int result = verifiedStatus(rootFinalPath, &out->status, nullptr, 0);
    out->exists = result == 0;
    return result;
}

// Where an entry leads when opened: refused when that lies outside the root, true in *isRoot
// when it is the root itself.
static int checkEntryTarget(const char* full, bool* isRoot) {
    char finalPath[kLongPathSize];
    HANDLE handle =
        openVerified(full, FILE_READ_ATTRIBUTES, kAnyShare, finalPath, sizeof finalPath);
    if (handle == INVALID_HANDLE_VALUE) {
        // A link to nothing leads nowhere, and an entry another program holds open is not
        // opened here either: the verb then acts on the entry itself, in its pinned folder,
        // and reports what that gives. A final path that lies elsewhere is refused.
        return isLastError(ErrorKind::kNotFound) || isLastError(ErrorKind::kAccessDenied) ? 0 : -1;
    }
    (void)CloseHandle(handle);
    *isRoot = _stricmp(finalPath, rootFinalPath) == 0;
    return 0;
}

int lookUpEntry(Folder* /*root*/, const char* path, EntryLookup* out) {
    out->folder = nullptr;
    out->name[0] = '\0';
    out->exists = false;
    std::vector<std::string> names;
    if (namesBelowRoot(path, &names) != 0) {
        return -1;
    }
    if (names.empty()) {
        return describeRoot(out);
    }
    if (names.back().size() >= sizeof out->name) {
        return failWithRuntimeError(ENAMETOOLONG);
    }
    Folder* folder = pinFolder(names, names.size() - 1);
    if (folder == nullptr) {
        return -1;
    }
    char full[kLongPathSize];
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (pathIn(folder, names.back().c_str(), full, sizeof full) != 0) {
        closeFolder(folder);
        return -1;
    }
    out->exists = GetFileAttributesExA(full, GetFileExInfoStandard, &data) != 0;
    if (out->exists) {
        toFileStatus(data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow,
                     data.ftLastWriteTime, &out->status);
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
    std::memcpy(out->name, names.back().c_str(), names.back().size() + 1);
    return 0;
}

int makeDirectoryAt(Folder* folder, const char* name) {
    char path[kLongPathSize];
    if (pathIn(folder, name, path, sizeof path) != 0) {
        return -1;
    }
    return _mkdir(path) == 0 ? 0 : failWithErrno();
}

int removeDirectoryAt(Folder* folder, const char* name) {
    char path[kLongPathSize];
    if (pathIn(folder, name, path, sizeof path) != 0) {
        return -1;
    }
    return _rmdir(path) == 0 ? 0 : failWithErrno();
}

int removeFileAt(Folder* folder, const char* name) {
    char path[kLongPathSize];
    if (pathIn(folder, name, path, sizeof path) != 0) {
        return -1;
    }
    DWORD attributes = GetFileAttributesA(path);
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
    return _unlink(path) == 0 ? 0 : failWithErrno();
}

int removeOwnFileAt(Folder* folder, const char* name) {
    char path[kLongPathSize];
    if (pathIn(folder, name, path, sizeof path) != 0) {
        return -1;
    }
    // Our own file may have come out read-only; that must not keep it.
    (void)SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);  // DeleteFile reports what matters
    return DeleteFileA(path) ? 0 : failWithSystemError();
}

int renameEntryAt(Folder* fromFolder, const char* fromName, Folder* toFolder, const char* toName) {
    char from[kLongPathSize];
    char to[kLongPathSize];
    if (pathIn(fromFolder, fromName, from, sizeof from) != 0 ||
        pathIn(toFolder, toName, to, sizeof to) != 0) {
        return -1;
    }
    // Without MOVEFILE_REPLACE_EXISTING an existing entry is never replaced.
    return MoveFileExA(from, to, 0) ? 0 : failWithSystemError();
}

int replaceFileAt(Folder* folder, const char* fromName, const char* toName) {
    char from[kLongPathSize];
    char to[kLongPathSize];
    if (pathIn(folder, fromName, from, sizeof from) != 0 ||
        pathIn(folder, toName, to, sizeof to) != 0) {
        return -1;
    }
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) ? 0 : failWithSystemError();
}

int createNewFileAt(Folder* folder, const char* name) {
    char path[kLongPathSize];
    if (pathIn(folder, name, path, sizeof path) != 0) {
        return -1;
    }
    // Nobody reads or writes an upload before it is complete; delete sharing only lets an
    // ending process remove its name while the upload still holds it.
    HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
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
