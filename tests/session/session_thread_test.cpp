// tests/session/session_thread_test.cpp: what an ended session leaves for the next one.
#include "session/session_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "session/tcp_socket.h"

// A record is reused, but nothing of the old session comes with it: not its state, not the
// data in its transfer buffer, and not its passive listener, which is closed.
TEST(SparedRecords, CarryNothingToTheNextSession) {
    releaseSparedRecords();
    FtpSession* first = createSession(kNoSocket, 0);
    ASSERT_NE(nullptr, first);
    int port = 0;
    first->passiveListener =
        createTcpSocket(AddressFamily::kIpv4, nullptr, &port, 1, "listen failed", nullptr);
    ASSERT_GE(first->passiveListener, 0);
    first->passivePort = port;
    first->hasPortTarget = true;
    first->passiveMode = true;
    std::strcpy(first->argumentText, "old argument");
    first->reader.heldLength = 7;
    std::memset(first->transferBuffer, 'x', sizeof first->transferBuffer);
    endSession(first);

    FtpSession* second = createSession(kNoSocket, 0);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(first, second);  // the record was reused, so the checks below mean something
    EXPECT_EQ(kNoSocket, second->passiveListener);
    EXPECT_EQ(0, second->passivePort);
    EXPECT_FALSE(second->hasPortTarget);
    EXPECT_FALSE(second->passiveMode);
    EXPECT_STREQ("", second->argumentText);
    EXPECT_STREQ("/", second->workingDirectory);
    EXPECT_EQ(0u, second->reader.heldLength);
    const char* buffer = second->transferBuffer;
    EXPECT_TRUE(
        std::all_of(buffer, buffer + sizeof second->transferBuffer, [](char c) { return c == 0; }));
    endSession(second);
    releaseSparedRecords();
}
