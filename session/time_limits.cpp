// session/time_limits.cpp: the time limits of a session's sockets, state by state.
#include "session/time_limits.h"

#include "platform/platform.h"
#include "session/session.h"

// A client that dies closes both its connections, and in clear text the end of its data then
// reads like the end of a complete upload. Its control connection tells the two apart: a live
// client keeps it open for the reply. The two ends leave the client's machine together, as its
// system closes a dying process's connections one after the other, so they arrive well within
// a millisecond of each other unless a packet is lost; an ABOR sent just after the close of
// the data connection (ftplib closes before it aborts) arrives as soon. Every clear-text
// upload's "226" waits this long, so it is kept short: a session that uploads many small files
// pays it each time.
constexpr int kClientEndGraceMilliseconds = 20;

// A limit of milliseconds (0: none), cut to what is left of the login deadline while one runs:
// before its login a client holds its place no longer, whatever it does. -1 once it has passed.
static int boundByLoginDeadline(const FtpSession* session, int milliseconds) {
    long long remaining = session->loginDeadline - monotonicMilliseconds();
    if (session->loginDeadline == 0 || (milliseconds > 0 && milliseconds < remaining)) {
        return milliseconds;
    }
    return remaining > 0 ? static_cast<int>(remaining) : -1;
}

int limitFor(const FtpSession* session, SessionState state) {
    int idle = session->idleMilliseconds;
    switch (state) {
        case SessionState::kAwaitingCommand:
            return boundByLoginDeadline(session, idle);
        case SessionState::kSendingReply:
            // A client that sends commands and never reads its replies goes then.
            return idle > 0 ? idle : kTransferStallMilliseconds;
        case SessionState::kAwaitingData:
            return session->dataWaitMilliseconds;
        case SessionState::kTransferring:
            return session->stallMilliseconds;
        case SessionState::kTearingDown:
            return 1;
        case SessionState::kConfirmingUpload:
            return kClientEndGraceMilliseconds;
    }
    return 0;
}

// A socket's timeout: a passed deadline still waits the least it can, never for ever.
static int socketLimit(const FtpSession* session, int milliseconds) {
    int bounded = boundByLoginDeadline(session, milliseconds);
    return bounded < 0 ? 1 : bounded;
}

void applyTimeLimits(FtpSession* session, SessionState state) {
    SocketHandle control = session->controlSocket;
    if (state == SessionState::kTransferring) {
        // The rest of a TLS record gets what a data connection has to arrive, not the idle
        // limit, which may be none.
        (void)setReceiveTimeout(control, session->dataWaitMilliseconds);
    } else if (state == SessionState::kAwaitingData) {  // the control connection's handshake
        (void)setSocketTimeout(control, socketLimit(session, session->dataWaitMilliseconds));
    } else if (state == SessionState::kAwaitingCommand || state == SessionState::kSendingReply) {
        // Over TLS a receive waits for the rest of a record: a client that stops in mid-record
        // is idle too.
        if (state == SessionState::kAwaitingCommand) {
            (void)setReceiveTimeout(control, socketLimit(session, session->idleMilliseconds));
        }
        int reply = limitFor(session, SessionState::kSendingReply);
        (void)setSendTimeout(control, socketLimit(session, reply));
    }
}
