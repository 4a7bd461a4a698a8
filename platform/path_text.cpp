// platform/path_text.cpp: paths as text, for both platforms.
#include "platform/path_text.h"

#include <cstdio>
#include <utility>

#include "platform/platform.h"

void splitNames(const std::string& text, const char* separators, std::vector<std::string>* names) {
    std::size_t position = 0;
    for (;;) {
        std::size_t start = text.find_first_not_of(separators, position);
        if (start == std::string::npos) {
            return;
        }
        std::size_t end = text.find_first_of(separators, start);
        names->push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) {
            return;
        }
        position = end;
    }
}

void splitStepNames(const std::string& text, const char* separators,
                    std::vector<std::string>* names) {
    std::vector<std::string> all;
    splitNames(text, separators, &all);
    for (std::string& name : all) {
        if (name != ".") {
            names->push_back(std::move(name));
        }
    }
}

std::string joinNames(const std::vector<std::string>& names) {
    if (names.empty()) {
        return ".";
    }
    std::string path = names[0];
    for (std::size_t i = 1; i < names.size(); i++) {
        path += "/" + names[i];
    }
    return path;
}

std::string toRootRelative(const char* clientPath) {
    std::vector<std::string> names;
    splitNames(clientPath, "/", &names);
    return joinNames(names);
}

int toClientPath(const char* rootRelative, char* out, std::size_t outSize) {
    std::vector<std::string> names;
    splitStepNames(rootRelative, "/", &names);
    std::string shown;
    for (const std::string& name : names) {
        shown += "/" + name;
    }
    int written = std::snprintf(out, outSize, "%s", shown.empty() ? "/" : shown.c_str());
    return written >= 0 && static_cast<std::size_t>(written) < outSize ? 0 : -1;
}

bool startsWithNames(const std::vector<std::string>& names, const std::vector<std::string>& prefix,
                     std::vector<std::string>* rest) {
    // SECURITY: whole names, so a root of /srv/pkg never takes /srv/pkg2.
    if (names.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); i++) {
        if (!isSameName(names[i].c_str(), prefix[i].c_str())) {
            return false;
        }
    }
    rest->assign(names.begin() + static_cast<long>(prefix.size()), names.end());
    return true;
}

int takeDotNames(const std::vector<std::string>& steps, std::vector<std::string>* names) {
    for (const std::string& step : steps) {
        if (step == ".") {
            continue;
        }
        if (step == "..") {
            // SECURITY: ".." never rises above the root.
            if (names->empty()) {
                return -1;
            }
            names->pop_back();
            continue;
        }
        names->push_back(step);
    }
    return 0;
}

static bool isSystemSeparator(char c) {
    for (const char* separator = kSystemPathSeparators; *separator != '\0'; separator++) {
        if (c == *separator) {
            return true;
        }
    }
    return false;
}

int namesBelowRoot(const char* absolutePath, std::vector<std::string>* names) {
    std::size_t drive = drivePrefixLength(absolutePath);
    // SECURITY: only a path from the top can name the root by its real path; "D:name" on
    // Windows depends on that drive's own current directory.
    if (!isSystemSeparator(absolutePath[drive])) {
        return -1;
    }
    std::vector<std::string> rootNames;
    splitNames(servedRootPath(), kSystemPathSeparators, &rootNames);
    // A path from the top of the current drive: the root's own drive is the one meant.
    if (drive == 0 && drivePrefixLength(servedRootPath()) > 0 && !rootNames.empty()) {
        rootNames.erase(rootNames.begin());
    }
    std::vector<std::string> pathNames;
    splitStepNames(absolutePath, kSystemPathSeparators, &pathNames);
    return startsWithNames(pathNames, rootNames, names) ? 0 : -1;
}
