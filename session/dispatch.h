// session/dispatch.h: the verb table, one row for each verb the server answers, and the answer
// to one command.
#pragma once

#include <string>

struct FtpSession;

// How a verb's argument is used before its work runs.
enum class Argument {
    kIgnored,       // not resolved
    kListPattern,   // resolved; a refused path is answered, an empty one lists the directory
    kListOptions,   // as kListPattern, after leading ls options are taken off
    kRequiredPath,  // resolved; an empty or refused path is answered
    kRenameTarget,  // resolved; passed on even when empty
};

// What a verb does besides its work.
constexpr unsigned kEndsSession = 0x1;        // the session ends after the reply (QUIT)
constexpr unsigned kUsesRestartMarker = 0x2;  // a REST marker holds for this command only
constexpr unsigned kNamesRenameSource = 0x4;  // replaces the rename source, even when refused
constexpr unsigned kMovesFile = 0x8;          // RETR, STOR, APPE: reported by "-status"
constexpr unsigned kReceivesFile = 0x80;      // STOR, APPE
// session/security.h adds the flags of the login and TLS gates.

struct Verb {
    const char* name;       // three or four upper-case letters; nullptr for the rows below
    const char* gateReply;  // sent instead of the work while the server is read-only
    Argument argument;
    void (*work)(FtpSession* session, const std::string& path);  // nullptr: reply is all
    unsigned flags;
    const char* reply = nullptr;  // the whole answer of a verb without work
};

// Answers for a line whose verb the table lacks, and for a known verb whose argument holds a
// control byte.
extern const Verb kUnrecognisedVerb;
extern const Verb kRefusedArgument;
// The same answer for RETR, and for STOR and APPE, so that the refusal is reported as theirs.
extern const Verb kRefusedDownloadArgument;
extern const Verb kRefusedUploadArgument;

// The row of an upper-case verb: the first equal in at most four characters (so STORE is
// STOR, while CWDX is nothing), or nullptr.
const Verb* lookUpVerb(const char* name);

// Answers verb with its argument (in the session's argumentText): the read-only gate, the
// argument's resolution into resolvedPath, the empty test, then the work. Returns false when
// the session ends after the reply.
bool dispatchCommand(FtpSession* session, const Verb* verb, std::string* resolvedPath);
