// fuzz/fuzz_support.h: what the fuzz targets share: reporting a broken property, and a served
// root on disk with links that lead in and out of it, for the targets that resolve paths.
#pragma once

#include <string>

// Reports a broken property and aborts: libFuzzer records the abort as a crash and keeps the
// input that caused it.
[[noreturn]] void failProperty(const char* property, const std::string& detail);

// The folders a session may work in: the root itself, subfolders, and a folder deep enough
// that the working directory is close to its size limit.
constexpr int kFuzzFolderCount = 5;

// Creates, once per process, a temporary tree: the served root "pkg" with subfolders and files,
// links inside it that lead out (to a sibling folder, above the root, by absolute path, and
// dangling) and in, a loop, and beside the root "pkg2" and "outside" with files. Makes it the
// served root, as start-up would, and removes the tree when the process exits. Returns the
// root with links resolved.
const std::string& makeFuzzRoot();

struct FtpSession;
// Makes the fuzz root, then a session record without a connection whose working directory
// starts there, with the root opened for it. Aborts when no record can be had.
FtpSession* makeFuzzSession();

// One of the folders above as a client sees it: 0 is the root ("/").
const std::string& fuzzFolder(int index);

// True when path is root or lies below it. Compares whole components and is written apart
// from the server's own test, so that the two check each other.
bool liesWithin(const std::string& path, const std::string& root);

// The OS's resolution of the longest prefix of path that exists (links followed), or an empty
// string when not even "/" resolves.
std::string resolveExistingPart(const std::string& path);
