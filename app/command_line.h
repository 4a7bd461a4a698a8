// app/command_line.h: reading the command line into the settings, and the texts that answer
// a wrong one. Reading never prints and never ends the process, so it can be tested alone.
#pragma once

#include "app/settings.h"

enum class CommandLineStatus {
    kRun,                 // settings filled; start the server
    kHelp,                // "-h": the usage text alone
    kVersion,             // "-version": the banner alone, and success
    kMissingPort,         // "-p" without a port
    kMissingRange,        // "-prange" without a port
    kMissingAddress,      // "-ip" without four numbers
    kUnknownOption,       // an option name we do not know; argument names it
    kSecondRoot,          // a second directory argument
    kMissingCertificate,  // "-tlscert" without a file
    kMissingLogin,        // "-login" without "name:password"
    kMissingLogFile,      // "-xferlog" or "-report" without a file name
    kBadLimit,            // "-maxsessions", "-maxperaddress" or "-idle" without a number in range
    kBadListenAddress,    // "-i" without an address, or with more than kMaxListenAddresses
    kInvertedRange,       // "-prange" whose high port is below its low one
};

struct CommandLine {
    CommandLineStatus status;
    // The unknown option, for kUnknownOption; the option, for kBadLimit and kMissingLogFile;
    // its value, for kBadListenAddress and kInvertedRange (nullptr when there is none).
    const char* argument;
    const char* rootArgument;  // the directory argument, or nullptr
};

// Reads argv[1..argc-1] into settings (which the caller has reset) and stops at the first
// error: later arguments are not looked at, so an operator sees one message at a time.
CommandLine readCommandLine(int argc, const char* const* argv, ServerSettings* settings);

// Prints the message for a failed reading (nothing for kRun, kHelp and kVersion) on standard output.
void printCommandLineError(const CommandLine& commandLine);
// Prints the usage text on standard output.
void printUsage();
