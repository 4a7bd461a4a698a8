// session/session_thread.h: a session's record made and given back, and its thread: set-up,
// greeting, the command loop and teardown.
#pragma once

#include "session/session.h"

// A record for an accepted control connection, or nullptr when memory is exhausted. The caller
// sets its peerAddress to the client's address, as the accept gave it.
FtpSession* createSession(SocketHandle controlSocket, int passivePort);
// Closes the control connection and the passive listener, releases the passive port and
// gives the record back, to be cleared for the next session or freed.
void endSession(FtpSession* session);
// Frees the records that ended sessions left for the next ones.
void releaseSparedRecords();
// Set-up, greeting and the command loop; returns when the session is over. Does not end it.
void serveSession(FtpSession* session);
// The thread procedure: serveSession, then endSession.
void sessionThread(void* session);
