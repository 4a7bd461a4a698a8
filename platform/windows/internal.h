// platform/windows/internal.h: what the Windows files of the platform layer share: the
// calling thread's last error, from whichever of the three sources it came, and the helpers
// that record it.
#pragma once

#include <cstddef>

// Where the number of the last error comes from. The runtime's errno values, Winsock's codes
// and Win32's codes overlap, and each source has its own texts.
enum class ErrorSource { kRuntime, kSocket, kSystem };

struct ErrorRecord {
    int number;
    ErrorSource source;
};

// The error of the calling thread's last failed platform call. Winsock and Win32 calls leave
// errno alone, so their numbers are kept here beside the runtime's.
extern thread_local ErrorRecord lastError;

void recordError(int number, ErrorSource source);
// Records WSAGetLastError; a send or receive timeout reads as the runtime's ETIMEDOUT.
void recordSocketError();
// Records GetLastError; file errors as the runtime's numbers, the rest as the system's.
void recordSystemError();
// Each records its error and returns -1.
int failWithRuntimeError(int error);
int failWithErrno();
int failWithSocketError();
int failWithSystemError();

// Room for a current directory or a final path with its "\\?\" prefix; longer paths fail as
// too long.
constexpr std::size_t kLongPathSize = 1024;

// Our own error number for a path that would lead out of the served root; no runtime error
// number means that.
constexpr int kRefusedPathError = 0x7ffe;
// Records kRefusedPathError and returns -1.
int failRefused();

// A folder beneath the root: the handle that pins it (none for the root's own record, which
// holds nothing open between commands) and its final path.
struct Folder {
    void* handle;
    char path[kLongPathSize];
};

// Pins the folder that path names beneath the root. Returns it, or nullptr with the error set.
Folder* pinFolderBeneath(const char* path);
