// tests/platform/windows/tls_steps_test.cpp: the Schannel session's decisions, driven by the
// statuses Schannel returns (their documented values), since no TLS server runs under Wine.
#include "platform/windows/tls_steps.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// A SECURITY_STATUS as the headers spell it: an HRESULT in a 32-bit long.
constexpr long status(unsigned int code) {
    return static_cast<long>(static_cast<int>(code));
}
constexpr long kOk = 0, kContinueNeeded = status(0x00090312), kRenegotiate = status(0x00090321);
constexpr long kCompleteNeeded = status(0x00090313), kCompleteAndContinue = status(0x00090314);
constexpr long kIncomplete = status(0x80090318), kUnsupported = status(0x80090302);

}  // namespace

TEST(TlsSteps, HandshakeFollowsRecordedStatuses) {
    struct Step {
        long status;
        std::size_t offered, left;
        HandshakeNext next;
    };
    // A ClientHello in two pieces, a flight with the client's next message behind it, a step
    // that takes nothing, the two completions, and Wine's refusal to serve.
    const Step steps[] = {
        {kIncomplete, 100, 100, HandshakeNext::kReceive},
        {kContinueNeeded, 517, 0, HandshakeNext::kReceive},
        {kContinueNeeded, 700, 120, HandshakeNext::kAgain},
        {kContinueNeeded, 120, 120, HandshakeNext::kReceive},
        {kOk, 80, 40, HandshakeNext::kDone},
        {statusAfterCompletion(kCompleteAndContinue), 300, 0, HandshakeNext::kReceive},
        {statusAfterCompletion(kCompleteNeeded), 80, 0, HandshakeNext::kDone},
        {kUnsupported, 517, 517, HandshakeNext::kFail},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.status);
        EXPECT_EQ(step.next, nextHandshakeStep(step.status, step.offered, step.left));
    }
    EXPECT_TRUE(needsCompletion(kCompleteNeeded) && needsCompletion(kCompleteAndContinue));
    EXPECT_FALSE(needsCompletion(kContinueNeeded));
}

TEST(TlsSteps, RecordsFollowRecordedStatuses) {
    EXPECT_EQ(RecordNext::kData, nextRecordStep(kOk, true));
    EXPECT_EQ(RecordNext::kReceive, nextRecordStep(kIncomplete, false));
    EXPECT_EQ(RecordNext::kClosed, nextRecordStep(status(0x00090317), true));
    // A TLS 1.3 key update or ticket goes to the context; a TLS 1.2 renegotiation is refused.
    EXPECT_EQ(RecordNext::kPostHandshake, nextRecordStep(kRenegotiate, true));
    EXPECT_EQ(RecordNext::kBroken, nextRecordStep(kRenegotiate, false));
    EXPECT_EQ(RecordNext::kBroken, nextRecordStep(status(0x8009030F), true));  // altered
}

TEST(TlsSteps, CarriesUnreadBytesAndSizesRecordBuffers) {
    const struct {
        std::size_t extra, kept;
        const char* front;
    } cases[] = {{3, 3, "fgh"}, {8, 8, "abcdefgh"}, {0, 0, ""}, {9, 0, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.extra);
        char input[] = "abcdefgh";
        ASSERT_EQ(c.kept, keepUnreadBytes(input, 8, c.extra));
        EXPECT_EQ(0, std::memcmp(input, c.front, c.kept));
    }
    const RecordLayout tls12Gcm = {13, 16384, 16};
    EXPECT_EQ(13u + 16384u + 16u, recordOutputSize(tls12Gcm));
    // The largest record a peer may send, or more when more came after the handshake.
    EXPECT_GE(recordInputSize(tls12Gcm, 0), 5u + 16384u + kRecordExpansion);
    EXPECT_EQ(40000u, recordInputSize(tls12Gcm, 40000));
}

TEST(TlsSteps, DataSessionMustResumeItsControlSession) {
    const SessionFacts control = {false, false, kSessionIdSize, {7, 1, 2}};
    const struct {
        const char* what;
        SessionFacts data;
        bool accepted;
    } cases[] = {
        {"the control's session", {true, false, kSessionIdSize, {7, 1, 2}}, true},
        {"another session of the server's", {true, false, kSessionIdSize, {7, 1, 3}}, false},
        {"a new session with the same id", {false, false, kSessionIdSize, {7, 1, 2}}, false},
        {"the id under another protocol", {true, true, kSessionIdSize, {7, 1, 2}}, false},
        {"the id cut short", {true, false, 3, {7, 1, 2}}, false},
        {"no id", {true, false, 0, {}}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.accepted, isResumptionOf(c.data, control));
    }
    // Without an id of the control's, or with a length beyond the array, nothing is the same.
    SessionFacts bare = {true, false, 0, {}};
    EXPECT_FALSE(isResumptionOf(bare, bare));
    bare.idLength = kSessionIdSize + 1;
    EXPECT_FALSE(isResumptionOf(bare, bare));
}
