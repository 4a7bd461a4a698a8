// base/text.cpp: bounded text copies and integer reading.
#include "base/text.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

int copyText(char* out, std::size_t outSize, const char* text) {
    if (outSize == 0) {
        return -1;
    }
    std::size_t length = std::strlen(text);
    if (length >= outSize) {
        std::memcpy(out, text, outSize - 1);
        out[outSize - 1] = '\0';
        return -1;
    }
    std::memcpy(out, text, length + 1);
    return 0;
}

static bool isWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

const char* scanInteger(const char* text, int* value) {
    while (isWhiteSpace(*text)) {
        text++;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        text++;
    }
    if (*text < '0' || *text > '9') {
        return nullptr;
    }
    std::uint32_t magnitude = 0;
    while (*text >= '0' && *text <= '9') {
        magnitude = magnitude * 10u + static_cast<std::uint32_t>(*text - '0');
        text++;
    }
    if (negative) {
        magnitude = 0u - magnitude;
    }
    std::int32_t result;
    std::memcpy(&result, &magnitude, sizeof result);
    *value = result;
    return text;
}

bool isAsciiLetter(unsigned char byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z');
}

static unsigned char toAsciiUpper(unsigned char byte) {
    return (byte >= 'a' && byte <= 'z') ? static_cast<unsigned char>(byte - 32) : byte;
}

bool equalsIgnoringCase(const char* text, const char* expected) {
    for (; *text != '\0' && *expected != '\0'; text++, expected++) {
        if (toAsciiUpper(static_cast<unsigned char>(*text)) !=
            toAsciiUpper(static_cast<unsigned char>(*expected))) {
            return false;
        }
    }
    return *text == *expected;
}

bool isAllDigits(const char* text) {
    if (*text == '\0') {
        return false;
    }
    for (; *text != '\0'; text++) {
        if (*text < '0' || *text > '9') {
            return false;
        }
    }
    return true;
}

// The length of the UTF-8 character at text, or 0 when it is not one: overlong forms,
// surrogates and code points above U+10FFFF are not.
static std::size_t utf8CharacterLength(const unsigned char* text, std::size_t length) {
    unsigned char lead = text[0];
    std::size_t needed = 0;
    unsigned char low = 0x80;  // the range of the second byte, which rules out the bad forms
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        needed = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        needed = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        needed = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    }
    if (needed == 0 || length < needed || text[1] < low || text[1] > high) {
        return 0;
    }
    for (std::size_t i = 2; i < needed; i++) {
        if (text[i] < 0x80 || text[i] > 0xBF) {
            return 0;
        }
    }
    return needed;
}

// True for a UTF-8 character of taken bytes at bytes that acts on a terminal or a reader.
static bool isControlCharacter(const unsigned char* bytes, std::size_t taken) {
    // SECURITY: C1 controls (CSI, OSC) move a terminal's cursor or retitle its window as ESC
    // does, U+2028 and U+2029 end a line for a Unicode-aware reader of the log, and the
    // bidirectional marks, embeddings, overrides and isolates (U+061C, U+200E-U+200F,
    // U+202A-U+202E, U+2066-U+2069) reorder what follows them: "op\u202Enimda" reads "opadmin".
    bool isGeneralPunctuation = taken == 3 && bytes[0] == 0xE2;
    return (taken == 1 && (bytes[0] < 32 || bytes[0] == 127)) ||
           (taken == 2 && bytes[0] == 0xC2 && bytes[1] < 0xA0) ||
           (taken == 2 && bytes[0] == 0xD8 && bytes[1] == 0x9C) ||
           (isGeneralPunctuation && bytes[1] == 0x80 &&
            (bytes[2] == 0x8E || bytes[2] == 0x8F || bytes[2] == 0xA8 || bytes[2] == 0xA9 ||
             (bytes[2] >= 0xAA && bytes[2] <= 0xAE))) ||
           (isGeneralPunctuation && bytes[1] == 0x81 && bytes[2] >= 0xA6 && bytes[2] <= 0xA9);
}

std::size_t escapeCharacter(const char* text, std::size_t length, char* piece) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    std::size_t taken = bytes[0] < 0x80 ? 1 : utf8CharacterLength(bytes, length);
    if (taken == 0 || isControlCharacter(bytes, taken)) {
        std::snprintf(piece, kEscapedCharacterSize, "\\x%02X", bytes[0]);  // always fits
        return 1;
    }
    std::memcpy(piece, text, taken);
    piece[taken] = '\0';
    return taken;
}

int escapeText(char* out, std::size_t outSize, const char* text, std::size_t length) {
    if (outSize == 0) {
        return -1;
    }
    std::size_t used = 0;
    std::size_t read = 0;
    while (read < length) {
        char piece[kEscapedCharacterSize];
        std::size_t taken = escapeCharacter(text + read, length - read, piece);
        std::size_t pieceLength = std::strlen(piece);
        // SECURITY: never past out, however many bytes the client's text escapes into.
        if (used + pieceLength >= outSize) {
            out[used] = '\0';
            return -1;
        }
        std::memcpy(out + used, piece, pieceLength);
        used += pieceLength;
        read += taken;
    }
    out[used] = '\0';
    return 0;
}

const char* escapeString(char* out, std::size_t outSize, const char* text) {
    (void)escapeText(out, outSize, text, std::strlen(text));  // a longer one shows its start
    return out;
}

int appendFormat(char* out, std::size_t outSize, std::size_t* used, const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    int result = appendFormatList(out, outSize, used, format, arguments);
    va_end(arguments);
    return result;
}

int appendFormatList(char* out, std::size_t outSize, std::size_t* used, const char* format,
                     std::va_list arguments) {
    if (*used + 1 >= outSize) {
        return -1;
    }
    int length = std::vsnprintf(out + *used, outSize - *used, format, arguments);
    if (length < 0) {
        return -1;
    }
    *used += static_cast<std::size_t>(length);
    if (*used >= outSize) {
        *used = outSize - 1;
        return -1;
    }
    return 0;
}
