// fuzz/port_argument_fuzzer.cpp: the PORT argument against a reference reading of
// "%d,%d,%d,%d,%d,%d", and the same bytes as EPRT's argument, for both families. The argument
// sits in a buffer that ends at its terminator, so a read past it is a sanitizer report.
//
// Input: the argument, up to its first zero byte.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz_support.h"
#include "session/data_connection.h"

namespace {

constexpr std::size_t kEscapeSize = 8;

bool isScanSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// One "%d": white space, an optional sign, at least one digit. Returns the position after it,
// or nullptr. Sets *fits to false when the number does not fit an int, where the C library's
// result is not defined.
const char* referenceInteger(const char* text, long long* value, bool* fits) {
    while (isScanSpace(*text)) {
        text++;
    }
    bool negative = *text == '-';
    if (*text == '+' || *text == '-') {
        text++;
    }
    if (*text < '0' || *text > '9') {
        return nullptr;
    }
    long long magnitude = 0;
    for (; *text >= '0' && *text <= '9'; text++) {
        if (magnitude <= 2147483648LL) {
            magnitude = magnitude * 10 + (*text - '0');
        }
    }
    if (magnitude > (negative ? 2147483648LL : 2147483647LL)) {
        *fits = false;
    }
    *value = negative ? -magnitude : magnitude;
    return text;
}

// Returns 0 with the low eight bits of six numbers, or -1 when fewer than six stand there.
int referencePort(const char* text, unsigned char numbers[6], bool* fits) {
    for (int i = 0; i < 6; i++) {
        if (i > 0) {
            if (*text != ',') {
                return -1;
            }
            text++;
        }
        long long value = 0;
        text = referenceInteger(text, &value, fits);
        if (text == nullptr) {
            return -1;
        }
        numbers[i] = static_cast<unsigned char>(static_cast<unsigned long long>(value) & 0xff);
    }
    return 0;
}

std::string describe(const char* argument) {
    std::string text;
    for (const char* c = argument; *c != '\0'; c++) {
        unsigned char byte = static_cast<unsigned char>(*c);
        if (byte >= 32 && byte < 127) {
            text.push_back(*c);
        } else {
            char escaped[kEscapeSize];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            text += escaped;
        }
    }
    return text;
}

// EPRT: what it accepts has the family of its protocol number and a port, and an IPv6 address
// written out again in its usual form reads back as the same address.
void checkExtendedPort(const char* argument) {
    int protocol = -1;
    NetworkAddress target;
    int status = parseExtendedPortArgument(argument, &protocol, &target);
    if (status != 0 && status != -1 && status != -2) {
        failProperty("parseExtendedPortArgument returns 0, -1 or -2", describe(argument));
    }
    if (status != 0) {
        return;
    }
    bool isFamilyRight = (protocol == 1 && target.family == AddressFamily::kIpv4) ||
                         (protocol == 2 && target.family == AddressFamily::kIpv6);
    if (!isFamilyRight || target.port == 0) {
        failProperty("EPRT gives its protocol's family and a port", describe(argument));
    }
    if (protocol != 2) {
        return;
    }
    char text[kNetworkAddressTextSize];
    char again[kNetworkAddressTextSize + 16];
    NetworkAddress reread;
    int reprotocol = 0;
    if (formatAddress(&target, text, sizeof text) != 0 ||
        std::snprintf(again, sizeof again, "|2|%s|%u|", text, target.port) < 0 ||
        parseExtendedPortArgument(again, &reprotocol, &reread) != 0 ||
        std::memcmp(reread.bytes, target.bytes, kAddressBytes) != 0 ||
        reread.port != target.port) {
        failProperty("an IPv6 address reads back as itself", describe(argument));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    std::size_t length = strnlen(text, size);
    std::unique_ptr<char[]> argument(new char[length + 1]);
    std::memcpy(argument.get(), text, length);
    argument[length] = '\0';

    checkExtendedPort(argument.get());
    unsigned char numbers[6] = {};
    int status = parsePortArgument(argument.get(), numbers);
    if (status != 0 && status != -1) {
        failProperty("parsePortArgument returns 0 or -1", describe(argument.get()));
    }
    bool fits = true;
    unsigned char expected[6] = {};
    int expectedStatus = referencePort(argument.get(), expected, &fits);
    if (!fits) {
        return 0;
    }
    if (status != expectedStatus) {
        failProperty("PORT accepts exactly what \"%d,%d,%d,%d,%d,%d\" reads",
                     describe(argument.get()));
    }
    if (status == 0 && std::memcmp(numbers, expected, sizeof numbers) != 0) {
        failProperty("PORT keeps the low eight bits of each number", describe(argument.get()));
    }
    return 0;
}
