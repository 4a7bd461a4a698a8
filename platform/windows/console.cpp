// platform/windows/console.cpp: the console streams on Windows.
#include "platform/platform.h"

#include <cstdio>

// ---------------------------------------------------------------------------------------------
// Console.

void prepareConsole() {
    // The runtime buffers a pipe or a file fully. The streams stay in text mode, so every
    // "\n" reaches the console as CR LF.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}
