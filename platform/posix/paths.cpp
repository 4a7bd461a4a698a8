// platform/posix/paths.cpp: the served root's lifetime and every lookup beneath it on POSIX
// (Linux). A lookup walks its path from the root's descriptor (beneath.cpp); the operation then
// acts on the descriptors the walk opened, so a rename between the check and the use cannot
// lead it out.
#include "platform/platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/path_text.h"
#include "platform/posix/internal.h"
#include "platform/primitives.h"

// The root's real path, fixed at start-up before any session exists; only read afterwards.
static char rootRealPath[PATH_MAX];

// A name swapped for a link between the walk and the final open makes the walk start again;
// a client that keeps swapping is refused after this many walks.
constexpr int kMostWalks = 4;

bool isAbsolutePath(const char* path) {
    return path[0] == '/';
}

std::size_t drivePrefixLength(const char* /*path*/) {
    return 0;
}

// Opens the folder at the root's real path; its last name must not be a link.
static int openRootDescriptor(Folder* root) {
    int descriptor = open(rootRealPath, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0) {
        // The operator put a link or a file where the root was: nothing there is served.
        return errno == ENOENT ? failWithErrno() : failRefused();
    }
    root->descriptor = descriptor;
    return 0;
}

int setServedRoot(const char* rootPath) {
    char* resolved = realpath(rootPath, nullptr);
    if (resolved == nullptr) {
        return failWithErrno();
    }
    int written = std::snprintf(rootRealPath, sizeof rootRealPath, "%s", resolved);
    std::free(resolved);
    if (written < 0 || static_cast<std::size_t>(written) >= sizeof rootRealPath) {
        rootRealPath[0] = '\0';
        return fail(ENAMETOOLONG);
    }
    Folder root = {-1};
    if (openRootDescriptor(&root) != 0) {
        return -1;
    }
    (void)close(root.descriptor);
    return 0;
}

bool isHeldFileGone(std::intptr_t hold) {
    struct stat status;
    return fstat(static_cast<int>(hold), &status) == 0 && status.st_nlink == 0;
}

void releaseFileHold(std::intptr_t hold) {
    (void)close(static_cast<int>(hold));
}

int withholdFile(const char* path, int openFile) {
    int descriptor =
        openFile >= 0 ? fcntl(openFile, F_DUPFD_CLOEXEC, 0) : open(path, O_PATH | O_CLOEXEC);
    struct stat status;
    if (descriptor < 0 || fstat(descriptor, &status) != 0) {
        int error = errno;
        if (descriptor >= 0) {
            (void)close(descriptor);
        }
        return fail(error);
    }
    // The descriptor stays open while the file is listed, so that its inode cannot pass to a
    // client's file meanwhile.
    if (addWithheldFile(status.st_dev, status.st_ino, descriptor) != 0) {
        return -1;
    }
    if (openFile >= 0) {
        return 0;
    }
    char* resolved = realpath(path, nullptr);
    if (resolved == nullptr) {
        return failWithErrno();
    }
    std::vector<std::string> names;
    bool isBeneath = namesBelowRoot(resolved, &names) == 0;
    std::free(resolved);
    return isBeneath ? 1 : 0;
}

bool isWithheldFile(const struct stat* status) {
    return S_ISREG(status->st_mode) && isWithheldIdentity(status->st_dev, status->st_ino);
}

const char* servedRootPath() {
    return rootRealPath;
}

Folder* openServedRoot() {
    Folder* root = static_cast<Folder*>(std::malloc(sizeof(Folder)));
    if (root == nullptr) {
        fail(ENOMEM);
        return nullptr;
    }
    // A root that is gone now may be put back; every lookup looks for it again.
    if (openRootDescriptor(root) != 0) {
        root->descriptor = -1;
    }
    return root;
}

void closeFolder(Folder* folder) {
    if (folder != nullptr) {
        if (folder->descriptor >= 0) {
            (void)close(folder->descriptor);  // a descriptor without data has nothing to report
        }
        std::free(folder);
    }
}

// A session serves the folder that was the root when it started, wherever the operator moves
// it. Only when that folder has been removed is the root looked for at its path again, so
// that a folder put back in its place is served. Clients can move neither.
static int openRootIfClosed(Folder* root) {
    return root->descriptor >= 0 ? 0 : openRootDescriptor(root);
}

// True when the root's folder has been removed and another now stands at its path, opened in
// its place. Leaves the calling thread's error as it was otherwise.
static bool reopenRemovedRoot(Folder* root) {
    struct stat status;
    if (fstat(root->descriptor, &status) != 0 || status.st_nlink > 0) {
        return false;
    }
    int error = lastRuntimeError();
    Folder fresh = {-1};
    if (openRootDescriptor(&fresh) != 0) {
        recordRuntimeError(error);
        return false;
    }
    (void)close(root->descriptor);
    *root = fresh;
    return true;
}

// Runs lookup against the root; when it fails because the root's folder was removed and
// another stands at its path now, runs it once more against that one.
template <typename Lookup>
static int withServedRoot(Folder* root, Lookup lookup) {
    if (openRootIfClosed(root) != 0) {
        return -1;
    }
    int result = lookup();
    if (result < 0 && reopenRemovedRoot(root)) {
        result = lookup();
    }
    return result;
}

static Folder* newFolder(int descriptor) {
    Folder* folder = static_cast<Folder*>(std::malloc(sizeof(Folder)));
    if (folder == nullptr) {
        (void)close(descriptor);
        fail(ENOMEM);
        return nullptr;
    }
    folder->descriptor = descriptor;
    return folder;
}

static int refuseIrregular(int descriptor, const struct stat* status) {
    if (S_ISREG(status->st_mode)) {
        return 0;
    }
    (void)close(descriptor);
    return fail(S_ISDIR(status->st_mode) ? EISDIR : EACCES);
}

// The file at descriptor, opened without blocking, kept when it is a regular file. Reads of a
// regular file ignore O_NONBLOCK, so the flag stays, and costs no calls to clear.
static int keepRegularFile(int descriptor, FileVersion* version) {
    struct stat status;
    if (fstat(descriptor, &status) != 0) {
        int error = errno;
        (void)close(descriptor);
        return fail(error);
    }
    if (refuseIrregular(descriptor, &status) != 0) {
        return -1;
    }
    // SECURITY: checked on what was opened, so no name swapped in after the walk reaches it.
    if (isWithheldFile(&status)) {
        (void)close(descriptor);
        return fail(ENOENT);
    }
    if (version != nullptr) {
        toFileVersion(&status, version);
    }
    return descriptor;
}

static int openFileOnce(Folder* root, const char* path, FileVersion* version) {
    // O_NONBLOCK keeps a fifo from blocking the session in open.
    constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
    for (int walks = 0; walks < kMostWalks; walks++) {
        WalkEnd end;
        if (walkToExisting(root->descriptor, path, &end) != 0) {
            return -1;
        }
        if (end.name.empty()) {
            return fail(EISDIR);  // the root itself; its descriptor is not ours to close
        }
        // SECURITY: O_NOFOLLOW: the name the walk found to be no link is opened as such.
        int descriptor = openat(end.folder, end.name.c_str(), kFlags | O_NOFOLLOW);
        int error = errno;
        releaseEnd(&end, root->descriptor);
        if (descriptor >= 0) {
            return keepRegularFile(descriptor, version);
        }
        if (error != ELOOP) {
            return fail(error);
        }
    }
    return failRefused();
}

static int fileStatusOnce(Folder* root, const char* path, FileStatus* out) {
    WalkEnd end;
    if (walkToExisting(root->descriptor, path, &end) != 0) {
        return -1;
    }
    releaseEnd(&end, root->descriptor);
    *out = end.status;
    return 0;
}

static int locateOnce(Folder* root, const char* path, char* reached, std::size_t reachedSize,
                      FileStatus* status) {
    WalkEnd end;
    if (walkToExisting(root->descriptor, path, &end) != 0) {
        return -1;
    }
    releaseEnd(&end, root->descriptor);
    // The walk has taken every link and ".." out of the names it reached.
    if (!end.name.empty()) {
        end.reached.push_back(end.name);
    }
    int written = std::snprintf(reached, reachedSize, "%s", joinNames(end.reached).c_str());
    if (written < 0 || static_cast<std::size_t>(written) >= reachedSize) {
        return fail(ENAMETOOLONG);
    }
    *status = end.status;
    return 0;
}

// True when the link that path ends in leads to the root itself. Fails when it leads out.
static int leadsToRoot(Folder* root, const char* path, bool* isRoot, FileStatus* status) {
    WalkEnd target;
    // SECURITY: a link that leads out of the root is refused even where the verb would act
    // on the link itself: a client must not learn, or keep, anything through it.
    if (walkPath(root->descriptor, path, LastName::kFollow, &target) != 0) {
        return -1;
    }
    *isRoot = target.name.empty();
    if (*isRoot) {
        *status = target.status;  // the root's, as the walk took it
    }
    releaseEnd(&target, root->descriptor);
    return 0;
}

static int lookUpEntryOnce(Folder* root, const char* path, EntryLookup* out) {
    out->folder = nullptr;
    out->name[0] = '\0';
    out->exists = false;
    WalkEnd end;
    if (walkPath(root->descriptor, path, LastName::kKeep, &end) != 0) {
        return -1;
    }
    bool isRoot = end.name.empty();
    if (!isRoot && end.exists && end.status.isLink &&
        leadsToRoot(root, path, &isRoot, &end.status) != 0) {
        releaseEnd(&end, root->descriptor);
        return -1;
    }
    if (isRoot) {
        releaseEnd(&end, root->descriptor);
        out->exists = true;
        out->status = end.status;
        return 0;
    }
    if (end.name.size() >= sizeof out->name) {
        releaseEnd(&end, root->descriptor);
        return fail(ENAMETOOLONG);
    }
    int folder = end.folder;
    if (folder == root->descriptor) {
        folder = fcntl(root->descriptor, F_DUPFD_CLOEXEC, 0);
        if (folder < 0) {
            return failWithErrno();
        }
    }
    out->folder = newFolder(folder);
    if (out->folder == nullptr) {
        return -1;
    }
    std::memcpy(out->name, end.name.c_str(), end.name.size() + 1);
    out->exists = end.exists;
    if (end.exists) {
        out->status = end.status;
    }
    return 0;
}

static int openFolderOnce(Folder* root, const char* path) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY;
    WalkEnd end;
    if (walkToExisting(root->descriptor, path, &end) != 0) {
        return -1;
    }
    const char* name = end.name.empty() ? "." : end.name.c_str();
    int descriptor = openat(end.folder, name, kFlags | O_NOFOLLOW | O_CLOEXEC);
    int error = errno;
    releaseEnd(&end, root->descriptor);
    return descriptor >= 0 ? descriptor : fail(error == ELOOP ? kRefusedPathError : error);
}

int openFileBeneath(Folder* root, const char* path, FileVersion* version, bool /*lettingNameGo*/) {
    return withServedRoot(root, [&] { return openFileOnce(root, path, version); });
}

int fileStatusBeneath(Folder* root, const char* path, FileStatus* out) {
    return withServedRoot(root, [&] { return fileStatusOnce(root, path, out); });
}

int locateBeneath(Folder* root, const char* path, char* reached, std::size_t reachedSize,
                  FileStatus* status) {
    return withServedRoot(root,
                          [&] { return locateOnce(root, path, reached, reachedSize, status); });
}

int lookUpEntry(Folder* root, const char* path, EntryLookup* out) {
    return withServedRoot(root, [&] { return lookUpEntryOnce(root, path, out); });
}

int openFolderForReading(Folder* root, const char* path) {
    return withServedRoot(root, [&] { return openFolderOnce(root, path); });
}
