// platform/posix/files.cpp: paths, directories, the find functions and file descriptors on
// POSIX (Linux), translated to the behaviour the server expects of Windows.
#include "platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/internal.h"

// ---------------------------------------------------------------------------------------------
// Paths and directories.

const char kPathSeparator = '/';

int changeProcessDirectory(const char* path) {
    return chdir(path) == 0 ? 0 : failWithErrno();
}

int enterDefaultRoot() {
    return 0;
}

int currentDirectory(char* out, std::size_t outSize) {
    if (getcwd(out, outSize) == nullptr) {
        return failWithErrno();
    }
    return 0;
}

// True when path already has the form realpath gives: absolute, without empty, "." or ".."
// components, and without a separator at the end.
static bool isPlainAbsolutePath(const char* path) {
    if (path[0] != '/') {
        return false;
    }
    if (path[1] == '\0') {
        return true;
    }
    const char* component = path + 1;
    for (;;) {
        const char* end = std::strchr(component, '/');
        std::size_t length =
            end != nullptr ? static_cast<std::size_t>(end - component) : std::strlen(component);
        bool isDot = length == 1 && component[0] == '.';
        bool isDotDot = length == 2 && component[0] == '.' && component[1] == '.';
        if (length == 0 || isDot || isDotDot) {
            return false;
        }
        if (end == nullptr) {
            return true;
        }
        component = end + 1;
    }
}

// The status of the last path realPath found free of links, read from the very lookup that
// checked it. A path command checks its path and asks its status at once; a second walk of
// the path would cost as much as the check, and could reach an entry put there in between.
// Serves one fileStatus of the same path; anything that changes entries forgets it. Longer
// paths are not kept: every thread has this record, and 1,000 idle sessions would pay a page
// each for a whole PATH_MAX.
constexpr std::size_t kVerifiedPathSize = 512;
struct VerifiedEntry {
    bool valid;
    struct stat status;
    char path[kVerifiedPathSize];
};
static thread_local VerifiedEntry verifiedEntry;

static void forgetVerifiedEntry() {
    verifiedEntry.valid = false;
}

static bool copyPath(char* out, std::size_t outSize, const char* path) {
    std::size_t length = std::strlen(path);
    if (length >= outSize) {
        return false;
    }
    std::memcpy(out, path, length + 1);
    return true;
}

// True when path exists and no component of it is a link, found in one walk of the kernel.
static bool existsWithoutLinks(const char* path) {
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    long descriptor = syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
    if (descriptor < 0) {
        return false;  // a link, a missing entry, or a kernel without openat2: ask realpath
    }
    verifiedEntry.valid = fstat(static_cast<int>(descriptor), &verifiedEntry.status) == 0 &&
                          copyPath(verifiedEntry.path, sizeof verifiedEntry.path, path);
    (void)close(static_cast<int>(descriptor));
    return true;
}

int realPath(const char* path, char* out, std::size_t outSize) {
    forgetVerifiedEntry();
    // realpath reads every prefix of the path as a possible link, one walk each; every path
    // command pays for that. A plain path without links is its own resolved form.
    if (isPlainAbsolutePath(path) && existsWithoutLinks(path)) {
        int written = std::snprintf(out, outSize, "%s", path);
        if (written < 0 || static_cast<std::size_t>(written) >= outSize) {
            return fail(ENAMETOOLONG);
        }
        return 0;
    }
    char* resolved = realpath(path, nullptr);
    if (resolved == nullptr) {
        return failWithErrno();
    }
    int written = std::snprintf(out, outSize, "%s", resolved);
    std::free(resolved);
    if (written < 0 || static_cast<std::size_t>(written) >= outSize) {
        return fail(ENAMETOOLONG);
    }
    return 0;
}

bool isAbsolutePath(const char* path) {
    return path[0] == '/';
}

bool isReservedName(const char* /*component*/) {
    return false;
}

bool isSameName(const char* a, const char* b) {
    return std::strcmp(a, b) == 0;
}

int makeDirectory(const char* path) {
    forgetVerifiedEntry();
    return mkdir(path, 0777) == 0 ? 0 : failWithErrno();
}

int removeDirectory(const char* path) {
    forgetVerifiedEntry();
    return rmdir(path) == 0 ? 0 : failWithErrno();
}

int removeFile(const char* path) {
    forgetVerifiedEntry();
    struct stat status;
    if (lstat(path, &status) != 0) {
        return failWithErrno();
    }
    if (S_ISDIR(status.st_mode)) {
        return fail(EISDIR);
    }
    // Windows refuses to delete a read-only file even for an administrator; so do we, so
    // that an operator can protect package files from the ungated DELE on both platforms.
    if (S_ISREG(status.st_mode) && (status.st_mode & S_IWUSR) == 0) {
        return fail(EACCES);
    }
    return unlink(path) == 0 ? 0 : failWithErrno();
}

int renameEntry(const char* from, const char* to) {
    forgetVerifiedEntry();
    if (syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 1 /* RENAME_NOREPLACE */) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return failWithErrno();
    }
    // The file system cannot rename without replacing. A hard link fails when the target
    // exists, which gives the same guarantee for files.
    struct stat status;
    if (lstat(from, &status) != 0) {
        return failWithErrno();
    }
    if (S_ISDIR(status.st_mode)) {
        if (lstat(to, &status) == 0) {
            return fail(EEXIST);
        }
        return rename(from, to) == 0 ? 0 : failWithErrno();
    }
    if (link(from, to) != 0) {
        return failWithErrno();
    }
    return unlink(from) == 0 ? 0 : failWithErrno();
}

int replaceFile(const char* from, const char* to) {
    forgetVerifiedEntry();
    return rename(from, to) == 0 ? 0 : failWithErrno();
}

int fileStatus(const char* path, FileStatus* out) {
    struct stat status;
    if (verifiedEntry.valid && std::strcmp(path, verifiedEntry.path) == 0) {
        status = verifiedEntry.status;
        forgetVerifiedEntry();
    } else if (stat(path, &status) != 0) {
        return failWithErrno();
    }
    out->isDirectory = S_ISDIR(status.st_mode);
    out->isRegularFile = S_ISREG(status.st_mode);
    out->isReadOnly = (status.st_mode & S_IWUSR) == 0;
    out->size = static_cast<long long>(status.st_size);
    out->modifiedTime = static_cast<long long>(status.st_mtime);
    return 0;
}

int toLocalTime(long long time, LocalTime* out) {
    time_t value = static_cast<time_t>(time);
    struct tm broken;
    if (localtime_r(&value, &broken) == nullptr) {
        return failWithErrno();
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
    DIR* directory;
    char folder[PATH_MAX];
    char namePattern[kEntryNameSize];
};

// Matches name against a pattern of "*" and "?" without regard to letter case; every other
// character, "[" included, matches itself, as on Windows.
static bool matchesPattern(const char* pattern, const char* name) {
    const char* starPattern = nullptr;
    const char* starName = nullptr;
    while (*name != '\0') {
        if (*pattern == '*') {
            starPattern = ++pattern;
            starName = name;
        } else if (*pattern == '?' ||
                   (*pattern != '\0' && std::tolower(static_cast<unsigned char>(*pattern)) ==
                                            std::tolower(static_cast<unsigned char>(*name)))) {
            pattern++;
            name++;
        } else if (starPattern != nullptr) {
            pattern = starPattern;
            name = ++starName;
        } else {
            return false;
        }
    }
    while (*pattern == '*') {
        pattern++;
    }
    return *pattern == '\0';
}

static bool matchesFindPattern(const char* pattern, const char* name) {
    // On Windows "*.*" matches names without a dot too.
    if (std::strcmp(pattern, "*.*") == 0) {
        return true;
    }
    return matchesPattern(pattern, name);
}

// Fills entry from the directory entry's status; false when it vanished meanwhile.
static bool describeEntry(const FindState* state, const char* name, FindEntry* entry) {
    char path[PATH_MAX + kEntryNameSize];
    int written = std::snprintf(path, sizeof path, "%s/%s", state->folder, name);
    if (written < 0 || static_cast<std::size_t>(written) >= sizeof path) {
        return false;
    }
    struct stat status;
    if (stat(path, &status) != 0 && lstat(path, &status) != 0) {
        return false;
    }
    std::snprintf(entry->name, sizeof entry->name, "%s", name);
    entry->attributes = 0;
    if (S_ISDIR(status.st_mode)) {
        entry->attributes |= kAttributeDirectory;
    } else if (!S_ISREG(status.st_mode)) {
        entry->attributes |= kAttributeSystem;
    }
    if (name[0] == '.') {
        entry->attributes |= kAttributeHidden;
    }
    if ((status.st_mode & S_IWUSR) == 0) {
        entry->attributes |= kAttributeReadOnly;
    }
    entry->size = S_ISDIR(status.st_mode) ? 0 : static_cast<long long>(status.st_size);
    entry->writeTime = static_cast<long long>(status.st_mtime);
    return true;
}

int findNext(FindState* state, FindEntry* entry) {
    for (;;) {
        errno = 0;
        struct dirent* next = readdir(state->directory);
        if (next == nullptr) {
            return fail(errno != 0 ? errno : ENOENT);
        }
        if (std::strlen(next->d_name) >= kEntryNameSize ||
            !matchesFindPattern(state->namePattern, next->d_name)) {
            continue;
        }
        if (describeEntry(state, next->d_name, entry)) {
            return 0;
        }
    }
}

FindState* findFirst(const char* pattern, FindEntry* entry) {
    FindState* state = static_cast<FindState*>(std::calloc(1, sizeof(FindState)));
    if (state == nullptr) {
        fail(ENOMEM);
        return nullptr;
    }
    const char* lastSeparator = std::strrchr(pattern, '/');
    const char* namePart = lastSeparator != nullptr ? lastSeparator + 1 : pattern;
    int folderWritten;
    if (lastSeparator == nullptr) {
        folderWritten = std::snprintf(state->folder, sizeof state->folder, ".");
    } else if (lastSeparator == pattern) {
        folderWritten = std::snprintf(state->folder, sizeof state->folder, "/");
    } else {
        folderWritten = std::snprintf(state->folder, sizeof state->folder, "%.*s",
                                      static_cast<int>(lastSeparator - pattern), pattern);
    }
    int nameWritten = std::snprintf(state->namePattern, sizeof state->namePattern, "%s", namePart);
    if (folderWritten < 0 || static_cast<std::size_t>(folderWritten) >= sizeof state->folder ||
        nameWritten < 0 || static_cast<std::size_t>(nameWritten) >= sizeof state->namePattern ||
        namePart[0] == '\0') {
        std::free(state);
        fail(ENOENT);
        return nullptr;
    }
    state->directory = opendir(state->folder);
    if (state->directory == nullptr) {
        lastError = errno;
        std::free(state);
        return nullptr;
    }
    if (findNext(state, entry) != 0) {
        findClose(state);
        return nullptr;
    }
    return state;
}

void findClose(FindState* state) {
    if (state != nullptr) {
        (void)closedir(state->directory);
        std::free(state);
    }
}

// ---------------------------------------------------------------------------------------------
// Files.

int openForReading(const char* path) {
    // O_NONBLOCK keeps a fifo from blocking the session in open; it is cleared once we know
    // the file is a regular one.
    int file;
    do {
        file = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (file < 0 && errno == EINTR);
    if (file < 0) {
        return failWithErrno();
    }
    struct stat status;
    if (fstat(file, &status) != 0) {
        int error = errno;
        (void)close(file);
        return fail(error);
    }
    if (!S_ISREG(status.st_mode)) {
        (void)close(file);
        return fail(S_ISDIR(status.st_mode) ? EISDIR : EACCES);
    }
    int flags = fcntl(file, F_GETFL);
    if (flags < 0 || fcntl(file, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        int error = errno;
        (void)close(file);
        return fail(error);
    }
    return file;
}

int createNewFile(const char* path) {
    forgetVerifiedEntry();
    int file;
    do {
        file = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (file < 0 && errno == EINTR);
    return file >= 0 ? file : failWithErrno();
}

long long readFile(int file, char* buffer, std::size_t size) {
    for (;;) {
        ssize_t result = read(file, buffer, size);
        if (result >= 0) {
            return result;
        }
        if (errno != EINTR) {
            return failWithErrno();
        }
    }
}

int writeFile(int file, const char* data, std::size_t length) {
    forgetVerifiedEntry();
    std::size_t written = 0;
    while (written < length) {
        ssize_t result = write(file, data + written, length - written);
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            return failWithErrno();
        }
        if (result == 0) {
            return fail(ENOSPC);
        }
        written += static_cast<std::size_t>(result);
    }
    return 0;
}

int closeFile(int file) {
    return close(file) == 0 ? 0 : failWithErrno();
}

// The errors of sendfile that come from the socket rather than from the file.
static bool isSendFailure(int error) {
    switch (error) {
        case EAGAIN:  // the send timeout
        case EPIPE:
        case ECONNRESET:
        case ECONNABORTED:
        case ENOTCONN:
        case ETIMEDOUT:
        case ENETDOWN:
        case ENETUNREACH:
        case ENETRESET:
        case EHOSTUNREACH:
            return true;
        default:
            return false;
    }
}

long long sendFilePiece(SocketHandle socket, int file, char* buffer, std::size_t size,
                        bool* sendFailed) {
    *sendFailed = false;
    // sendfile hands page-cache pages to the socket: one copy fewer than read and send.
    for (;;) {
        ssize_t sent = sendfile(static_cast<int>(socket), file, nullptr, size);
        if (sent >= 0) {
            return sent;
        }
        if (errno == EINVAL || errno == ENOSYS) {
            break;  // a file system that cannot do it; copy this piece instead
        }
        if (errno != EINTR) {
            *sendFailed = isSendFailure(errno);
            return fail(errno == EAGAIN ? ETIMEDOUT : errno);
        }
    }
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
