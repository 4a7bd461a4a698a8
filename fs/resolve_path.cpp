// fs/resolve_path.cpp: argument paths, confined to the served root by name before the platform
// walks them.
#include "fs/resolve_path.h"

#include <algorithm>

#include "fs/uploads.h"
#include "platform/path_text.h"
#include "platform/platform.h"
#include "session/session.h"

// Where the names of a path lead when they are taken one by one without looking at the disk:
// the names below the root, or, once a ".." has risen above it, the names from the top of the
// file system. walked holds what the platform is to walk from the root.
struct NamedPlace {
    std::vector<std::string> names;
    bool aboveRoot;
    std::vector<std::string> walked;
};

// True when names are the root's own names (compared as the platform compares names).
static bool isRootByName(const std::vector<std::string>& names,
                         const std::vector<std::string>& rootNames) {
    std::vector<std::string> rest;
    return names.size() == rootNames.size() && startsWithNames(names, rootNames, &rest);
}

// The walk follows the names as they stand, so that ".." after a link goes up from where the
// link leads. Only a stretch above the root is settled here, by name: the walk never rises
// above the root, and what lies there is not ours to look at. Coming back in by the root's own
// names lands in the root.
static void takeName(NamedPlace* place, const std::string& token,
                     const std::vector<std::string>& rootNames) {
    if (token == ".") {
        return;
    }
    if (!place->aboveRoot) {
        if (token == ".." && place->names.empty()) {
            place->aboveRoot = true;
            place->names = rootNames;
            place->names.pop_back();
            return;
        }
        if (token == "..") {
            place->names.pop_back();
        } else {
            place->names.push_back(token);
        }
        place->walked.push_back(token);
        return;
    }
    if (token == "..") {
        if (!place->names.empty()) {
            place->names.pop_back();
        }
        return;
    }
    place->names.push_back(token);
    if (isRootByName(place->names, rootNames)) {
        place->aboveRoot = false;
        place->names.clear();
        place->walked.clear();
    }
}

int resolvePath(const FtpSession* session, const std::string& argument, std::string* result) {
    result->clear();
    if (argument.empty()) {
        return 0;
    }
    std::vector<std::string> tokens;
    splitNames(argument, "/\\", &tokens);
    // Only a ".." can rise above the root; without one the root's own names are not needed.
    std::vector<std::string> rootNames;
    if (std::find(tokens.begin(), tokens.end(), "..") != tokens.end()) {
        splitNames(servedRootPath(), kSystemPathSeparators, &rootNames);
    }
    NamedPlace place = {{}, false, {}};
    bool anchored = argument[0] == '/' || argument[0] == '\\';
    if (!anchored) {
        splitNames(session->workingDirectory, "/", &place.names);
        place.walked = place.names;
    }
    for (const std::string& token : tokens) {
        // SECURITY: drive prefixes, streams and device names would reach past the root.
        if (isReservedName(token.c_str())) {
            return -1;
        }
        // SECURITY: an upload in progress belongs to its session alone: read, replaced,
        // renamed or removed by another, it would be half a file or another client's bytes.
        if (isUploadName(token.c_str())) {
            return kUploadPathResult;
        }
        takeName(&place, token, rootNames);
    }
    // SECURITY: a path that ends above the root, or beside it, is refused by name.
    if (place.aboveRoot) {
        return -1;
    }
    *result = joinNames(place.walked);
    return 0;
}
