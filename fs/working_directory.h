// fs/working_directory.h: each session's working directory within the served root, as clients
// see it.
#pragma once

#include <cstddef>

struct FtpSession;

// CWD: moves the session's working directory. An empty path changes nothing; a leading
// separator starts from the root, and what follows it may also be an absolute OS path that
// names the root or a place below it by the root's real path. Returns false, leaving the
// directory as it was, when the destination does not exist, is no directory, lies outside the
// root or does not fit. Rewrites path in place: every separator becomes the OS separator.
bool changeDirectory(FtpSession* session, char* path);

// The session's working directory as the client sees it (what PWD shows).
int virtualCwd(const FtpSession* session, char* out, std::size_t outSize);

// Answers PWD and XPWD: "257" and the quoted path.
void sendWorkingDirectory(FtpSession* session);
