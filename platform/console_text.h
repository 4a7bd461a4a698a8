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

// The status line as the console thread keeps it. Only that thread touches it, but for compose,
// which keepConsoleStatusLine sets once under the console's lock. Zero-filled, there is none.
struct StatusLine {
    std::size_t (*compose)(char* out, std::size_t outSize);
    char text[kStatusLineSize];  // what was last drawn, already cut to the width
    std::size_t length;
    bool isShown;             // on screen now, below the last line of text
    long long composedAt;     // monotonic milliseconds; 0 before the first
    // Set under the console's lock by an ending process's flush: the console thread takes the
    // line away, so that the shell's prompt finds a clean line, and sets compose to nullptr.
    bool isEnding;
};

// Implemented by posix/console.cpp and windows/console.cpp, for console_text.cpp and the
// console thread in console_thread.cpp:

// Writes all of text on stream, waiting for the console; what it refuses is lost, as with
// printf.
void writeWholeText(ConsoleStream stream, const char* text, std::size_t length);
// Writes as much of text as the console takes without waiting (nothing where the platform
// cannot tell); returns the count handled. Text refused for good counts as handled: it is lost.
// Called under the console's lock.
std::size_t writeWithoutWaiting(ConsoleStream stream, const char* text, std::size_t length);
// The width of standard output's terminal in columns; 0 when it is no terminal.
int terminalColumns();
// Draws text (whole characters that fit the width) on the cursor's line, over what it held.
void showStatusText(const char* text, std::size_t length);
// Clears the cursor's line and leaves the cursor at its start, where the next text goes.
void hideStatusText();

// Implemented by console_thread.cpp: the queue and the thread that writes it out.
// Queues text, or writes what the console takes at once, and wakes the console thread.
void queueForConsoleThread(ConsoleStream stream, const char* text, std::size_t length);
// The console thread: writes the queue out for ever.
void writeQueuedText(void*);
// Queues the drop lines owed, then waits until everything queued so far has been written, at
// most milliseconds. Returns 0, or -1 when the time ran out first.
int waitUntilWritten(int milliseconds);

// True once startConsoleWriter has started the console thread.
bool isConsoleWriterRunning();
// Shows the status line: composed again when kStatusRedrawMilliseconds have passed since the
// last time, otherwise as last drawn if it was taken away. Returns the milliseconds until the
// next composition is due. Called by the console thread, without the console's lock.
long long drawStatusLine(StatusLine* line, long long now);
// Takes the status line away, if shown, so that text can be written where it stood.
void takeStatusLineAway(StatusLine* line);
// The length of the start of text (UTF-8, length bytes) that takes at most columns character
// cells: two for an East Asian wide or fullwidth character, one for any other; never a part of
// a character.
std::size_t cutToColumns(const char* text, std::size_t length, int columns);

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
