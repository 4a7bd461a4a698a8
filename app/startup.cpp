// app/startup.cpp: start-up in its fixed order, the operator guidance and the accept loop.
#include "app/startup.h"

#include <cstdio>
#include <cstring>

#include "app/address_details.h"
#include "app/command_line.h"
#include "app/firewall_advice.h"
#include "app/settings.h"
#include "base/text.h"
#include "fs/checksums.h"
#include "fs/delivery_report.h"
#include "fs/transfer_log.h"
#include "fs/uploads.h"
#include "platform/platform.h"
#include "session/connection_limits.h"
#include "session/console_sink.h"
#include "session/operator_status.h"
#include "session/passive_ports.h"
#include "session/session_thread.h"
#include "session/tcp_socket.h"

static const char kProgramName[] = "tarnLoader";
// Both come from CMakeLists.txt, where the packages take the version too.
static const char kVersion[] = TARNLOADER_VERSION;
static const char kReleaseDate[] = TARNLOADER_RELEASE_DATE;
// What the start-up text tells of the TLS certificate; written once at start-up.
static TlsCertificateFacts tlsFacts;
// Whether the "-tlscert" file and the transfer log lie inside the served folder, for the
// start-up text; written once at start-up.
static bool isCertificateInsideRoot = false;
static bool isTransferLogInsideRoot = false;
static bool isReportInsideRoot = false;
// The transfer log's path from where the operator started the server, for withholding it once
// the root is entered; written once at start-up.
static char transferLogFullPath[kRootPathSize];
static char reportFullPath[kRootPathSize];
// The environment variable that gives the password of "-login name".
static const char kPasswordVariable[] = "TARNLOADER_PASSWORD";
// Whether port 21 was refused because this user may not bind it, rather than taken; written
// once at start-up.
static bool isDefaultPortForbidden = false;
// How long the accept loop waits for a first client before it hints at why none comes: a
// chassis asked to fetch its package connects within seconds.
static constexpr int kNoClientHintMilliseconds = 3 * 60 * 1000;
// A refusal is one small send into an empty send buffer; the bound is only for a peer gone bad.
static constexpr int kRefusalSendMilliseconds = 500;
// A pause after a shortage of descriptors or memory, so the loop does not spin while it lasts.
static constexpr int kAcceptPauseMilliseconds = 100;

// SECURITY: the folder's name is escaped for the console; one named with an escape sequence
// must not act on the operator's terminal.
int fixServedRoot(const char* rootArgument) {
    char shown[escapedTextSize(kRootPathSize)];
    const char* shownArgument = rootArgument != nullptr ? rootArgument : ".";
    int entered =
        rootArgument != nullptr ? changeProcessDirectory(rootArgument) : enterDefaultRoot();
    // SECURITY: never fall back to serving "/" or a whole drive; DELE is not gated.
    if (entered != 0 ||
        currentDirectory(serverSettings.rootPath, sizeof serverSettings.rootPath) != 0 ||
        setServedRoot(serverSettings.rootPath) != 0) {
        char reason[kErrorTextSize];
        lastErrorText(reason, sizeof reason);
        printConsole(ConsoleStream::kOutput, "Error: Unable to set ftp root directory: '%s'\n",
                     escapeString(shown, sizeof shown, shownArgument));
        printConsole(ConsoleStream::kOutput, "  Reason: %s\n", reason);
        return -1;
    }
    printConsole(ConsoleStream::kOutput, "Using '%s' as ftp root directory\n",
                 escapeString(shown, sizeof shown, serverSettings.rootPath));
    return 0;
}

// The certificate for AUTH TLS, when it is offered. Returns 0, or -1 after printing why the
// certificate could not be had (the caller prints the usage text).
static int prepareTls() {
    if (!serverSettings.tls) {
        return 0;
    }
    char reason[kTlsReasonSize];
    serverSettings.tlsCredentials =
        loadTlsCredentials(serverSettings.tlsCertificatePath, &tlsFacts, reason, sizeof reason);
    if (serverSettings.tlsCredentials == nullptr) {
        printConsole(ConsoleStream::kOutput, "Error: Unable to load TLS certificate: %s\n", reason);
        return -1;
    }
    return 0;
}

// The password of "-login": from the command line (erased there at once, so the process list
// no longer shows it), or else from kPasswordVariable, or else typed at the console without
// echo. Returns 0, or -1 after printing that there is none.
static int takeLoginPassword() {
    if (!serverSettings.hasLogin) {
        return 0;
    }
    char* password = serverSettings.loginPassword;
    if (serverSettings.loginPasswordArgument != nullptr) {
        eraseArgumentText(serverSettings.loginPasswordArgument);
        return 0;
    }
    if (readEnvironmentText(kPasswordVariable, password, kLoginTextSize) == 0 &&
        password[0] != '\0') {
        return 0;
    }
    char shown[escapedTextSize(kLoginTextSize)];
    (void)escapeText(shown, sizeof shown, serverSettings.loginName,
                     std::strlen(serverSettings.loginName));  // always fits
    char prompt[sizeof shown + 32];
    std::snprintf(prompt, sizeof prompt, "Password for %s: ", shown);  // always fits
    if (readSecretFromConsole(prompt, password, kLoginTextSize) == 0 && password[0] != '\0') {
        return 0;
    }
    printConsole(ConsoleStream::kOutput,
                 "Error: no password for -login %s: set %s, or start from a console to type "
                 "it\n",
                 shown, kPasswordVariable);
    return -1;
}

// Keeps the server's own files from every client: a key in the served folder must not be
// downloaded, nor the log of who fetched what. Returns 0, or -1 after printing why a file could
// not be looked at.
static int withholdOwnFiles() {
    // The kept self-signed key is withheld too, should the served folder hold the user's own;
    // start-up has nothing to say of where it lies.
    const char* paths[] = {
        serverSettings.tlsCertificatePath,
        serverSettings.transferLogPath != nullptr ? transferLogFullPath : nullptr,
        tlsFacts.keptFile[0] != '\0' ? tlsFacts.keptFile : nullptr,
        serverSettings.reportPath != nullptr ? reportFullPath : nullptr};
    bool* inside[] = {&isCertificateInsideRoot, &isTransferLogInsideRoot, nullptr,
                      &isReportInsideRoot};
    for (int i = 0; i < 4; i++) {
        if (paths[i] == nullptr) {
            continue;
        }
        int withheld = withholdFile(paths[i], -1);
        if (withheld < 0) {
            char reason[kErrorTextSize];
            lastErrorText(reason, sizeof reason);
            printConsole(ConsoleStream::kOutput,
                         "Error: Unable to withhold '%s' from clients: %s\n", paths[i], reason);
            return -1;
        }
        if (inside[i] != nullptr) {
            *inside[i] = withheld == 1;
        }
    }
    // A log outside the served folder is out of every client's reach, renamed or not.
    withholdReopenedLogs(isTransferLogInsideRoot);
    return 0;
}

// Says which of the server's own files lie inside the served folder, where they are withheld.
static void printOwnFileWarnings() {
    const bool inside[] = {isCertificateInsideRoot, isTransferLogInsideRoot, isReportInsideRoot};
    const char* names[] = {"TLS certificate file", "transfer log", "delivery report"};
    const char* paths[] = {serverSettings.tlsCertificatePath, serverSettings.transferLogPath,
                           serverSettings.reportPath};
    char shown[escapedTextSize(kRootPathSize)];
    for (int i = 0; i < 3; i++) {
        if (inside[i]) {
            printConsole(ConsoleStream::kOutput,
                         "Warning: the %s '%s' is inside the served folder; no client can see "
                         "it.\n",
                         names[i], escapeString(shown, sizeof shown, paths[i]));
        }
    }
}

// The firewall's say on whether the chassis gets in, where the platform can read it and there
// is something to say; otherwise not a character, so the start-up text reads as it always has.
static void printFirewallAdvice() {
    FirewallFacts facts;
    char programPath[kRootPathSize];
    if (queryFirewall(&facts) != 0 || ownProgramPath(programPath, sizeof programPath) != 0) {
        return;
    }
    FirewallNeeds needs = {programPath,
                           serverSettings.controlPort,
                           serverSettings.passivePortLow,
                           serverSettings.passivePortHigh,
                           0,
                           0,
                           serverSettings.tls};
    if (queryEphemeralPorts(&needs.systemLow, &needs.systemHigh) != 0) {
        needs.systemLow = 0;  // not known: the passive ports are then not judged
        needs.systemHigh = 0;
    }
    char advice[kFirewallAdviceSize];
    if (composeFirewallAdvice(&facts, &needs, advice, sizeof advice) > 0) {
        printConsole(ConsoleStream::kOutput, "%s", advice);
    }
}

int listLocalAddresses() {
    LocalAddressList* list = &serverSettings.localAddresses;
    // With "-i" the operator named the addresses a chassis can reach; the others serve nothing.
    int count = serverSettings.listenAddressCount;
    for (int i = 0; i < count; i++) {
        list->found[i] = serverSettings.listenAddresses[i];
    }
    if (count == 0) {
        count = queryLocalAddresses(list->found, kMaxLocalAddresses);
    }
    if (count < 0) {
        return -1;
    }
    for (int i = 0; i < count; i++) {
        if (formatAddress(&list->found[i], list->addresses[i], sizeof list->addresses[i]) != 0) {
            list->addresses[i][0] = '\0';  // never: the room fits every address
        }
    }
    list->count = count;
    return 0;
}

static void printPortWarning(int port) {
    printConsole(ConsoleStream::kOutput,
                 "Warning: ftp control port %d already in use.  This port is required for the\n"
                 "  chassis update.  Be sure no other update tool instances are running.\n"
                 "  Alternatively, another ftp server may be running on this PC, please\n"
                 "  disable this server temporarily for the update and re-enable after\n"
                 "  completion. This session is using port: %d\n"
                 "  Please resolve this issue before continuing.\n",
                 kDefaultControlPort, port);
}

// Port 21 was free but not this user's to open: "already in use" would send the operator
// looking for another server that does not exist.
static void printPortPermissionWarning(int port) {
    char advice[kConsoleTextSize];
    formatPortPermissionAdvice(advice, sizeof advice);
    printConsole(ConsoleStream::kOutput,
                 "Warning: ftp control port %d may not be opened by this user.  This port is\n"
                 "  required for the chassis update.\n"
                 "%s"
                 "  This session is using port: %d\n"
                 "  Please resolve this issue before continuing.\n",
                 kDefaultControlPort, advice, port);
}

static void printInstructions() {
    printConsole(ConsoleStream::kOutput,
                 "(NOTE) Only one instance of this tool may be run to update one chassis.\n"
                 "       at a time.\n"
                 "\n"
                 "Chassis Update Instructions:\n"
                 "1. Open the chassis home page using either of the following methods:\n"
                 "      a. Open using LinkBench, select the chassis\n"
                 "         model under the LAN instrument I/O tree, and click\n"
                 "         `Instrument Web Interface`.\n"
                 "      b. Or, open an Internet Explorer window and enter the chassis\n"
                 "         ip address or hostname directly, such as http://192.0.2.10\n"
                 "\n"
                 "2. From the chassis home page, navigate to the health page (heart symbol) and\n"
                 "   click on the `Open the Chassis Firmware Update page` link.\n"
                 "\n"
                 "3. On the update page, click `Locate Package`. (Note: the IP address on the\n"
                 "   form should be same as one of the listed addresses above.)\n"
                 "\n"
                 "4. Select `Install`. This action launches a chassis update status page, which\n"
                 "   provides progress information.\n"
                 "\n"
                 "5. When the update status page instructs to power cycle the chassis, please\n"
                 "   close the tarnLoader tool (this window).\n"
                 "\n");
}

// A client can pin the certificate, self-signed or not, by its fingerprint or by its public
// key's pin, which stays the same as long as the key does.
static void printTlsCertificate() {
    printConsole(ConsoleStream::kOutput, "TLS certificate SHA-256: %s\n", tlsFacts.fingerprint);
    printConsole(ConsoleStream::kOutput, "TLS public key pin: %s\n", tlsFacts.publicKeyPin);
    char shown[escapedTextSize(kKeptAtSize)];
    // A kept key that others could have planted or read is passed over; the operator must learn
    // why the fingerprint changed, and that the folder needs mending.
    if (tlsFacts.keptWarning[0] != '\0') {
        (void)escapeString(shown, sizeof shown, tlsFacts.keptWarning);
        printConsole(ConsoleStream::kOutput, "Warning: %s.\n", shown);
    }
    if (!tlsFacts.isNewlyMade) {
        return;
    }
    (void)escapeString(shown, sizeof shown, tlsFacts.keptAt);
    if (tlsFacts.isKept) {
        printConsole(ConsoleStream::kOutput,
                     "Made a new self-signed TLS certificate, kept in %s for later starts.\n",
                     shown);
    } else {
        printConsole(ConsoleStream::kOutput,
                     "Made a new self-signed TLS certificate; it could not be kept (%s), so the "
                     "next start makes another.\n",
                     shown);
    }
}

// Ports of "-prange" that something else may hold: a session given one goes on to the next
// free port, and the operator learns why the console names it.
static void printPassiveRangeWarnings() {
    int low = serverSettings.passivePortLow;
    int high = serverSettings.passivePortHigh;
    if (high <= low) {
        return;
    }
    int port = serverSettings.controlPort;
    if (port >= low && port <= high) {
        printConsole(ConsoleStream::kOutput,
                     "Warning: the passive port range %d-%d holds the control port %d;\n"
                     "  sessions use the other ports.\n",
                     low, high, port);
    }
    int ephemeralLow = 0;
    int ephemeralHigh = 0;
    if (queryEphemeralPorts(&ephemeralLow, &ephemeralHigh) == 0 && low <= ephemeralHigh &&
        high >= ephemeralLow) {
        printConsole(ConsoleStream::kOutput,
                     "Warning: the passive port range %d-%d overlaps the ports this system\n"
                     "  gives outgoing connections (%d-%d); a port that one of them holds\n"
                     "  is passed over for the next free one.\n",
                     low, high, ephemeralLow, ephemeralHigh);
    }
}

// Under "-status" a listed address also names its interface and network, so that an operator
// with several adapters can tell which address the chassis's form needs. The default text stays
// as the chassis flow has always had it, and so does the line of an address whose interface
// cannot be found, or of the "-ip" address, which is no local one.
static void printAddressLine(const LocalAddressList* list, int index) {
    bool isNatAddress = index == 0 && serverSettings.natAddress != nullptr;
    LocalAddressDetails found;
    char details[kAddressDetailsSize];
    if (consoleSink.isTimed && !isNatAddress && index < list->count &&
        describeLocalAddress(&list->found[index], &found) == 0 &&
        formatAddressDetails(&list->found[index], &found, details, sizeof details) == 0) {
        printConsole(ConsoleStream::kOutput, "   %s   %s\n", list->addresses[index], details);
    } else {
        printConsole(ConsoleStream::kOutput, "   %s\n", list->addresses[index]);
    }
}

void printGuidance() {
    const LocalAddressList* list = &serverSettings.localAddresses;
    printConsole(ConsoleStream::kOutput, "%s accepting connections on ip addresses:\n",
                 kProgramName);
    printAddressLine(list, 0);
    for (int i = 1; i < list->count; i++) {
        printAddressLine(list, i);
    }
    if (serverSettings.tls) {
        printTlsCertificate();
    }
    printOwnFileWarnings();
    if (serverSettings.hasLogin && serverSettings.loginPasswordArgument != nullptr) {
        printConsole(ConsoleStream::kOutput,
                     "Warning: the -login password came on the command line, which other users "
                     "of this machine\n  can read; give -login <name> alone and set %s, or type "
                     "the password when asked.\n",
                     kPasswordVariable);
    }
    if (serverSettings.hasLogin && !serverSettings.tls) {
        printConsole(ConsoleStream::kOutput,
                     "Warning: without -tls the -login password travels in clear text.\n");
    }
    if (serverSettings.controlPort != kDefaultControlPort && isDefaultPortForbidden) {
        printPortPermissionWarning(serverSettings.controlPort);
    } else if (serverSettings.controlPort != kDefaultControlPort) {
        printPortWarning(serverSettings.controlPort);
    }
    printPassiveRangeWarnings();
    printFirewallAdvice();
    printConsole(ConsoleStream::kOutput, "\n\n");
    printInstructions();
    printConsole(ConsoleStream::kOutput,
                 "More information may be found in the chassis users's guide.\n\n");
    printConsole(ConsoleStream::kOutput, "Waiting for the chassis to connect...\n");
}

// Answers a refused connection with its 421 reply and closes it. The send is bounded, so a
// client that does not read holds up the accept loop for a moment at most.
static void refuseConnection(SocketHandle connection, const NetworkAddress* peer,
                             Admission admission) {
    bool fromAddress = admission == Admission::kTooManyFromAddress;
    const char* reply = fromAddress ? "421 Too many connections from your address.\r\n"
                                    : "421 Too many connections, try again later.\r\n";
    // Without the timeout the send waits as the system's default lets it; it is only the bound.
    (void)setSocketTimeout(connection, kRefusalSendMilliseconds);
    std::size_t length = std::strlen(reply);
    (void)sendBytes(connection, reply, length);  // a client gone already needs nothing
    closeSocket(connection);
    char shown[kShownReplySize];
    (void)copyText(shown, sizeof shown, reply);  // always fits
    shown[length - 2] = '\0';                    // the line end has no place on the console
    reportRefusedConnection(peer, shown, fromAddress);
}

// Hands one accepted connection to a new session thread. A record or thread that cannot be
// had costs only this connection: the sessions already running, a chassis mid-update among
// them, go on. So does a connection over the limits, refused before either exists.
static void startSession(SocketHandle connection, const NetworkAddress* peer, int passivePort) {
    ConnectionTicket ticket;
    Admission admission = admitConnection(peer, &ticket);
    if (admission != Admission::kAdmitted) {
        refuseConnection(connection, peer, admission);
        return;
    }
    FtpSession* session = createSession(connection, passivePort);
    if (session == nullptr) {
        printConsole(ConsoleStream::kOutput, "Error: Out of memory\n");
        releaseConnection(&ticket);
        closeSocket(connection);
        return;
    }
    session->ticket = ticket;  // endSession gives it back
    session->peerAddress = *peer;
    takePassivePort(passivePort);
    if (startThread(sessionThread, session) != 0) {
        printSystemError("Error: could not start a session thread");
        endSession(session);
    }
}

int runAcceptLoop(const SocketHandle* listeners, int count) {
    // What ended sessions leave for the next ones goes back once no new session comes.
    setIdleThreadHook(releaseSparedRecords);
    int candidate = serverSettings.passivePortLow;
    // Under "-status" the operator hears once when no chassis has come for minutes.
    bool isHintDue = consoleSink.isTimed;
    for (;;) {
        int ready = 1;
        if (count > 1 || isHintDue) {
            ready = waitAnyReadable(listeners, count, isHintDue ? kNoClientHintMilliseconds : -1);
            isHintDue = false;
            if (ready == 0) {
                reportNoClientYet(kNoClientHintMilliseconds / 60000, serverSettings.controlPort);
                continue;
            }
        }
        NetworkAddress peer;
        SocketHandle connection =
            ready > 0 ? acceptConnection(listeners[ready - 1], &peer) : kNoSocket;
        if (connection == kNoSocket) {
            AcceptFailure failure = classifyAcceptFailure();
            printSystemError("Error: accept failed");
            // One bad connection or a passing shortage must not end a firmware update.
            if (failure == AcceptFailure::kFatal) {
                return -1;
            }
            if (failure == AcceptFailure::kRetryAfterPause) {
                sleepMilliseconds(kAcceptPauseMilliseconds);
            }
            continue;
        }
        startSession(connection, &peer, candidate);
        candidate = nextPassivePort(serverSettings.passivePortLow, serverSettings.passivePortHigh);
    }
}

// Opens a control listener at every address of "-i" (one on every interface without it), all
// on one port, which *port gives (0: any free one) and receives. Returns the count opened, or
// kNoSocket when the port could not be had or kSocketUnavailable on another failure; either
// way none stays open.
static int openListenersAt(int* port, SocketHandle* listeners) {
    int count = serverSettings.listenAddressCount > 0 ? serverSettings.listenAddressCount : 1;
    int requested = *port;
    for (int i = 0; i < count; i++) {
        const NetworkAddress* local =
            serverSettings.listenAddressCount > 0 ? &serverSettings.listenAddresses[i] : nullptr;
        // One socket for IPv6 and IPv4 clients alike; IPv4 alone where the system has no IPv6.
        listeners[i] = createTcpSocket(AddressFamily::kIpv6, local, port, kLargestBacklog,
                                       "Error: listen failed", nullptr);
        if (listeners[i] < 0) {
            SocketHandle failure = listeners[i];
            while (i-- > 0) {
                closeSocket(listeners[i]);
            }
            *port = requested;
            return static_cast<int>(failure);
        }
    }
    return count;
}

static int openControlListeners(SocketHandle* listeners) {
    int* port = &serverSettings.controlPort;
    int count = openListenersAt(port, listeners);
    if (count == kNoSocket && *port == kDefaultControlPort) {
        isDefaultPortForbidden = isPortPermissionError();
        *port = kFallbackControlPort;
        count = openListenersAt(port, listeners);
    }
    return count;
}

// What an ending process does before it goes: the operator's summary, no half-received upload
// stays, and the transfer log's last lines reach the file if it takes them soon.
static void cleanUpAtTheEnd() {
    reportServerEnd();
    closeUploads();
    (void)flushTransferLog(kTransferLogFlushMilliseconds);
}

// Writes folder, a separator and name into out. Returns 0, or -1 when it does not fit.
static int formatPathInFolder(char* out, std::size_t outSize, const char* folder,
                              const char* name) {
    int written = std::snprintf(out, outSize, "%s%c%s", folder, kPathSeparator, name);
    return written >= 0 && static_cast<std::size_t>(written) < outSize ? 0 : -1;
}

// Opens the file of an option, made absolute into fullPath, with open. Opened before the root
// is entered, so that a relative path is taken from where the operator started the server.
static int openRequestedFile(const char* path, char* fullPath, int (*open)(const char*),
                             const char* what) {
    if (path == nullptr) {
        return 0;
    }
    char here[kRootPathSize];
    bool isNamed = isAbsolutePath(path)
                       ? copyText(fullPath, kRootPathSize, path) == 0
                       : currentDirectory(here, sizeof here) == 0 &&
                             formatPathInFolder(fullPath, kRootPathSize, here, path) == 0;
    if (isNamed && open(fullPath) == 0) {
        return 0;
    }
    char reason[kErrorTextSize];
    lastErrorText(reason, sizeof reason);
    printConsole(ConsoleStream::kOutput, "Error: Unable to open %s '%s': %s\n", what, path, reason);
    return -1;
}

static int openRequestedFiles() {
    return openRequestedFile(serverSettings.transferLogPath, transferLogFullPath, openTransferLog,
                             "transfer log") == 0 &&
                   openRequestedFile(serverSettings.reportPath, reportFullPath, openDeliveryReport,
                                     "delivery report") == 0
               ? 0
               : -1;
}

int runServer(int argc, const char* const* argv) {
    printConsole(ConsoleStream::kOutput, "%s, %s, %s\n", kProgramName, kVersion, kReleaseDate);
    resetServerSettings(&serverSettings);
    CommandLine commandLine = readCommandLine(argc, argv, &serverSettings);
    if (commandLine.status == CommandLineStatus::kVersion) {
        return 0;  // the banner above is the answer
    }
    if (commandLine.status != CommandLineStatus::kRun) {
        printCommandLineError(commandLine);
        printUsage();
        return -1;
    }
    chooseConsoleSink(serverSettings.verbose != 0, serverSettings.status);
    if (takeLoginPassword() != 0 || openRequestedFiles() != 0 ||
        fixServedRoot(commandLine.rootArgument) != 0 || prepareTls() != 0 ||
        withholdOwnFiles() != 0) {
        printUsage();
        return -1;
    }
    if (startSockets() != 0) {
        printSystemError("Error: Winsock 2.0 required for OXBOW");
        return -1;
    }
    if (listLocalAddresses() != 0) {
        printConsole(ConsoleStream::kError, "ip query failed\n");
        return 1;
    }
    if (serverSettings.natAddress != nullptr) {
        copyText(serverSettings.localAddresses.addresses[0], kAddressTextSize,
                 serverSettings.natAddress);  // longer texts show their first 19 characters
    }
    SocketHandle listeners[kMaxListenAddresses];
    int listenerCount = openControlListeners(listeners);
    if (listenerCount == kSocketUnavailable && serverSettings.listenAddressCount > 0) {
        printUsage();  // an address of "-i" that this machine does not have
    }
    if (listenerCount < 0) {
        return -1;
    }
    printGuidance();
    // Without the handling, Ctrl-C and the signals end the process at once, leaving the
    // temporary files of uploads in progress.
    if (serverSettings.transferLogPath != nullptr) {
        handleReopenRequest(reopenTransferLog);  // SIGHUP follows logrotate's rename
    }
    (void)handleTermination(cleanUpAtTheEnd);
    // A read-only package's digests are ready before the first client asks; with uploads on,
    // files change, and each is digested when asked for. After the termination handling, whose
    // signal mask the thread takes.
    if (serverSettings.readOnly) {
        (void)startChecksumsOfTree();  // without the thread, requests start one
    }
    if (startTransferLogWriter() != 0) {
        printSystemError("Error: could not start the transfer log writer");
        return -1;
    }
    // Without the console thread the console is written at once: slower to a stalled
    // console, but nothing is lost.
    (void)startConsoleWriter();
    consoleSink.startStatusLine(composeStatusLine);
    int status = runAcceptLoop(listeners, listenerCount);
    // The accept loop's last words, and what sessions left queued, go out before the end.
    (void)flushTransferLog(kTransferLogFlushMilliseconds);
    (void)flushConsole(kConsoleFlushMilliseconds);
    return status;
}
