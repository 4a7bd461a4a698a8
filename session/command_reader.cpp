// session/command_reader.cpp: line assembly, verb and argument, and the receive loop.
#include "session/command_reader.h"

#include <algorithm>
#include <cstring>

#include "base/text.h"
#include "platform/platform.h"
#include "session/channel.h"
#include "session/console_sink.h"
#include "session/data_connection.h"
#include "session/operator_status.h"
#include "session/reply.h"
#include "session/time_limits.h"

void appendCommandBytes(CommandReader* reader, const char* data, std::size_t count) {
    if (count == 0) {
        return;
    }
    // An LF right after a CR belongs to that line end, even when it arrives in a later
    // segment; treating it as an empty line would answer a command nobody sent.
    if (reader->skipLineFeed && data[0] == '\n') {
        data++;
        count--;
    }
    reader->skipLineFeed = false;
    std::size_t room = sizeof reader->held - reader->heldLength;
    // SECURITY: never write past the held buffer, whatever the caller passes.
    if (count > room) {
        count = room;
    }
    std::memcpy(reader->held + reader->heldLength, data, count);
    reader->heldLength += count;
}

int takeCommandLine(CommandReader* reader, char* line, std::size_t* lineLength) {
    std::size_t end = 0;
    while (end < reader->heldLength && reader->held[end] != '\r' && reader->held[end] != '\n') {
        end++;
    }
    if (end == reader->heldLength) {
        return reader->heldLength == sizeof reader->held ? -1 : 0;
    }
    std::memcpy(line, reader->held, end);
    *lineLength = end;
    std::size_t consumed = end + 1;
    if (reader->held[end] == '\r') {
        if (consumed < reader->heldLength) {
            if (reader->held[consumed] == '\n') {
                consumed++;
            }
        } else {
            reader->skipLineFeed = true;
        }
    }
    reader->heldLength -= consumed;
    std::memmove(reader->held, reader->held + consumed, reader->heldLength);
    return 1;
}

// Telnet's command bytes (RFC 854).
constexpr unsigned char kTelnetInterpretAsCommand = 255;
constexpr unsigned char kTelnetFirstOptionVerb = 251;  // WILL, WONT, DO, DONT: 251 to 254
constexpr unsigned char kTelnetFirstCommand = 240;

std::size_t stripTelnetCommands(char* line, std::size_t length) {
    std::size_t kept = 0;
    std::size_t i = 0;
    while (i < length) {
        unsigned char byte = static_cast<unsigned char>(line[i]);
        // The DM of "IAC DM" arrives alone when its IAC went as TCP urgent data; no verb
        // starts with a byte this high.
        if (kept == 0 && byte >= kTelnetFirstCommand && byte != kTelnetInterpretAsCommand) {
            i++;
            continue;
        }
        if (byte != kTelnetInterpretAsCommand) {
            line[kept++] = line[i++];
            continue;
        }
        unsigned char next = i + 1 < length ? static_cast<unsigned char>(line[i + 1]) : 0;
        if (next == byte || next < kTelnetFirstCommand) {
            // IAC IAC is the byte 255 itself; before any other byte IAC is no Telnet command
            // (a name that is not UTF-8), and both stay as the client sent them.
            line[kept++] = line[i++];
            if (next == byte) {
                i++;
            }
            continue;
        }
        bool hasOption =
            i + 1 < length && static_cast<unsigned char>(line[i + 1]) >= kTelnetFirstOptionVerb;
        i += hasOption ? 3 : 2;
    }
    return kept;
}

// The verb of a line: up to five letters, upper-cased; or, where the letters and digits that
// begin the line name one of the longer verbs (XMD5, XSHA256) and end the line or meet a
// space, that verb. Returns how many characters it took. Any other line is read as it always
// was, so that XMKDIR stays XMKD without an argument.
static std::size_t takeVerb(const char* line, std::size_t lineLength, char* verb) {
    std::size_t length = 0;
    std::size_t letters = 0;  // before the first digit
    while (length < kVerbTextSize - 1 && length < lineLength &&
           (isAsciiLetter(static_cast<unsigned char>(line[length])) ||
            (length > 0 && line[length] >= '0' && line[length] <= '9'))) {
        char letter = line[length];
        verb[length] = (letter >= 'a' && letter <= 'z') ? static_cast<char>(letter - 32) : letter;
        letters += letters == length && letter > '9' ? 1 : 0;
        length++;
    }
    if (length > kVerbLetters || letters < length) {
        verb[length] = '\0';
        const Verb* found = lookUpVerb(verb);
        if ((length == lineLength || line[length] == ' ') && found != nullptr &&
            std::strcmp(found->name, verb) == 0) {
            return length;
        }
    }
    letters = std::min(letters, kVerbLetters);
    verb[letters] = '\0';
    return letters;
}

bool holdsAbortCommand(const CommandReader* reader) {
    std::size_t start = 0;
    for (std::size_t end = 0; end < reader->heldLength; end++) {
        if (reader->held[end] != '\r' && reader->held[end] != '\n') {
            continue;
        }
        char line[kCommandBufferSize];
        std::size_t length = end - start;
        std::memcpy(line, reader->held + start, length);
        length = stripTelnetCommands(line, length);
        char verb[kVerbTextSize];
        (void)takeVerb(line, length, verb);
        const Verb* found = lookUpVerb(verb);
        if (found != nullptr && std::strcmp(found->name, "ABOR") == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

const Verb* parseCommandLine(const char* received, std::size_t receivedLength, char* argumentText,
                             std::size_t argumentSize, const char* echoPrefix) {
    // Room for a verb and the longest argument kept, whatever the line's length.
    char line[kCommandBufferSize + kVerbTextSize];
    std::size_t lineLength = receivedLength < sizeof line ? receivedLength : sizeof line;
    std::memcpy(line, received, lineLength);
    lineLength = stripTelnetCommands(line, lineLength);
    char verb[kVerbTextSize];
    std::size_t letters = takeVerb(line, lineLength, verb);
    std::size_t length = 0;
    bool hasControlByte = false;
    if (letters < lineLength && line[letters] == ' ') {
        // Names are bytes (UTF-8 as clients send them), so every byte from 32 up is kept. A
        // control byte is refused rather than taken as the argument's end: acting on the
        // part before it would change or remove a file the client never named.
        for (std::size_t i = letters + 1; i < lineLength && length + 1 < argumentSize; i++) {
            unsigned char byte = static_cast<unsigned char>(line[i]);
            if (byte < 32) {
                hasControlByte = true;
                break;
            }
            argumentText[length++] = static_cast<char>(byte);
        }
    }
    argumentText[length] = '\0';
    const Verb* found = lookUpVerb(verb);
    // SECURITY: a password never reaches the console, where others may read it. The row the
    // look-up found decides, as it decides what runs: "PASSW" is PASS too.
    bool isPassword = found != nullptr && std::strcmp(found->name, "PASS") == 0;
    consoleSink.echoCommand(echoPrefix, verb, isPassword ? "****" : argumentText);
    if (found == nullptr) {
        printConsole(ConsoleStream::kError, "%sUnknown ftp command '%s'\n", echoPrefix, verb);
        return &kUnrecognisedVerb;
    }
    if (!hasControlByte) {
        return found;
    }
    if ((found->flags & kMovesFile) == 0) {
        return &kRefusedArgument;
    }
    // The operator's line for a refused transfer shows the name it asked for whole, escaped as
    // always; the echo above kept the text before the control byte, and the refusal never
    // uses the name as a path.
    for (std::size_t i = letters + 1 + length; i < lineLength && length + 1 < argumentSize; i++) {
        argumentText[length++] = line[i];
    }
    argumentText[length] = '\0';
    return (found->flags & kReceivesFile) != 0 ? &kRefusedUploadArgument
                                               : &kRefusedDownloadArgument;
}

// How long one wait for a command lasts when no limit ends it: it only starts the next.
constexpr int kUnlimitedWaitSliceMilliseconds = 60 * 1000;

// Waits for the client's next bytes, at most wait milliseconds (0: for ever). Returns 1 when
// they came (or the connection ended, which the receive tells), 0 when the time ran out. While
// the passive listener is announced, the connections to it are taken as they arrive.
static int waitForCommandBytes(FtpSession* session, int wait) {
    if (!isAwaitingPassiveConnection(session)) {
        return wait > 0 ? waitForControlBytes(session, wait) : 1;
    }
    long long deadline = monotonicMilliseconds() + wait;
    for (;;) {
        // What TLS holds already was received; the socket may have nothing more to say.
        if (session->controlTls != nullptr && hasReceivedTlsBytes(session->controlTls)) {
            return 1;
        }
        long long remaining =
            wait > 0 ? deadline - monotonicMilliseconds() : kUnlimitedWaitSliceMilliseconds;
        if (remaining <= 0) {
            return 0;
        }
        int ready = waitForEither(session->passiveListener, false, session->controlSocket,
                                  static_cast<int>(remaining));
        if (ready == 1) {
            takeArrivingDataConnection(session);
        } else if (ready != 0) {
            return 1;
        }
    }
}

// Ends a session that a time limit closes, telling the client and the operator.
static void closeForTimeLimit(FtpSession* session, const char* reply) {
    sendReply(session, reply);
    reportClosedByLimit(session, reply);
}

const Verb* readCommand(FtpSession* session, char* argumentText) {
    CommandReader* reader = &session->reader;
    char line[kCommandBufferSize];
    std::size_t lineLength = 0;
    for (;;) {
        // Checked before a held line too: a client that sends commands without end, and never
        // logs in, must not hold its place for ever.
        int wait = limitFor(session, SessionState::kAwaitingCommand);
        if (wait < 0) {
            closeForTimeLimit(session, "421 Login timeout.");
            return nullptr;
        }
        // Which limit a wait that runs out met: the login deadline when it came first.
        const char* timeoutReply = session->loginDeadline != 0 && wait != session->idleMilliseconds
                                       ? "421 Login timeout."
                                       : "421 Timeout.";
        int taken = takeCommandLine(reader, line, &lineLength);
        if (taken > 0) {
            break;
        }
        if (taken < 0) {
            return nullptr;  // a full buffer without a line end: not a client we can serve
        }
        // Only the wait for a command counts: a transfer in progress is not in this loop.
        if (waitForCommandBytes(session, wait) == 0) {
            closeForTimeLimit(session, timeoutReply);
            return nullptr;
        }
        // Over TLS the receive waits for the rest of a record, which a client may never send:
        // before the login it gets what is left of the deadline, as the wait above did.
        if (session->controlTls != nullptr && session->loginDeadline != 0) {
            applyTimeLimits(session, SessionState::kAwaitingCommand);  // else: the idle limit
        }
        char received[kCommandBufferSize];
        std::size_t room = sizeof reader->held - reader->heldLength;
        long long count = receiveControlBytes(session, received, room);
        if (count <= 0) {
            if (count < 0 && wait > 0 && isLastError(ErrorKind::kTimedOut)) {
                closeForTimeLimit(session, timeoutReply);  // stopped inside a TLS record
            }
            return nullptr;
        }
        appendCommandBytes(reader, received, static_cast<std::size_t>(count));
    }
    // The echo of the command shows it, and the remark on a verb we do not know.
    char prefix[kEventPrefixSize];
    consoleSink.formatPrefix(session, prefix, sizeof prefix);
    return parseCommandLine(line, lineLength, argumentText, kArgumentTextSize, prefix);
}

static bool holdsWholeLine(const CommandReader* reader) {
    return std::memchr(reader->held, '\r', reader->heldLength) != nullptr ||
           std::memchr(reader->held, '\n', reader->heldLength) != nullptr;
}

// Reads what the control connection holds into the reader, a piece at a time: the bytes before
// an urgent mark come as a piece of their own, so one read may stop short of the ABOR behind
// them. Returns false when the client has gone.
static bool readControlNews(FtpSession* session, int milliseconds, SocketHandle* watch) {
    CommandReader* reader = &session->reader;
    // Over TLS a record may come in pieces, and the wait for its rest is bounded.
    bool isProtected = session->controlTls != nullptr;
    int wait = milliseconds;
    while (reader->heldLength < sizeof reader->held && waitForControlBytes(session, wait) == 1) {
        wait = 0;
        if (isProtected) {
            applyTimeLimits(session, SessionState::kTransferring);
        }
        char received[kCommandBufferSize];
        long long count =
            receiveControlBytes(session, received, sizeof reader->held - reader->heldLength);
        if (isProtected) {
            applyTimeLimits(session, SessionState::kAwaitingCommand);
        }
        if (count > 0) {
            appendCommandBytes(reader, received, static_cast<std::size_t>(count));
            continue;
        }
        if (count < 0 || !holdsWholeLine(reader)) {
            return false;
        }
        // Commands sent before the client closed its side still wait for their replies: a
        // client that pipelines QUIT and half-closes has not gone.
        *watch = kNoSocket;
        break;
    }
    return true;
}

ControlNews takeControlNews(FtpSession* session, int milliseconds, SocketHandle* watch) {
    if (!readControlNews(session, milliseconds, watch)) {
        return ControlNews::kEnded;
    }
    if (holdsAbortCommand(&session->reader)) {
        return ControlNews::kAbort;
    }
    if (session->reader.heldLength == sizeof session->reader.held) {
        *watch = kNoSocket;
    }
    return ControlNews::kNothing;
}
