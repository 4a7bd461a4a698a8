// fuzz/resolve_path_fuzzer.cpp: argument resolution and the lookups beneath the root, against
// a real root with links that lead in and out of it. Whatever the text, what the server would
// open lies inside the root.
//
// Input: one byte that picks the session's working directory (the root or a subfolder), then
// the argument, up to its first zero byte as the command reader would hand it over.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "base/text.h"
#include "fs/resolve_path.h"
#include "fuzz/fuzz_support.h"
#include "platform/platform.h"
#include "session/session.h"

static FtpSession* session = nullptr;

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    session = makeFuzzSession();
    return 0;
}

// The result is a path below the root in the form the platform takes.
static void checkForm(const std::string& argument, int status, const std::string& result) {
    if (status != 0 && status != -1 && status != kUploadPathResult) {
        failProperty("resolvePath returns 0, -1 or kUploadPathResult", std::to_string(status));
    }
    if (status != 0 || argument.empty()) {
        if (!result.empty()) {
            failProperty("a refused or empty argument leaves an empty result", argument);
        }
        return;
    }
    if (result.empty() || result[0] == '/' || result.back() == '/' ||
        result.find("//") != std::string::npos) {
        failProperty("an accepted argument yields names below the root",
                     argument + " -> " + result);
    }
}

// What the kernel says the descriptor is: the file the server would send.
static void checkOpenedFile(const std::string& argument, int file) {
    std::error_code error;
    std::string target =
        std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(file), error).string();
    if (!error && !liesWithin(target, makeFuzzRoot())) {
        failProperty("a file opened for RETR lies inside the root", argument + " opens " + target);
    }
    (void)closeFile(file);
}

// Where the lookup says the path leads is an existing place inside the root, without links.
static void checkLocation(const std::string& argument, const std::string& result) {
    char reached[kClientPathSize];
    FileStatus status;
    if (locateBeneath(session->root, result.c_str(), reached, sizeof reached, &status) != 0) {
        return;
    }
    std::string path =
        makeFuzzRoot() + (std::strcmp(reached, ".") == 0 ? "" : "/" + std::string(reached));
    std::string onDisk = resolveExistingPart(path);
    if (reached[0] == '/' || onDisk != path || !liesWithin(onDisk, makeFuzzRoot())) {
        failProperty("a located entry is the place inside the root it names",
                     argument + " -> " + reached + " is " + onDisk);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string& folder = fuzzFolder(data[0] % kFuzzFolderCount);
    copyText(session->workingDirectory, sizeof session->workingDirectory, folder.c_str());
    const char* text = reinterpret_cast<const char*>(data + 1);
    std::string argument(text, strnlen(text, size - 1));
    std::string result = "not touched";
    int status = resolvePath(session, argument, &result);
    checkForm(argument, status, result);
    if (status != 0 || result.empty()) {
        return 0;
    }
    int file = openFileBeneath(session->root, result.c_str(), nullptr);
    if (file >= 0) {
        checkOpenedFile(argument, file);
    }
    checkLocation(argument, result);
    return 0;
}
