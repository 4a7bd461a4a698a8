// app/command_line.cpp: the options "-p", "-prange", "-ip", "-u", "-ftpverbose" and "-h", the
// opt-in TLS and login options, the transfer log and the limits ("-xferlog", "-maxsessions",
// "-maxperaddress", "-idle" and "-logintimeout"), the operator's status ("-status") and the
// addresses to listen on ("-i").
#include "app/command_line.h"

#include <cstring>

#include "base/text.h"
#include "platform/platform.h"

static constexpr int kHighestPort = 65535;
// More significant digits than 65535 has: out of range, whatever scanInteger's 32 bits keep.
static constexpr long kPortDigits = 5;

// A port number as "%d" reads it (white space, a sign, digits; text after them ignored), but
// only from 0 (any free port) to 65535: a larger or negative number would otherwise be used as
// its low 16 bits and serve a port nobody asked for. Returns the text after the number, or
// nullptr.
static const char* scanPort(const char* text, int* port) {
    int value = 0;
    const char* end = scanInteger(text, &value);
    if (end == nullptr) {
        return nullptr;
    }
    const char* digits = end;
    while (digits > text && digits[-1] >= '0' && digits[-1] <= '9') {
        digits--;
    }
    while (*digits == '0' && digits + 1 < end) {
        digits++;
    }
    if (end - digits > kPortDigits || value < 0 || value > kHighestPort) {
        return nullptr;
    }
    *port = value;
    return end;
}

static bool readPort(const char* value, int* port) {
    return value != nullptr && scanPort(value, port) != nullptr;
}

// "%d-%d": the low port is required, the high one optional; text after them is ignored.
// *inverted tells a high port given below the low one (0, as for none, excepted).
static bool readPortRange(const char* value, ServerSettings* settings, bool* inverted) {
    if (value == nullptr) {
        return false;
    }
    int low = 0;
    const char* rest = scanPort(value, &low);
    if (rest == nullptr) {
        return false;
    }
    // A high port given out of range refuses the whole option, as a low one does; text that
    // is no number at all leaves the high port as it was.
    int high = settings->passivePortHigh;
    int anyNumber = 0;
    bool hasHigh = *rest == '-' && scanInteger(rest + 1, &anyNumber) != nullptr;
    if (hasHigh && scanPort(rest + 1, &high) == nullptr) {
        return false;
    }
    *inverted = hasHigh && high != 0 && high < low;
    settings->passivePortLow = low;
    settings->passivePortHigh = high;
    return true;
}

// "%d.%d.%d.%d": only a test of form; the text itself is kept.
static bool isAddressForm(const char* value) {
    if (value == nullptr) {
        return false;
    }
    int number = 0;
    const char* rest = value;
    for (int i = 0; i < 4; i++) {
        if (i > 0) {
            if (*rest != '.') {
                return false;
            }
            rest++;
        }
        rest = scanInteger(rest, &number);
        if (rest == nullptr) {
            return false;
        }
    }
    return true;
}

// "-login name:password": the name up to the first colon, the password after it, neither empty.
// "-login name" alone leaves the password for start-up to ask for.
static bool readLogin(const char* value, ServerSettings* settings) {
    if (value == nullptr || value[0] == '\0' || value[0] == ':') {
        return false;
    }
    const char* colon = std::strchr(value, ':');
    if (colon == nullptr) {
        settings->hasLogin = copyText(settings->loginName, sizeof settings->loginName, value) == 0;
        settings->loginPassword[0] = '\0';
        // The last -login holds: an earlier one's password must not stand in as given.
        settings->loginPasswordArgument = nullptr;
        return settings->hasLogin;
    }
    if (colon[1] == '\0') {
        return false;
    }
    settings->loginPasswordArgument = colon + 1;
    std::size_t nameLength = static_cast<std::size_t>(colon - value);
    if (nameLength >= sizeof settings->loginName) {
        return false;
    }
    std::memcpy(settings->loginName, value, nameLength);
    settings->loginName[nameLength] = '\0';
    settings->hasLogin = copyText(settings->loginPassword, sizeof settings->loginPassword,
                                  colon + 1) == 0;
    return settings->hasLogin;
}

// The TLS and login options. Returns 1 when argument is one of them and was read (2 when it
// took value too), 0 when it is none of them, or -1 with *status set when its value is wrong.
static int readSecurityOption(const char* argument, const char* value, ServerSettings* settings,
                              CommandLineStatus* status) {
    if (std::strcmp(argument, "-tls") == 0) {
        settings->tls = true;
        return 1;
    }
    if (std::strcmp(argument, "-tlsonly") == 0) {
        settings->tls = true;
        settings->tlsOnly = true;
        return 1;
    }
    if (std::strcmp(argument, "-tlsnoresume") == 0) {
        settings->tlsAnyDataSession = true;
        return 1;
    }
    if (std::strcmp(argument, "-tlscert") == 0) {
        if (value == nullptr) {
            *status = CommandLineStatus::kMissingCertificate;
            return -1;
        }
        settings->tls = true;
        settings->tlsCertificatePath = value;
        return 2;
    }
    if (std::strcmp(argument, "-login") == 0) {
        if (!readLogin(value, settings)) {
            *status = CommandLineStatus::kMissingLogin;
            return -1;
        }
        return 2;
    }
    return 0;
}

// The options that take a limit, each from 1 to its largest value.
struct LimitOption {
    const char* name;
    int largest;
    int ServerSettings::*setting;
};
static const LimitOption kLimitOptions[] = {
    {"-maxsessions", kLargestSessionLimit, &ServerSettings::maxSessions},
    {"-maxperaddress", kLargestSessionLimit, &ServerSettings::maxPerAddress},
    {"-idle", kLargestIdleSeconds, &ServerSettings::idleSeconds},
    {"-logintimeout", kLargestIdleSeconds, &ServerSettings::loginSeconds},
};

static const LimitOption* findLimitOption(const char* name) {
    for (const LimitOption& option : kLimitOptions) {
        if (std::strcmp(name, option.name) == 0) {
            return &option;
        }
    }
    return nullptr;
}

// Decimal digits alone, from 1 to largest. Stricter than the older options: a limit that
// reads as something the operator did not mean ("10x", "-5", "1e3") is refused, not guessed.
static bool readLimit(const char* value, int largest, int* limit) {
    if (value == nullptr || *value == '\0') {
        return false;
    }
    int number = 0;
    for (const char* c = value; *c != '\0'; c++) {
        if (*c < '0' || *c > '9' || number > (largest - (*c - '0')) / 10) {
            return false;
        }
        number = number * 10 + (*c - '0');
    }
    *limit = number;
    return number > 0;
}

// The address of "-i", IPv4 or IPv6. The system's parser also takes "10.1" for 10.0.0.1,
// which no operator means here.
static bool parseListenAddress(const char* value, NetworkAddress* address) {
    return value != nullptr &&
           ((isAddressForm(value) && parseAddress(value, AddressFamily::kIpv4, address) == 0) ||
            parseAddress(value, AddressFamily::kIpv6, address) == 0);
}

// An address of "-i" added to the list unless it is there already.
static bool readListenAddress(const char* value, ServerSettings* settings) {
    NetworkAddress address;
    if (!parseListenAddress(value, &address)) {
        return false;
    }
    for (int i = 0; i < settings->listenAddressCount; i++) {
        if (isSameHost(&settings->listenAddresses[i], &address)) {
            return true;
        }
    }
    if (settings->listenAddressCount == kMaxListenAddresses) {
        return false;
    }
    settings->listenAddresses[settings->listenAddressCount++] = address;
    return true;
}

static CommandLine outcome(CommandLineStatus status, const char* argument,
                           const char* rootArgument) {
    CommandLine result = {status, argument, rootArgument};
    return result;
}

CommandLine readCommandLine(int argc, const char* const* argv, ServerSettings* settings) {
    const char* rootArgument = nullptr;
    for (int i = 1; i < argc; i++) {
        const char* argument = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (argument[0] != '-') {
            if (rootArgument != nullptr) {
                return outcome(CommandLineStatus::kSecondRoot, argument, rootArgument);
            }
            rootArgument = argument;
        } else if (std::strcmp(argument, "-p") == 0) {
            if (!readPort(value, &settings->controlPort)) {
                return outcome(CommandLineStatus::kMissingPort, argument, rootArgument);
            }
            i++;
        } else if (std::strcmp(argument, "-prange") == 0) {
            bool inverted = false;
            if (!readPortRange(value, settings, &inverted)) {
                return outcome(CommandLineStatus::kMissingRange, argument, rootArgument);
            }
            if (inverted) {
                return outcome(CommandLineStatus::kInvertedRange, value, rootArgument);
            }
            i++;
        } else if (std::strcmp(argument, "-i") == 0) {
            if (!readListenAddress(value, settings)) {
                return outcome(CommandLineStatus::kBadListenAddress, value, rootArgument);
            }
            i++;
        } else if (std::strcmp(argument, "-ip") == 0) {
            if (!isAddressForm(value)) {
                return outcome(CommandLineStatus::kMissingAddress, argument, rootArgument);
            }
            settings->natAddress = value;
            i++;
        } else if (std::strcmp(argument, "-u") == 0) {
            settings->readOnly = false;
        } else if (std::strcmp(argument, "-ftpverbose") == 0) {
            settings->verbose = 1;
        } else if (std::strcmp(argument, "-status") == 0) {
            settings->status = true;
        } else if (std::strcmp(argument, "-h") == 0) {
            return outcome(CommandLineStatus::kHelp, argument, rootArgument);
        } else if (std::strcmp(argument, "-version") == 0) {
            return outcome(CommandLineStatus::kVersion, argument, rootArgument);
        } else if (std::strcmp(argument, "-xferlog") == 0 ||
                   std::strcmp(argument, "-report") == 0) {
            if (value == nullptr || *value == '\0') {
                return outcome(CommandLineStatus::kMissingLogFile, argument, rootArgument);
            }
            (argument[1] == 'x' ? settings->transferLogPath : settings->reportPath) = value;
            i++;
        } else if (const LimitOption* limit = findLimitOption(argument)) {
            if (!readLimit(value, limit->largest, &(settings->*limit->setting))) {
                return outcome(CommandLineStatus::kBadLimit, argument, rootArgument);
            }
            i++;
        } else {
            CommandLineStatus status = CommandLineStatus::kUnknownOption;
            int taken = readSecurityOption(argument, value, settings, &status);
            if (taken <= 0) {
                return outcome(status, argument, rootArgument);
            }
            i += taken - 1;
        }
    }
    return outcome(CommandLineStatus::kRun, nullptr, rootArgument);
}

static void printListenAddressError(const char* value) {
    if (value == nullptr) {
        printConsole(ConsoleStream::kOutput, "Error: missing address for option -i\n");
        return;
    }
    char shown[escapedTextSize(kNetworkAddressTextSize)];
    NetworkAddress address;
    escapeString(shown, sizeof shown, value);
    if (parseListenAddress(value, &address)) {
        printConsole(ConsoleStream::kOutput,
                     "Error: Unable to listen on '%s': option -i takes at most %d addresses\n",
                     shown, kMaxListenAddresses);
    } else {
        printConsole(ConsoleStream::kOutput,
                     "Error: Unable to listen on '%s': not an IPv4 or IPv6 address\n", shown);
    }
}

void printCommandLineError(const CommandLine& commandLine) {
    switch (commandLine.status) {
        case CommandLineStatus::kRun:
        case CommandLineStatus::kHelp:
        case CommandLineStatus::kVersion:
            break;
        case CommandLineStatus::kMissingPort:
            printConsole(ConsoleStream::kOutput, "Error: missing port number for option -p\n");
            break;
        case CommandLineStatus::kMissingRange:
            printConsole(ConsoleStream::kOutput, "Error: missing port number for option -tp\n");
            break;
        case CommandLineStatus::kMissingAddress:
            printConsole(ConsoleStream::kOutput, "Error:  missing ip address for -ha option\n");
            break;
        case CommandLineStatus::kUnknownOption:
            printConsole(ConsoleStream::kOutput, "Error: '%s' option not found\n",
                         commandLine.argument);
            break;
        case CommandLineStatus::kSecondRoot:
            printConsole(ConsoleStream::kOutput, "Error: Only one directory may be ftp root\n");
            break;
        case CommandLineStatus::kMissingCertificate:
            printConsole(ConsoleStream::kOutput, "Error: missing file for option -tlscert\n");
            break;
        case CommandLineStatus::kMissingLogin:
            printConsole(ConsoleStream::kOutput,
                         "Error: missing <name>[:<password>] for option -login\n");
            break;
        case CommandLineStatus::kMissingLogFile:
            printConsole(ConsoleStream::kOutput, "Error: missing file name for option %s\n",
                         commandLine.argument);
            break;
        case CommandLineStatus::kBadLimit:
            printConsole(ConsoleStream::kOutput,
                         "Error: option %s takes a whole number from 1 to %d\n",
                         commandLine.argument, findLimitOption(commandLine.argument)->largest);
            break;
        case CommandLineStatus::kBadListenAddress:
            printListenAddressError(commandLine.argument);
            break;
        case CommandLineStatus::kInvertedRange:
            printConsole(ConsoleStream::kOutput,
                         "Error: the port range '%s' of option -prange ends below its start; "
                         "give the low port first\n",
                         commandLine.argument);
            break;
    }
}

void printUsage() {
    printConsole(ConsoleStream::kOutput,
                 "\n%s serves firmware update content to an QX2102/QX2105 chassis.\n"
                 "This tool runs directly from a windows command prompt.\n\n",
                 "tarnLoader");
    printConsole(ConsoleStream::kOutput, "Usage: %s [options] [ftproot]\n", "tarnLoader");
    printConsole(
        ConsoleStream::kOutput,
        "[options] are:\n"
        "  -p <port>     Use <port> for control (defaults to (%d)\n"
        "  -prange <port>-<port>  Specify a port range to use for passive mode (defaults to OS "
        "assigned.\n"
        "  -ip <x.x.x.x> Specifies ip address to listen from over NAT.\n"
        "  -u         Allows uploads, ie put and rename (by default server is read-only\n"
        "  ftproot    Directory to consider as root for FTP-like access\n"
        "             (defaults to current working directory)\n",
        kDefaultControlPort);
    printConsole(ConsoleStream::kOutput,
                 "  -tls       Offers FTP over TLS (AUTH TLS) with a self-signed certificate\n"
                 "  -tlscert <file>  Offers TLS with the certificate, chain and key of a PEM file\n"
                 "  -tlsonly   Refuses logins and data connections without TLS\n"
                 "  -tlsnoresume  Lets a TLS data connection make a new session of its own\n"
                 "  -login <name>[:<password>]  Accepts only this name and password (asked for,\n"
                 "             or taken from TARNLOADER_PASSWORD, when only <name> is given)\n"
                 "  -xferlog <file>    Appends a line for each download and upload to <file>\n"
                 "  -report <file>     Appends a CSV row for each download and upload to <file>\n"
                 "  -status    Prints a timed line for each client event and keeps a status\n"
                 "             line on a terminal, instead of the dots\n"
                 "  -maxsessions <n>   Serves at most <n> sessions at once (defaults to %d)\n"
                 "  -maxperaddress <n> Serves at most <n> sessions from one address (defaults to "
                 "%d)\n"
                 "  -idle <seconds>    Closes a connection that sends nothing for <seconds>\n"
                 "  -logintimeout <seconds>  Closes a connection not logged in by then (defaults "
                 "to %d)\n"
                 "  -i <address>       Listens only on <address>, IPv4 or IPv6 (repeatable)\n"
                 "  -version   Prints the version and exits\n",
                 kDefaultMaxSessions, kDefaultMaxPerAddress, kDefaultLoginSeconds);
}
