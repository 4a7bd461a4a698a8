// fs/listing.h: LIST, NLST and STAT, and the machine listings MLSD and MLST.
#pragma once

#include <cstddef>
#include <string>

#include "platform/platform.h"

struct FtpSession;

// Room for the longest name an enumeration gives and the facts or long-format fields.
constexpr std::size_t kListingLineSize = kEntryNameSize + 256;
constexpr std::size_t kDateTextSize = 20;

// Formats one long listing line ("-rw-rw-rw-   1 ftp  ftp  ..." and CR LF). Returns the
// line's length, or -1 when it does not fit.
int formatLongLine(char* out, std::size_t outSize, const FindEntry* entry);
// Formats one MLSD line: "type=file;size=N;modify=YYYYMMDDHHMMSS; name" and CR LF, the time in
// UTC, a folder's size 0. Returns the line's length, or -1 when it does not fit.
int formatFactsLine(char* out, std::size_t outSize, const FindEntry* entry);

// resolvePath for LIST, NLST and STAT: leading words that start with "-" are ls options and
// are taken off, unless the whole argument names an entry that is there.
int resolveListingArgument(const FtpSession* session, const char* argument, std::string* path);

// Sends the entries that path matches (a path below the root from resolvePath; empty for the
// working directory). Over a data connection framed by "150" and "226", or, with overControl,
// as the lines of a reply on the control connection between "211-" and "211 End" ("213" when
// a path is named). A path that leads out of the root gets "550 Path permission error" alone.
void sendListing(FtpSession* session, const std::string& path, bool longFormat, bool overControl);

// MLSD: the entries of the folder path names (the working directory when empty) as fact lines
// over a data connection, framed by "150" and "226". A file gets "501 Not a folder".
void sendMachineListing(FtpSession* session, const std::string& path);
// MLST: the facts of the entry path names (the working directory when empty) on the control
// connection: "250-Listing path", " facts; path" and "250 End".
void sendEntryFacts(FtpSession* session, const std::string& path);
