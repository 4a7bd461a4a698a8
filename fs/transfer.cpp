// fs/transfer.cpp: file contents over a data connection, in 256 KiB pieces.
#include "fs/transfer.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "app/settings.h"
#include "base/text.h"
#include "fs/listing.h"
#include "fs/transfer_log.h"
#include "fs/uploads.h"
#include "session/channel.h"
#include "platform/platform.h"
#include "session/data_connection.h"
#include "session/operator_status.h"
#include "session/reply.h"
#include "session/session.h"

// Keeps why a transfer's connection failed, in the operator's words, before anything else can
// change the error.
static void noteConnectionFailure(const FtpSession* session, TransferOutcome* outcome) {
    char errorText[kErrorTextSize];
    lastErrorText(errorText, sizeof errorText);
    if (isLastError(ErrorKind::kTimedOut)) {
        std::snprintf(outcome->cutOffReason, sizeof outcome->cutOffReason,
                      "no progress for %d s", session->stallMilliseconds / 1000);
    } else {
        std::snprintf(outcome->cutOffReason, sizeof outcome->cutOffReason,
                      "the client closed the connection: %s", errorText);
    }
}

static void noteFileFailure(const char* what, TransferOutcome* outcome) {
    char errorText[kErrorTextSize];
    lastErrorText(errorText, sizeof errorText);
    std::snprintf(outcome->cutOffReason, sizeof outcome->cutOffReason, "%s: %s", what, errorText);
}

// Sends the file's pieces, counting them in outcome. Returns the transfer's final reply in
// reply, to be sent once the data connection is closed.
static void copyFileToData(FtpSession* session, int file, DataConnection* data, char* reply,
                           std::size_t replySize, TransferOutcome* outcome) {
    for (;;) {
        bool sendFailed = false;
        long long count = sendFileData(data, file, session->transferBuffer,
                                       sizeof session->transferBuffer, &sendFailed);
        if (count > 0) {
            outcome->bytes += count;
            // One relaxed store a piece: what the status line shows costs the transfer nothing.
            session->report.transferredBytes.store(outcome->bytes, std::memory_order_relaxed);
        }
        if (count == 0) {
            outcome->complete = true;
            copyText(reply, replySize, "226 Transfer complete");
            return;
        }
        if (count < 0 && !sendFailed) {
            noteFileFailure("the file could not be read", outcome);
            formatErrorReply(reply, replySize);
            return;
        }
        if (count < 0) {
            noteConnectionFailure(session, outcome);
            printSystemError("send failed");
            copyText(reply, replySize, "426 Broken pipe");
            return;
        }
    }
}

// Moves the file to where REST asked the transfer to start. Returns -1 after the reply.
static int startAtRestartOffset(FtpSession* session, int file) {
    long long offset = session->restartOffset;
    if (offset == 0) {
        return 0;
    }
    long long size = fileSizeOf(file);
    if (size < 0) {
        sendErrorReply(session);
        return -1;
    }
    if (offset > size) {
        sendReply(session, "554 Restart position beyond the end of the file");
        return -1;
    }
    if (seekFile(file, offset) != 0) {
        sendErrorReply(session);
        return -1;
    }
    return 0;
}

static void sendCountedFile(FtpSession* session, const std::string& path,
                            TransferOutcome* outcome) {
    int file = openFileBeneath(session->root, path.c_str());
    if (file < 0) {
        sendErrorReply(session);
        return;
    }
    if (startAtRestartOffset(session, file) != 0) {
        (void)closeFile(file);  // a read-only descriptor has nothing left to report
        return;
    }
    if (serverSettings.status) {  // only the operator's lines show the whole; a call less else
        long long size = fileSizeOf(file);
        outcome->size = size >= 0 ? size - session->restartOffset : -1;
    }
    sendReply(session, "150 Opening BINARY mode data connection");
    outcome->started = true;
    startTransferReport(session, outcome->size);
    DataConnection data;
    if (openDataConnection(session, &data) == 0) {
        char reply[kReplyTextSize];
        copyFileToData(session, file, &data, reply, sizeof reply, outcome);
        // The wait costs every file a round trip, and a client that reads the reply before it
        // closes (urllib) its own delayed acknowledgement of 40 ms or more. The client that
        // needs it, aria2c, asks SIZE before each download; one that never asks gets its
        // reply at once.
        closeDataConnection(&data, session->hasAskedSize ? DeliveryWait::kAcknowledged
                                                         : DeliveryWait::kNone);
        sendReply(session, reply);
    }
    (void)closeFile(file);  // a read-only descriptor has nothing left to report
}

// A transfer's outcome as it starts: nothing moved, its size not known yet.
static TransferOutcome startOutcome() {
    return {monotonicMilliseconds(), 0, false, false, -1, ""};
}

void sendFile(FtpSession* session, const std::string& path) {
    TransferOutcome outcome = startOutcome();
    sendCountedFile(session, path, &outcome);
    logTransfer(session, path.c_str(), TransferDirection::kOutgoing, &outcome);
    reportTransferEnd(session, false, &outcome);
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

// Receives every byte into file, counting them in outcome. Returns 0 when the client closed the
// connection after the last byte, or -1 after printing and leaving the error for the reply.
static int copyDataToFile(FtpSession* session, DataConnection* data, int file,
                          TransferOutcome* outcome) {
    for (;;) {
        long long count =
            receiveDataBytes(data, session->transferBuffer, sizeof session->transferBuffer);
        if (count == 0) {
            return 0;
        }
        if (count < 0) {
            noteConnectionFailure(session, outcome);
            printSystemError("read failed");
            return -1;
        }
        if (writeFile(file, session->transferBuffer, static_cast<std::size_t>(count)) != 0) {
            noteFileFailure("the file could not be written", outcome);
            return -1;
        }
        outcome->bytes += count;
        session->report.transferredBytes.store(outcome->bytes, std::memory_order_relaxed);
    }
}

// A client that dies closes both its connections, and in clear text the end of its data then
// reads like the end of a complete upload. Its control connection tells the two apart: a live
// client keeps it open for the reply. The two ends leave the client's machine together, as its
// system closes a dying process's connections one after the other, so they arrive well within
// a millisecond of each other unless a packet is lost. Every clear-text upload's "226" waits
// this long, so it is kept short: a session that uploads many small files pays it each time.
static constexpr int kClientEndGraceMilliseconds = 20;

// Whether the client went away as its data ended. TLS needs no guess: a data connection that
// ends without its close_notify has already failed.
static bool hasClientLeft(FtpSession* session, const DataConnection* data) {
    return data->tls == nullptr && !isControlConnectionOpen(session, kClientEndGraceMilliseconds);
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

// Receives the upload into a new temporary file in target's folder and puts it in target's
// place once every byte is written. Sends the replies from "150" on.
static void receiveInto(FtpSession* session, const EntryLookup* target, int file,
                        const char* temporary, TransferOutcome* outcome) {
    UploadEntry upload;
    registerUpload(&upload, target->folder, temporary);  // an ending process removes it
    sendReply(session, "150 Opening BINARY mode data connection");
    outcome->started = true;
    startTransferReport(session, -1);
    char reply[kReplyTextSize];
    DataConnection data;
    int status = connectForTransfer(session, &data, reply, sizeof reply);
    if (status == 0) {
        status = copyDataToFile(session, &data, file, outcome);
        if (status != 0) {
            formatErrorReply(reply, sizeof reply);
        } else if (hasClientLeft(session, &data)) {
            status = -1;
            copyText(outcome->cutOffReason, sizeof outcome->cutOffReason,
                     "the client closed the connection");
            copyText(reply, sizeof reply, "426 Connection closed; transfer aborted.");
        }
        closeDataConnection(&data, DeliveryWait::kAcknowledged);  // the client closed first
    }
    // Only a file that was closed without error may replace the target: "226" promises a
    // complete file.
    int closed = closeFile(file);
    if (status == 0 && closed == 0 && finishUpload(&upload, target->name) == 0) {
        outcome->complete = true;
        sendReply(session, "226 Transfer complete");
        return;
    }
    if (status == 0) {
        formatErrorReply(reply, sizeof reply);  // the close or the rename failed
    }
    // The server's own file goes whatever mode the umask gave it, and before the reply, so
    // that a client acting on the reply finds the folder as it was.
    (void)removeOwnFileAt(target->folder, temporary);
    unregisterUpload(&upload);
    sendReply(session, reply);
}

// How much of the existing file the upload starts with: nothing for STOR, the REST offset for
// STOR after REST, all of it (-1) for APPE. Returns -1 after the reply when that cannot be.
static int findKeptStart(FtpSession* session, const EntryLookup* target, bool append,
                         long long* keep) {
    *keep = append ? -1 : session->restartOffset;
    if (*keep == 0 || (append && !target->exists)) {
        *keep = 0;  // APPE onto a missing file creates it
        return 0;
    }
    if (!target->exists) {
        setLastError(ErrorKind::kNotFound);
        sendErrorReply(session);
        return -1;
    }
    if (!target->status.isRegularFile) {
        setLastError(ErrorKind::kAccessDenied);  // a link: its target is not ours to copy
        sendErrorReply(session);
        return -1;
    }
    if (*keep > target->status.size) {
        sendReply(session, "554 Restart position beyond the end of the file");
        return -1;
    }
    return 0;
}

static void receiveCountedFile(FtpSession* session, const std::string& path, bool append,
                               TransferOutcome* outcome) {
    EntryLookup target;
    if (lookUpEntry(session->root, path.c_str(), &target) != 0) {
        sendErrorReply(session);
        return;
    }
    // A resumed or appended upload is all or nothing too: the temporary file starts as a copy
    // of the part kept, and replaces the target only once complete.
    char temporary[kEntryNameSize];
    long long keep = 0;
    int file = -1;
    if (isRefusedTarget(&target)) {
        sendErrorReply(session);
    } else if (findKeptStart(session, &target, append, &keep) == 0) {
        file = createTemporaryFile(target.folder, temporary, sizeof temporary,
                                   keep != 0 ? target.name : nullptr, keep);
        if (file < 0) {
            sendErrorReply(session);
        } else {
            receiveInto(session, &target, file, temporary, outcome);
        }
    }
    closeFolder(target.folder);
}

// STOR and APPE: the upload, its line in the transfer log and its event line.
static void receiveLogged(FtpSession* session, const std::string& path, bool append) {
    TransferOutcome outcome = startOutcome();
    receiveCountedFile(session, path, append, &outcome);
    logTransfer(session, path.c_str(), TransferDirection::kIncoming, &outcome);
    reportTransferEnd(session, true, &outcome);
}

void receiveFile(FtpSession* session, const std::string& path) {
    receiveLogged(session, path, false);
}

void appendToFile(FtpSession* session, const std::string& path) {
    receiveLogged(session, path, true);
}
