// fs/transfer_log.cpp: the transfer log's lines, their queue under SharedLock::kTransferLog, and
// the writer thread that appends them to the file.
#include "fs/transfer_log.h"

#include <cstdio>
#include <cstring>

#include "base/shared_locks.h"
#include "base/text.h"
#include "platform/platform.h"
#include "session/session.h"

// A pause of the flush between two looks at the queue.
constexpr int kFlushPollMilliseconds = 10;
// A pause of a session that waits for room, between two looks at the queue.
constexpr int kRoomPollMilliseconds = 1;
// The most the writer writes at once. The time a piece takes tells a disk that takes nothing
// (kTransferLogStallMilliseconds: slower than 32 KiB/s) from one that is only slow.
constexpr std::size_t kWritePieceSize = 64 * 1024;
// Room for the log's path made absolute: the process moves to the served root after start-up.
constexpr std::size_t kLogPathSize = 4096;

static const char* const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
static const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Lines wait in one buffer while the writer writes the other, so the writer never holds the
// lock during a write and a session waits only when both are full. Each holds whole lines.
struct LogBuffer {
    char bytes[kTransferLogQueueSize];
    std::size_t used;
};

// Under SharedLock::kTransferLog.
static LogBuffer logBuffers[2];
static LogBuffer* fillingBuffer = &logBuffers[0];
static bool writerBusy = false;              // the writer holds the other buffer
static long long lastProgress = 0;           // when the disk last took a piece (monotonic)
static unsigned long long droppedLines = 0;  // not yet reported
static int logFile = -1;                     // written to by the writer alone
static int reopenedFile = -1;                // opened again, for the writer to take up

// Set at start-up, before any session or the writer exists; only read afterwards.
static bool isLogging = false;
static char logPath[kLogPathSize];

// Appends text to the line at *length, as it is (raw) or as a field of names. Returns -1 when
// it does not fit with the terminator.
static int appendText(char* out, std::size_t outSize, std::size_t* length, const char* text,
                      bool raw) {
    std::size_t textLength = std::strlen(text);
    for (std::size_t read = 0; read < textLength;) {
        char piece[kEscapedCharacterSize] = {text[read], '\0'};
        std::size_t taken = 1;
        if (!raw && text[read] == ' ') {
            piece[0] = '_';
        } else if (!raw && text[read] == '\\') {
            std::snprintf(piece, sizeof piece, "\\\\");
        } else if (!raw) {
            taken = escapeCharacter(text + read, textLength - read, piece);
        }
        std::size_t pieceLength = std::strlen(piece);
        // SECURITY: the line never grows past its buffer, whatever the client named.
        if (*length + pieceLength >= outSize) {
            return -1;
        }
        std::memcpy(out + *length, piece, pieceLength);
        *length += pieceLength;
        read += taken;
    }
    out[*length] = '\0';
    return 0;
}

std::size_t formatTransferLogLine(char* out, std::size_t outSize, const TransferLogEntry* entry) {
    CalendarTime time;
    if (toLocalTime(entry->endTime, &time) != 0 || time.month < 1 || time.month > 12 ||
        time.weekday < 0 || time.weekday > 6) {
        return 0;
    }
    int written = std::snprintf(out, outSize, "%s %s %2d %02d:%02d:%02d %d %lld %s %lld ",
                                kDayNames[time.weekday], kMonthNames[time.month - 1], time.day,
                                time.hour, time.minute, time.second, time.year, entry->seconds,
                                entry->host, entry->bytes);
    if (written < 0 || static_cast<std::size_t>(written) >= outSize) {
        return 0;
    }
    std::size_t length = static_cast<std::size_t>(written);
    // The client's name for the file from the root: "/fw/image.bin".
    bool isRoot = entry->path[0] == '\0' || std::strcmp(entry->path, ".") == 0;
    bool outgoing = entry->direction == TransferDirection::kOutgoing;
    bool fits =
        appendText(out, outSize, &length, "/", true) == 0 &&
        (isRoot || appendText(out, outSize, &length, entry->path, false) == 0) &&
        appendText(out, outSize, &length, outgoing ? " b _ o a " : " b _ i a ", true) == 0 &&
        appendText(out, outSize, &length, entry->userName[0] != '\0' ? entry->userName : "*",
                   false) == 0 &&
        appendText(out, outSize, &length, entry->complete ? " ftp 0 * c\n" : " ftp 0 * i\n",
                   true) == 0;
    return fits ? length : 0;
}

// True while a line that finds no room should wait: the writer is about to take the full
// buffer, or the disk took its last piece less than a stall ago.
static bool isWriterProgressing() {
    return !writerBusy || monotonicMilliseconds() - lastProgress < kTransferLogStallMilliseconds;
}

// Moves the line into the filling buffer, or counts it as dropped when it has no room and the
// disk takes nothing.
static void queueLine(const char* line, std::size_t length) {
    takeLock(SharedLock::kTransferLog);
    // A burst outruns the writer only for a moment: the line waits for the buffer the writer
    // frees, as long as the disk keeps taking its writes.
    while (fillingBuffer->used + length > sizeof fillingBuffer->bytes && isWriterProgressing()) {
        releaseLock(SharedLock::kTransferLog);
        signalCondition(SharedCondition::kTransferLogQueued);
        sleepMilliseconds(kRoomPollMilliseconds);
        takeLock(SharedLock::kTransferLog);
    }
    bool queued = fillingBuffer->used + length <= sizeof fillingBuffer->bytes;
    if (queued) {
        std::memcpy(fillingBuffer->bytes + fillingBuffer->used, line, length);
        fillingBuffer->used += length;
    } else {
        droppedLines++;
    }
    releaseLock(SharedLock::kTransferLog);
    if (queued) {
        signalCondition(SharedCondition::kTransferLogQueued);
    }
}

void logTransfer(const FtpSession* session, const char* path, TransferDirection direction,
                 const TransferOutcome* outcome) {
    if (!isLogging) {
        return;
    }
    char host[kNetworkAddressTextSize];
    if (formatAddress(&session->peerAddress, host, sizeof host) != 0) {
        copyText(host, sizeof host, "-");  // never for an address the session has
    }
    // Whole seconds, rounded up and at least 1: log tools divide the bytes by them.
    long long elapsed = monotonicMilliseconds() - outcome->startMilliseconds;
    long long seconds = elapsed > 1000 ? (elapsed + 999) / 1000 : 1;
    TransferLogEntry entry = {
        currentTime(),     seconds,          host, outcome->bytes, path, direction,
        session->userName, outcome->complete};
    char line[kTransferLogLineSize];
    std::size_t length = formatTransferLogLine(line, sizeof line, &entry);
    if (length == 0) {
        takeLock(SharedLock::kTransferLog);
        droppedLines++;
        releaseLock(SharedLock::kTransferLog);
        return;
    }
    queueLine(line, length);
}

static unsigned long long countLines(const char* bytes, std::size_t length) {
    unsigned long long lines = 0;
    for (std::size_t i = 0; i < length; i++) {
        lines += bytes[i] == '\n';
    }
    return lines;
}

// Where the piece of batch that starts at start ends: after the last line end within
// kWritePieceSize bytes, so that each write holds whole lines (another program may append to
// the file too), or after the first one beyond for a line longer than that.
static std::size_t pieceEnd(const LogBuffer* batch, std::size_t start) {
    if (batch->used - start <= kWritePieceSize) {
        return batch->used;
    }
    for (std::size_t end = start + kWritePieceSize; end > start; end--) {
        if (batch->bytes[end - 1] == '\n') {
            return end;
        }
    }
    const void* lineEnd = std::memchr(batch->bytes + start, '\n', batch->used - start);
    return lineEnd != nullptr ? static_cast<const char*>(lineEnd) - batch->bytes + 1 : batch->used;
}

// Writes the batch piece by piece, noting after each that the disk took it. Returns the count
// of lines not written.
static unsigned long long writeBatch(int file, const LogBuffer* batch) {
    for (std::size_t start = 0; start < batch->used;) {
        std::size_t end = pieceEnd(batch, start);
        if (writeFile(file, batch->bytes + start, end - start) != 0) {
            return countLines(batch->bytes + start, batch->used - start);
        }
        start = end;
        takeLock(SharedLock::kTransferLog);
        lastProgress = monotonicMilliseconds();
        releaseLock(SharedLock::kTransferLog);
    }
    return 0;
}

static void reportDroppedLines(unsigned long long lines) {
    printConsole(ConsoleStream::kError, "[%llu transfer log lines dropped]\n", lines);
}

// The writer thread. It takes all lines queued as one batch and writes it in pieces of whole
// lines. A write that fails drops the batch's lines from there; the first batch written whole
// after drops reports their count.
static void writeTransferLog(void*) {
    takeLock(SharedLock::kTransferLog);
    for (;;) {
        while (fillingBuffer->used == 0 && reopenedFile < 0) {
            waitForCondition(SharedCondition::kTransferLogQueued, SharedLock::kTransferLog);
        }
        if (reopenedFile >= 0) {
            int old = logFile;
            logFile = reopenedFile;
            reopenedFile = -1;
            releaseLock(SharedLock::kTransferLog);
            (void)closeFile(old);  // its lines were written or counted already
            takeLock(SharedLock::kTransferLog);
            continue;
        }
        LogBuffer* batch = fillingBuffer;
        fillingBuffer = batch == &logBuffers[0] ? &logBuffers[1] : &logBuffers[0];
        writerBusy = true;
        lastProgress = monotonicMilliseconds();
        int file = logFile;
        releaseLock(SharedLock::kTransferLog);
        unsigned long long failed = writeBatch(file, batch);
        bool written = failed == 0;
        takeLock(SharedLock::kTransferLog);
        batch->used = 0;
        writerBusy = false;
        droppedLines += failed;
        unsigned long long reported = written ? droppedLines : 0;
        droppedLines -= reported;
        if (reported > 0) {
            releaseLock(SharedLock::kTransferLog);
            reportDroppedLines(reported);
            takeLock(SharedLock::kTransferLog);
        }
    }
}

static bool isReopenedLogWithheld = true;

int openTransferLog(const char* path) {
    (void)copyText(logPath, sizeof logPath, path);  // as long as the root's, which start-up holds
    logFile = openFileForAppending(path);
    isLogging = logFile >= 0;
    return isLogging ? 0 : -1;
}

void withholdReopenedLogs(bool withhold) {
    isReopenedLogWithheld = withhold;
}

void reopenTransferLog() {
    if (!isLogging) {
        return;
    }
    int file = openFileForAppending(logPath);
    if (file < 0) {
        char reason[kErrorTextSize];
        lastErrorText(reason, sizeof reason);
        printConsole(ConsoleStream::kError, "Error: could not reopen transfer log '%s': %s\n",
                     logPath, reason);
        return;
    }
    // SECURITY: the new file at the log's name is the server's own as the old one was; the old
    // one keeps its identity under the name it was rotated to, and stays withheld too. The file
    // withheld is the one just opened, whatever the name holds by now. A file that cannot be
    // withheld is not written: the old one goes on.
    if (isReopenedLogWithheld && withholdFile(logPath, file) < 0) {
        char reason[kErrorTextSize];
        lastErrorText(reason, sizeof reason);
        printConsole(ConsoleStream::kError, "Error: Unable to withhold '%s' from clients: %s\n",
                     logPath, reason);
        (void)closeFile(file);  // never written
        return;
    }
    takeLock(SharedLock::kTransferLog);
    int superseded = reopenedFile;  // two requests before the writer took up the first
    reopenedFile = file;
    releaseLock(SharedLock::kTransferLog);
    if (superseded >= 0) {
        (void)closeFile(superseded);  // never written
    }
    signalCondition(SharedCondition::kTransferLogQueued);
}

int startTransferLogWriter() {
    if (!isLogging || startThread(writeTransferLog, nullptr) == 0) {
        return 0;
    }
    (void)closeFile(logFile);  // never written, and a close of it leaves the error alone
    logFile = -1;
    isLogging = false;
    return -1;
}

int flushTransferLog(int milliseconds) {
    if (!isLogging) {
        return 0;
    }
    long long deadline = monotonicMilliseconds() + milliseconds;
    takeLock(SharedLock::kTransferLog);
    while ((fillingBuffer->used > 0 || writerBusy) && monotonicMilliseconds() < deadline) {
        releaseLock(SharedLock::kTransferLog);
        sleepMilliseconds(kFlushPollMilliseconds);
        takeLock(SharedLock::kTransferLog);
    }
    bool written = fillingBuffer->used == 0 && !writerBusy;
    unsigned long long dropped = droppedLines;
    droppedLines = 0;
    releaseLock(SharedLock::kTransferLog);
    // The process is ending: what was lost is told now, whether or not the disk took more.
    if (dropped > 0) {
        reportDroppedLines(dropped);
    }
    return written ? 0 : -1;
}
