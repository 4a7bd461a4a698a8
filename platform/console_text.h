// platform/console_text.h: what both implementations of the console share: printConsole's
// formatting, the choice between writing at once and queuing, and the bookkeeping of the queue
// that the console thread writes out. The queue takes no lock of its own; its callers hold
// theirs.
#pragma once

#include <cstddef>

#include "platform/platform.h"

constexpr int kConsoleStreamCount = 2;
// Every stream's share fits at once, so a full stream never takes room from the other.
constexpr std::size_t kConsoleRingSize = kConsoleStreamCount * kConsoleQueueSize;
// Only a change of stream starts a segment, so this many allow thousands of error lines amid
// the dots; when they run out, texts are dropped as when a stream's share is full.
constexpr int kConsoleSegmentCount = 4096;
// "\n[N characters of console output dropped]\n" with the largest N.
constexpr std::size_t kDropLineSize = 64;

// 0 for standard output, 1 for standard error: the stream's place in the arrays below.
int consoleStreamIndex(ConsoleStream stream);

// A run of queued characters of one stream.
struct ConsoleSegment {
    ConsoleStream stream;
    std::size_t length;
};

// The text of both streams in one ring, in the order it was given, so that a console showing
// both streams shows them as they came. Zero-filled, it is empty.
struct ConsoleQueue {
    char ring[kConsoleRingSize];
    std::size_t head;  // where the oldest queued character is
    std::size_t used;
    ConsoleSegment segments[kConsoleSegmentCount];
    int firstSegment;
    int segmentCount;
    std::size_t queued[kConsoleStreamCount];
    unsigned long long dropped[kConsoleStreamCount];  // since the stream's last queued text
    bool lineOpen[kConsoleStreamCount];  // the stream's last queued character was no line end
    unsigned long long queuedTotal;      // characters ever queued, and ever removed as written
    unsigned long long removedTotal;
};

// Implemented by posix/console.cpp and windows/console.cpp, for printConsole, the console
// thread and flushConsole in console_text.cpp:

// Writes all of text on stream, waiting for the console; what it refuses is lost, as with
// printf.
void writeWholeText(ConsoleStream stream, const char* text, std::size_t length);
// Queues text under the console's lock and wakes the console thread.
void queueForConsoleThread(ConsoleStream stream, const char* text, std::size_t length);
// The console thread: writes the queue out for ever.
void writeQueuedText(void*);
// Queues the drop lines owed, then waits until everything queued so far has been written, at
// most milliseconds. Returns 0, or -1 when the time ran out first.
int waitUntilWritten(int milliseconds);

// Queues text of length characters on stream, after the drop line that the stream owes, if
// any. When the stream's share has no room for both, drops the text and counts it instead. An
// empty text queues only an owed drop line. Returns 0, or -1 when the text was dropped.
int queueConsoleText(ConsoleQueue* queue, ConsoleStream stream, const char* text,
                     std::size_t length);
// The oldest queued characters that lie together in the ring and belong to one stream: returns
// their count (0 when the queue is empty) and sets *stream and *text.
std::size_t oldestConsoleText(const ConsoleQueue* queue, ConsoleStream* stream, const char** text);
// Removes count characters, at most what oldestConsoleText last gave, once they are written.
void removeConsoleText(ConsoleQueue* queue, std::size_t count);
