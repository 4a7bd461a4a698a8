// fs/listing.cpp: LIST, NLST and STAT lines.
#include "fs/listing.h"

#include <cstdio>
#include <cstring>

#include "app/settings.h"
#include "fs/working_directory.h"
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
    int length = std::snprintf(out, outSize, "%cr%c-r%c-r%c-   1 ftp  ftp    %7lld %s %s\r\n",
                               kind, write, write, write, entry->size, date, entry->name);
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

// The pattern for the find functions: the working directory's entries for an empty pattern,
// and the root's entries for the root itself (its parent is never read).
static std::string findPattern(const FtpSession* session, const std::string& pattern) {
    std::string folder;
    if (pattern.empty()) {
        folder = session->workingDirectory;
    } else if (pattern == serverSettings.realRootPath) {
        folder = pattern;
    } else {
        return pattern;
    }
    if (folder.empty() || folder.back() != kPathSeparator) {
        folder.push_back(kPathSeparator);
    }
    return folder + "*";
}

static void sendEntries(SocketHandle output, const std::string& pattern, bool longFormat) {
    FindEntry entry;
    FindState* state = findFirst(pattern.c_str(), &entry);
    if (state == nullptr) {
        return;  // nothing matches, or the folder cannot be read: an empty listing
    }
    bool sending = true;
    do {
        if (!isListed(&entry, longFormat)) {
            continue;
        }
        char line[kListingLineSize];
        int length = longFormat ? formatLongLine(line, sizeof line, &entry)
                                : std::snprintf(line, sizeof line, "%s\r\n", entry.name);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof line) {
            continue;
        }
        // Once the client has gone, further sends only fail; the listing still ends normally.
        if (sending && sendBytes(output, line, static_cast<std::size_t>(length)) != 0) {
            sending = false;
        }
    } while (findNext(state, &entry) == 0);
    findClose(state);
}

void sendListing(FtpSession* session, const std::string& pattern, bool longFormat,
                 bool overControl) {
    std::string findText = findPattern(session, pattern);
    if (overControl) {
        sendEntries(session->controlSocket, findText, longFormat);
        return;
    }
    sendReply(session, "150 Opening connection");
    SocketHandle data = openDataConnection(session);
    if (data == kNoSocket) {
        return;
    }
    sendEntries(data, findText, longFormat);
    closeSocket(data);
    sendReply(session, "226 Transfer complete");
}
