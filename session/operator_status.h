// session/operator_status.h: what "-status" shows the operator: one console line per event
// (connect, login, transfer end, refusal, disconnect), each with the time and the client, and
// the status line that the console thread keeps below them on a terminal.
#pragma once

#include <cstddef>

#include "platform/platform.h"

struct FtpSession;
struct TransferOutcome;

// How many running transfers the status line can name; more are counted, not named.
constexpr int kShownTransferCount = 16;

// Each of these keeps its counts whatever the console, and hands its event line to
// consoleSink.showEvent, which prints it under "-status" alone.

// "connected": fixes the client's name for the session's lines; another session from the
// client's address adds its port to the name.
void reportConnected(FtpSession* session);
// "logged in as NAME", and " (TLS)" after it when TLS protects the control connection: the
// connect line comes before AUTH TLS, so this is the first line that can tell.
void reportLogin(const FtpSession* session);
// "login refused for NAME: <reply>" (a wrong password, too many tries, a login in clear text
// where TLS is required); "login refused: <reply>" when no name came.
void reportLoginRefused(const FtpSession* session, const char* name, const char* reply);
// "closed: <reply>" for a session that "-logintimeout" or "-idle" ends.
void reportClosedByLimit(const FtpSession* session, const char* reply);
// "disconnected" with the session's counts and duration; once, at teardown, after "connected".
void reportDisconnected(FtpSession* session);
// "refused: <reply> (limit)" for a connection that a limit turned away before it had a
// session, naming the option and its value; without "-status", "Refused a connection from
// ADDRESS: too many sessions" on standard error. reply is without its line end.
void reportRefusedConnection(const NetworkAddress* peer, const char* reply, bool isFromAddress);
// "no connection to ADDRESS:PORT from CLIENT within N s: ..." when the client never connected
// to the passive port it was told: the operator learns that a firewall is the likely cause.
void reportNoDataConnection(const FtpSession* session);
// The one hint line when no client at all has connected for minutes after start-up: the
// address for the chassis's form, the port, and the firewall. port is the control port.
void reportNoClientYet(int minutes, int port);
// Keeps the start of each reply, which a refused transfer's line quotes.
void noteReply(FtpSession* session, const char* text);
// A transfer got its "150": from now on the status line shows it. size is -1 when unknown.
void startTransferReport(FtpSession* session, long long size);
// The line of a transfer that has ended: "complete", "cut off at N of M bytes (reason)", or,
// when it never got its "150", "refused: <reply>". The file is named from the root: path as
// the verb resolved it, or, when nullptr, the client's argument resolved for the line.
void reportTransferEnd(FtpSession* session, bool isUpload, const char* path,
                       const TransferOutcome* outcome);
// The line of a command that asks about a file or changes the tree (SIZE, MDTM, CWD, CDUP, DELE,
// MKD, RMD, RNFR, RNTO, and the X forms), after its reply: "deleted /a.bin", "made folder /x",
// "removed folder /x" or "renamed /a to /b" for a change done, "SIZE /x: refused: <reply>" for
// any of them refused; nothing for other verbs. path is the argument as the verb resolved it
// (nullptr: none), source the rename source of RNTO (nullptr for the others), each from the root.
void reportCommandEnd(const FtpSession* session, const char* verbName, const char* path,
                      const char* source);

// printConsole for text that concerns a session (a failure, a console remark): under "-status"
// it carries consoleSink.formatPrefix's time and client, so that it reads beside the event lines;
// without "-status", or without a session, it is the text printConsole alone would write.
[[gnu::format(printf, 3, 4)]] void printSessionText(const FtpSession* session, ConsoleStream stream,
                                                    const char* format, ...);
// printSystemError's line, "text: <last error text>", as printSessionText writes it.
void printSessionError(const FtpSession* session, const char* text);
// The status line's text: "3 connected · 2 transfers · 192.0.2.10 image.bin 45% 30.1 MB/s ·
// 5 done, 0 cut off". Returns its length. Called by the console thread.
std::size_t composeStatusLine(char* out, std::size_t outSize);
// The last line of an ending process (Ctrl-C, a closed window, a signal) under "-status":
// "HH:MM:SS ending: 12 sessions, 11 files complete, 1 cut off", and the transfers still running.
void reportServerEnd();