// app/command_line.cpp: the table of options (kCommandLineOptions), which reading, the error
// texts and the usage text walk, and the readers of the options' values.
#include "app/command_line.h"

#include <cstdio>
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

using Option = CommandLineOption;
using Status = CommandLineStatus;

// A reader's answer: kRun when it took the value, the option's refusal when not.
static Status taken(bool read, const Option& option) {
    return read ? Status::kRun : option.refusal;
}

static Status readPort(const Option& option, const char* value, ServerSettings* settings) {
    return taken(value != nullptr && scanPort(value, &settings->controlPort) != nullptr, option);
}

// "%d-%d": the low port is required, the high one optional; text after them is ignored. A
// high port given below the low one (0, as for none, excepted) is kInvertedRange.
static Status readPortRange(const Option& option, const char* value, ServerSettings* settings) {
    int low = 0;
    const char* rest = value != nullptr ? scanPort(value, &low) : nullptr;
    if (rest == nullptr) {
        return option.refusal;
    }
    // A high port given out of range refuses the whole option, as a low one does; text that
    // is no number at all leaves the high port as it was.
    int high = settings->passivePortHigh;
    int anyNumber = 0;
    bool hasHigh = *rest == '-' && scanInteger(rest + 1, &anyNumber) != nullptr;
    if (hasHigh && scanPort(rest + 1, &high) == nullptr) {
        return option.refusal;
    }
    settings->passivePortLow = low;
    settings->passivePortHigh = high;
    return hasHigh && high != 0 && high < low ? Status::kInvertedRange : Status::kRun;
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

// "-ip": the text itself is kept.
static Status readNatAddress(const Option& option, const char* value, ServerSettings* settings) {
    if (!isAddressForm(value)) {
        return option.refusal;
    }
    settings->natAddress = value;
    return Status::kRun;
}

// "-login name:password": the name up to the first colon, the password after it, neither empty.
// "-login name" alone leaves the password for start-up to ask for.
static Status readLogin(const Option& option, const char* value, ServerSettings* settings) {
    if (value == nullptr || value[0] == '\0' || value[0] == ':') {
        return option.refusal;
    }
    const char* colon = std::strchr(value, ':');
    if (colon == nullptr) {
        settings->hasLogin = copyText(settings->loginName, sizeof settings->loginName, value) == 0;
        settings->loginPassword[0] = '\0';
        // The last -login holds: an earlier one's password must not stand in as given.
        settings->loginPasswordArgument = nullptr;
        return taken(settings->hasLogin, option);
    }
    if (colon[1] == '\0') {
        return option.refusal;
    }
    settings->loginPasswordArgument = colon + 1;
    std::size_t nameLength = static_cast<std::size_t>(colon - value);
    if (nameLength >= sizeof settings->loginName) {
        return option.refusal;
    }
    std::memcpy(settings->loginName, value, nameLength);
    settings->loginName[nameLength] = '\0';
    settings->hasLogin =
        copyText(settings->loginPassword, sizeof settings->loginPassword, colon + 1) == 0;
    return taken(settings->hasLogin, option);
}

// Decimal digits alone, from 1 to largest. Stricter than the older options: a limit that
// reads as something the operator did not mean ("10x", "-5", "1e3") is refused, not guessed.
static Status readLimit(const Option& option, const char* value, ServerSettings* settings) {
    int number = 0;
    for (const char* c = value; c != nullptr && *c != '\0'; c++) {
        if (*c < '0' || *c > '9' || number > (option.largest - (*c - '0')) / 10) {
            return option.refusal;
        }
        number = number * 10 + (*c - '0');
    }
    if (number == 0) {
        return option.refusal;
    }
    settings->*option.limit = number;
    return Status::kRun;
}

// "-xferlog" and "-report": any name but an empty one.
static Status readFile(const Option& option, const char* value, ServerSettings* settings) {
    if (value == nullptr || *value == '\0') {
        return option.refusal;
    }
    settings->*option.file = value;
    return Status::kRun;
}

// "-tlscert": any name; start-up reads the file.
static Status readCertificate(const Option& option, const char* value, ServerSettings* settings) {
    if (value == nullptr) {
        return option.refusal;
    }
    settings->tls = true;
    settings->tlsCertificatePath = value;
    return Status::kRun;
}

// The address of "-i", IPv4 or IPv6. The system's parser also takes "10.1" for 10.0.0.1,
// which no operator means here.
static bool parseListenAddress(const char* value, NetworkAddress* address) {
    return value != nullptr &&
           ((isAddressForm(value) && parseAddress(value, AddressFamily::kIpv4, address) == 0) ||
            parseAddress(value, AddressFamily::kIpv6, address) == 0);
}

// An address of "-i" added to the list unless it is there already.
static Status readListenAddress(const Option& option, const char* value, ServerSettings* settings) {
    NetworkAddress address;
    if (!parseListenAddress(value, &address)) {
        return option.refusal;
    }
    for (int i = 0; i < settings->listenAddressCount; i++) {
        if (isSameHost(&settings->listenAddresses[i], &address)) {
            return Status::kRun;
        }
    }
    if (settings->listenAddressCount == kMaxListenAddresses) {
        return option.refusal;
    }
    settings->listenAddresses[settings->listenAddressCount++] = address;
    return Status::kRun;
}

// The flags, and "-h" and "-version", which end the reading with their refusal.
static Status allowUploads(const Option&, const char*, ServerSettings* settings) {
    settings->readOnly = false;
    return Status::kRun;
}

static Status echoCommands(const Option&, const char*, ServerSettings* settings) {
    settings->verbose = 1;
    return Status::kRun;
}

static Status offerTls(const Option&, const char*, ServerSettings* settings) {
    settings->tls = true;
    return Status::kRun;
}

static Status requireTls(const Option&, const char*, ServerSettings* settings) {
    settings->tls = true;
    settings->tlsOnly = true;
    return Status::kRun;
}

static Status allowNewDataSessions(const Option&, const char*, ServerSettings* settings) {
    settings->tlsAnyDataSession = true;
    return Status::kRun;
}

static Status showStatus(const Option&, const char*, ServerSettings* settings) {
    settings->status = true;
    return Status::kRun;
}

static Status stop(const Option& option, const char*, ServerSettings*) {
    return option.refusal;
}

// Each option: name, value, reader, refusal, error text, then for the usage lines after the
// original block the placeholder and the description (a limit's default follows it), and the
// setting of a limit or a file. The error texts of "-p", "-prange" and "-ip" (and with them
// their oddities: "-tp", "-ha", two blanks after "Error:") are the original program's and stay
// byte for byte, as do the usage lines of the first four, which the original block prints.
// The order is that of the usage text.
const CommandLineOption kCommandLineOptions[] = {
    {"-p", OptionValue::kPort, readPort, Status::kMissingPort,
     "Error: missing port number for option -p", nullptr, nullptr},
    {"-prange", OptionValue::kPortRange, readPortRange, Status::kMissingRange,
     "Error: missing port number for option -tp", nullptr, nullptr},
    {"-ip", OptionValue::kNatAddress, readNatAddress, Status::kMissingAddress,
     "Error:  missing ip address for -ha option", nullptr, nullptr},
    {"-u", OptionValue::kNone, allowUploads, Status::kRun, nullptr, nullptr, nullptr},
    {"-ftpverbose", OptionValue::kNone, echoCommands, Status::kRun, nullptr, "",
     "Echoes every command and reply on the console"},
    {"-tls", OptionValue::kNone, offerTls, Status::kRun, nullptr, "",
     "Offers TLS (AUTH TLS) with a self-signed certificate"},
    {"-tlscert", OptionValue::kFile, readCertificate, Status::kMissingCertificate,
     "Error: missing file for option -tlscert", "<file>",
     "Offers TLS with the certificate, chain and key of the\nPEM file <file>"},
    {"-tlsonly", OptionValue::kNone, requireTls, Status::kRun, nullptr, "",
     "Refuses logins and data connections without TLS"},
    {"-tlsnoresume", OptionValue::kNone, allowNewDataSessions, Status::kRun, nullptr, "",
     "Lets a TLS data connection make a new session of its own"},
    {"-login", OptionValue::kLogin, readLogin, Status::kMissingLogin,
     "Error: missing <name>[:<password>] for option -login", "<name>[:<password>]",
     "Accepts only this name and password (asked for, or taken\n"
     "from TARNLOADER_PASSWORD, when only <name> is given)"},
    {"-xferlog", OptionValue::kFile, readFile, Status::kMissingLogFile,
     "Error: missing file name for option -xferlog", "<file>",
     "Appends a line for each download and upload to <file>", nullptr, 0,
     &ServerSettings::transferLogPath},
    {"-report", OptionValue::kFile, readFile, Status::kMissingLogFile,
     "Error: missing file name for option -report", "<file>",
     "Appends a CSV row for each download and upload to <file>", nullptr, 0,
     &ServerSettings::reportPath},
    {"-status", OptionValue::kNone, showStatus, Status::kRun, nullptr, "",
     "Prints a timed line for each client event and keeps a\n"
     "status line on a terminal, instead of the dots"},
    {"-maxsessions", OptionValue::kLimit, readLimit, Status::kBadLimit,
     "Error: option -maxsessions takes a whole number from 1 to", "<n>",
     "Serves at most <n> sessions at once", &ServerSettings::maxSessions, kLargestSessionLimit},
    {"-maxperaddress", OptionValue::kLimit, readLimit, Status::kBadLimit,
     "Error: option -maxperaddress takes a whole number from 1 to", "<n>",
     "Serves at most <n> sessions from one address", &ServerSettings::maxPerAddress,
     kLargestSessionLimit},
    {"-idle", OptionValue::kLimit, readLimit, Status::kBadLimit,
     "Error: option -idle takes a whole number from 1 to", "<seconds>",
     "Closes a connection that sends nothing for <seconds>", &ServerSettings::idleSeconds,
     kLargestIdleSeconds},
    {"-logintimeout", OptionValue::kLimit, readLimit, Status::kBadLimit,
     "Error: option -logintimeout takes a whole number from 1 to", "<seconds>",
     "Closes a connection not logged in by then", &ServerSettings::loginSeconds,
     kLargestIdleSeconds},
    // printListenAddressError gives the error, which names the address.
    {"-i", OptionValue::kListenAddress, readListenAddress, Status::kBadListenAddress, nullptr,
     "<address>", "Listens only on <address>, IPv4 or IPv6 (repeatable)"},
    {"-h", OptionValue::kNone, stop, Status::kHelp, nullptr, "", "Prints this text"},
    {"-version", OptionValue::kNone, stop, Status::kVersion, nullptr, "",
     "Prints the version and exits"},
};
const std::size_t kCommandLineOptionCount =
    sizeof kCommandLineOptions / sizeof *kCommandLineOptions;

static const Option* findOption(const char* name) {
    for (const Option& option : kCommandLineOptions) {
        if (std::strcmp(name, option.name) == 0) {
            return &option;
        }
    }
    return nullptr;
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
        if (argument[0] != '-') {
            if (rootArgument != nullptr) {
                return outcome(Status::kSecondRoot, argument, rootArgument);
            }
            rootArgument = argument;
            continue;
        }
        const Option* option = findOption(argument);
        if (option == nullptr) {
            return outcome(Status::kUnknownOption, argument, rootArgument);
        }
        // The next argument is the value, whatever it looks like: "-p -h" is a missing port.
        const char* value = nullptr;
        if (option->value != OptionValue::kNone && i + 1 < argc) {
            value = argv[++i];
        }
        Status status = option->read(*option, value, settings);
        if (status != Status::kRun) {
            bool namesValue =
                status == Status::kBadListenAddress || status == Status::kInvertedRange;
            return outcome(status, namesValue ? value : argument, rootArgument);
        }
    }
    return outcome(Status::kRun, nullptr, rootArgument);
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
    const Option* option = nullptr;
    switch (commandLine.status) {
        case Status::kRun:
        case Status::kHelp:
        case Status::kVersion:
            break;
        case Status::kUnknownOption:
            printConsole(ConsoleStream::kOutput, "Error: '%s' option not found\n",
                         commandLine.argument);
            break;
        case Status::kSecondRoot:
            printConsole(ConsoleStream::kOutput, "Error: Only one directory may be ftp root\n");
            break;
        case Status::kBadListenAddress:
            printListenAddressError(commandLine.argument);
            break;
        case Status::kInvertedRange:
            printConsole(ConsoleStream::kOutput,
                         "Error: the port range '%s' of option -prange ends below its start; "
                         "give the low port first\n",
                         commandLine.argument);
            break;
        default:  // an option's refusal: the table's text
            option = findOption(commandLine.argument);
            if (option != nullptr && option->value == OptionValue::kLimit) {
                printConsole(ConsoleStream::kOutput, "%s %d\n", option->error, option->largest);
            } else if (option != nullptr && option->error != nullptr) {
                printConsole(ConsoleStream::kOutput, "%s\n", option->error);
            }
            break;
    }
}

// The usage lines after the original block: the descriptions in one column, every line within
// kUsageWidth columns. A name too long for the column has a line of its own.
static constexpr int kUsageColumn = 22;
static constexpr std::size_t kUsageWidth = 79;

static void printUsageLines(const Option& option, const ServerSettings& defaults) {
    char lead[kUsageColumn + 40];
    std::snprintf(lead, sizeof lead, "  %s%s%s", option.name,
                  option.placeholder[0] != '\0' ? " " : "", option.placeholder);
    if (std::strlen(lead) + 2 > kUsageColumn) {
        printConsole(ConsoleStream::kOutput, "%s\n", lead);
        lead[0] = '\0';
    }
    char fallback[32] = "";
    if (option.value == OptionValue::kLimit && defaults.*option.limit > 0) {
        std::snprintf(fallback, sizeof fallback, "(defaults to %d)", defaults.*option.limit);
    } else if (option.value == OptionValue::kLimit) {
        copyText(fallback, sizeof fallback, "(defaults to none)");
    }
    const char* line = option.usage;
    for (;;) {
        std::size_t length = std::strcspn(line, "\n");
        bool last = line[length] == '\0';
        // The default ends the last line, or makes one of its own where it does not fit.
        bool joined = last && fallback[0] != '\0' &&
                      kUsageColumn + length + 1 + std::strlen(fallback) <= kUsageWidth;
        printConsole(ConsoleStream::kOutput, "%-*s%.*s%s%s\n", kUsageColumn, lead,
                     static_cast<int>(length), line, joined ? " " : "", joined ? fallback : "");
        lead[0] = '\0';
        if (last && !joined && fallback[0] != '\0') {
            printConsole(ConsoleStream::kOutput, "%*s%s\n", kUsageColumn, "", fallback);
        }
        if (last) {
            break;
        }
        line += length + 1;
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
    ServerSettings defaults;
    resetServerSettings(&defaults);
    for (const Option& option : kCommandLineOptions) {
        if (option.usage != nullptr) {
            printUsageLines(option, defaults);
        }
    }
}
