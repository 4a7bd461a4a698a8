// platform/primitives.h: the small calls that posix/ and windows/ each give the platform layer's
// shared files (socket_timeouts.cpp, calendar_time.cpp), which hold the logic written once.
#pragma once

#include "platform/platform.h"

struct tm;

// Sets one of the socket's two time limits (SO_SNDTIMEO when forSending, else SO_RCVTIMEO);
// 0 means no limit. Returns 0, or -1 with the error set.
int setTimeLimit(SocketHandle socket, bool forSending, int milliseconds);

// Breaks time (seconds since 1970-01-01 00:00 UTC) down into the machine's local time or UTC.
// Returns 0, or -1 with the error set for a time the runtime rejects.
int breakDownTime(long long time, bool local, struct tm* out);
