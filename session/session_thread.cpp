// session/session_thread.cpp: a session's set-up, command loop and teardown.
#include "session/session_thread.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>

#include "app/settings.h"
#include "base/shared_locks.h"
#include "base/text.h"
#include "platform/platform.h"
#include "session/command_reader.h"
#include "session/console_sink.h"
#include "session/data_connection.h"
#include "session/dispatch.h"
#include "session/operator_status.h"
#include "session/passive_ports.h"
#include "session/reply.h"
#include "session/tcp_socket.h"
#include "session/time_limits.h"

// Records of ended sessions, kept for the next ones: fresh pages cost a mapping, page faults
// and an unmapping (about 50 us on a virtual machine) per session. A reused record is cleared
// whole, its transfer buffer by giving the pages back, so nothing of one session reaches the
// next. A few records at most, given back to the system once the server has been idle for a
// moment.
constexpr int kMostSparedRecords = 8;
static FtpSession* sparedRecords[kMostSparedRecords];
static int sparedRecordCount = 0;

static FtpSession* takeSparedRecord() {
    FtpSession* record = nullptr;
    takeLock(SharedLock::kSparedRecords);
    if (sparedRecordCount > 0) {
        sparedRecordCount--;
        record = sparedRecords[sparedRecordCount];
    }
    releaseLock(SharedLock::kSparedRecords);
    if (record == nullptr) {
        return nullptr;
    }
    std::memset(static_cast<void*>(record), 0, offsetof(FtpSession, transferBuffer));
    discardPages(record->transferBuffer, sizeof record->transferBuffer);
    return record;
}

static void spareOrRelease(FtpSession* session) {
    takeLock(SharedLock::kSparedRecords);
    bool spared = sparedRecordCount < kMostSparedRecords;
    if (spared) {
        sparedRecords[sparedRecordCount] = session;
        sparedRecordCount++;
    }
    releaseLock(SharedLock::kSparedRecords);
    if (!spared) {
        releasePages(session, sizeof(FtpSession));
    }
}

void releaseSparedRecords() {
    FtpSession* released[kMostSparedRecords];
    int count = 0;
    takeLock(SharedLock::kSparedRecords);
    count = sparedRecordCount;
    std::copy(sparedRecords, sparedRecords + count, released);
    sparedRecordCount = 0;
    releaseLock(SharedLock::kSparedRecords);
    for (int i = 0; i < count; i++) {
        releasePages(released[i], sizeof(FtpSession));
    }
}

FtpSession* createSession(SocketHandle controlSocket, int passivePort) {
    FtpSession* session = takeSparedRecord();
    if (session == nullptr) {
        session = static_cast<FtpSession*>(allocateZeroedPages(sizeof(FtpSession)));
    }
    if (session == nullptr) {
        return nullptr;
    }
    session->controlSocket = controlSocket;
    session->passivePort = passivePort;
    session->passiveListener = kNoSocket;
    session->waitingData = kNoSocket;
    session->takeNews = takeControlNews;
    session->dataWaitMilliseconds = kDataConnectionWaitMilliseconds;
    session->stallMilliseconds = kTransferStallMilliseconds;
    session->idleMilliseconds = serverSettings.idleSeconds * 1000;
    if (serverSettings.loginSeconds > 0) {
        session->loginDeadline = monotonicMilliseconds() + serverSettings.loginSeconds * 1000LL;
    }
    // Each session has its own working directory, so no client's CWD moves another's files.
    copyText(session->workingDirectory, sizeof session->workingDirectory, "/");
    return session;
}

// The session's passive listener, of the family of its control connection as its data
// connections are. A port of "-prange" that something else holds (another program, the control
// port, one of this server's own active data connections) passes the session on to the next
// free port of the range, so that one taken port turns no session away.
static SocketHandle openPassiveListener(FtpSession* session) {
    int low = serverSettings.passivePortLow;
    int high = serverSettings.passivePortHigh;
    // Under "-i" data comes only where the operator let the control connection come.
    const NetworkAddress* local =
        serverSettings.listenAddressCount > 0 ? &session->serverAddress : nullptr;
    for (int tried = 1;; tried++) {
        SocketHandle listener =
            createTcpSocket(session->peerAddress.family, local, &session->passivePort,
                            kPassiveBacklog, "passive socket listen failed", session);
        int next = nextFreePassivePortAfter(session->passivePort, low, high);
        if (listener != kNoSocket || high <= low || tried > high - low || next < 0) {
            return listener;
        }
        releasePassivePort(session->passivePort);
        takePassivePort(next);
        session->passivePort = next;
    }
}

void endSession(FtpSession* session) {
    consoleSink.echoClosing(session);
    reportDisconnected(session);
    if (session->passiveListener != kNoSocket) {
        shutdownReceiving(session->passiveListener);
        closeSocket(session->passiveListener);
    }
    if (session->waitingData != kNoSocket) {
        closeSocket(session->waitingData);
    }
    endTlsSession(session->controlTls);
    shutdownReceiving(session->controlSocket);
    closeSocket(session->controlSocket);
    closeFolder(session->root);
    releasePassivePort(session->passivePort);
    releaseConnection(&session->ticket);
    spareOrRelease(session);
}

void serveSession(FtpSession* session) {
    reportConnected(session);
    if (socketLocalAddress(session->controlSocket, &session->serverAddress) != 0) {
        printSessionError(session, "getsockname() failed");
        sendReply(session, "500 getsockname failed");
        return;
    }
    session->passiveListener = openPassiveListener(session);
    if (session->passiveListener < 0) {
        session->passiveListener = kNoSocket;
        return;  // the console line is printed; the client sees its connection close
    }
    session->root = openServedRoot();
    if (session->root == nullptr) {
        printSessionError(session, "Error: could not open the ftp root");
        return;
    }
    // Replies are single small sends; without this, one sent right after another may wait
    // for the client's delayed acknowledgement.
    (void)setNoDelay(session->controlSocket);  // only a matter of speed
    // Without it a client that stops reading holds the session, and its place under the
    // limits, for ever; receives keep waiting for the next command as long as they may.
    applyTimeLimits(session, SessionState::kSendingReply);
    sendReply(session, "220 tarnLoader ready");
    std::string resolvedPath;
    for (;;) {
        const Verb* verb = readCommand(session, session->argumentText);
        if (verb == nullptr || !dispatchCommand(session, verb, &resolvedPath)) {
            return;
        }
    }
}

void sessionThread(void* session) {
    FtpSession* record = static_cast<FtpSession*>(session);
    // The path texts of a command grow on the heap. When memory runs out there, the session
    // ends and the process goes on: every other session, a chassis mid-update among them,
    // must not end with it. What the unfinished command held open is lost with it.
    try {
        serveSession(record);
    } catch (const std::bad_alloc&) {
        printSessionText(record, ConsoleStream::kOutput, "Error: Out of memory, a session ends\n");
    }
    endSession(record);
}
