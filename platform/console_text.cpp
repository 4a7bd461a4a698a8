// platform/console_text.cpp: printConsole, the start of the console thread and flushConsole,
// and the console queue's bookkeeping: the same on every platform.
#include "platform/console_text.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

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

// The blocks a terminal draws two cells wide (East Asian Wide and Fullwidth, and the emoji that
// are drawn as pictures), in order. Unlisted characters take one cell, which errs towards a
// shorter line, never one that wraps.
struct WideBlock {
    unsigned first;
    unsigned last;
};
static const WideBlock kWideBlocks[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x23F0, 0x23F0},   {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},
    {0x2648, 0x2653},   {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
    {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},
    {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F5},   {0x26FA, 0x26FA},
    {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},   {0x2728, 0x2728},
    {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},   {0x2757, 0x2757},
    {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},   {0x2B1B, 0x2B1C},
    {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x303E},   {0x3041, 0x33FF},
    {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xA960, 0xA97F},
    {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},
    {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4}, {0x17000, 0x18CFF},
    {0x1B000, 0x1B2FF}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E},
    {0x1F191, 0x1F19A}, {0x1F200, 0x1F251}, {0x1F260, 0x1F265}, {0x1F300, 0x1F64F},
    {0x1F680, 0x1F6FF}, {0x1F7E0, 0x1F7EB}, {0x1F90C, 0x1F9FF}, {0x1FA70, 0x1FAFF},
    {0x20000, 0x3FFFD},
};

static int cellsOf(unsigned codePoint) {
    auto after = std::upper_bound(
        std::begin(kWideBlocks), std::end(kWideBlocks), codePoint,
        [](unsigned value, const WideBlock& block) { return value < block.first; });
    return after != std::begin(kWideBlocks) && codePoint <= (after - 1)->last ? 2 : 1;
}

// The code point of the UTF-8 sequence at text[i] and, in *next, where the next character
// starts. A broken sequence gives what its bytes make; only the cells count, never a byte.
static unsigned decodeCharacter(const char* text, std::size_t length, std::size_t i,
                                std::size_t* next) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    unsigned codePoint = extra == 0 ? lead : lead & (0x3Fu >> extra);
    std::size_t j = i + 1;
    for (; j < length && j <= i + static_cast<std::size_t>(extra) &&
           (static_cast<unsigned char>(text[j]) & 0xC0) == 0x80;
         j++) {
        codePoint = (codePoint << 6) | (static_cast<unsigned char>(text[j]) & 0x3Fu);
    }
    // A character starts at every byte that is no UTF-8 continuation byte.
    while (j < length && (static_cast<unsigned char>(text[j]) & 0xC0) == 0x80) {
        j++;
    }
    *next = j;
    return codePoint;
}

std::size_t cutToColumns(const char* text, std::size_t length, int columns) {
    int used = 0;
    std::size_t i = 0;
    while (i < length) {
        std::size_t next = i;
        used += cellsOf(decodeCharacter(text, length, i, &next));
        if (used > columns) {
            return i;
        }
        i = next;
    }
    return length;
}

long long drawStatusLine(StatusLine* line, long long now) {
    long long due = line->composedAt + kStatusRedrawMilliseconds;
    if (line->composedAt == 0 || now >= due) {
        char text[kStatusLineSize];
        std::size_t length = line->compose(text, sizeof text);
        // The last column stays free: a line that fills it makes some terminals wrap at once.
        length = cutToColumns(text, std::min(length, sizeof text - 1),
                              std::max(terminalColumns() - 1, 1));
        if (!line->isShown || length != line->length ||
            std::memcmp(text, line->text, length) != 0) {
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
