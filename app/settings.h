// app/settings.h: the process-wide settings that start-up fixes.
#pragma once

#include <cstddef>

#include "platform/platform.h"

// Room for the served root's path in UTF-8: Linux's PATH_MAX, and more than Windows' longest
// wide path takes once converted. A folder deep in an operator's tree must still be servable.
constexpr std::size_t kRootPathSize = 4096;
constexpr int kMaxLocalAddresses = 10;
// The "-ip" text shows at most kAddressTextSize - 1 characters; an address of "-i" whole.
constexpr std::size_t kAddressTextSize = 20;
// The addresses "-i" may name: more than a laptop has adapters.
constexpr int kMaxListenAddresses = 8;
constexpr int kDefaultControlPort = 21;
constexpr int kFallbackControlPort = 4100;
constexpr int kDefaultMaxSessions = 1000;
// One address may hold this many sessions (an IPv6 /64 four times as many): at least 16 hosts
// are needed to fill the default cap, while a chassis uses one or two and the most parallel
// clients (FileZilla, rclone, lftp mirror) some ten to twenty.
constexpr int kDefaultMaxPerAddress = 64;
// A connection that has not logged in by then is closed: a chassis logs in at once, and idle
// connections that never do must not fill the cap.
constexpr int kDefaultLoginSeconds = 60;
// The largest values of "-maxsessions" and "-maxperaddress", and of "-idle" and
// "-logintimeout" (a day): far beyond what a server of firmware packages needs, and a bound
// for the table of addresses.
constexpr int kLargestSessionLimit = 10000;
constexpr int kLargestIdleSeconds = 86400;

struct TlsCredentials;

// Room for the name or the password of "-login".
constexpr std::size_t kLoginTextSize = 128;

struct LocalAddressList {
    char addresses[kMaxLocalAddresses][kNetworkAddressTextSize];
    NetworkAddress found[kMaxLocalAddresses];  // what each text was written from
    int count;
};

// Written during start-up only, before the first session thread exists; afterwards every
// thread only reads it, so it needs no lock.
struct ServerSettings {
    char rootPath[kRootPathSize];      // as the OS reported it when we entered it
    bool readOnly;
    int verbose;
    bool status;  // "-status": event lines and a status line instead of the dots
    int controlPort;
    int passivePortLow;
    int passivePortHigh;
    const char* natAddress;  // the "-ip" argument itself, or nullptr
    LocalAddressList localAddresses;
    // "-i": the control listener and every passive listener are on these alone; with none,
    // on every interface.
    NetworkAddress listenAddresses[kMaxListenAddresses];
    int listenAddressCount;
    bool tls;                         // "-tls", "-tlscert" or "-tlsonly": AUTH TLS is offered
    bool tlsOnly;                     // nothing but AUTH and a few verbs in clear text
    bool tlsAnyDataSession;           // "-tlsnoresume": data connections need not resume
    const char* tlsCertificatePath;   // the "-tlscert" file, or nullptr for a self-signed one
    TlsCredentials* tlsCredentials;   // made at start-up when tls is set
    bool hasLogin;                    // "-login": only this name and password are accepted
    char loginName[kLoginTextSize];
    char loginPassword[kLoginTextSize];
    // The password's text inside "-login name:password", which start-up erases once it is
    // copied; nullptr when "-login name" came alone and start-up asks for the password.
    const char* loginPasswordArgument;
    const char* transferLogPath;  // the "-xferlog" argument, or nullptr
    const char* reportPath;       // the "-report" argument, or nullptr
    int maxSessions;
    int maxPerAddress;  // 0: no limit
    int idleSeconds;    // 0: no limit
    int loginSeconds;   // how long a connection may go without a login; 0: no limit
};

extern ServerSettings serverSettings;

// The settings as the program starts, before the command line is read.
void resetServerSettings(ServerSettings* settings);
