// session/console_sink.h: how the console shows the sessions, decided once at start-up from
// "-ftpverbose" and "-status": a dot for each reply, the echo of commands and replies, or the
// timed event lines. No other file asks which of them is on.
#pragma once

#include <cstddef>

#include "platform/platform.h"

struct FtpSession;

// Room for "HH:MM:SS " and a client.
constexpr std::size_t kEventPrefixSize = 96;

struct ConsoleSink {
    // Under "-status", "HH:MM:SS client " (local time) before a session's lines, and the time
    // and its blank alone without a session; otherwise nothing, as the echoes always had it.
    void (*formatPrefix)(const FtpSession* session, char* out, std::size_t outSize);
    // An event line of "-status", printed after formatPrefix's text; nothing otherwise.
    void (*showEvent)(const FtpSession* session, const char* text);
    // printConsole for the texts that "-status" replaces with its event lines ("Reading.",
    // "Chassis accessing package.", a refused connection's line); nothing under "-status".
    [[gnu::format(printf, 2, 3)]] void (*printUntimed)(ConsoleStream stream, const char* format,
                                                       ...);
    // A reply's last line, and a reply of several lines: echoed under "-ftpverbose", one dot
    // by default, nothing under "-status" alone.
    void (*showReply)(const FtpSession* session, const char* text);
    void (*showReplyLines)(const FtpSession* session, const char* text);
    // What only "-ftpverbose" shows: a reply's line before its last, a command after prefix, and
    // the control connection's close.
    void (*echoReplyLine)(const FtpSession* session, const char* text);
    void (*echoCommand)(const char* prefix, const char* verb, const char* argument);
    void (*echoClosing)(const FtpSession* session);
    // Keeps the status line that compose writes below the console's text under "-status" on a
    // terminal; after the console thread has started.
    void (*startStatusLine)(std::size_t (*compose)(char* out, std::size_t outSize));
    // "-status": each address line names its interface, and a hint comes when no client has
    // connected for minutes; start-up asks.
    bool isTimed;
};

// Written once, by chooseConsoleSink at start-up; the default console's until then.
extern ConsoleSink consoleSink;

void chooseConsoleSink(bool isVerbose, bool isTimed);
