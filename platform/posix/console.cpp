// platform/posix/console.cpp: the console streams on POSIX, the console thread that writes
// their queue out, and the end on SIGINT, SIGTERM and SIGHUP.
#include "platform/platform.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/console_text.h"
#include "platform/posix/internal.h"

// ---------------------------------------------------------------------------------------------
// Console.

static int streamDescriptor(ConsoleStream stream) {
    return stream == ConsoleStream::kOutput ? STDOUT_FILENO : STDERR_FILENO;
}

// Writes all of text unless the console fails; the rest is then lost, as with printf. Written
// past C's streams, whose locks a thread blocked on the console would hold.
void writeWholeText(ConsoleStream stream, const char* text, std::size_t length) {
    int descriptor = streamDescriptor(stream);
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

// How a stream can be written without ever waiting, so that a text the console takes at once
// needs no wake-up of the console thread: a file never stalls, a socket takes MSG_DONTWAIT,
// and a terminal or pipe is opened again with O_NONBLOCK, a flag of that open alone and not of
// the descriptor the shell shares with us. Set up once, under the console's lock.
enum class PromptWrite { kNone, kFile, kSocket, kOwnDescriptor };
struct PromptStream {
    PromptWrite kind;
    int descriptor;
};
static PromptStream promptStreams[kConsoleStreamCount];
static bool promptStreamsReady = false;

static void preparePromptStream(ConsoleStream stream, PromptStream* prompt) {
    int descriptor = streamDescriptor(stream);
    prompt->kind = PromptWrite::kNone;
    prompt->descriptor = descriptor;
    struct stat status;
    if (fstat(descriptor, &status) != 0) {
        return;
    }
    if (S_ISREG(status.st_mode)) {
        prompt->kind = PromptWrite::kFile;
    } else if (S_ISSOCK(status.st_mode)) {
        prompt->kind = PromptWrite::kSocket;
    } else {
        char path[32];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", descriptor);
        int own = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (own >= 0) {
            prompt->kind = PromptWrite::kOwnDescriptor;
            prompt->descriptor = own;
        }
    }
}

// Set up on the first text, under the console's lock.
std::size_t writeWithoutWaiting(ConsoleStream stream, const char* text, std::size_t length) {
    if (!promptStreamsReady) {
        preparePromptStream(ConsoleStream::kOutput, &promptStreams[0]);
        preparePromptStream(ConsoleStream::kError, &promptStreams[1]);
        promptStreamsReady = true;
    }
    const PromptStream& prompt = promptStreams[consoleStreamIndex(stream)];
    std::size_t handled = 0;
    while (handled < length && prompt.kind != PromptWrite::kNone) {
        ssize_t written = prompt.kind == PromptWrite::kSocket
                              ? send(prompt.descriptor, text + handled, length - handled,
                                     MSG_DONTWAIT | MSG_NOSIGNAL)
                              : write(prompt.descriptor, text + handled, length - handled);
        if (written > 0) {
            handled += static_cast<std::size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;  // the console is not taking text now: the console thread waits for it
        } else {
            return length;
        }
    }
    return handled;
}

int terminalColumns() {
    if (!isatty(STDOUT_FILENO)) {
        return 0;
    }
    struct winsize size = {};
    // A terminal that tells no width (a serial line) gets the classic one.
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

// "\r" goes back to the line's start and "ESC [ K" clears the rest of it, which every terminal
// of the VT100 family understands.
static const char kClearToLineEnd[] = "\x1b[K";

void showStatusText(const char* text, std::size_t length) {
    char drawing[kStatusLineSize + sizeof kClearToLineEnd + 1];
    length = std::min(length, kStatusLineSize);
    drawing[0] = '\r';
    std::memcpy(drawing + 1, text, length);
    std::memcpy(drawing + 1 + length, kClearToLineEnd, sizeof kClearToLineEnd - 1);
    writeWholeText(ConsoleStream::kOutput, drawing, length + sizeof kClearToLineEnd);
}

void hideStatusText() {
    writeWholeText(ConsoleStream::kOutput, "\r\x1b[K", 4);
}

// ---------------------------------------------------------------------------------------------
// Ending the process.

static const int kTerminationSignals[] = {SIGINT, SIGTERM, SIGHUP};
static std::atomic<int> terminationSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler may use it");
static void (*terminationCleanup)() = nullptr;  // set before any handler is installed
static void (*reopenHook)() = nullptr;           // likewise
static std::atomic<bool> reopenRequested{false};

// Only the thread of endOnSignal takes these signals, inside sigsuspend, which returns once
// this has run; so this only notes the signal, and the cleanup runs on that thread outside
// any handler.
static void onTerminationSignal(int signalNumber) {
    if (signalNumber == SIGHUP && reopenHook != nullptr) {
        reopenRequested.store(true);
        return;
    }
    int none = 0;
    (void)terminationSignal.compare_exchange_strong(none, signalNumber);
}

static void endOnSignal(void*) {
    sigset_t waiting;
    (void)pthread_sigmask(SIG_BLOCK, nullptr, &waiting);
    for (int signalNumber : kTerminationSignals) {
        (void)sigdelset(&waiting, signalNumber);  // an ignored one stays ignored all the same
    }
    // The signals stay blocked here but inside sigsuspend, so none is missed between a look
    // and the wait.
    for (;;) {
        if (reopenRequested.exchange(false)) {
            reopenHook();
        }
        if (terminationSignal.load() != 0) {
            break;
        }
        (void)sigsuspend(&waiting);
    }
    int signalNumber = terminationSignal.load();
    terminationCleanup();
    (void)flushConsole(kConsoleFlushMilliseconds);
    // The default action ends the process as the signal would have without us, with the status
    // that shells and service managers read for it. Raised while blocked here, the signal is
    // taken as soon as it is unblocked.
    (void)signal(signalNumber, SIG_DFL);
    sigset_t single;
    (void)sigemptyset(&single);
    (void)sigaddset(&single, signalNumber);
    (void)raise(signalNumber);
    (void)pthread_sigmask(SIG_UNBLOCK, &single, nullptr);
    _exit(128 + signalNumber);  // not reached: each of these signals ends the process
}

int handleTermination(void (*cleanup)()) {
    terminationCleanup = cleanup;
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    (void)sigemptyset(&action.sa_mask);
    sigset_t handledSignals;
    (void)sigemptyset(&handledSignals);
    for (int signalNumber : kTerminationSignals) {
        struct sigaction previous = {};
        // A signal the process was started to ignore stays ignored (nohup, a background job);
        // a SIGHUP that only reopens files ends nothing, so it is taken all the same.
        bool reopens = signalNumber == SIGHUP && reopenHook != nullptr;
        if (reopens ||
            (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)) {
            (void)sigaddset(&handledSignals, signalNumber);
        }
    }
    // Every later thread inherits the mask, so only endOnSignal's thread ever takes the
    // signals: no session's call is interrupted, and the handler never runs amid its work.
    sigset_t previousMask;
    (void)pthread_sigmask(SIG_BLOCK, &handledSignals, &previousMask);
    if (startThread(endOnSignal, nullptr) != 0) {
        (void)pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
        return -1;
    }
    for (int signalNumber : kTerminationSignals) {
        if (sigismember(&handledSignals, signalNumber) == 1) {
            (void)sigaction(signalNumber, &action, nullptr);
        }
    }
    return 0;
}

void handleReopenRequest(void (*reopen)()) {
    reopenHook = reopen;
}

// Reads one line from standard input, without its line end, into out; -1 when it ends first or
// does not fit.
static int readInputLine(char* out, std::size_t outSize) {
    std::size_t length = 0;
    for (;;) {
        char c;
        ssize_t count = read(STDIN_FILENO, &c, 1);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0 || c == '\n' || c == '\r') {
            out[length] = '\0';
            return count > 0 ? 0 : fail(EIO);
        }
        if (length + 1 >= outSize) {
            out[length] = '\0';
            return fail(E2BIG);
        }
        out[length++] = c;
    }
}

int readSecretFromConsole(const char* prompt, char* out, std::size_t outSize) {
    struct termios original;
    if (outSize == 0 || !isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &original) != 0) {
        return fail(ENOTTY);
    }
    struct termios silent = original;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    silent.c_lflag |= ICANON;
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent) != 0) {
        return failWithErrno();
    }
    writeWholeText(ConsoleStream::kOutput, prompt, std::strlen(prompt));
    int result = readInputLine(out, outSize);
    (void)tcsetattr(STDIN_FILENO, TCSAFLUSH, &original);  // a console we cannot reset is lost
    writeWholeText(ConsoleStream::kOutput, "\n", 1);      // the typed line end was not echoed
    if (result != 0) {
        std::memset(out, 0, outSize);
    }
    return result;
}
