// session/reply.h: the only writers of reply lines on the control connection.
#pragma once

#include <cstddef>

struct FtpSession;

// Sends text and CR LF on the control connection and echoes it on the console: one dot, or
// the whole text when verbose. It is the last (or only) line of a reply. A CR or LF inside
// text, which only a name can bring, goes out as RFC 959 has it for pathnames: CR as CR NUL,
// and LF as NUL, so no name can end a reply line or start a forged one. A failed send shows
// at the next read of a command.
void sendReply(FtpSession* session, const char* text);
// Sends one line of a reply of several lines, before its last (which sendReply sends). The
// console echoes it when verbose; the reply's one dot comes with its last line.
void sendReplyContinuation(FtpSession* session, const char* text);
// Sends "550 " and the text of the calling thread's last platform error.
void sendErrorReply(FtpSession* session);
// Formats what sendErrorReply would send, for a reply that must wait until cleanup that may
// change the error is done.
void formatErrorReply(char* out, std::size_t outSize);
// Sends a reply of several lines that carries no names (text holds them joined by CR LF, the
// last without) in one send. The console shows one dot for it, or each line when verbose.
// text is shorter than kMultilineReplySize.
void sendMultilineReply(FtpSession* session, const char* text);

// Writes path between double quotes into out, each quote inside doubled, as RFC 959 asks of
// the 257 replies of PWD and MKD. Returns 0, or -1 when it does not fit.
int quotePath(char* out, std::size_t outSize, const char* path);
