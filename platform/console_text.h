// platform/console_text.h: what both implementations of the console share: printConsole's
// formatting, which hands each text to the platform's emitConsoleText.
#pragma once

#include <cstddef>

#include "platform/platform.h"

// Implemented by posix/console.cpp and windows/console.cpp: takes one formatted text of length
// characters for stream.
void emitConsoleText(ConsoleStream stream, const char* text, std::size_t length);
