// tests/session/time_limits_test.cpp: which limit a session's waits get, before and after its
// login.
#include "session/time_limits.h"

#include <gtest/gtest.h>

#include <memory>

#include "session/session.h"

TEST(TimeLimits, LoginDeadlineBoundsTheCommandWaitAlone) {
    std::unique_ptr<FtpSession> record(new FtpSession());  // too large for a stack
    FtpSession& session = *record;
    session.idleMilliseconds = 600000;
    session.dataWaitMilliseconds = 60000;
    session.loginDeadline = monotonicMilliseconds() + 5000;
    int wait = limitFor(&session, SessionState::kAwaitingCommand);
    EXPECT_GT(wait, 4000);
    EXPECT_LE(wait, 5000);
    EXPECT_EQ(600000, limitFor(&session, SessionState::kSendingReply));
    EXPECT_EQ(60000, limitFor(&session, SessionState::kAwaitingData));
    session.loginDeadline = monotonicMilliseconds() - 1;
    EXPECT_EQ(-1, limitFor(&session, SessionState::kAwaitingCommand));
    session.loginDeadline = 0;  // logged in
    EXPECT_EQ(600000, limitFor(&session, SessionState::kAwaitingCommand));
}

TEST(TimeLimits, RepliesWithoutAnIdleLimitGetTheStallLimit) {
    std::unique_ptr<FtpSession> record(new FtpSession());  // too large for a stack
    FtpSession& session = *record;
    EXPECT_EQ(0, limitFor(&session, SessionState::kAwaitingCommand));  // commands: for ever
    EXPECT_EQ(kTransferStallMilliseconds, limitFor(&session, SessionState::kSendingReply));
}
