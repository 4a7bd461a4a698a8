// platform/platform.h: the operating-system calls the server needs, under our own names.
// platform/posix/ and platform/windows/ implement this header, split by concern (sockets, files
// and paths, threads and process, console); exactly one of the two folders is built.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------------------------
// Errors. Every failing call below records its own error number; lastErrorText and
// printSystemError read it on the calling thread. Server code never reads errno itself.

constexpr std::size_t kErrorTextSize = 80;

// Error kinds that server code sets itself, where it refuses an operation as the platform
// would (a busy directory, a read-only file, a stalled transfer), or asks about. kRefusedPath
// is this layer's own: a path that would lead out of the served root.
enum class ErrorKind {
    kAccessDenied,
    kBusy,
    kNotFound,
    kIsDirectory,
    kTimedOut,
    kExists,
    kRefusedPath,
    kWouldBlock,   // a call on a non-blocking socket would have had to wait
    kInterrupted,  // a wait ended because the socket it watched had something to read, or had
                   // been ended
};

// Writes the text of the calling thread's last recorded error (at most outSize - 1 bytes).
void lastErrorText(char* out, std::size_t outSize);
// Records kind as the calling thread's last error.
void setLastError(ErrorKind kind);
// True when the calling thread's last error is of this kind.
bool isLastError(ErrorKind kind);
// Prints "text: <last error text>\n" on standard error, as perror does, through printConsole.
void printSystemError(const char* text);

// ---------------------------------------------------------------------------------------------
// Process.

// The program's arguments in UTF-8, as every name that crosses this header is: on Windows read
// again from the wide command line, since argv is in the ANSI code page, which would turn a
// name outside it into another name; on POSIX argv itself. The result has argc entries and
// lasts until the process ends. Returns nullptr, with the error set, when an argument has no
// UTF-8 form.
const char* const* commandLineInUtf8(int argc, char** argv);
// Overwrites text, the end of an argument that commandLineInUtf8 gave, with zero bytes. On
// POSIX that is the process's own argument memory, which the process list (ps,
// /proc/PID/cmdline) shows; on Windows only our UTF-8 copy, since the system keeps its own.
void eraseArgumentText(const char* text);
// Writes the full path of this program's own executable, in UTF-8. Returns 0, or -1 with the
// error set when it cannot be had or does not fit.
int ownProgramPath(char* out, std::size_t outSize);
// Reads the environment variable name into out, in UTF-8. Returns 0, or -1 when it is not set,
// or does not fit.
int readEnvironmentText(const char* name, char* out, std::size_t outSize);
// Asks for a secret on the console: prints prompt, reads one line with the echo off, then puts
// the echo back and ends the line. Returns 0, or -1 when standard input is no console or the
// line cannot be read or does not fit (out is then cleared).
int readSecretFromConsole(const char* prompt, char* out, std::size_t outSize);

// Starts the socket library and sets process-wide socket behaviour (ignored SIGPIPE, raised
// descriptor limit on POSIX; WSAStartup 2.2 on Windows). Returns 0, or -1 with the error set.
int startSockets();
void sleepMilliseconds(int milliseconds);
// Waits about that many microseconds (less than a millisecond). On Windows, whose sleeps count
// whole milliseconds, it only gives the processor to another thread that is ready to run.
void pauseMicroseconds(int microseconds);
// Runs entry(argument) on a detached thread: a new one, or on POSIX one whose earlier entry
// returned a moment ago. Returns 0, or -1 when no thread could be started. The thread starts
// yielding to its wakers (below).
int startThread(void (*entry)(void*), void* argument);
// Whether the calling thread, when another thread's message wakes it, waits for the CPU until
// that thread waits or its turn ends (true), or takes the CPU from it at once (false). A client
// on the same machine then reaches its wait for a reply before the reply comes, which curl
// 7.88 needs: it misses a 227 or 229 that is already there when it first looks, and waits a
// second. Linux's batch policy, which needs no privilege; Windows has none and ignores it.
void setYieldingToWakers(bool yielding);
// hook runs, on the thread that gives up, whenever a finished thread has waited in vain for
// the next entry (on POSIX after 250 ms): the server has started nothing new in that time.
// Windows starts a new thread for every entry and never calls it.
void setIdleThreadHook(void (*hook)());
// Fresh zero-filled memory straight from the system, so that untouched pages cost nothing.
// Returns nullptr on failure. Release with the same size.
void* allocateZeroedPages(std::size_t size);
void releasePages(void* memory, std::size_t size);
// Makes memory read as zero again, giving whole pages back to the system rather than writing
// them (pages never touched cost nothing).
void discardPages(void* memory, std::size_t size);
unsigned long processId();
// Seconds since 1970-01-01 00:00 UTC.
long long currentTime();
// Milliseconds on a clock that never jumps; for deadlines.
long long monotonicMilliseconds();

// ---------------------------------------------------------------------------------------------
// Locks and conditions that threads share, numbered from 0 by their users: each is ready without
// set-up, and no platform type shows in this header. Each lock is held only for a short step.
constexpr int kLockCount = 8;
constexpr int kConditionCount = 2;
void takeLock(int lock);
void releaseLock(int lock);
// Releases lock, which the caller holds, until signalCondition wakes the thread or milliseconds
// have passed (a negative count: no limit), and takes it again before it returns. A wake-up may
// come without a signal, so callers test in a loop.
void waitForCondition(int condition, int lock, long long milliseconds);
// Wakes one thread that waits for condition, if any; with wakeAll, every one.
void signalCondition(int condition, bool wakeAll);

// ---------------------------------------------------------------------------------------------
// Console. Until startConsoleWriter, printConsole writes at once and waits for the console: the
// start-up text, usage and errors before it are written completely before the program goes on.
// From then on it only queues, and one console thread writes the queue out, so that a console
// that stops taking output (a full pipe, a paused terminal, a selection in a console window)
// never holds up a session.

enum class ConsoleStream { kOutput, kError };
// Texts up to this size are formatted on the stack; longer ones (a long argument in an error
// line) take a heap copy.
constexpr std::size_t kConsoleTextSize = 1024;
// What each stream's queue holds. A text that does not fit is dropped and counted, and the
// stream's next text that fits comes after the line "[N characters of console output dropped]".
constexpr std::size_t kConsoleQueueSize = 64 * 1024;
// How long an ending process waits for the queue to be written, so that a console that never
// drains cannot hold the exit.
constexpr int kConsoleFlushMilliseconds = 2000;

// Formats like printf and writes the text on stream unbuffered, or queues it for the console
// thread, which writes it as soon as the console takes it, in the order given, as C's
// unbuffered streams did ("\n" reaches a Windows console as CR LF). Text that the console
// refuses (a closed stream) is lost, as with printf.
[[gnu::format(printf, 2, 3)]] void printConsole(ConsoleStream stream, const char* format, ...);
// Starts the console thread. Returns 0, or -1 with the error set when it cannot be started;
// printConsole then goes on writing at once.
int startConsoleWriter();
// Waits until the text queued before the call, and any drop line owed, has been written, or
// milliseconds have passed. Returns 0, or -1 when the time ran out first.
int flushConsole(int milliseconds);

// The status line: one line kept below the console's text, on a terminal (a console window on
// Windows) only. The console thread alone draws it, so a session never waits for it.
constexpr int kStatusRedrawMilliseconds = 250;  // at most four redraws a second
constexpr std::size_t kStatusLineSize = 1024;
// Keeps a status line below the text of standard output from now on: the console thread asks
// compose for its text (UTF-8, no line end; the length returned) at most every
// kStatusRedrawMilliseconds, cuts it to the window's width, and takes it away while it writes
// other text. Call after startConsoleWriter. Returns 0, or -1 when standard output is no
// terminal or the console thread does not run (then nothing changes).
int keepConsoleStatusLine(std::size_t (*compose)(char* out, std::size_t outSize));

// ---------------------------------------------------------------------------------------------
// Ending the process.

// After this call the operator's ways of ending the program (Ctrl-C, Ctrl-Break and closing the
// console window on Windows; SIGINT, SIGTERM and SIGHUP on POSIX) run cleanup on a thread that
// may take locks, flush the console (kConsoleFlushMilliseconds at most), and end the process as
// the event would have, with the platform's usual status. A signal the process was started to
// ignore stays ignored. Returns 0, or -1 with the error set: the events then end the process
// at once, without cleanup.
int handleTermination(void (*cleanup)());
// Call before handleTermination. From then on SIGHUP on POSIX runs reopen on the thread that
// handles the ending events, and the process goes on, so that a log renamed away is opened
// again at its path (logrotate sends SIGHUP after the rename); the signal is taken even when the
// process was started to ignore it. Windows has no such event and never calls reopen.
void handleReopenRequest(void (*reopen)());

// ---------------------------------------------------------------------------------------------
// Sockets: TCP over IPv4 and IPv6.

using SocketHandle = std::intptr_t;  // a Winsock SOCKET or a POSIX descriptor
constexpr SocketHandle kNoSocket = -1;

enum class AddressFamily : unsigned char { kIpv4, kIpv6 };
constexpr std::size_t kAddressBytes = 16;
// Room for the text of any address, an IPv6 zone included.
constexpr std::size_t kNetworkAddressTextSize = 64;

// An address and port of either family. bytes holds the address in the order of its written
// form: an IPv4 address in its first four bytes.
struct NetworkAddress {
    AddressFamily family;
    unsigned char bytes[kAddressBytes];
    unsigned short port;
    unsigned scope;  // the zone of a link-local IPv6 address; 0 otherwise
};

// Writes the address (not the port) in its usual form: "192.0.2.10", "2001:db8::1". Returns 0,
// or -1 when it does not fit.
int formatAddress(const NetworkAddress* address, char* out, std::size_t outSize);
// Reads the usual form of an address of family (port 0). Returns 0, or -1 when text is none.
int parseAddress(const char* text, AddressFamily family, NetworkAddress* out);
// True when a and b name the same host: the same family, address and zone, whatever the port.
bool isSameHost(const NetworkAddress* a, const NetworkAddress* b);

// The largest listen backlog the platform accepts (SOMAXCONN).
extern const int kLargestBacklog;

SocketHandle openTcpSocket(AddressFamily family);
// Makes an IPv6 socket take IPv4 connections too; they arrive as IPv4 addresses.
int acceptBothFamilies(SocketHandle socket);
// True when the last error says the system has no such family, or no address of it to bind:
// IPv6 missing or turned off.
bool isFamilyUnavailableError();
// Lets a listener take a port whose old connections linger in TIME_WAIT. Does nothing where
// the platform needs no such option (Windows, where it would let others steal the port).
int allowPortReuse(SocketHandle socket);
// Binds to address and its port; an address of zero bytes is every local interface of its
// family.
int bindSocket(SocketHandle socket, const NetworkAddress* address);
// A listen that fails because the port is taken fails with an error of its own: callers treat
// it as a failed bind (isAddressInUseError).
int listenSocket(SocketHandle socket, int backlog);
bool isAddressInUseError();
// True when the last error says this user may not bind that port (on POSIX a port below 1024
// without the privilege; on Windows a port reserved by the system or held exclusively).
bool isPortPermissionError();
// How the operator gets the control port of a failed bind that isPortPermissionError names,
// on this platform: lines of text, each ending in a newline and indented by two spaces.
void formatPortPermissionAdvice(char* out, std::size_t outSize);
int socketLocalAddress(SocketHandle socket, NetworkAddress* out);
// Accepts one connection; peer may be nullptr. Retries after EINTR.
SocketHandle acceptConnection(SocketHandle listener, NetworkAddress* peer);

// How the accept loop treats the error of a failed acceptConnection.
enum class AcceptFailure { kFatal, kRetry, kRetryAfterPause };
AcceptFailure classifyAcceptFailure();

int connectSocket(SocketHandle socket, const NetworkAddress* address);
// As connectSocket, but gives up after timeoutMilliseconds with kTimedOut's error, so that a
// peer whose firewall drops the connection costs no more than that, or as soon as watch
// (kNoSocket: none) has bytes to read or has been ended, with kInterrupted's error. The socket
// is non-blocking afterwards, connected or not.
int connectSocketWithin(SocketHandle socket, const NetworkAddress* address, int timeoutMilliseconds,
                        SocketHandle watch);
// Makes the socket's sends and receives (and sendFilePiece) return at once with kWouldBlock's
// error where they would wait, or wait again. A non-blocking socket is bounded by the
// caller's waits (waitForEither), not by its timeouts.
int setNonBlocking(SocketHandle socket, bool nonBlocking);
// Waits until socket can be written (forWriting) or read, or watch (kNoSocket: none) has
// bytes to read or has been ended by its peer, whichever comes first. Returns 1 for socket,
// 2 for watch (when both are ready, watch), 0 when timeoutMilliseconds passed first, -1 on
// failure. An error or an end on socket counts as ready: its next call tells which.
int waitForEither(SocketHandle socket, bool forWriting, SocketHandle watch,
                  int timeoutMilliseconds);
// Sends all length bytes unless the connection fails or a send timeout expires.
// Returns 0, or -1 with the error set (kTimedOut's error after a timeout).
int sendBytes(SocketHandle socket, const char* data, std::size_t length);
// Sends what the connection takes of length bytes within one wait: the count (at least 1,
// maybe fewer than length when the send timeout ended the wait), or -1 with the error set
// (kTimedOut's error when the timeout passed with nothing sent).
long long sendSomeBytes(SocketHandle socket, const char* data, std::size_t length);
// Receives up to size bytes. Returns the count, 0 when the peer has closed, or -1 with the
// error set (kTimedOut's error after a receive timeout).
// On a non-blocking socket, sendSomeBytes and receiveBytes fail with kWouldBlock's error
// where they would wait.
long long receiveBytes(SocketHandle socket, char* buffer, std::size_t size);
// Waits until the socket can be read (or accepted from). Returns 1 when it can, 0 when
// timeoutMilliseconds passed first (0 polls), -1 on failure.
int waitReadable(SocketHandle socket, int timeoutMilliseconds);
// As waitReadable for count sockets at once; a negative timeoutMilliseconds waits without
// limit. Returns 1 + the index of a readable one, 0 when the time passed first, -1 on failure.
int waitAnyReadable(const SocketHandle* sockets, int count, int timeoutMilliseconds);
// Limits how long one send or receive may wait without progress; 0 means no limit.
int setSocketTimeout(SocketHandle socket, int milliseconds);
// The same for sends alone; receives keep their own limit.
int setSendTimeout(SocketHandle socket, int milliseconds);
// The same for receives alone; sends keep their own limit.
int setReceiveTimeout(SocketHandle socket, int milliseconds);
// Sends small writes at once instead of waiting to join them with later data.
int setNoDelay(SocketHandle socket);
void shutdownReceiving(SocketHandle socket);
void closeSocket(SocketHandle socket);
// Reads and drops what the peer has sent and nobody read, without waiting: a close with such
// bytes resets the connection.
void discardReceivedBytes(SocketHandle socket);
// Closes the socket once the peer's system has acknowledged every byte and the end of the
// stream, or the peer has closed its side, waiting at most seconds. The socket may be blocking
// or not. When the time runs out, Linux goes on closing in the background and the bytes may
// still arrive; on Windows the connection is reset, and what the peer had not acknowledged is
// lost. Either way the call then returns, and the caller goes on with its next step.
void closeSocketDelivered(SocketHandle socket, int seconds);

// The host's IPv4 addresses for the operator, in the platform's order, at most maxCount.
// Returns the count, or -1 when the query failed. A host name without addresses gives 0 on
// Windows; on POSIX, where the interfaces are read directly, finding none is a failure.
int queryLocalAddresses(NetworkAddress* out, int maxCount);
// Room for an interface's name in UTF-8: a Windows friendly name takes up to 256 UTF-16 units.
constexpr std::size_t kInterfaceNameSize = 3 * 256 + 1;
// What the system tells of the interface that holds a local address.
struct LocalAddressDetails {
    char interfaceName[kInterfaceNameSize];  // UTF-8, as the system gives it: "eth0", "Ethernet 2"
    int prefixLength;                        // the network's bits: 24 for 255.255.255.0
};
// Finds the interface that holds address (of either family, port ignored; a zone, when given,
// must match too) and fills out. Returns 0, or -1 when no interface holds it or the interfaces
// cannot be read.
int describeLocalAddress(const NetworkAddress* address, LocalAddressDetails* out);
// Room for a network's text: an address and "/128".
constexpr std::size_t kNetworkTextSize = kNetworkAddressTextSize + 4;
// Writes the network that holds address, prefixLength bits long: "192.168.1.0/24",
// "2001:db8::/64". Returns 0, or -1 when prefixLength does not fit the family or the text
// does not fit out.
int formatNetwork(const NetworkAddress* address, int prefixLength, char* out, std::size_t outSize);
// True for an address that a host gives itself when no one hands it one (169.254.0.0/16,
// fe80::/10): the usual sign of a direct cable.
bool isLinkLocalAddress(const NetworkAddress* address);
// The ports the system gives its outgoing connections (the ephemeral range): Linux's
// ip_local_port_range, or Windows's default dynamic range (49152-65535; netsh may have moved
// it). Returns 0, or -1 when it cannot be read.
int queryEphemeralPorts(int* low, int* high);

// ---------------------------------------------------------------------------------------------
// TLS on a connected socket, as the server (RFC 4217 puts it on the control and the data
// connections): OpenSSL on POSIX, Schannel on Windows. TLS 1.2 and 1.3 only, with the
// platform's recommended server cipher suites.

// The server's certificate, any chain, and its private key: made once at start-up, then only
// read.
struct TlsCredentials;
// TLS on one connection.
struct TlsSession;

// "AB:CD:..." for the 32 bytes of a SHA-256 digest, and its terminator.
constexpr std::size_t kFingerprintTextSize = 96;
// Room for the reason a certificate could not be had.
constexpr std::size_t kTlsReasonSize = 256;

// "sha256//" and the base64 of a SHA-256 digest, and its terminator.
constexpr std::size_t kPublicKeyPinSize = 56;
// Room for the path of the kept self-signed certificate, and for where it is kept or why not.
constexpr std::size_t kKeptPathSize = 4096;
constexpr std::size_t kKeptAtSize = kKeptPathSize + kTlsReasonSize + 8;

// What start-up tells the operator of the certificate it serves.
struct TlsCertificateFacts {
    char fingerprint[kFingerprintTextSize];  // the certificate's SHA-256 ("AB:CD:...")
    char publicKeyPin[kPublicKeyPinSize];    // its public key's, as curl's --pinnedpubkey takes it
    bool isNewlyMade;                        // a self-signed certificate was made at this start
    bool isKept;                             // the self-signed one is kept for later starts
    char keptAt[kKeptAtSize];      // where it is kept (a file, or a store's name), or why it is not
    char keptFile[kKeptPathSize];  // the file that holds the self-signed key, or "" if none does
    char keptWarning[kKeptAtSize];  // why a kept one found was not safe to use, or ""
};

// Loads the certificate, any chain and the private key from one PEM file, or, when pemPath is
// nullptr, takes the self-signed certificate kept from an earlier start: on POSIX in
// $XDG_CONFIG_HOME/tarnLoader (or ~/.config/tarnLoader), a file of mode 0600; on Windows the
// key in the user's key store and the certificate in the user's "MY" store. A new one (ECDSA
// P-256, or RSA 2048 where that is all the platform offers) is made and kept only when none is
// kept, or it cannot be read, or it expires within 30 days. Fills facts. Returns nullptr with
// the reason written (a file that cannot be read, a key that does not match).
// On POSIX the kept file is used only when it is a regular file of the server's user that no
// one else may read or write, in a folder of that user that no one else may write, and neither
// is reached through a link; otherwise a new one is made, keptWarning says why, and it is kept
// in the folder only when the folder passed. On Windows the key is opened only from the current
// user's key store, never the machine's, and a certificate of the user's "MY" store is used only
// when it belongs to that key; the system keeps that key store, in the user's profile, from
// other users, so nothing further is checked and keptWarning stays empty there.
TlsCredentials* loadTlsCredentials(const char* pemPath, TlsCertificateFacts* facts, char* reason,
                                   std::size_t reasonSize);
// Makes the handshake as the server on socket, bounded by the socket's timeouts. Returns the
// session, or nullptr with the error set when the peer sent no handshake, stopped in one or
// went away. Without control, socket is a control connection: its session is one of its own,
// and the client is given what it needs to resume it later (TLS 1.3 tickets, sent after the
// handshake). With control, socket is a data connection of control's client: the client may
// resume control's session, and no other (isResumedTlsSession tells whether it did); it gets
// no tickets, since a client that only sends and closes with them unread resets the connection.
TlsSession* startTlsSession(TlsCredentials* credentials, SocketHandle socket,
                            const TlsSession* control);
// True when the handshake resumed a session instead of making a new one: on a data connection,
// its control connection's session. On Windows that is when Schannel gives both the same
// session id and protocol; where it gives no id (TLS 1.3 need not: the protocol resumes by
// ticket), or cannot be asked, the answer is false, since "resumed" alone names no session.
bool isResumedTlsSession(const TlsSession* session);
// Sends all length bytes. Returns 0, or -1 with the error set (kTimedOut's after a timeout).
int sendTlsBytes(TlsSession* session, const char* data, std::size_t length);
// Receives up to size bytes. Returns the count, 0 after the peer's close_notify, or -1 with
// the error set, also when the connection ends without one (a cut that someone else made).
long long receiveTlsBytes(TlsSession* session, char* buffer, std::size_t size);
// True when bytes the peer sent are already held, decrypted or not, so that a receive need
// not wait for the socket.
bool hasReceivedTlsBytes(TlsSession* session);
// Tells the peer the session ends (close_notify) when the connection still takes it, and
// frees the session. The socket stays open for the caller to close.
void endTlsSession(TlsSession* session);
// From now on a wait inside receiveTlsBytes, and on POSIX inside sendTlsBytes, also ends when
// watch has bytes to read or has been ended by its peer: the call fails with kInterrupted's
// error. A send so cut short is made again with the same bytes, or not at all. kNoSocket ends
// the watch. On Windows only the waits for records watch: a send waits for its record to go
// out, and a receive for the rest of a post-handshake message, up to the socket's timeout.
void watchDuringTlsWaits(TlsSession* session, SocketHandle watch);

// ---------------------------------------------------------------------------------------------
// Paths and directories.
//
// Every path and name below is UTF-8, as the names on the wire are. POSIX passes the bytes on
// as they are; Windows converts them to UTF-16 for its wide calls and back, and refuses text
// that is not UTF-8 (kRefusedPath's error) rather than look up anything in its place.

extern const char kPathSeparator;  // '\\' on Windows, '/' on POSIX
// Every character that separates names in a system path: "\\/" on Windows, "/" on POSIX.
extern const char kSystemPathSeparators[];

int changeProcessDirectory(const char* path);
// Moves the process to the directory served when no root is given: on POSIX the current
// directory as it is; on Windows the current directory re-entered without its drive prefix.
int enterDefaultRoot();
// Writes the process's current directory. Returns 0, or -1 when it fails or does not fit.
int currentDirectory(char* out, std::size_t outSize);
// True where a path component cannot name an ordinary entry of the served tree on this
// platform (drive prefixes, streams, device names and text that is not UTF-8 on Windows).
// Always false on POSIX.
bool isReservedName(const char* component);
// Compares two names as the platform's file lookups do (on Windows without regard to case,
// letters beyond ASCII included).
bool isSameName(const char* a, const char* b);
// True when name begins with prefix, compared as isSameName compares whole names.
bool startsWithName(const char* name, const char* prefix);

struct FileStatus {
    bool isDirectory;
    bool isRegularFile;
    bool isLink;  // only where the entry itself was asked for
    bool isReadOnly;
    long long size;
    long long modifiedTime;  // seconds since 1970-01-01 00:00 UTC
    // Which file this is, whatever its name: the device and inode on POSIX, the volume's serial
    // number and the file's index on Windows; zero where a listing gives no handle to ask.
    unsigned long long volume;
    unsigned long long fileIndex;
};

struct CalendarTime {
    int year;   // e.g. 2011
    int month;  // 1 to 12
    int day;
    int weekday;  // 0 for Sunday
    int hour;
    int minute;
    int second;
};
// Converts to the machine's local time. Returns -1 for a time the platform rejects.
int toLocalTime(long long time, CalendarTime* out);
// Converts to UTC. Returns -1 for a time the platform rejects.
int toUniversalTime(long long time, CalendarTime* out);

// ---------------------------------------------------------------------------------------------
// The served root and the paths beneath it.
//
// A path reaches this layer as text relative to the served root: names joined by "/",
// "." for the root itself, and "." and ".." steps. Each call looks the path up from the root
// and then acts on what the lookup opened, never on the text again. ".." never rises above the
// root, and a link is followed only while its target stays beneath the root: a relative target
// from the link's own folder, an absolute one only when it begins with the root's real path.
// A path that would leave the root, holds more than 40 links or fails to resolve for any
// reason but a missing entry fails with kRefusedPath's error. A missing entry fails with its
// own error: "does not exist", or "not a directory" where a middle name is a file.

constexpr std::size_t kClientPathSize = 1024;
// Room for one name in a folder, in UTF-8, and its terminator: a Windows name of 255 UTF-16
// units takes up to 765 bytes.
constexpr std::size_t kEntryNameSize = 768;

// Fixes the served root for every later lookup. rootPath must be an absolute path that opens
// as a directory. Start-up only.
int setServedRoot(const char* rootPath);
// The served root's real path (links resolved), as every lookup compares with it.
const char* servedRootPath();
// Withholds the file at path (the operator's path, not one beneath the root) from clients: every
// later lookup that arrives at that very file, by whatever name, link or hard link, fails as
// a missing entry does, and enumerations pass over it. Any time after setServedRoot, also
// while lookups go on in other threads (a file reopened under the same name is a new file to
// withhold); at most 256 files (EMFILE's error), and a file already withheld takes no second
// place. One that no name leads to any more gives its place back on POSIX, where the file is
// held open while it is listed so that its inode passes to no other file; Windows holds
// nothing open, and a file's index passes to no other while it has a name. Returns 1 when
// the file lies beneath the root by its real path, 0 when it lies elsewhere, or -1 with the
// error set when it cannot be looked at. With openFile (not -1), the file the caller opened at
// path is the one withheld, whatever path names by now (a log renamed away at once), and where
// it lies is not told: 0.
int withholdFile(const char* path, int openFile);
// True when path does not depend on the current directory (POSIX: a leading "/"; Windows:
// a leading separator or a drive prefix).
bool isAbsolutePath(const char* path);
// The length of path's drive prefix ("C:" on Windows), 0 where there is none.
std::size_t drivePrefixLength(const char* path);

// A folder held open at or beneath the root: on POSIX a descriptor; on Windows a handle that
// keeps the folder, and every folder above it, from being renamed or removed while it is held.
struct Folder;

// The served root as one session sees it. On POSIX: the folder at the root's path when the
// session starts, wherever the operator moves it; when that folder has been removed (or was not
// there yet), lookups look for the root at its path again, so a folder put back in its place is
// served. On Windows the session holds nothing open between commands and every lookup starts
// at the root's path: a folder moved away is no longer served, and whatever folder then stands
// at the path is. Returns nullptr only when memory is exhausted.
Folder* openServedRoot();
void closeFolder(Folder* folder);

// One version of an open file: which file it is, its size and its last modification at the
// finest step the system keeps, so that a file rewritten or appended to in place is another.
struct FileVersion {
    unsigned long long volume;
    unsigned long long fileIndex;
    long long size;
    long long modifiedTicks;  // nanoseconds on POSIX, 100-nanosecond steps on Windows
};

// Opens the regular file path names, links followed, for reading, and fills version when it
// is not nullptr. On Windows others may read it meanwhile but not write it, nor rename or
// remove it unless lettingNameGo (a digest, which tells a change by the version, must not turn
// a client's DELE or rename away); on POSIX nothing keeps anyone out, which a later version
// tells. A directory fails with kIsDirectory's error, anything else that is not a regular file
// with kAccessDenied's (a fifo or a device would block or never end).
int openFileBeneath(Folder* root, const char* path, FileVersion* version,
                    bool lettingNameGo = false);
// The status of the entry path names, links followed.
int fileStatusBeneath(Folder* root, const char* path, FileStatus* out);
// The status of the entry path names, links followed, and where it is: the path relative to
// the root that reaches it without links or dot names ("." for the root, "fw/latest").
int locateBeneath(Folder* root, const char* path, char* reached, std::size_t reachedSize,
                  FileStatus* status);

// The entry that a path's last name stands for, found in the folder that holds it.
struct EntryLookup {
    Folder* folder;             // the folder that holds it; nullptr when path names the root
    char name[kEntryNameSize];  // its own name in folder
    bool exists;
    FileStatus status;  // of the entry itself (a link is a link), when it exists
};
// For a change to an entry: follows links up to the folder that holds path's last entry. The
// entry itself is not followed, so a change acts on a link and not on its target;
// but a link that leads out of the root is refused, and one that leads to the root itself
// makes the path name the root. Only the last name may be missing (exists is then false).
// Release out->folder with closeFolder.
int lookUpEntry(Folder* root, const char* path, EntryLookup* out);

int makeDirectoryAt(Folder* folder, const char* name);
int removeDirectoryAt(Folder* folder, const char* name);
// Removes a file or a link. Refuses a read-only file (kAccessDenied's error) as Windows does,
// whatever the process's privileges, and a directory (kIsDirectory's).
int removeFileAt(Folder* folder, const char* name);
// Removes a file the server made itself, whatever its mode: an upload's temporary file.
int removeOwnFileAt(Folder* folder, const char* name);
// Renames an entry; never replaces an existing one (kExists's error).
int renameEntryAt(Folder* fromFolder, const char* fromName, Folder* toFolder, const char* toName);
// Renames a file over another in the same folder, replacing it: the last step of an upload.
int replaceFileAt(Folder* folder, const char* fromName, const char* toName);
// Creates a new file for writing that no one else may open meanwhile; fails with kExists's
// error when the name is taken. Its mode is what fopen with "wb" would give.
int createNewFileAt(Folder* folder, const char* name);
// As createNewFileAt, but the new file starts as a copy of the first length bytes (all of it
// when length is negative) of the regular file sourceName in the same folder, by the fastest
// copy the system has: a reflink, else copy_file_range, on Linux; CopyFile on Windows. Returns
// the descriptor, positioned after the copied bytes, or -1 with the error set (and no new
// file left) when the source is missing, no regular file, or shorter than length.
int createCopyAt(Folder* folder, const char* sourceName, const char* newName, long long length);

// ---------------------------------------------------------------------------------------------
// Directory enumeration, in the manner of the Windows find functions: the pattern may hold "*"
// and "?", names compare without regard to letter case, "*.*" matches every name, and a
// pattern without wildcards matches the one entry of that name.

constexpr unsigned kAttributeReadOnly = 0x01;
constexpr unsigned kAttributeHidden = 0x02;
constexpr unsigned kAttributeSystem = 0x04;
constexpr unsigned kAttributeDirectory = 0x10;

struct FindEntry {
    char name[kEntryNameSize];
    unsigned attributes;
    long long size;       // 0 for a directory
    long long writeTime;  // seconds since 1970-01-01 00:00 UTC
};
struct FindState;

// Starts an enumeration of the entries of the folder that folderPath names beneath the root
// (looked up as openFileBeneath does) and fills entry with the first that matches pattern.
// A link is shown as what it leads to when that lies beneath the root, and as itself (a system
// entry) otherwise. Returns nullptr when nothing matches or the folder cannot be read; then
// isLastError(ErrorKind::kRefusedPath) tells a folder outside the root.
FindState* findFirst(Folder* root, const char* folderPath, const char* pattern, FindEntry* entry);
// Fills entry with the next match. Returns 0, or -1 when there is none. On Windows both pass
// over a name with no UTF-8 form (one with a lone surrogate).
int findNext(FindState* state, FindEntry* entry);
void findClose(FindState* state);

// ---------------------------------------------------------------------------------------------
// Files, by descriptor.

// Opens the file at path (the operator's, not one beneath the root) to write at its end,
// creating it when it is missing; others may read and write it meanwhile. Returns the
// descriptor, or -1 with the error set.
int openFileForAppending(const char* path);

// Returns the count read, 0 at the end, or -1.
long long readFile(int file, char* buffer, std::size_t size);
// The size of the open file, or -1 with the error set.
long long fileSizeOf(int file);
// The open file's version now. Returns 0, or -1 with the error set.
int readFileVersion(int file, FileVersion* out);

// ---------------------------------------------------------------------------------------------
// Digests: SHA-256, SHA-1, MD5 and CRC-32 of one stream of bytes, all four in one pass (the
// system's own providers: OpenSSL's libcrypto on POSIX, CNG on Windows).

enum class DigestKind { kSha256, kSha1, kMd5, kCrc32 };
constexpr int kDigestKindCount = 4;
// Room for the longest digest in lower-case hex (SHA-256's 64 digits) and its terminator.
constexpr std::size_t kDigestTextSize = 65;
constexpr unsigned kAllDigests = (1u << kDigestKindCount) - 1;
constexpr unsigned digestBit(DigestKind kind) {
    return 1u << static_cast<unsigned>(kind);
}
struct DigestSet;
// Starts the digests whose bits kinds holds. Returns nullptr with the error set when the
// provider fails.
DigestSet* beginDigests(unsigned kinds);
// Adds length bytes to every digest.
void updateDigests(DigestSet* set, const char* bytes, std::size_t length);
// Ends the digests, writes each in lower-case hex into texts[kind] ("" for a kind not begun)
// and frees set. Returns 0, or -1 with the error set (set is freed either way).
int finishDigests(DigestSet* set, char texts[kDigestKindCount][kDigestTextSize]);
// Moves the file's position to offset bytes from its start. Returns 0, or -1.
int seekFile(int file, long long offset);
// Writes all length bytes, or returns -1.
int writeFile(int file, const char* data, std::size_t length);
// Returns 0, or -1 when the close reports a failure (a write that did not reach the file).
int closeFile(int file);
// Sends the next piece of file, at most size bytes from its current position, on socket.
// Returns the count sent, 0 at the end of the file, or -1 with the error set and *sendFailed
// telling whether sending (true) or reading the file (false) failed. The piece passes through
// buffer (size bytes) only where the platform cannot send straight from the file.
// On a non-blocking socket it sends what the socket takes at once, and the file's position
// stays after the bytes sent; when the socket takes nothing it fails with kWouldBlock's error
// (*sendFailed true).
long long sendFilePiece(SocketHandle socket, int file, char* buffer, std::size_t size,
                        bool* sendFailed);

// ---------------------------------------------------------------------------------------------
// The firewall: what it lets in over TCP, read only; nothing here changes it.

// The firewall's profiles, one bit each. Each network the machine is on is of one kind, and
// each kind has its own switch, its own default and its own share of the rules.
constexpr unsigned kFirewallDomain = 1u << 0;
constexpr unsigned kFirewallPrivate = 1u << 1;
constexpr unsigned kFirewallPublic = 1u << 2;
// How many port ranges of allowing rules are kept; a firewall with more sets isPortListCut.
constexpr int kFirewallPortRangeCount = 256;
constexpr std::size_t kFirewallRuleNameSize = 256;

// Local ports that an allowing rule opens, and the profiles (bits above) it applies to.
struct FirewallPortRange {
    unsigned low;
    unsigned high;
    unsigned profiles;
};

// What the firewall does with incoming TCP connections to this program, each part as a set of
// profile bits among currentProfiles. Allowing rules count when they name this program or no
// program at all (a rule for another program or for a service lets that one in alone).
struct FirewallFacts {
    unsigned currentProfiles;         // the profiles of the networks the machine is on now
    unsigned enabledProfiles;         // where the firewall is on
    unsigned guardedProfiles;         // where it is on and turns away what no rule allows
    unsigned closedProfiles;          // where it is on and turns away everything, rules or not
    unsigned programBlockedProfiles;  // where a blocking rule names this program
    char blockingRuleName[kFirewallRuleNameSize];  // the first such rule's name, UTF-8, or ""
    FirewallPortRange allowedPorts[kFirewallPortRangeCount];
    int allowedPortCount;
    bool isPortListCut;  // allowing rules had more ranges than allowedPorts holds
};

// Reads the firewall's settings for the current profiles and its inbound rules. Returns 0, or
// -1 when the firewall cannot be read in full: no answer is then better than a wrong one. On
// POSIX always -1: Linux firewalls (nftables, iptables, firewalld, ufw) are many and need
// privilege to read.
int queryFirewall(FirewallFacts* out);
