// session/session.cpp: a session's set-up, command loop and teardown.
#include "session/session.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>

#include "app/settings.h"
#include "base/text.h"
#include "platform/platform.h"
#include "session/command_reader.h"
#include "session/dispatch.h"
#include "session/reply.h"
#include "session/tcp_socket.h"

// Records of ended sessions, kept for the next ones: fresh pages cost a mapping, a page fault
// and an unmapping (about 10 us) per session. Only the part before the transfer buffer is
// cleared for reuse; the buffer is always written before it is read. A record keeps its
// passive listener when its session asked for any free port: the next such session takes it
// instead of opening, binding and closing one of its own (about 9 us). A few records at most,
// given back to the system once the server has been idle for a moment.
struct SparedRecord {
    FtpSession* record;
    SocketHandle listener;  // kNoSocket when the session's listener was closed
    int listenerPort;
};
constexpr int kMostSparedRecords = 8;
static std::mutex sparedRecordsLock;
static SparedRecord sparedRecords[kMostSparedRecords];
static int sparedRecordCount = 0;

static void closeListener(SocketHandle listener) {
    shutdownReceiving(listener);
    closeSocket(listener);
}

static bool takeSparedRecord(SparedRecord* out) {
    {
        std::lock_guard<std::mutex> guard(sparedRecordsLock);
        if (sparedRecordCount == 0) {
            return false;
        }
        sparedRecordCount--;
        *out = sparedRecords[sparedRecordCount];
    }
    std::memset(out->record, 0, offsetof(FtpSession, transferBuffer));
    return true;
}

static void spareOrRelease(FtpSession* session, SocketHandle listener, int listenerPort) {
    {
        std::lock_guard<std::mutex> guard(sparedRecordsLock);
        if (sparedRecordCount < kMostSparedRecords) {
            sparedRecords[sparedRecordCount] = {session, listener, listenerPort};
            sparedRecordCount++;
            return;
        }
    }
    closeListener(listener);
    releasePages(session, sizeof(FtpSession));
}

void releaseSparedRecords() {
    SparedRecord released[kMostSparedRecords];
    int count = 0;
    {
        std::lock_guard<std::mutex> guard(sparedRecordsLock);
        count = sparedRecordCount;
        std::copy(sparedRecords, sparedRecords + count, released);
        sparedRecordCount = 0;
    }
    for (int i = 0; i < count; i++) {
        closeListener(released[i].listener);
        releasePages(released[i].record, sizeof(FtpSession));
    }
}

FtpSession* createSession(SocketHandle controlSocket, int passivePort) {
    SparedRecord spared = {nullptr, kNoSocket, 0};
    if (!takeSparedRecord(&spared)) {
        spared.record = static_cast<FtpSession*>(allocateZeroedPages(sizeof(FtpSession)));
    }
    FtpSession* session = spared.record;
    if (session == nullptr) {
        return nullptr;
    }
    session->controlSocket = controlSocket;
    session->passivePort = passivePort;
    session->passiveListener = kNoSocket;
    session->askedAnyPort = passivePort == 0;
    if (spared.listener != kNoSocket) {
        if (session->askedAnyPort) {
            session->passiveListener = spared.listener;
            session->passivePort = spared.listenerPort;
        } else {
            closeListener(spared.listener);
        }
    }
    session->dataWaitMilliseconds = kDataConnectionWaitMilliseconds;
    session->stallMilliseconds = kTransferStallMilliseconds;
    // Each session has its own working directory, so no client's CWD moves another's files.
    copyText(session->workingDirectory, sizeof session->workingDirectory,
             serverSettings.realRootPath);
    return session;
}

void endSession(FtpSession* session) {
    if (serverSettings.verbose) {
        printConsole(ConsoleStream::kOutput, "Closing control connection\n");
    }
    SocketHandle listener = session->passiveListener;
    if (!session->askedAnyPort) {
        closeListener(listener);
        listener = kNoSocket;
    }
    shutdownReceiving(session->controlSocket);
    closeSocket(session->controlSocket);
    passivePortPool.inUse[session->passivePort & 0xff].store(0);
    spareOrRelease(session, listener, session->passivePort);
}

void serveSession(FtpSession* session) {
    if (session->passiveListener == kNoSocket) {
        session->passiveListener =
            createTcpSocket(&session->passivePort, 1, "passive socket listen failed");
    }
    if (session->passiveListener < 0) {
        session->passiveListener = kNoSocket;
        return;  // the console line is printed; the client sees its connection close
    }
    if (socketLocalAddress(session->controlSocket, &session->serverAddress) != 0 ||
        socketPeerAddress(session->controlSocket, &session->peerAddress) != 0) {
        printSystemError("getsockname() failed");
        sendReply(session, "500 getsockname failed");
        return;
    }
    // Replies are single small sends; without this, one sent right after another may wait
    // for the client's delayed acknowledgement.
    (void)setNoDelay(session->controlSocket);  // only a matter of speed
    sendReply(session, "220 tarnLoader ready");
    std::string resolvedPath;
    for (;;) {
        CommandCode code = readCommand(session, session->argumentText);
        if (!dispatchCommand(session, code, &resolvedPath)) {
            return;
        }
    }
}

void sessionThread(void* session) {
    FtpSession* record = static_cast<FtpSession*>(session);
    serveSession(record);
    endSession(record);
}
