// session/reply.cpp: reply lines and their console echo.
#include "session/reply.h"

#include <cstdio>

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

void sendErrorReply(FtpSession* session) {
    char errorText[kErrorTextSize];
    lastErrorText(errorText, sizeof errorText);
    char text[kErrorReplySize];
    std::snprintf(text, sizeof text, "550 %s", errorText);
    sendReply(session, text);
}
