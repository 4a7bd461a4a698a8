// fs/transfer.h: RETR, STOR and APPE.
#pragma once

#include <string>

struct FtpSession;

// RETR: sends the file at path (below the root, from resolvePath) over a data connection,
// from the session's restart offset on. Each RETR and STOR here, refused or not, writes one
// line to the transfer log after its final reply.
void sendFile(FtpSession* session, const std::string& path);
// STOR: receives a file into a temporary file beside path and moves it over path only when
// every byte has arrived and been written, so a failed upload never harms an existing file.
// The folder the lookup found is held throughout: the file lands where path was checked.
// After REST n the temporary file starts as a copy of the file's first n bytes; a missing
// file, or an n beyond its end, is refused before the "150".
void receiveFile(FtpSession* session, const std::string& path);
// APPE: as STOR, with the temporary file starting as a copy of the whole existing file (or
// empty when there is none), so the file grows only by a complete upload.
void appendToFile(FtpSession* session, const std::string& path);
