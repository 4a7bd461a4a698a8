// platform/posix/process.cpp: errors, threads, memory and clocks on POSIX.
#include "platform/platform.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/errors.h"
#include "platform/posix/internal.h"
#include "platform/primitives.h"

// The error of the calling thread's last failed platform call. Kept apart from errno, which
// the C library may change in between (printf may set it). Only this file touches it: the
// others go through the functions of internal.h.
static thread_local int lastError = 0;

int fail(int error) {
    lastError = error;
    return -1;
}

int failWithErrno() {
    return fail(errno);
}

void deadlineAfter(long milliseconds, struct timespec* out) {
    (void)clock_gettime(CLOCK_REALTIME, out);  // cannot fail for CLOCK_REALTIME
    out->tv_sec += milliseconds / 1000;
    out->tv_nsec += (milliseconds % 1000) * 1000000L;
    if (out->tv_nsec >= 1000000000L) {
        out->tv_sec += 1;
        out->tv_nsec -= 1000000000L;
    }
}

// ---------------------------------------------------------------------------------------------
// Errors.

const int kBusyErrorNumber = EBUSY;

void recordRuntimeError(int number) {
    lastError = number;
}

int lastRuntimeError() {
    return lastError;
}

void lastErrorText(char* out, std::size_t outSize) {
    if (outSize == 0) {
        return;
    }
    if (lastError == kRefusedPathError) {
        std::snprintf(out, outSize, "%s", kRefusedPathText);
        return;
    }
    char buffer[kErrorTextSize];
    // GNU strerror_r may return a static text and leave the buffer untouched.
    const char* text = strerror_r(lastError, buffer, sizeof buffer);
    std::snprintf(out, outSize, "%s", text);
}

// ---------------------------------------------------------------------------------------------
// Process.

const char* const* commandLineInUtf8(int /*argc*/, char** argv) {
    return argv;  // POSIX names are bytes, and the server passes them on as they came
}

void eraseArgumentText(const char* text) {
    // argv's strings are the process's own, writable memory; const only on our side.
    char* argument = const_cast<char*>(text);
    std::memset(argument, 0, std::strlen(argument));
}

int ownProgramPath(char* out, std::size_t outSize) {
    // Linux keeps the path the process was started from, links resolved, in /proc.
    ssize_t length = readlink("/proc/self/exe", out, outSize);
    if (length < 0) {
        return failWithErrno();
    }
    if (static_cast<std::size_t>(length) >= outSize) {
        return fail(ENAMETOOLONG);  // readlink neither terminates nor tells a cut
    }
    out[length] = '\0';
    return 0;
}

int readEnvironmentText(const char* name, char* out, std::size_t outSize) {
    const char* value = std::getenv(name);  // start-up only, before any other thread exists
    if (value == nullptr) {
        return fail(ENOENT);
    }
    int written = std::snprintf(out, outSize, "%s", value);
    return written >= 0 && static_cast<std::size_t>(written) < outSize ? 0 : fail(E2BIG);
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

static void sleepFor(struct timespec delay) {
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

void sleepMilliseconds(int milliseconds) {
    sleepFor({milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L});
}

void pauseMicroseconds(int microseconds) {
    sleepFor({0, static_cast<long>(microseconds % 1000000) * 1000L});
}

struct ThreadStart {
    void (*entry)(void*);
    void* argument;
};

// Threads whose entry has returned, each waiting a moment for the next one. On a virtual
// machine, creating a thread and ending it costs more than a whole short session (the new
// thread wakes an idle CPU, and the end of one releases stack pages on every CPU the process
// runs on), so a thread that has just ended its session serves the next one when it comes soon.
// Under kIdleThreadsLock; kIdleThreadWanted wakes a waiting thread.
struct IdleThreads {
    int waiting;      // threads inside waitForNextStart
    bool hasPending;  // pending belongs to the first waiting thread that sees it
    ThreadStart pending;
};

static IdleThreads idleThreads = {0, false, {nullptr, nullptr}};
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
    long long deadline = monotonicMilliseconds() + kIdleThreadMilliseconds;
    takeLock(kIdleThreadsLock);
    bool taken = false;
    bool waited = idleThreads.waiting < kMostIdleThreads;
    if (waited) {
        idleThreads.waiting++;
        for (long long left = kIdleThreadMilliseconds; !idleThreads.hasPending && left > 0;
             left = deadline - monotonicMilliseconds()) {
            waitForCondition(kIdleThreadWanted, kIdleThreadsLock, left);
        }
        taken = idleThreads.hasPending;
        if (taken) {
            *next = idleThreads.pending;
            idleThreads.hasPending = false;
        }
        idleThreads.waiting--;
    }
    releaseLock(kIdleThreadsLock);
    void (*hook)() = idleThreadHook.load();
    if (waited && !taken && hook != nullptr) {
        hook();
    }
    return taken;
}

// Gives the entry to a waiting thread, if there is one that no other entry is meant for.
static bool handToIdleThread(void (*entry)(void*), void* argument) {
    takeLock(kIdleThreadsLock);
    bool handed = idleThreads.waiting > 0 && !idleThreads.hasPending;
    if (handed) {
        idleThreads.pending.entry = entry;
        idleThreads.pending.argument = argument;
        idleThreads.hasPending = true;
        signalCondition(kIdleThreadWanted, false);
    }
    releaseLock(kIdleThreadsLock);
    return handed;
}

void setYieldingToWakers(bool yielding) {
#ifdef SCHED_BATCH
    struct sched_param parameters = {};
    (void)pthread_setschedparam(pthread_self(), yielding ? SCHED_BATCH : SCHED_OTHER,
                                &parameters);  // speed alone
#else
    (void)yielding;
#endif
}

static void* runThread(void* start) {
    ThreadStart next = *static_cast<ThreadStart*>(start);
    std::free(start);
    setYieldingToWakers(true);
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

void discardPages(void* memory, std::size_t size) {
    const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    std::uintptr_t start = reinterpret_cast<std::uintptr_t>(memory);
    std::uintptr_t end = start + size;
    std::uintptr_t firstPage = (start + page - 1) / page * page;
    std::uintptr_t lastPage = end / page * page;
    if (firstPage >= lastPage) {
        std::memset(memory, 0, size);
        return;
    }
    std::memset(memory, 0, firstPage - start);
    std::memset(reinterpret_cast<void*>(lastPage), 0, end - lastPage);
    // Private anonymous pages read as zero after MADV_DONTNEED; should it fail, writing the
    // zeros ourselves gives the same result.
    if (madvise(reinterpret_cast<void*>(firstPage), lastPage - firstPage, MADV_DONTNEED) != 0) {
        std::memset(reinterpret_cast<void*>(firstPage), 0, lastPage - firstPage);
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
// Locks.

// Wrapped so that the initialisers are constant ones: every lock is ready before main runs.
static struct StaticMutex {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
} sharedLocks[kPlatformLockCount];

void takeLock(int lock) {
    (void)pthread_mutex_lock(&sharedLocks[lock].mutex);  // a default mutex
}

void releaseLock(int lock) {
    (void)pthread_mutex_unlock(&sharedLocks[lock].mutex);
}

static struct StaticCondition {
    pthread_cond_t condition = PTHREAD_COND_INITIALIZER;
} sharedConditions[kPlatformConditionCount];

void waitForCondition(int condition, int lock, long long milliseconds) {
    pthread_cond_t* waited = &sharedConditions[condition].condition;
    if (milliseconds < 0) {
        (void)pthread_cond_wait(waited, &sharedLocks[lock].mutex);  // a held default mutex
        return;
    }
    struct timespec deadline;
    deadlineAfter(static_cast<long>(milliseconds), &deadline);
    (void)pthread_cond_timedwait(waited, &sharedLocks[lock].mutex, &deadline);
}

void signalCondition(int condition, bool wakeAll) {
    pthread_cond_t* signalled = &sharedConditions[condition].condition;
    (void)(wakeAll ? pthread_cond_broadcast(signalled) : pthread_cond_signal(signalled));
}

// ---------------------------------------------------------------------------------------------
// Ending the process.
