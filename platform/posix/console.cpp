// platform/posix/console.cpp: the console streams on POSIX.
#include "platform/platform.h"

#include <cstdio>

// ---------------------------------------------------------------------------------------------
// Console.

void prepareConsole() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}
