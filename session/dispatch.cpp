// session/dispatch.cpp: the dispatch table of the verbs.
#include "session/dispatch.h"

#include <cstdio>

#include "app/settings.h"
#include "base/text.h"
#include "fs/file_operations.h"
#include "fs/listing.h"
#include "fs/resolve_path.h"
#include "fs/transfer.h"
#include "fs/working_directory.h"
#include "platform/platform.h"
#include "session/data_connection.h"
#include "session/reply.h"
#include "session/session.h"

namespace {

// How a verb's argument is used before its work runs.
enum class Argument {
    kIgnored,       // not resolved
    kListPattern,   // resolved; a refused path is answered, an empty one lists the directory
    kListOptions,   // as kListPattern, after leading ls options are taken off
    kRequiredPath,  // resolved; an empty or refused path is answered
    kRenameTarget,  // resolved; passed on even when empty
};

using Work = void (*)(FtpSession* session, const std::string& path);

struct DispatchRow {
    const char* gateReply;  // sent instead of the work while the server is read-only
    Argument argument;
    Work work;
};

}  // namespace

static void replyAborted(FtpSession* s, const std::string&) {
    sendReply(s, "226 Aborted");
}
static void replyNotImplemented(FtpSession* s, const std::string&) {
    sendReply(s, "500 Command not implemented");
}
static void replyOk(FtpSession* s, const std::string&) {
    sendReply(s, "200 OK");
}
static void replySystem(FtpSession* s, const std::string&) {
    sendReply(s, "215 tarnLoader 1.0.5");
}
static void replyType(FtpSession* s, const std::string&) {
    sendReply(s, "200 Type set to I");
}
static void replyUser(FtpSession* s, const std::string&) {
    sendReply(s, "331 Login accepted");
}
static void replyUnrecognised(FtpSession* s, const std::string&) {
    sendReply(s, "500 Command not recognized");
}
static void replySyntaxError(FtpSession* s, const std::string&) {
    sendReply(s, "501 Syntax error in parameters or arguments.");
}
static void replyGoodbye(FtpSession* s, const std::string&) {
    sendReply(s, "221 Goodbye");
}
static void logIn(FtpSession* s, const std::string&) {
    sendReply(s, "230 User logged in");
    printConsole(ConsoleStream::kOutput, "\nChassis accessing package.");
}
static void replyToCwd(FtpSession* s, char* path) {
    sendReply(s, changeDirectory(s, path) ? "250 CWD command successful"
                                          : "550 Could not change directory");
}
static void changeWorkingDirectory(FtpSession* s, const std::string&) {
    replyToCwd(s, s->argumentText);
}
static void printWorkingDirectory(FtpSession* s, const std::string&) {
    sendWorkingDirectory(s);
}
static void passive(FtpSession* s, const std::string&) {
    enterPassiveMode(s);
}
static void port(FtpSession* s, const std::string&) {
    storePortTarget(s, s->argumentText);
}
static void list(FtpSession* s, const std::string& path) {
    sendListing(s, path, true, false);
}
static void nameList(FtpSession* s, const std::string& path) {
    sendListing(s, path, false, false);
}
static void status(FtpSession* s, const std::string& path) {
    sendListing(s, path, true, true);
}
static void retrieve(FtpSession* s, const std::string& path) {
    printConsole(ConsoleStream::kOutput, "Reading.");
    sendFile(s, path);
}
static void store(FtpSession* s, const std::string& path) {
    receiveFile(s, path);
}
static void modificationTime(FtpSession* s, const std::string& path) {
    sendFileInfo(s, path, false);
}
static void size(FtpSession* s, const std::string& path) {
    sendFileInfo(s, path, true);
}
static void dele(FtpSession* s, const std::string& path) {
    deleteFile(s, path);
}
static void makeDir(FtpSession* s, const std::string& path) {
    createDirectory(s, path);
}
static void removeDir(FtpSession* s, const std::string& path) {
    deleteDirectory(s, path);
}
static void renameFrom(FtpSession* s, const std::string& path) {
    storeRenameSource(s, path);
}
static void renameTo(FtpSession* s, const std::string& path) {
    renameToTarget(s, path);
}

static void changeToParent(FtpSession* s, const std::string&) {
    char parent[] = "..";
    replyToCwd(s, parent);
}
static void extendedPassive(FtpSession* s, const std::string&) {
    enterExtendedPassiveMode(s, s->argumentText);
}
static void extendedPort(FtpSession* s, const std::string&) {
    storeExtendedPortTarget(s, s->argumentText);
}

// Exactly what works, built once.
static const char kFeatures[] =
    "211-Features:\r\n"
    " EPRT\r\n"
    " EPSV\r\n"
    " MDTM\r\n"
    " MLST type*;size*;modify*;\r\n"
    " REST STREAM\r\n"
    " SIZE\r\n"
    " UTF8\r\n"
    "211 End";

static void replyFeatures(FtpSession* s, const std::string&) {
    sendMultilineReply(s, kFeatures);
}
// Names pass through as bytes whichever way UTF8 is set.
static void setOption(FtpSession* s, const std::string&) {
    bool isUtf8 = equalsIgnoringCase(s->argumentText, "UTF8 ON") ||
                  equalsIgnoringCase(s->argumentText, "UTF8 OFF");
    sendReply(s, isUtf8 ? "200 OK" : "501 Option not understood");
}
static void machineListing(FtpSession* s, const std::string& path) {
    sendMachineListing(s, path);
}
static void entryFacts(FtpSession* s, const std::string& path) {
    sendEntryFacts(s, path);
}

// REST STREAM: decimal digits only, 0 to 2^63 - 1.
static int parseRestartOffset(const char* argument, long long* offset) {
    constexpr long long kLargest = 0x7fffffffffffffffLL;
    if (argument[0] == '\0') {
        return -1;
    }
    long long value = 0;
    for (const char* c = argument; *c != '\0'; c++) {
        int digit = *c - '0';
        if (digit < 0 || digit > 9 || value > (kLargest - digit) / 10) {
            return -1;
        }
        value = value * 10 + digit;
    }
    *offset = value;
    return 0;
}

static void restart(FtpSession* s, const std::string&) {
    long long offset = 0;
    if (parseRestartOffset(s->argumentText, &offset) != 0) {
        s->restartOffset = 0;
        sendReply(s, "501 Invalid REST argument");
        return;
    }
    s->restartOffset = offset;
    char reply[kReplyTextSize];
    std::snprintf(reply, sizeof reply, "350 Restarting at %lld", offset);
    sendReply(s, reply);
}

static const char kDenied[] = "550 Permission denied";

// One row per code, in code order; the last two answer unrecognised verbs and bad arguments.
// DELE and RNFR are not gated: the read-only setting does not cover them, and clients rely on
// that.
static const DispatchRow kDispatchTable[kCodeBadArgument + 1] = {
    {nullptr, Argument::kIgnored, replyAborted},                // ABOR
    {nullptr, Argument::kIgnored, changeWorkingDirectory},      // CWD
    {nullptr, Argument::kRequiredPath, dele},                   // DELE
    {nullptr, Argument::kListOptions, list},                    // LIST
    {nullptr, Argument::kRequiredPath, modificationTime},       // MDTM
    {kDenied, Argument::kRequiredPath, makeDir},                // MKD
    {nullptr, Argument::kIgnored, replyNotImplemented},         // MODE
    {nullptr, Argument::kListOptions, nameList},                // NLST
    {nullptr, Argument::kIgnored, replyOk},                     // NOOP
    {nullptr, Argument::kIgnored, logIn},                       // PASS
    {nullptr, Argument::kIgnored, passive},                     // PASV
    {nullptr, Argument::kIgnored, port},                        // PORT
    {nullptr, Argument::kIgnored, printWorkingDirectory},       // PWD
    {nullptr, Argument::kIgnored, replyGoodbye},                // QUIT
    {nullptr, Argument::kIgnored, restart},                     // REST
    {nullptr, Argument::kRequiredPath, retrieve},               // RETR
    {kDenied, Argument::kRequiredPath, removeDir},              // RMD
    {nullptr, Argument::kRequiredPath, renameFrom},             // RNFR
    {kDenied, Argument::kRenameTarget, renameTo},               // RNTO
    {nullptr, Argument::kRequiredPath, size},                   // SIZE
    {nullptr, Argument::kListOptions, status},                  // STAT
    {"553 Permission denied", Argument::kRequiredPath, store},  // STOR
    {nullptr, Argument::kIgnored, replySystem},                 // SYST
    {nullptr, Argument::kIgnored, replyType},                   // TYPE
    {nullptr, Argument::kIgnored, replyUser},                   // USER
    {kDenied, Argument::kRequiredPath, makeDir},                // XMKD
    {nullptr, Argument::kIgnored, printWorkingDirectory},       // XPWD
    {kDenied, Argument::kRequiredPath, removeDir},              // XRMD
    {nullptr, Argument::kIgnored, changeToParent},              // CDUP
    {nullptr, Argument::kIgnored, extendedPort},                // EPRT
    {nullptr, Argument::kIgnored, extendedPassive},             // EPSV
    {nullptr, Argument::kIgnored, replyFeatures},               // FEAT
    {nullptr, Argument::kListPattern, machineListing},          // MLSD
    {nullptr, Argument::kListPattern, entryFacts},              // MLST
    {nullptr, Argument::kIgnored, setOption},                   // OPTS
    {nullptr, Argument::kIgnored, changeToParent},              // XCUP
    {nullptr, Argument::kIgnored, replyUnrecognised},           // unrecognised
    {nullptr, Argument::kIgnored, replySyntaxError},            // a control byte in the argument
};

// Resolves the argument as the row asks. Returns false after the reply when the path is
// refused, or missing where the verb needs one.
static bool resolveArgument(FtpSession* session, Argument argument, std::string* resolvedPath) {
    int refused = argument == Argument::kListOptions
                      ? resolveListingArgument(session, session->argumentText, resolvedPath)
                      : resolvePath(session, session->argumentText, resolvedPath);
    bool isList = argument == Argument::kListPattern || argument == Argument::kListOptions;
    if ((isList && refused != 0) ||
        (argument == Argument::kRequiredPath && resolvedPath->empty())) {
        sendReply(session, "550 Path permission error");
        return false;
    }
    return true;
}

static void answer(FtpSession* session, CommandCode code, std::string* resolvedPath) {
    const DispatchRow& row = kDispatchTable[code];
    if (row.gateReply != nullptr && serverSettings.readOnly) {
        sendReply(session, row.gateReply);
        return;
    }
    if (row.argument != Argument::kIgnored &&
        !resolveArgument(session, row.argument, resolvedPath)) {
        return;
    }
    row.work(session, *resolvedPath);
}

// A REST marker holds for the one transfer or listing that follows it, however that ends.
static bool usesRestartMarker(CommandCode code) {
    return code == kCodeRetr || code == kCodeStor || code == kCodeList || code == kCodeNlst ||
           code == kCodeMlsd;
}

bool dispatchCommand(FtpSession* session, CommandCode code, std::string* resolvedPath) {
    if (code < 0 || code > kCodeBadArgument) {
        return false;
    }
    // A new RNFR replaces the source even when it is refused before its work runs, so that
    // RNTO never renames an entry the client had moved on from.
    if (code == kCodeRnfr) {
        session->renameSource[0] = '\0';
    }
    answer(session, code, resolvedPath);
    if (usesRestartMarker(code)) {
        session->restartOffset = 0;
    }
    return code != kCodeQuit;
}
