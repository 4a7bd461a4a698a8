// session/dispatch.h: answering one command.
#pragma once

#include <string>

#include "session/command_table.h"

struct FtpSession;

// Answers code with its argument (in the session's argumentText): the read-only gate, the
// argument's resolution into resolvedPath, the empty test, then the work. Returns false when
// the session ends (a lost connection, or QUIT after its reply).
bool dispatchCommand(FtpSession* session, CommandCode code, std::string* resolvedPath);
