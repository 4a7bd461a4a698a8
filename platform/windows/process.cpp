// platform/windows/process.cpp: errors, threads, memory and clocks on Windows.
#include "platform/platform.h"

#include <winsock2.h>

#include <windows.h>

#include <process.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>

#include "platform/errors.h"
#include "platform/primitives.h"
#include "platform/windows/internal.h"

thread_local ErrorRecord lastError = {0, ErrorSource::kRuntime};

void recordError(int number, ErrorSource source) {
    lastError.number = number;
    lastError.source = source;
}

// A send or receive timeout reads as the runtime's ETIMEDOUT, the same error that server code
// records itself for a stalled transfer, and a call that would wait on a non-blocking socket
// as EWOULDBLOCK, the number that server code asks about (kWouldBlock).
void recordSocketError() {
    int error = WSAGetLastError();
    if (error == WSAETIMEDOUT) {
        recordError(ETIMEDOUT, ErrorSource::kRuntime);
    } else if (error == WSAEWOULDBLOCK) {
        recordError(EWOULDBLOCK, ErrorSource::kRuntime);
    } else {
        recordError(error, ErrorSource::kSocket);
    }
}

// The runtime's number for a Win32 file error, as the runtime itself would translate it; 0
// when it has none.
static int runtimeErrorFor(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_CURRENT_DIRECTORY:
        case ERROR_WRITE_PROTECT:
        case ERROR_NETWORK_ACCESS_DENIED:
        case ERROR_CANNOT_MAKE:
            return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_DIR_NOT_EMPTY:
            return ENOTEMPTY;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        default:
            return 0;
    }
}

// File errors read the same whichever call failed: a client sees "No such file or directory"
// from a failed rename as from a failed open. Other Win32 errors keep the system's own text.
void recordSystemError() {
    DWORD error = GetLastError();
    int runtimeError = runtimeErrorFor(error);
    if (runtimeError != 0) {
        recordError(runtimeError, ErrorSource::kRuntime);
    } else {
        recordError(static_cast<int>(error), ErrorSource::kSystem);
    }
}

int failWithRuntimeError(int error) {
    recordError(error, ErrorSource::kRuntime);
    return -1;
}

int failWithErrno() {
    return failWithRuntimeError(errno);
}

int failWithSocketError() {
    recordSocketError();
    return -1;
}

int failWithSystemError() {
    recordSystemError();
    return -1;
}

// ---------------------------------------------------------------------------------------------
// Errors.

static constexpr std::size_t kSystemTextSize = 512;
// The same text in UTF-8, where one UTF-16 unit takes at most 3 bytes.
static constexpr std::size_t kSystemTextUtf8Size = 3 * kSystemTextSize;

// The system's text for a Winsock or Win32 code on one line, in UTF-8, without the line end
// that FormatMessage appends. Returns false when the system has no text for it. The wide
// text is asked for because the ANSI one is in the code page, and an error text ends up in a
// reply, which must stay UTF-8.
static bool formatSystemText(int number, char* out, std::size_t outSize) {
    wchar_t text[kSystemTextSize];
    // FORMAT_MESSAGE_MAX_WIDTH_MASK joins a text of several lines: an error text ends up in
    // a reply, which must stay one line.
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
        nullptr, static_cast<DWORD>(number), 0, text, static_cast<DWORD>(kSystemTextSize), nullptr);
    if (length >= kSystemTextSize) {
        length = 0;
    }
    while (length > 0 && std::iswspace(text[length - 1])) {
        length--;
    }
    text[length] = L'\0';
    for (DWORD i = 0; i < length; i++) {
        if (text[i] == L'\r' || text[i] == L'\n') {
            text[i] = L' ';
        }
    }
    // The conversion must not replace the error whose text this is.
    ErrorRecord kept = lastError;
    bool converted = length > 0 && toUtf8Text(text, out, outSize) == 0;
    lastError = kept;
    return converted;
}

// Copies as much of text as fits without cutting a UTF-8 sequence in two: a reply that ends in
// half a character is no UTF-8.
static void copyWholeCharacters(char* out, std::size_t outSize, const char* text) {
    std::size_t length = std::strlen(text);
    if (length >= outSize) {
        length = outSize - 1;
        // Continuation bytes (10xxxxxx) belong to the character that begins before them.
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
            length--;
        }
    }
    std::memcpy(out, text, length);
    out[length] = '\0';
}

// msvcrt's table ends before the POSIX values that later runtimes added; ETIMEDOUT and
// EWOULDBLOCK are the ones of those this layer records, and "Unknown error" would hide a
// stalled transfer. They read as on POSIX. EINTR is in the table.
static void formatRuntimeText(int number, char* out, std::size_t outSize) {
    if (number == ETIMEDOUT) {
        std::snprintf(out, outSize, "%s", "Connection timed out");
        return;
    }
    if (number == EWOULDBLOCK) {
        std::snprintf(out, outSize, "%s", "Resource temporarily unavailable");
        return;
    }
    if (strerror_s(out, outSize, number) != 0) {
        std::snprintf(out, outSize, "Unknown error %d", number);
    }
}

void lastErrorText(char* out, std::size_t outSize) {
    if (outSize == 0) {
        return;
    }
    ErrorRecord error = lastError;
    if (error.source == ErrorSource::kRuntime && error.number == kRefusedPathError) {
        std::snprintf(out, outSize, "%s", kRefusedPathText);
        return;
    }
    if (error.source == ErrorSource::kRuntime) {
        formatRuntimeText(error.number, out, outSize);
        return;
    }
    char text[kSystemTextUtf8Size];
    if (formatSystemText(error.number, text, sizeof text)) {
        copyWholeCharacters(out, outSize, text);
    } else if (error.source == ErrorSource::kSocket) {
        std::snprintf(out, outSize, "Winsock error %d", error.number);
    } else {
        std::snprintf(out, outSize, "System error %d", error.number);
    }
}

const int kBusyErrorNumber = EACCES;

void recordRuntimeError(int number) {
    recordError(number, ErrorSource::kRuntime);
}

int lastRuntimeError() {
    return lastError.source == ErrorSource::kRuntime ? lastError.number : -1;
}

// ---------------------------------------------------------------------------------------------
// Process.

// The runtime's own parser of the wide command line, the twin of the one that made argv, and
// the start-up code's choice of wildcard expansion, so that both parses split alike. mingw-w64
// keeps these declarations to its start-up code.
struct RuntimeStartupInfo {
    int newMode;
};
extern "C" int __wgetmainargs(int* count, wchar_t*** arguments, wchar_t*** environment,
                              int expandWildcards, RuntimeStartupInfo* startupInfo);
extern "C" int _dowildcard;

const char* const* commandLineInUtf8(int argc, char** /*argv*/) {
    int count = 0;
    wchar_t** wide = nullptr;
    wchar_t** environment = nullptr;
    RuntimeStartupInfo startupInfo = {0};
    if (__wgetmainargs(&count, &wide, &environment, _dowildcard, &startupInfo) != 0 ||
        count != argc) {
        failWithRuntimeError(EINVAL);
        return nullptr;
    }
    // Kept until the process ends, as argv is; a failure ends the process, which frees all.
    char** arguments =
        static_cast<char**>(std::calloc(static_cast<std::size_t>(count) + 1, sizeof(char*)));
    if (arguments == nullptr) {
        failWithRuntimeError(ENOMEM);
        return nullptr;
    }
    for (int i = 0; i < count; i++) {
        // A lone surrogate has no UTF-8 form; WC_ERR_INVALID_CHARS makes the count fail.
        int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide[i], -1, nullptr, 0,
                                       nullptr, nullptr);
        if (size <= 0) {
            failWithRuntimeError(EILSEQ);
            return nullptr;
        }
        arguments[i] = static_cast<char*>(std::malloc(static_cast<std::size_t>(size)));
        if (arguments[i] == nullptr) {
            failWithRuntimeError(ENOMEM);
            return nullptr;
        }
        if (toUtf8Text(wide[i], arguments[i], static_cast<std::size_t>(size)) != 0) {
            return nullptr;
        }
    }
    return arguments;
}

void eraseArgumentText(const char* text) {
    // Our own copy, made by commandLineInUtf8; the system's command line is not ours to change.
    char* argument = const_cast<char*>(text);
    SecureZeroMemory(argument, std::strlen(argument));
}

int ownProgramPath(char* out, std::size_t outSize) {
    wchar_t path[kLongPathSize];
    DWORD length = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(kLongPathSize));
    if (length == 0) {
        return failWithSystemError();
    }
    if (length >= kLongPathSize) {
        return failWithRuntimeError(ENAMETOOLONG);  // the system cut it to fit
    }
    return toUtf8Text(path, out, outSize);
}

int readEnvironmentText(const char* name, char* out, std::size_t outSize) {
    // Names and values in the wide environment, as the runtime's narrow one would turn text
    // outside the code page into other characters.
    constexpr std::size_t kNameSize = 64;
    constexpr std::size_t kValueSize = 1024;
    wchar_t wideName[kNameSize];
    wchar_t value[kValueSize];
    if (toWideText(name, wideName, kNameSize) != 0) {
        return -1;
    }
    DWORD length = GetEnvironmentVariableW(wideName, value, static_cast<DWORD>(kValueSize));
    if (length == 0) {
        return failWithRuntimeError(ENOENT);
    }
    int result =
        length >= kValueSize ? failWithRuntimeError(E2BIG) : toUtf8Text(value, out, outSize);
    SecureZeroMemory(value, sizeof value);
    return result;
}

int startSockets() {
    WSADATA data;
    // WSAStartup returns its error instead of setting WSAGetLastError, which needs a started
    // Winsock.
    int error = WSAStartup(MAKEWORD(2, 2), &data);
    if (error != 0) {
        lastError.number = error;
        lastError.source = ErrorSource::kSocket;
        return -1;
    }
    return 0;
}

void sleepMilliseconds(int milliseconds) {
    Sleep(milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0);
}

void pauseMicroseconds(int /*microseconds*/) {
    (void)SwitchToThread();  // nothing else ready: the pause is over at once
}

static constexpr unsigned kThreadStackSize = 512 * 1024;

int startThread(void (*entry)(void*), void* argument) {
    // _beginthread closes the thread's handle itself when the thread ends, so the thread is
    // detached; it also prepares the runtime's per-thread data, which CreateThread does not.
    uintptr_t thread = _beginthread(entry, kThreadStackSize, argument);
    return thread != static_cast<uintptr_t>(-1) ? 0 : failWithErrno();
}

void setIdleThreadHook(void (* /*hook*/)()) {}

void setYieldingToWakers(bool /*yielding*/) {}

void* allocateZeroedPages(std::size_t size) {
    void* memory = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (memory == nullptr) {
        recordSystemError();
        return nullptr;
    }
    return memory;
}

void releasePages(void* memory, std::size_t /*size*/) {
    if (memory != nullptr) {
        // MEM_RELEASE frees the whole reservation and wants a size of 0.
        (void)VirtualFree(memory, 0, MEM_RELEASE);  // fails only for an address we never pass
    }
}

void discardPages(void* memory, std::size_t size) {
    // Decommitting and committing again would leave the record unusable should the commit
    // fail; writing the zeros cannot fail.
    std::memset(memory, 0, size);
}

unsigned long processId() {
    return static_cast<unsigned long>(GetCurrentProcessId());
}

long long currentTime() {
    return static_cast<long long>(_time64(nullptr));
}

long long monotonicMilliseconds() {
    // GetTickCount64 counts from start-up and does not wrap after 49 days as GetTickCount does.
    return static_cast<long long>(GetTickCount64());
}

// ---------------------------------------------------------------------------------------------
// Locks.

// A zero-filled SRWLOCK is an unlocked one.
static SRWLOCK sharedLocks[kPlatformLockCount] = {};

void takeLock(int lock) {
    AcquireSRWLockExclusive(&sharedLocks[lock]);
}

void releaseLock(int lock) {
    ReleaseSRWLockExclusive(&sharedLocks[lock]);
}

// A zero-filled CONDITION_VARIABLE is a ready one, as CONDITION_VARIABLE_INIT makes it.
static CONDITION_VARIABLE sharedConditions[kPlatformConditionCount] = {};

void waitForCondition(int condition, int lock, long long milliseconds) {
    DWORD limit = milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds);
    (void)SleepConditionVariableSRW(&sharedConditions[condition], &sharedLocks[lock], limit, 0);
}

void signalCondition(int condition, bool wakeAll) {
    (wakeAll ? WakeAllConditionVariable : WakeConditionVariable)(&sharedConditions[condition]);
}

// ---------------------------------------------------------------------------------------------
// Ending the process.
