// session/transfer_runner.h: the one sequence every transfer runs, downloads, uploads and
// listings alike: the "150", the data connection, the bytes, the close, one final reply, and
// the transfer log's and the operator's lines. fs/ supplies only what it alone knows.
#pragma once

#include <cstddef>

#include "platform/platform.h"

struct FtpSession;

enum class TransferKind { kDownload, kUpload, kListing };

// What the file system gives one transfer.
struct TransferWork {
    TransferKind kind;
    const char* path;  // below the root, for the transfer log; unused for listings
    int file;          // a download's file at its first byte, or an upload's own new file
    long long size;    // the bytes a download is to send; -1 when unknown
    long long offset;  // where in the file it starts: REST's offset, or the part an upload keeps
    // A listing's next lines, whole, written into out: their length, or 0 at the end.
    std::size_t (*nextLines)(void* context, char* out, std::size_t outSize);
    // An upload's end. commitUpload closes the file and puts it in place: 0, or -1 with the
    // final reply written into reply. abandonUpload removes it (after a failed commit too),
    // closing it if open.
    int (*commitUpload)(void* context, char* reply, std::size_t replySize);
    void (*abandonUpload)(void* context);
    void* context;
    // The download's file as it was opened: a file that is another version once every byte
    // went out ends the download with "451".
    FileVersion openedVersion;
};

// Runs the transfer from its "150" on, and sends its one final reply: "226 Transfer complete";
// "426 Connection closed; transfer aborted." after ABOR (also while the data connection is
// awaited) or when the client has gone; "426 Broken pipe" when a download or listing could not
// be sent; the error reply when a file failed; "425 ..." when no data connection came. An upload is
// committed only when its data ended in order and no ABOR waits on the control connection.
void runTransfer(FtpSession* session, const TransferWork* work);

// A transfer refused before its "150": sends reply and reports it as the transfers that ran
// are reported (the transfer log's line only when path is given: the file system was asked).
// A reply of nullptr is one that has gone out already (the dispatch's gate or path check).
void refuseTransfer(FtpSession* session, TransferKind kind, const char* path, const char* reply);
