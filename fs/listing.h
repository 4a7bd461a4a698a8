// fs/listing.h: LIST, NLST and STAT.
#pragma once

#include <cstddef>
#include <string>

struct FtpSession;
struct FindEntry;

constexpr std::size_t kListingLineSize = 500;
constexpr std::size_t kDateTextSize = 20;
// Uploads in progress are received under names with this prefix; listings never show them.
extern const char kUploadPrefix[];

// Formats one long listing line ("-rw-rw-rw-   1 ftp  ftp  ..." and CR LF). Returns the
// line's length, or -1 when it does not fit.
int formatLongLine(char* out, std::size_t outSize, const FindEntry* entry);

// Sends the entries that path matches (a path below the root from resolvePath; empty for the
// working directory). Over a data connection framed by "150" and "226", or, with overControl,
// as bare lines on the control connection. A path that leads out of the root gets "550 Path
// permission error" alone.
void sendListing(FtpSession* session, const std::string& path, bool longFormat, bool overControl);
