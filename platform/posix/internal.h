// platform/posix/internal.h: what the POSIX files of the platform layer share: the calling
// thread's last error and the helpers that record it, and the deadlines of timed waits.
#pragma once

struct timespec;

// The error of the calling thread's last failed platform call. Kept apart from errno, which
// the C library may change in between (printf may set it).
extern thread_local int lastError;

// Records error as the calling thread's last error and returns -1.
int fail(int error);
// Records errno as the calling thread's last error and returns -1.
int failWithErrno();

// The time milliseconds from now on the clock of pthread_cond_timedwait (CLOCK_REALTIME).
void deadlineAfter(long milliseconds, struct timespec* out);
