// fuzz/resolve_path_fuzzer.cpp: argument resolution against a real root with links that lead
// in and out of it. Whatever the text, a result is empty or lies inside the root.
//
// Input: one byte that picks the session's working directory (the root or a subfolder), then
// the argument, up to its first zero byte as the command reader would hand it over.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "app/settings.h"
#include "fs/resolve_path.h"
#include "base/text.h"
#include "fs/working_directory.h"
#include "fuzz/fuzz_support.h"
#include "session/session.h"

static FtpSession* session = nullptr;

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    session = makeFuzzSession();
    return 0;
}

// Checks the one path the server would hand to the file system for this argument.
static void checkResult(const std::string& argument, int status, const std::string& result) {
    const std::string& root = makeFuzzRoot();
    if (status != 0 && status != -1) {
        failProperty("resolvePath returns 0 or -1", std::to_string(status));
    }
    if (status != 0 || argument.empty()) {
        if (!result.empty()) {
            failProperty("a refused or empty argument leaves an empty result", argument);
        }
        return;
    }
    if (result.empty()) {
        failProperty("an accepted argument yields a path", argument);
    }
    if (!isInsideRoot(result.c_str())) {
        failProperty("the result lies inside the root (isInsideRoot)", argument + " -> " + result);
    }
    if (!liesWithin(result, root)) {
        failProperty("the result lies inside the root (by components)", argument + " -> " + result);
    }
    // The part that does not exist is used as it stands, so it must hold no step the OS would
    // still interpret.
    if (result.find("//") != std::string::npos || result.find("/./") != std::string::npos ||
        result.find("/../") != std::string::npos || result.back() == '/' ||
        result.compare(result.size() - 2, 2, "/.") == 0 ||
        result.compare(result.size() - 3, 3, "/..") == 0) {
        failProperty("the result holds no empty, \".\" or \"..\" component",
                     argument + " -> " + result);
    }
    std::string reached = resolveExistingPart(result);
    if (!liesWithin(reached, root)) {
        failProperty("what the OS reaches of the result lies inside the root",
                     argument + " -> " + result + " reaches " + reached);
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
    checkResult(argument, status, result);
    return 0;
}
