// session/login_brake.cpp: a fixed table of client hosts with failed logins, under
// SharedLock::kLoginFailures, and a server-wide count of recent failures.
#include "session/login_brake.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "base/shared_locks.h"
#include "session/connection_limits.h"

// The table is set-associative: a host's hash picks a set, and it lives in one of its ways.
constexpr int kLoginRecordWays = 8;
constexpr int kLoginRecordSets = kLoginRecordCount / kLoginRecordWays;
// The server-wide count, one bucket a minute over the memory's ten minutes.
constexpr long long kBucketMilliseconds = 60 * 1000;
constexpr int kBucketCount = static_cast<int>(kFailedLoginMemoryMilliseconds / kBucketMilliseconds);

struct FailedLoginRecord {
    NetworkAddress host;  // as clientAddressOf gives it, or clientNetworkOf for a network
    bool isNetwork;       // an IPv6 /64's record, beside those of its addresses
    bool used;
    int failures;
    long long lastFailure;
    long long nextTry;  // no try before this
};

// All of it under SharedLock::kLoginFailures.
static FailedLoginRecord records[kLoginRecordCount];
static long long bucketMinute[kBucketCount];
static int bucketFailures[kBucketCount];

static long long forgetTime(const FailedLoginRecord* record) {
    return std::max(record->lastFailure, record->nextTry) + kFailedLoginMemoryMilliseconds;
}

static bool isWaiting(const FailedLoginRecord* record, long long now) {
    return record->used && now < record->nextTry;
}

// SECURITY: keyed by a secret of this process, so that nobody can choose offline addresses
// that share a set and push one another's records out.
static unsigned hashHost(const NetworkAddress* host, bool isNetwork) {
    static const unsigned key[2] = {std::random_device{}(), std::random_device{}()};
    unsigned hash = 2166136261u ^ key[0];  // FNV-1a from a secret start
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(host->bytes);
    for (std::size_t i = 0; i < sizeof host->bytes; i++) {
        hash = (hash ^ bytes[i]) * 16777619u;
    }
    hash = (hash ^ host->scope ^ static_cast<unsigned>(host->family)) * 16777619u;
    hash = (hash ^ (isNetwork ? 1u : 0u)) * 16777619u;
    return (hash ^ key[1]) * 16777619u;
}

// Which of two ways gives way first: a free one, else one without a wait to serve (a host that
// waits is never forgotten early), else the one with fewer failures (a flood of hosts that
// fail once pushes out one another), else the one whose memory or wait ends first.
static bool givesWayBefore(const FailedLoginRecord* a, const FailedLoginRecord* b, long long now) {
    if (!a->used || !b->used) {
        return !a->used && b->used;
    }
    if (isWaiting(a, now) != isWaiting(b, now)) {
        return !isWaiting(a, now);
    }
    if (a->failures != b->failures) {
        return a->failures < b->failures;
    }
    return forgetTime(a) < forgetTime(b);
}

// The host's record (*found), or the place for it: a way of its set that gives way. When every
// way waits, the place is the one whose wait ends first.
static FailedLoginRecord* findRecord(const NetworkAddress* host, bool isNetwork, long long now,
                                     bool* found) {
    FailedLoginRecord* set =
        &records[(hashHost(host, isNetwork) % kLoginRecordSets) * kLoginRecordWays];
    FailedLoginRecord* place = &set[0];
    for (int way = 0; way < kLoginRecordWays; way++) {
        FailedLoginRecord* record = &set[way];
        if (record->used && forgetTime(record) <= now) {
            record->used = false;
        }
        if (record->used && record->isNetwork == isNetwork && isSameHost(&record->host, host)) {
            *found = true;
            return record;
        }
        if (givesWayBefore(record, place, now) ||
            (isWaiting(record, now) && isWaiting(place, now) && record->nextTry < place->nextTry)) {
            place = record;
        }
    }
    *found = false;
    return place;
}

// Counts a failure server-wide and returns the failures of the last ten minutes, itself included.
static int countServerWide(long long now) {
    long long minute = now / kBucketMilliseconds;
    int bucket = static_cast<int>(minute % kBucketCount);
    if (bucketMinute[bucket] != minute) {
        bucketMinute[bucket] = minute;
        bucketFailures[bucket] = 0;
    }
    bucketFailures[bucket]++;
    int total = 0;
    for (int i = 0; i < kBucketCount; i++) {
        if (minute - bucketMinute[i] < kBucketCount) {
            total += bucketFailures[i];
        }
    }
    return total;
}

// first, doubled for each failure beyond the free ones, up to the longest wait.
static long long doubledWait(long long first, int doublings) {
    long long wait = first;
    for (int i = 0; i < doublings && wait < kLongestLoginWaitMilliseconds; i++) {
        wait *= 2;
    }
    return std::min(wait, kLongestLoginWaitMilliseconds);
}

// A network's record gives as many free failures as several hosts would have, so that a few
// neighbours' typing errors do not make the whole network wait.
static void countFailure(FailedLoginRecord* record, bool found, const NetworkAddress* host,
                         bool isNetwork, long long now, bool isServerWideBraked) {
    if (!found) {
        record->used = true;
        record->host = *host;
        record->isNetwork = isNetwork;
        record->failures = 0;
        record->nextTry = 0;
    }
    record->failures++;
    record->lastFailure = now;
    int freeFailures = isNetwork ? kFreeFailedLogins * kSharedNetworkFactor : kFreeFailedLogins;
    long long wait = 0;
    if (record->failures >= freeFailures) {
        wait = doubledWait(kFirstLoginWaitMilliseconds, record->failures - freeFailures);
    }
    // SECURITY: many hosts with a few free tries each would together guess at speed. A
    // network's record is spared: its neighbours would wait for one host's guesses at once.
    if (isServerWideBraked && !isNetwork) {
        wait = std::max(wait, doubledWait(kBrakedLoginWaitMilliseconds, record->failures - 1));
    }
    record->nextTry = now + wait;
}

LoginVerdict judgeLogin(const NetworkAddress* peer, bool matches, long long now,
                        long long* waitMilliseconds) {
    // SECURITY: an IPv6 host may take any address of its /64, so the /64 is judged too, with
    // its own, higher count.
    NetworkAddress hosts[2];
    clientAddressOf(peer, &hosts[0]);
    clientNetworkOf(peer, &hosts[1]);
    int judged = peer->family == AddressFamily::kIpv6 ? 2 : 1;
    LoginVerdict verdict = LoginVerdict::kAccepted;
    takeLock(SharedLock::kLoginFailures);
    FailedLoginRecord* found[2] = {nullptr, nullptr};
    bool isKnown[2] = {false, false};
    long long wait = 0;
    for (int i = 0; i < judged; i++) {
        found[i] = findRecord(&hosts[i], i == 1, now, &isKnown[i]);
        // SECURITY: a new host whose set is full of hosts that wait waits with them, until the
        // first of them may try again: pushing them out would wipe out their waits.
        if (isWaiting(found[i], now)) {
            wait = std::max(wait, found[i]->nextTry - now);
        }
    }
    if (wait > 0) {
        *waitMilliseconds = wait;
        verdict = LoginVerdict::kMustWait;
    } else if (!matches) {
        bool isServerWideBraked = countServerWide(now) > kServerWideFailedLogins;
        for (int i = 0; i < judged; i++) {
            // The second record may share the first's set and have been given its place; a
            // place found again may hold a wait, which is not wiped out for it.
            if (i == 1 && found[1] == found[0]) {
                found[1] = findRecord(&hosts[1], true, now, &isKnown[1]);
                if (!isKnown[1] && isWaiting(found[1], now)) {
                    break;
                }
            }
            countFailure(found[i], isKnown[i], &hosts[i], i == 1, now, isServerWideBraked);
        }
        verdict = LoginVerdict::kRefused;
    }
    releaseLock(SharedLock::kLoginFailures);
    return verdict;
}

void forgetFailedLogins() {
    takeLock(SharedLock::kLoginFailures);
    std::memset(records, 0, sizeof records);
    std::memset(bucketMinute, 0, sizeof bucketMinute);
    std::memset(bucketFailures, 0, sizeof bucketFailures);
    releaseLock(SharedLock::kLoginFailures);
}
