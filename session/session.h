// session/session.h: the record of one control connection, which every part of a session shares;
// session_thread.h makes it and serves it.
#pragma once

#include <atomic>
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

// Room for a client as the operator's status names it: "[2001:db8::1]:50000".
constexpr std::size_t kShownClientSize = kNetworkAddressTextSize + 8;
// Room for the text of one reply line: enough for a reply that names a long UTF-8 path.
constexpr std::size_t kReplyTextSize = 2048;
constexpr std::size_t kMultilineReplySize = 3072;
// The start of a reply that is enough to tell why a transfer was refused.
constexpr std::size_t kShownReplySize = 256;

// What the operator's status ("-status") tells of a session: its counts so far and the transfer
// under way. Only the session's thread writes it; the console thread reads the transfer's
// fields while the transfer is in the table of shown transfers, whose lock orders the two.
struct SessionReport {
    char client[kShownClientSize];  // "192.0.2.10", "[2001:db8::1]", ":port" when shared
    long long connectedAt;          // monotonic milliseconds
    int downloads;                  // transfers that got their "150", by direction
    long long downloadedBytes;
    int uploads;
    long long uploadedBytes;
    int completeCount;
    int cutOffCount;
    char lastReply[kShownReplySize];  // the start of the last reply, for a refusal's line
    // The transfer under way: its name as the client gave it, escaped; its expected size (-1
    // when unknown) and the bytes moved so far, counted after every piece.
    char transferName[kArgumentTextSize];
    long long transferSize;
    long long transferStartedAt;
    bool isTransferRunning;
    int shownSlot;  // its place in the table of shown transfers; -1 when not there
    std::atomic<long long> transferredBytes;
};

// Bytes received on the control connection that do not yet form a whole line. A client may
// send its next command before reading our reply, so what follows a line end is kept here
// for the next readCommand.
struct CommandReader {
    char held[kCommandBufferSize];
    std::size_t heldLength;
    bool skipLineFeed;  // the last line ended with a CR whose LF may arrive next
};
// What the control connection said while a transfer ran.
enum class ControlNews {
    kNothing,  // nothing, or commands that wait their turn (a client that pipelines)
    kAbort,    // ABOR is among the commands waiting
    kEnded,    // the client has closed or reset it
};

// One per control connection. Created by the accept loop from fresh zero pages (or a cleared
// record of an ended session), owned by the session thread from its start, given back at
// teardown. The transfer buffer comes last, so fresh pages of it are not touched, and cost no
// memory, until the first transfer.
struct FtpSession {
    NetworkAddress dataAddress;  // the PORT target of active mode
    bool hasPortTarget;          // false until a valid PORT
    bool passiveMode;
    bool extendedPassiveOnly;  // after EPSV ALL: PASV, PORT and EPRT are refused
    long long restartOffset;   // REST: where the next RETR starts; 0 for the first byte
    // The client asked SIZE: its downloads' final replies wait for the client's system to
    // acknowledge the data (see closeDataConnection).
    bool hasAskedSize;
    DigestKind hashKind;  // what HASH answers: SHA-256 until OPTS HASH chooses another
    SocketHandle passiveListener;
    // A connection from the client that arrived on the listener before its transfer command,
    // accepted while the command was awaited; kNoSocket when none did.
    SocketHandle waitingData;
    SocketHandle controlSocket;
    int passivePort;               // asked of the pool, then the port actually bound
    NetworkAddress serverAddress;  // our end of the control connection: what PASV announces
    NetworkAddress peerAddress;    // the client's end, as accepted: the only allowed data peer
    int dataWaitMilliseconds;
    int stallMilliseconds;
    bool hasLostControl;  // a reply could not be sent: nothing more goes to this client
    char argumentText[kArgumentTextSize];
    // What RNFR named, as a path from the root ("/fw/a.bin"), until RNTO uses it; empty when
    // there is none.
    char renameSource[kClientPathSize];
    // Where the session is, as the client sees it ("/", "/fw/latest"): the text PWD shows,
    // walked from the root again by every command that uses it.
    char workingDirectory[kWorkingDirectorySize];
    Folder* root;              // the served root, as this session's lookups start from it
    TlsSession* controlTls;    // after AUTH TLS: what protects the control connection
    bool hasProtectionBuffer;  // PBSZ came after AUTH TLS
    bool protectsData;         // PROT P: every data connection makes its own TLS handshake
    bool isLoggedIn;           // PASS was accepted
    int failedLogins;
    bool isEnding;  // the last verb ends the session after its reply
    // The name sent with USER, for the login and the transfer log; empty before the first.
    char userName[kArgumentTextSize];
    CommandReader reader;
    int idleMilliseconds;  // how long a command may be awaited; 0 for ever
    // When a connection that has not logged in is closed (monotonicMilliseconds); 0 once a
    // login was accepted, or when there is no limit.
    long long loginDeadline;
    ConnectionTicket ticket;  // what the accept loop counted for this session
    SessionReport report;
    // The command reader's takeControlNews: the channel beneath the reader asks it whether
    // ABOR came during a transfer.
    ControlNews (*takeNews)(FtpSession* session, int milliseconds, SocketHandle* watch);
    char transferBuffer[kTransferBufferSize];
};
