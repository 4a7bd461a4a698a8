// tests/base/text_test.cpp: the escaping of text for the console and the log.
#include "base/text.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(EscapeText, KeepsPrintableUtf8AndEscapesTheRest) {
    struct Case {
        const char* text;
        const char* shown;
    } cases[] = {
        {"plain \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
         "plain \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        // Neighbours of the escaped characters stay as they are.
        {"\xC2\xA0\xE2\x80\xA7\xE2\x80\xAF\xE2\x80\x8D\xE2\x81\xA5\xE2\x81\xAA\xD8\x9B",
         "\xC2\xA0\xE2\x80\xA7\xE2\x80\xAF\xE2\x80\x8D\xE2\x81\xA5\xE2\x81\xAA\xD8\x9B"},
        {"op\xE2\x80\xAEnimda", "op\\xE2\\x80\\xAEnimda"},  // bidirectional controls
        {"\xD8\x9C\xE2\x80\x8E\xE2\x80\xAA\xE2\x81\xA6\xE2\x81\xA9",
         "\\xD8\\x9C\\xE2\\x80\\x8E\\xE2\\x80\\xAA\\xE2\\x81\\xA6\\xE2\\x81\\xA9"},
        {"\xC0\x80\xE0\x80\xAF", "\\xC0\\x80\\xE0\\x80\\xAF"},  // overlong
        {"\xED\xA0\x80\xF4\x90\x80\x80",
         "\\xED\\xA0\\x80\\xF4\\x90\\x80\\x80"},  // surrogate, too high
        {"a\xE2\x80", "a\\xE2\\x80"},             // cut at the end
        {"\xE2\x80\x8A\xE2", "\xE2\x80\x8A\\xE2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        char out[64];
        ASSERT_EQ(0, escapeText(out, sizeof out, c.text, std::strlen(c.text)));
        EXPECT_STREQ(c.shown, out);
    }
}

TEST(EscapeText, CutsOnlyBetweenWholeCharacters) {
    char out[6];
    EXPECT_EQ(-1, escapeText(out, sizeof out,
                             "ab\x1B"
                             "c",
                             4));
    EXPECT_STREQ("ab", out);
    EXPECT_EQ(-1, escapeText(out, sizeof out, "abcd\xC3\xA9", 6));
    EXPECT_STREQ("abcd", out);
}

// A text that does not fit is cut, says so, and leaves the position inside the buffer, so that
// later appends fail instead of writing past it.
TEST(AppendFormat, CutsAtTheEndAndStaysInside) {
    char out[8];
    std::size_t used = 0;
    EXPECT_EQ(0, appendFormat(out, sizeof out, &used, "%s-%d", "ab", 12));
    EXPECT_EQ(-1, appendFormat(out, sizeof out, &used, "%s", "xyz"));
    EXPECT_STREQ("ab-12xy", out);
    EXPECT_EQ(sizeof out - 1, used);
    EXPECT_EQ(-1, appendFormat(out, sizeof out, &used, "z"));
    EXPECT_STREQ("ab-12xy", out);
}
