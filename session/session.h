// session/session.h: the record of one control connection, and the thread that serves it.
#pragma once

#include <cstddef>

#include "platform/platform.h"
#include "session/connection_limits.h"

constexpr std::size_t kTransferBufferSize = 262144;
constexpr std::size_t kArgumentTextSize = 500;
constexpr std::size_t kCommandBufferSize = 501;
// A working directory may be as long as any client path the platform gives back.
constexpr std::size_t kWorkingDirectorySize = kClientPathSize;
// How long a transfer waits for its passive data connection.
constexpr int kDataConnectionWaitMilliseconds = 60000;
// How long a transfer may go without progress before it is given up.
constexpr int kTransferStallMilliseconds = 300000;

// Bytes received on the control connection that do not yet form a whole line. A client may
// send its next command before reading our reply, so what follows a line end is kept here
// for the next readCommand.
struct CommandReader {
    char held[kCommandBufferSize];
    std::size_t heldLength;
    bool skipLineFeed;  // the last line ended with a CR whose LF may arrive next
};

// One per control connection. Created by the accept loop from fresh zero pages (or a cleared
// record of an ended session), owned by the session thread from its start, given back at
// teardown. The transfer buffer comes last, so fresh pages of it are not touched, and cost no
// memory, until the first transfer.
struct FtpSession {
    NetworkAddress dataAddress;  // the PORT target of active mode
    bool hasPortTarget;       // false until a valid PORT
    bool passiveMode;
    bool extendedPassiveOnly;  // after EPSV ALL: PASV, PORT and EPRT are refused
    long long restartOffset;   // REST: where the next RETR starts; 0 for the first byte
    SocketHandle passiveListener;
    SocketHandle controlSocket;
    int passivePort;            // asked of the pool, then the port actually bound
    NetworkAddress serverAddress;  // our end of the control connection: what PASV announces
    NetworkAddress peerAddress;    // the client's end, as accepted: the only allowed data peer
    int dataWaitMilliseconds;
    int stallMilliseconds;
    // How long a reply may wait for the client to take any of it: the idle limit, or the stall
    // limit without one. A client that sends commands and never reads its replies goes then.
    int replyMilliseconds;
    bool hasLostControl;  // a reply could not be sent: nothing more goes to this client
    char argumentText[kArgumentTextSize];
    // What RNFR named, as a path from the root ("/fw/a.bin"), until RNTO uses it; empty when
    // there is none.
    char renameSource[kClientPathSize];
    // Where the session is, as the client sees it ("/", "/fw/latest"): the text PWD shows,
    // walked from the root again by every command that uses it.
    char workingDirectory[kWorkingDirectorySize];
    Folder* root;  // the served root, as this session's lookups start from it
    TlsSession* controlTls;     // after AUTH TLS: what protects the control connection
    bool hasProtectionBuffer;   // PBSZ came after AUTH TLS
    bool protectsData;          // PROT P: every data connection makes its own TLS handshake
    bool isLoggedIn;            // PASS was accepted
    int failedLogins;
    bool isEnding;              // the last verb ends the session after its reply
    // The name sent with USER, for the login and the transfer log; empty before the first.
    char userName[kArgumentTextSize];
    CommandReader reader;
    int idleMilliseconds;     // how long a command may be awaited; 0 for ever
    // When a connection that has not logged in is closed (monotonicMilliseconds); 0 once a
    // login was accepted, or when there is no limit.
    long long loginDeadline;
    ConnectionTicket ticket;  // what the accept loop counted for this session
    char transferBuffer[kTransferBufferSize];
};

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
