// platform/console_text.cpp: printConsole, the start of the console thread and flushConsole,
// and the console queue's bookkeeping: the same on every platform.
#include "platform/console_text.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Set once the console thread runs; until then every text is written at once.
static std::atomic<bool> consoleWriterRunning{false};

static void emitConsoleText(ConsoleStream stream, const char* text, std::size_t length) {
    if (consoleWriterRunning.load()) {
        queueForConsoleThread(stream, text, length);
    } else {
        writeWholeText(stream, text, length);
    }
}

void printConsole(ConsoleStream stream, const char* format, ...) {
    char text[kConsoleTextSize];
    std::va_list arguments;
    va_start(arguments, format);
    std::va_list again;
    va_copy(again, arguments);
    int length = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length < 0) {
        va_end(again);
        return;
    }
    std::size_t size = static_cast<std::size_t>(length) + 1;
    char* longText = size > sizeof text ? static_cast<char*>(std::malloc(size)) : nullptr;
    if (longText != nullptr) {
        (void)std::vsnprintf(longText, size, format, again);  // the same text, now with room
        emitConsoleText(stream, longText, size - 1);
        std::free(longText);
    } else {
        // Without memory for a long text, its start is still worth showing.
        emitConsoleText(stream, text, size > sizeof text ? sizeof text - 1 : size - 1);
    }
    va_end(again);
}

int startConsoleWriter() {
    consoleWriterRunning.store(true);
    if (startThread(writeQueuedText, nullptr) != 0) {
        consoleWriterRunning.store(false);
        return -1;
    }
    return 0;
}

int flushConsole(int milliseconds) {
    // Without the console thread, everything has been written at once.
    return consoleWriterRunning.load() ? waitUntilWritten(milliseconds) : 0;
}

bool isConsoleWriterRunning() {
    return consoleWriterRunning.load();
}

std::size_t cutToColumns(const char* text, std::size_t length, int columns) {
    int used = 0;
    for (std::size_t i = 0; i < length; i++) {
        // A character starts at every byte that is no UTF-8 continuation byte.
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (used == columns) {
                return i;
            }
            used++;
        }
    }
    return length;
}

long long drawStatusLine(StatusLine* line, long long now) {
    long long due = line->composedAt + kStatusRedrawMilliseconds;
    if (line->composedAt == 0 || now >= due) {
        char text[kStatusLineSize];
        std::size_t length = line->compose(text, sizeof text);
        // The last column stays free: a line that fills it makes some terminals wrap at once.
        length = cutToColumns(text, std::min(length, sizeof text - 1), std::max(terminalColumns() - 1, 1));
        if (!line->isShown || length != line->length || std::memcmp(text, line->text, length) != 0) {
            std::memcpy(line->text, text, length);
            line->length = length;
            showStatusText(line->text, line->length);
            line->isShown = true;
        }
        line->composedAt = now;
        due = now + kStatusRedrawMilliseconds;
    } else if (!line->isShown) {
        showStatusText(line->text, line->length);
        line->isShown = true;
    }
    return due - now;
}

void takeStatusLineAway(StatusLine* line) {
    if (line->isShown) {
        hideStatusText();
        line->isShown = false;
    }
}

int consoleStreamIndex(ConsoleStream stream) {
    return stream == ConsoleStream::kOutput ? 0 : 1;
}

static void copyIntoRing(ConsoleQueue* queue, const char* text, std::size_t length) {
    std::size_t tail = (queue->head + queue->used) % kConsoleRingSize;
    std::size_t first = std::min(length, kConsoleRingSize - tail);
    std::memcpy(queue->ring + tail, text, first);
    std::memcpy(queue->ring, text + first, length - first);
    queue->used += length;
}

// The drop line that stream owes, in out; returns its length, 0 when nothing was dropped. It
// stands on a line of its own even amid the dots.
static std::size_t formatDropLine(const ConsoleQueue* queue, int index, char* out,
                                  std::size_t outSize) {
    if (queue->dropped[index] == 0) {
        return 0;
    }
    int length = std::snprintf(out, outSize, "%s[%llu characters of console output dropped]\n",
                               queue->lineOpen[index] ? "\n" : "", queue->dropped[index]);
    return length > 0 ? static_cast<std::size_t>(length) : 0;  // always fits kDropLineSize
}

int queueConsoleText(ConsoleQueue* queue, ConsoleStream stream, const char* text,
                     std::size_t length) {
    int index = consoleStreamIndex(stream);
    char dropLine[kDropLineSize];
    std::size_t dropLength = formatDropLine(queue, index, dropLine, sizeof dropLine);
    std::size_t needed = dropLength + length;
    if (needed == 0) {
        return 0;
    }
    int count = queue->segmentCount;
    ConsoleSegment* last =
        count == 0 ? nullptr
                   : &queue->segments[(queue->firstSegment + count - 1) % kConsoleSegmentCount];
    bool startsSegment = last == nullptr || last->stream != stream;
    // SECURITY: the ring holds both streams' full shares, so a text within its stream's share
    // never overwrites text still queued.
    if (queue->queued[index] + needed > kConsoleQueueSize ||
        (startsSegment && count == kConsoleSegmentCount)) {
        queue->dropped[index] += length;
        return -1;
    }
    if (startsSegment) {
        last = &queue->segments[(queue->firstSegment + count) % kConsoleSegmentCount];
        last->stream = stream;
        last->length = 0;
        queue->segmentCount++;
    }
    copyIntoRing(queue, dropLine, dropLength);
    copyIntoRing(queue, text, length);
    last->length += needed;
    queue->queued[index] += needed;
    queue->queuedTotal += needed;
    queue->dropped[index] = 0;
    queue->lineOpen[index] = length > 0 && text[length - 1] != '\n';
    return 0;
}

std::size_t oldestConsoleText(const ConsoleQueue* queue, ConsoleStream* stream, const char** text) {
    if (queue->segmentCount == 0) {
        return 0;
    }
    const ConsoleSegment* first = &queue->segments[queue->firstSegment];
    *stream = first->stream;
    *text = queue->ring + queue->head;
    return std::min(first->length, kConsoleRingSize - queue->head);
}

void removeConsoleText(ConsoleQueue* queue, std::size_t count) {
    ConsoleSegment* first = &queue->segments[queue->firstSegment];
    queue->head = (queue->head + count) % kConsoleRingSize;
    queue->used -= count;
    queue->queued[consoleStreamIndex(first->stream)] -= count;
    queue->removedTotal += count;
    first->length -= count;
    if (first->length == 0) {
        queue->firstSegment = (queue->firstSegment + 1) % kConsoleSegmentCount;
        queue->segmentCount--;
    }
}
