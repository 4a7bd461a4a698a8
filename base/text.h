// base/text.h: small text helpers shared by every subsystem: bounded copies and the integer
// reading of the command line and PORT.
#pragma once

#include <cstdarg>
#include <cstddef>

// Copies text into out and always terminates it. Returns 0, or -1 when text did not fit (out
// then holds the part that did).
int copyText(char* out, std::size_t outSize, const char* text);

// Formats text at out + *used, which stays below outSize, and moves *used past it. Returns 0,
// or -1 when the text did not fit: out then holds its start, and *used ends at outSize - 1.
[[gnu::format(printf, 4, 5)]] int appendFormat(char* out, std::size_t outSize, std::size_t* used,
                                               const char* format, ...);
// appendFormat for the arguments of a caller's own variadic function.
[[gnu::format(printf, 4, 0)]] int appendFormatList(char* out, std::size_t outSize,
                                                   std::size_t* used, const char* format,
                                                   std::va_list arguments);

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

// Room for one character as escapeCharacter writes it ("\xHH" is the longest) and a terminator.
constexpr std::size_t kEscapedCharacterSize = 5;
// Room for length bytes of text once escaped, when every byte becomes "\xHH".
constexpr std::size_t escapedTextSize(std::size_t length) {
    return 4 * length + 1;
}

// Writes the next character of text (length bytes, at least one) into piece, which holds
// kEscapedCharacterSize bytes, and returns how many bytes of text it took. Printable UTF-8
// stays as it is; a byte that a terminal or a reader would act on (C0 controls, DEL, the C1
// controls U+0080 to U+009F, U+2028 and U+2029) or that is not UTF-8 becomes "\xHH", one byte
// at a time.
std::size_t escapeCharacter(const char* text, std::size_t length, char* piece);

// Writes length bytes of text into out with every character as escapeCharacter gives it: the
// one form for any text a client or a folder name puts on the console or in the log. Returns
// 0, or -1 when out is too small (it then holds the whole characters that fit).
int escapeText(char* out, std::size_t outSize, const char* text, std::size_t length);
// escapeText of a whole string, for a line: returns out, which holds the whole characters that
// fit when it is too small.
const char* escapeString(char* out, std::size_t outSize, const char* text);
