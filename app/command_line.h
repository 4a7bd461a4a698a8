// app/command_line.h: reading the command line into the settings, and the texts that answer
// a wrong one. Every option is one row of kCommandLineOptions (app/command_line.cpp): its
// name, its value, how it is read, its error and its usage line; the documentation's checks
// walk the same table. Reading never prints and never ends the process, so it can be tested
// alone.
#pragma once

#include <cstddef>

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
    kBadLimit,            // a limit ("-maxsessions", "-logintimeout", ...) not a number in range
    kBadListenAddress,    // "-i" without an address, or with more than kMaxListenAddresses
    kInvertedRange,       // "-prange" whose high port is below its low one
};

// What follows an option's name.
enum class OptionValue {
    kNone,           // nothing: a flag, or "-h" and "-version", which stop the reading
    kPort,           // a port as "%d" reads it
    kPortRange,      // "<low>[-<high>]" as "%d-%d" reads it
    kNatAddress,     // "%d.%d.%d.%d" in form, kept as text
    kListenAddress,  // an IPv4 or IPv6 address
    kFile,           // a file name
    kLogin,          // "<name>[:<password>]"
    kLimit,          // a whole number from 1 to the option's largest
};

struct CommandLineOption {
    const char* name;
    OptionValue value;
    // Reads value (the next argument, whatever it looks like, or nullptr at the end) into
    // settings. Returns kRun, or the status to stop at: mostly refusal.
    CommandLineStatus (*read)(const CommandLineOption& option, const char* value,
                              ServerSettings* settings);
    CommandLineStatus refusal;
    const char* error;  // refusal's text (a limit's ends in its largest value), or nullptr
    // The usage line: the value's placeholder and the description, whose lines "\n" parts;
    // nullptr for the options of the original usage block.
    const char* placeholder;
    const char* usage;
    int ServerSettings::*limit = nullptr;  // kLimit: the setting and its largest value
    int largest = 0;
    const char* ServerSettings::*file = nullptr;  // kFile: the setting
};

extern const CommandLineOption kCommandLineOptions[];
extern const std::size_t kCommandLineOptionCount;

struct CommandLine {
    CommandLineStatus status;
    // The option, for the statuses of one; its value for kBadListenAddress and kInvertedRange
    // (nullptr when there is none); the unknown option or the second root.
    const char* argument;
    const char* rootArgument;  // the directory argument, or nullptr
};

// Reads argv[1..argc-1] into settings (which the caller has reset) and stops at the first
// error: later arguments are not looked at, so an operator sees one message at a time.
CommandLine readCommandLine(int argc, const char* const* argv, ServerSettings* settings);

// Prints the message for a failed reading (nothing for kRun, kHelp and kVersion) on standard
// output.
void printCommandLineError(const CommandLine& commandLine);
// Prints the usage text on standard output.
void printUsage();
