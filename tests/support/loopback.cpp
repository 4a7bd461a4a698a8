// tests/support/loopback.cpp: loopback connections and in-process sessions.
#include "tests/support/loopback.h"

#include <cstdio>

#include "session/session_thread.h"

static const NetworkAddress kLoopback = {AddressFamily::kIpv4, {127, 0, 0, 1}, 0, 0};

// Sockets must work before any test runs (Winsock needs starting; POSIX ignores SIGPIPE).
static const int socketsStarted = startSockets();

SocketHandle listenOnFreePort(unsigned short* port) {
    if (socketsStarted != 0) {
        return kNoSocket;
    }
    SocketHandle listener = openTcpSocket(AddressFamily::kIpv4);
    NetworkAddress bound;
    NetworkAddress any = {AddressFamily::kIpv4, {}, 0, 0};
    if (listener == kNoSocket || bindSocket(listener, &any) != 0 ||
        listenSocket(listener, 16) != 0 || socketLocalAddress(listener, &bound) != 0) {
        closeSocket(listener);
        return kNoSocket;
    }
    *port = bound.port;
    return listener;
}

SocketHandle connectToLoopback(unsigned short port) {
    SocketHandle socket = openTcpSocket(AddressFamily::kIpv4);
    NetworkAddress target = kLoopback;
    target.port = port;
    if (socket == kNoSocket || connectSocket(socket, &target) != 0) {
        closeSocket(socket);
        return kNoSocket;
    }
    (void)setSocketTimeout(socket, 5000);
    return socket;
}

LoopbackPair::LoopbackPair() {
    unsigned short port = 0;
    SocketHandle listener = listenOnFreePort(&port);
    client = connectToLoopback(port);
    server = acceptConnection(listener, nullptr);
    closeSocket(listener);
}

LoopbackPair::~LoopbackPair() {
    closeSocket(client);
    closeSocket(server);
}

OfflineSession::OfflineSession() : session(createSession(kNoSocket, 0)) {
    session->root = openServedRoot();
}

OfflineSession::~OfflineSession() {
    endSession(session);
}

SessionUnderTest::SessionUnderTest(void (*configure)(FtpSession*)) {
    unsigned short port = 0;
    SocketHandle listener = listenOnFreePort(&port);
    client = connectToLoopback(port);
    NetworkAddress peer;
    SocketHandle serverEnd = acceptConnection(listener, &peer);
    closeSocket(listener);
    FtpSession* session = createSession(serverEnd, 0);
    session->peerAddress = peer;
    if (configure != nullptr) {
        configure(session);
    }
    thread_ = std::thread([session] {
        serveSession(session);
        endSession(session);
    });
    readLine();  // the greeting
}

SessionUnderTest::~SessionUnderTest() {
    if (client != kNoSocket) {
        (void)sendBytes(client, "QUIT\r\n", 6);
        shutdownReceiving(client);
        closeSocket(client);
    }
    thread_.join();
}

std::string SessionUnderTest::readLine() {
    for (;;) {
        std::size_t end = buffered_.find("\r\n");
        if (end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 2);
            return line;
        }
        char chunk[512];
        long long count = receiveBytes(client, chunk, sizeof chunk);
        if (count <= 0) {
            return "";
        }
        buffered_.append(chunk, static_cast<std::size_t>(count));
    }
}

std::string SessionUnderTest::command(const std::string& line) {
    std::string framed = line + "\r\n";
    if (sendBytes(client, framed.data(), framed.size()) != 0) {
        return "";
    }
    return readLine();
}

SocketHandle SessionUnderTest::openPassiveData() {
    std::string reply = command("PASV");
    unsigned numbers[6] = {};
    if (std::sscanf(reply.c_str(), "227 Entering Passive Mode (%3u,%3u,%3u,%3u,%3u,%3u)",
                    &numbers[0], &numbers[1], &numbers[2], &numbers[3], &numbers[4],
                    &numbers[5]) != 6) {
        return kNoSocket;
    }
    return connectToLoopback(static_cast<unsigned short>(numbers[4] * 256 + numbers[5]));
}
