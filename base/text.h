// base/text.h: small text helpers shared by every subsystem: bounded copies and the integer
// reading of the command line and PORT.
#pragma once

#include <cstddef>

// Copies text into out and always terminates it. Returns 0, or -1 when text did not fit (out
// then holds the part that did).
int copyText(char* out, std::size_t outSize, const char* text);

// Reads one integer as the C library's "%d" conversion does: white space skipped, an optional
// sign, then at least one digit; stops at the first other character. The value wraps to 32
// bits as the conversion does on our platforms. Returns the position after the number, or
// nullptr when no integer stands at text.
const char* scanInteger(const char* text, int* value);

// True for the ASCII letters only: bytes from 128 up are never letters, whatever the locale.
bool isAsciiLetter(unsigned char byte);

// True when text is one or more ASCII digits and nothing else.
bool isAllDigits(const char* text);

// True when text equals expected with ASCII letters compared without regard to case.
bool equalsIgnoringCase(const char* text, const char* expected);
