// session/session.cpp: a session's set-up, command loop and teardown.
#include "session/session.h"

#include <cstdio>
#include <string>

#include "app/settings.h"
#include "fs/text.h"
#include "session/command_reader.h"
#include "session/dispatch.h"
#include "session/reply.h"
#include "session/tcp_socket.h"

FtpSession* createSession(SocketHandle controlSocket, int passivePort) {
    FtpSession* session = static_cast<FtpSession*>(allocateZeroedPages(sizeof(FtpSession)));
    if (session == nullptr) {
        return nullptr;
    }
    session->controlSocket = controlSocket;
    session->passivePort = passivePort;
    session->passiveListener = kNoSocket;
    session->dataWaitMilliseconds = kDataConnectionWaitMilliseconds;
    session->stallMilliseconds = kTransferStallMilliseconds;
    // Each session has its own working directory, so no client's CWD moves another's files.
    copyText(session->workingDirectory, sizeof session->workingDirectory,
             serverSettings.realRootPath);
    return session;
}

void endSession(FtpSession* session) {
    if (serverSettings.verbose) {
        std::printf("Closing control connection\n");
    }
    shutdownReceiving(session->passiveListener);
    closeSocket(session->passiveListener);
    shutdownReceiving(session->controlSocket);
    closeSocket(session->controlSocket);
    passivePortPool.inUse[session->passivePort & 0xff].store(0);
    releasePages(session, sizeof(FtpSession));
}

void serveSession(FtpSession* session) {
    session->passiveListener =
        createTcpSocket(&session->passivePort, 1, "passive socket listen failed");
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
