// fs/resolve_path.h: turning a command's argument into a file-system path inside the root.
#pragma once

#include <string>
#include <vector>

struct FtpSession;

// Appends to tokens the maximal runs of text that hold no character of separators.
void splitPath(std::vector<std::string>* tokens, const std::string& text,
               const std::string& separators);

// Resolves a client's argument: "/" and "\" both separate, a leading one anchors at the root,
// anything else is relative to the session's working directory; "." and ".." are applied,
// and links are followed as the OS would. Returns 0 with an absolute OS path in *result, or
// with an empty *result for an empty argument. Returns -1 with an empty *result when the path
// would leave the served root (or names a reserved device on Windows).
int resolvePath(const FtpSession* session, const std::string& argument, std::string* result);
