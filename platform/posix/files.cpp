// platform/posix/files.cpp: names, changes in a folder held beneath the root and file
// descriptors on POSIX (Linux), with the behaviour the server expects of Windows
// (enumeration.cpp lists).
#include "platform/platform.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/internal.h"
#include "platform/primitives.h"

// ---------------------------------------------------------------------------------------------
// Paths and directories.

const char kPathSeparator = '/';
const char kSystemPathSeparators[] = "/";

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

bool isReservedName(const char* /*component*/) {
    return false;
}

bool isSameName(const char* a, const char* b) {
    return std::strcmp(a, b) == 0;
}

bool startsWithName(const char* name, const char* prefix) {
    return std::strncmp(name, prefix, std::strlen(prefix)) == 0;
}

int breakDownTime(long long time, bool local, struct tm* out) {
    time_t value = static_cast<time_t>(time);
    if ((local ? localtime_r(&value, out) : gmtime_r(&value, out)) == nullptr) {
        return failWithErrno();
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Changes in a folder held beneath the root.

int makeDirectoryAt(Folder* folder, const char* name) {
    return mkdirat(folder->descriptor, name, 0777) == 0 ? 0 : failWithErrno();
}

int removeDirectoryAt(Folder* folder, const char* name) {
    return unlinkat(folder->descriptor, name, AT_REMOVEDIR) == 0 ? 0 : failWithErrno();
}

int removeFileAt(Folder* folder, const char* name) {
    struct stat status;
    if (fstatat(folder->descriptor, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
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
    return unlinkat(folder->descriptor, name, 0) == 0 ? 0 : failWithErrno();
}

int removeOwnFileAt(Folder* folder, const char* name) {
    return unlinkat(folder->descriptor, name, 0) == 0 ? 0 : failWithErrno();
}

int renameEntryAt(Folder* fromFolder, const char* fromName, Folder* toFolder, const char* toName) {
    int from = fromFolder->descriptor;
    int to = toFolder->descriptor;
    if (syscall(SYS_renameat2, from, fromName, to, toName, 1 /* RENAME_NOREPLACE */) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return failWithErrno();
    }
    // The file system cannot rename without replacing. A hard link fails when the target
    // exists, which gives the same guarantee for files.
    struct stat status;
    if (fstatat(from, fromName, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return failWithErrno();
    }
    if (S_ISDIR(status.st_mode)) {
        if (fstatat(to, toName, &status, AT_SYMLINK_NOFOLLOW) == 0) {
            return fail(EEXIST);
        }
        return renameat(from, fromName, to, toName) == 0 ? 0 : failWithErrno();
    }
    if (linkat(from, fromName, to, toName, 0) != 0) {
        return failWithErrno();
    }
    return unlinkat(from, fromName, 0) == 0 ? 0 : failWithErrno();
}

int replaceFileAt(Folder* folder, const char* fromName, const char* toName) {
    int descriptor = folder->descriptor;
    return renameat(descriptor, fromName, descriptor, toName) == 0 ? 0 : failWithErrno();
}

int createNewFileAt(Folder* folder, const char* name) {
    int file;
    do {
        file = openat(folder->descriptor, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (file < 0 && errno == EINTR);
    return file >= 0 ? file : failWithErrno();
}

// The most one copy_file_range or sendfile call is asked to move; the loop does the rest.
static constexpr long long kLargestCopyPiece = 1LL << 30;

// Copies length bytes from source's start into file, which is new and empty. A reflink shares
// the blocks (btrfs, XFS) and costs nothing whatever the size; copy_file_range copies inside
// the kernel, or on the file server; sendfile, for a kernel or file system without either.
static int copyFileStart(int source, int file, long long length) {
    if (ioctl(file, FICLONE, source) == 0) {
        // The whole file is shared now; the copy keeps only the part asked for.
        if (ftruncate(file, length) != 0 || lseek(file, length, SEEK_SET) != length) {
            return failWithErrno();
        }
        return 0;
    }
    bool inKernel = true;
    long long copied = 0;
    while (copied < length) {
        std::size_t piece = static_cast<std::size_t>(
            length - copied < kLargestCopyPiece ? length - copied : kLargestCopyPiece);
        ssize_t count = inKernel ? copy_file_range(source, nullptr, file, nullptr, piece, 0)
                                 : sendfile(file, source, nullptr, piece);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && inKernel && copied == 0 &&
            (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP)) {
            inKernel = false;
            continue;
        }
        if (count <= 0) {
            // The source shrank since its size was read: a shorter start would shift every
            // byte the client sends after it.
            return count < 0 ? failWithErrno() : fail(EINVAL);
        }
        copied += count;
    }
    return 0;
}

// Opens the regular file name in folder for reading, its link not followed, and reads its size.
static int openSourceAt(Folder* folder, const char* name, long long* size) {
    int source = openat(folder->descriptor, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (source < 0) {
        return failWithErrno();
    }
    struct stat status;
    int failed = fstat(source, &status) != 0 ? failWithErrno() : 0;
    if (failed == 0 && !S_ISREG(status.st_mode)) {
        failed = fail(EACCES);  // a fifo or a device would block or never end
    }
    if (failed != 0) {
        (void)close(source);  // opened for reading only: its close reports nothing
        return -1;
    }
    *size = static_cast<long long>(status.st_size);
    return source;
}

int createCopyAt(Folder* folder, const char* sourceName, const char* newName, long long length) {
    long long size = 0;
    int source = openSourceAt(folder, sourceName, &size);
    if (source < 0) {
        return -1;
    }
    if (length > size) {
        (void)close(source);
        return fail(EINVAL);
    }
    int file = createNewFileAt(folder, newName);
    if (file >= 0 && copyFileStart(source, file, length < 0 ? size : length) != 0) {
        // The copy's error stays the one recorded; the half-made file goes.
        (void)close(file);
        (void)unlinkat(folder->descriptor, newName, 0);
        file = -1;
    }
    (void)close(source);
    return file;
}

// ---------------------------------------------------------------------------------------------
// Files.

int openFileForAppending(const char* path) {
    // Each write of an appending descriptor lands at the end as one piece, even when another
    // program appends to the same file.
    int file = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0666);
    return file >= 0 ? file : failWithErrno();
}

long long fileSizeOf(int file) {
    struct stat status;
    if (fstat(file, &status) != 0) {
        return failWithErrno();
    }
    return static_cast<long long>(status.st_size);
}

int readFileVersion(int file, FileVersion* out) {
    struct stat status;
    if (fstat(file, &status) != 0) {
        return failWithErrno();
    }
    toFileVersion(&status, out);
    return 0;
}

int seekFile(int file, long long offset) {
    return lseek(file, static_cast<off_t>(offset), SEEK_SET) >= 0 ? 0 : failWithErrno();
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
        if (errno == EAGAIN) {
            *sendFailed = true;
            return failWithoutWaiting(static_cast<int>(socket));
        }
        if (errno != EINTR) {
            *sendFailed = isSendFailure(errno);
            return failWithErrno();
        }
    }
    long long count = readFile(file, buffer, size);
    if (count <= 0) {
        return count;
    }
    long long sent = sendSomeBytes(socket, buffer, static_cast<std::size_t>(count));
    // What the socket did not take is read again by the next piece.
    long long unsent = count - (sent > 0 ? sent : 0);
    if (unsent > 0 && lseek(file, -unsent, SEEK_CUR) < 0) {
        return failWithErrno();  // the position is lost: the file cannot go on
    }
    if (sent < 0) {
        *sendFailed = true;
        return -1;
    }
    return sent;
}
