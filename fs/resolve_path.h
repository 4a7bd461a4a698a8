// fs/resolve_path.h: turning a command's argument into the path the platform walks beneath the
// served root.
#pragma once

#include <string>

struct FtpSession;

// Resolves a client's argument: "/" and "\" both separate, a leading one anchors at the root,
// anything else is relative to the session's working directory. The result is the path below
// the root, names joined by "/" ("." for the root itself, "fw/a.bin" below it), that every lookup
// then walks from the root, following "." and ".." and links as the OS would but never out of the
// root. Returns 0 with the path in *result, or with an empty *result for an empty argument. Returns
// -1 with an empty *result when the argument is refused before any lookup: taken name by name
// it ends above the root, or it holds a name that is no ordinary entry (a device on Windows).
// A path that goes above the root and comes back in by the root's own names is inside.
// Returns kUploadPathResult when a name is an upload's temporary file: callers answer as for a
// missing entry.
constexpr int kUploadPathResult = -2;
int resolvePath(const FtpSession* session, const std::string& argument, std::string* result);
