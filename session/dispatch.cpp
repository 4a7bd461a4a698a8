// session/dispatch.cpp: the verb table and the answer to one command.
#include "session/dispatch.h"

#include <cstdio>
#include <cstring>

#include "app/settings.h"
#include "base/text.h"
#include "fs/checksums.h"
#include "fs/file_operations.h"
#include "fs/listing.h"
#include "fs/resolve_path.h"
#include "fs/transfer.h"
#include "fs/working_directory.h"
#include "platform/platform.h"
#include "session/console_sink.h"
#include "session/data_connection.h"
#include "session/operator_status.h"
#include "session/reply.h"
#include "session/security.h"
#include "session/session.h"
#include "session/transfer_runner.h"

static void replyUser(FtpSession* s, const std::string&) {
    takeUserName(s, s->argumentText);
}
static void logIn(FtpSession* s, const std::string&) {
    checkPassword(s, s->argumentText);
}
static void authenticate(FtpSession* s, const std::string&) {
    startControlTls(s, s->argumentText);
}
static void protectionBuffer(FtpSession* s, const std::string&) {
    setProtectionBufferSize(s, s->argumentText);
}
static void protection(FtpSession* s, const std::string&) {
    setProtectionLevel(s, s->argumentText);
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
    consoleSink.printUntimed(ConsoleStream::kOutput, "Reading.");
    sendFile(s, path);
}
static void store(FtpSession* s, const std::string& path) {
    receiveFile(s, path);
}
static void append(FtpSession* s, const std::string& path) {
    appendToFile(s, path);
}
static void modificationTime(FtpSession* s, const std::string& path) {
    sendFileInfo(s, path, false);
}
static void size(FtpSession* s, const std::string& path) {
    s->hasAskedSize = true;
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

// Exactly what works, in alphabetical order; with TLS offered, its verbs too (RFC 4217). The
// HASH line marks the session's choice (draft-bryan-ftp-hash).
static void replyFeatures(FtpSession* s, const std::string&) {
    char hash[64];
    writeHashFeature(s, hash, sizeof hash);
    bool tls = serverSettings.tls;
    char features[512];
    std::snprintf(features, sizeof features,
                  "211-Features:\r\n%s EPRT\r\n EPSV\r\n %s\r\n MDTM\r\n"
                  " MLST type*;size*;modify*;\r\n%s REST STREAM\r\n SIZE\r\n UTF8\r\n XCRC\r\n"
                  " XMD5\r\n XSHA1\r\n XSHA256\r\n211 End",
                  tls ? " AUTH TLS\r\n" : "", hash, tls ? " PBSZ\r\n PROT\r\n" : "");
    sendMultilineReply(s, features);
}
// "HASH", alone or with an argument, in any case.
static bool isHashOption(const char* argument) {
    std::size_t length = std::strlen(argument);
    if (length < 4 || (length > 4 && argument[4] != ' ')) {
        return false;
    }
    char option[5] = {argument[0], argument[1], argument[2], argument[3], '\0'};
    return equalsIgnoringCase(option, "HASH");
}

// Names pass through as bytes whichever way UTF8 is set.
static void setOption(FtpSession* s, const std::string&) {
    if (isHashOption(s->argumentText)) {
        chooseHash(s, s->argumentText[4] == ' ' ? s->argumentText + 5 : "");
        return;
    }
    bool isUtf8 = equalsIgnoringCase(s->argumentText, "UTF8 ON") ||
                  equalsIgnoringCase(s->argumentText, "UTF8 OFF");
    sendReply(s, isUtf8 ? "200 OK" : "501 Option not understood");
}
static void hash(FtpSession* s, const std::string& path) {
    replyHash(s, path);
}
static void sha256(FtpSession* s, const std::string& path) {
    replyDigest(s, path, DigestKind::kSha256);
}
static void sha1(FtpSession* s, const std::string& path) {
    replyDigest(s, path, DigestKind::kSha1);
}
static void md5(FtpSession* s, const std::string& path) {
    replyDigest(s, path, DigestKind::kMd5);
}
static void crc(FtpSession* s, const std::string& path) {
    replyDigest(s, path, DigestKind::kCrc32);
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

// The 28 verbs of the chassis's own design, then the extensions today's clients use, then FTP
// over TLS (RFC 4217). A verb is looked up in this order. DELE and RNFR are not gated: the
// read-only setting does not cover them, and clients rely on that.
static const Verb kVerbs[] = {
    {"ABOR", nullptr, Argument::kIgnored, nullptr, 0, "226 Aborted"},
    {"CWD", nullptr, Argument::kIgnored, changeWorkingDirectory, 0},
    {"DELE", nullptr, Argument::kRequiredPath, dele, 0},
    {"LIST", nullptr, Argument::kListOptions, list, kUsesRestartMarker | kOpensDataConnection},
    {"MDTM", nullptr, Argument::kRequiredPath, modificationTime, 0},
    {"MKD", kDenied, Argument::kRequiredPath, makeDir, 0},
    {"MODE", nullptr, Argument::kIgnored, nullptr, 0, "500 Command not implemented"},
    {"NLST", nullptr, Argument::kListOptions, nameList, kUsesRestartMarker | kOpensDataConnection},
    {"NOOP", nullptr, Argument::kIgnored, nullptr, kRunsBeforeLogin, "200 OK"},
    {"PASS", nullptr, Argument::kIgnored, logIn, kRunsBeforeLogin | kIsLogin},
    {"PASV", nullptr, Argument::kIgnored, passive, 0},
    {"PORT", nullptr, Argument::kIgnored, port, 0},
    {"PWD", nullptr, Argument::kIgnored, printWorkingDirectory, 0},
    {"QUIT", nullptr, Argument::kIgnored, nullptr, kEndsSession | kRunsBeforeLogin, "221 Goodbye"},
    {"REST", nullptr, Argument::kIgnored, restart, 0},
    {"RETR", nullptr, Argument::kRequiredPath, retrieve,
     kUsesRestartMarker | kOpensDataConnection | kMovesFile},
    {"RMD", kDenied, Argument::kRequiredPath, removeDir, 0},
    {"RNFR", nullptr, Argument::kRequiredPath, renameFrom, kNamesRenameSource},
    {"RNTO", kDenied, Argument::kRenameTarget, renameTo, 0},
    {"SIZE", nullptr, Argument::kRequiredPath, size, 0},
    {"STAT", nullptr, Argument::kListOptions, status, 0},
    {"STOR", "553 Permission denied", Argument::kRequiredPath, store,
     kUsesRestartMarker | kOpensDataConnection | kMovesFile | kReceivesFile},
    {"SYST", nullptr, Argument::kIgnored, nullptr, kRunsBeforeLogin, "215 tarnLoader 1.0.5"},
    {"TYPE", nullptr, Argument::kIgnored, nullptr, 0, "200 Type set to I"},
    {"USER", nullptr, Argument::kIgnored, replyUser, kRunsBeforeLogin | kIsLogin},
    {"XMKD", kDenied, Argument::kRequiredPath, makeDir, 0},
    {"XPWD", nullptr, Argument::kIgnored, printWorkingDirectory, 0},
    {"XRMD", kDenied, Argument::kRequiredPath, removeDir, 0},
    {"APPE", "553 Permission denied", Argument::kRequiredPath, append,
     kUsesRestartMarker | kOpensDataConnection | kMovesFile | kReceivesFile},
    {"CDUP", nullptr, Argument::kIgnored, changeToParent, 0},
    {"EPRT", nullptr, Argument::kIgnored, extendedPort, 0},
    {"EPSV", nullptr, Argument::kIgnored, extendedPassive, 0},
    {"FEAT", nullptr, Argument::kIgnored, replyFeatures, kRunsBeforeLogin},
    {"MLSD", nullptr, Argument::kListPattern, machineListing,
     kUsesRestartMarker | kOpensDataConnection},
    {"MLST", nullptr, Argument::kListPattern, entryFacts, 0},
    {"OPTS", nullptr, Argument::kIgnored, setOption, kRunsBeforeLogin},
    {"XCUP", nullptr, Argument::kIgnored, changeToParent, 0},
    {"HASH", nullptr, Argument::kRequiredPath, hash, 0},
    {"XCRC", nullptr, Argument::kRequiredPath, crc, 0},
    {"XMD5", nullptr, Argument::kRequiredPath, md5, 0},
    {"XSHA1", nullptr, Argument::kRequiredPath, sha1, 0},
    {"XSHA256", nullptr, Argument::kRequiredPath, sha256, 0},
    {"AUTH", nullptr, Argument::kIgnored, authenticate, kRunsBeforeLogin},
    {"PBSZ", nullptr, Argument::kIgnored, protectionBuffer, kRunsBeforeLogin},
    {"PROT", nullptr, Argument::kIgnored, protection, kRunsBeforeLogin},
    // CCC would drop back to clear text, which the server never offers.
    {"CCC", nullptr, Argument::kIgnored, nullptr, kRunsBeforeLogin, "502 Command not implemented"},
};

static const char kSyntaxError[] = "501 Syntax error in parameters or arguments.";
const Verb kUnrecognisedVerb = {nullptr, nullptr,          Argument::kIgnored,
                                nullptr, kRunsBeforeLogin, "500 Command not recognized"};
const Verb kRefusedArgument = {nullptr, nullptr,          Argument::kIgnored,
                               nullptr, kRunsBeforeLogin, kSyntaxError};
const Verb kRefusedDownloadArgument = {
    nullptr, nullptr, Argument::kIgnored, nullptr, kRunsBeforeLogin | kMovesFile, kSyntaxError};
const Verb kRefusedUploadArgument = {nullptr,
                                     nullptr,
                                     Argument::kIgnored,
                                     nullptr,
                                     kRunsBeforeLogin | kMovesFile | kReceivesFile,
                                     kSyntaxError};

const Verb* lookUpVerb(const char* name) {
    for (const Verb& verb : kVerbs) {
        // The first four letters name a verb, as they always have; a longer name (XSHA256)
        // only whole.
        bool isLong = verb.name[3] != '\0' && verb.name[4] != '\0';
        if (isLong ? std::strcmp(name, verb.name) == 0 : std::strncmp(name, verb.name, 4) == 0) {
            return &verb;
        }
    }
    return nullptr;
}

// Resolves the argument as the row asks. Returns false after the reply when the path is
// refused, or missing where the verb needs one.
static bool resolveArgument(FtpSession* session, Argument argument, std::string* resolvedPath) {
    int refused = argument == Argument::kListOptions
                      ? resolveListingArgument(session, session->argumentText, resolvedPath)
                      : resolvePath(session, session->argumentText, resolvedPath);
    if (refused == kUploadPathResult) {
        setLastError(ErrorKind::kNotFound);
        sendErrorReply(session);
        return false;
    }
    bool isList = argument == Argument::kListPattern || argument == Argument::kListOptions;
    if ((isList && refused != 0) ||
        (argument == Argument::kRequiredPath && resolvedPath->empty())) {
        sendReply(session, "550 Path permission error");
        return false;
    }
    return true;
}

// Returns whether the work ran; when not, the refusal has been answered.
static bool answer(FtpSession* session, const Verb* verb, std::string* resolvedPath) {
    const char* refusal = refusalBeforeWork(session, verb->flags);
    if (refusal != nullptr) {
        sendReply(session, refusal);
        if ((verb->flags & kIsLogin) != 0) {
            // SECURITY: USER's argument is the name; PASS's is the password, never shown.
            reportLoginRefused(
                session,
                std::strcmp(verb->name, "USER") == 0 ? session->argumentText : session->userName,
                refusal);
        }
        return false;
    }
    if (verb->gateReply != nullptr && serverSettings.readOnly) {
        sendReply(session, verb->gateReply);
        return false;
    }
    if (verb->argument != Argument::kIgnored &&
        !resolveArgument(session, verb->argument, resolvedPath)) {
        return false;
    }
    if (verb->work != nullptr) {
        verb->work(session, *resolvedPath);
    } else {
        sendReply(session, verb->reply);
    }
    return true;
}

// The rename source as RNTO's line names it, below the root as the other paths are, before
// RNTO uses it up; nullptr for any other verb.
static const char* keepRenameSource(const FtpSession* session, const Verb* verb, char* out,
                                    std::size_t outSize) {
    if (verb->argument != Argument::kRenameTarget || session->renameSource[0] == '\0') {
        return nullptr;
    }
    (void)copyText(out, outSize, session->renameSource + 1);  // as long as the source
    return out;
}

bool dispatchCommand(FtpSession* session, const Verb* verb, std::string* resolvedPath) {
    // A verb that resolves nothing must not name the path of the command before it.
    resolvedPath->clear();
    char source[kClientPathSize];
    const char* renamed = keepRenameSource(session, verb, source, sizeof source);
    // RNTO must never rename an entry the client has moved on from, so the old source goes
    // even when the new one is refused before the work runs.
    if ((verb->flags & kNamesRenameSource) != 0) {
        session->renameSource[0] = '\0';
    }
    // A transfer refused before its work (a read-only server's STOR, a path outside the root,
    // a name with a control byte) is the operator's business as much as one the work refuses.
    // An upload (its copy of a resumed file, its writes, its commit) runs as any thread does:
    // yielding to wakers, a 1 GiB upload took up to three times as long on Linux, nearly all of
    // it in the kernel's copy of the bytes into the page cache. Downloads measured alike.
    bool isUpload = (verb->flags & kReceivesFile) != 0;
    if (isUpload) {
        setYieldingToWakers(false);
    }
    bool workRan = answer(session, verb, resolvedPath);
    if (isUpload) {
        setYieldingToWakers(true);
    }
    reportCommandEnd(session, verb->name, resolvedPath->empty() ? nullptr : resolvedPath->c_str(),
                     renamed);
    if ((verb->flags & kMovesFile) != 0 && (!workRan || verb->name == nullptr)) {
        refuseTransfer(
            session,
            (verb->flags & kReceivesFile) != 0 ? TransferKind::kUpload : TransferKind::kDownload,
            nullptr, nullptr);
    }
    // A REST marker holds for the one transfer or listing that follows it, however it ends.
    if ((verb->flags & kUsesRestartMarker) != 0) {
        session->restartOffset = 0;
    }
    return (verb->flags & kEndsSession) == 0 && !session->isEnding;
}
