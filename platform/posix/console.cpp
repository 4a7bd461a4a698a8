// platform/posix/console.cpp: the console streams on POSIX, and the console thread that writes
// their queue out.
#include "platform/platform.h"

#include <poll.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/console_text.h"
#include "platform/posix/internal.h"

// ---------------------------------------------------------------------------------------------
// Console.

static ConsoleQueue consoleQueue;
static pthread_mutex_t consoleLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t consoleTextQueued = PTHREAD_COND_INITIALIZER;
static pthread_cond_t consoleTextWritten = PTHREAD_COND_INITIALIZER;

// Writes all of text unless the console fails; the rest is then lost, as with printf. Written
// past C's streams, whose locks a thread blocked on the console would hold.
void writeWholeText(ConsoleStream stream, const char* text, std::size_t length) {
    int descriptor = stream == ConsoleStream::kOutput ? STDOUT_FILENO : STDERR_FILENO;
    while (length > 0) {
        ssize_t written = write(descriptor, text, length);
        if (written > 0) {
            text += written;
            length -= static_cast<std::size_t>(written);
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A terminal or pipe that another program made non-blocking: wait for room.
            struct pollfd ready = {descriptor, POLLOUT, 0};
            (void)poll(&ready, 1, -1);
        } else if (written == 0 || errno != EINTR) {
            return;
        }
    }
}

void queueForConsoleThread(ConsoleStream stream, const char* text, std::size_t length) {
    (void)pthread_mutex_lock(&consoleLock);
    if (queueConsoleText(&consoleQueue, stream, text, length) == 0) {
        (void)pthread_cond_signal(&consoleTextQueued);
    }
    (void)pthread_mutex_unlock(&consoleLock);
}

// The console thread. It writes without the lock, so sessions go on queuing while the console
// waits; only it removes text, so what it writes stays in place meanwhile.
void writeQueuedText(void*) {
    (void)pthread_mutex_lock(&consoleLock);
    for (;;) {
        ConsoleStream stream = ConsoleStream::kOutput;
        const char* text = nullptr;
        std::size_t length = oldestConsoleText(&consoleQueue, &stream, &text);
        if (length == 0) {
            (void)pthread_cond_wait(&consoleTextQueued, &consoleLock);
            continue;
        }
        (void)pthread_mutex_unlock(&consoleLock);
        writeWholeText(stream, text, length);
        (void)pthread_mutex_lock(&consoleLock);
        removeConsoleText(&consoleQueue, length);
        (void)pthread_cond_broadcast(&consoleTextWritten);
    }
}

int waitUntilWritten(int milliseconds) {
    struct timespec deadline;
    deadlineAfter(milliseconds, &deadline);
    (void)pthread_mutex_lock(&consoleLock);
    (void)queueConsoleText(&consoleQueue, ConsoleStream::kOutput, "", 0);
    (void)queueConsoleText(&consoleQueue, ConsoleStream::kError, "", 0);
    (void)pthread_cond_signal(&consoleTextQueued);
    // Sessions may go on queuing meanwhile; only what came before has to be written.
    unsigned long long target = consoleQueue.queuedTotal;
    int error = 0;
    while (consoleQueue.removedTotal < target && error != ETIMEDOUT) {
        error = pthread_cond_timedwait(&consoleTextWritten, &consoleLock, &deadline);
    }
    bool written = consoleQueue.removedTotal >= target;
    (void)pthread_mutex_unlock(&consoleLock);
    return written ? 0 : -1;
}
