// fs/checksums.h: the digests of served files, computed once per version of a file by one
// background thread and kept, and the verbs that answer them: HASH (draft-bryan-ftp-hash),
// XSHA256, XSHA1, XMD5 and XCRC.
#pragma once

#include <string>

#include "platform/platform.h"

struct FtpSession;

// The versions of files whose digests are kept; the least recently asked gives way.
constexpr int kKeptChecksums = 1024;
// Files waiting for or under computation at once, from all sessions: a flood of requests for
// many large files is answered "busy" beyond this, while each file is read once however
// many ask for it.
constexpr int kMostPendingChecksums = 16;
// How long a request waits for a computation before it is answered "busy, try again".
constexpr int kChecksumWaitMilliseconds = 5000;

enum class ChecksumAnswer { kReady, kBusy };

// The walk of the tree at start-up reads at most this many bytes in all: a folder of a few
// packages is digested at once, while a server started in a large folder does not read a disk
// for minutes beside the transfers. Files beyond it are digested when asked for.
constexpr long long kLargestWalk = 1LL << 30;

// Starts the background thread now and has it digest the files of the served tree (at most
// kKeptChecksums of them, kLargestWalk bytes in all) while no request waits, so that a read-only
// package's digests are ready when the first client asks. Start-up only, after the root is fixed.
// Returns 0, or -1 when no thread could be started (requests then start one).
int startChecksumsOfTree();

// The digests of the file open as file, whose version (as it was opened) is version: from the
// store at once, or computed by the background thread within waitMilliseconds. Takes file:
// closes it, or hands it to the background thread.
ChecksumAnswer findChecksums(int file, const FileVersion* version, int waitMilliseconds,
                             char texts[kDigestKindCount][kDigestTextSize]);
// The kept digest of kind for version, written into out, without computing: true when kept.
bool findKeptChecksum(const FileVersion* version, DigestKind kind, char* out);

// HASH: the session's chosen digest, as "213 SHA-256 0-<last byte> <hex> <path>".
void replyHash(FtpSession* session, const std::string& path);
// XSHA256, XSHA1, XMD5, XCRC: "213 <hex>".
void replyDigest(FtpSession* session, const std::string& path, DigestKind kind);
// "OPTS HASH" and "OPTS HASH <name>": tells or chooses the session's digest for HASH.
void chooseHash(FtpSession* session, const char* name);
// The FEAT line of HASH, with the session's choice marked: "HASH SHA-256*;SHA-1;MD5;CRC32".
void writeHashFeature(const FtpSession* session, char* out, std::size_t outSize);
