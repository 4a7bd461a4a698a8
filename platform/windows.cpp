// platform/windows.cpp: the platform layer on Windows: Winsock 2, the Microsoft C runtime and
// the few Win32 calls the runtime does not wrap (paging, final paths, replacing a file).
#include "platform/platform.h"

#include <winsock2.h>

#include <windows.h>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <share.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Where the number of the last error comes from. The runtime's errno values, Winsock's codes
// and Win32's codes overlap, and each source has its own texts.
enum class ErrorSource { kRuntime, kSocket, kSystem };

struct ErrorRecord {
    int number;
    ErrorSource source;
};

// The error of the calling thread's last failed platform call. Winsock and Win32 calls leave
// errno alone, so their numbers are kept here beside the runtime's.
static thread_local ErrorRecord lastError = {0, ErrorSource::kRuntime};

static void recordError(int number, ErrorSource source) {
    lastError.number = number;
    lastError.source = source;
}

// A send or receive timeout reads as the runtime's ETIMEDOUT, the same error that server code
// records itself for a stalled transfer.
static void recordSocketError() {
    int error = WSAGetLastError();
    if (error == WSAETIMEDOUT) {
        recordError(ETIMEDOUT, ErrorSource::kRuntime);
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
static void recordSystemError() {
    DWORD error = GetLastError();
    int runtimeError = runtimeErrorFor(error);
    if (runtimeError != 0) {
        recordError(runtimeError, ErrorSource::kRuntime);
    } else {
        recordError(static_cast<int>(error), ErrorSource::kSystem);
    }
}

static int failWithRuntimeError(int error) {
    recordError(error, ErrorSource::kRuntime);
    return -1;
}

static int failWithErrno() {
    return failWithRuntimeError(errno);
}

static int failWithSocketError() {
    recordSocketError();
    return -1;
}

static int failWithSystemError() {
    recordSystemError();
    return -1;
}

// ---------------------------------------------------------------------------------------------
// Errors.

static constexpr std::size_t kSystemTextSize = 512;

// The system's text for a Winsock or Win32 code on one line, without the line end that
// FormatMessage appends. Returns false when the system has no text for it.
static bool formatSystemText(int number, char* out, std::size_t outSize) {
    // FORMAT_MESSAGE_MAX_WIDTH_MASK joins a text of several lines: an error text ends up in
    // a reply, which must stay one line.
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
        nullptr, static_cast<DWORD>(number), 0, out, static_cast<DWORD>(outSize), nullptr);
    if (length >= outSize) {
        length = 0;
    }
    while (length > 0 && std::isspace(static_cast<unsigned char>(out[length - 1]))) {
        length--;
    }
    out[length] = '\0';
    for (DWORD i = 0; i < length; i++) {
        if (out[i] == '\r' || out[i] == '\n') {
            out[i] = ' ';
        }
    }
    return length > 0;
}

// msvcrt's table ends before the POSIX values that later runtimes added; ETIMEDOUT is the one
// of those this layer records, and "Unknown error" would hide a stalled transfer.
static void formatRuntimeText(int number, char* out, std::size_t outSize) {
    if (number == ETIMEDOUT) {
        std::snprintf(out, outSize, "%s", "Connection timed out");
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
    if (error.source == ErrorSource::kRuntime) {
        formatRuntimeText(error.number, out, outSize);
        return;
    }
    char text[kSystemTextSize];
    if (formatSystemText(error.number, text, sizeof text)) {
        std::snprintf(out, outSize, "%s", text);
    } else if (error.source == ErrorSource::kSocket) {
        std::snprintf(out, outSize, "Winsock error %d", error.number);
    } else {
        std::snprintf(out, outSize, "System error %d", error.number);
    }
}

void setLastError(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::kAccessDenied:
            recordError(EACCES, ErrorSource::kRuntime);
            break;
        case ErrorKind::kBusy:
            // The Windows runtime refuses to remove the current directory with EACCES.
            recordError(EACCES, ErrorSource::kRuntime);
            break;
        case ErrorKind::kNotFound:
            recordError(ENOENT, ErrorSource::kRuntime);
            break;
        case ErrorKind::kIsDirectory:
            recordError(EISDIR, ErrorSource::kRuntime);
            break;
        case ErrorKind::kTimedOut:
            recordError(ETIMEDOUT, ErrorSource::kRuntime);
            break;
        case ErrorKind::kExists:
            recordError(EEXIST, ErrorSource::kRuntime);
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
    // The runtime buffers a pipe or a file fully. The streams stay in text mode, so every
    // "\n" reaches the console as CR LF.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
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

static constexpr unsigned kThreadStackSize = 512 * 1024;

int startThread(void (*entry)(void*), void* argument) {
    // _beginthread closes the thread's handle itself when the thread ends, so the thread is
    // detached; it also prepares the runtime's per-thread data, which CreateThread does not.
    uintptr_t thread = _beginthread(entry, kThreadStackSize, argument);
    if (thread == static_cast<uintptr_t>(-1)) {
        return failWithErrno();
    }
    return 0;
}

void setIdleThreadHook(void (* /*hook*/)()) {}

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
// Sockets.

const int kLargestBacklog = SOMAXCONN;

// Winsock's send and recv take an int length.
static constexpr std::size_t kLargestSocketTransfer = INT_MAX;

static SOCKET toWinsock(SocketHandle socket) {
    return static_cast<SOCKET>(socket);
}

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
    SOCKET created = socket(AF_INET, SOCK_STREAM, 0);
    if (created == INVALID_SOCKET) {
        recordSocketError();
        return kNoSocket;
    }
    return static_cast<SocketHandle>(created);
}

int allowPortReuse(SocketHandle /*socket*/) {
    // On Windows SO_REUSEADDR would let another program bind the same port and take our
    // connections; a port in TIME_WAIT can be bound again without it.
    return 0;
}

int bindSocket(SocketHandle socket, unsigned short port) {
    struct sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(toWinsock(socket), reinterpret_cast<struct sockaddr*>(&address), sizeof address) !=
        0) {
        return failWithSocketError();
    }
    return 0;
}

int listenSocket(SocketHandle socket, int backlog) {
    if (listen(toWinsock(socket), backlog) != 0) {
        return failWithSocketError();
    }
    return 0;
}

bool isAddressInUseError() {
    return lastError.source == ErrorSource::kSocket && lastError.number == WSAEADDRINUSE;
}

int socketLocalAddress(SocketHandle socket, Ipv4Address* out) {
    struct sockaddr_in address;
    int length = sizeof address;
    if (getsockname(toWinsock(socket), reinterpret_cast<struct sockaddr*>(&address), &length) !=
        0) {
        return failWithSocketError();
    }
    fromSocketAddress(&address, out);
    return 0;
}

int socketPeerAddress(SocketHandle socket, Ipv4Address* out) {
    struct sockaddr_in address;
    int length = sizeof address;
    if (getpeername(toWinsock(socket), reinterpret_cast<struct sockaddr*>(&address), &length) !=
        0) {
        return failWithSocketError();
    }
    fromSocketAddress(&address, out);
    return 0;
}

SocketHandle acceptConnection(SocketHandle listener, Ipv4Address* peer) {
    struct sockaddr_in address;
    int length;
    SOCKET connection;
    do {
        length = sizeof address;
        connection =
            accept(toWinsock(listener), reinterpret_cast<struct sockaddr*>(&address), &length);
    } while (connection == INVALID_SOCKET && WSAGetLastError() == WSAEINTR);
    if (connection == INVALID_SOCKET) {
        recordSocketError();
        return kNoSocket;
    }
    if (peer != nullptr) {
        fromSocketAddress(&address, peer);
    }
    return static_cast<SocketHandle>(connection);
}

AcceptFailure classifyAcceptFailure() {
    if (lastError.source != ErrorSource::kSocket) {
        return AcceptFailure::kFatal;
    }
    switch (lastError.number) {
        case WSAEINTR:
        case WSAECONNRESET:
        case WSAECONNABORTED:
        // A client that resets its connection while it waits in the backlog can make accept
        // fail with this error (Wine reports it so); it costs that connection, not the server.
        case WSAENOTCONN:
        case WSAENETDOWN:
        case WSAENETUNREACH:
        case WSAENETRESET:
        case WSAEHOSTDOWN:
        case WSAEHOSTUNREACH:
            return AcceptFailure::kRetry;
        case WSAEMFILE:
        case WSAENOBUFS:
            return AcceptFailure::kRetryAfterPause;
        default:
            return AcceptFailure::kFatal;
    }
}

int connectSocket(SocketHandle socket, const Ipv4Address* address) {
    struct sockaddr_in target;
    toSocketAddress(address, &target);
    if (connect(toWinsock(socket), reinterpret_cast<struct sockaddr*>(&target), sizeof target) !=
        0) {
        return failWithSocketError();
    }
    return 0;
}

int sendBytes(SocketHandle socket, const char* data, std::size_t length) {
    std::size_t sent = 0;
    while (sent < length) {
        std::size_t rest = length - sent;
        int piece = static_cast<int>(rest < kLargestSocketTransfer ? rest : kLargestSocketTransfer);
        int result = send(toWinsock(socket), data + sent, piece, 0);
        if (result == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEINTR) {
                continue;
            }
            return failWithSocketError();
        }
        sent += static_cast<std::size_t>(result);
    }
    return 0;
}

long long receiveBytes(SocketHandle socket, char* buffer, std::size_t size) {
    int piece = static_cast<int>(size < kLargestSocketTransfer ? size : kLargestSocketTransfer);
    for (;;) {
        int result = recv(toWinsock(socket), buffer, piece, 0);
        if (result != SOCKET_ERROR) {
            return result;
        }
        if (WSAGetLastError() != WSAEINTR) {
            return failWithSocketError();
        }
    }
}

int waitReadable(SocketHandle socket, int timeoutMilliseconds) {
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(toWinsock(socket), &readable);
        struct timeval limit;
        limit.tv_sec = timeoutMilliseconds / 1000;
        limit.tv_usec = (timeoutMilliseconds % 1000) * 1000;
        // The first argument is ignored by Winsock; a negative timeout waits without limit.
        int result =
            select(0, &readable, nullptr, nullptr, timeoutMilliseconds < 0 ? nullptr : &limit);
        if (result != SOCKET_ERROR) {
            return result > 0 ? 1 : 0;
        }
        if (WSAGetLastError() != WSAEINTR) {
            return failWithSocketError();
        }
        // An interrupted wait starts again with the full time, which keeps the bound finite.
    }
}

int setSocketTimeout(SocketHandle socket, int milliseconds) {
    // Winsock takes the time as a DWORD of milliseconds, not as a timeval.
    DWORD limit = milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0;
    const char* value = reinterpret_cast<const char*>(&limit);
    if (setsockopt(toWinsock(socket), SOL_SOCKET, SO_RCVTIMEO, value, sizeof limit) != 0 ||
        setsockopt(toWinsock(socket), SOL_SOCKET, SO_SNDTIMEO, value, sizeof limit) != 0) {
        return failWithSocketError();
    }
    return 0;
}

int setNoDelay(SocketHandle socket) {
    BOOL on = TRUE;
    if (setsockopt(toWinsock(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                   sizeof on) != 0) {
        return failWithSocketError();
    }
    return 0;
}

int limitSendBuffer(SocketHandle /*socket*/) {
    return 0;
}

void shutdownReceiving(SocketHandle socket) {
    if (socket != kNoSocket) {
        (void)shutdown(toWinsock(socket), SD_RECEIVE);  // fails harmlessly on a dead socket
    }
}

void closeSocket(SocketHandle socket) {
    if (socket != kNoSocket) {
        (void)closesocket(toWinsock(socket));  // the handle is gone whatever it reports
    }
}

static constexpr std::size_t kHostNameSize = 256;

int queryLocalAddresses(Ipv4Address* out, int maxCount) {
    // On Windows the host name's entry lists every configured IPv4 address, in the order the
    // system prefers, which is the list the operator expects.
    char hostName[kHostNameSize];
    if (gethostname(hostName, static_cast<int>(sizeof hostName)) != 0) {
        return failWithSocketError();
    }
    struct hostent* host = gethostbyname(hostName);
    if (host == nullptr) {
        return failWithSocketError();
    }
    if (host->h_addrtype != AF_INET || host->h_length != 4) {
        return 0;
    }
    int count = 0;
    while (count < maxCount && host->h_addr_list[count] != nullptr) {
        std::memcpy(out[count].octets, host->h_addr_list[count], 4);
        out[count].port = 0;
        count++;
    }
    return count;
}

// ---------------------------------------------------------------------------------------------
// Paths and directories.

const char kPathSeparator = '\\';

int changeProcessDirectory(const char* path) {
    return _chdir(path) == 0 ? 0 : failWithErrno();
}

// Room for a current directory or a final path with its "\\?\" prefix; longer paths fail as
// too long.
static constexpr std::size_t kLongPathSize = 1024;

int enterDefaultRoot() {
    // The current directory without its drive letter and colon, entered again: a local
    // folder stays where it is, while a network path (\\server\share) leaves a relative text
    // that normally names nothing, so the caller refuses to serve it.
    char directory[kLongPathSize];
    if (currentDirectory(directory, sizeof directory) != 0) {
        return -1;
    }
    const char* rest = std::strlen(directory) > 2 ? directory + 2 : "\\";
    return changeProcessDirectory(rest);
}

int currentDirectory(char* out, std::size_t outSize) {
    int size = static_cast<int>(outSize < INT_MAX ? outSize : INT_MAX);
    if (_getcwd(out, size) == nullptr) {
        return failWithErrno();
    }
    return 0;
}

// Copies a final path without the "\\?\" prefix that GetFinalPathNameByHandle puts before it;
// a network path comes back as "\\?\UNC\server\share" and becomes "\\server\share".
static int copyWithoutLongPrefix(const char* finalPath, char* out, std::size_t outSize) {
    const char* rest = finalPath;
    const char* lead = "";
    if (std::strncmp(finalPath, "\\\\?\\UNC\\", 8) == 0) {
        rest = finalPath + 8;
        lead = "\\\\";
    } else if (std::strncmp(finalPath, "\\\\?\\", 4) == 0) {
        rest = finalPath + 4;
    }
    int written = std::snprintf(out, outSize, "%s%s", lead, rest);
    if (written < 0 || static_cast<std::size_t>(written) >= outSize) {
        return failWithRuntimeError(ENAMETOOLONG);
    }
    return 0;
}

// The absolute path without links resolved, for systems whose file system cannot name an open
// handle's path; the caller has already seen that path exists.
static int fullPath(const char* path, char* out, std::size_t outSize) {
    errno = 0;
    if (_fullpath(out, path, outSize) == nullptr) {
        return failWithRuntimeError(errno != 0 ? errno : ENAMETOOLONG);
    }
    return 0;
}

int realPath(const char* path, char* out, std::size_t outSize) {
    // FILE_FLAG_BACKUP_SEMANTICS lets CreateFile open a directory; no access is asked for, so
    // neither a sharing mode nor a lock of anyone else's is in the way.
    HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return failWithSystemError();
    }
    char finalPath[kLongPathSize];
    DWORD length =
        GetFinalPathNameByHandleA(handle, finalPath, static_cast<DWORD>(sizeof finalPath),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    (void)CloseHandle(handle);  // a handle opened without access has nothing left to write
    if (length == 0) {
        return fullPath(path, out, outSize);
    }
    if (length >= sizeof finalPath) {
        return failWithRuntimeError(ENAMETOOLONG);
    }
    return copyWithoutLongPrefix(finalPath, out, outSize);
}

bool isAbsolutePath(const char* path) {
    // "D:name" depends on drive D's own current directory, not on the process's.
    return path[0] == '\\' || path[0] == '/' ||
           (std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':');
}

// Device names that Windows opens instead of a file of that name, in any folder. Windows also
// takes COM and LPT with a superscript 1, 2 or 3 (0xB9, 0xB2, 0xB3 in code page 1252).
static const char* const kDeviceNames[] = {
    "CON",     "PRN",     "AUX",     "NUL",     "COM1",   "COM2",   "COM3",    "COM4",
    "COM5",    "COM6",    "COM7",    "COM8",    "COM9",   "LPT1",   "LPT2",    "LPT3",
    "LPT4",    "LPT5",    "LPT6",    "LPT7",    "LPT8",   "LPT9",   "COM\xB9", "COM\xB2",
    "COM\xB3", "LPT\xB9", "LPT\xB2", "LPT\xB3", "CONIN$", "CONOUT$"};

static constexpr std::size_t kDeviceNameSize = 8;

bool isReservedName(const char* component) {
    // SECURITY: a colon names a drive ("c:") or a stream ("file:stream"); either would reach
    // past the entry the client named.
    if (std::strchr(component, ':') != nullptr) {
        return true;
    }
    // SECURITY: "nul.txt" and "con .log" open the device as well: Windows looks only at the
    // part before the first dot, without its trailing blanks.
    std::size_t length = std::strcspn(component, ".");
    while (length > 0 && component[length - 1] == ' ') {
        length--;
    }
    if (length == 0 || length >= kDeviceNameSize) {
        return false;
    }
    char base[kDeviceNameSize];
    std::memcpy(base, component, length);
    base[length] = '\0';
    for (const char* device : kDeviceNames) {
        if (_stricmp(base, device) == 0) {
            return true;
        }
    }
    return false;
}

bool isSameName(const char* a, const char* b) {
    return _stricmp(a, b) == 0;
}

int makeDirectory(const char* path) {
    return _mkdir(path) == 0 ? 0 : failWithErrno();
}

int removeDirectory(const char* path) {
    return _rmdir(path) == 0 ? 0 : failWithErrno();
}

int removeFile(const char* path) {
    // Windows refuses to delete a read-only file, but Wine as root may not; the attribute is
    // what protects an operator's package files from DELE, so it is tested here.
    struct _stat64 status;
    if (_stat64(path, &status) != 0) {
        return failWithErrno();
    }
    if ((status.st_mode & _S_IFMT) == _S_IFREG && (status.st_mode & _S_IWRITE) == 0) {
        return failWithRuntimeError(EACCES);
    }
    return _unlink(path) == 0 ? 0 : failWithErrno();
}

int renameEntry(const char* from, const char* to) {
    // The runtime's rename never replaces an existing entry.
    if (std::rename(from, to) == 0) {
        return 0;
    }
    int error = errno;
    // Some runtimes report an existing target as a denied access; the caller is told the
    // real reason.
    struct _stat64 status;
    if (error == EACCES && !isSameName(from, to) && _stat64(to, &status) == 0) {
        error = EEXIST;
    }
    return failWithRuntimeError(error);
}

int replaceFile(const char* from, const char* to) {
    if (!MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) {
        return failWithSystemError();
    }
    return 0;
}

int fileStatus(const char* path, FileStatus* out) {
    struct _stat64 status;
    if (_stat64(path, &status) != 0) {
        return failWithErrno();
    }
    out->isDirectory = (status.st_mode & _S_IFMT) == _S_IFDIR;
    out->isRegularFile = (status.st_mode & _S_IFMT) == _S_IFREG;
    out->isReadOnly = (status.st_mode & _S_IWRITE) == 0;
    out->size = static_cast<long long>(status.st_size);
    out->modifiedTime = static_cast<long long>(status.st_mtime);
    return 0;
}

int toLocalTime(long long time, LocalTime* out) {
    // The runtime rejects times before 1970; some versions return an error for them and
    // others a broken-down time of -1 everywhere, so they are refused here first.
    if (time < 0) {
        return failWithRuntimeError(EINVAL);
    }
    __time64_t value = static_cast<__time64_t>(time);
    struct tm broken;
    errno_t error = _localtime64_s(&broken, &value);
    if (error != 0) {
        return failWithRuntimeError(error);
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
    intptr_t handle;
};

static void describeEntry(const struct __finddata64_t* found, FindEntry* entry) {
    // The runtime's name field has the same 260 bytes as ours, so the name always fits.
    std::snprintf(entry->name, sizeof entry->name, "%s", found->name);
    entry->attributes = found->attrib;
    entry->size = (found->attrib & _A_SUBDIR) != 0 ? 0 : static_cast<long long>(found->size);
    entry->writeTime = static_cast<long long>(found->time_write);
}

FindState* findFirst(const char* pattern, FindEntry* entry) {
    FindState* state = static_cast<FindState*>(std::malloc(sizeof(FindState)));
    if (state == nullptr) {
        recordError(ENOMEM, ErrorSource::kRuntime);
        return nullptr;
    }
    struct __finddata64_t found;
    state->handle = _findfirst64(pattern, &found);
    if (state->handle == -1) {
        recordError(errno, ErrorSource::kRuntime);
        std::free(state);
        return nullptr;
    }
    describeEntry(&found, entry);
    return state;
}

int findNext(FindState* state, FindEntry* entry) {
    struct __finddata64_t found;
    if (_findnext64(state->handle, &found) != 0) {
        return failWithErrno();
    }
    describeEntry(&found, entry);
    return 0;
}

void findClose(FindState* state) {
    if (state != nullptr) {
        (void)_findclose(state->handle);  // fails only for a handle we never hand out
        std::free(state);
    }
}

// ---------------------------------------------------------------------------------------------
// Files.

// kIsDirectory's error for a directory, kAccessDenied's for anything else that is not a
// regular file: a device such as CON would block the session or never end.
static int refuseUnlessRegular(unsigned short mode) {
    if ((mode & _S_IFMT) == _S_IFDIR) {
        return failWithRuntimeError(EISDIR);
    }
    if ((mode & _S_IFMT) != _S_IFREG) {
        return failWithRuntimeError(EACCES);
    }
    return 0;
}

int openForReading(const char* path) {
    // The runtime would answer a directory with EACCES; the status query tells the two apart.
    struct _stat64 status;
    if (_stat64(path, &status) != 0) {
        return failWithErrno();
    }
    if (refuseUnlessRegular(status.st_mode) != 0) {
        return -1;
    }
    int file = -1;
    errno_t error = _sopen_s(&file, path, _O_BINARY | _O_RDONLY, _SH_DENYWR, _S_IREAD);
    if (error != 0) {
        return failWithRuntimeError(error);
    }
    // The name may have been replaced between the query and the open; judge what was opened.
    if (_fstat64(file, &status) != 0) {
        int statusError = errno;
        (void)_close(file);
        return failWithRuntimeError(statusError);
    }
    if (refuseUnlessRegular(status.st_mode) != 0) {
        (void)_close(file);
        return -1;
    }
    return file;
}

int createNewFile(const char* path) {
    int file = -1;
    errno_t error = _sopen_s(&file, path, _O_BINARY | _O_WRONLY | _O_CREAT | _O_EXCL, _SH_DENYRW,
                             _S_IREAD | _S_IWRITE);
    if (error != 0) {
        return failWithRuntimeError(error);
    }
    return file;
}

// _read and _write take an unsigned count but answer with an int.
static constexpr std::size_t kLargestFileTransfer = INT_MAX;

long long readFile(int file, char* buffer, std::size_t size) {
    unsigned count =
        static_cast<unsigned>(size < kLargestFileTransfer ? size : kLargestFileTransfer);
    int result = _read(file, buffer, count);
    if (result < 0) {
        return failWithErrno();
    }
    return result;
}

int writeFile(int file, const char* data, std::size_t length) {
    std::size_t written = 0;
    while (written < length) {
        std::size_t rest = length - written;
        unsigned count =
            static_cast<unsigned>(rest < kLargestFileTransfer ? rest : kLargestFileTransfer);
        int result = _write(file, data + written, count);
        if (result < 0) {
            return failWithErrno();
        }
        if (result == 0) {
            return failWithRuntimeError(ENOSPC);
        }
        written += static_cast<std::size_t>(result);
    }
    return 0;
}

int closeFile(int file) {
    return _close(file) == 0 ? 0 : failWithErrno();
}

long long sendFilePiece(SocketHandle socket, int file, char* buffer, std::size_t size,
                        bool* sendFailed) {
    *sendFailed = false;
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
