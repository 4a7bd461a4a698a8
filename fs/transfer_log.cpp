// fs/transfer_log.cpp: the transfer log's lines, their queue under SharedLock::kTransferLog, and
// the writer thread that appends them to the file.
#include "fs/transfer_log.h"

#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "platform/platform.h"
#include "session/session.h"

// A pause of the flush between two looks at the queue.
constexpr int kFlushPollMilliseconds = 10;

static const char* const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
static const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Lines wait in one buffer while the writer writes the other, so the writer never holds the
// lock during a write and a session never waits for one. Each buffer holds whole lines only.
struct LogBuffer {
    char bytes[kTransferLogQueueSize];
    std::size_t used;
};

// Under SharedLock::kTransferLog.
static LogBuffer logBuffers[2];
static LogBuffer* fillingBuffer = &logBuffers[0];
static bool writerBusy = false;              // the writer holds the other buffer
static unsigned long long droppedLines = 0;  // not yet reported

// Set at start-up, before any session or the writer exists; only read afterwards.
static int logFile = -1;

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
                                kDayNames[time.weekday],
                                kMonthNames[time.month - 1], time.day, time.hour, time.minute,
                                time.second, time.year, entry->seconds, entry->host, entry->bytes);
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

// Moves the line into the filling buffer, or counts it as dropped when it has no room.
static void queueLine(const char* line, std::size_t length) {
    takeLock(SharedLock::kTransferLog);
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
    if (logFile < 0) {
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

static unsigned long long countLines(const LogBuffer* buffer) {
    unsigned long long lines = 0;
    for (std::size_t i = 0; i < buffer->used; i++) {
        lines += buffer->bytes[i] == '\n';
    }
    return lines;
}

static void reportDroppedLines(unsigned long long lines) {
    printConsole(ConsoleStream::kError, "[%llu transfer log lines dropped]\n", lines);
}

// The writer thread. A batch of whole lines goes out in one write. A write that fails drops
// its lines; the first one that succeeds after drops reports their count.
static void writeTransferLog(void*) {
    takeLock(SharedLock::kTransferLog);
    for (;;) {
        while (fillingBuffer->used == 0) {
            waitForCondition(SharedCondition::kTransferLogQueued, SharedLock::kTransferLog);
        }
        LogBuffer* batch = fillingBuffer;
        fillingBuffer = batch == &logBuffers[0] ? &logBuffers[1] : &logBuffers[0];
        writerBusy = true;
        releaseLock(SharedLock::kTransferLog);
        bool written = writeFile(logFile, batch->bytes, batch->used) == 0;
        unsigned long long failed = written ? 0 : countLines(batch);
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

int openTransferLog(const char* path) {
    logFile = openFileForAppending(path);
    return logFile >= 0 ? 0 : -1;
}

int startTransferLogWriter() {
    if (logFile < 0 || startThread(writeTransferLog, nullptr) == 0) {
        return 0;
    }
    (void)closeFile(logFile);  // never written, and a close of it leaves the error alone
    logFile = -1;
    return -1;
}

int flushTransferLog(int milliseconds) {
    if (logFile < 0) {
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
