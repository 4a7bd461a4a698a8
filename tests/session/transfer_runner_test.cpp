// tests/session/transfer_runner_test.cpp: transfers that end early (a stall, ABOR, a client
// that dies) end within their limit, in-process with short ones; an upload so ended leaves the
// old file as it was and nothing beside it.
#include "session/transfer_runner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "app/settings.h"
#include "session/session.h"
#include "tests/support/loopback.h"
#include "tests/support/temporary_directory.h"

namespace {

void shortWaits(FtpSession* session) {
    session->dataWaitMilliseconds = 2000;
    session->stallMilliseconds = 300;
}

class EndedTransfer : public ::testing::Test {
   protected:
    void SetUp() override {
        useServedRoot(root.path());
        serverSettings.readOnly = false;
    }
    void TearDown() override {
        serverSettings.readOnly = true;
    }

    std::string contents(const char* name) const {
        std::ifstream file(root.join(name));
        return std::string((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    }

    int entryCount() const {
        int count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(root.path())) {
            (void)entry;
            count++;
        }
        return count;
    }

    TemporaryDirectory root;
};

}  // namespace

TEST_F(EndedTransfer, AnUploadThatStopsSendingIsGivenUpAndRemoved) {
    root.writeFile("target.bin", "old contents");
    SessionUnderTest session(shortWaits);
    SocketHandle data = session.openPassiveData();
    ASSERT_NE(kNoSocket, data);
    EXPECT_EQ("150 Opening BINARY mode data connection", session.command("STOR target.bin"));
    ASSERT_EQ(0, sendBytes(data, "partial", 7));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ("550 Connection timed out", session.readLine());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    closeSocket(data);
    EXPECT_EQ("200 OK", session.command("NOOP"));
    EXPECT_EQ(1, entryCount());  // no temporary file left beside the target
    EXPECT_EQ("old contents", contents("target.bin"));
}

// ABOR stops either direction at once, and a client that dies in the middle of an upload (both
// connections end, the data one in order) has not finished it: neither stores anything.
TEST_F(EndedTransfer, AbortedOrAbandonedTransfersStoreNothing) {
    root.writeFile("target.bin", "old contents");
    root.writeFile("big.bin", std::string(32 << 20, 'x'));
    const struct {
        const char* command;
        bool dies;
    } cases[] = {{"RETR big.bin", false},
                 {"STOR target.bin", false},
                 {"STOR target.bin", true},
                 {"STOR new.bin", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        {
            SessionUnderTest session(shortWaits);
            SocketHandle data = session.openPassiveData();
            ASSERT_NE(kNoSocket, data);
            EXPECT_EQ("150 Opening BINARY mode data connection", session.command(c.command));
            char piece[4096] = {};
            EXPECT_EQ(0, c.command[0] == 'R'
                             ? (receiveBytes(data, piece, sizeof piece) > 0 ? 0 : -1)
                             : sendBytes(data, piece, sizeof piece));
            if (c.dies) {
                closeSocket(data);
                closeSocket(session.client);
                session.client = kNoSocket;  // the session's end is awaited as it goes
            } else {
                auto start = std::chrono::steady_clock::now();
                EXPECT_EQ("426 Connection closed; transfer aborted.", session.command("ABOR"));
                EXPECT_EQ("226 Aborted", session.readLine());
                EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
                closeSocket(data);
                EXPECT_EQ("200 OK", session.command("NOOP"));
            }
        }
        EXPECT_EQ(2, entryCount());
        EXPECT_EQ("old contents", contents("target.bin"));
    }
}

TEST_F(EndedTransfer, ADownloadNobodyReadsEnds) {
    root.writeFile("big.bin", std::string(32 << 20, 'x'));
    SessionUnderTest session(shortWaits);
    SocketHandle data = session.openPassiveData();
    ASSERT_NE(kNoSocket, data);
    EXPECT_EQ("150 Opening BINARY mode data connection", session.command("RETR big.bin"));
    EXPECT_EQ("426 Broken pipe", session.readLine());
    closeSocket(data);
    EXPECT_EQ("200 OK", session.command("NOOP"));
}

// A client that trickles (16 KiB every 50 ms, never the whole 256 KiB buffer within the limit)
// has stalled as much as one that moves nothing: a few bytes must not start the limit again.
TEST_F(EndedTransfer, ATransferThatOnlyTricklesEnds) {
    root.writeFile("big.bin", std::string(32 << 20, 'x'));
    const struct {
        const char* command;
        bool download;
        const char* reply;
    } cases[] = {{"RETR big.bin", true, "426 Broken pipe"},
                 {"STOR target.bin", false, "550 Connection timed out"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        SessionUnderTest session(shortWaits);
        SocketHandle data = session.openPassiveData();
        ASSERT_NE(kNoSocket, data);
        EXPECT_EQ("150 Opening BINARY mode data connection", session.command(c.command));
        std::thread trickle([data, &c] {
            std::string piece(16384, 'y');
            for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(8);
                 std::chrono::steady_clock::now() < end &&
                 (c.download ? receiveBytes(data, &piece[0], piece.size()) > 0
                             : sendBytes(data, piece.data(), piece.size()) == 0);) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
        EXPECT_EQ(c.reply, session.readLine());
        shutdownReceiving(data);  // ends the trickle now, whatever came first
        trickle.join();
        closeSocket(data);
        EXPECT_EQ("200 OK", session.command("NOOP"));
    }
}
