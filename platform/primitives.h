// platform/primitives.h: the small calls that posix/ and windows/ each give the platform layer's
// shared files (socket_timeouts.cpp, calendar_time.cpp, withheld_files.cpp, socket_calls.cpp,
// digest_set.cpp, console_thread.cpp), which hold the logic written once, and the platform's own
// lock numbers.
#pragma once

#include <cstdint>

#include "platform/platform.h"

struct sockaddr;
struct sockaddr_storage;
struct tm;

// The platform's own locks and conditions, numbered after its users' ones: the console's lock,
// which guards the console queue and the status line's compose, with its waits for text queued
// (the console thread's) and for text written; and the lock of the threads that wait for a next
// session on POSIX, with the wake of one of them.
constexpr int kConsoleLock = kLockCount;
constexpr int kIdleThreadsLock = kLockCount + 1;
constexpr int kConsoleTextQueued = kConditionCount;
constexpr int kConsoleTextWritten = kConditionCount + 1;
constexpr int kIdleThreadWanted = kConditionCount + 2;
constexpr int kPlatformLockCount = kLockCount + 2;
constexpr int kPlatformConditionCount = kConditionCount + 3;

// Sets one of the socket's two time limits (SO_SNDTIMEO when forSending, else SO_RCVTIMEO);
// 0 means no limit. Returns 0, or -1 with the error set.
int setTimeLimit(SocketHandle socket, bool forSending, int milliseconds);

// socket_calls.cpp's, for the sockets of each platform: the socket address of address (its
// length returned), ours of a socket address of either family (0, or -1 for another family),
// and the system's number of a family.
int toSocketAddress(const NetworkAddress* address, struct sockaddr_storage* out);
int fromSocketAddress(const struct sockaddr* address, NetworkAddress* out);
int systemFamilyOf(AddressFamily family);
// Sets an option that takes an int (a DWORD or a BOOL on Windows, of the same size). Returns 0,
// or -1 with the error set.
int setSocketOption(SocketHandle socket, int level, int option, int value);
// Each records an error as the socket layer numbers it (errno's numbers on POSIX, Winsock's on
// Windows) and returns -1: the one the socket call that just failed left, a family it cannot
// use, or an argument it refuses (text that is no address, a count of sockets it cannot wait
// for).
int failWithSocketError();
int failWithUnsupportedFamily();
int failWithInvalidArgument();

// Breaks time (seconds since 1970-01-01 00:00 UTC) down into the machine's local time or UTC.
// Returns 0, or -1 with the error set for a time the runtime rejects.
int breakDownTime(long long time, bool local, struct tm* out);

// The files that withholdFile keeps from clients, by volume (or device) and file index (or
// inode), so that no other name for them reaches them either; withheld_files.cpp keeps them.
// Adds a file; hold (or -1) is what the platform keeps open of it meanwhile, released when the
// file is listed already or the table is full (EMFILE's error, -1). Files that no name leads to
// any more give their places back first.
int addWithheldFile(unsigned long long volume, unsigned long long fileIndex, std::intptr_t hold);
// True when the table lists this file. Safe while another thread adds one.
bool isWithheldIdentity(unsigned long long volume, unsigned long long fileIndex);
bool hasWithheldFiles();
// Implemented by each platform: whether the file that hold keeps open has lost its last name,
// and the release of the hold.
bool isHeldFileGone(std::intptr_t hold);
void releaseFileHold(std::intptr_t hold);

// The digests the system's provider computes, one at a time: every kind before kCrc32.
constexpr int kProvidedDigests = 3;
// Starts the provider's digest of kind. Returns it, or nullptr with the error set.
void* beginProvidedDigest(DigestKind kind);
void updateProvidedDigest(void* digest, const char* bytes, std::size_t length);
// Ends the digest and writes it in lower-case hex into text (kDigestTextSize). Returns 0, or -1
// with the error set; endProvidedDigest releases it either way.
int finishProvidedDigest(void* digest, DigestKind kind, char* text);
// Releases a digest; nothing for nullptr.
void endProvidedDigest(void* digest);
// digest_set.cpp's: writes length bytes as lower-case hex and a terminator into out (room for
// 2 * length + 1).
void writeHexDigest(const unsigned char* bytes, std::size_t length, char* out);

// The self-signed certificate, alike on both platforms: valid from an hour ago, so that a client
// whose clock is a little behind takes it, for ten years (clients pin its fingerprint). A kept
// one that expires within 30 days is replaced at start-up, so a pin does not fail mid-update.
constexpr long long kSelfSignedSeconds = 10LL * 365 * 24 * 3600;
constexpr long long kSelfSignedBackdateSeconds = 3600;
constexpr long long kRenewBeforeSeconds = 30LL * 24 * 3600;
