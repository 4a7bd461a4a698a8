// tests/app/command_line_test.cpp: reading the command line into the settings.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Reading {
    CommandLine commandLine;
    ServerSettings settings;
};

Reading readArguments(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "tarnLoader");
    Reading reading;
    resetServerSettings(&reading.settings);
    reading.commandLine = readCommandLine(static_cast<int>(arguments.size()), arguments.data(),
                                          &reading.settings);
    return reading;
}

}  // namespace

TEST(ReadCommandLine, DefaultsWithoutArguments) {
    Reading reading = readArguments({});
    EXPECT_EQ(CommandLineStatus::kRun, reading.commandLine.status);
    EXPECT_EQ(nullptr, reading.commandLine.rootArgument);
    EXPECT_TRUE(reading.settings.readOnly);
    EXPECT_EQ(0, reading.settings.verbose);
    EXPECT_EQ(21, reading.settings.controlPort);
    EXPECT_EQ(0, reading.settings.passivePortLow);
    EXPECT_EQ(0, reading.settings.passivePortHigh);
    EXPECT_EQ(nullptr, reading.settings.natAddress);
    EXPECT_EQ(1000, reading.settings.maxSessions);
    EXPECT_EQ(64, reading.settings.maxPerAddress);
    EXPECT_EQ(60, reading.settings.loginSeconds);
}

TEST(ReadCommandLine, ReadsTheLimitsAndTheTransferLog) {
    Reading reading = readArguments({"-maxsessions", "1", "-maxperaddress", "10000", "-idle",
                                     "86400", "-logintimeout", "1", "-xferlog", "-u"});
    EXPECT_EQ(CommandLineStatus::kRun, reading.commandLine.status);
    EXPECT_EQ(1, reading.settings.maxSessions);
    EXPECT_EQ(10000, reading.settings.maxPerAddress);
    EXPECT_EQ(86400, reading.settings.idleSeconds);
    EXPECT_EQ(1, reading.settings.loginSeconds);
    EXPECT_STREQ("-u", reading.settings.transferLogPath);  // a value, as the other options
}

TEST(ReadCommandLine, ReadsValuesAsTheCLibraryWould) {
    struct Case {
        std::vector<const char*> arguments;
        int controlPort;
        int low;
        int high;
    };
    const Case cases[] = {
        {{"-p", "2121"}, 2121, 0, 0},
        {{"-p", "2121x"}, 2121, 0, 0},
        {{"-p", " +17"}, 17, 0, 0},
        {{"-p", "0"}, 0, 0, 0},  // any free port
        {{"-p", "65535"}, 65535, 0, 0},
        {{"-p", "1", "-p", "2"}, 2, 0, 0},  // the last value wins
        {{"-prange", "5000-5010"}, 21, 5000, 5010},
        {{"-prange", "5000"}, 21, 5000, 0},
        {{"-prange", "5000:5010"}, 21, 5000, 0},
        {{"-prange", "5000-5010", "-prange", "6000"}, 21, 6000, 5010},
        {{"-prange", "1-65535"}, 21, 1, 65535},
        {{"-prange", "5000-x"}, 21, 5000, 0},
        {{"-prange", "5000-0"}, 21, 5000, 0},  // a high port of 0 is none, not one below
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments[1]);
        Reading reading = readArguments(c.arguments);
        EXPECT_EQ(CommandLineStatus::kRun, reading.commandLine.status);
        EXPECT_EQ(c.controlPort, reading.settings.controlPort);
        EXPECT_EQ(c.low, reading.settings.passivePortLow);
        EXPECT_EQ(c.high, reading.settings.passivePortHigh);
    }
}

TEST(ReadCommandLine, KeepsTheAddressTextAndFlags) {
    Reading reading = readArguments({"-ip", "10.0.0.1/24", "-u", "-ftpverbose", "pkg"});
    EXPECT_EQ(CommandLineStatus::kRun, reading.commandLine.status);
    EXPECT_STREQ("10.0.0.1/24", reading.settings.natAddress);
    EXPECT_FALSE(reading.settings.readOnly);
    EXPECT_EQ(1, reading.settings.verbose);
    EXPECT_STREQ("pkg", reading.commandLine.rootArgument);
    EXPECT_EQ(CommandLineStatus::kRun, readArguments({"-ip", "300.1.2.3"}).commandLine.status);
    // "-i" twice with one address listens there once.
    reading = readArguments({"-i", "127.0.0.2", "-i", "::1", "-i", "127.0.0.2"});
    EXPECT_EQ(CommandLineStatus::kRun, reading.commandLine.status);
    EXPECT_EQ(2, reading.settings.listenAddressCount);
}

TEST(ReadCommandLine, StopsAtTheFirstError) {
    struct Case {
        std::vector<const char*> arguments;
        CommandLineStatus status;
    };
    const Case cases[] = {
        {{"-p"}, CommandLineStatus::kMissingPort},
        {{"-p", "abc"}, CommandLineStatus::kMissingPort},
        {{"-prange"}, CommandLineStatus::kMissingRange},
        {{"-prange", "abc"}, CommandLineStatus::kMissingRange},
        // Ports outside 0-65535 are refused rather than taken modulo 65536.
        {{"-p", "65536"}, CommandLineStatus::kMissingPort},
        {{"-p", "99999"}, CommandLineStatus::kMissingPort},
        {{"-p", "4294967317"}, CommandLineStatus::kMissingPort},  // 21 modulo 2^32
        {{"-prange", "5000-70000"}, CommandLineStatus::kMissingRange},
        {{"-prange", "5000--5"}, CommandLineStatus::kMissingRange},
        {{"-prange", "6000-5000"}, CommandLineStatus::kInvertedRange},
        {{"-i"}, CommandLineStatus::kBadListenAddress},
        {{"-i", "localhost"}, CommandLineStatus::kBadListenAddress},
        {{"-i", "10.0.0"}, CommandLineStatus::kBadListenAddress},
        {{"-i", "1.1.1.1", "-i", "1.1.1.2", "-i", "1.1.1.3", "-i", "1.1.1.4", "-i", "1.1.1.5", "-i",
          "1.1.1.6", "-i", "1.1.1.7", "-i", "1.1.1.8", "-i", "::9"},
         CommandLineStatus::kBadListenAddress},
        {{"-ip", "10.0.0"}, CommandLineStatus::kMissingAddress},
        {{"-ip"}, CommandLineStatus::kMissingAddress},
        {{"-P", "21"}, CommandLineStatus::kUnknownOption},
        {{"-"}, CommandLineStatus::kUnknownOption},
        {{"--help"}, CommandLineStatus::kUnknownOption},
        {{"-prange=5000-5010"}, CommandLineStatus::kUnknownOption},
        {{"", "pkg"}, CommandLineStatus::kSecondRoot},
        {{"a", "b"}, CommandLineStatus::kSecondRoot},
        {{"-u", "-h", "-nonsense"}, CommandLineStatus::kHelp},
        {{"-version", "-nonsense"}, CommandLineStatus::kVersion},
        {{"-Version"}, CommandLineStatus::kUnknownOption},
        {{"-tlscert"}, CommandLineStatus::kMissingCertificate},
        {{"-login"}, CommandLineStatus::kMissingLogin},
        {{"-login", ":pw"}, CommandLineStatus::kMissingLogin},
        {{"-login", "op:"}, CommandLineStatus::kMissingLogin},
        {{"-bad", "-h"}, CommandLineStatus::kUnknownOption},
        {{"-xferlog"}, CommandLineStatus::kMissingLogFile},
        {{"-maxsessions", "0"}, CommandLineStatus::kBadLimit},
        {{"-maxsessions", "10001"}, CommandLineStatus::kBadLimit},
        {{"-maxsessions", "99999999999999999999"}, CommandLineStatus::kBadLimit},
        {{"-maxperaddress", "-1"}, CommandLineStatus::kBadLimit},
        {{"-idle", "10x"}, CommandLineStatus::kBadLimit},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments[0]);
        EXPECT_EQ(c.status, readArguments(c.arguments).commandLine.status);
    }
}

TEST(ReadCommandLine, TakesTlsAndLoginOptions) {
    Reading plain = readArguments({});
    EXPECT_FALSE(plain.settings.tls || plain.settings.tlsOnly || plain.settings.hasLogin);
    Reading reading = readArguments({"-tlscert", "server.pem", "-login", "op:pass:word", "pkg"});
    EXPECT_EQ(CommandLineStatus::kRun, reading.commandLine.status);
    EXPECT_TRUE(reading.settings.tls);
    EXPECT_FALSE(reading.settings.tlsOnly);
    EXPECT_STREQ("server.pem", reading.settings.tlsCertificatePath);
    EXPECT_STREQ("op", reading.settings.loginName);
    EXPECT_STREQ("pass:word", reading.settings.loginPassword);  // the first colon separates
    EXPECT_STREQ("pkg", reading.commandLine.rootArgument);
    EXPECT_STREQ("pass:word", reading.settings.loginPasswordArgument);  // erased at start-up
    Reading alone = readArguments({"-login", "op"});
    EXPECT_TRUE(alone.settings.hasLogin);
    EXPECT_STREQ("op", alone.settings.loginName);
    EXPECT_EQ(nullptr, alone.settings.loginPasswordArgument);  // asked for at start-up
    // The last -login holds: an earlier password never stands in, nor an empty one.
    Reading again = readArguments({"-login", "op:pw", "-login", "op"});
    EXPECT_EQ(nullptr, again.settings.loginPasswordArgument);
    Reading only = readArguments({"-tlsonly"});
    EXPECT_TRUE(only.settings.tls && only.settings.tlsOnly);
    EXPECT_EQ(nullptr, only.settings.tlsCertificatePath);
}

TEST(ReadCommandLine, AValueIsNeverReadAsAnOption) {
    Reading reading = readArguments({"-ip", "1.2.3.4", "-p", "+5"});
    EXPECT_EQ(CommandLineStatus::kRun, reading.commandLine.status);
    EXPECT_EQ(5, reading.settings.controlPort);
    EXPECT_EQ(CommandLineStatus::kMissingPort, readArguments({"-p", "-5"}).commandLine.status);
    EXPECT_EQ(CommandLineStatus::kMissingPort, readArguments({"-p", "-u"}).commandLine.status);
}
