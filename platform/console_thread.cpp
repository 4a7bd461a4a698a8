// platform/console_thread.cpp: the console queue, the console thread that writes it out and the
// status line it keeps, the same on every platform over the console's lock and its two conditions.
#include "platform/console_text.h"

#include <cerrno>

#include "platform/errors.h"
#include "platform/primitives.h"

static ConsoleQueue consoleQueue;  // under the console's lock
static StatusLine statusLine;

void queueForConsoleThread(ConsoleStream stream, const char* text, std::size_t length) {
    int index = consoleStreamIndex(stream);
    takeLock(kConsoleLock);
    // With nothing queued and no drop line owed, text the console takes at once goes out at
    // once, in order; only what it does not take waits for the console thread. Under a status
    // line all text goes through that thread, which takes the line away first.
    if (consoleQueue.segmentCount == 0 && consoleQueue.dropped[index] == 0 && length > 0 &&
        statusLine.compose == nullptr) {
        std::size_t handled = writeWithoutWaiting(stream, text, length);
        if (handled > 0) {
            consoleQueue.lineOpen[index] = text[handled - 1] != '\n';
        }
        text += handled;
        length -= handled;
        if (length == 0) {
            releaseLock(kConsoleLock);
            return;
        }
    }
    int queued = queueConsoleText(&consoleQueue, stream, text, length);
    releaseLock(kConsoleLock);
    // Woken after the unlock, the console thread does not stop at once on the lock held here.
    if (queued == 0) {
        signalCondition(kConsoleTextQueued, false);
    }
}

// The console thread. It writes without the lock, so sessions go on queuing while the console
// waits (a paused terminal, a selection in a console window); only it removes text, so what it
// writes stays in place meanwhile.
void writeQueuedText(void*) {
    takeLock(kConsoleLock);
    for (;;) {
        ConsoleStream stream = ConsoleStream::kOutput;
        const char* text = nullptr;
        std::size_t length = oldestConsoleText(&consoleQueue, &stream, &text);
        if (length == 0 && statusLine.compose == nullptr) {
            waitForCondition(kConsoleTextQueued, kConsoleLock, -1);
            continue;
        }
        if (length == 0 && statusLine.isEnding) {
            releaseLock(kConsoleLock);
            takeStatusLineAway(&statusLine);
            takeLock(kConsoleLock);
            statusLine.compose = nullptr;
            signalCondition(kConsoleTextWritten, true);
            continue;
        }
        if (length == 0) {
            // Drawn only with nothing left to write: while the console takes no text, the
            // thread waits in a write and no redraw comes.
            releaseLock(kConsoleLock);
            long long wait = drawStatusLine(&statusLine, monotonicMilliseconds());
            takeLock(kConsoleLock);
            if (consoleQueue.segmentCount == 0) {
                waitForCondition(kConsoleTextQueued, kConsoleLock, wait);
            }
            continue;
        }
        releaseLock(kConsoleLock);
        takeStatusLineAway(&statusLine);
        writeWholeText(stream, text, length);
        takeLock(kConsoleLock);
        removeConsoleText(&consoleQueue, length);
        signalCondition(kConsoleTextWritten, true);
    }
}

int waitUntilWritten(int milliseconds) {
    long long deadline = monotonicMilliseconds() + milliseconds;
    takeLock(kConsoleLock);
    (void)queueConsoleText(&consoleQueue, ConsoleStream::kOutput, "", 0);
    (void)queueConsoleText(&consoleQueue, ConsoleStream::kError, "", 0);
    statusLine.isEnding = true;
    signalCondition(kConsoleTextQueued, false);
    // Sessions may go on queuing meanwhile; only what came before has to be written.
    unsigned long long target = consoleQueue.queuedTotal;
    long long left = milliseconds;
    while ((consoleQueue.removedTotal < target || statusLine.compose != nullptr) && left > 0) {
        waitForCondition(kConsoleTextWritten, kConsoleLock, left);
        left = deadline - monotonicMilliseconds();
    }
    bool written = consoleQueue.removedTotal >= target && statusLine.compose == nullptr;
    releaseLock(kConsoleLock);
    return written ? 0 : -1;
}

int keepConsoleStatusLine(std::size_t (*compose)(char* out, std::size_t outSize)) {
    if (terminalColumns() == 0 || !isConsoleWriterRunning()) {
        recordRuntimeError(ENOTTY);
        return -1;
    }
    takeLock(kConsoleLock);
    statusLine.compose = compose;
    releaseLock(kConsoleLock);
    signalCondition(kConsoleTextQueued, false);
    return 0;
}
