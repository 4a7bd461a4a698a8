// platform/windows/tls_session.h: one Schannel server session, shared by the handshake
// (tls.cpp) and the records (tls_records.cpp).
#pragma once

#include "platform/platform.h"

#include <winsock2.h>

#include <windows.h>
// TLS_PARAMETERS, the way to name the protocols on current Windows, needs UNICODE_STRING.
#include <subauth.h>
#define SCHANNEL_USE_BLACKLISTS
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <cstddef>

#include "platform/windows/tls_steps.h"

struct TlsSession {
    SocketHandle socket;
    SocketHandle watch;  // a socket whose bytes end a wait for records (watchDuringTlsWaits)
    CredHandle* credentials;
    CtxtHandle context;
    bool hasContext;
    bool peerClosed;  // the peer's close_notify came: every receive reads the end
    bool isTls13;     // Schannel then reports post-handshake messages as SEC_I_RENEGOTIATE
    // The session as the handshake left it; a data connection's is held to its control's.
    SessionFacts facts;
    bool resumed;  // isResumedTlsSession's answer
    // Not SEC_E_OK after a failure: nothing more is decrypted or encrypted then, and no
    // close_notify goes out.
    SECURITY_STATUS failure;
    SecPkgContext_StreamSizes sizes;
    // Records as they arrived. Each is decrypted in place: plain points at the decrypted bytes
    // not yet handed out, and the bytes from pendingStart to inputLength wait for decryption.
    char* input;
    std::size_t inputSize;
    std::size_t inputLength;
    std::size_t pendingStart;
    char* plain;
    std::size_t plainLength;
    char* output;  // one record's header, message and trailer
};

// The largest TLS record: a header of 5 bytes, 2^14 bytes of content, and the 2048 bytes that
// protection may add to them (RFC 5246; TLS 1.3 allows 256).
constexpr std::size_t kLargestRecord = 5 + 16384 + kRecordExpansion;
// The handshake input holds one record, or one flight of them, at a time.
constexpr std::size_t kHandshakeInputSize = 2 * kLargestRecord;
// A handshake takes a few rounds of messages, a few receives each; a peer that trickles bytes
// gets no more than this many.
constexpr int kHandshakeReceiveLimit = 64;
// Records without content in a row (OpenSSL refuses more than 32): a peer that sends only
// empty records would otherwise keep a receive going without end.
constexpr int kEmptyRecordLimit = 32;

constexpr unsigned long kAcceptFlags = ASC_REQ_SEQUENCE_DETECT | ASC_REQ_REPLAY_DETECT |
                                       ASC_REQ_CONFIDENTIALITY | ASC_REQ_EXTENDED_ERROR |
                                       ASC_REQ_ALLOCATE_MEMORY | ASC_REQ_STREAM;

// A deadline or limit not worked out yet: most records need no wait, and then none.
constexpr long long kNoDeadlineYet = -1;

// Sends what Schannel wrote into token (a handshake flight or an alert) and frees it.
int sendHandshakeToken(TlsSession* session, SecBuffer* token);
// Receives more of the peer's records into the input. Returns 0, or -1 with the error set: the
// socket's, or a cut stream when the peer has closed its side.
int receiveTlsInput(TlsSession* session);
// The time limit the caller gave the socket for option (SO_RCVTIMEO or SO_SNDTIMEO) in
// milliseconds, 0 when it has none.
long long socketTimeoutOf(SocketHandle socket, int option);
// Runs the handshake to its end, from the bytes already in the input (a TLS 1.3
// post-handshake message) or from the first receive. Returns 0, or -1 with the error set.
int runTlsHandshake(TlsSession* session);
// Sizes the record buffers from the session's stream sizes, after the handshake and after each
// post-handshake message; the input keeps what came after the last handshake message.
int prepareTlsRecords(TlsSession* session);
void releaseTlsSession(TlsSession* session);
