// session/security.cpp: AUTH, PBSZ and PROT, the login, and their gates.
#include "session/security.h"

#include <cstdio>
#include <cstring>

#include "app/settings.h"
#include "base/text.h"
#include "platform/platform.h"
#include "session/channel.h"
#include "session/console_sink.h"
#include "session/login_brake.h"
#include "session/operator_status.h"
#include "session/reply.h"
#include "session/session.h"
#include "session/time_limits.h"

// After this many wrong passwords a session is closed, a moment later so that guessing stays
// slow; other sessions are not held up by it.
constexpr int kMostFailedLogins = 3;
constexpr int kFailedLoginPauseMilliseconds = 1000;

static const char kNotImplemented[] = "502 Command not implemented";

void startControlTls(FtpSession* session, const char* argument) {
    if (!serverSettings.tls) {
        sendReply(session, kNotImplemented);
        return;
    }
    if (session->controlTls != nullptr) {
        sendReply(session, "503 Already using TLS");
        return;
    }
    // Clients still send "AUTH SSL" for the same thing.
    if (!equalsIgnoringCase(argument, "TLS") && !equalsIgnoringCase(argument, "SSL")) {
        sendReply(session, "504 AUTH type not supported");
        return;
    }
    sendReply(session, "234 AUTH TLS ok");
    if (protectControlConnection(session) != 0) {
        printSessionError(session, "TLS handshake failed on a control connection");
        session->isEnding = true;  // nothing more can be said to a client in this state
    }
}

void setProtectionBufferSize(FtpSession* session, const char* argument) {
    if (!serverSettings.tls) {
        sendReply(session, kNotImplemented);
    } else if (session->controlTls == nullptr) {
        sendReply(session, "503 AUTH first");
    } else if (!isAllDigits(argument)) {
        sendReply(session, "501 Syntax error in parameters or arguments.");
    } else {
        // A stream over TLS needs no buffer of its own: RFC 4217 has the server say 0.
        session->hasProtectionBuffer = true;
        sendReply(session, "200 PBSZ=0");
    }
}

void setProtectionLevel(FtpSession* session, const char* argument) {
    if (!serverSettings.tls) {
        sendReply(session, kNotImplemented);
    } else if (session->controlTls == nullptr) {
        sendReply(session, "503 AUTH first");
    } else if (!session->hasProtectionBuffer) {
        sendReply(session, "503 PBSZ first");
    } else if (equalsIgnoringCase(argument, "P") || equalsIgnoringCase(argument, "C")) {
        session->protectsData = equalsIgnoringCase(argument, "P");
        sendReply(session, session->protectsData ? "200 Protection level set to P"
                                                 : "200 Protection level set to C");
    } else if (equalsIgnoringCase(argument, "S") || equalsIgnoringCase(argument, "E")) {
        sendReply(session, "536 Protection level not supported");
    } else {
        sendReply(session, "504 Unknown protection level");
    }
}

void takeUserName(FtpSession* session, const char* argument) {
    (void)copyText(session->userName, sizeof session->userName, argument);  // always fits
    session->isLoggedIn = false;
    sendReply(session, "331 Login accepted");
}

// Compares the whole of both texts, so the time taken tells nothing of where they differ.
static bool isSameSecret(const char* given, const char* expected) {
    std::size_t givenLength = std::strlen(given);
    std::size_t expectedLength = std::strlen(expected);
    unsigned difference = givenLength == expectedLength ? 0 : 1;
    for (std::size_t i = 0; i < givenLength; i++) {
        difference |= static_cast<unsigned char>(given[i]) ^
                      static_cast<unsigned char>(expected[i % (expectedLength + 1)]);
    }
    return difference == 0;
}

void checkPassword(FtpSession* session, const char* argument) {
    // Both are compared whatever the first gives, so the time tells nothing of which was wrong.
    bool nameMatches = isSameSecret(session->userName, serverSettings.loginName);
    bool passwordMatches = isSameSecret(argument, serverSettings.loginPassword);
    bool matches = !serverSettings.hasLogin || (nameMatches && passwordMatches);
    long long wait = 0;
    // SECURITY: a host that failed too often waits, across sessions, before its next try is
    // judged at all, so new sessions gain a guesser nothing.
    LoginVerdict verdict =
        judgeLogin(&session->peerAddress, matches, monotonicMilliseconds(), &wait);
    if (verdict == LoginVerdict::kMustWait) {
        char reply[kReplyTextSize];
        std::snprintf(reply, sizeof reply, "421 Too many failed logins, try again in %lld s.",
                      (wait + 999) / 1000);
        sendReply(session, reply);
        reportLoginRefused(session, session->userName, reply);
        session->isEnding = true;
        return;
    }
    if (verdict == LoginVerdict::kAccepted) {
        session->isLoggedIn = true;
        session->loginDeadline = 0;  // a later USER does not bring the deadline back
        // What was left of the deadline no longer limits a reply or a receive inside a record.
        applyTimeLimits(session, SessionState::kAwaitingCommand);
        sendReply(session, "230 User logged in");
        reportLogin(session);
        consoleSink.printUntimed(ConsoleStream::kOutput, "\nChassis accessing package.");
        return;
    }
    session->failedLogins++;
    if (session->failedLogins >= kMostFailedLogins) {
        sleepMilliseconds(kFailedLoginPauseMilliseconds);
        sendReply(session, "421 Too many failed logins.");
        reportLoginRefused(session, session->userName, "421 Too many failed logins.");
        session->isEnding = true;
        return;
    }
    sendReply(session, "530 Login incorrect.");
    reportLoginRefused(session, session->userName, "530 Login incorrect.");
}

const char* refusalBeforeWork(const FtpSession* session, unsigned flags) {
    // SECURITY: under -tlsonly nothing that names a user, a password or a file crosses the
    // network in clear text. Where TLS is offered and a login is required, the login waits
    // for TLS too: a client refused at USER never sends its password in clear text.
    bool loginNeedsTls = serverSettings.tlsOnly || (serverSettings.tls && serverSettings.hasLogin);
    if (loginNeedsTls && session->controlTls == nullptr && (flags & kIsLogin) != 0) {
        return "530 TLS required (AUTH TLS)";
    }
    // -tlsonly asks for a login under TLS too, with any name where -login gives none.
    bool needsLogin = serverSettings.hasLogin || serverSettings.tlsOnly;
    if (needsLogin && !session->isLoggedIn && (flags & kRunsBeforeLogin) == 0) {
        return "530 Please login with USER and PASS.";
    }
    if (serverSettings.tlsOnly && !session->protectsData && (flags & kOpensDataConnection) != 0) {
        return "521 Data connections must be encrypted (PROT P)";
    }
    return nullptr;
}
