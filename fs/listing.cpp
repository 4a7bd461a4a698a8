// fs/listing.cpp: LIST, NLST and STAT lines.
#include "fs/listing.h"

#include <cstdio>
#include <cstring>

#include "app/settings.h"
#include "fs/resolve_path.h"
#include "platform/platform.h"
#include "session/data_connection.h"
#include "session/reply.h"
#include "session/session.h"

const char kUploadPrefix[] = ".tarnLoader-upload-";

static const char* const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// "%b %d  %Y" in the C locale, whatever locale the environment sets. A time the platform
// cannot convert shows as the first day of 1970, so that clients still parse the line.
static void formatDate(char* out, std::size_t outSize, long long time) {
    LocalTime local;
    if (toLocalTime(time, &local) != 0 || local.month < 1 || local.month > 12) {
        local.year = 1970;
        local.month = 1;
        local.day = 1;
    }
    std::snprintf(out, outSize, "%s %02d  %04d", kMonthNames[local.month - 1], local.day,
                  local.year);
}

int formatLongLine(char* out, std::size_t outSize, const FindEntry* entry) {
    char date[kDateTextSize];
    formatDate(date, sizeof date, entry->writeTime);
    char kind = (entry->attributes & kAttributeDirectory) != 0 ? 'd' : '-';
    char write = (entry->attributes & kAttributeReadOnly) != 0 ? '-' : 'w';
    int length = std::snprintf(out, outSize, "%cr%c-r%c-r%c-   1 ftp  ftp    %7lld %s %s\r\n", kind,
                               write, write, write, entry->size, date, entry->name);
    return (length >= 0 && static_cast<std::size_t>(length) < outSize) ? length : -1;
}

static bool isListed(const FindEntry* entry, bool longFormat) {
    if (std::strcmp(entry->name, ".") == 0 || std::strcmp(entry->name, "..") == 0) {
        return false;
    }
    // An upload in progress is not yet a file anyone should fetch.
    if (std::strncmp(entry->name, kUploadPrefix, sizeof kUploadPrefix - 1) == 0) {
        return false;
    }
    return !longFormat || (entry->attributes & (kAttributeHidden | kAttributeSystem)) == 0;
}

// What a listing enumerates: a folder below the root and the pattern its names must match.
struct ListingTarget {
    std::string folder;
    std::string pattern;
};

static bool hasWildcard(const std::string& name) {
    return name.find_first_of("*?") != std::string::npos;
}

// Splits a client path ("/", "/fw/latest") into its folder and its last name.
static void splitClientPath(const char* clientPath, ListingTarget* target) {
    std::string path = toRootRelative(clientPath);
    std::size_t slash = path.rfind('/');
    if (path == ".") {
        target->folder = ".";
        target->pattern = "*";
    } else if (slash == std::string::npos) {
        target->folder = ".";
        target->pattern = path;
    } else {
        target->folder = path.substr(0, slash);
        target->pattern = path.substr(slash + 1);
    }
}

// The folder and pattern for path (empty: the working directory). A name without wildcards
// is the entry it names, followed through links: a folder yields its own line, the root its
// entries. Returns -1 with the error set when the path is refused.
static int chooseTarget(const FtpSession* session, const std::string& path, ListingTarget* target) {
    if (path.empty()) {
        target->folder = toRootRelative(session->workingDirectory);
        target->pattern = "*";
        return 0;
    }
    std::size_t slash = path.rfind('/');
    std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    if (hasWildcard(last)) {
        target->folder = slash == std::string::npos ? "." : path.substr(0, slash);
        target->pattern = last;
        return 0;
    }
    char reached[kClientPathSize];
    FileStatus status;
    if (locateBeneath(session->root, path.c_str(), reached, sizeof reached, &status) == 0) {
        splitClientPath(reached, target);
        return 0;
    }
    if (isLastError(ErrorKind::kRefusedPath) || last == "." || last == "..") {
        return -1;
    }
    // Not there by its exact name: listings match names without regard to case.
    target->folder = slash == std::string::npos ? "." : path.substr(0, slash);
    target->pattern = last;
    return 0;
}

static void sendEntries(SocketHandle output, FindState* state, FindEntry* entry, bool longFormat) {
    bool sending = true;
    do {
        if (!isListed(entry, longFormat)) {
            continue;
        }
        char line[kListingLineSize];
        int length = longFormat ? formatLongLine(line, sizeof line, entry)
                                : std::snprintf(line, sizeof line, "%s\r\n", entry->name);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof line) {
            continue;
        }
        // Once the client has gone, further sends only fail; the listing still ends normally.
        if (sending && sendBytes(output, line, static_cast<std::size_t>(length)) != 0) {
            sending = false;
        }
    } while (findNext(state, entry) == 0);
}

void sendListing(FtpSession* session, const std::string& path, bool longFormat, bool overControl) {
    ListingTarget target;
    FindEntry entry;
    FindState* state = nullptr;
    if (chooseTarget(session, path, &target) == 0) {
        state = findFirst(session->root, target.folder.c_str(), target.pattern.c_str(), &entry);
    }
    // SECURITY: a folder outside the root is refused before anything is listed; one that
    // cannot be read, or holds no match, gives an empty listing.
    if (state == nullptr && isLastError(ErrorKind::kRefusedPath)) {
        sendErrorReply(session);
        return;
    }
    if (overControl) {
        if (state != nullptr) {
            sendEntries(session->controlSocket, state, &entry, longFormat);
        }
        findClose(state);
        return;
    }
    sendReply(session, "150 Opening connection");
    SocketHandle data = openDataConnection(session);
    if (data != kNoSocket) {
        if (state != nullptr) {
            sendEntries(data, state, &entry, longFormat);
        }
        closeSocket(data);
        sendReply(session, "226 Transfer complete");
    }
    findClose(state);
}
