// fs/working_directory.cpp: CWD and PWD.
#include "fs/working_directory.h"

#include <cstdio>
#include <string>
#include <vector>

#include "base/text.h"
#include "fs/resolve_path.h"
#include "platform/path_text.h"
#include "platform/platform.h"
#include "session/reply.h"
#include "session/session.h"

static bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

int virtualCwd(const FtpSession* session, char* out, std::size_t outSize) {
    return copyText(out, outSize, session->workingDirectory);
}

void sendWorkingDirectory(FtpSession* session) {
    char quoted[kReplyTextSize - 4];
    char reply[kReplyTextSize];
    if (quotePath(quoted, sizeof quoted, session->workingDirectory) != 0) {
        quoted[0] = '\0';  // the working directory always fits, quotes doubled or not
    }
    std::snprintf(reply, sizeof reply, "257 %s", quoted);
    sendReply(session, reply);
}

// CWD's argument in the form resolvePath takes. After its first separator CWD's text may be a
// system path of its own, so an absolute one counts when it names the root by its real path.
static int cwdArgument(char* path, std::string* argument) {
    if (!isSeparator(path[0]) || !isAbsolutePath(path + 1)) {
        *argument = path;
        return 0;
    }
    // SECURITY: two more separators are a network path (\\host\share) or a device
    // (\\.\COM1, \\?\...) on Windows: refused before any file-system call.
    if (isSeparator(path[2])) {
        return -1;
    }
    std::vector<std::string> names;
    if (namesBelowRoot(path + 1, &names) != 0) {
        return -1;
    }
    *argument = "/" + joinNames(names);
    return 0;
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
    std::string argument;
    std::string walked;
    char reached[kClientPathSize];
    char shown[kWorkingDirectorySize];
    FileStatus status;
    if (cwdArgument(path, &argument) != 0 || resolvePath(session, argument, &walked) != 0 ||
        locateBeneath(session->root, walked.c_str(), reached, sizeof reached, &status) != 0 ||
        !status.isDirectory || toClientPath(reached, shown, sizeof shown) != 0) {
        return false;
    }
    return copyText(session->workingDirectory, sizeof session->workingDirectory, shown) == 0;
}
