// session/console_sink.cpp: the three consoles (the dots, "-ftpverbose", "-status") and the
// choice among them, the only one made.
#include "session/console_sink.h"

#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "session/session.h"

static void formatNoPrefix(const FtpSession*, char* out, std::size_t outSize) {
    (void)copyText(out, outSize, "");
}

static void formatTimedPrefix(const FtpSession* session, char* out, std::size_t outSize) {
    CalendarTime now = {};
    if (toLocalTime(currentTime(), &now) != 0) {
        now = CalendarTime{};  // a clock the platform rejects still leaves the line readable
    }
    std::snprintf(out, outSize, "%02d:%02d:%02d %s%s", now.hour, now.minute, now.second,
                  session != nullptr ? session->report.client : "", session != nullptr ? " " : "");
}

static void printEvent(const FtpSession* session, const char* text) {
    char prefix[kEventPrefixSize];
    formatTimedPrefix(session, prefix, sizeof prefix);
    printConsole(ConsoleStream::kOutput, "%s%s\n", prefix, text);
}

static void printNothing(ConsoleStream, const char*, ...) {}
static void showNothing(const FtpSession*, const char*) {}

static void printDot(const FtpSession*, const char*) {
    printConsole(ConsoleStream::kOutput, ".");
}

// The verbose echo of one reply line. SECURITY: replies carry names the client chose (PWD,
// MKD, STAT), escaped here so that they cannot act on the operator's console.
static void echoReplyLine(const FtpSession* session, const char* text) {
    char escaped[escapedTextSize(kReplyTextSize)];
    // A reply longer than any of ours still shows its start.
    (void)escapeString(escaped, sizeof escaped, text);
    char prefix[kEventPrefixSize];
    consoleSink.formatPrefix(session, prefix, sizeof prefix);  // tells the clients' lines apart
    printConsole(ConsoleStream::kOutput, "%s    %s\n", prefix, escaped);
}

// The verbose echo of a reply of several lines: each line as sendReply echoes one, all in one
// console text, so that no other session's text comes between them.
static void echoLines(const FtpSession* session, const char* text) {
    static const char kIndent[] = "    ";
    char prefix[kEventPrefixSize];
    consoleSink.formatPrefix(session, prefix, sizeof prefix);
    char echo[kMultilineReplySize * 2] = "";
    std::size_t used = 0;
    // Room for the prefix, the indent, one character, the line end and the terminator.
    for (const char* line = text;
         *line != '\0' && used + sizeof prefix + sizeof kIndent + 2 <= sizeof echo;) {
        std::size_t length = std::strcspn(line, "\r");
        (void)copyText(echo + used, sizeof echo - used, prefix);  // the loop keeps room for it
        used += std::strlen(echo + used);
        std::memcpy(echo + used, kIndent, sizeof kIndent - 1);
        used += sizeof kIndent - 1;
        // A cut line still shows its start; the room kept back takes the line end.
        (void)escapeText(echo + used, sizeof echo - used - 1, line, length);
        used += std::strlen(echo + used);
        echo[used++] = '\n';
        echo[used] = '\0';
        line += length;
        line += std::strspn(line, "\r\n");
    }
    printConsole(ConsoleStream::kOutput, "%s", echo);
}

// SECURITY: the client's bytes reach the operator's console escaped, so that no control
// sequence among them moves the cursor, retitles the window or forges a line.
static void echoCommand(const char* prefix, const char* verb, const char* argument) {
    char escaped[escapedTextSize(kArgumentTextSize)];
    (void)escapeString(escaped, sizeof escaped, argument);  // always fits
    printConsole(ConsoleStream::kOutput, "%s%s %s\n", prefix, verb, escaped);
}

static void echoClosing(const FtpSession* session) {
    char prefix[kEventPrefixSize];
    consoleSink.formatPrefix(session, prefix, sizeof prefix);
    printConsole(ConsoleStream::kOutput, "%sClosing control connection\n", prefix);
}

static void keepStatusLine(std::size_t (*compose)(char* out, std::size_t outSize)) {
    (void)keepConsoleStatusLine(compose);  // no terminal: event lines alone
}

static void echoNothing(const char*, const char*, const char*) {}
static void closeQuietly(const FtpSession*) {}
static void keepNoStatusLine(std::size_t (*)(char*, std::size_t)) {}

static const ConsoleSink kDots = {formatNoPrefix,   showNothing, printConsole, printDot,
                                  printDot,         showNothing, echoNothing,  closeQuietly,
                                  keepNoStatusLine, false};
static const ConsoleSink kTimed = {formatTimedPrefix, printEvent,  printNothing, showNothing,
                                   showNothing,       showNothing, echoNothing,  closeQuietly,
                                   keepStatusLine,    true};

ConsoleSink consoleSink = kDots;

void chooseConsoleSink(bool isVerbose, bool isTimed) {
    consoleSink = isTimed ? kTimed : kDots;
    if (isVerbose) {
        consoleSink.showReply = consoleSink.echoReplyLine = echoReplyLine;
        consoleSink.showReplyLines = echoLines;
        consoleSink.echoCommand = echoCommand;
        consoleSink.echoClosing = echoClosing;
    }
}
