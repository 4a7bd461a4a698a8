// app/settings.h: the process-wide settings that start-up fixes.
#pragma once

#include <cstddef>

constexpr std::size_t kRootPathSize = 260;
constexpr int kMaxLocalAddresses = 10;
constexpr std::size_t kAddressTextSize = 20;
constexpr int kDefaultControlPort = 21;
constexpr int kFallbackControlPort = 4100;

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
};

extern ServerSettings serverSettings;

// The settings as the program starts, before the command line is read.
void resetServerSettings(ServerSettings* settings);
