// fs/transfer.h: RETR and STOR.
#pragma once

struct FtpSession;

// RETR: sends the file at path over a data connection.
void sendFile(FtpSession* session, const char* path);
// STOR: receives a file into a temporary file beside path and moves it over path only when
// every byte has arrived and been written, so a failed upload never harms an existing file.
void receiveFile(FtpSession* session, const char* path);
