// session/reply.cpp: reply lines and their console echo.
#include "session/reply.h"

#include <cstdio>
#include <cstring>

#include "app/settings.h"
#include "platform/platform.h"
#include "session/session.h"

void sendReply(FtpSession* session, const char* text) {
    if (serverSettings.verbose) {
        printConsole(ConsoleStream::kOutput, "    %s\n", text);
    } else {
        printConsole(ConsoleStream::kOutput, ".");
    }
    char line[kReplyLineSize];
    int length = std::snprintf(line, sizeof line, "%s\r\n", text);
    if (length < 0) {
        return;
    }
    if (static_cast<std::size_t>(length) >= sizeof line) {
        // Never a reply of ours; still end the cut line properly so the client stays in step.
        length = static_cast<int>(sizeof line) - 1;
        line[length - 2] = '\r';
        line[length - 1] = '\n';
    }
    (void)sendBytes(session->controlSocket, line, static_cast<std::size_t>(length));
}

// The verbose echo of a reply of several lines: each line as sendReply echoes one, all in one
// console text, so that no other session's text comes between them.
static void echoLines(const char* text) {
    char echo[kMultilineReplySize * 2];
    std::size_t used = 0;
    for (const char* line = text; *line != '\0' && used < sizeof echo;) {
        std::size_t length = std::strcspn(line, "\r");
        int written = std::snprintf(echo + used, sizeof echo - used, "    %.*s\n",
                                    static_cast<int>(length), line);
        if (written < 0) {
            break;
        }
        used += static_cast<std::size_t>(written);
        line += length;
        line += std::strspn(line, "\r\n");
    }
    printConsole(ConsoleStream::kOutput, "%s", echo);
}

void sendMultilineReply(FtpSession* session, const char* text) {
    if (serverSettings.verbose) {
        echoLines(text);
    } else {
        printConsole(ConsoleStream::kOutput, ".");
    }
    char lines[kMultilineReplySize];
    int length = std::snprintf(lines, sizeof lines, "%s\r\n", text);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof lines) {
        return;  // never a reply of ours
    }
    (void)sendBytes(session->controlSocket, lines, static_cast<std::size_t>(length));
}

void sendErrorReply(FtpSession* session) {
    char errorText[kErrorTextSize];
    lastErrorText(errorText, sizeof errorText);
    char text[kErrorReplySize];
    std::snprintf(text, sizeof text, "550 %s", errorText);
    sendReply(session, text);
}
