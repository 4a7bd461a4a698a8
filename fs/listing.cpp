// fs/listing.cpp: LIST, NLST and STAT lines.
#include "fs/listing.h"

#include <cstdio>
#include <cstring>

#include "fs/resolve_path.h"
#include "fs/uploads.h"
#include "platform/path_text.h"
#include "platform/platform.h"
#include "session/reply.h"
#include "session/session.h"
#include "session/transfer_runner.h"

static const char* const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// "%b %d  %Y" in the C locale, whatever locale the environment sets. A time the platform
// cannot convert shows as the first day of 1970, so that clients still parse the line.
static void formatDate(char* out, std::size_t outSize, long long time) {
    CalendarTime local;
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
    if (isUploadName(entry->name)) {
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

// Splits a path below the root into its folder ("." at the top) and its last name.
static void splitLastName(const std::string& path, ListingTarget* target) {
    std::size_t slash = path.rfind('/');
    target->folder = slash == std::string::npos ? "." : path.substr(0, slash);
    target->pattern = slash == std::string::npos ? path : path.substr(slash + 1);
}

// The folder and pattern for path (empty: the working directory). A name without wildcards
// is the entry it names, followed through links: a folder yields its own line, the root its
// entries. Returns -1 with the error set when the path is refused.
static int chooseTarget(const FtpSession* session, const std::string& path, ListingTarget* target) {
    std::string folderPath = path;
    if (path.empty()) {
        folderPath = toRootRelative(session->workingDirectory);
    } else {
        splitLastName(path, target);
        if (hasWildcard(target->pattern)) {
            return 0;
        }
        char reached[kClientPathSize];
        FileStatus status;
        if (locateBeneath(session->root, path.c_str(), reached, sizeof reached, &status) != 0) {
            // Not there by its exact name: listings match names without regard to case.
            bool isDots = target->pattern == "." || target->pattern == "..";
            return isLastError(ErrorKind::kRefusedPath) || isDots ? -1 : 0;
        }
        folderPath = reached;
        if (folderPath != ".") {
            splitLastName(folderPath, target);
            return 0;
        }
    }
    target->folder = folderPath;
    target->pattern = "*";
    return 0;
}

static int formatNameLine(char* out, std::size_t outSize, const FindEntry* entry) {
    int length = std::snprintf(out, outSize, "%s\r\n", entry->name);
    return (length >= 0 && static_cast<std::size_t>(length) < outSize) ? length : -1;
}

// "type=...;size=...;modify=...;" for an entry: the facts MLSD and MLST give, time in UTC.
static int formatFacts(char* out, std::size_t outSize, bool isFolder, long long size,
                       long long writeTime) {
    CalendarTime utc;
    if (toUniversalTime(writeTime, &utc) != 0) {
        utc = {1970, 1, 1, 4, 0, 0, 0};  // a time the platform rejects still gives a valid fact
    }
    int length = std::snprintf(out, outSize, "type=%s;size=%lld;modify=%04d%02d%02d%02d%02d%02d;",
                               isFolder ? "dir" : "file", isFolder ? 0LL : size, utc.year,
                               utc.month, utc.day, utc.hour, utc.minute, utc.second);
    return (length >= 0 && static_cast<std::size_t>(length) < outSize) ? length : -1;
}

int formatFactsLine(char* out, std::size_t outSize, const FindEntry* entry) {
    char facts[kListingLineSize];
    if (formatFacts(facts, sizeof facts, (entry->attributes & kAttributeDirectory) != 0,
                    entry->size, entry->writeTime) < 0) {
        return -1;
    }
    int length = std::snprintf(out, outSize, "%s %s\r\n", facts, entry->name);
    return (length >= 0 && static_cast<std::size_t>(length) < outSize) ? length : -1;
}

// How a listing shows its entries.
struct ListingStyle {
    int (*format)(char* out, std::size_t outSize, const FindEntry* entry);
    bool showsHidden;  // hidden and system entries: NLST shows them, the others do not
};

// The lines around a STAT listing on the control connection (RFC 959): 211 for the status of
// the working directory, 213 for that of a path the client named.
struct ControlFrame {
    const char* first;
    const char* last;
};

static const ControlFrame kStatusFrame = {"211-Status follows:", "211 End"};
static const ControlFrame kPathStatusFrame = {"213-Status follows:", "213 End"};

// Sends each entry as a line of the session's reply. Stops at the first that did not go out.
static void sendEntriesAsReply(FtpSession* session, FindState* state, FindEntry* entry,
                               const ListingStyle& style) {
    do {
        if (!isListed(entry, !style.showsHidden)) {
            continue;
        }
        char line[kListingLineSize];
        int length = style.format(line, sizeof line, entry);
        if (length < 2) {
            continue;
        }
        line[length - 2] = '\0';  // a reply line gets its line end, and its names' safety,
        sendReplyContinuation(session, line);  // from sendReplyContinuation
    } while (!session->hasLostControl && findNext(state, entry) == 0);
}

// A listing under way over a data connection: the enumeration and the entry it stands at.
struct ListingCursor {
    FindState* state;  // nullptr once every entry is out
    FindEntry* entry;
    ListingStyle style;
};

// Fills out with the next entries' lines, as many whole lines as fit.
static std::size_t nextListingLines(void* context, char* out, std::size_t outSize) {
    ListingCursor* cursor = static_cast<ListingCursor*>(context);
    std::size_t used = 0;
    while (cursor->state != nullptr) {
        if (isListed(cursor->entry, !cursor->style.showsHidden)) {
            char line[kListingLineSize];
            int length = cursor->style.format(line, sizeof line, cursor->entry);
            if (length > 0 && static_cast<std::size_t>(length) > outSize - used) {
                break;  // it goes first next time
            }
            if (length > 0) {
                std::memcpy(out + used, line, static_cast<std::size_t>(length));
                used += static_cast<std::size_t>(length);
            }
        }
        if (findNext(cursor->state, cursor->entry) != 0) {
            cursor->state = nullptr;
        }
    }
    return used;
}

// Sends what the enumeration found over a data connection framed by "150" and its final reply
// (or, with a frame, as a reply on the control connection), then ends the enumeration.
static void sendFound(FtpSession* session, FindState* state, FindEntry* entry,
                      const ListingStyle& style, const ControlFrame* frame) {
    if (frame != nullptr) {
        sendReplyContinuation(session, frame->first);
        if (state != nullptr) {
            sendEntriesAsReply(session, state, entry, style);  // a lost reply ends the session
        }
        sendReply(session, frame->last);
    } else {
        // "226" promises the whole listing: a client that lost part of it must not take the
        // rest for a folder's whole content (a mirror would delete what it missed).
        ListingCursor cursor = {state, entry, style};
        TransferWork work = {TransferKind::kListing, nullptr, -1,      -1,      0,
                             nextListingLines,       nullptr, nullptr, &cursor, {}};
        runTransfer(session, &work);
    }
    findClose(state);
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
    ListingStyle style = {longFormat ? formatLongLine : formatNameLine, !longFormat};
    const ControlFrame* frame = nullptr;
    if (overControl) {
        frame = session->argumentText[0] == '\0' ? &kStatusFrame : &kPathStatusFrame;
    }
    sendFound(session, state, &entry, style, frame);
}

// Clients send ls options ("-a", "-la") before the path. An option word is taken off unless
// an entry of exactly that name is there.
int resolveListingArgument(const FtpSession* session, const char* argument, std::string* path) {
    if (argument[0] != '-') {
        return resolvePath(session, argument, path);
    }
    FileStatus status;
    if (resolvePath(session, argument, path) == 0 &&
        fileStatusBeneath(session->root, path->c_str(), &status) == 0) {
        return 0;
    }
    const char* rest = argument;
    while (rest[0] == '-') {
        rest += std::strcspn(rest, " ");
        rest += std::strspn(rest, " ");
    }
    return resolvePath(session, rest, path);
}

// Where the folder or entry that path names (the working directory when empty) is, relative to
// the root. Sends the error reply and returns -1 when it is refused or missing.
static int locateOrReply(FtpSession* session, const std::string& path, char* reached,
                         std::size_t reachedSize, FileStatus* status) {
    std::string lookup = path.empty() ? toRootRelative(session->workingDirectory) : path;
    if (locateBeneath(session->root, lookup.c_str(), reached, reachedSize, status) != 0) {
        sendErrorReply(session);
        return -1;
    }
    return 0;
}

void sendMachineListing(FtpSession* session, const std::string& path) {
    char reached[kClientPathSize];
    FileStatus status;
    if (locateOrReply(session, path, reached, sizeof reached, &status) != 0) {
        return;
    }
    if (!status.isDirectory) {
        sendReply(session, "501 Not a folder");
        return;
    }
    FindEntry entry;
    FindState* state = findFirst(session->root, reached, "*", &entry);
    if (state == nullptr && isLastError(ErrorKind::kRefusedPath)) {
        sendErrorReply(session);
        return;
    }
    sendFound(session, state, &entry, {formatFactsLine, false}, nullptr);
}

void sendEntryFacts(FtpSession* session, const std::string& path) {
    char reached[kClientPathSize];
    FileStatus status;
    if (locateOrReply(session, path, reached, sizeof reached, &status) != 0) {
        return;
    }
    char shown[kClientPathSize];
    char facts[kListingLineSize];
    char line[kReplyTextSize];
    int length =
        formatFacts(facts, sizeof facts, status.isDirectory, status.size, status.modifiedTime);
    int written = toClientPath(reached, shown, sizeof shown) != 0
                      ? -1
                      : std::snprintf(line, sizeof line, " %s %s", facts, shown);
    if (length < 0 || written < 0 || static_cast<std::size_t>(written) >= sizeof line) {
        setLastError(ErrorKind::kNotFound);
        sendErrorReply(session);
        return;
    }
    char first[kReplyTextSize];
    std::snprintf(first, sizeof first, "250-Listing %s", shown);  // shorter than line
    sendReplyContinuation(session, first);
    sendReplyContinuation(session, line);
    sendReply(session, "250 End");
}
