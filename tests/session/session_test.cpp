// tests/session/session_test.cpp: what an ended session leaves for the next one.
#include "session/session.h"

#include <gtest/gtest.h>

#include <cstring>

#include "session/tcp_socket.h"

// A session asking for any port takes the record and listener of one that ended, with
// nothing of the old session's state; one asking for a given port gets no listener.
TEST(SparedRecords, CarryOnlyTheListenerToTheNextSession) {
    releaseSparedRecords();
    FtpSession* first = createSession(kNoSocket, 0);
    ASSERT_NE(nullptr, first);
    int port = 0;
    SocketHandle listener = createTcpSocket(&port, 1, "listen failed");
    ASSERT_GE(listener, 0);
    first->passiveListener = listener;
    first->passivePort = port;
    first->hasPortTarget = true;
    first->passiveMode = true;
    std::strcpy(first->argumentText, "old argument");
    first->reader.heldLength = 7;
    endSession(first);

    FtpSession* second = createSession(kNoSocket, 0);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(listener, second->passiveListener);
    EXPECT_EQ(port, second->passivePort);
    EXPECT_FALSE(second->hasPortTarget);
    EXPECT_FALSE(second->passiveMode);
    EXPECT_STREQ("", second->argumentText);
    EXPECT_EQ(0u, second->reader.heldLength);
    endSession(second);

    FtpSession* ranged = createSession(kNoSocket, 5000);
    ASSERT_NE(nullptr, ranged);
    EXPECT_EQ(kNoSocket, ranged->passiveListener);
    EXPECT_EQ(5000, ranged->passivePort);
    endSession(ranged);
    releaseSparedRecords();
}
