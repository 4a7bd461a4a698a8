// tests/session/command_reader_test.cpp: line assembly, verbs and arguments.
#include "session/command_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Feeds segments into a reader and collects every complete line.
std::vector<std::string> linesOf(const std::vector<std::string>& segments, int* lastResult) {
    CommandReader reader = {};
    std::vector<std::string> lines;
    *lastResult = 0;
    for (const std::string& segment : segments) {
        appendCommandBytes(&reader, segment.data(), segment.size());
        char line[kCommandBufferSize];
        std::size_t length = 0;
        while ((*lastResult = takeCommandLine(&reader, line, &length)) == 1) {
            lines.emplace_back(line, length);
        }
    }
    return lines;
}

struct Parsed {
    std::string verb;  // the table's name, "unrecognised" or "refused"
    std::string argument;
};

Parsed parse(const std::string& line) {
    char argument[kArgumentTextSize];
    const Verb* verb = parseCommandLine(line.data(), line.size(), argument, sizeof argument);
    if (verb == &kUnrecognisedVerb) {
        return {"unrecognised", argument};
    }
    // The refused rows have no name of their own.
    return {verb->name == nullptr ? "refused" : verb->name, argument};
}

}  // namespace

TEST(TakeCommandLine, KeepsEveryLineOfASegment) {
    int last = 0;
    std::vector<std::string> lines = linesOf({"NOOP\r\nPWD\r\nSYST\r\n"}, &last);
    EXPECT_EQ((std::vector<std::string>{"NOOP", "PWD", "SYST"}), lines);
    EXPECT_EQ(0, last);
}

TEST(TakeCommandLine, AcceptsEveryLineEnd) {
    struct Case {
        std::vector<std::string> segments;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {{"NOOP\r", "\nPWD\r\n"}, {"NOOP", "PWD"}},  // no phantom line from the late LF
        {{"NOOP\n", "PWD\n"}, {"NOOP", "PWD"}},
        {{"NOOP\rPWD\r"}, {"NOOP", "PWD"}},
        {{"NO", "OP", "\r\n"}, {"NOOP"}},
        {{"NOOP\r", "PWD\r\n"}, {"NOOP", "PWD"}},
        {{"\r\n"}, {""}},
        {{"\n\n"}, {"", ""}},
        {{"NOOP\r\n\r\n"}, {"NOOP", ""}},
        {{std::string("RE\0TR x\r\n", 9)}, {std::string("RE\0TR x", 7)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.segments[0]);
        int last = 0;
        EXPECT_EQ(c.lines, linesOf(c.segments, &last));
    }
}

TEST(TakeCommandLine, AFullBufferWithoutLineEndEndsTheSession) {
    int last = 0;
    EXPECT_TRUE(linesOf({std::string(kCommandBufferSize - 1, 'A')}, &last).empty());
    EXPECT_EQ(0, last);
    EXPECT_TRUE(linesOf({std::string(kCommandBufferSize, 'A')}, &last).empty());
    EXPECT_EQ(-1, last);
    // A line end in the last byte still completes the line.
    std::vector<std::string> lines = linesOf({std::string(500, 'A') + "\r"}, &last);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(500u, lines[0].size());
}

TEST(ParseCommandLine, ReadsVerbAndArgument) {
    struct Case {
        const char* line;
        const char* verb;
        const char* argument;
    };
    const Case cases[] = {
        {"user chassis", "USER", "chassis"},
        {"NOOP", "NOOP", ""},
        {"CWD/fw", "CWD", ""},
        {"CWD  fw ", "CWD", " fw "},
        {"STORE a.bin", "STOR", "a.bin"},
        {"XMKDIR name", "XMKD", ""},
        {"CWDX", "unrecognised", ""},
        {"PW", "unrecognised", ""},
        {"", "unrecognised", ""},
        {" NOOP", "unrecognised", "NOOP"},
        {"RETR f\xe9tch", "RETR", "f\xe9tch"},
        {"DELE n\xc3\xabw.txt", "DELE", "n\xc3\xabw.txt"},
        {"RETR a\tb", "refused", "a\tb"},  // whole, for the operator's line alone
        {"CWDX a\tb", "unrecognised", "a"},
        {"NOOP\t", "NOOP", ""},
        {"retr \x7f", "RETR", "\x7f"},
        {"\xc3\x89TAT", "unrecognised", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Parsed parsed = parse(c.line);
        EXPECT_EQ(c.verb, parsed.verb);
        EXPECT_EQ(c.argument, parsed.argument);
    }
}

TEST(ParseCommandLine, RefusesAZeroByteInTheArgument) {
    Parsed parsed = parse(std::string("RETR a\0b", 8));
    EXPECT_EQ("refused", parsed.verb);
    EXPECT_EQ("a", parsed.argument);
}

TEST(ParseCommandLine, KeepsAtMost499ArgumentBytes) {
    Parsed parsed = parse("RETR " + std::string(495, 'x'));
    EXPECT_EQ(495u, parsed.argument.size());
    char argument[kArgumentTextSize];
    std::string line = "RETR " + std::string(600, 'y');
    parseCommandLine(line.data(), line.size(), argument, sizeof argument);
    EXPECT_EQ(499u, std::string(argument).size());
}
