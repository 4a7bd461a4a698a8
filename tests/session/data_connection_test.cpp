// tests/session/data_connection_test.cpp: PORT and PASV texts, and the bounded waits of data
// connections, run in-process with short limits.
#include "session/data_connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "session/reply.h"
#include "session/session.h"
#include "tests/support/loopback.h"
#include "tests/support/temporary_directory.h"

TEST(ParsePortArgument, KeepsTheLowEightBitsOfSixNumbers) {
    struct Case {
        const char* argument;
        unsigned char numbers[6];
    };
    const Case cases[] = {
        {"10,0,0,5,4,1", {10, 0, 0, 5, 4, 1}},      {"127,0,0,1,4,1,7", {127, 0, 0, 1, 4, 1}},
        {"383,0,0,1,4,1", {127, 0, 0, 1, 4, 1}},    {"256,-1,0,1,4,1", {0, 255, 0, 1, 4, 1}},
        {" 1, +2, 3,4,5,6xyz", {1, 2, 3, 4, 5, 6}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argument);
        unsigned char numbers[6] = {};
        ASSERT_EQ(0, parsePortArgument(c.argument, numbers));
        for (int i = 0; i < 6; i++) {
            EXPECT_EQ(c.numbers[i], numbers[i]) << "number " << i;
        }
    }
}

TEST(ParsePortArgument, RefusesMalformedArguments) {
    const char* malformed[] = {
        "", "1,2,3,4,5", "1,2,3,4,5,", "1;2;3;4;5;6", "1 ,2,3,4,5,6", "a,b,c,d,e,f", "1,2,3,4,5,x"};
    for (const char* argument : malformed) {
        SCOPED_TRACE(argument);
        unsigned char numbers[6] = {};
        EXPECT_NE(0, parsePortArgument(argument, numbers));
    }
}

TEST(FormatPassiveReply, AnnouncesAddressAndPortBytes) {
    char reply[kReplyTextSize];
    NetworkAddress address = {AddressFamily::kIpv4, {192, 168, 1, 10}, 21, 0};
    ASSERT_EQ(0, formatPassiveReply(reply, sizeof reply, &address, 50000));
    EXPECT_STREQ("227 Entering Passive Mode (192,168,1,10,195,80)", reply);
    NetworkAddress widest = {AddressFamily::kIpv4, {255, 255, 255, 255}, 0, 0};
    ASSERT_EQ(0, formatPassiveReply(reply, sizeof reply, &widest, 65535));
    EXPECT_STREQ("227 Entering Passive Mode (255,255,255,255,255,255)", reply);
}

namespace {

void shortWaits(FtpSession* session) {
    session->dataWaitMilliseconds = 300;
    session->stallMilliseconds = 300;
}

class DataConnectionWait : public ::testing::Test {
   protected:
    void SetUp() override {
        useServedRoot(root.path());
        root.writeFile("a.bin", "contents");
    }
    TemporaryDirectory root;
};

}  // namespace

// A listener whose queue is full answers no more connections, as one behind a firewall that
// drops them: fillers connect until one is not answered. Returns the PORT command for it.
static std::string fullListener(SocketHandle* listener, std::vector<SocketHandle>* fillers) {
    unsigned short port = 0;
    *listener = listenOnFreePort(&port);
    NetworkAddress target = {AddressFamily::kIpv4, {127, 0, 0, 1}, port, 0};
    for (int connected = 0; connected == 0 && fillers->size() < 256;) {
        fillers->push_back(openTcpSocket(AddressFamily::kIpv4));
        connected = connectSocketWithin(fillers->back(), &target, 200, kNoSocket);
    }
    return "PORT 127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 0xff);
}

// Neither a passive connection that never comes nor an active one that is never answered holds
// the session past the data wait.
TEST_F(DataConnectionWait, GivesUpWhenTheDataConnectionNeverComes) {
    SocketHandle listener = kNoSocket;
    std::vector<SocketHandle> fillers;
    for (bool active : {false, true}) {
        SCOPED_TRACE(active ? "active" : "passive");
        SessionUnderTest session(shortWaits);
        std::string mode = active ? fullListener(&listener, &fillers) : "PASV";
        ASSERT_EQ(0u, session.command(mode).find(active ? "200 " : "227 "));
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ("150 Opening BINARY mode data connection", session.command("RETR a.bin"));
        EXPECT_EQ("425 Can't open data connection.", session.readLine());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ("150 Opening connection", session.command("LIST"));
        EXPECT_EQ("425 Can't open data connection.", session.readLine());
        EXPECT_EQ("200 OK", session.command("NOOP"));
    }
    for (SocketHandle filler : fillers) {
        closeSocket(filler);
    }
    closeSocket(listener);
}

TEST_F(DataConnectionWait, ActiveModeNeedsAPortCommand) {
    SessionUnderTest session(shortWaits);
    EXPECT_EQ("150 Opening BINARY mode data connection", session.command("RETR a.bin"));
    EXPECT_EQ("425 Use PORT or PASV first.", session.readLine());
}

TEST_F(DataConnectionWait, PassiveConnectionArrivesWithinTheLimit) {
    SessionUnderTest session(shortWaits);
    SocketHandle data = session.openPassiveData();
    ASSERT_NE(kNoSocket, data);
    EXPECT_EQ("150 Opening BINARY mode data connection", session.command("RETR a.bin"));
    char received[64] = {};
    std::string payload;
    long long count;
    while ((count = receiveBytes(data, received, sizeof received)) > 0) {
        payload.append(received, static_cast<std::size_t>(count));
    }
    EXPECT_EQ("contents", payload);
    EXPECT_EQ("226 Transfer complete", session.readLine());
    closeSocket(data);
}
