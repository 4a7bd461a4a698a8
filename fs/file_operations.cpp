// fs/file_operations.cpp: file queries and changes that need no data connection. Each looks
// its path up beneath the root and acts on the folder and name the lookup found.
#include "fs/file_operations.h"

#include <cstdio>

#include "base/text.h"
#include "fs/resolve_path.h"
#include "platform/path_text.h"
#include "platform/platform.h"
#include "session/reply.h"
#include "session/session.h"

constexpr std::size_t kInfoReplySize = 50;

void sendFileInfo(FtpSession* session, const std::string& path, bool isSize) {
    FileStatus status;
    if (fileStatusBeneath(session->root, path.c_str(), &status) != 0) {
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
        CalendarTime local;
        if (toLocalTime(status.modifiedTime, &local) != 0) {
            sendErrorReply(session);
            return;
        }
        std::snprintf(reply, sizeof reply, "213 %04d%02d%02d%02d%02d%02d", local.year, local.month,
                      local.day, local.hour, local.minute, local.second);
    }
    sendReply(session, reply);
}

// Looks path's entry up; on failure sends the error reply (a refused path's reads "550 Path
// permission error") and returns -1.
static int lookUpOrReply(FtpSession* session, const std::string& path, EntryLookup* entry) {
    if (lookUpEntry(session->root, path.c_str(), entry) != 0) {
        sendErrorReply(session);
        return -1;
    }
    return 0;
}

// Sends the error reply for kind and releases the entry's folder.
static void refuseEntry(FtpSession* session, EntryLookup* entry, ErrorKind kind) {
    closeFolder(entry->folder);
    setLastError(kind);
    sendErrorReply(session);
}

// The session's own working directory stays, as Windows keeps a process's current directory.
static bool isWorkingDirectory(FtpSession* session, const std::string& path) {
    char reached[kClientPathSize];
    FileStatus status;
    return locateBeneath(session->root, path.c_str(), reached, sizeof reached, &status) == 0 &&
           isSameName(reached, toRootRelative(session->workingDirectory).c_str());
}

// Makes one change to the entry path names and replies reply. The root itself is refused
// with rootError, and so is RMD of the session's working directory.
static void changeEntry(FtpSession* session, const std::string& path,
                        int (*change)(Folder*, const char*), ErrorKind rootError,
                        const char* reply) {
    EntryLookup entry;
    if (lookUpOrReply(session, path, &entry) != 0) {
        return;
    }
    bool isKept =
        entry.folder == nullptr || (change == removeDirectoryAt && entry.exists &&
                                    entry.status.isDirectory && isWorkingDirectory(session, path));
    if (isKept) {
        refuseEntry(session, &entry, rootError);
        return;
    }
    int changed = change(entry.folder, entry.name);
    closeFolder(entry.folder);
    if (changed != 0) {
        sendErrorReply(session);
        return;
    }
    sendReply(session, reply);
}

void deleteFile(FtpSession* session, const std::string& path) {
    changeEntry(session, path, removeFileAt, ErrorKind::kIsDirectory,
                "250 DELE command successful.");
}

void createDirectory(FtpSession* session, const std::string& path) {
    // RFC 959: the reply names the new folder, so that a client learns what was made.
    char quoted[kReplyTextSize - 16];
    char reply[kReplyTextSize];
    std::string shown = "/" + path;
    if (quotePath(quoted, sizeof quoted, shown.c_str()) != 0) {
        copyText(quoted, sizeof quoted, "\"\"");  // never for a path a command can name
    }
    std::snprintf(reply, sizeof reply, "257 %s created", quoted);
    changeEntry(session, path, makeDirectoryAt, ErrorKind::kExists, reply);
}

void deleteDirectory(FtpSession* session, const std::string& path) {
    // The root stays whatever names it, and so does the working directory of the session.
    changeEntry(session, path, removeDirectoryAt, ErrorKind::kBusy, "250 RMD command successful");
}

void storeRenameSource(FtpSession* session, const std::string& path) {
    // The lookup only refuses a path that leads out; whether the source exists is RNTO's
    // question.
    EntryLookup entry;
    if (lookUpEntry(session->root, path.c_str(), &entry) != 0 &&
        isLastError(ErrorKind::kRefusedPath)) {
        sendErrorReply(session);
        return;
    }
    closeFolder(entry.folder);
    // Kept as the client would name it from the root, so that the source stays what RNFR
    // named even after a CWD, and is looked up again when RNTO runs.
    int length = std::snprintf(session->renameSource, sizeof session->renameSource, "/%s",
                               path == "." ? "" : path.c_str());
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof session->renameSource) {
        session->renameSource[0] = '\0';
        sendReply(session, "550 Path permission error");
        return;
    }
    sendReply(session, "350 File exists");
}

// Looks up the rename source that RNFR kept, and forgets it: RNTO uses it once. Returns -1
// after the error reply.
static int lookUpSource(FtpSession* session, EntryLookup* source) {
    std::string kept = session->renameSource;
    session->renameSource[0] = '\0';
    std::string path;
    if (kept.empty() || resolvePath(session, kept, &path) != 0 || path.empty()) {
        setLastError(ErrorKind::kNotFound);
        sendErrorReply(session);
        return -1;
    }
    if (lookUpOrReply(session, path, source) != 0) {
        return -1;
    }
    if (source->folder == nullptr) {
        refuseEntry(session, source, ErrorKind::kBusy);  // the root itself
        return -1;
    }
    return 0;
}

void renameToTarget(FtpSession* session, const std::string& target) {
    if (target.empty()) {
        session->renameSource[0] = '\0';
        setLastError(ErrorKind::kNotFound);
        sendErrorReply(session);
        return;
    }
    EntryLookup source;
    if (lookUpSource(session, &source) != 0) {
        return;
    }
    EntryLookup destination;
    if (lookUpEntry(session->root, target.c_str(), &destination) != 0) {
        closeFolder(source.folder);
        sendErrorReply(session);
        return;
    }
    int renamed = -1;
    if (destination.folder == nullptr) {
        setLastError(ErrorKind::kExists);  // the root itself
    } else {
        renamed = renameEntryAt(source.folder, source.name, destination.folder, destination.name);
    }
    closeFolder(source.folder);
    closeFolder(destination.folder);
    if (renamed != 0) {
        sendErrorReply(session);
        return;
    }
    sendReply(session, "250 RNTO command successful");
}
