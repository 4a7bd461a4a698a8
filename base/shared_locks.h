// base/shared_locks.h: the names of the tables that threads share, each with one of the
// platform's ready locks, and the conditions their threads wait for.
#pragma once

#include "platform/platform.h"

enum class SharedLock {
    kUploads,
    kSparedRecords,
    kConnectionLimits,
    kTransferLog,
    kLoginFailures,
    kStatusTable,
    kChecksums,
    kDeliveryReport,
    kCount
};
static_assert(static_cast<int>(SharedLock::kCount) <= kLockCount, "a ready lock for each table");

enum class SharedCondition { kTransferLogQueued, kChecksumWanted, kCount };
static_assert(static_cast<int>(SharedCondition::kCount) <= kConditionCount,
              "a ready condition for each");

inline void takeLock(SharedLock lock) {
    takeLock(static_cast<int>(lock));
}
inline void releaseLock(SharedLock lock) {
    releaseLock(static_cast<int>(lock));
}
inline void waitForCondition(SharedCondition condition, SharedLock lock) {
    waitForCondition(static_cast<int>(condition), static_cast<int>(lock), -1);
}
inline void signalCondition(SharedCondition condition) {
    signalCondition(static_cast<int>(condition), false);
}
