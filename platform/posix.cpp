// platform/posix.cpp: the platform layer on POSIX (Linux): sockets, threads, files and the
// find functions, translated to the behaviour the server expects of Windows.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/openat2.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The error of the calling thread's last failed platform call. Kept apart from errno, which
// the C library may change in between (printf may set it).
static thread_local int lastError = 0;

static int fail(int error) {
    lastError = error;
    return -1;
}

static int failWithErrno() {
    return fail(errno);
}

// ---------------------------------------------------------------------------------------------
// Errors.

void lastErrorText(char* out, std::size_t outSize) {
    if (outSize == 0) {
        return;
    }
    char buffer[kErrorTextSize];
    // GNU strerror_r may return a static text and leave the buffer untouched.
    const char* text = strerror_r(lastError, buffer, sizeof buffer);
    std::snprintf(out, outSize, "%s", text);
}

void setLastError(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::kAccessDenied:
            lastError = EACCES;
            break;
        case ErrorKind::kBusy:
            lastError = EBUSY;
            break;
        case ErrorKind::kNotFound:
            lastError = ENOENT;
            break;
        case ErrorKind::kIsDirectory:
            lastError = EISDIR;
            break;
        case ErrorKind::kTimedOut:
            lastError = ETIMEDOUT;
            break;
        case ErrorKind::kExists:
            lastError = EEXIST;
            break;
    }
}

void printSystemError(const char* text) {
    char errorText[kErrorTextSize];
    lastErrorText(errorText, sizeof errorText);
    std::fprintf(stderr, "%s: %s\n", text, errorText);
}

// ---------------------------------------------------------------------------------------------
// Process.

void prepareConsole() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}

int startSockets() {
    // A send to a vanished client, or a write past a file-size limit, must fail with an error
    // instead of ending the process; Windows has no such signals.
    (void)signal(SIGPIPE, SIG_IGN);
    (void)signal(SIGXFSZ, SIG_IGN);
    // Every session holds at least two descriptors; take all the system allows.
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &limit);  // a failure keeps the old limit, which works
    }
    return 0;
}

void sleepMilliseconds(int milliseconds) {
    struct timespec delay;
    delay.tv_sec = milliseconds / 1000;
    delay.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

namespace {
struct ThreadStart {
    void (*entry)(void*);
    void* argument;
};

// Threads whose entry has returned, each waiting a moment for the next one. On a virtual
// machine, creating a thread and ending it costs more than a whole short session (the new
// thread wakes an idle CPU, and the end of one releases stack pages on every CPU the process
// runs on), so a thread that has just ended its session serves the next one when it comes soon.
struct IdleThreads {
    pthread_mutex_t lock;
    pthread_cond_t wake;
    int waiting;      // threads inside waitForNextStart
    bool hasPending;  // pending belongs to the first waiting thread that sees it
    ThreadStart pending;
};
}  // namespace

static IdleThreads idleThreads = {
    PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, false, {nullptr, nullptr}};
static constexpr int kMostIdleThreads = 32;
// Short, so an idle server is back to its one thread at once for anyone who counts threads.
static constexpr long kIdleThreadMilliseconds = 250;

static std::atomic<void (*)()> idleThreadHook{nullptr};

void setIdleThreadHook(void (*hook)()) {
    idleThreadHook.store(hook);
}

// Waits for startThread to hand over the next entry. Returns false when none came in time,
// or enough threads wait already; the thread then ends.
static bool waitForNextStart(ThreadStart* next) {
    struct timespec deadline;
    (void)clock_gettime(CLOCK_REALTIME, &deadline);  // the clock of pthread_cond_timedwait
    deadline.tv_nsec += kIdleThreadMilliseconds * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    (void)pthread_mutex_lock(&idleThreads.lock);
    bool taken = false;
    bool waited = idleThreads.waiting < kMostIdleThreads;
    if (waited) {
        idleThreads.waiting++;
        int error = 0;
        while (!idleThreads.hasPending && error != ETIMEDOUT) {
            error = pthread_cond_timedwait(&idleThreads.wake, &idleThreads.lock, &deadline);
        }
        taken = idleThreads.hasPending;
        if (taken) {
            *next = idleThreads.pending;
            idleThreads.hasPending = false;
        }
        idleThreads.waiting--;
    }
    (void)pthread_mutex_unlock(&idleThreads.lock);
    void (*hook)() = idleThreadHook.load();
    if (waited && !taken && hook != nullptr) {
        hook();
    }
    return taken;
}

// Gives the entry to a waiting thread, if there is one that no other entry is meant for.
static bool handToIdleThread(void (*entry)(void*), void* argument) {
    (void)pthread_mutex_lock(&idleThreads.lock);
    bool handed = idleThreads.waiting > 0 && !idleThreads.hasPending;
    if (handed) {
        idleThreads.pending.entry = entry;
        idleThreads.pending.argument = argument;
        idleThreads.hasPending = true;
        (void)pthread_cond_signal(&idleThreads.wake);
    }
    (void)pthread_mutex_unlock(&idleThreads.lock);
    return handed;
}

static void* runThread(void* start) {
    ThreadStart next = *static_cast<ThreadStart*>(start);
    std::free(start);
    do {
        lastError = 0;  // each entry starts as on a new thread
        next.entry(next.argument);
    } while (waitForNextStart(&next));
    return nullptr;
}

static constexpr std::size_t kThreadStackSize = 512 * 1024;

int startThread(void (*entry)(void*), void* argument) {
    if (handToIdleThread(entry, argument)) {
        return 0;
    }
    ThreadStart* start = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
    if (start == nullptr) {
        return fail(ENOMEM);
    }
    start->entry = entry;
    start->argument = argument;
    pthread_attr_t attributes;
    int error = pthread_attr_init(&attributes);
    if (error == 0) {
        (void)pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        (void)pthread_attr_setstacksize(&attributes, kThreadStackSize);
        pthread_t thread;
        error = pthread_create(&thread, &attributes, runThread, start);
        (void)pthread_attr_destroy(&attributes);
    }
    if (error != 0) {
        std::free(start);
        return fail(error);
    }
    return 0;
}

void* allocateZeroedPages(std::size_t size) {
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        lastError = errno;
        return nullptr;
    }
    return memory;
}

void releasePages(void* memory, std::size_t size) {
    if (memory != nullptr) {
        (void)munmap(memory, size);  // fails only for a wrong address, which we never pass
    }
}

unsigned long processId() {
    return static_cast<unsigned long>(getpid());
}

long long currentTime() {
    return static_cast<long long>(time(nullptr));
}

long long monotonicMilliseconds() {
    struct timespec now;
    (void)clock_gettime(CLOCK_MONOTONIC, &now);  // cannot fail for CLOCK_MONOTONIC
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// ---------------------------------------------------------------------------------------------
// Sockets.

const int kLargestBacklog = SOMAXCONN;

static void toSocketAddress(const Ipv4Address* address, struct sockaddr_in* out) {
    std::memset(out, 0, sizeof *out);
    out->sin_family = AF_INET;
    out->sin_port = htons(address->port);
    std::memcpy(&out->sin_addr.s_addr, address->octets, 4);
}

static void fromSocketAddress(const struct sockaddr_in* address, Ipv4Address* out) {
    std::memcpy(out->octets, &address->sin_addr.s_addr, 4);
    out->port = ntohs(address->sin_port);
}

SocketHandle openTcpSocket() {
    int socketFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socketFd < 0) {
        lastError = errno;
        return kNoSocket;
    }
    return socketFd;
}

int allowPortReuse(SocketHandle socket) {
    int on = 1;
    if (setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        return failWithErrno();
    }
    return 0;
}

int bindSocket(SocketHandle socket, unsigned short port) {
    struct sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(static_cast<int>(socket), reinterpret_cast<struct sockaddr*>(&address),
             sizeof address) != 0) {
        return failWithErrno();
    }
    return 0;
}

int listenSocket(SocketHandle socket, int backlog) {
    if (listen(static_cast<int>(socket), backlog) != 0) {
        return failWithErrno();
    }
    return 0;
}

bool isAddressInUseError() {
    return lastError == EADDRINUSE;
}

int socketLocalAddress(SocketHandle socket, Ipv4Address* out) {
    struct sockaddr_in address;
    socklen_t length = sizeof address;
    if (getsockname(static_cast<int>(socket), reinterpret_cast<struct sockaddr*>(&address),
                    &length) != 0) {
        return failWithErrno();
    }
    fromSocketAddress(&address, out);
    return 0;
}

int socketPeerAddress(SocketHandle socket, Ipv4Address* out) {
    struct sockaddr_in address;
    socklen_t length = sizeof address;
    if (getpeername(static_cast<int>(socket), reinterpret_cast<struct sockaddr*>(&address),
                    &length) != 0) {
        return failWithErrno();
    }
    fromSocketAddress(&address, out);
    return 0;
}

SocketHandle acceptConnection(SocketHandle listener, Ipv4Address* peer) {
    struct sockaddr_in address;
    socklen_t length = sizeof address;
    int connection;
    do {
        length = sizeof address;
        connection = accept4(static_cast<int>(listener),
                             reinterpret_cast<struct sockaddr*>(&address), &length, SOCK_CLOEXEC);
    } while (connection < 0 && errno == EINTR);
    if (connection < 0) {
        lastError = errno;
        return kNoSocket;
    }
    if (peer != nullptr) {
        fromSocketAddress(&address, peer);
    }
    return connection;
}

AcceptFailure classifyAcceptFailure() {
    switch (lastError) {
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
            return AcceptFailure::kRetry;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return AcceptFailure::kRetryAfterPause;
        default:
            return AcceptFailure::kFatal;
    }
}

int connectSocket(SocketHandle socket, const Ipv4Address* address) {
    struct sockaddr_in target;
    toSocketAddress(address, &target);
    int result = connect(static_cast<int>(socket), reinterpret_cast<struct sockaddr*>(&target),
                         sizeof target);
    if (result != 0 && errno == EINTR) {
        // The connection goes on in the background after EINTR; wait for its outcome.
        struct pollfd waiter = {static_cast<int>(socket), POLLOUT, 0};
        while (poll(&waiter, 1, -1) < 0 && errno == EINTR) {
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(static_cast<int>(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            return failWithErrno();
        }
        return error == 0 ? 0 : fail(error);
    }
    return result == 0 ? 0 : failWithErrno();
}

int sendBytes(SocketHandle socket, const char* data, std::size_t length) {
    std::size_t sent = 0;
    while (sent < length) {
        ssize_t result = send(static_cast<int>(socket), data + sent, length - sent, MSG_NOSIGNAL);
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail((errno == EAGAIN || errno == EWOULDBLOCK) ? ETIMEDOUT : errno);
        }
        sent += static_cast<std::size_t>(result);
    }
    return 0;
}

long long receiveBytes(SocketHandle socket, char* buffer, std::size_t size) {
    for (;;) {
        ssize_t result = recv(static_cast<int>(socket), buffer, size, 0);
        if (result >= 0) {
            return result;
        }
        if (errno != EINTR) {
            return fail((errno == EAGAIN || errno == EWOULDBLOCK) ? ETIMEDOUT : errno);
        }
    }
}

int waitReadable(SocketHandle socket, int timeoutMilliseconds) {
    struct pollfd waiter = {static_cast<int>(socket), POLLIN, 0};
    for (;;) {
        int result = poll(&waiter, 1, timeoutMilliseconds);
        if (result >= 0) {
            return result > 0 ? 1 : 0;
        }
        if (errno != EINTR) {
            return failWithErrno();
        }
        // A signal cut the wait short; waiting the full time again keeps the bound finite.
    }
}

int setSocketTimeout(SocketHandle socket, int milliseconds) {
    struct timeval limit;
    limit.tv_sec = milliseconds / 1000;
    limit.tv_usec = (milliseconds % 1000) * 1000;
    int fd = static_cast<int>(socket);
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) {
        return failWithErrno();
    }
    return 0;
}

int setNoDelay(SocketHandle socket) {
    int on = 1;
    if (setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
        return failWithErrno();
    }
    return 0;
}

int limitSendBuffer(SocketHandle socket) {
    // A fixed buffer caps a download at one buffer per round trip: only short paths get it,
    // and a long one keeps autotuning. The handshake has measured the round trip already.
    constexpr unsigned kShortPathMicroseconds = 2000;  // 1 MiB per 2 ms is 4 Gb/s
    int fd = static_cast<int>(socket);
    struct tcp_info info;
    socklen_t length = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) {
        return failWithErrno();
    }
    if (info.tcpi_rtt > kShortPathMicroseconds) {
        return 0;
    }
    int size = 512 * 1024;  // Linux doubles it for its own bookkeeping
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0) {
        return failWithErrno();
    }
    return 0;
}

void shutdownReceiving(SocketHandle socket) {
    if (socket != kNoSocket) {
        (void)shutdown(static_cast<int>(socket), SHUT_RD);  // fails harmlessly on a dead socket
    }
}

void closeSocket(SocketHandle socket) {
    if (socket != kNoSocket) {
        (void)close(static_cast<int>(socket));  // Linux frees the descriptor even on EINTR
    }
}

int queryLocalAddresses(Ipv4Address* out, int maxCount) {
    struct ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        return failWithErrno();
    }
    // Addresses an operator can give a chassis come first; loopback only when nothing else.
    int count = 0;
    for (int wantLoopback = 0; wantLoopback < 2 && count == 0; wantLoopback++) {
        for (struct ifaddrs* entry = interfaces; entry != nullptr && count < maxCount;
             entry = entry->ifa_next) {
            if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
                (entry->ifa_flags & IFF_UP) == 0) {
                continue;
            }
            bool isLoopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
            if (isLoopback != (wantLoopback == 1)) {
                continue;
            }
            const struct sockaddr_in* address =
                reinterpret_cast<const struct sockaddr_in*>(entry->ifa_addr);
            fromSocketAddress(address, &out[count]);
            count++;
        }
    }
    freeifaddrs(interfaces);
    if (count == 0) {
        return fail(EADDRNOTAVAIL);
    }
    return count;
}

// ---------------------------------------------------------------------------------------------
// Paths and directories.

const char kPathSeparator = '/';

int changeProcessDirectory(const char* path) {
    return chdir(path) == 0 ? 0 : failWithErrno();
}

int enterDefaultRoot() {
    return 0;
}

int currentDirectory(char* out, std::size_t outSize) {
    if (getcwd(out, outSize) == nullptr) {
        return failWithErrno();
    }
    return 0;
}

// True when path already has the form realpath gives: absolute, without empty, "." or ".."
// components, and without a separator at the end.
static bool isPlainAbsolutePath(const char* path) {
    if (path[0] != '/') {
        return false;
    }
    if (path[1] == '\0') {
        return true;
    }
    const char* component = path + 1;
    for (;;) {
        const char* end = std::strchr(component, '/');
        std::size_t length =
            end != nullptr ? static_cast<std::size_t>(end - component) : std::strlen(component);
        bool isDot = length == 1 && component[0] == '.';
        bool isDotDot = length == 2 && component[0] == '.' && component[1] == '.';
        if (length == 0 || isDot || isDotDot) {
            return false;
        }
        if (end == nullptr) {
            return true;
        }
        component = end + 1;
    }
}

// The status of the last path realPath found free of links, read from the very lookup that
// checked it. A path command checks its path and asks its status at once; a second walk of
// the path would cost as much as the check, and could reach an entry put there in between.
// Serves one fileStatus of the same path; anything that changes entries forgets it. Longer
// paths are not kept: every thread has this record, and 1,000 idle sessions would pay a page
// each for a whole PATH_MAX.
constexpr std::size_t kVerifiedPathSize = 512;
struct VerifiedEntry {
    bool valid;
    struct stat status;
    char path[kVerifiedPathSize];
};
static thread_local VerifiedEntry verifiedEntry;

static void forgetVerifiedEntry() {
    verifiedEntry.valid = false;
}

static bool copyPath(char* out, std::size_t outSize, const char* path) {
    std::size_t length = std::strlen(path);
    if (length >= outSize) {
        return false;
    }
    std::memcpy(out, path, length + 1);
    return true;
}

// True when path exists and no component of it is a link, found in one walk of the kernel.
static bool existsWithoutLinks(const char* path) {
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    long descriptor = syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
    if (descriptor < 0) {
        return false;  // a link, a missing entry, or a kernel without openat2: ask realpath
    }
    verifiedEntry.valid = fstat(static_cast<int>(descriptor), &verifiedEntry.status) == 0 &&
                          copyPath(verifiedEntry.path, sizeof verifiedEntry.path, path);
    (void)close(static_cast<int>(descriptor));
    return true;
}

int realPath(const char* path, char* out, std::size_t outSize) {
    forgetVerifiedEntry();
    // realpath reads every prefix of the path as a possible link, one walk each; every path
    // command pays for that. A plain path without links is its own resolved form.
    if (isPlainAbsolutePath(path) && existsWithoutLinks(path)) {
        int written = std::snprintf(out, outSize, "%s", path);
        if (written < 0 || static_cast<std::size_t>(written) >= outSize) {
            return fail(ENAMETOOLONG);
        }
        return 0;
    }
    char* resolved = realpath(path, nullptr);
    if (resolved == nullptr) {
        return failWithErrno();
    }
    int written = std::snprintf(out, outSize, "%s", resolved);
    std::free(resolved);
    if (written < 0 || static_cast<std::size_t>(written) >= outSize) {
        return fail(ENAMETOOLONG);
    }
    return 0;
}

bool isAbsolutePath(const char* path) {
    return path[0] == '/';
}

bool isReservedName(const char* /*component*/) {
    return false;
}

bool isSameName(const char* a, const char* b) {
    return std::strcmp(a, b) == 0;
}

int makeDirectory(const char* path) {
    forgetVerifiedEntry();
    return mkdir(path, 0777) == 0 ? 0 : failWithErrno();
}

int removeDirectory(const char* path) {
    forgetVerifiedEntry();
    return rmdir(path) == 0 ? 0 : failWithErrno();
}

int removeFile(const char* path) {
    forgetVerifiedEntry();
    struct stat status;
    if (lstat(path, &status) != 0) {
        return failWithErrno();
    }
    if (S_ISDIR(status.st_mode)) {
        return fail(EISDIR);
    }
    // Windows refuses to delete a read-only file even for an administrator; so do we, so
    // that an operator can protect package files from the ungated DELE on both platforms.
    if (S_ISREG(status.st_mode) && (status.st_mode & S_IWUSR) == 0) {
        return fail(EACCES);
    }
    return unlink(path) == 0 ? 0 : failWithErrno();
}

int renameEntry(const char* from, const char* to) {
    forgetVerifiedEntry();
    if (syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 1 /* RENAME_NOREPLACE */) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return failWithErrno();
    }
    // The file system cannot rename without replacing. A hard link fails when the target
    // exists, which gives the same guarantee for files.
    struct stat status;
    if (lstat(from, &status) != 0) {
        return failWithErrno();
    }
    if (S_ISDIR(status.st_mode)) {
        if (lstat(to, &status) == 0) {
            return fail(EEXIST);
        }
        return rename(from, to) == 0 ? 0 : failWithErrno();
    }
    if (link(from, to) != 0) {
        return failWithErrno();
    }
    return unlink(from) == 0 ? 0 : failWithErrno();
}

int replaceFile(const char* from, const char* to) {
    forgetVerifiedEntry();
    return rename(from, to) == 0 ? 0 : failWithErrno();
}

int fileStatus(const char* path, FileStatus* out) {
    struct stat status;
    if (verifiedEntry.valid && std::strcmp(path, verifiedEntry.path) == 0) {
        status = verifiedEntry.status;
        forgetVerifiedEntry();
    } else if (stat(path, &status) != 0) {
        return failWithErrno();
    }
    out->isDirectory = S_ISDIR(status.st_mode);
    out->isRegularFile = S_ISREG(status.st_mode);
    out->isReadOnly = (status.st_mode & S_IWUSR) == 0;
    out->size = static_cast<long long>(status.st_size);
    out->modifiedTime = static_cast<long long>(status.st_mtime);
    return 0;
}

int toLocalTime(long long time, LocalTime* out) {
    time_t value = static_cast<time_t>(time);
    struct tm broken;
    if (localtime_r(&value, &broken) == nullptr) {
        return failWithErrno();
    }
    out->year = broken.tm_year + 1900;
    out->month = broken.tm_mon + 1;
    out->day = broken.tm_mday;
    out->hour = broken.tm_hour;
    out->minute = broken.tm_min;
    out->second = broken.tm_sec;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Directory enumeration.

struct FindState {
    DIR* directory;
    char folder[PATH_MAX];
    char namePattern[kEntryNameSize];
};

// Matches name against a pattern of "*" and "?" without regard to letter case; every other
// character, "[" included, matches itself, as on Windows.
static bool matchesPattern(const char* pattern, const char* name) {
    const char* starPattern = nullptr;
    const char* starName = nullptr;
    while (*name != '\0') {
        if (*pattern == '*') {
            starPattern = ++pattern;
            starName = name;
        } else if (*pattern == '?' ||
                   (*pattern != '\0' && std::tolower(static_cast<unsigned char>(*pattern)) ==
                                            std::tolower(static_cast<unsigned char>(*name)))) {
            pattern++;
            name++;
        } else if (starPattern != nullptr) {
            pattern = starPattern;
            name = ++starName;
        } else {
            return false;
        }
    }
    while (*pattern == '*') {
        pattern++;
    }
    return *pattern == '\0';
}

static bool matchesFindPattern(const char* pattern, const char* name) {
    // On Windows "*.*" matches names without a dot too.
    if (std::strcmp(pattern, "*.*") == 0) {
        return true;
    }
    return matchesPattern(pattern, name);
}

// Fills entry from the directory entry's status; false when it vanished meanwhile.
static bool describeEntry(const FindState* state, const char* name, FindEntry* entry) {
    char path[PATH_MAX + kEntryNameSize];
    int written = std::snprintf(path, sizeof path, "%s/%s", state->folder, name);
    if (written < 0 || static_cast<std::size_t>(written) >= sizeof path) {
        return false;
    }
    struct stat status;
    if (stat(path, &status) != 0 && lstat(path, &status) != 0) {
        return false;
    }
    std::snprintf(entry->name, sizeof entry->name, "%s", name);
    entry->attributes = 0;
    if (S_ISDIR(status.st_mode)) {
        entry->attributes |= kAttributeDirectory;
    } else if (!S_ISREG(status.st_mode)) {
        entry->attributes |= kAttributeSystem;
    }
    if (name[0] == '.') {
        entry->attributes |= kAttributeHidden;
    }
    if ((status.st_mode & S_IWUSR) == 0) {
        entry->attributes |= kAttributeReadOnly;
    }
    entry->size = S_ISDIR(status.st_mode) ? 0 : static_cast<long long>(status.st_size);
    entry->writeTime = static_cast<long long>(status.st_mtime);
    return true;
}

int findNext(FindState* state, FindEntry* entry) {
    for (;;) {
        errno = 0;
        struct dirent* next = readdir(state->directory);
        if (next == nullptr) {
            return fail(errno != 0 ? errno : ENOENT);
        }
        if (std::strlen(next->d_name) >= kEntryNameSize ||
            !matchesFindPattern(state->namePattern, next->d_name)) {
            continue;
        }
        if (describeEntry(state, next->d_name, entry)) {
            return 0;
        }
    }
}

FindState* findFirst(const char* pattern, FindEntry* entry) {
    FindState* state = static_cast<FindState*>(std::calloc(1, sizeof(FindState)));
    if (state == nullptr) {
        fail(ENOMEM);
        return nullptr;
    }
    const char* lastSeparator = std::strrchr(pattern, '/');
    const char* namePart = lastSeparator != nullptr ? lastSeparator + 1 : pattern;
    int folderWritten;
    if (lastSeparator == nullptr) {
        folderWritten = std::snprintf(state->folder, sizeof state->folder, ".");
    } else if (lastSeparator == pattern) {
        folderWritten = std::snprintf(state->folder, sizeof state->folder, "/");
    } else {
        folderWritten = std::snprintf(state->folder, sizeof state->folder, "%.*s",
                                      static_cast<int>(lastSeparator - pattern), pattern);
    }
    int nameWritten = std::snprintf(state->namePattern, sizeof state->namePattern, "%s", namePart);
    if (folderWritten < 0 || static_cast<std::size_t>(folderWritten) >= sizeof state->folder ||
        nameWritten < 0 || static_cast<std::size_t>(nameWritten) >= sizeof state->namePattern ||
        namePart[0] == '\0') {
        std::free(state);
        fail(ENOENT);
        return nullptr;
    }
    state->directory = opendir(state->folder);
    if (state->directory == nullptr) {
        lastError = errno;
        std::free(state);
        return nullptr;
    }
    if (findNext(state, entry) != 0) {
        findClose(state);
        return nullptr;
    }
    return state;
}

void findClose(FindState* state) {
    if (state != nullptr) {
        (void)closedir(state->directory);
        std::free(state);
    }
}

// ---------------------------------------------------------------------------------------------
// Files.

int openForReading(const char* path) {
    // O_NONBLOCK keeps a fifo from blocking the session in open; it is cleared once we know
    // the file is a regular one.
    int file;
    do {
        file = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (file < 0 && errno == EINTR);
    if (file < 0) {
        return failWithErrno();
    }
    struct stat status;
    if (fstat(file, &status) != 0) {
        int error = errno;
        (void)close(file);
        return fail(error);
    }
    if (!S_ISREG(status.st_mode)) {
        (void)close(file);
        return fail(S_ISDIR(status.st_mode) ? EISDIR : EACCES);
    }
    int flags = fcntl(file, F_GETFL);
    if (flags < 0 || fcntl(file, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        int error = errno;
        (void)close(file);
        return fail(error);
    }
    return file;
}

int createNewFile(const char* path) {
    forgetVerifiedEntry();
    int file;
    do {
        file = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (file < 0 && errno == EINTR);
    return file >= 0 ? file : failWithErrno();
}

long long readFile(int file, char* buffer, std::size_t size) {
    for (;;) {
        ssize_t result = read(file, buffer, size);
        if (result >= 0) {
            return result;
        }
        if (errno != EINTR) {
            return failWithErrno();
        }
    }
}

int writeFile(int file, const char* data, std::size_t length) {
    forgetVerifiedEntry();
    std::size_t written = 0;
    while (written < length) {
        ssize_t result = write(file, data + written, length - written);
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            return failWithErrno();
        }
        if (result == 0) {
            return fail(ENOSPC);
        }
        written += static_cast<std::size_t>(result);
    }
    return 0;
}

int closeFile(int file) {
    return close(file) == 0 ? 0 : failWithErrno();
}

// The errors of sendfile that come from the socket rather than from the file.
static bool isSendFailure(int error) {
    switch (error) {
        case EAGAIN:  // the send timeout
        case EPIPE:
        case ECONNRESET:
        case ECONNABORTED:
        case ENOTCONN:
        case ETIMEDOUT:
        case ENETDOWN:
        case ENETUNREACH:
        case ENETRESET:
        case EHOSTUNREACH:
            return true;
        default:
            return false;
    }
}

long long sendFilePiece(SocketHandle socket, int file, char* buffer, std::size_t size,
                        bool* sendFailed) {
    *sendFailed = false;
    // sendfile hands page-cache pages to the socket: one copy fewer than read and send.
    for (;;) {
        ssize_t sent = sendfile(static_cast<int>(socket), file, nullptr, size);
        if (sent >= 0) {
            return sent;
        }
        if (errno == EINVAL || errno == ENOSYS) {
            break;  // a file system that cannot do it; copy this piece instead
        }
        if (errno != EINTR) {
            *sendFailed = isSendFailure(errno);
            return fail(errno == EAGAIN ? ETIMEDOUT : errno);
        }
    }
    long long count = readFile(file, buffer, size);
    if (count <= 0) {
        return count;
    }
    if (sendBytes(socket, buffer, static_cast<std::size_t>(count)) != 0) {
        *sendFailed = true;
        return -1;
    }
    return count;
}
