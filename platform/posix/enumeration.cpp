// platform/posix/enumeration.cpp: the entries of a folder beneath the root, in the manner of
// the Windows find functions, over readdir.
#include "platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/internal.h"

// ---------------------------------------------------------------------------------------------
// Directory enumeration.

struct FindState {
    DIR* directory;
    Folder* root;
    char folderPath[kClientPathSize];
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

// The status a listing shows for a link: what it leads to while that lies beneath the root,
// otherwise the link itself (a system entry, which long listings leave out).
static bool describeLink(FindState* state, const char* name, FileStatus* status) {
    char path[kClientPathSize + kEntryNameSize];
    int written = std::snprintf(path, sizeof path, "%s/%s", state->folderPath, name);
    return written >= 0 && static_cast<std::size_t>(written) < sizeof path &&
           fileStatusBeneath(state->root, path, status) == 0;
}

// Fills entry from the directory entry's status; false when it vanished meanwhile or is
// withheld from clients.
static bool describeEntry(FindState* state, const char* name, FindEntry* entry) {
    struct stat own;
    if (fstatat(dirfd(state->directory), name, &own, AT_SYMLINK_NOFOLLOW) != 0 ||
        isWithheldFile(&own)) {
        return false;
    }
    FileStatus status;
    if (!S_ISLNK(own.st_mode) || !describeLink(state, name, &status)) {
        toFileStatus(&own, &status);
    }
    std::snprintf(entry->name, sizeof entry->name, "%s", name);
    entry->attributes = 0;
    if (status.isDirectory) {
        entry->attributes |= kAttributeDirectory;
    } else if (!status.isRegularFile) {
        entry->attributes |= kAttributeSystem;
    }
    if (name[0] == '.') {
        entry->attributes |= kAttributeHidden;
    }
    if (status.isReadOnly) {
        entry->attributes |= kAttributeReadOnly;
    }
    entry->size = status.isDirectory ? 0 : status.size;
    entry->writeTime = status.modifiedTime;
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

FindState* findFirst(Folder* root, const char* folderPath, const char* pattern, FindEntry* entry) {
    FindState* state = static_cast<FindState*>(std::calloc(1, sizeof(FindState)));
    if (state == nullptr) {
        fail(ENOMEM);
        return nullptr;
    }
    state->root = root;
    int folderWritten =
        std::snprintf(state->folderPath, sizeof state->folderPath, "%s", folderPath);
    int nameWritten = std::snprintf(state->namePattern, sizeof state->namePattern, "%s", pattern);
    if (folderWritten < 0 || static_cast<std::size_t>(folderWritten) >= sizeof state->folderPath ||
        nameWritten < 0 || static_cast<std::size_t>(nameWritten) >= sizeof state->namePattern ||
        pattern[0] == '\0') {
        std::free(state);
        fail(ENOENT);
        return nullptr;
    }
    int descriptor = openFolderForReading(root, folderPath);
    if (descriptor < 0) {
        std::free(state);
        return nullptr;
    }
    state->directory = fdopendir(descriptor);
    if (state->directory == nullptr) {
        int error = errno;
        (void)close(descriptor);
        std::free(state);
        fail(error);
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
