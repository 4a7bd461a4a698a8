// session/security.h: FTP over TLS (RFC 4217: AUTH, PBSZ, PROT) and the optional login (USER,
// PASS with "-login"), and what each asks of the verbs before they run.
#pragma once

struct FtpSession;

// AUTH TLS (or SSL): "234", then the handshake on the control connection. The session ends
// when the handshake fails. Without "-tls": 502; a second AUTH: 503.
void startControlTls(FtpSession* session, const char* argument);
// PBSZ: "200 PBSZ=0" for a number once TLS protects the control connection.
void setProtectionBufferSize(FtpSession* session, const char* argument);
// PROT P or C: whether the next data connections make a TLS handshake. S and E: 536.
void setProtectionLevel(FtpSession* session, const char* argument);
// USER: keeps the name for PASS.
void takeUserName(FtpSession* session, const char* argument);
// PASS: "230" for the "-login" name and password (or anything without "-login"); "530 Login
// incorrect." otherwise, and after the third failure "421 Too many failed logins." a second
// later, which ends the session.
void checkPassword(FtpSession* session, const char* argument);

// What a verb may do before its work runs.
constexpr unsigned kRunsBeforeLogin = 0x10;      // needs no login, even with "-login"
constexpr unsigned kIsLogin = 0x20;  // USER and PASS: TLS first under "-tlsonly" or "-tls -login"
constexpr unsigned kOpensDataConnection = 0x40;  // PROT P first under "-tlsonly"

// The reply that refuses a verb of these flags before its work (a login or TLS that the
// options ask for and the session lacks), or nullptr when it may run.
const char* refusalBeforeWork(const FtpSession* session, unsigned flags);
