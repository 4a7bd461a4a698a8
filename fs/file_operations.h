// fs/file_operations.h: MDTM, SIZE, DELE, MKD, RMD, RNFR and RNTO.
#pragma once

#include <string>

struct FtpSession;

// MDTM and SIZE; isSize chooses SIZE.
void sendFileInfo(FtpSession* session, const char* path, bool isSize);
void deleteFile(FtpSession* session, const char* path);
void createDirectory(FtpSession* session, const char* path);
void deleteDirectory(FtpSession* session, const char* path);
// RNFR: keeps the source, as the client sees it, in the session's scratch text.
void storeRenameSource(FtpSession* session, const char* path);
// RNTO: renames the source kept by RNFR to target (which may be empty: then it fails).
void renameToTarget(FtpSession* session, const std::string& target);
