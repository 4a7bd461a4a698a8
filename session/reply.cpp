// session/reply.cpp: reply lines and their console echo.
#include "session/reply.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "base/text.h"
#include "platform/platform.h"
#include "session/channel.h"
#include "session/console_sink.h"
#include "session/operator_status.h"
#include "session/session.h"

// Most replies fit this; an idle session's thread then keeps one stack page fewer.
constexpr std::size_t kShortLineSize = 512;

// Builds text and CR LF into out, which has room for twice text's length and two bytes (every
// byte may take two on the wire, as CR NUL), and returns the line's length.
static std::size_t buildLine(char* out, const char* text) {
    std::size_t length = 0;
    for (const char* c = text; *c != '\0'; c++) {
        // SECURITY: a name with a line end in it must not end the reply, nor let what follows
        // read as a reply of its own.
        if (*c == '\r') {
            out[length++] = '\r';
            out[length++] = '\0';
        } else if (*c == '\n') {
            out[length++] = '\0';
        } else {
            out[length++] = *c;
        }
    }
    out[length++] = '\r';
    out[length++] = '\n';
    return length;
}

static void sendLine(FtpSession* session, const char* text) {
    std::size_t room = 2 * std::strlen(text) + 2;
    if (room <= kShortLineSize) {
        char line[kShortLineSize];
        (void)sendControlBytes(session, line, buildLine(line, text));
        return;  // a dead connection shows later
    }
    std::string line(room, '\0');
    (void)sendControlBytes(session, &line[0], buildLine(&line[0], text));
}

void sendReply(FtpSession* session, const char* text) {
    noteReply(session, text);
    consoleSink.showReply(session, text);
    sendLine(session, text);
}

void sendReplyContinuation(FtpSession* session, const char* text) {
    consoleSink.echoReplyLine(session, text);
    sendLine(session, text);
}

void sendMultilineReply(FtpSession* session, const char* text) {
    consoleSink.showReplyLines(session, text);
    char lines[kMultilineReplySize];
    int length = std::snprintf(lines, sizeof lines, "%s\r\n", text);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof lines) {
        return;  // never a reply of ours
    }
    (void)sendControlBytes(session, lines, static_cast<std::size_t>(length));
}

void formatErrorReply(char* out, std::size_t outSize) {
    // A path that would lead out of the root gets one answer whatever the verb, and tells the
    // client nothing of what lies beyond.
    if (isLastError(ErrorKind::kRefusedPath)) {
        std::snprintf(out, outSize, "%s", "550 Path permission error");
        return;
    }
    char errorText[kErrorTextSize];
    lastErrorText(errorText, sizeof errorText);
    std::snprintf(out, outSize, "550 %s", errorText);
}

void sendErrorReply(FtpSession* session) {
    char text[kReplyTextSize];
    formatErrorReply(text, sizeof text);
    sendReply(session, text);
}

int quotePath(char* out, std::size_t outSize, const char* path) {
    std::size_t length = 0;
    if (outSize < 3) {
        return -1;
    }
    out[length++] = '"';
    for (const char* c = path; *c != '\0'; c++) {
        std::size_t needed = *c == '"' ? 2 : 1;
        if (length + needed + 2 > outSize) {
            return -1;
        }
        out[length++] = *c;
        if (*c == '"') {
            out[length++] = '"';
        }
    }
    out[length++] = '"';
    out[length] = '\0';
    return 0;
}
