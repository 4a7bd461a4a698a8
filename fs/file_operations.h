// fs/file_operations.h: MDTM, SIZE, DELE, MKD, RMD, RNFR and RNTO.
#pragma once

#include <string>

struct FtpSession;

// Each takes the path below the root that resolvePath gave, and sends exactly one reply.

// MDTM and SIZE; isSize chooses SIZE.
void sendFileInfo(FtpSession* session, const std::string& path, bool isSize);
void deleteFile(FtpSession* session, const std::string& path);
void createDirectory(FtpSession* session, const std::string& path);
void deleteDirectory(FtpSession* session, const std::string& path);
// RNFR: keeps the source, as the client sees it, until the next RNTO.
void storeRenameSource(FtpSession* session, const std::string& path);
// RNTO: renames the source kept by RNFR to target (which may be empty: then it fails), and
// forgets the source whatever the outcome.
void renameToTarget(FtpSession* session, const std::string& target);
