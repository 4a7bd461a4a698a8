// session/time_limits.h: which time limit a session's sockets have in each of its states; the
// only place that knows "-idle", "-logintimeout", the data connection wait, the stall limit,
// the reply limit and the grace of a client gone.
#pragma once

struct FtpSession;

enum class SessionState {
    kAwaitingCommand,   // "-idle"; before the login, no more than is left of "-logintimeout"
    kSendingReply,      // the idle limit, or the stall limit without one; bounded as above
    kAwaitingData,      // a data connection to arrive, or a TLS handshake: 60 s
    kTransferring,      // the data connection's stall limit; the control connection gets 60 s
    kTearingDown,       // a close_notify to a client that stopped reading: 1 ms
    kConfirmingUpload,  // a clear-text upload's end: 20 ms for the news of a client gone
};

// The limit of one wait in state, in milliseconds (0: none), as a data connection has it;
// kAwaitingCommand's is -1 once the login deadline has passed.
int limitFor(const FtpSession* session, SessionState state);
// Sets the control connection's send and receive limits that state needs: before the login
// none of them outlasts the login deadline, but that of the rest of a TLS record during a
// transfer.
void applyTimeLimits(FtpSession* session, SessionState state);
