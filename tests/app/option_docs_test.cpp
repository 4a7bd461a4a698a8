// tests/app/option_docs_test.cpp: every option of the table is documented where an operator or
// the fuzzer looks: the man page, the README's "## Options" block and the fuzz dictionary.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "app/command_line.h"

namespace {

std::string readSource(const char* path) {
    std::ifstream file(std::string(TARNLOADER_SOURCE_DIR) + "/" + path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    EXPECT_FALSE(text.str().empty()) << path;
    return text.str();
}

// Whether a line of text starts with start, followed by a blank or its end.
bool hasLine(const std::string& text, const std::string& start) {
    for (std::size_t at = text.find("\n" + start); at != std::string::npos;
         at = text.find("\n" + start, at + 1)) {
        char next = text[at + 1 + start.size()];
        if (next == ' ' || next == '\n' || next == '\r') {
            return true;
        }
    }
    return false;
}

}  // namespace

TEST(OptionTable, EachOptionIsAnEntryOfTheManPage) {
    std::string page = readSource("docs/tarnLoader.1.in");
    for (std::size_t i = 0; i < kCommandLineOptionCount; i++) {
        const CommandLineOption& option = kCommandLineOptions[i];
        SCOPED_TRACE(option.name);
        // ".TP" and then ".B \-u", or ".BI \-p " port"" for one that takes a value.
        const char* macro = option.value == OptionValue::kNone ? ".TP\n.B \\" : ".TP\n.BI \\";
        EXPECT_TRUE(hasLine(page, macro + std::string(option.name)));
    }
}

TEST(OptionTable, EachOptionIsInTheReadmeOptionsBlock) {
    std::string readme = readSource("README.md");
    std::size_t start = readme.find("\n## Options\n");
    ASSERT_NE(std::string::npos, start);
    std::size_t end = readme.find("\n## ", start + 1);
    std::string block = readme.substr(start, end - start);
    for (std::size_t i = 0; i < kCommandLineOptionCount; i++) {
        SCOPED_TRACE(kCommandLineOptions[i].name);
        EXPECT_TRUE(hasLine(block, std::string("  ") + kCommandLineOptions[i].name));
    }
}

TEST(OptionTable, EachOptionIsInTheFuzzDictionary) {
    std::string dictionary = readSource("fuzz/dict/options.dict");
    for (std::size_t i = 0; i < kCommandLineOptionCount; i++) {
        SCOPED_TRACE(kCommandLineOptions[i].name);
        EXPECT_NE(std::string::npos,
                  dictionary.find(std::string("\"") + kCommandLineOptions[i].name + "\""));
    }
}

TEST(OptionTable, EachOptionOnce) {
    for (std::size_t i = 0; i < kCommandLineOptionCount; i++) {
        for (std::size_t j = i + 1; j < kCommandLineOptionCount; j++) {
            EXPECT_STRNE(kCommandLineOptions[i].name, kCommandLineOptions[j].name);
        }
    }
}
