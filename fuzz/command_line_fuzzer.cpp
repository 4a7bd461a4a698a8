// fuzz/command_line_fuzzer.cpp: the command line read from arbitrary arguments. Reading never
// crashes, its result is consistent with the arguments, and printing its error never crashes.
//
// Input: the arguments after the program's name, separated by zero bytes. Each lives in a
// buffer of its own that ends at its terminator, so a read past it is a sanitizer report.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/settings.h"
#include "fuzz/fuzz_support.h"

namespace {

// The index of pointer among the arguments after the program's name, or -1.
int argumentIndex(const std::vector<const char*>& argv, const char* pointer) {
    for (std::size_t i = 1; i < argv.size(); i++) {
        if (argv[i] == pointer) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::string describe(const std::vector<const char*>& argv) {
    std::string text;
    for (std::size_t i = 1; i < argv.size(); i++) {
        text += "[" + std::string(argv[i]) + "]";
    }
    return text;
}

void checkCommandLine(const std::vector<const char*>& argv, const CommandLine& commandLine,
                      const ServerSettings& settings) {
    std::string arguments = describe(argv);
    int root =
        commandLine.rootArgument == nullptr ? 0 : argumentIndex(argv, commandLine.rootArgument);
    if (root < 0 || (root > 0 && commandLine.rootArgument[0] == '-')) {
        failProperty("the root is one of the arguments and no option", arguments);
    }
    if (settings.natAddress != nullptr && argumentIndex(argv, settings.natAddress) < 1) {
        failProperty("the NAT address is one of the arguments", arguments);
    }
    switch (commandLine.status) {
        case CommandLineStatus::kRun:
            if (commandLine.argument != nullptr) {
                failProperty("a command line to run names no argument", arguments);
            }
            if (settings.maxSessions < 1 || settings.maxSessions > kLargestSessionLimit ||
                settings.maxPerAddress < 0 || settings.maxPerAddress > kLargestSessionLimit ||
                settings.idleSeconds < 0 || settings.idleSeconds > kLargestIdleSeconds ||
                settings.loginSeconds < 1 || settings.loginSeconds > kLargestIdleSeconds) {
                failProperty("the limits of a command line to run are in range", arguments);
            }
            break;
        case CommandLineStatus::kSecondRoot:
            if (root < 1 || argumentIndex(argv, commandLine.argument) <= root ||
                commandLine.argument[0] == '-') {
                failProperty("a second root comes after the first", arguments);
            }
            break;
        case CommandLineStatus::kHelp:
        case CommandLineStatus::kVersion:
        case CommandLineStatus::kMissingPort:
        case CommandLineStatus::kMissingRange:
        case CommandLineStatus::kMissingAddress:
        case CommandLineStatus::kUnknownOption:
        case CommandLineStatus::kMissingCertificate:
        case CommandLineStatus::kMissingLogin:
        case CommandLineStatus::kMissingLogFile:
        case CommandLineStatus::kBadLimit:
            if (argumentIndex(argv, commandLine.argument) < 1 || commandLine.argument[0] != '-') {
                failProperty("a refused command line names the option it stopped at", arguments);
            }
            break;
        case CommandLineStatus::kBadListenAddress:
        case CommandLineStatus::kInvertedRange:
            // These name the value ("-i" at the end has none).
            if (commandLine.argument != nullptr && argumentIndex(argv, commandLine.argument) < 2) {
                failProperty("a refused value is one of the arguments", arguments);
            }
            break;
        default:
            failProperty("the status is one of CommandLineStatus",
                         std::to_string(static_cast<int>(commandLine.status)));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // The error texts go to standard output, which nobody reads here.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        failProperty("standard output can be silenced", "/dev/null");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::unique_ptr<char[]>> storage;
    std::vector<const char*> argv;
    argv.push_back("tarnLoader");
    const char* text = reinterpret_cast<const char*>(data);
    std::size_t start = 0;
    while (start < size) {
        std::size_t length = strnlen(text + start, size - start);
        storage.emplace_back(new char[length + 1]);
        std::memcpy(storage.back().get(), text + start, length);
        storage.back()[length] = '\0';
        argv.push_back(storage.back().get());
        start += length + 1;
    }

    ServerSettings settings;
    resetServerSettings(&settings);
    CommandLine commandLine =
        readCommandLine(static_cast<int>(argv.size()), argv.data(), &settings);
    checkCommandLine(argv, commandLine, settings);
    printCommandLineError(commandLine);
    return 0;
}
