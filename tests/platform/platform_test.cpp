// tests/platform/platform_test.cpp: the platform behaviour the server relies on, checked on
// whichever platform runs the tests.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/console_text.h"
#include "tests/support/loopback.h"
#include "tests/support/temporary_directory.h"

namespace {

std::vector<std::string> findNames(const std::string& pattern) {
    std::vector<std::string> names;
    FindEntry entry;
    FindState* state = findFirst(pattern.c_str(), &entry);
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

void makeReadOnly(const std::string& path) {
    std::filesystem::permissions(path,
                                 std::filesystem::perms::owner_write |
                                     std::filesystem::perms::group_write |
                                     std::filesystem::perms::others_write,
                                 std::filesystem::perm_options::remove);
}

using Names = std::vector<std::string>;

}  // namespace

TEST(Find, MatchesLikeTheWindowsFindFunctions) {
    TemporaryDirectory folder;
    for (const char* name : {"a.bin", "B.BIN", "readme", "x[1].txt", "ab.txt", "sub/inner.bin"}) {
        folder.writeFile(name, "x");
    }
    struct Case {
        const char* pattern;
        Names names;
    };
    const Case cases[] = {
        {"*", {"B.BIN", "a.bin", "ab.txt", "readme", "sub", "x[1].txt"}},
        {"*.*", {"B.BIN", "a.bin", "ab.txt", "readme", "sub", "x[1].txt"}},
        {"*.bin", {"B.BIN", "a.bin"}},
        {"?.BIN", {"B.BIN", "a.bin"}},
        {"a*", {"a.bin", "ab.txt"}},
        {"x[1].txt", {"x[1].txt"}},
        {"[", {}},
        {"README", {"readme"}},
        {"sub", {"sub"}},
        {"-la", {}},
        {"sub/*", {"inner.bin"}},
        {"nosuch/*", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        EXPECT_EQ(c.names, findNames(folder.join(c.pattern)));
    }
}

TEST(Find, ReportsAttributesAndSizes) {
    TemporaryDirectory folder;
    folder.writeFile("file.bin", std::string(1234, 'x'));
    folder.makeDirectory("dir");
    makeReadOnly(folder.writeFile("ro.bin", "x"));
    FindEntry entry;
    FindState* state = findFirst(folder.join("file.bin").c_str(), &entry);
    ASSERT_NE(nullptr, state);
    findClose(state);
    EXPECT_EQ(1234, entry.size);
    EXPECT_EQ(0u, entry.attributes & (kAttributeDirectory | kAttributeReadOnly));
    state = findFirst(folder.join("dir").c_str(), &entry);
    ASSERT_NE(nullptr, state);
    findClose(state);
    EXPECT_EQ(0, entry.size);
    EXPECT_NE(0u, entry.attributes & kAttributeDirectory);
    state = findFirst(folder.join("ro.bin").c_str(), &entry);
    ASSERT_NE(nullptr, state);
    findClose(state);
    EXPECT_NE(0u, entry.attributes & kAttributeReadOnly);
}

TEST(FileChanges, RenameNeverReplacesButUploadsDo) {
    TemporaryDirectory folder;
    std::string a = folder.writeFile("a", "old a");
    std::string b = folder.writeFile("b", "old b");
    EXPECT_NE(0, renameEntry(a.c_str(), b.c_str()));
    char text[kErrorTextSize];
    lastErrorText(text, sizeof text);
    EXPECT_STREQ("File exists", text);
    std::string c = folder.join("c");
    EXPECT_EQ(0, renameEntry(a.c_str(), c.c_str()));
    EXPECT_EQ(0, replaceFile(c.c_str(), b.c_str()));
    std::ifstream file(b);
    std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ("old a", content);
    std::string dirA = folder.makeDirectory("dirA");
    std::string dirB = folder.makeDirectory("dirB");
    EXPECT_NE(0, renameEntry(dirA.c_str(), dirB.c_str()));
}

// A path command checks its path and then asks its status; whatever changed in between, or
// since, must show.
TEST(FileChanges, StatusAfterAPathCheckSeesEveryLaterChange) {
    TemporaryDirectory folder;
    std::string a = folder.writeFile("a", "12345");
    std::string b = folder.writeFile("b", "1234567890");
    char real[4096];
    FileStatus status;
    ASSERT_EQ(0, realPath(a.c_str(), real, sizeof real));
    ASSERT_EQ(0, fileStatus(real, &status));
    EXPECT_EQ(5, status.size);
    EXPECT_TRUE(status.isRegularFile);

    ASSERT_EQ(0, realPath(a.c_str(), real, sizeof real));
    ASSERT_EQ(0, replaceFile(b.c_str(), a.c_str()));
    ASSERT_EQ(0, fileStatus(real, &status));
    EXPECT_EQ(10, status.size);

    ASSERT_EQ(0, realPath(a.c_str(), real, sizeof real));
    ASSERT_EQ(0, fileStatus(real, &status));
    {
        std::ofstream append(a, std::ios::app | std::ios::binary);
        append << "more";
    }
    ASSERT_EQ(0, fileStatus(real, &status));
    EXPECT_EQ(14, status.size);

    ASSERT_EQ(0, realPath(a.c_str(), real, sizeof real));
    ASSERT_EQ(0, removeFile(real));
    EXPECT_NE(0, fileStatus(real, &status));
}

TEST(FileChanges, ReadOnlyFilesAreNotRemovedWhateverOurPrivileges) {
    TemporaryDirectory folder;
    std::string path = folder.writeFile("ro.bin", "keep");
    makeReadOnly(path);
    EXPECT_NE(0, removeFile(path.c_str()));
    char text[kErrorTextSize];
    lastErrorText(text, sizeof text);
    EXPECT_STREQ("Permission denied", text);
    EXPECT_TRUE(std::filesystem::exists(path));
}

TEST(Files, OpenForReadingTakesRegularFilesOnly) {
    TemporaryDirectory folder;
    std::string file = folder.writeFile("a.bin", "abc");
    int descriptor = openForReading(file.c_str());
    ASSERT_GE(descriptor, 0);
    char buffer[8];
    EXPECT_EQ(3, readFile(descriptor, buffer, sizeof buffer));
    EXPECT_EQ(0, readFile(descriptor, buffer, sizeof buffer));
    EXPECT_EQ(0, closeFile(descriptor));
    EXPECT_LT(openForReading(folder.path().c_str()), 0);
    char text[kErrorTextSize];
    lastErrorText(text, sizeof text);
    EXPECT_STREQ("Is a directory", text);
    EXPECT_LT(openForReading(folder.join("missing").c_str()), 0);
}

TEST(Files, CreateNewFileRefusesAnExistingName) {
    TemporaryDirectory folder;
    std::string path = folder.join("new.bin");
    int descriptor = createNewFile(path.c_str());
    ASSERT_GE(descriptor, 0);
    EXPECT_EQ(0, writeFile(descriptor, "data", 4));
    EXPECT_EQ(0, closeFile(descriptor));
    EXPECT_LT(createNewFile(path.c_str()), 0);
}

TEST(Files, SendFilePieceSendsTheFileAndTellsWhichSideFailed) {
    TemporaryDirectory folder;
    std::string content;
    for (int i = 0; i < 700 * 1024; i++) {
        content.push_back(static_cast<char>((i * 7 + i / 4096) & 0xff));
    }
    std::string path = folder.writeFile("piece.bin", content);
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
        int file = openForReading(path.c_str());
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
            int file = openForReading(path.c_str());
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
        int file = createNewFile(folder.join("write-only.bin").c_str());
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
