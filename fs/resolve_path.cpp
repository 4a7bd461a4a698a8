// fs/resolve_path.cpp: argument paths, confined to the served root.
#include "fs/resolve_path.h"

#include "app/settings.h"
#include "fs/working_directory.h"
#include "platform/platform.h"
#include "session/session.h"

// Longest path the OS resolves for us; longer ones are refused.
constexpr std::size_t kResolvedPathSize = 4096;

void splitPath(std::vector<std::string>* tokens, const std::string& text,
               const std::string& separators) {
    std::size_t position = 0;
    for (;;) {
        std::size_t start = text.find_first_not_of(separators, position);
        if (start == std::string::npos) {
            return;
        }
        std::size_t end = text.find_first_of(separators, start);
        tokens->push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) {
            return;
        }
        position = end;
    }
}

// The part of an absolute path that ".." never removes: "/" on POSIX, "C:\" on Windows.
static std::size_t topLength(const std::string& path) {
    std::size_t first = path.find(kPathSeparator);
    return first == std::string::npos ? path.size() : first + 1;
}

static void removeLastComponent(std::string* path) {
    std::size_t top = topLength(*path);
    std::size_t last = path->rfind(kPathSeparator);
    path->resize((last == std::string::npos || last < top) ? top : last);
}

static void appendToken(std::string* path, const std::string& token) {
    if (token == ".") {
        return;
    }
    if (token == "..") {
        removeLastComponent(path);
        return;
    }
    if (path->empty() || path->back() != kPathSeparator) {
        path->push_back(kPathSeparator);
    }
    path->append(token);
}

// Resolves the longest existing prefix of an absolute path as the OS would (links, and so
// junctions on Windows, included) and appends the rest unchanged: the rest does not exist, so
// it holds no link that could lead elsewhere.
static int resolveExistingPrefix(const std::string& path, std::string* result) {
    std::string prefix = path;
    std::string rest;
    char real[kResolvedPathSize];
    while (realPath(prefix.c_str(), real, sizeof real) != 0) {
        if (prefix.size() <= topLength(prefix)) {
            return -1;
        }
        std::size_t last = prefix.rfind(kPathSeparator);
        std::string component = prefix.substr(last + 1);
        rest = rest.empty() ? component : component + kPathSeparator + rest;
        removeLastComponent(&prefix);
    }
    *result = real;
    if (!rest.empty()) {
        if (result->back() != kPathSeparator) {
            result->push_back(kPathSeparator);
        }
        result->append(rest);
    }
    return 0;
}

// The path of the entry itself: its folder resolved, its own name kept. DELE and RNFR then
// act on a link inside the root, not on the file it points to, as they do on Windows.
static int resolveEntry(const std::string& path, const std::string& resolved, std::string* result) {
    std::size_t last = path.rfind(kPathSeparator);
    // A path that resolves to itself holds no link at all, and neither does its folder: the
    // common case needs no second resolution.
    if (resolved == path || resolved == serverSettings.realRootPath ||
        last == std::string::npos || last + 1 >= path.size()) {
        *result = resolved;
        return 0;
    }
    std::string folder = path;
    removeLastComponent(&folder);
    std::string resolvedFolder;
    // SECURITY: the folder that holds the entry must lie inside the root as well.
    if (resolveExistingPrefix(folder, &resolvedFolder) != 0 ||
        !isInsideRoot(resolvedFolder.c_str())) {
        return -1;
    }
    *result = resolvedFolder;
    if (result->back() != kPathSeparator) {
        result->push_back(kPathSeparator);
    }
    result->append(path, last + 1, std::string::npos);
    return 0;
}

int resolvePath(const FtpSession* session, const std::string& argument, std::string* result) {
    result->clear();
    if (argument.empty()) {
        return 0;
    }
    std::vector<std::string> tokens;
    splitPath(&tokens, argument, "/\\");
    bool anchored = argument[0] == '/' || argument[0] == '\\';
    std::string path = anchored ? serverSettings.realRootPath : session->workingDirectory;
    for (const std::string& token : tokens) {
        // SECURITY: drive prefixes, streams and device names would reach past the root.
        if (isReservedName(token.c_str())) {
            return -1;
        }
        appendToken(&path, token);
    }
    std::string resolved;
    // SECURITY: the test is made on the path the OS would reach, after "..", and links that
    // point out of the root, have been followed.
    if (resolveExistingPrefix(path, &resolved) != 0 || !isInsideRoot(resolved.c_str())) {
        return -1;
    }
    return resolveEntry(path, resolved, result);
}
