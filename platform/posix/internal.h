// platform/posix/internal.h: what the POSIX files of the platform layer share: the calling
// thread's last error and the helpers that record it, the deadlines of timed waits, and the
// folders held open beneath the served root.
#pragma once

#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/platform.h"

struct ssl_ctx_st;
struct stat;
struct timespec;

// Records error as the calling thread's last error and returns -1.
int fail(int error);
// Records errno as the calling thread's last error and returns -1.
int failWithErrno();
// Records what EAGAIN on the socket fd means and returns -1: kWouldBlock's error on a
// non-blocking socket, kTimedOut's on one whose timeout ran out.
int failWithoutWaiting(int fd);

// The time milliseconds from now on the clock of pthread_cond_timedwait (CLOCK_REALTIME).
void deadlineAfter(long milliseconds, struct timespec* out);

struct Folder {
    int descriptor;  // -1 only for a root that could not be opened yet
};

// Where a walk from the root ended: the folder that holds the entry and its name. An empty name
// means the path names the root, and folder is the root's descriptor then.
struct WalkEnd {
    int folder;                        // owned unless it is the root's
    std::vector<std::string> reached;  // the names of folder below the root
    std::string name;
    bool exists;
    FileStatus status;  // of the entry itself, when it exists
};
enum class LastName { kFollow, kKeep };
// Walks path from the root. With kKeep the last name is not followed. On success *end holds
// an owned descriptor (or the root's) that the caller releases with releaseEnd.
int walkPath(int rootDescriptor, const char* path, LastName last, WalkEnd* end);
void releaseEnd(const WalkEnd* end, int rootDescriptor);
// The walk to the entry path names, links followed. Fails with "does not exist" when the
// entry is missing; on success the caller releases *end.
int walkToExisting(int rootDescriptor, const char* path, WalkEnd* end);
// The status of an entry as the server sees it.
void toFileStatus(const struct stat* status, FileStatus* out);
// The version an open file's status shows.
void toFileVersion(const struct stat* status, FileVersion* out);

// True for a regular file that withholdFile keeps from clients.
bool isWithheldFile(const struct stat* status);

// Opens the folder that path names beneath the root for reading its entries. Returns the
// descriptor, or -1 with the error set.
int openFolderForReading(Folder* root, const char* path);

// The server's TLS context (OpenSSL's SSL_CTX), one for every connection, so that a data
// connection may resume the control connection's session.
struct TlsCredentials {
    ssl_ctx_st* context;
};

// Puts the kept self-signed certificate and its key into context, or a new pair, which is
// then kept for later starts; facts tells which, and where.
bool useSelfSigned(ssl_ctx_st* context, TlsCertificateFacts* facts);
