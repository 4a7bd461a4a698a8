// platform/errors.h: what both implementations share of the calling thread's last error: the
// number of a refused path, and the two calls each implementation gives the shared code.
#pragma once

// Our own error number for a path that would lead out of the served root; no runtime error
// number means that.
constexpr int kRefusedPathError = 0x7ffe;
// Its text on the console. Replies choose their own words for it.
constexpr char kRefusedPathText[] = "Path leads outside the served root";
// The runtime's number for an entry that is in use: EBUSY on POSIX, EACCES on Windows, whose
// runtime refuses to remove the current directory with it.
extern const int kBusyErrorNumber;

// Records kRefusedPathError as the calling thread's last error and returns -1.
int failRefused();

// Implemented by posix/process.cpp and windows/process.cpp:
// Records a runtime (errno) number as the calling thread's last error.
void recordRuntimeError(int number);
// The calling thread's last error as a runtime number, or -1 when it is a socket's or the
// system's (Windows).
int lastRuntimeError();
