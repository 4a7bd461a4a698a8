// fs/working_directory.cpp: root confinement, client-visible paths, CWD and PWD.
#include "fs/working_directory.h"

#include <cstdio>
#include <cstring>

#include "app/settings.h"
#include "base/text.h"
#include "platform/platform.h"
#include "session/reply.h"
#include "session/session.h"

static bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

bool isInsideRoot(const char* path) {
    const char* root = serverSettings.realRootPath;
    std::size_t n = std::strlen(root);
    if (n == 0 || std::strncmp(path, root, n) != 0) {
        return false;
    }
    // SECURITY: compare whole path components; a plain prefix test would let a root of
    // /srv/pkg accept /srv/pkg2. A root that ends with the separator ("/", "E:\") needs none.
    return root[n - 1] == kPathSeparator || path[n] == '\0' || path[n] == kPathSeparator;
}

int toClientPath(const char* path, char* out, std::size_t outSize) {
    const char* root = serverSettings.realRootPath;
    std::size_t n = std::strlen(root);
    // A root that ends with the separator keeps it, so the path below still starts with one.
    std::size_t strip = (n > 0 && root[n - 1] == kPathSeparator) ? n - 1 : n;
    if (std::strlen(path) < strip) {
        return copyText(out, outSize, "/");
    }
    const char* below = path + strip;
    if (*below == '\0') {
        below = "/";
    }
    if (copyText(out, outSize, below) != 0) {
        return -1;
    }
    for (char* c = out; *c != '\0'; c++) {
        if (*c == '\\') {
            *c = '/';
        }
    }
    return 0;
}

int virtualCwd(const FtpSession* session, char* out, std::size_t outSize) {
    return toClientPath(session->workingDirectory, out, outSize);
}

void sendWorkingDirectory(FtpSession* session) {
    char path[kWorkingDirectorySize];
    if (virtualCwd(session, path, sizeof path) != 0) {
        path[0] = '\0';
    }
    std::snprintf(session->scratchText, sizeof session->scratchText, "257 \"%s\"", path);
    sendReply(session, session->scratchText);
}

// The OS path that CWD's text names, before links and dots are resolved: rest on its own
// when the OS takes it as absolute, otherwise rest below base.
static int joinDestination(const char* base, const char* rest, char* out, std::size_t outSize) {
    int length;
    if (rest[0] == '\0') {
        length = std::snprintf(out, outSize, "%s", base);
    } else if (isAbsolutePath(rest)) {
        length = std::snprintf(out, outSize, "%s", rest);
    } else {
        length = std::snprintf(out, outSize, "%s%c%s", base, kPathSeparator, rest);
    }
    return (length >= 0 && static_cast<std::size_t>(length) < outSize) ? 0 : -1;
}

bool changeDirectory(FtpSession* session, char* path) {
    if (path[0] == '\0') {
        return true;
    }
    for (char* c = path; *c != '\0'; c++) {
        if (isSeparator(*c)) {
            *c = kPathSeparator;
        }
    }
    const char* base = session->workingDirectory;
    const char* rest = path;
    if (path[0] == kPathSeparator) {
        base = serverSettings.realRootPath;
        rest = path + 1;
    }
    // The joined text may be longer than a working directory; only the result must fit.
    char destination[kWorkingDirectorySize + kArgumentTextSize];
    char reached[kWorkingDirectorySize];
    FileStatus status;
    if (joinDestination(base, rest, destination, sizeof destination) != 0 ||
        realPath(destination, reached, sizeof reached) != 0 ||
        fileStatus(reached, &status) != 0 || !status.isDirectory) {
        return false;
    }
    // SECURITY: whatever the text named, the directory reached must be the root or below it.
    if (!isInsideRoot(reached)) {
        return false;
    }
    return copyText(session->workingDirectory, sizeof session->workingDirectory, reached) == 0;
}
