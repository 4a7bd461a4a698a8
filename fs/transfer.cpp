// fs/transfer.cpp: file contents over a data connection, in 256 KiB pieces.
#include "fs/transfer.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "fs/listing.h"
#include "fs/uploads.h"
#include "platform/platform.h"
#include "session/data_connection.h"
#include "session/reply.h"
#include "session/session.h"

// Sends the file's pieces and the one final reply.
static void copyFileToSocket(FtpSession* session, int file, SocketHandle data) {
    for (;;) {
        bool sendFailed = false;
        long long count = sendFilePiece(data, file, session->transferBuffer,
                                        sizeof session->transferBuffer, &sendFailed);
        if (count == 0) {
            sendReply(session, "226 Transfer complete");
            return;
        }
        if (count < 0 && !sendFailed) {
            sendErrorReply(session);
            return;
        }
        if (count < 0) {
            printSystemError("send failed");
            sendReply(session, "426 Broken pipe");
            return;
        }
    }
}

void sendFile(FtpSession* session, const char* path) {
    int file = openForReading(path);
    if (file < 0) {
        sendErrorReply(session);
        return;
    }
    sendReply(session, "150 Opening BINARY mode data connection");
    SocketHandle data = openDataConnection(session);
    if (data != kNoSocket) {
        (void)limitSendBuffer(data);  // only a matter of speed
        copyFileToSocket(session, file, data);  // the final reply goes out before the close
        closeSocket(data);
    }
    (void)closeFile(file);  // a read-only descriptor has nothing left to report
}

// Names differ by process and by upload, so concurrent uploads to one folder never collide.
static std::atomic<unsigned long> uploadCounter{0};
static constexpr int kTemporaryNameAttempts = 100;
static constexpr std::size_t kTemporaryPathSize = 4200;

// Creates the temporary file beside target. Returns its descriptor and its path, or -1.
static int createTemporaryFile(const char* target, char* path, std::size_t pathSize) {
    const char* lastSeparator = std::strrchr(target, kPathSeparator);
    int folderLength = lastSeparator == nullptr ? 0 : static_cast<int>(lastSeparator - target + 1);
    for (int attempt = 0; attempt < kTemporaryNameAttempts; attempt++) {
        unsigned long number = uploadCounter.fetch_add(1);
        int length = std::snprintf(path, pathSize, "%.*s%s%lu-%lu", folderLength, target,
                                   kUploadPrefix, processId(), number);
        if (length < 0 || static_cast<std::size_t>(length) >= pathSize) {
            setLastError(ErrorKind::kNotFound);
            return -1;
        }
        int file = createNewFile(path);
        if (file >= 0) {
            return file;
        }
        FileStatus status;
        if (fileStatus(path, &status) != 0) {
            return -1;  // failed for another reason than a name in use
        }
    }
    return -1;
}

// Receives every byte into file. Returns 0 when the client closed the connection after the
// last byte, or -1 after printing and leaving the error for the reply.
static int copySocketToFile(FtpSession* session, SocketHandle data, int file) {
    for (;;) {
        long long count = receiveBytes(data, session->transferBuffer,
                                       sizeof session->transferBuffer);
        if (count == 0) {
            return 0;
        }
        if (count < 0) {
            printSystemError("read failed");
            return -1;
        }
        if (writeFile(file, session->transferBuffer, static_cast<std::size_t>(count)) != 0) {
            return -1;
        }
    }
}

// A target the upload must not replace: a directory, or a read-only file.
static bool isRefusedTarget(const char* target) {
    FileStatus status;
    if (fileStatus(target, &status) != 0) {
        return false;  // nothing there yet
    }
    if (status.isDirectory) {
        setLastError(ErrorKind::kIsDirectory);
        return true;
    }
    if (status.isReadOnly) {
        setLastError(ErrorKind::kAccessDenied);
        return true;
    }
    return false;
}

void receiveFile(FtpSession* session, const char* path) {
    char temporary[kTemporaryPathSize];
    int file = -1;
    if (isRefusedTarget(path) ||
        (file = createTemporaryFile(path, temporary, sizeof temporary)) < 0) {
        sendErrorReply(session);
        return;
    }
    UploadEntry upload;
    registerUpload(&upload, temporary, file);  // so an ending process removes the file
    sendReply(session, "150 Opening BINARY mode data connection");
    SocketHandle data = openDataConnection(session);
    int status = -1;
    if (data != kNoSocket) {
        status = copySocketToFile(session, data, file);
    }
    // Only a file that was closed without error may replace the target: "226" promises a
    // complete file.
    int closed = closeFile(file);
    if (status == 0 && closed == 0 && finishUpload(&upload, path) == 0) {
        sendReply(session, "226 Transfer complete");
    } else {
        if (data != kNoSocket) {
            sendErrorReply(session);  // openDataConnection has replied when there is no data
        }
        (void)removeFile(temporary);  // a leftover is hidden from listings and harms nothing
        unregisterUpload(&upload);
    }
    closeSocket(data);
}
