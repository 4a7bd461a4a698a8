// platform/errors.cpp: the error kinds that server code names, and the console line of an
// error, alike on both platforms.
#include "platform/errors.h"

#include <cerrno>

#include "platform/platform.h"

static int errorNumberOf(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::kAccessDenied:
            return EACCES;
        case ErrorKind::kBusy:
            return kBusyErrorNumber;
        case ErrorKind::kNotFound:
            return ENOENT;
        case ErrorKind::kIsDirectory:
            return EISDIR;
        case ErrorKind::kTimedOut:
            return ETIMEDOUT;
        case ErrorKind::kExists:
            return EEXIST;
        case ErrorKind::kRefusedPath:
            return kRefusedPathError;
        case ErrorKind::kWouldBlock:
            return EWOULDBLOCK;
        case ErrorKind::kInterrupted:
            return EINTR;
    }
    return EINVAL;
}

void setLastError(ErrorKind kind) {
    recordRuntimeError(errorNumberOf(kind));
}

bool isLastError(ErrorKind kind) {
    return lastRuntimeError() == errorNumberOf(kind);
}

int failRefused() {
    recordRuntimeError(kRefusedPathError);
    return -1;
}

void printSystemError(const char* text) {
    char errorText[kErrorTextSize];
    lastErrorText(errorText, sizeof errorText);
    printConsole(ConsoleStream::kError, "%s: %s\n", text, errorText);
}
