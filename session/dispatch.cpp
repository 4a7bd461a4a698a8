// session/dispatch.cpp: the dispatch table of the 28 verbs.
#include "session/dispatch.h"

#include "app/settings.h"
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
    kIgnored,        // not resolved
    kListPattern,    // resolved; a refused path is answered, an empty one lists the directory
    kRequiredPath,   // resolved; an empty or refused path is answered
    kRenameTarget,   // resolved; passed on even when empty
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
static void replyGoodbye(FtpSession* s, const std::string&) {
    sendReply(s, "221 Goodbye");
}
static void logIn(FtpSession* s, const std::string&) {
    sendReply(s, "230 User logged in");
    printConsole(ConsoleStream::kOutput, "\nChassis accessing package.");
}
static void changeWorkingDirectory(FtpSession* s, const std::string&) {
    sendReply(s, changeDirectory(s, s->argumentText) ? "250 CWD command successful"
                                                     : "550 Could not change directory");
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
    sendFile(s, path.c_str());
}
static void store(FtpSession* s, const std::string& path) {
    receiveFile(s, path.c_str());
}
static void modificationTime(FtpSession* s, const std::string& path) {
    sendFileInfo(s, path.c_str(), false);
}
static void size(FtpSession* s, const std::string& path) {
    sendFileInfo(s, path.c_str(), true);
}
static void dele(FtpSession* s, const std::string& path) {
    deleteFile(s, path.c_str());
}
static void makeDir(FtpSession* s, const std::string& path) {
    createDirectory(s, path.c_str());
}
static void removeDir(FtpSession* s, const std::string& path) {
    deleteDirectory(s, path.c_str());
}
static void renameFrom(FtpSession* s, const std::string& path) {
    storeRenameSource(s, path.c_str());
}
static void renameTo(FtpSession* s, const std::string& path) {
    renameToTarget(s, path);
}

static const char kDenied[] = "550 Permission denied";

// One row per code, in code order; the last row answers unrecognised verbs. DELE and RNFR
// are not gated: the read-only setting has never covered them, and clients rely on that.
static const DispatchRow kDispatchTable[kCommandCount + 1] = {
    {nullptr, Argument::kIgnored, replyAborted},                 // ABOR
    {nullptr, Argument::kIgnored, changeWorkingDirectory},       // CWD
    {nullptr, Argument::kRequiredPath, dele},                    // DELE
    {nullptr, Argument::kListPattern, list},                     // LIST
    {nullptr, Argument::kRequiredPath, modificationTime},        // MDTM
    {kDenied, Argument::kRequiredPath, makeDir},                 // MKD
    {nullptr, Argument::kIgnored, replyNotImplemented},          // MODE
    {nullptr, Argument::kListPattern, nameList},                 // NLST
    {nullptr, Argument::kIgnored, replyOk},                      // NOOP
    {nullptr, Argument::kIgnored, logIn},                        // PASS
    {nullptr, Argument::kIgnored, passive},                      // PASV
    {nullptr, Argument::kIgnored, port},                         // PORT
    {nullptr, Argument::kIgnored, printWorkingDirectory},        // PWD
    {nullptr, Argument::kIgnored, replyGoodbye},                 // QUIT
    {nullptr, Argument::kIgnored, replyNotImplemented},          // REST
    {nullptr, Argument::kRequiredPath, retrieve},                // RETR
    {kDenied, Argument::kRequiredPath, removeDir},               // RMD
    {nullptr, Argument::kRequiredPath, renameFrom},              // RNFR
    {kDenied, Argument::kRenameTarget, renameTo},                // RNTO
    {nullptr, Argument::kRequiredPath, size},                    // SIZE
    {nullptr, Argument::kListPattern, status},                   // STAT
    {"553 Permission denied", Argument::kRequiredPath, store},   // STOR
    {nullptr, Argument::kIgnored, replySystem},                  // SYST
    {nullptr, Argument::kIgnored, replyType},                    // TYPE
    {nullptr, Argument::kIgnored, replyUser},                    // USER
    {kDenied, Argument::kRequiredPath, makeDir},                 // XMKD
    {nullptr, Argument::kIgnored, printWorkingDirectory},        // XPWD
    {kDenied, Argument::kRequiredPath, removeDir},               // XRMD
    {nullptr, Argument::kIgnored, replyUnrecognised},            // unrecognised
};

bool dispatchCommand(FtpSession* session, CommandCode code, std::string* resolvedPath) {
    if (code < 0 || code > kCodeUnrecognised) {
        return false;
    }
    const DispatchRow& row = kDispatchTable[code];
    if (row.gateReply != nullptr && serverSettings.readOnly) {
        sendReply(session, row.gateReply);
        return true;
    }
    if (row.argument != Argument::kIgnored) {
        int refused = resolvePath(session, session->argumentText, resolvedPath);
        bool answered = (row.argument == Argument::kListPattern && refused != 0) ||
                        (row.argument == Argument::kRequiredPath && resolvedPath->empty());
        if (answered) {
            sendReply(session, "550 Path permission error");
            return true;
        }
    }
    row.work(session, *resolvedPath);
    return code != kCodeQuit;
}
