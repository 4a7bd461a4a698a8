// platform/posix/beneath.cpp: the walk from the served root's descriptor to what a path names,
// one name at a time, links read and followed only while they stay beneath the root.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "platform/path_text.h"
#include "platform/platform.h"
#include "platform/posix/internal.h"

// More links than this in one lookup is a loop, as the kernel's own limit says.
constexpr int kMostLinks = 40;

void toFileStatus(const struct stat* status, FileStatus* out) {
    out->isDirectory = S_ISDIR(status->st_mode);
    out->isRegularFile = S_ISREG(status->st_mode);
    out->isLink = S_ISLNK(status->st_mode);
    out->isReadOnly = (status->st_mode & S_IWUSR) == 0;
    out->size = static_cast<long long>(status->st_size);
    out->modifiedTime = static_cast<long long>(status->st_mtime);
    out->volume = static_cast<unsigned long long>(status->st_dev);
    out->fileIndex = static_cast<unsigned long long>(status->st_ino);
}

void toFileVersion(const struct stat* status, FileVersion* out) {
    out->volume = static_cast<unsigned long long>(status->st_dev);
    out->fileIndex = static_cast<unsigned long long>(status->st_ino);
    out->size = static_cast<long long>(status->st_size);
    out->modifiedTicks = static_cast<long long>(status->st_mtim.tv_sec) * 1000000000LL +
                         static_cast<long long>(status->st_mtim.tv_nsec);
}

// ---------------------------------------------------------------------------------------------
// The walk. It keeps the names still to go and the names of the folder reached, which never
// hold a link: a link's target takes its place among the names to go. ".." takes the last
// name reached off and starts again from the root, so a folder that another client moves
// while we stand in it can never take us above the root.

struct Walk {
    int rootDescriptor;
    int folder;  // the root's descriptor, or one of our own below it
    std::vector<std::string> reached;
    std::vector<std::string> ahead;  // in reverse: the next name is the last element
    int links;
};

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
    splitStepNames(path, "/", &names);
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
        splitStepNames(target, "/", &names);
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
        // A withheld file tells nothing of itself, not even that it is no folder.
        return fail(isWithheldFile(&status)
                        ? ENOENT
                        : ENOTDIR);  // a file where a folder should be: the rest does not exist
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
    struct stat status;
    if (fstatat(walk->folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            return failRefused();
        }
        endWalk(walk, name, false, end);
        return 1;
    }
    if (last == LastName::kFollow && S_ISLNK(status.st_mode)) {
        return followLink(walk, name.c_str());
    }
    // SECURITY: the server's own key and log are not there for any verb, whatever the name.
    // Refused even where a change would take the name as free: an upload must not replace it.
    if (isWithheldFile(&status)) {
        return fail(ENOENT);
    }
    endWalk(walk, name, true, end);
    toFileStatus(&status, &end->status);
    return 1;
}

int walkPath(int rootDescriptor, const char* path, LastName last, WalkEnd* end) {
    Walk walk;
    startWalk(&walk, rootDescriptor, path);
    for (;;) {
        if (walk.ahead.empty()) {
            if (walk.reached.empty()) {
                end->folder = rootDescriptor;
                end->reached.clear();
                end->name.clear();
                end->exists = true;
                struct stat status;
                if (fstat(rootDescriptor, &status) != 0) {
                    return failWithErrno();
                }
                toFileStatus(&status, &end->status);
                // A root the operator has removed is no folder to be in any more.
                return status.st_nlink > 0 ? 0 : fail(ENOENT);
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

void releaseEnd(const WalkEnd* end, int rootDescriptor) {
    if (end->folder != rootDescriptor) {
        (void)close(end->folder);
    }
}

int walkToExisting(int rootDescriptor, const char* path, WalkEnd* end) {
    if (walkPath(rootDescriptor, path, LastName::kFollow, end) != 0) {
        return -1;
    }
    if (!end->exists) {
        releaseEnd(end, rootDescriptor);
        return fail(ENOENT);
    }
    return 0;
}
