// app/startup.h: the server from the command line to the accept loop.
#pragma once

#include "platform/platform.h"

// Fixes the served root: enters rootArgument (or, without one, the default root) and reads the
// directory back into the settings. Prints "Using '%s' as ftp root directory". Returns 0, or
// -1 after printing the error line (the caller prints the usage text).
int fixServedRoot(const char* rootArgument);

// Fills the settings' address list. Returns 0, or -1 when the host's addresses cannot be had.
int listLocalAddresses();

// Prints the address list, the port warning and the operator instructions.
void printGuidance();

// Accepts control connections on count listeners for ever, one session thread each. Returns
// only when accept fails for good.
int runAcceptLoop(const SocketHandle* listeners, int count);

// The whole program: banner, command line, root, sockets, listener, guidance, written at once;
// then the console thread and the accept loop, and the console's last flush. Returns the exit
// status.
int runServer(int argc, const char* const* argv);
