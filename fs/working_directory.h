// fs/working_directory.h: the served root as clients see it, and each session's working
// directory within it.
#pragma once

#include <cstddef>

struct FtpSession;

// True when path (an absolute OS path with links resolved) is the served root or lies below
// it.
bool isInsideRoot(const char* path);

// Writes path, which lies inside the root, as the client sees it: the part below the root
// with "/" separators, or "/" for the root itself. Returns 0, or -1 when it does not fit.
int toClientPath(const char* path, char* out, std::size_t outSize);

// CWD: moves the session's working directory. An empty path changes nothing; a leading
// separator starts from the root. Returns false, leaving the directory as it was, when the
// destination does not exist, is no directory, lies outside the root or does not fit.
// Rewrites path in place: every separator becomes the OS separator.
bool changeDirectory(FtpSession* session, char* path);

// The session's working directory as the client sees it (what PWD shows).
int virtualCwd(const FtpSession* session, char* out, std::size_t outSize);

// Answers PWD and XPWD: "257" and the quoted path, formatted in the session's scratch text.
void sendWorkingDirectory(FtpSession* session);
