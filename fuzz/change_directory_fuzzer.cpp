// fuzz/change_directory_fuzzer.cpp: CWD after CWD with arbitrary text. The working directory
// never leaves the root, and PWD can always show it.
//
// Input: the arguments of successive CWD commands, separated by line feeds or zero bytes. Each
// is cut to the argument size, as the command reader would cut it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "app/settings.h"
#include "base/text.h"
#include "fs/working_directory.h"
#include "fuzz/fuzz_support.h"
#include "session/session.h"

static FtpSession* session = nullptr;

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    session = makeFuzzSession();
    return 0;
}

static void checkWorkingDirectory(const std::string& steps, bool changed,
                                  const std::string& before) {
    const std::string& root = makeFuzzRoot();
    const char* workingDirectory = session->workingDirectory;
    if (std::memchr(workingDirectory, '\0', sizeof session->workingDirectory) == nullptr) {
        failProperty("the working directory is terminated", steps);
    }
    std::string current = workingDirectory;
    if (!changed && current != before) {
        failProperty("a refused CWD leaves the working directory as it was", steps);
    }
    if (current.empty() || current[0] != '/') {
        failProperty("the working directory is a client path", steps + " -> " + current);
    }
    std::string path = root + (current == "/" ? "" : current);
    std::string reached = resolveExistingPart(path);
    if (reached != path || !liesWithin(reached, root)) {
        failProperty("the working directory is a folder inside the root, with links resolved",
                     steps + " -> " + current + " reaches " + reached);
    }
    char shown[kWorkingDirectorySize];
    if (virtualCwd(session, shown, sizeof shown) != 0 || shown[0] != '/') {
        failProperty("PWD shows the working directory from \"/\"", steps + " -> " + current);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    makeFuzzRoot();
    copyText(session->workingDirectory, sizeof session->workingDirectory, "/");
    const char* text = reinterpret_cast<const char*>(data);
    std::string steps;
    std::size_t start = 0;
    while (start <= size) {
        std::size_t end = start;
        while (end < size && text[end] != '\n' && text[end] != '\0') {
            end++;
        }
        char path[kArgumentTextSize];
        std::size_t length = end - start < sizeof path - 1 ? end - start : sizeof path - 1;
        std::memcpy(path, text + start, length);
        path[length] = '\0';
        steps += "[" + std::string(path) + "]";
        std::string before = session->workingDirectory;
        bool changed = changeDirectory(session, path);
        checkWorkingDirectory(steps, changed, before);
        start = end + 1;
    }
    return 0;
}
