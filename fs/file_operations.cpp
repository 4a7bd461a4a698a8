// fs/file_operations.cpp: file queries and changes that need no data connection.
#include "fs/file_operations.h"

#include <cstdio>
#include <cstring>

#include "app/settings.h"
#include "fs/resolve_path.h"
#include "base/text.h"
#include "fs/working_directory.h"
#include "platform/platform.h"
#include "session/reply.h"
#include "session/session.h"

constexpr std::size_t kInfoReplySize = 50;

void sendFileInfo(FtpSession* session, const char* path, bool isSize) {
    FileStatus status;
    if (fileStatus(path, &status) != 0) {
        sendErrorReply(session);
        return;
    }
    if (status.isDirectory) {
        sendReply(session, "550 not a plain file.");
        return;
    }
    char reply[kInfoReplySize];
    if (isSize) {
        std::snprintf(reply, sizeof reply, "213 %lld", status.size);
    } else {
        LocalTime local;
        if (toLocalTime(status.modifiedTime, &local) != 0) {
            sendErrorReply(session);
            return;
        }
        std::snprintf(reply, sizeof reply, "213 %04d%02d%02d%02d%02d%02d", local.year, local.month,
                      local.day, local.hour, local.minute, local.second);
    }
    sendReply(session, reply);
}

void deleteFile(FtpSession* session, const char* path) {
    if (removeFile(path) != 0) {
        sendErrorReply(session);
        return;
    }
    sendReply(session, "250 DELE command successful.");
}

void createDirectory(FtpSession* session, const char* path) {
    if (makeDirectory(path) != 0) {
        sendErrorReply(session);
        return;
    }
    sendReply(session, "257 Directory created");
}

// The root and the session's own working directory stay, as Windows keeps a process's
// current directory.
static bool isBusyDirectory(const FtpSession* session, const char* path) {
    return isSameName(path, serverSettings.realRootPath) ||
           isSameName(path, session->workingDirectory);
}

void deleteDirectory(FtpSession* session, const char* path) {
    if (isBusyDirectory(session, path)) {
        setLastError(ErrorKind::kBusy);
        sendErrorReply(session);
        return;
    }
    if (removeDirectory(path) != 0) {
        sendErrorReply(session);
        return;
    }
    sendReply(session, "250 RMD command successful");
}

void storeRenameSource(FtpSession* session, const char* path) {
    // Kept as the client sees it, so that the source stays what RNFR named even after a CWD,
    // and is confined again when RNTO resolves it.
    char clientPath[kScratchTextSize];
    if (toClientPath(path, clientPath, sizeof clientPath) != 0) {
        sendReply(session, "550 Path permission error");
        return;
    }
    copyText(session->scratchText, sizeof session->scratchText, clientPath);
    sendReply(session, "350 File exists");
}

void renameToTarget(FtpSession* session, const std::string& target) {
    std::string source;
    if (resolvePath(session, session->scratchText, &source) != 0 || source.empty() ||
        target.empty()) {
        setLastError(ErrorKind::kNotFound);
        sendErrorReply(session);
        return;
    }
    if (isSameName(source.c_str(), serverSettings.realRootPath)) {
        setLastError(ErrorKind::kBusy);
        sendErrorReply(session);
        return;
    }
    if (renameEntry(source.c_str(), target.c_str()) != 0) {
        sendErrorReply(session);
        return;
    }
    sendReply(session, "250 RNTO command successful");
}
