// platform/posix/paths.cpp: the served root and every lookup beneath it on POSIX (Linux). A
// path is walked from the root's descriptor one name at a time; the operation then acts on the
// descriptors the walk opened, so a rename between the check and the use cannot lead it out.
#include "platform/platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
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

// The root's real path, fixed at start-up before any session exists; only read afterwards.
static char rootRealPath[PATH_MAX];

// More links than this in one lookup is a loop, as the kernel's own limit says.
constexpr int kMostLinks = 40;
// A name swapped for a link between the walk and the final open makes the walk start again;
// a client that keeps swapping is refused after this many walks.
constexpr int kMostWalks = 4;

int failRefused() {
    return fail(kRefusedPathError);
}

// The names of a path as the walk takes them: "." names are no step at all.
static void walkNamesOf(const char* text, std::vector<std::string>* names) {
    std::vector<std::string> all;
    splitNames(text, "/", &all);
    for (const std::string& name : all) {
        if (name != ".") {
            names->push_back(name);
        }
    }
}

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
    int error = lastErrorNumber();
    Folder fresh = {-1};
    if (openRootDescriptor(&fresh) != 0) {
        restoreLastError(error);
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

// ---------------------------------------------------------------------------------------------
// The walk. It keeps the names still to go and the names of the folder reached, which never
// hold a link: a link's target takes its place among the names to go. ".." takes the last
// name reached off and starts again from the root, so a folder that another client moves
// while we stand in it can never take us above the root.

namespace {

enum class LastName { kFollow, kKeep };

struct Walk {
    int rootDescriptor;
    int folder;  // the root's descriptor, or one of our own below it
    std::vector<std::string> reached;
    std::vector<std::string> ahead;  // in reverse: the next name is the last element
    int links;
};

// Where a walk ended: the folder that holds the entry and its name. An empty name means the
// path names the root, and folder is the root's descriptor then.
struct WalkEnd {
    int folder;                        // owned unless it is the root's
    std::vector<std::string> reached;  // the names of folder below the root
    std::string name;
    bool exists;
    struct stat status;  // of the entry itself, when it exists
};

}  // namespace

static void leaveFolder(Walk* walk) {
    if (walk->folder != walk->rootDescriptor) {
        (void)close(walk->folder);
    }
    walk->folder = walk->rootDescriptor;
}

static void startWalk(Walk* walk, int rootDescriptor, const char* path) {
    walk->rootDescriptor = rootDescriptor;
    walk->folder = rootDescriptor;
    walk->reached.clear();
    walk->ahead.clear();
    walk->links = 0;
    std::vector<std::string> names;
    walkNamesOf(path, &names);
    walk->ahead.assign(names.rbegin(), names.rend());
}

// Goes back to the root and puts the names reached before the ones still to go.
static void restartFromRoot(Walk* walk) {
    leaveFolder(walk);
    walk->ahead.insert(walk->ahead.end(), walk->reached.rbegin(), walk->reached.rend());
    walk->reached.clear();
}

// Puts a link's target in the place of the link.
static int followLink(Walk* walk, const char* name) {
    if (++walk->links > kMostLinks) {
        return failRefused();
    }
    char target[PATH_MAX];
    ssize_t length = readlinkat(walk->folder, name, target, sizeof target - 1);
    if (length <= 0) {
        return failRefused();  // the link changed under us, or cannot be read
    }
    target[length] = '\0';
    std::vector<std::string> names;
    if (target[0] == '/') {
        // SECURITY: an absolute target is followed only to a place below the root's real
        // path, and from the root's own descriptor, never by its text.
        if (namesBelowRoot(target, &names) != 0) {
            return failRefused();
        }
        leaveFolder(walk);
        walk->reached.clear();
    } else {
        walkNamesOf(target, &names);
    }
    walk->ahead.insert(walk->ahead.end(), names.rbegin(), names.rend());
    return 0;
}

// Steps into name, a folder in the middle of the path, or follows it when it is a link.
static int stepInto(Walk* walk, const std::string& name) {
    int next = openat(walk->folder, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next >= 0) {
        leaveFolder(walk);
        walk->folder = next;
        walk->reached.push_back(name);
        return 0;
    }
    int error = errno;
    if (error == ENOENT) {
        return fail(ENOENT);
    }
    struct stat status;
    if ((error == ENOTDIR || error == ELOOP) &&
        fstatat(walk->folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(status.st_mode)) {
            return followLink(walk, name.c_str());
        }
        return fail(ENOTDIR);  // a file where a folder should be: the rest does not exist
    }
    return failRefused();
}

static void endWalk(Walk* walk, const std::string& name, bool exists, WalkEnd* end) {
    end->folder = walk->folder;
    end->reached.swap(walk->reached);
    end->name = name;
    end->exists = exists;
}

// Takes the next name off the walk: follows it, steps into it, or ends the walk there. Returns
// 1 when the walk has ended in *end, 0 to go on, -1 on failure.
static int takeNextName(Walk* walk, LastName last, WalkEnd* end) {
    std::string name = walk->ahead.back();
    walk->ahead.pop_back();
    if (name == "..") {
        // SECURITY: ".." never rises above the root.
        if (walk->reached.empty()) {
            return failRefused();
        }
        walk->reached.pop_back();
        restartFromRoot(walk);
        return 0;
    }
    if (!walk->ahead.empty()) {
        return stepInto(walk, name);
    }
    if (fstatat(walk->folder, name.c_str(), &end->status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            return failRefused();
        }
        endWalk(walk, name, false, end);
        return 1;
    }
    if (last == LastName::kFollow && S_ISLNK(end->status.st_mode)) {
        return followLink(walk, name.c_str());
    }
    endWalk(walk, name, true, end);
    return 1;
}

// Walks path from the root. With kKeep the last name is not followed. On success *end holds
// an owned descriptor (or the root's) that the caller releases with releaseEnd.
static int walkPath(int rootDescriptor, const char* path, LastName last, WalkEnd* end) {
    Walk walk;
    startWalk(&walk, rootDescriptor, path);
    for (;;) {
        if (walk.ahead.empty()) {
            if (walk.reached.empty()) {
                end->folder = rootDescriptor;
                end->reached.clear();
                end->name.clear();
                end->exists = true;
                if (fstat(rootDescriptor, &end->status) != 0) {
                    return failWithErrno();
                }
                // A root the operator has removed is no folder to be in any more.
                return end->status.st_nlink > 0 ? 0 : fail(ENOENT);
            }
            // The names ran out in a folder (a link to "." does that): find it by its own
            // name in the folder above.
            walk.ahead.push_back(walk.reached.back());
            walk.reached.pop_back();
            restartFromRoot(&walk);
        }
        int result = takeNextName(&walk, last, end);
        if (result != 0) {
            if (result < 0) {
                leaveFolder(&walk);
            }
            return result < 0 ? -1 : 0;
        }
    }
}

static void releaseEnd(const WalkEnd* end, int rootDescriptor) {
    if (end->folder != rootDescriptor) {
        (void)close(end->folder);
    }
}

// The walk to the entry path names, links followed. Fails with "does not exist" when the
// entry is missing; on success the caller releases *end.
static int walkToExisting(int rootDescriptor, const char* path, WalkEnd* end) {
    if (walkPath(rootDescriptor, path, LastName::kFollow, end) != 0) {
        return -1;
    }
    if (!end->exists) {
        releaseEnd(end, rootDescriptor);
        return fail(ENOENT);
    }
    return 0;
}

static int refuseIrregular(int descriptor, const struct stat* status) {
    if (S_ISREG(status->st_mode)) {
        return 0;
    }
    (void)close(descriptor);
    return fail(S_ISDIR(status->st_mode) ? EISDIR : EACCES);
}

// The file at descriptor, opened without blocking, made an ordinary blocking reader.
static int keepRegularFile(int descriptor) {
    struct stat status;
    if (fstat(descriptor, &status) != 0) {
        int error = errno;
        (void)close(descriptor);
        return fail(error);
    }
    if (refuseIrregular(descriptor, &status) != 0) {
        return -1;
    }
    int flags = fcntl(descriptor, F_GETFL);
    if (flags < 0 || fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        int error = errno;
        (void)close(descriptor);
        return fail(error);
    }
    return descriptor;
}

static int openFileOnce(Folder* root, const char* path) {
    // O_NONBLOCK keeps a fifo from blocking the session in open; it is cleared once we know
    // the file is a regular one.
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
            return keepRegularFile(descriptor);
        }
        if (error != ELOOP) {
            return fail(error);
        }
    }
    return failRefused();
}

static void toFileStatus(const struct stat* status, FileStatus* out) {
    out->isDirectory = S_ISDIR(status->st_mode);
    out->isRegularFile = S_ISREG(status->st_mode);
    out->isLink = S_ISLNK(status->st_mode);
    out->isReadOnly = (status->st_mode & S_IWUSR) == 0;
    out->size = static_cast<long long>(status->st_size);
    out->modifiedTime = static_cast<long long>(status->st_mtime);
}

static int fileStatusOnce(Folder* root, const char* path, FileStatus* out) {
    WalkEnd end;
    if (walkToExisting(root->descriptor, path, &end) != 0) {
        return -1;
    }
    releaseEnd(&end, root->descriptor);
    toFileStatus(&end.status, out);
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
    toFileStatus(&end.status, status);
    return 0;
}

// True when the link that path ends in leads to the root itself. Fails when it leads out.
static int leadsToRoot(Folder* root, const char* path, bool* isRoot) {
    WalkEnd target;
    // SECURITY: a link that leads out of the root is refused even where the verb would act
    // on the link itself: a client must not learn, or keep, anything through it.
    if (walkPath(root->descriptor, path, LastName::kFollow, &target) != 0) {
        return -1;
    }
    *isRoot = target.name.empty();
    releaseEnd(&target, root->descriptor);
    return 0;
}

static int describeRoot(Folder* root, EntryLookup* out) {
    struct stat status;
    if (fstat(root->descriptor, &status) != 0) {
        return failWithErrno();
    }
    out->exists = true;
    toFileStatus(&status, &out->status);
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
    if (!isRoot && end.exists && S_ISLNK(end.status.st_mode) &&
        leadsToRoot(root, path, &isRoot) != 0) {
        releaseEnd(&end, root->descriptor);
        return -1;
    }
    if (isRoot) {
        releaseEnd(&end, root->descriptor);
        return describeRoot(root, out);
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
        toFileStatus(&end.status, &out->status);
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

int openFileBeneath(Folder* root, const char* path) {
    return withServedRoot(root, [&] { return openFileOnce(root, path); });
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
