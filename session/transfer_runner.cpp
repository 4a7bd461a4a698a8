// session/transfer_runner.cpp: one transfer from its "150" to its final reply, whatever moves.
#include "session/transfer_runner.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "fs/delivery_report.h"
#include "fs/transfer_log.h"
#include "platform/platform.h"
#include "session/channel.h"
#include "session/data_connection.h"
#include "session/operator_status.h"
#include "session/reply.h"
#include "session/session.h"
#include "session/time_limits.h"

// How a transfer's bytes ended.
enum class TransferEnd {
    kComplete,      // every byte moved, and the data connection ended in order
    kNoConnection,  // the data connection never came
    kStopped,       // ABOR, or the client went away: the control connection said so
    kSendFailed,    // the data connection failed or stalled while we sent
    kFailed,        // it failed while we received, or the file failed
};

// Keeps why a transfer's connection failed, in the operator's words, before anything else can
// change the error.
static void noteConnectionFailure(const FtpSession* session, TransferOutcome* outcome) {
    char errorText[kErrorTextSize];
    lastErrorText(errorText, sizeof errorText);
    if (isLastError(ErrorKind::kTimedOut)) {
        std::snprintf(outcome->cutOffReason, sizeof outcome->cutOffReason, "no progress for %d s",
                      session->stallMilliseconds / 1000);
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

static void countBytes(FtpSession* session, TransferOutcome* outcome, long long count) {
    outcome->bytes += count;
    // One relaxed store a piece: what the status line shows costs the transfer nothing.
    session->report.transferredBytes.store(outcome->bytes, std::memory_order_relaxed);
}

static TransferEnd sendFileBytes(FtpSession* session, const TransferWork* work,
                                 DataConnection* data, TransferOutcome* outcome) {
    for (;;) {
        bool sendFailed = false;
        long long count = sendFileData(data, work->file, session->transferBuffer,
                                       sizeof session->transferBuffer, &sendFailed);
        if (count > 0) {
            countBytes(session, outcome, count);
        } else if (count == 0) {
            return TransferEnd::kComplete;
        } else if (sendFailed) {
            return TransferEnd::kSendFailed;
        } else {
            noteFileFailure("the file could not be read", outcome);
            return TransferEnd::kFailed;
        }
    }
}

// With the delivery report on, a download from the first byte goes through our memory, so that
// its row can name the digest of the very bytes sent.
static TransferEnd sendDigestedFileBytes(FtpSession* session, const TransferWork* work,
                                         DataConnection* data, DigestSet* digests,
                                         TransferOutcome* outcome) {
    for (;;) {
        long long count =
            readFile(work->file, session->transferBuffer, sizeof session->transferBuffer);
        if (count == 0) {
            return TransferEnd::kComplete;
        }
        if (count < 0) {
            noteFileFailure("the file could not be read", outcome);
            return TransferEnd::kFailed;
        }
        updateDigests(digests, session->transferBuffer, static_cast<std::size_t>(count));
        if (sendDataBytes(data, session->transferBuffer, static_cast<std::size_t>(count)) != 0) {
            return TransferEnd::kSendFailed;
        }
        countBytes(session, outcome, count);
    }
}

static TransferEnd sendListingBytes(FtpSession* session, const TransferWork* work,
                                    DataConnection* data, TransferOutcome* outcome) {
    for (;;) {
        std::size_t length =
            work->nextLines(work->context, session->transferBuffer, sizeof session->transferBuffer);
        if (length == 0) {
            return TransferEnd::kComplete;
        }
        if (sendDataBytes(data, session->transferBuffer, length) != 0) {
            return TransferEnd::kSendFailed;
        }
        outcome->bytes += static_cast<long long>(length);
    }
}

static TransferEnd receiveFileBytes(FtpSession* session, const TransferWork* work,
                                    DataConnection* data, TransferOutcome* outcome) {
    for (;;) {
        long long count =
            receiveDataBytes(data, session->transferBuffer, sizeof session->transferBuffer);
        if (count == 0) {
            return TransferEnd::kComplete;
        }
        if (count < 0) {
            return TransferEnd::kFailed;
        }
        if (writeFile(work->file, session->transferBuffer, static_cast<std::size_t>(count)) != 0) {
            noteFileFailure("the file could not be written", outcome);
            return TransferEnd::kFailed;
        }
        countBytes(session, outcome, count);
    }
}

// What the control connection says once the bytes stopped without its word. A client that
// aborts may close its data connection as it sends ABOR: the failure that close causes is the
// abort's. A complete upload also asks whether its client went away as its data ended; TLS
// needs no wait for that, since a data connection that ends without its close_notify has
// already failed.
static ControlNews lookAtControlAfterBytes(FtpSession* session, const TransferWork* work,
                                           const DataConnection* data, TransferEnd end) {
    bool isCompleteUpload = end == TransferEnd::kComplete && work->kind == TransferKind::kUpload;
    if (end == TransferEnd::kComplete && !isCompleteUpload) {
        return ControlNews::kNothing;
    }
    SocketHandle watch = session->controlSocket;
    int wait = isCompleteUpload && data->tls == nullptr
                   ? limitFor(session, SessionState::kConfirmingUpload)
                   : 0;
    ControlNews news = session->takeNews(session, wait, &watch);
    return isCompleteUpload || news == ControlNews::kAbort ? news : ControlNews::kNothing;
}

// Moves the bytes and tells how they ended, with the final reply for every end but a complete
// upload's, which its commit decides.
static TransferEnd moveBytes(FtpSession* session, const TransferWork* work, DataConnection* data,
                             DigestSet* digests, TransferOutcome* outcome, char* reply,
                             std::size_t replySize) {
    TransferEnd end =
        digests != nullptr ? sendDigestedFileBytes(session, work, data, digests, outcome)
        : work->kind == TransferKind::kDownload ? sendFileBytes(session, work, data, outcome)
        : work->kind == TransferKind::kUpload   ? receiveFileBytes(session, work, data, outcome)
                                                : sendListingBytes(session, work, data, outcome);
    if (data->stop == ControlNews::kNothing) {
        data->stop = lookAtControlAfterBytes(session, work, data, end);
    }
    bool isConnectionEnd = end == TransferEnd::kSendFailed ||
                           (end == TransferEnd::kFailed && outcome->cutOffReason[0] == '\0');
    if (isConnectionEnd && data->stop == ControlNews::kNothing) {
        noteConnectionFailure(session, outcome);
        printSessionError(session, end == TransferEnd::kSendFailed ? "send failed" : "read failed");
    }
    if (data->stop != ControlNews::kNothing) {
        copyText(outcome->cutOffReason, sizeof outcome->cutOffReason,
                 data->stop == ControlNews::kAbort ? "aborted by the client"
                                                   : "the client closed the connection");
        copyText(reply, replySize, kAbortedTransferReply);
        return TransferEnd::kStopped;
    }
    if (end == TransferEnd::kComplete) {
        copyText(reply, replySize, "226 Transfer complete");
    } else if (end == TransferEnd::kSendFailed) {
        copyText(reply, replySize, "426 Broken pipe");
    } else {
        formatErrorReply(reply, replySize);  // before the close can change the error
    }
    return end;
}

// A download whose every byte went out still fails when its file changed meanwhile: the client
// may hold parts of two versions, or a short file, and must not hear "226".
static TransferEnd endDownload(const TransferWork* work, TransferEnd end, TransferOutcome* outcome,
                               char* reply, std::size_t replySize) {
    FileVersion now;
    if (end != TransferEnd::kComplete) {
        return end;
    }
    if (readFileVersion(work->file, &now) != 0) {
        formatErrorReply(reply, replySize);
        copyText(outcome->cutOffReason, sizeof outcome->cutOffReason,
                 "the file could not be checked");
        return TransferEnd::kFailed;
    }
    // Only the size and the time: the descriptor is the same file throughout, while the
    // identity read through it need not be once the file is removed (under Wine it changes).
    const FileVersion* then = &work->openedVersion;
    if (now.size == then->size && now.modifiedTicks == then->modifiedTicks) {
        return end;
    }
    copyText(reply, replySize, "451 File changed while it was sent; fetch it again.");
    copyText(outcome->cutOffReason, sizeof outcome->cutOffReason,
             "the file changed while it was sent");
    return TransferEnd::kFailed;
}

// How the data connection closes: a complete download or listing as the client needs it to see
// the final reply after the data (see closeDataConnection); anything given up at once.
static DeliveryWait closingWait(const FtpSession* session, TransferKind kind, TransferEnd end) {
    if (end != TransferEnd::kComplete) {
        return DeliveryWait::kAbandoned;
    }
    // The wait costs every file a round trip, and a client that reads the reply before it
    // closes (urllib) its own delayed acknowledgement of 40 ms or more. The client that needs
    // it, aria2c, asks SIZE before each download; one that never asks gets its reply at once.
    // Listings are few and small, and an upload's client closed first: they always wait.
    if (kind == TransferKind::kDownload && !session->hasAskedSize) {
        return DeliveryWait::kNone;
    }
    return DeliveryWait::kAcknowledged;
}

// Puts a complete upload in place, or removes it. Only a file that was closed without error
// may replace the target: "226" promises a complete file. The file goes before the reply, so
// that a client acting on the reply finds the folder as it was.
static TransferEnd endUpload(const TransferWork* work, TransferEnd end, char* reply,
                             std::size_t replySize) {
    if (end != TransferEnd::kComplete) {
        work->abandonUpload(work->context);
        return end;
    }
    if (work->commitUpload(work->context, reply, replySize) != 0) {
        work->abandonUpload(work->context);
        return TransferEnd::kFailed;
    }
    return end;
}

// The transfer log's line and the operator's, for a file's transfer, ran or refused.
static void reportTransfer(FtpSession* session, TransferKind kind, const char* path,
                           const TransferOutcome* outcome) {
    bool isUpload = kind == TransferKind::kUpload;
    if (path != nullptr) {
        logTransfer(session, path,
                    isUpload ? TransferDirection::kIncoming : TransferDirection::kOutgoing,
                    outcome);
    }
    reportTransferEnd(session, isUpload, path, outcome);
}

// The delivery report's row of a file's transfer, ran or refused. size is the file's, -1 when
// unknown; sha256 is empty unless the whole file went out.
static void reportDeliveryRow(const FtpSession* session, const TransferWork* work,
                              const TransferOutcome* outcome, const char* finalReply,
                              const char* sha256) {
    if (!isReportingDeliveries()) {
        return;
    }
    char path[kClientPathSize + 1];
    std::snprintf(path, sizeof path, "/%s", std::strcmp(work->path, ".") == 0 ? "" : work->path);
    char result[kReplyTextSize + 16];
    if (outcome->complete) {
        copyText(result, sizeof result, "complete");
    } else if (!outcome->started) {
        std::snprintf(result, sizeof result, "refused: %s", finalReply);
    } else {
        std::snprintf(result, sizeof result, "cut off: %s",
                      outcome->cutOffReason[0] != '\0' ? outcome->cutOffReason : finalReply);
    }
    long long size = work->kind == TransferKind::kDownload ? work->size + work->offset
                     : outcome->complete                   ? work->offset + outcome->bytes
                                                           : -1;
    DeliveryRow row = {&session->peerAddress,
                       path,
                       outcome->bytes,
                       outcome->started ? size : -1,
                       work->offset,
                       monotonicMilliseconds() - outcome->startMilliseconds,
                       result,
                       sha256};
    reportDelivery(&row);
}

void runTransfer(FtpSession* session, const TransferWork* work) {
    TransferOutcome outcome = {monotonicMilliseconds(), 0, false, true, work->size, ""};
    bool isFile = work->kind != TransferKind::kListing;
    sendReply(session,
              isFile ? "150 Opening BINARY mode data connection" : "150 Opening connection");
    if (isFile) {
        startTransferReport(session, outcome.size);
    }
    char reply[kReplyTextSize];
    DataConnection data;
    TransferEnd end = TransferEnd::kNoConnection;
    DigestSet* digests =
        isReportingDeliveries() && work->kind == TransferKind::kDownload && work->offset == 0
            ? beginDigests(digestBit(DigestKind::kSha256))
            : nullptr;  // without a provider the row has no digest
    int connected = connectForTransfer(session, &data, reply, sizeof reply);
    // Nothing could move over a connection the server turned away: a refusal, as one before
    // the "150" is.
    outcome.started = connected != kDataConnectionRefused;
    if (connected == 0) {
        end = moveBytes(session, work, &data, digests, &outcome, reply, sizeof reply);
        if (work->kind == TransferKind::kDownload) {
            end = endDownload(work, end, &outcome, reply, sizeof reply);
        }
        closeDataConnection(&data, closingWait(session, work->kind, end));
    }
    if (work->kind == TransferKind::kUpload) {
        end = endUpload(work, end, reply, sizeof reply);
    }
    outcome.complete = end == TransferEnd::kComplete;
    char texts[kDigestKindCount][kDigestTextSize] = {};
    if (digests != nullptr && (finishDigests(digests, texts) != 0 || !outcome.complete)) {
        texts[static_cast<int>(DigestKind::kSha256)][0] = '\0';
    }
    if (isFile) {
        reportDeliveryRow(session, work, &outcome, reply,
                          texts[static_cast<int>(DigestKind::kSha256)]);
    }
    sendReply(session, reply);
    if (isFile) {
        reportTransfer(session, work->kind, work->path, &outcome);
    }
}

// A refusal's row in the delivery report, which names its reply.
static void reportRefusalRow(FtpSession* session, TransferKind kind, const char* path,
                             const char* reply) {
    if (path != nullptr) {
        TransferOutcome refused = {monotonicMilliseconds(), 0, false, false, -1, ""};
        TransferWork work = {kind, path, -1, -1, 0, nullptr, nullptr, nullptr, nullptr, {}};
        reportDeliveryRow(session, &work, &refused, reply, "");
    }
}

void refuseTransfer(FtpSession* session, TransferKind kind, const char* path, const char* reply) {
    reportRefusalRow(session, kind, path, reply != nullptr ? reply : session->report.lastReply);
    if (reply != nullptr) {
        sendReply(session, reply);
    }
    TransferOutcome refused = {monotonicMilliseconds(), 0, false, false, -1, ""};
    reportTransfer(session, kind, path, &refused);
}
