// fs/transfer_log.h: the transfer log ("-xferlog"): a line in the xferlog format for each RETR
// and STOR, queued by the session and appended to the file by one writer thread, so that a
// full or slow disk never holds up a transfer.
#pragma once

#include <cstddef>

#include "fs/transfer_outcome.h"

struct FtpSession;

// Room for the longest line: a path and a user name whose every byte is written as "\xHH".
constexpr std::size_t kTransferLogLineSize = 8192;
// What waits for the writer in each of its two buffers: about 10,000 lines of a burst while the
// writer writes the other. A session whose line finds no room waits for the writer while the
// disk takes its writes; only when a write has taken kTransferLogStallMilliseconds (a full or
// stalled disk, a FIFO nobody reads) is the line dropped and counted, and
// "[N transfer log lines dropped]" goes to standard error once a write succeeds again.
constexpr std::size_t kTransferLogQueueSize = 1024 * 1024;
constexpr int kTransferLogStallMilliseconds = 2000;
// How long an ending process waits for queued lines to be written.
constexpr int kTransferLogFlushMilliseconds = 1000;

enum class TransferDirection { kOutgoing, kIncoming };  // RETR, STOR

// One RETR or STOR as its line tells it.
struct TransferLogEntry {
    long long endTime;  // seconds since 1970-01-01 00:00 UTC, shown in local time
    long long seconds;
    const char* host;
    long long bytes;
    const char* path;  // below the root, as resolvePath gives it ("." for the root)
    TransferDirection direction;
    const char* userName;  // empty when no USER came
    bool complete;         // every byte went through
};

// Opens path, absolute so that reopenTransferLog finds it after the root is entered, to append
// to it. Start-up only; without it nothing is logged. Returns 0, or -1 with the error set.
int openTransferLog(const char* path);
// Opens the log's path again and writes the next lines there, so that a log renamed away (by
// logrotate) is followed by a new file at its path. When the path cannot be opened the log
// goes on in the old file and the console says why.
void reopenTransferLog();
// Whether a reopened log is withheld from clients (it is unless told otherwise): only a log
// inside the served folder can be reached, and each file withheld takes a place of a fixed
// table, so a log outside it, rotated every day, must not fill the table. Start-up only.
void withholdReopenedLogs(bool withhold);
// Starts the writer thread of an open log (nothing without one), after handleTermination: a
// thread started before it would take the termination signals meant for its own thread.
// Returns 0, or -1 with the error set; the log is closed then.
int startTransferLogWriter();
// Writes entry's line, with its line end, in out: "Tue Dec  8 16:47:56 2026 1 192.0.2.10 14
// /fw/image.bin b _ o a anonymous ftp 0 * c". In the path and the user name a blank becomes
// "_", as the format asks, a backslash "\\" and the rest as escapeText writes it (controls and
// bytes that are not UTF-8 as "\xHH"), so that no name can split the line or act on a reader.
// Returns the line's length, or 0 when it does not fit or the time cannot be shown.
std::size_t formatTransferLogLine(char* out, std::size_t outSize, const TransferLogEntry* entry);
// Queues the line of a transfer that has ended, when the log is open. Waits only while both
// buffers are full and the disk is taking the writer's batch.
void logTransfer(const FtpSession* session, const char* path, TransferDirection direction,
                 const TransferOutcome* outcome);
// Waits until the queued lines are written, at most milliseconds, then reports lines dropped
// and not yet reported. Returns 0, or -1 when the time ran out first.
int flushTransferLog(int milliseconds);
