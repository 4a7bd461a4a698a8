// fs/transfer.cpp: file contents over a data connection, in 256 KiB pieces.
#include "fs/transfer.h"

#include <atomic>
#include <cstdio>

#include "app/settings.h"
#include "base/text.h"
#include "fs/uploads.h"
#include "platform/platform.h"
#include "session/reply.h"
#include "session/session.h"
#include "session/transfer_runner.h"

// Moves the file to where REST asked the transfer to start. Returns -1 with the refusal in
// reply when it cannot.
static int startAtRestartOffset(FtpSession* session, int file, char* reply, std::size_t replySize) {
    long long offset = session->restartOffset;
    if (offset == 0) {
        return 0;
    }
    long long size = fileSizeOf(file);
    if (size >= 0 && offset > size) {
        copyText(reply, replySize, "554 Restart position beyond the end of the file");
        return -1;
    }
    if (size < 0 || seekFile(file, offset) != 0) {
        formatErrorReply(reply, replySize);
        return -1;
    }
    return 0;
}

void sendFile(FtpSession* session, const std::string& path) {
    char reply[kReplyTextSize];
    FileVersion version;
    int file = openFileBeneath(session->root, path.c_str(), &version);
    if (file < 0) {
        formatErrorReply(reply, sizeof reply);
        refuseTransfer(session, TransferKind::kDownload, path.c_str(), reply);
        return;
    }
    if (startAtRestartOffset(session, file, reply, sizeof reply) == 0) {
        TransferWork work = {TransferKind::kDownload,
                             path.c_str(),
                             file,
                             version.size - session->restartOffset,
                             session->restartOffset,
                             nullptr,
                             nullptr,
                             nullptr,
                             nullptr,
                             version};
        runTransfer(session, &work);
    } else {
        refuseTransfer(session, TransferKind::kDownload, path.c_str(), reply);
    }
    (void)closeFile(file);  // a read-only descriptor has nothing left to report
}

// Names differ by process and by upload, so concurrent uploads to one folder never collide.
static std::atomic<unsigned long> uploadCounter{0};
static constexpr int kTemporaryNameAttempts = 100;

// Creates the temporary file in folder, beside the target: empty, or when source is given a
// copy of its first keep bytes (all of them when keep is negative). Returns its descriptor and
// its name, or -1 with the error of the creation itself.
static int createTemporaryFile(Folder* folder, char* name, std::size_t nameSize, const char* source,
                               long long keep) {
    for (int attempt = 0; attempt < kTemporaryNameAttempts; attempt++) {
        unsigned long number = uploadCounter.fetch_add(1);
        int length = std::snprintf(name, nameSize, "%s%lu-%lu", kUploadPrefix, processId(), number);
        if (length < 0 || static_cast<std::size_t>(length) >= nameSize) {
            setLastError(ErrorKind::kNotFound);
            return -1;
        }
        int file = source != nullptr ? createCopyAt(folder, source, name, keep)
                                     : createNewFileAt(folder, name);
        if (file >= 0 || !isLastError(ErrorKind::kExists)) {
            return file;  // a denied folder, a full disk: the client hears that very error
        }
    }
    return -1;
}

// A target the upload must not replace: the root, a directory, or a read-only file. A link
// is replaced itself, never written through.
static bool isRefusedTarget(const EntryLookup* target) {
    if (target->folder == nullptr || (target->exists && target->status.isDirectory)) {
        setLastError(ErrorKind::kIsDirectory);
        return true;
    }
    if (target->exists && target->status.isRegularFile && target->status.isReadOnly) {
        setLastError(ErrorKind::kAccessDenied);
        return true;
    }
    return false;
}

// An upload in progress: its temporary file beside the target, which it replaces once complete.
struct PendingUpload {
    UploadEntry entry;
    Folder* root;
    const char* path;
    const EntryLookup* target;
    int file;
    const char* temporary;
};

static const char kTargetChangedReply[] =
    "450 The file changed during the upload; nothing was stored.";

// Whether the target is still what the upload found at its start: missing then and now, or the
// same regular file (the same identity, size and modification time), not read-only. SECURITY:
// otherwise another session (or the operator) put something there meanwhile, such as a read-only
// package renamed onto the name, a rotated log, or another append's result, which the upload must
// not replace. It compares the entry's own status rather than a FileVersion: the target is not
// open, and opening it would follow the link the upload replaces itself.
static bool isTargetUnchanged(const PendingUpload* upload) {
    EntryLookup now;
    if (lookUpEntry(upload->root, upload->path, &now) != 0) {
        return false;
    }
    closeFolder(now.folder);
    const EntryLookup* then = upload->target;
    if (!then->exists) {
        return true;  // anything that has come meanwhile stays: the rename will not replace it
    }
    return now.exists && now.status.isRegularFile && !now.status.isReadOnly &&
           now.status.volume == then->status.volume &&
           now.status.fileIndex == then->status.fileIndex && now.status.size == then->status.size &&
           now.status.modifiedTime == then->status.modifiedTime;
}

static int commitUpload(void* context, char* reply, std::size_t replySize) {
    PendingUpload* upload = static_cast<PendingUpload*>(context);
    int closed = closeFile(upload->file);
    upload->file = -1;
    if (closed != 0) {
        formatErrorReply(reply, replySize);
        return -1;
    }
    if (!isTargetUnchanged(upload)) {
        copyText(reply, replySize, kTargetChangedReply);
        return -1;
    }
    if (finishUpload(&upload->entry, upload->target->name, upload->target->exists) != 0) {
        if (isLastError(ErrorKind::kExists)) {
            copyText(reply, replySize, kTargetChangedReply);
        } else {
            formatErrorReply(reply, replySize);
        }
        return -1;
    }
    return 0;
}

// The server's own file goes whatever mode the umask gave it.
static void abandonUpload(void* context) {
    PendingUpload* upload = static_cast<PendingUpload*>(context);
    if (upload->file >= 0) {
        (void)closeFile(upload->file);  // its bytes are thrown away
    }
    (void)removeOwnFileAt(upload->target->folder, upload->temporary);
    unregisterUpload(&upload->entry);
}

// Receives the upload into a new temporary file in target's folder and puts it in target's
// place once every byte is written. Sends the replies from "150" on.
static void receiveInto(FtpSession* session, const std::string& path, const EntryLookup* target,
                        int file, const char* temporary, long long kept) {
    PendingUpload upload = {{}, session->root, path.c_str(), target, file, temporary};
    registerUpload(&upload.entry, target->folder, temporary);  // an ending process removes it
    TransferWork work = {TransferKind::kUpload, path.c_str(),  file,    -1, kept, nullptr,
                         commitUpload,          abandonUpload, &upload, {}};
    runTransfer(session, &work);
}

// How much of the existing file the upload starts with: nothing for STOR, the REST offset for
// STOR after REST, all of it (-1) for APPE. Returns -1 with the refusal in reply when that
// cannot be.
static int findKeptStart(const FtpSession* session, const EntryLookup* target, bool append,
                         long long* keep, char* reply, std::size_t replySize) {
    *keep = append ? -1 : session->restartOffset;
    if (*keep == 0 || (append && !target->exists)) {
        *keep = 0;  // APPE onto a missing file creates it
        return 0;
    }
    if (!target->exists || !target->status.isRegularFile) {
        // A link: its target is not ours to copy.
        setLastError(target->exists ? ErrorKind::kAccessDenied : ErrorKind::kNotFound);
        formatErrorReply(reply, replySize);
        return -1;
    }
    if (*keep > target->status.size) {
        copyText(reply, replySize, "554 Restart position beyond the end of the file");
        return -1;
    }
    return 0;
}

// Creates the upload's temporary file in target's folder and runs the upload. Returns -1 with
// the refusal in reply when it cannot start.
static int startUpload(FtpSession* session, const std::string& path, const EntryLookup* target,
                       bool append, char* reply, std::size_t replySize) {
    // A resumed or appended upload is all or nothing too: the temporary file starts as a copy
    // of the part kept, and replaces the target only once complete.
    long long keep = 0;
    if (isRefusedTarget(target)) {
        formatErrorReply(reply, replySize);
        return -1;
    }
    if (findKeptStart(session, target, append, &keep, reply, replySize) != 0) {
        return -1;
    }
    char temporary[kEntryNameSize];
    int file = createTemporaryFile(target->folder, temporary, sizeof temporary,
                                   keep != 0 ? target->name : nullptr, keep);
    if (file < 0) {
        formatErrorReply(reply, replySize);
        return -1;
    }
    receiveInto(session, path, target, file, temporary, keep < 0 ? target->status.size : keep);
    return 0;
}

// STOR and APPE: the upload, or its refusal, each with its line in the transfer log and its
// event line.
static void receiveUpload(FtpSession* session, const std::string& path, bool append) {
    char reply[kReplyTextSize];
    EntryLookup target;
    if (lookUpEntry(session->root, path.c_str(), &target) != 0) {
        formatErrorReply(reply, sizeof reply);
        refuseTransfer(session, TransferKind::kUpload, path.c_str(), reply);
        return;
    }
    if (startUpload(session, path, &target, append, reply, sizeof reply) != 0) {
        refuseTransfer(session, TransferKind::kUpload, path.c_str(), reply);
    }
    closeFolder(target.folder);
}

void receiveFile(FtpSession* session, const std::string& path) {
    receiveUpload(session, path, false);
}

void appendToFile(FtpSession* session, const std::string& path) {
    receiveUpload(session, path, true);
}
