// tests/platform/path_text_test.cpp: paths as text, on whichever platform runs the tests.
#include "platform/path_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/support/temporary_directory.h"

using Names = std::vector<std::string>;

TEST(SplitNames, KeepsRunsBetweenSeparatorsOnly) {
    struct Case {
        const char* text;
        Names names;
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
        Names names;
        splitNames(c.text, "/\\", &names);
        EXPECT_EQ(c.names, names);
    }
}

TEST(PathForms, TurnClientPathsAndRootRelativeOnesIntoEachOther) {
    const std::pair<const char*, const char*> pairs[] = {
        {"/", "."}, {"/fw", "fw"}, {"/fw/latest", "fw/latest"}, {"/n\xc3\xabw", "n\xc3\xabw"}};
    for (const auto& pair : pairs) {
        SCOPED_TRACE(pair.first);
        EXPECT_EQ(pair.second, toRootRelative(pair.first));
        char shown[kClientPathSize];
        ASSERT_EQ(0, toClientPath(pair.second, shown, sizeof shown));
        EXPECT_STREQ(pair.first, shown);
    }
    char tiny[3];
    EXPECT_NE(0, toClientPath("fw", tiny, sizeof tiny));
}

TEST(TakeDotNames, TakesDotsByNameAndNeverRisesAboveTheRoot) {
    Names names;
    ASSERT_EQ(0, takeDotNames({"fw", ".", "latest", "..", "a.bin"}, &names));
    EXPECT_EQ((Names{"fw", "a.bin"}), names);
    names.clear();
    EXPECT_NE(0, takeDotNames({"fw", "..", ".."}, &names));
}

TEST(NamesBelowRoot, TakesOnlyWholeNamesOfTheRootsRealPath) {
    TemporaryDirectory base;
    base.makeDirectory("pkg/fw");
    base.makeDirectory("pkg2");
    useServedRoot(base.join("pkg"));
    std::string root = servedRootPath();
    struct Case {
        std::string path;
        int status;
        Names names;
    };
    const Case cases[] = {
        {root, 0, {}},
        {root + "/fw/./a.bin", 0, {"fw", "a.bin"}},
        {root + "/../pkg2", 0, {"..", "pkg2"}},  // the walk takes ".." after this
        {root + "2", -1, {}},
        {"fw", -1, {}},
        {std::string(root).substr(0, root.size() - 1), -1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Names names;
        EXPECT_EQ(c.status, namesBelowRoot(c.path.c_str(), &names));
        EXPECT_EQ(c.names, names);
    }
    // Windows: a path from the top of the current drive means the root's drive, and names
    // compare without regard to case.
    if (drivePrefixLength(root.c_str()) > 0) {
        Names names;
        std::string fromTop = root.substr(drivePrefixLength(root.c_str())) + "\\FW";
        ASSERT_EQ(0, namesBelowRoot(fromTop.c_str(), &names));
        EXPECT_EQ((Names{"FW"}), names);
    }
}
