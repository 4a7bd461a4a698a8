// session/login_brake.h: failed logins counted per client host across sessions, and the waits
// they earn, so that a password cannot be guessed at speed from one host or from many.
#pragma once

#include "platform/platform.h"

// A host's first failures are free; after that each failure makes it wait, twice as long each
// time. The count is forgotten once a host has tried nothing for this long after its wait.
constexpr int kFreeFailedLogins = 5;
constexpr long long kFirstLoginWaitMilliseconds = 1000;
constexpr long long kLongestLoginWaitMilliseconds = 10 * 60 * 1000;
constexpr long long kFailedLoginMemoryMilliseconds = 10 * 60 * 1000;
// Server-wide: more failures than this, from all hosts together, within the memory above put on
// the brake. Then every failure makes its host wait at once, from this long up.
constexpr int kServerWideFailedLogins = 20;
constexpr long long kBrakedLoginWaitMilliseconds = 60 * 1000;
// Hosts remembered at once, in sets of 8 chosen by a keyed hash. Under a flood of hosts one
// without a wait to serve gives way, so memory stays fixed and an evicted host gains at most
// its free tries again; a host that waits is never pushed out, and a new host whose set holds
// only hosts that wait waits until the first of them may try again. So however many hosts
// guess, at most kLoginRecordCount guesses are judged in each kBrakedLoginWaitMilliseconds
// once the server-wide brake is on.
constexpr int kLoginRecordCount = 1024;

enum class LoginVerdict { kAccepted, kRefused, kMustWait };

// Judges one login attempt from peer's host, whose name and password did (matches) or did not
// match, at the time now (monotonicMilliseconds). kMustWait while the host waits, whatever was
// sent, and *waitMilliseconds says how long it still must; the attempt is not counted. Else
// kAccepted or kRefused, and a refusal is counted. Judged under one lock, so parallel sessions
// of one host cannot all try before the first failure is counted. A match is held up by other
// hosts' failures only while the hosts that wait fill its host's set (above).
LoginVerdict judgeLogin(const NetworkAddress* peer, bool matches, long long now,
                        long long* waitMilliseconds);
// Forgets every failure (for tests).
void forgetFailedLogins();
