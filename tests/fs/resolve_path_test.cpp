// tests/fs/resolve_path_test.cpp: splitting and confining argument paths.
#include "fs/resolve_path.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/settings.h"
#include "fs/working_directory.h"
#include "session/session.h"
#include "tests/support/loopback.h"
#include "tests/support/temporary_directory.h"

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
        useServedRoot(base.join("pkg"));
        rootName = std::filesystem::path(servedRootPath()).filename().string();
        record = std::make_unique<OfflineSession>();
    }

    // The resolution's result: the path below the root that the platform walks.
    std::string resolve(const std::string& argument, int* status = nullptr) {
        std::string result = "not touched";
        int code = resolvePath(record->session, argument, &result);
        if (status != nullptr) {
            *status = code;
        }
        return result;
    }

    TemporaryDirectory base;
    std::string rootName;
    std::unique_ptr<OfflineSession> record;
};

}  // namespace

TEST_F(ResolvePathTest, ResolvesInsideTheRoot) {
    struct Case {
        const char* argument;
        const char* result;
    };
    // ".." stays for the walk, which goes up from where a link leads; only a stretch above
    // the root is settled by name.
    const Case cases[] = {
        {"", ""},
        {"a.bin", "a.bin"},
        {"fw/a.bin", "fw/a.bin"},
        {"/fw/a.bin", "fw/a.bin"},
        {"\\fw\\a.bin", "fw/a.bin"},
        {"//fw///a.bin/", "fw/a.bin"},
        {"/", "."},
        {"fw/", "fw"},
        {"new file.bin", "new file.bin"},
        {"./fw/./latest/..", "fw/latest/.."},
        {"nosuch/deeper/x", "nosuch/deeper/x"},
        {"*.bin", "*.bin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argument);
        int status = -1;
        EXPECT_EQ(c.result, resolve(c.argument, &status));
        EXPECT_EQ(0, status);
    }
    // Out and back in by the root's own name.
    EXPECT_EQ("a.bin", resolve("../" + rootName + "/a.bin"));
    EXPECT_EQ("fw", resolve("fw/../../" + rootName + "/fw"));
    EXPECT_EQ(".", resolve("../" + rootName + "/../" + rootName));
}

TEST_F(ResolvePathTest, RefusesEveryWayOutByName) {
    const char* escapes[] = {
        "..",
        "/..",
        "../x",
        "/../x",
        "a/../../x",
        "\\..\\x",
        "//..",
        "../pkg2/a.bin",
        "../secret.txt",
        "fw/latest/../../../secret.txt",
        "/fw/../../pkg2",
        "..\\..\\..\\etc",
        "./../pkg2",
        "../../../../../../../../../../../../etc/passwd",
        "*/../..",
        "../pkg2",
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
        EXPECT_EQ("D:/other/x", resolve("D:/other/x", &status));
        EXPECT_EQ(0, status);
    }
}

TEST_F(ResolvePathTest, RelativeArgumentsFollowTheSessionDirectory) {
    char cwd[] = "fw";
    ASSERT_TRUE(changeDirectory(record->session, cwd));
    EXPECT_EQ("fw/latest", resolve("latest"));
    EXPECT_EQ("fw/../a.bin", resolve("../a.bin"));
    EXPECT_EQ("a.bin", resolve("/a.bin"));
    EXPECT_EQ("", resolve("../../secret.txt"));
}

TEST_F(ResolvePathTest, LongArgumentsResolveOrFailCleanly) {
    std::string deep;
    for (int i = 0; i < 120; i++) {
        deep += "d/";
    }
    EXPECT_EQ(deep.substr(0, deep.size() - 1), resolve(deep));
    std::string climbing;
    for (int i = 0; i < 160; i++) {
        climbing += "../";
    }
    EXPECT_EQ("", resolve(climbing + "etc"));
    EXPECT_EQ(std::string(480, 'n'), resolve(std::string(480, 'n')));
}
