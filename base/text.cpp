// base/text.cpp: bounded text copies and integer reading.
#include "base/text.h"

#include <cstdint>
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
