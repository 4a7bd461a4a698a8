// platform/path_text.h: paths as text, the same on every platform: names split and joined,
// compared with the served root's own names, and the root-relative form every lookup takes.
// Built on the few facts each platform gives of its paths (separators, drive prefixes, how it
// compares names); the walk that follows a path on disk is each platform's own.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Appends the names of text to names: each run between characters of separators.
void splitNames(const std::string& text, const char* separators, std::vector<std::string>* names);
// As splitNames, with "." names left out: they are no step at all.
void splitStepNames(const std::string& text, const char* separators,
                    std::vector<std::string>* names);
// Names joined by "/": the root-relative form of a lookup ("fw/a.bin"), "." for no names.
std::string joinNames(const std::vector<std::string>& names);
// A client's path ("/", "/fw/latest") in the root-relative form.
std::string toRootRelative(const char* clientPath);
// A root-relative path ("." or "fw/latest") as a client sees it ("/" or "/fw/latest"). Returns
// 0, or -1 when it does not fit.
int toClientPath(const char* rootRelative, char* out, std::size_t outSize);

// True when names begin with the names of prefix, compared as the platform compares names;
// the names after them go to rest.
bool startsWithNames(const std::vector<std::string>& names, const std::vector<std::string>& prefix,
                     std::vector<std::string>* rest);
// Takes the names of a path below the root by name: "." is dropped and ".." takes the last name
// off. Returns 0, or -1 when a ".." would rise above the root.
int takeDotNames(const std::vector<std::string>& steps, std::vector<std::string>* names);
// The names below the served root of an absolute system path that reaches the root by the
// root's real path ("." names dropped). On Windows a path from the top of a drive ("\pkg")
// means the root's own drive. Returns 0, or -1 when the path lies elsewhere.
int namesBelowRoot(const char* absolutePath, std::vector<std::string>* names);
