// fuzz/command_reader_fuzzer.cpp: the bytes of a control connection, cut into the segments a
// peer's sends and the network may make, through line assembly and the verb and argument split.
//
// Input: one byte n, then n % 16 segment lengths, then the stream. The lengths are used in turn
// for the successive receives (255: as much as fits; 0: an empty receive); without a nonzero
// one every receive takes as much as fits.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "session/command_reader.h"
#include "session/session.h"

namespace {

// The lines of the whole stream, as they must come out whatever the segments: a line ends at
// CR LF, a lone CR or a lone LF. overlong is set when a line reaches the buffer's size without
// an end; the session ends there, so nothing after it counts.
struct ExpectedLines {
    std::vector<std::string> lines;
    bool overlong = false;
};

ExpectedLines splitStream(const char* stream, std::size_t length) {
    ExpectedLines expected;
    std::string current;
    bool afterCarriageReturn = false;
    for (std::size_t i = 0; i < length; i++) {
        char byte = stream[i];
        bool lineFeedOfCrLf = afterCarriageReturn && byte == '\n';
        afterCarriageReturn = false;
        if (lineFeedOfCrLf) {
            continue;
        }
        if (byte == '\r' || byte == '\n') {
            expected.lines.push_back(current);
            current.clear();
            afterCarriageReturn = byte == '\r';
            continue;
        }
        current.push_back(byte);
        if (current.size() >= kCommandBufferSize) {
            expected.overlong = true;
            return expected;
        }
    }
    return expected;
}

// The argument as a line must yield it: after at most five letters, or one of the verbs with
// digits taken whole, and a space, the bytes up to the first control byte, at most
// kArgumentTextSize - 1 of them. A refused transfer keeps the rest after them too, for the
// operator's line alone.
std::string expectedArgument(const std::string& line) {
    std::size_t letters = 0;
    while (letters < 5 && letters < line.size() &&
           ((line[letters] >= 'A' && line[letters] <= 'Z') ||
            (line[letters] >= 'a' && line[letters] <= 'z'))) {
        letters++;
    }
    for (const char* longVerb : {"XMD5", "XSHA1", "XSHA256"}) {
        std::size_t length = std::strlen(longVerb);
        std::string start = line.substr(0, length);
        std::transform(start.begin(), start.end(), start.begin(),
                       [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
        if (start == longVerb && (line.size() == length || line[length] == ' ')) {
            letters = length;
        }
    }
    std::string argument;
    if (letters < line.size() && line[letters] == ' ') {
        for (std::size_t i = letters + 1; i < line.size(); i++) {
            unsigned char byte = static_cast<unsigned char>(line[i]);
            if (byte < 32 || argument.size() == kArgumentTextSize - 1) {
                break;
            }
            argument.push_back(static_cast<char>(byte));
        }
    }
    return argument;
}

void checkParsedLine(const std::string& line) {
    char argument[kArgumentTextSize];
    std::memset(argument, 0xff, sizeof argument);
    const Verb* verb = parseCommandLine(line.data(), line.size(), argument, sizeof argument);
    if (verb == nullptr || (verb->work == nullptr && verb->reply == nullptr)) {
        failProperty("a parsed line has a verb to answer it", line);
    }
    const void* terminator = std::memchr(argument, '\0', sizeof argument);
    if (terminator == nullptr) {
        failProperty("the argument is terminated within its buffer", line);
    }
    std::size_t length = static_cast<const char*>(terminator) - argument;
    if (length > kArgumentTextSize - 1) {
        failProperty("the argument holds at most 499 characters", line);
    }
    bool isRefusedTransfer = verb == &kRefusedDownloadArgument || verb == &kRefusedUploadArgument;
    for (std::size_t i = 0; i < length && !isRefusedTransfer; i++) {
        if (static_cast<unsigned char>(argument[i]) < 32) {
            failProperty("the argument of a verb that runs holds no control byte", line);
        }
    }
    // Telnet's commands (the IP and DM a client sends before ABOR) are no part of the line.
    std::string plain = line;
    plain.resize(stripTelnetCommands(&plain[0], plain.size()));
    if (plain.size() > line.size()) {
        failProperty("taking Telnet commands out never adds bytes", line);
    }
    std::string expected = expectedArgument(plain);
    std::string taken(argument, length);
    if (isRefusedTransfer ? taken.compare(0, expected.size(), expected) != 0 : taken != expected) {
        failProperty("the argument is the text after the verb, up to a control byte", line);
    }
}

// Takes every whole line held, as readCommand does before it receives again. Returns false
// when the reader reports a full buffer without a line end: the session ends there.
bool takeHeldLines(CommandReader* reader, const ExpectedLines& expected, std::size_t* taken) {
    for (;;) {
        char line[kCommandBufferSize];
        std::size_t lineLength = 0;
        std::size_t heldBefore = reader->heldLength;
        int status = takeCommandLine(reader, line, &lineLength);
        if (reader->heldLength > kCommandBufferSize) {
            failProperty("heldLength never exceeds the buffer", std::to_string(reader->heldLength));
        }
        if (status == 0) {
            return true;
        }
        if (status < 0) {
            if (heldBefore != kCommandBufferSize || !expected.overlong ||
                *taken != expected.lines.size()) {
                failProperty("a full buffer ends the session only for an overlong line",
                             std::to_string(*taken));
            }
            return false;
        }
        if (status != 1 || lineLength >= heldBefore) {
            failProperty("a line is shorter than the bytes held before it was taken",
                         std::to_string(lineLength) + " of " + std::to_string(heldBefore));
        }
        std::string text(line, lineLength);
        if (*taken >= expected.lines.size() || expected.lines[*taken] != text) {
            failProperty("the lines do not depend on how the bytes were segmented", text);
        }
        (*taken)++;
        checkParsedLine(text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    std::size_t patternLength = data[0] % 16;
    if (patternLength > size - 1) {
        patternLength = size - 1;
    }
    const std::uint8_t* pattern = data + 1;
    const char* stream = reinterpret_cast<const char*>(data + 1 + patternLength);
    std::size_t streamLength = size - 1 - patternLength;
    bool hasLength = false;
    for (std::size_t i = 0; i < patternLength; i++) {
        hasLength = hasLength || pattern[i] != 0;
    }

    ExpectedLines expected = splitStream(stream, streamLength);
    CommandReader* reader = new CommandReader();
    std::size_t position = 0;
    std::size_t segment = 0;
    std::size_t taken = 0;
    bool open = true;
    while (open && position < streamLength) {
        std::size_t room = kCommandBufferSize - reader->heldLength;
        std::size_t count = room;
        if (hasLength) {
            std::uint8_t length = pattern[segment++ % patternLength];
            count = length == 255 ? room : length;
        }
        // The room rule of readCommand: never more than the reader can hold.
        if (count > room) {
            count = room;
        }
        if (count > streamLength - position) {
            count = streamLength - position;
        }
        appendCommandBytes(reader, stream + position, count);
        position += count;
        if (reader->heldLength > kCommandBufferSize) {
            failProperty("heldLength never exceeds the buffer", std::to_string(reader->heldLength));
        }
        open = takeHeldLines(reader, expected, &taken);
    }
    if (open && (expected.overlong || taken != expected.lines.size())) {
        failProperty("every whole line of the stream is taken",
                     std::to_string(taken) + " of " + std::to_string(expected.lines.size()));
    }
    delete reader;
    return 0;
}
