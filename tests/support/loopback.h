// tests/support/loopback.h: connected TCP pairs over 127.0.0.1, and a session served by its
// own thread, for tests that run server code in-process.
#pragma once

#include <string>
#include <thread>

#include "platform/platform.h"

struct FtpSession;

// A connected pair: client and server ends. Both are closed by the destructor unless taken.
struct LoopbackPair {
    LoopbackPair();
    ~LoopbackPair();
    LoopbackPair(const LoopbackPair&) = delete;
    LoopbackPair& operator=(const LoopbackPair&) = delete;
    SocketHandle client = kNoSocket;
    SocketHandle server = kNoSocket;
};

// A listener on 127.0.0.1's side of every interface, on a free port.
SocketHandle listenOnFreePort(unsigned short* port);
// A socket connected to 127.0.0.1:port, with a 5-second receive limit.
SocketHandle connectToLoopback(unsigned short port);

// A session record without a connection, for the file-system side alone. Its working
// directory starts at the served root of the moment.
struct OfflineSession {
    OfflineSession();
    ~OfflineSession();
    OfflineSession(const OfflineSession&) = delete;
    OfflineSession& operator=(const OfflineSession&) = delete;
    FtpSession* session;
};

// One in-process session on a loopback connection: its thread runs serveSession and then
// endSession; the test talks through client.
class SessionUnderTest {
   public:
    // configure may change the record (time limits) before the session starts.
    explicit SessionUnderTest(void (*configure)(FtpSession*) = nullptr);
    ~SessionUnderTest();
    SessionUnderTest(const SessionUnderTest&) = delete;
    SessionUnderTest& operator=(const SessionUnderTest&) = delete;

    // Sends a command line and returns the next reply line (without CR LF), or "" at the end.
    std::string command(const std::string& line);
    std::string readLine();
    // PASV, then a connection to the announced port.
    SocketHandle openPassiveData();

    // A test that closes it leaves kNoSocket here; the destructor then only awaits the end.
    SocketHandle client = kNoSocket;

   private:
    std::string buffered_;
    std::thread thread_;
};
