// session/reply.h: the only writers of reply lines on the control connection.
#pragma once

#include <cstddef>

struct FtpSession;

constexpr std::size_t kReplyLineSize = 280;
constexpr std::size_t kErrorReplySize = 400;

// Sends text and CR LF on the control connection and echoes it on the console: one dot, or
// the whole text when verbose. text is at most kReplyLineSize - 3 characters; every reply we
// build fits. A failed send shows at the next read of a command.
void sendReply(FtpSession* session, const char* text);
// Sends "550 " and the text of the calling thread's last platform error.
void sendErrorReply(FtpSession* session);
// Sends a reply of several lines (text holds them joined by CR LF, the last without) in one
// send. The console shows one dot for it, or each line when verbose. text is shorter than
// kMultilineReplySize.
void sendMultilineReply(FtpSession* session, const char* text);

constexpr std::size_t kMultilineReplySize = 3072;
