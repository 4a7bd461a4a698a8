// session/operator_status.cpp: the event lines of "-status" and the text of its status line.
// Sessions print their own lines; the console thread composes the status line from counters and
// from the table of shown transfers, whose bytes each session counts without a lock.
#include "session/operator_status.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/settings.h"
#include "base/shared_locks.h"
#include "base/text.h"
#include "fs/resolve_path.h"
#include "fs/transfer_outcome.h"
#include "session/console_sink.h"
#include "session/session.h"
#include "session/time_limits.h"

// Room for a path from the root, "/" and the path, as an event line names it, escaped.
constexpr std::size_t kShownPathSize = escapedTextSize(kClientPathSize + 2);
// Room for one event line's own words, after its prefix: two names (a rename's) and a reason.
constexpr std::size_t kEventTextSize = 2 * kShownPathSize + 512;

static std::atomic<int> connectedCount{0};
static std::atomic<long long> sessionCount{0};  // every session that connected
static std::atomic<int> runningTransferCount{0};
static std::atomic<long long> completeCount{0};
static std::atomic<long long> cutOffCount{0};
// Under SharedLock::kStatusTable. A session enters its transfer at the "150" and takes it out
// before the transfer's command ends, so a record here is always a live one.
static FtpSession* shownTransfers[kShownTransferCount];

static double secondsSince(long long startMilliseconds) {
    return static_cast<double>(monotonicMilliseconds() - startMilliseconds) / 1000.0;
}

// Megabytes (10^6 bytes) a second; a transfer too quick to time counts as one millisecond.
static double megabytesPerSecond(long long bytes, double seconds) {
    return static_cast<double>(bytes) / 1e6 / (seconds < 0.001 ? 0.001 : seconds);
}

// Takes the running transfer, if any, off the status line.
static void takeTransferOff(SessionReport* report) {
    if (report->shownSlot >= 0) {
        takeLock(SharedLock::kStatusTable);
        shownTransfers[report->shownSlot] = nullptr;
        releaseLock(SharedLock::kStatusTable);
        report->shownSlot = -1;
    }
    if (report->isTransferRunning) {
        runningTransferCount.fetch_sub(1);
        report->isTransferRunning = false;
    }
}

void printSessionText(const FtpSession* session, ConsoleStream stream, const char* format, ...) {
    char text[kConsoleTextSize];
    std::va_list arguments;
    va_start(arguments, format);
    int length = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length < 0) {
        return;  // never for our own formats
    }
    char prefix[kEventPrefixSize] = "";
    if (session != nullptr) {
        consoleSink.formatPrefix(session, prefix, sizeof prefix);
    }
    printConsole(stream, "%s%s", prefix, text);
}

void printSessionError(const FtpSession* session, const char* text) {
    char errorText[kErrorTextSize];
    lastErrorText(errorText, sizeof errorText);  // before the clock can change the error
    printSessionText(session, ConsoleStream::kError, "%s: %s\n", text, errorText);
}

// How an event line names a file: from the root, as the verb resolved it ("/fw/image.bin"), so
// that a name given after a CWD reads whole. Without a path (a verb refused before it resolved
// its argument) the argument is resolved here; one that does not resolve (outside the root, an
// upload's own file) is shown as the client typed it. Escaped either way.
static void formatShownPath(const FtpSession* session, const char* path, char* out,
                            std::size_t outSize) {
    std::string resolved;
    if (path == nullptr && resolvePath(session, session->argumentText, &resolved) == 0) {
        path = resolved.c_str();
    }
    if (path == nullptr || path[0] == '\0') {
        (void)escapeString(out, outSize, session->argumentText);
        return;
    }
    char shown[kClientPathSize + 2];
    // A path too long for the line still shows its start.
    std::snprintf(shown, sizeof shown, "/%s", std::strcmp(path, ".") == 0 ? "" : path);
    (void)escapeString(out, outSize, shown);
}

// "192.0.2.10" or "[2001:db8::1]", and ":port" after it when asked.
static void formatClient(const NetworkAddress* peer, bool withPort, char* out,
                         std::size_t outSize) {
    char host[kNetworkAddressTextSize];
    if (formatAddress(peer, host, sizeof host) != 0) {
        host[0] = '\0';  // never for an address that accept gave
    }
    bool isIpv6 = peer->family == AddressFamily::kIpv6;
    std::size_t used = 0;
    (void)appendFormat(out, outSize, &used, isIpv6 ? "[%s]" : "%s", host);
    if (withPort) {
        (void)appendFormat(out, outSize, &used, ":%u", static_cast<unsigned>(peer->port));
    }
}

void reportConnected(FtpSession* session) {
    SessionReport* report = &session->report;
    report->connectedAt = monotonicMilliseconds();
    report->shownSlot = -1;
    // Two sessions from one address are told apart by the port of the later one.
    formatClient(&session->peerAddress, isHostShared(&session->ticket, &session->peerAddress),
                 report->client, sizeof report->client);
    connectedCount.fetch_add(1);
    sessionCount.fetch_add(1);
    consoleSink.showEvent(session, "connected");
}

void reportLogin(const FtpSession* session) {
    char name[escapedTextSize(kArgumentTextSize)];
    (void)escapeString(name, sizeof name, session->userName);
    char text[kEventTextSize];
    std::snprintf(text, sizeof text, "logged in as %s%s", name,
                  session->controlTls != nullptr ? " (TLS)" : "");  // always fits
    consoleSink.showEvent(session, text);
}

void reportLoginRefused(const FtpSession* session, const char* name, const char* reply) {
    char shown[escapedTextSize(kArgumentTextSize)];
    (void)escapeString(shown, sizeof shown, name);
    char text[kEventTextSize];
    std::snprintf(text, sizeof text, "login refused%s%s: %s", shown[0] != '\0' ? " for " : "",
                  shown, reply);
    consoleSink.showEvent(session, text);
}

void reportClosedByLimit(const FtpSession* session, const char* reply) {
    char text[kEventTextSize];
    std::snprintf(text, sizeof text, "closed: %s", reply);
    consoleSink.showEvent(session, text);
}

void reportDisconnected(FtpSession* session) {
    SessionReport* report = &session->report;
    if (report->connectedAt == 0) {
        return;
    }
    // SECURITY: a transfer that a failure left in the table must not outlive its record, which
    // the console thread would read after it is freed.
    takeTransferOff(report);
    char text[kEventTextSize];
    std::snprintf(text, sizeof text,
                  "disconnected after %.1f s: %d downloaded (%lld bytes), %d uploaded (%lld "
                  "bytes); %d complete, %d cut off",
                  secondsSince(report->connectedAt), report->downloads, report->downloadedBytes,
                  report->uploads, report->uploadedBytes, report->completeCount,
                  report->cutOffCount);
    consoleSink.showEvent(session, text);
    connectedCount.fetch_sub(1);
}

void reportRefusedConnection(const NetworkAddress* peer, const char* reply, bool isFromAddress) {
    // The operator learns which option to raise; an IPv6 host may have met its /64's share.
    char limit[64];
    int perAddress = serverSettings.maxPerAddress;
    if (!isFromAddress) {
        std::snprintf(limit, sizeof limit, "-maxsessions %d", serverSettings.maxSessions);
    } else if (peer->family == AddressFamily::kIpv6) {
        std::snprintf(limit, sizeof limit, "-maxperaddress %d, %d from one /64", perAddress,
                      perAddress * kSharedNetworkFactor);
    } else {
        std::snprintf(limit, sizeof limit, "-maxperaddress %d", perAddress);
    }
    char client[kShownClientSize];
    formatClient(peer, true, client, sizeof client);
    char text[kEventTextSize];
    std::snprintf(text, sizeof text, "%s refused: %s (%s)", client, reply, limit);
    consoleSink.showEvent(nullptr, text);  // the time alone: no session yet
    char host[kNetworkAddressTextSize];
    if (formatAddress(peer, host, sizeof host) != 0) {
        host[0] = '\0';  // never for an address that accept gave
    }
    consoleSink.printUntimed(ConsoleStream::kError,
                             "Refused a connection from %s: too many sessions%s\n", host,
                             isFromAddress ? " from that address" : "");
}

void reportNoDataConnection(const FtpSession* session) {
    NetworkAddress told = session->serverAddress;
    told.port = static_cast<unsigned short>(session->passivePort);
    char target[kShownClientSize];
    formatClient(&told, true, target, sizeof target);
    char client[kShownClientSize];
    formatClient(&session->peerAddress, false, client, sizeof client);
    char text[kEventTextSize];
    std::snprintf(text, sizeof text,
                  "no connection to %s from %s within %g s: a firewall on this PC may block "
                  "the passive ports; see README",
                  target, client,
                  limitFor(session, SessionState::kAwaitingData) / 1000.0);  // always fits
    consoleSink.showEvent(session, text);
}

void reportNoClientYet(int minutes, int port) {
    const LocalAddressList* list = &serverSettings.localAddresses;
    char address[kNetworkAddressTextSize + 8];
    std::snprintf(address, sizeof address, list->count == 1 ? "%s" : "one of the addresses above",
                  list->addresses[0]);
    char text[kEventTextSize];
    std::snprintf(text, sizeof text,
                  "no client has connected in %d minutes: the chassis's form needs %s (port %d), "
                  "and a firewall on this PC may keep it out; see README",
                  minutes, address, port);
    consoleSink.showEvent(nullptr, text);
}

void noteReply(FtpSession* session, const char* text) {
    (void)copyText(session->report.lastReply, sizeof session->report.lastReply, text);
}

void startTransferReport(FtpSession* session, long long size) {
    SessionReport* report = &session->report;
    // The status line has room for a name's end: the part after the last slash.
    const char* name = std::strrchr(session->argumentText, '/');
    name = name != nullptr && name[1] != '\0' ? name + 1 : session->argumentText;
    (void)escapeString(report->transferName, sizeof report->transferName, name);
    report->transferSize = size;
    report->transferStartedAt = monotonicMilliseconds();
    report->transferredBytes.store(0, std::memory_order_relaxed);
    report->isTransferRunning = true;
    runningTransferCount.fetch_add(1);
    takeLock(SharedLock::kStatusTable);
    for (int i = 0; i < kShownTransferCount && report->shownSlot < 0; i++) {
        if (shownTransfers[i] == nullptr) {
            shownTransfers[i] = session;
            report->shownSlot = i;
        }
    }
    releaseLock(SharedLock::kStatusTable);
}

// Takes the transfer off the status line and counts how it ended.
static void endTransferReport(FtpSession* session, bool isUpload, const TransferOutcome* outcome) {
    SessionReport* report = &session->report;
    takeTransferOff(report);
    (isUpload ? report->uploads : report->downloads)++;
    (isUpload ? report->uploadedBytes : report->downloadedBytes) += outcome->bytes;
    (outcome->complete ? report->completeCount : report->cutOffCount)++;
    (outcome->complete ? completeCount : cutOffCount).fetch_add(1);
}

void reportTransferEnd(FtpSession* session, bool isUpload, const char* path,
                       const TransferOutcome* outcome) {
    char name[kShownPathSize];
    formatShownPath(session, path, name, sizeof name);
    char text[kEventTextSize];
    std::size_t used = 0;
    (void)appendFormat(text, sizeof text, &used, "%s %s: ", isUpload ? "upload" : "download", name);
    if (!outcome->started) {
        takeTransferOff(&session->report);  // shown from its "150" until its data was refused
        (void)appendFormat(text, sizeof text, &used, "refused: %s", session->report.lastReply);
        consoleSink.showEvent(session, text);
        return;
    }
    endTransferReport(session, isUpload, outcome);
    double seconds = secondsSince(outcome->startMilliseconds);
    if (outcome->complete) {
        (void)appendFormat(text, sizeof text, &used, "complete, %lld bytes", outcome->bytes);
    } else {
        (void)appendFormat(text, sizeof text, &used, "cut off at %lld", outcome->bytes);
        if (outcome->size >= 0) {
            (void)appendFormat(text, sizeof text, &used, " of %lld", outcome->size);
        }
        (void)appendFormat(
            text, sizeof text, &used, " bytes (%s)",
            outcome->cutOffReason[0] != '\0' ? outcome->cutOffReason : session->report.lastReply);
    }
    (void)appendFormat(text, sizeof text, &used, " in %.2f s, %.1f MB/s", seconds,
                       megabytesPerSecond(outcome->bytes, seconds));
    consoleSink.showEvent(session, text);
}

// The verbs whose refusals the operator sees, and for those that change the tree, what their
// line says once they succeed. The rest come too often (CWD, SIZE before each download) or are
// told by another line (RNFR, by RNTO's) to be worth a line of their own when they succeed.
struct CommandWords {
    const char* verb;
    const char* done;  // nullptr: no line on success
};
static const CommandWords kReportedCommands[] = {
    {"SIZE", nullptr},         {"MDTM", nullptr},          {"CWD", nullptr},
    {"CDUP", nullptr},         {"XCUP", nullptr},          {"RNFR", nullptr},
    {"DELE", "deleted"},       {"MKD", "made folder"},     {"XMKD", "made folder"},
    {"RMD", "removed folder"}, {"XRMD", "removed folder"}, {"RNTO", "renamed"},
};

void reportCommandEnd(const FtpSession* session, const char* verbName, const char* path,
                      const char* source) {
    if (verbName == nullptr) {
        return;
    }
    const CommandWords* words = nullptr;
    for (const CommandWords& row : kReportedCommands) {
        if (std::strcmp(row.verb, verbName) == 0) {
            words = &row;
        }
    }
    const char* reply = session->report.lastReply;
    bool isRefused = reply[0] == '4' || reply[0] == '5';
    if (words == nullptr || (!isRefused && words->done == nullptr)) {
        return;
    }
    char name[kShownPathSize];
    formatShownPath(session, path, name, sizeof name);
    char text[kEventTextSize];
    std::size_t used = 0;
    if (isRefused) {
        (void)appendFormat(text, sizeof text, &used, "%s%s%s: refused: %s", words->verb,
                           name[0] != '\0' ? " " : "", name, reply);
    } else if (source != nullptr) {
        char from[kShownPathSize];
        formatShownPath(session, source, from, sizeof from);
        (void)appendFormat(text, sizeof text, &used, "%s %s to %s", words->done, from, name);
    } else {
        (void)appendFormat(text, sizeof text, &used, "%s %s", words->done, name);
    }
    consoleSink.showEvent(session, text);
}

// " · 192.0.2.10 image.bin 45% 30.1 MB/s" for each named transfer.
static void appendShownTransfers(char* out, std::size_t outSize, std::size_t* used) {
    takeLock(SharedLock::kStatusTable);
    for (const FtpSession* session : shownTransfers) {
        if (session == nullptr) {
            continue;
        }
        const SessionReport* report = &session->report;
        long long bytes = report->transferredBytes.load(std::memory_order_relaxed);
        (void)appendFormat(out, outSize, used, " \u00b7 %s %s", report->client,
                           report->transferName);
        if (report->transferSize > 0) {
            (void)appendFormat(out, outSize, used, " %lld%%", bytes * 100 / report->transferSize);
        } else {
            (void)appendFormat(out, outSize, used, " %.1f MB", static_cast<double>(bytes) / 1e6);
        }
        (void)appendFormat(out, outSize, used, " %.1f MB/s",
                           megabytesPerSecond(bytes, secondsSince(report->transferStartedAt)));
    }
    releaseLock(SharedLock::kStatusTable);
}

std::size_t composeStatusLine(char* out, std::size_t outSize) {
    std::size_t used = 0;
    out[0] = '\0';
    int running = runningTransferCount.load();
    (void)appendFormat(out, outSize, &used, "%d connected \u00b7 %d transfer%s",
                       connectedCount.load(), running, running == 1 ? "" : "s");
    appendShownTransfers(out, outSize, &used);
    (void)appendFormat(out, outSize, &used, " \u00b7 %lld done, %lld cut off", completeCount.load(),
                       cutOffCount.load());
    return used;
}

// "1 file" or "2 files": the summary is read by people, not only by grep.
static const char* plural(long long count) {
    return count == 1 ? "" : "s";
}

void reportServerEnd() {
    long long sessions = sessionCount.load();
    long long complete = completeCount.load();
    int running = runningTransferCount.load();
    char text[kEventTextSize];
    std::size_t used = 0;
    (void)appendFormat(text, sizeof text, &used,
                       "ending: %lld session%s, %lld file%s complete, %lld cut off", sessions,
                       plural(sessions), complete, plural(complete), cutOffCount.load());
    if (running > 0) {
        // The process ends them now; they count as neither.
        (void)appendFormat(text, sizeof text, &used, ", %d transfer%s still running", running,
                           plural(running));
    }
    consoleSink.showEvent(nullptr, text);
}
