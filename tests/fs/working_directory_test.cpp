// tests/fs/working_directory_test.cpp: CWD confinement and the client's view of the
// working directory.
#include "fs/working_directory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/settings.h"
#include "session/session.h"
#include "tests/support/loopback.h"
#include "tests/support/temporary_directory.h"

namespace {

class ChangeDirectoryTest : public ::testing::Test {
   protected:
    void SetUp() override {
        base.makeDirectory("pkg/fw/latest");
        base.makeDirectory("pkg2");
        base.writeFile("pkg/a.bin");
        useServedRoot(base.join("pkg"));
        record = std::make_unique<OfflineSession>();
    }

    // CWD with argument; returns its result and leaves the client's view in shown.
    bool cwd(const std::string& argument, std::string* shown) {
        char path[kArgumentTextSize];
        snprintf(path, sizeof path, "%s", argument.c_str());
        bool changed = changeDirectory(record->session, path);
        char view[kWorkingDirectorySize];
        EXPECT_EQ(0, virtualCwd(record->session, view, sizeof view));
        *shown = view;
        return changed;
    }

    TemporaryDirectory base;
    std::unique_ptr<OfflineSession> record;
};

}  // namespace

TEST_F(ChangeDirectoryTest, FollowsTheWorkedExamples) {
    struct Case {
        const char* argument;
        bool changed;
        const char* after;
    };
    // Each starts in /fw.
    const Case cases[] = {
        {"", true, "/fw"},
        {"/", true, "/"},
        {"\\", true, "/"},
        {"/fw/latest", true, "/fw/latest"},
        {"latest", true, "/fw/latest"},
        {"..", true, "/"},
        {"../..", false, "/fw"},
        {"nosuch", false, "/fw"},
        {"//", false, "/fw"},
        {"../../pkg2", false, "/fw"},
        {"../../pkg/fw/latest", true, "/fw/latest"},
        {"../a.bin", false, "/fw"},
        {"///x", false, "/fw"},
        {"\\fw\\latest\\", true, "/fw/latest"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argument);
        std::string shown;
        ASSERT_TRUE(cwd("/fw", &shown));
        EXPECT_EQ(c.changed, cwd(c.argument, &shown));
        EXPECT_EQ(c.after, shown);
    }
}

TEST_F(ChangeDirectoryTest, AnAbsoluteOsPathCountsOnlyInsideTheRoot) {
    std::string shown;
    EXPECT_TRUE(cwd("/" + base.join("pkg/fw"), &shown));
    EXPECT_EQ("/fw", shown);
    EXPECT_FALSE(cwd("/" + base.join("pkg2"), &shown));
    EXPECT_FALSE(cwd("/" + base.path(), &shown));
    EXPECT_EQ("/fw", shown);
}

TEST_F(ChangeDirectoryTest, RefusesALinkThatLeadsOut) {
    std::error_code error;
    std::filesystem::create_directory_symlink(base.join("pkg2"), base.join("pkg/out"), error);
    if (error) {
        GTEST_SKIP() << "this platform cannot make links here: " << error.message();
    }
    std::filesystem::create_directory_symlink(base.join("pkg/fw"), base.join("pkg/in"));
    std::string shown;
    EXPECT_FALSE(cwd("out", &shown));
    EXPECT_TRUE(cwd("in/latest", &shown));
    EXPECT_EQ("/fw/latest", shown);
}

TEST_F(ChangeDirectoryTest, RefusesADestinationThatDoesNotFit) {
    std::string deep = base.join("pkg");
    std::string relative;
    while (relative.size() < kWorkingDirectorySize + 20) {
        deep += "/dddddddddd";
        relative += "dddddddddd/";
    }
    std::filesystem::create_directories(deep);
    std::string shown;
    EXPECT_FALSE(cwd(relative, &shown));
    EXPECT_EQ("/", shown);
}
