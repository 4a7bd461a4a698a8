// app/settings.h: the process-wide settings that start-up fixes.
#pragma once

#include <cstddef>

constexpr std::size_t kRootPathSize = 260;
constexpr int kMaxLocalAddresses = 10;
constexpr std::size_t kAddressTextSize = 20;
constexpr int kDefaultControlPort = 21;
constexpr int kFallbackControlPort = 4100;
constexpr int kDefaultMaxSessions = 1000;
// The largest values of "-maxsessions" and "-maxperaddress", and of "-idle" (a day): far
// beyond what a server of firmware packages needs, and a bound for the table of addresses.
constexpr int kLargestSessionLimit = 10000;
constexpr int kLargestIdleSeconds = 86400;

struct LocalAddressList {
    char addresses[kMaxLocalAddresses][kAddressTextSize];
    int count;
};

// Written during start-up only, before the first session thread exists; afterwards every
// thread only reads it, so it needs no lock.
struct ServerSettings {
    char rootPath[kRootPathSize];      // as the OS reported it when we entered it
    bool readOnly;
    int verbose;
    int controlPort;
    int passivePortLow;
    int passivePortHigh;
    const char* natAddress;  // the "-ip" argument itself, or nullptr
    LocalAddressList localAddresses;
    const char* transferLogPath;  // the "-xferlog" argument, or nullptr
    int maxSessions;
    int maxPerAddress;  // 0: no limit
    int idleSeconds;    // 0: no limit
};

extern ServerSettings serverSettings;

// The settings as the program starts, before the command line is read.
void resetServerSettings(ServerSettings* settings);
