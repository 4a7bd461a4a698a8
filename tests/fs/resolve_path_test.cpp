// tests/fs/resolve_path_test.cpp: splitting and confining argument paths.
#include "fs/resolve_path.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fs/working_directory.h"
#include "session/session.h"
#include "tests/support/loopback.h"
#include "tests/support/temporary_directory.h"

TEST(SplitPath, KeepsRunsBetweenSeparatorsOnly) {
    struct Case {
        const char* text;
        std::vector<std::string> tokens;
    };
    const Case cases[] = {
        {"", {}},
        {"a.bin", {"a.bin"}},
        {"fw/a.bin", {"fw", "a.bin"}},
        {"//fw///a.bin/", {"fw", "a.bin"}},
        {"\\fw\\a.bin", {"fw", "a.bin"}},
        {"/", {}},
        {"new file.bin", {"new file.bin"}},
        {"../x", {"..", "x"}},
        {"D:/other/x", {"D:", "other", "x"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<std::string> tokens;
        splitPath(&tokens, c.text, "/\\");
        EXPECT_EQ(c.tokens, tokens);
    }
}

namespace {

// A served root "pkg" inside a temporary folder, with a sibling "pkg2" and a file beside the
// root, so escapes have something to find.
class ResolvePathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        base.makeDirectory("pkg/fw/latest");
        base.writeFile("pkg/a.bin", "a");
        base.writeFile("pkg2/a.bin", "outside");
        base.writeFile("secret.txt", "outside");
        root = base.join("pkg");
        useServedRoot(root);
        record = std::make_unique<OfflineSession>();
    }

    // The resolution's result, with the root shown as "<root>".
    std::string resolve(const std::string& argument, int* status = nullptr) {
        std::string result;
        int code = resolvePath(record->session, argument, &result);
        if (status != nullptr) {
            *status = code;
        }
        if (result.compare(0, root.size(), root) == 0) {
            result = "<root>" + result.substr(root.size());
        }
        for (char& c : result) {
            c = c == kPathSeparator ? '/' : c;
        }
        return result;
    }

    TemporaryDirectory base;
    std::string root;
    std::unique_ptr<OfflineSession> record;
};

}  // namespace

TEST_F(ResolvePathTest, ResolvesInsideTheRoot) {
    struct Case {
        const char* argument;
        const char* result;
    };
    const Case cases[] = {
        {"", ""},
        {"a.bin", "<root>/a.bin"},
        {"fw/a.bin", "<root>/fw/a.bin"},
        {"/fw/a.bin", "<root>/fw/a.bin"},
        {"\\fw\\a.bin", "<root>/fw/a.bin"},
        {"//fw///a.bin/", "<root>/fw/a.bin"},
        {"/", "<root>"},
        {"fw/", "<root>/fw"},
        {"new file.bin", "<root>/new file.bin"},
        {"./fw/./latest/..", "<root>/fw"},
        {"../pkg/a.bin", "<root>/a.bin"},
        {"fw/../../pkg/fw", "<root>/fw"},
        {"nosuch/deeper/x", "<root>/nosuch/deeper/x"},
        {"*.bin", "<root>/*.bin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argument);
        int status = -1;
        EXPECT_EQ(c.result, resolve(c.argument, &status));
        EXPECT_EQ(0, status);
    }
}

TEST_F(ResolvePathTest, RefusesEveryWayOut) {
    const char* escapes[] = {
        "..", "/..", "../x", "/../x", "a/../../x", "\\..\\x", "//..", "../pkg2/a.bin",
        "../secret.txt", "fw/latest/../../../secret.txt", "/fw/../../pkg2", "..\\..\\..\\etc",
        "./../pkg2", "../../../../../../../../../../../../etc/passwd",
    };
    for (const char* argument : escapes) {
        SCOPED_TRACE(argument);
        int status = 0;
        EXPECT_EQ("", resolve(argument, &status));
        EXPECT_NE(0, status);
    }
}

TEST_F(ResolvePathTest, DrivePrefixesAreNamesOnlyWhereThePlatformHasNoDrives) {
    int status = 0;
    if (isReservedName("D:")) {
        EXPECT_EQ("", resolve("D:/other/x", &status));
        EXPECT_NE(0, status);
        EXPECT_EQ("", resolve("fw/nul.txt", &status));
    } else {
        EXPECT_EQ("<root>/D:/other/x", resolve("D:/other/x", &status));
        EXPECT_EQ(0, status);
    }
}

TEST_F(ResolvePathTest, RelativeArgumentsFollowTheSessionDirectory) {
    char cwd[] = "fw";
    ASSERT_TRUE(changeDirectory(record->session, cwd));
    EXPECT_EQ("<root>/fw/latest", resolve("latest"));
    EXPECT_EQ("<root>/a.bin", resolve("../a.bin"));
    EXPECT_EQ("<root>/a.bin", resolve("/a.bin"));
    EXPECT_EQ("", resolve("../../secret.txt"));
}

TEST_F(ResolvePathTest, FollowsLinksOnlyWhileTheyStayInside) {
    namespace filesystem = std::filesystem;
    std::error_code error;
    filesystem::create_directory_symlink(base.join("pkg2"), base.join("pkg/out"), error);
    if (error) {
        GTEST_SKIP() << "this platform cannot make links here: " << error.message();
    }
    filesystem::create_symlink(base.join("secret.txt"), base.join("pkg/secret-link"));
    filesystem::create_directory_symlink(base.join("pkg/fw"), base.join("pkg/in"));
    EXPECT_EQ("", resolve("out/a.bin"));
    EXPECT_EQ("", resolve("out"));
    EXPECT_EQ("", resolve("out/new.bin"));
    EXPECT_EQ("", resolve("secret-link"));
    EXPECT_EQ("<root>/fw/latest", resolve("in/latest"));
    EXPECT_EQ("<root>/fw/new.bin", resolve("in/new.bin"));
    // A link that stays inside names itself, so DELE and RNFR act on the link, not on its
    // target; opening it still reaches the target, which was checked.
    filesystem::create_symlink(base.join("pkg/a.bin"), base.join("pkg/current"));
    EXPECT_EQ("<root>/current", resolve("current"));
}

TEST_F(ResolvePathTest, LongArgumentsResolveOrFailCleanly) {
    std::string deep;
    for (int i = 0; i < 120; i++) {
        deep += "d/";
    }
    EXPECT_EQ("<root>/" + deep.substr(0, deep.size() - 1), resolve(deep));
    std::string climbing;
    for (int i = 0; i < 160; i++) {
        climbing += "../";
    }
    EXPECT_EQ("", resolve(climbing + "etc"));
    EXPECT_EQ("<root>/" + std::string(480, 'n'), resolve(std::string(480, 'n')));
}
