// platform/windows/tls_steps.h: the decisions of a Schannel server session that need no
// Schannel: what each status asks for next, where the bytes it left unread go, the sizes of the
// record buffers, and whose session a data connection resumed. Apart from tls.cpp so that
// recorded statuses can drive them in a test, since no TLS server can run under Wine.
#pragma once

#include <cstddef>

// What the handshake does after one AcceptSecurityContext step.
enum class HandshakeNext {
    kDone,     // the context is complete: records may flow
    kReceive,  // more of the client's bytes are needed before the next step
    kAgain,    // bytes of the client's next message are waiting: step again at once
    kFail,     // status is a failure
};

// status is the step's, after any CompleteAuthToken it asked for (statusAfterCompletion);
// offered is how many bytes the step was given, left how many of them wait now.
HandshakeNext nextHandshakeStep(long status, std::size_t offered, std::size_t left);

// True for SEC_I_COMPLETE_NEEDED and SEC_I_COMPLETE_AND_CONTINUE, after which CompleteAuthToken
// must run before the token goes out.
bool needsCompletion(long status);
// The status a step stands for once CompleteAuthToken has run: SEC_E_OK for
// SEC_I_COMPLETE_NEEDED, SEC_I_CONTINUE_NEEDED for SEC_I_COMPLETE_AND_CONTINUE.
long statusAfterCompletion(long status);

// What the session does after one DecryptMessage.
enum class RecordNext {
    kData,           // a record was decrypted; its content may be empty
    kReceive,        // the record is incomplete: receive more and decrypt again
    kClosed,         // the peer's close_notify
    kPostHandshake,  // a TLS 1.3 post-handshake message: it goes to AcceptSecurityContext
    kBroken,         // a record altered, cut or out of order, or a TLS 1.2 renegotiation
};

RecordNext nextRecordStep(long status, bool isTls13);

// Keeps the unread bytes that Schannel reported (a SECBUFFER_EXTRA of extra bytes, always the
// end of what it was given) at the start of input. Returns the new length: extra, or 0 when
// there are none or the count cannot be right.
std::size_t keepUnreadBytes(char* input, std::size_t length, std::size_t extra);

// The sizes of one record, as QueryContextAttributes(SECPKG_ATTR_STREAM_SIZES) gives them.
struct RecordLayout {
    std::size_t header;
    std::size_t maximumMessage;
    std::size_t trailer;
};

// The peer's records may be larger than ours by what protection may add to a TLS record.
constexpr std::size_t kRecordExpansion = 2048;

// Room for one record of ours (header, message, trailer).
std::size_t recordOutputSize(const RecordLayout& layout);
// Room for one record of the peer's, or for the bytes already waiting when there are more.
std::size_t recordInputSize(const RecordLayout& layout, std::size_t waiting);

// The size of the session id that QueryContextAttributes(SECPKG_ATTR_SESSION_INFO) gives.
constexpr std::size_t kSessionIdSize = 32;

// What Schannel says of the session behind one completed handshake.
struct SessionFacts {
    bool resumed;          // SSL_SESSION_RECONNECT: an earlier session was resumed
    bool isTls13;          // the handshake's protocol
    std::size_t idLength;  // cbSessionId as reported; 0 when there is none or the query failed
    unsigned char id[kSessionIdSize];
};

// True when a data connection's handshake (data) resumed its control connection's session
// (control): it resumed, with the control's protocol, and Schannel names one and the same
// session for both. An empty id, or one longer than the array, names no session: false.
bool isResumptionOf(const SessionFacts& data, const SessionFacts& control);
