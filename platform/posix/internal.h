// platform/posix/internal.h: what the POSIX files of the platform layer share: the calling
// thread's last error and the helpers that record it, the deadlines of timed waits, and the
// folders held open beneath the served root.
#pragma once

#include "platform/errors.h"

struct timespec;


// Records error as the calling thread's last error and returns -1.
int fail(int error);
// Records errno as the calling thread's last error and returns -1.
int failWithErrno();
// Records kRefusedPathError and returns -1.
int failRefused();
// The calling thread's last error number, and a way to put an earlier one back.
int lastErrorNumber();
void restoreLastError(int error);

// The time milliseconds from now on the clock of pthread_cond_timedwait (CLOCK_REALTIME).
void deadlineAfter(long milliseconds, struct timespec* out);

struct Folder {
    int descriptor;  // -1 only for a root that could not be opened yet
};

// Opens the folder that path names beneath the root for reading its entries. Returns the
// descriptor, or -1 with the error set.
int openFolderForReading(Folder* root, const char* path);
