// platform/posix/console.cpp: the console streams on POSIX.
#include "platform/platform.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "platform/console_text.h"

// ---------------------------------------------------------------------------------------------
// Console.

// Writes all of text unless the console fails; the rest is then lost, as with printf. Written
// past C's streams, whose locks a thread blocked on the console would hold.
static void writeWholeText(ConsoleStream stream, const char* text, std::size_t length) {
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

void emitConsoleText(ConsoleStream stream, const char* text, std::size_t length) {
    writeWholeText(stream, text, length);
}
