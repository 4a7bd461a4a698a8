// tests/platform/platform_test.cpp: the platform behaviour the server relies on, checked on
// whichever platform runs the tests.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/settings.h"
#include "platform/console_text.h"
#include "tests/support/loopback.h"
#include "tests/support/temporary_directory.h"

namespace {

void makeReadOnly(const std::string& path) {
    std::filesystem::permissions(path,
                                 std::filesystem::perms::owner_write |
                                     std::filesystem::perms::group_write |
                                     std::filesystem::perms::others_write,
                                 std::filesystem::perm_options::remove);
}

using Names = std::vector<std::string>;

std::string lastError() {
    char text[kErrorTextSize];
    lastErrorText(text, sizeof text);
    return text;
}

// A served root in a fresh temporary folder, with "outside" beside it, and the root as a
// session opens it.
class BeneathTest : public ::testing::Test {
   protected:
    void SetUp() override {
        base.makeDirectory("root");
        base.writeFile("outside/secret.txt", "outside");
        useServedRoot(base.join("root"));
        root = openServedRoot();
        ASSERT_NE(nullptr, root);
    }
    void TearDown() override {
        closeFolder(root);
    }

    std::string inRoot(const std::string& relative) const {
        return base.join("root/" + relative);
    }

    Names findNames(const std::string& folder, const std::string& pattern) {
        Names names;
        FindEntry entry;
        FindState* state = findFirst(root, folder.c_str(), pattern.c_str(), &entry);
        if (state == nullptr) {
            return names;
        }
        do {
            names.push_back(entry.name);
        } while (findNext(state, &entry) == 0);
        findClose(state);
        std::sort(names.begin(), names.end());
        names.erase(std::remove_if(names.begin(), names.end(),
                                   [](const std::string& n) { return n == "." || n == ".."; }),
                    names.end());
        return names;
    }

    FindEntry findOne(const std::string& name) {
        FindEntry entry = {};
        FindState* state = findFirst(root, ".", name.c_str(), &entry);
        EXPECT_NE(nullptr, state) << name;
        findClose(state);
        return entry;
    }

    // The entry's lookup; fails the test when it fails.
    EntryLookup entry(const std::string& path) {
        EntryLookup found = {};
        EXPECT_EQ(0, lookUpEntry(root, path.c_str(), &found)) << path << ": " << lastError();
        return found;
    }

    TemporaryDirectory base;
    Folder* root = nullptr;
};

}  // namespace

TEST_F(BeneathTest, FindMatchesLikeTheWindowsFindFunctions) {
    for (const char* name : {"a.bin", "B.BIN", "readme", "x[1].txt", "ab.txt", "sub/inner.bin"}) {
        base.writeFile("root/" + std::string(name), "x");
    }
    struct Case {
        const char* folder;
        const char* pattern;
        Names names;
    };
    const Case cases[] = {
        {".", "*", {"B.BIN", "a.bin", "ab.txt", "readme", "sub", "x[1].txt"}},
        {".", "*.*", {"B.BIN", "a.bin", "ab.txt", "readme", "sub", "x[1].txt"}},
        {".", "*.bin", {"B.BIN", "a.bin"}},
        {".", "?.BIN", {"B.BIN", "a.bin"}},
        {".", "a*", {"a.bin", "ab.txt"}},
        {".", "x[1].txt", {"x[1].txt"}},
        {".", "[", {}},
        {".", "README", {"readme"}},
        {".", "sub", {"sub"}},
        {".", "-la", {}},
        {"sub", "*", {"inner.bin"}},
        {"sub/..", "sub", {"sub"}},
        {"nosuch", "*", {}},
        {"..", "*", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.folder) + " " + c.pattern);
        EXPECT_EQ(c.names, findNames(c.folder, c.pattern));
    }
}

// Links as an operator may plant them: each lookup either stays beneath the root or is
// refused; nothing outside is ever reported.
TEST_F(BeneathTest, FollowsLinksOnlyWhileTheyStayInside) {
    namespace filesystem = std::filesystem;
    std::error_code error;
    filesystem::create_directory_symlink(base.join("outside"), inRoot("out"), error);
    if (error) {
        GTEST_SKIP() << "this platform cannot make links here: " << error.message();
    }
    base.writeFile("root/fw/a.bin", "inside");
    base.makeDirectory("root/d");
    const std::pair<const char*, const char*> links[] = {
        {"outrel", "../outside"},
        {"secret", "../outside/secret.txt"},
        {"in", "fw"},
        {"inabs", ""},  // filled below: the root's real path
        {"fw/up", ".."},
        {"d/deep", "../fw/../fw/a.bin"},
        {"loop", "loop"},
        {"dangling", "nothing-here"},
        {"d/root", "../.."},
        {"self", "."},
    };
    for (const auto& link : links) {
        std::string target =
            link.second[0] != '\0' ? link.second : std::string(servedRootPath()) + "/fw";
        filesystem::create_symlink(target, inRoot(link.first));
    }
    struct Case {
        const char* path;
        const char* found;  // the size of a.bin ("6"), "dir", "missing" or "refused"
    };
    const Case cases[] = {
        {"out", "refused"},
        {"out/secret.txt", "refused"},
        {"outrel/secret.txt", "refused"},
        {"secret", "refused"},
        {"in/a.bin", "6"},
        {"inabs/a.bin", "6"},
        {"in/../fw/a.bin", "6"},
        {"fw/up/fw/a.bin", "6"},
        {"d/deep", "6"},
        {"fw/up/..", "refused"},
        {"in/../..", "refused"},
        {"loop", "refused"},
        {"dangling", "missing"},
        {"d/root", "refused"},
        {"self/self/fw/a.bin", "6"},
        {"fw/a.bin/x", "missing"},
        {"nosuch/x", "missing"},
        {"self", "dir"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        FileStatus status;
        std::string found;
        if (fileStatusBeneath(root, c.path, &status) == 0) {
            found = status.isDirectory ? "dir" : std::to_string(status.size);
        } else {
            found = isLastError(ErrorKind::kRefusedPath) ? "refused" : "missing";
        }
        EXPECT_EQ(c.found, found);
    }
    // DELE, RNFR and the like act on a link itself, unless it leads out (refused) or to the
    // root (which then counts as named).
    EntryLookup own = entry("in");
    EXPECT_TRUE(own.exists && own.status.isLink);
    closeFolder(own.folder);
    EntryLookup up = entry("fw/up");
    EXPECT_EQ(nullptr, up.folder);
    EntryLookup refused = {};
    EXPECT_NE(0, lookUpEntry(root, "out", &refused));
    EXPECT_TRUE(isLastError(ErrorKind::kRefusedPath));
    char reached[kClientPathSize];
    FileStatus status;
    ASSERT_EQ(0, locateBeneath(root, "in/../d/deep", reached, sizeof reached, &status));
    EXPECT_STREQ("fw/a.bin", reached);
}

// Names cross the platform layer as UTF-8: as the bytes they are on POSIX, through UTF-16 on
// Windows, where text that is not UTF-8 can name nothing and is refused.
TEST_F(BeneathTest, NamesTravelAsUtf8) {
    const bool isWindows = kPathSeparator == '\\';
    const std::string name = "nëw ünïcødé 日本.txt";
    const std::string folder = "földer 日本";
    const std::string renamed = folder + "/rënamed 日本.txt";
    EntryLookup created = entry(name);
    ASSERT_FALSE(created.exists);
    EXPECT_EQ(name, created.name);
    int file = createNewFileAt(created.folder, created.name);
    ASSERT_GE(file, 0) << lastError();
    EXPECT_EQ(0, writeFile(file, "data", 4));
    EXPECT_EQ(0, closeFile(file));
    EXPECT_EQ(0, makeDirectoryAt(created.folder, folder.c_str())) << lastError();
    closeFolder(created.folder);
    EXPECT_EQ((Names{folder, name}), findNames(".", "*"));
    EXPECT_EQ((Names{name}), findNames(".", "*日本.txt"));
    FileStatus status;
    EXPECT_EQ(0, fileStatusBeneath(root, name.c_str(), &status)) << lastError();
    EXPECT_EQ(4, status.size);
    char reached[kClientPathSize];
    EXPECT_EQ(0, locateBeneath(root, folder.c_str(), reached, sizeof reached, &status));
    EXPECT_EQ(folder, reached);
    // Letters beyond ASCII match without regard to case where the platform's names do.
    EntryLookup upper = entry("NËW ÜNÏCØDÉ 日本.TXT");
    EXPECT_EQ(isWindows, upper.exists);
    closeFolder(upper.folder);
    EXPECT_EQ(isWindows, isSameName("földer", "FÖLDER"));
    EntryLookup from = entry(name);
    EntryLookup to = entry(renamed);
    EXPECT_EQ(0, renameEntryAt(from.folder, from.name, to.folder, to.name)) << lastError();
    EXPECT_EQ((Names{"rënamed 日本.txt"}), findNames(folder, "*"));
    EXPECT_EQ(0, removeFileAt(to.folder, to.name)) << lastError();
    closeFolder(to.folder);  // it pins the folder, which is removed next
    EXPECT_EQ(0, removeDirectoryAt(from.folder, folder.c_str())) << lastError();
    closeFolder(from.folder);
    EXPECT_EQ(Names{}, findNames(".", "*"));
    for (const char* invalid : {"bad\xFF.txt", "\xC0\xAE\xC0\xAE", "cut\xE6\x97", "\xED\xA0\x80"}) {
        SCOPED_TRACE(invalid);
        EntryLookup found = {};
        EXPECT_EQ(isWindows ? -1 : 0, lookUpEntry(root, invalid, &found));
        EXPECT_EQ(isWindows, isLastError(ErrorKind::kRefusedPath));
        EXPECT_EQ(isWindows, isReservedName(invalid));
        closeFolder(found.folder);
    }
    EXPECT_EQ(isWindows, isReservedName("com¹"));
    EXPECT_EQ(isWindows, isReservedName("LPT³.txt"));
    EXPECT_FALSE(isReservedName("COM¼"));
}

TEST_F(BeneathTest, FindReportsAttributesAndSizes) {
    base.writeFile("root/file.bin", std::string(1234, 'x'));
    base.makeDirectory("root/dir");
    makeReadOnly(base.writeFile("root/ro.bin", "x"));
    FindEntry entry = findOne("file.bin");
    EXPECT_EQ(1234, entry.size);
    EXPECT_EQ(0u, entry.attributes & (kAttributeDirectory | kAttributeReadOnly));
    entry = findOne("dir");
    EXPECT_EQ(0, entry.size);
    EXPECT_NE(0u, entry.attributes & kAttributeDirectory);
    EXPECT_NE(0u, findOne("ro.bin").attributes & kAttributeReadOnly);
}

TEST_F(BeneathTest, RenameNeverReplacesButUploadsDo) {
    base.writeFile("root/a", "old a");
    base.writeFile("root/b", "old b");
    base.makeDirectory("root/dirA");
    base.makeDirectory("root/dirB");
    EntryLookup a = entry("a");
    EntryLookup b = entry("b");
    EntryLookup c = entry("c");
    EXPECT_FALSE(c.exists);
    EXPECT_NE(0, renameEntryAt(a.folder, a.name, b.folder, b.name));
    EXPECT_EQ("File exists", lastError());
    EXPECT_EQ(0, renameEntryAt(a.folder, a.name, c.folder, c.name));
    EXPECT_EQ(0, replaceFileAt(c.folder, c.name, b.name));
    std::ifstream file(inRoot("b"));
    std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ("old a", content);
    EntryLookup dirA = entry("dirA");
    EntryLookup dirB = entry("dirB");
    EXPECT_NE(0, renameEntryAt(dirA.folder, dirA.name, dirB.folder, dirB.name));
    for (EntryLookup* found : {&a, &b, &c, &dirA, &dirB}) {
        closeFolder(found->folder);
    }
}

TEST_F(BeneathTest, ReadOnlyFilesAreNotRemovedWhateverOurPrivilegesButOwnFilesAre) {
    std::string path = base.writeFile("root/ro.bin", "keep");
    makeReadOnly(path);
    EntryLookup found = entry("ro.bin");
    EXPECT_NE(0, removeFileAt(found.folder, found.name));
    EXPECT_EQ("Permission denied", lastError());
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(0, removeOwnFileAt(found.folder, found.name));
    EXPECT_FALSE(std::filesystem::exists(path));
    closeFolder(found.folder);
}

TEST_F(BeneathTest, OpenFileTakesRegularFilesOnly) {
    base.writeFile("root/a.bin", "abc");
    int descriptor = openFileBeneath(root, "a.bin", nullptr);
    ASSERT_GE(descriptor, 0);
    char buffer[8];
    EXPECT_EQ(3, readFile(descriptor, buffer, sizeof buffer));
    EXPECT_EQ(0, readFile(descriptor, buffer, sizeof buffer));
    EXPECT_EQ(0, closeFile(descriptor));
    EXPECT_LT(openFileBeneath(root, ".", nullptr), 0);
    EXPECT_EQ("Is a directory", lastError());
    EXPECT_LT(openFileBeneath(root, "missing", nullptr), 0);
    EXPECT_EQ("No such file or directory", lastError());
    // A file open to be digested keeps no client's DELE away, on Windows too.
    int digested = openFileBeneath(root, "a.bin", nullptr, true);
    ASSERT_GE(digested, 0);
    EntryLookup found = entry("a.bin");
    EXPECT_EQ(0, removeFileAt(found.folder, found.name)) << lastError();
    closeFolder(found.folder);
    EXPECT_EQ(0, closeFile(digested));
}

TEST_F(BeneathTest, CreateNewFileRefusesAnExistingName) {
    EntryLookup found = entry("new.bin");
    int descriptor = createNewFileAt(found.folder, found.name);
    ASSERT_GE(descriptor, 0);
    EXPECT_EQ(0, writeFile(descriptor, "data", 4));
    EXPECT_EQ(0, closeFile(descriptor));
    EXPECT_LT(createNewFileAt(found.folder, found.name), 0);
    EXPECT_TRUE(isLastError(ErrorKind::kExists));
    closeFolder(found.folder);
}

TEST_F(BeneathTest, SendFilePieceSendsTheFileAndTellsWhichSideFailed) {
    std::string content;
    for (int i = 0; i < 700 * 1024; i++) {
        content.push_back(static_cast<char>((i * 7 + i / 4096) & 0xff));
    }
    base.writeFile("root/piece.bin", content);
    std::vector<char> buffer(256 * 1024);
    {
        LoopbackPair pair;
        std::string received;
        std::thread reader([&] {
            char chunk[65536];
            long long count;
            while ((count = receiveBytes(pair.client, chunk, sizeof chunk)) > 0) {
                received.append(chunk, static_cast<std::size_t>(count));
            }
        });
        int file = openFileBeneath(root, "piece.bin", nullptr);
        ASSERT_GE(file, 0);
        bool sendFailed = true;
        long long count;
        while ((count = sendFilePiece(pair.server, file, buffer.data(), buffer.size(),
                                      &sendFailed)) > 0) {
            EXPECT_LE(count, static_cast<long long>(buffer.size()));
        }
        EXPECT_EQ(0, count);
        EXPECT_FALSE(sendFailed);
        EXPECT_EQ(0, closeFile(file));
        shutdownReceiving(pair.server);
        closeSocket(pair.server);
        pair.server = kNoSocket;
        reader.join();
        EXPECT_TRUE(received == content) << received.size() << " bytes received";
    }
    {
        SCOPED_TRACE("a peer that has gone");
        LoopbackPair pair;
        closeSocket(pair.client);
        pair.client = kNoSocket;
        bool sendFailed = false;
        long long count = 1;
        for (int round = 0; round < 20 && count > 0; round++) {
            int file = openFileBeneath(root, "piece.bin", nullptr);
            ASSERT_GE(file, 0);
            while ((count = sendFilePiece(pair.server, file, buffer.data(), buffer.size(),
                                          &sendFailed)) > 0) {
            }
            EXPECT_EQ(0, closeFile(file));
        }
        EXPECT_EQ(-1, count);
        EXPECT_TRUE(sendFailed);
    }
    {
        SCOPED_TRACE("a file that cannot be read");
        LoopbackPair pair;
        EntryLookup found = entry("write-only.bin");
        int file = createNewFileAt(found.folder, found.name);
        closeFolder(found.folder);
        ASSERT_GE(file, 0);
        bool sendFailed = true;
        EXPECT_EQ(-1, sendFilePiece(pair.server, file, buffer.data(), buffer.size(), &sendFailed));
        EXPECT_FALSE(sendFailed);
        EXPECT_EQ(0, closeFile(file));
    }
}

namespace {
struct StartRecord {
    std::atomic<int> finished{0};
    std::atomic<int> startedWithOldError{0};
};

void recordFreshStart(void* argument) {
    StartRecord* record = static_cast<StartRecord*>(argument);
    char text[kErrorTextSize];
    char busy[kErrorTextSize];
    lastErrorText(text, sizeof text);
    setLastError(ErrorKind::kBusy);
    lastErrorText(busy, sizeof busy);
    if (std::string(text) == busy) {
        record->startedWithOldError.fetch_add(1);
    }
    record->finished.fetch_add(1);
}
}  // namespace

TEST(DescribeLocalAddress, FindsTheInterfaceOfAListedAddressAndNoneForAnother) {
    LocalAddressDetails details;
    NetworkAddress documentation;  // TEST-NET-1, which no host is given
    ASSERT_EQ(0, parseAddress("192.0.2.254", AddressFamily::kIpv4, &documentation));
    EXPECT_EQ(-1, describeLocalAddress(&documentation, &details));
    NetworkAddress listed[kMaxLocalAddresses];
    if (queryLocalAddresses(listed, kMaxLocalAddresses) <= 0 ||
        describeLocalAddress(&listed[0], &details) != 0) {
        // Wine's adapter list need not hold the addresses of its host name's entry.
        GTEST_SKIP() << "no interface is named for the first listed address";
    }
    EXPECT_STRNE("", details.interfaceName);
    EXPECT_TRUE(details.prefixLength >= 0 && details.prefixLength <= 32) << details.prefixLength;
}

TEST(Threads, EveryStartRunsAndBeginsWithoutAnEarlierError) {
    // One after another, as sessions often come: a thread whose entry has ended may take the
    // next one, which must still start as on a thread of its own.
    StartRecord record;
    const int kStarts = 30;
    for (int i = 0; i < kStarts; i++) {
        ASSERT_EQ(0, startThread(recordFreshStart, &record));
        for (int waited = 0; record.finished.load() <= i && waited < 5000; waited++) {
            sleepMilliseconds(1);
        }
        ASSERT_EQ(i + 1, record.finished.load());
    }
    EXPECT_EQ(0, record.startedWithOldError.load());
}

TEST(Errors, EachThreadKeepsItsOwnError) {
    setLastError(ErrorKind::kBusy);
    std::thread other([] { setLastError(ErrorKind::kNotFound); });
    other.join();
    char text[kErrorTextSize];
    lastErrorText(text, sizeof text);
    EXPECT_STRNE("No such file or directory", text);
}

namespace {

using ConsolePieces = std::vector<std::pair<ConsoleStream, std::string>>;

int queueText(ConsoleQueue* queue, ConsoleStream stream, const std::string& text) {
    return queueConsoleText(queue, stream, text.data(), text.size());
}

// Empties the queue as the console thread does; pieces of one stream in a row are joined.
ConsolePieces writeOut(ConsoleQueue* queue) {
    ConsolePieces pieces;
    ConsoleStream stream;
    const char* text;
    while (std::size_t length = oldestConsoleText(queue, &stream, &text)) {
        if (pieces.empty() || pieces.back().first != stream) {
            pieces.emplace_back(stream, "");
        }
        pieces.back().second.append(text, length);
        removeConsoleText(queue, length);
    }
    return pieces;
}

constexpr ConsoleStream kOut = ConsoleStream::kOutput;
constexpr ConsoleStream kErr = ConsoleStream::kError;

}  // namespace

TEST(ConsoleQueue, KeepsTheOrderAcrossBothStreamsAndTheRingsEnd) {
    auto queue = std::make_unique<ConsoleQueue>();
    std::string output(60000, 'a');
    for (int round = 0; round < 3; round++) {  // the third round wraps around the ring's end
        SCOPED_TRACE(round);
        ASSERT_EQ(0, queueText(queue.get(), kOut, output.substr(0, 20000)));
        ASSERT_EQ(0, queueText(queue.get(), kErr, "Unknown ftp command 'X'\n"));
        ASSERT_EQ(0, queueText(queue.get(), kOut, output.substr(20000) + "."));
        EXPECT_EQ((ConsolePieces{{kOut, output.substr(0, 20000)},
                                 {kErr, "Unknown ftp command 'X'\n"},
                                 {kOut, output.substr(20000) + "."}}),
                  writeOut(queue.get()));
    }
}

TEST(ConsoleQueue, DropsWholeTextsAndSaysSoBeforeTheNextOne) {
    auto queue = std::make_unique<ConsoleQueue>();
    ASSERT_EQ(0, queueText(queue.get(), kOut, std::string(kConsoleQueueSize - 3, '.')));
    EXPECT_EQ(-1, queueText(queue.get(), kOut, "    200 OK\n"));
    EXPECT_EQ(-1, queueText(queue.get(), kOut, "."));  // fits, but its drop line does not
    EXPECT_EQ(0, queueText(queue.get(), kErr, "send failed: Broken pipe\n"));
    EXPECT_EQ(2u, writeOut(queue.get()).size());
    ASSERT_EQ(0, queueText(queue.get(), kOut, "."));
    ASSERT_EQ(0, queueText(queue.get(), kOut, "."));
    // The drop line stands on a line of its own, even amid dots.
    EXPECT_EQ((ConsolePieces{{kOut, "\n[12 characters of console output dropped]\n.."}}),
              writeOut(queue.get()));
}

// The status line is cut to the window by characters, never inside one: a cut UTF-8 sequence
// would show as garbage, or on Windows lose the character before it.
TEST(CutToColumns, KeepsWholeCharactersThatFit) {
    struct Case {
        const char* text;
        int columns;
        std::size_t kept;
    };
    const Case cases[] = {
        {"3 connected", 20, 11},
        {"3 connected", 3, 3},
        {"a \u00b7 b", 3, 4},
        {"a \u00b7 b", 2, 2},
        {"\u20ac\u20ac", 1, 3},
        {"abc", 0, 0},
        // Wide characters take two cells, and one that would stand half outside is left out.
        {"\u56fa\u4ef6.bin", 4, 6},
        {"\u56fa\u4ef6.bin", 3, 3},
        {"\uff21\uff22", 3, 3},
        {"a\U0001F680b", 3, 5},
        {"a\U00020000", 2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.kept, cutToColumns(c.text, std::strlen(c.text), c.columns));
    }
}

// The four digests against published values, the bytes given in one piece or several.
TEST(Digests, MatchKnownValues) {
    struct Case {
        std::vector<std::string> pieces;
        const char* expected[kDigestKindCount];
    };
    const Case cases[] = {
        {{},
         {"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
          "da39a3ee5e6b4b0d3255bfef95601890afd80709", "d41d8cd98f00b204e9800998ecf8427e",
          "00000000"}},
        {{"a", "", "bc"},
         {"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
          "a9993e364706816aba3e25717850c26c9cd0d89d", "900150983cd24fb0d6963f7d28e17f72",
          "352441c2"}},
    };
    for (const Case& c : cases) {
        DigestSet* set = beginDigests(kAllDigests);
        ASSERT_NE(nullptr, set);
        for (const std::string& piece : c.pieces) {
            updateDigests(set, piece.data(), piece.size());
        }
        char texts[kDigestKindCount][kDigestTextSize];
        ASSERT_EQ(0, finishDigests(set, texts));
        for (int kind = 0; kind < kDigestKindCount; kind++) {
            EXPECT_STREQ(c.expected[kind], texts[kind]);
        }
    }
}
