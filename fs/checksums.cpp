// fs/checksums.cpp: the store of digests under SharedLock::kChecksums, the background thread
// that fills it, and the verbs that read it.
#include "fs/checksums.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/shared_locks.h"
#include "base/text.h"
#include "fs/uploads.h"
#include "session/reply.h"
#include "session/session.h"

// The background thread reads in pieces this large, as transfers do.
constexpr std::size_t kChecksumReadSize = 256 * 1024;
// A waiting request looks again after 1 ms, then twice as long each time up to this.
constexpr int kLongestLookMilliseconds = 32;

enum class EntryState : unsigned char { kEmpty, kQueued, kComputing, kReady };

struct ChecksumEntry {
    FileVersion version;
    EntryState state;
    int file;             // while queued: what the background thread reads
    long long lastAsked;  // monotonic milliseconds; while queued, when it was queued
    char texts[kDigestKindCount][kDigestTextSize];
};

// All of it under SharedLock::kChecksums.
static ChecksumEntry entries[kKeptChecksums];
static int pendingCount = 0;
static bool isWorkerRunning = false;
// Requests queued, read without the lock by the walk of the tree, which gives way to them.
static std::atomic<int> queuedCount{0};
// The walk of the tree at start-up: the background thread's alone.
static bool isWalkingTree = false;

static const char* const kDigestNames[kDigestKindCount] = {"SHA-256", "SHA-1", "MD5", "CRC32"};

static bool isSameVersion(const FileVersion* a, const FileVersion* b) {
    return a->volume == b->volume && a->fileIndex == b->fileIndex && a->size == b->size &&
           a->modifiedTicks == b->modifiedTicks;
}

static ChecksumEntry* findEntry(const FileVersion* version) {
    for (ChecksumEntry& entry : entries) {
        if (entry.state != EntryState::kEmpty && isSameVersion(&entry.version, version)) {
            return &entry;
        }
    }
    return nullptr;
}

// An empty entry, else the kept one asked for least recently; never one that is pending.
static ChecksumEntry* placeForEntry() {
    ChecksumEntry* place = nullptr;
    for (ChecksumEntry& entry : entries) {
        if (entry.state == EntryState::kEmpty) {
            return &entry;
        }
        if (entry.state == EntryState::kReady &&
            (place == nullptr || entry.lastAsked < place->lastAsked)) {
            place = &entry;
        }
    }
    return place;  // never nullptr: far fewer entries are pending than there are
}

static ChecksumEntry* oldestQueued() {
    ChecksumEntry* oldest = nullptr;
    for (ChecksumEntry& entry : entries) {
        if (entry.state == EntryState::kQueued &&
            (oldest == nullptr || entry.lastAsked < oldest->lastAsked)) {
            oldest = &entry;
        }
    }
    return oldest;
}

// Reads file from its start and digests it; true when every byte was read and the file is
// still the version asked for, so that no digest of a file that changed meanwhile is kept. The
// walk of the tree gives way (false) as soon as a request waits.
static bool digestFile(int file, const FileVersion* version, char* buffer,
                       char texts[kDigestKindCount][kDigestTextSize], bool isWalk) {
    DigestSet* set = seekFile(file, 0) == 0 ? beginDigests(kAllDigests) : nullptr;
    if (set == nullptr) {
        return false;
    }
    long long count = 0;
    while ((!isWalk || queuedCount.load() == 0) &&
           (count = readFile(file, buffer, kChecksumReadSize)) > 0) {
        updateDigests(set, buffer, static_cast<std::size_t>(count));
    }
    FileVersion now;
    bool isWhole = count == 0 && readFileVersion(file, &now) == 0 && isSameVersion(&now, version);
    return finishDigests(set, texts) == 0 && isWhole;
}

// The tree still to walk: folders below the root ("" for the root) and files found in them.
struct TreeWalk {
    Folder* root;
    std::vector<std::string> folders;
    std::vector<std::string> files;
    int taken;            // files digested or found kept
    long long bytesLeft;  // of kLargestWalk
};

// Lists one more folder of the walk into walk->files and walk->folders. False at the end.
static bool walkOneFolder(TreeWalk* walk) {
    if (walk->folders.empty()) {
        return false;
    }
    std::string folder = walk->folders.back();
    walk->folders.pop_back();
    FindEntry entry;
    FindState* state = findFirst(walk->root, folder.empty() ? "." : folder.c_str(), "*", &entry);
    for (int found = state != nullptr ? 0 : -1; found == 0; found = findNext(state, &entry)) {
        std::string path = folder.empty() ? entry.name : folder + "/" + entry.name;
        // A link that leads out shows as a system entry; dot names and uploads are no package.
        bool isSkipped = entry.name[0] == '.' || isUploadName(entry.name) ||
                         (entry.attributes & kAttributeSystem) != 0;
        if (!isSkipped) {
            ((entry.attributes & kAttributeDirectory) != 0 ? walk->folders : walk->files)
                .push_back(path);
        }
    }
    if (state != nullptr) {
        findClose(state);
    }
    return true;
}

// Digests the next file of the walk unless its version is kept already. False at the end.
static bool walkOneFile(TreeWalk* walk, char* buffer) {
    if (walk->taken >= kKeptChecksums || walk->files.empty()) {
        return walk->taken < kKeptChecksums && walkOneFolder(walk);
    }
    std::string path = walk->files.back();
    FileVersion version;
    int file = openFileBeneath(walk->root, path.c_str(), &version, true);
    if (file < 0) {
        walk->files.pop_back();  // gone, or not a regular file
        return true;
    }
    char texts[kDigestKindCount][kDigestTextSize];
    if (version.size > walk->bytesLeft) {
        (void)closeFile(file);
        walk->files.pop_back();  // digested when asked for
        return true;
    }
    if (!findKeptChecksum(&version, DigestKind::kSha256, texts[0])) {
        if (!digestFile(file, &version, buffer, texts, true)) {
            (void)closeFile(file);
            // A request came first: this file again later. Else it changed: left out.
            if (queuedCount.load() == 0) {
                walk->files.pop_back();
            }
            return true;
        }
        takeLock(SharedLock::kChecksums);
        if (findEntry(&version) == nullptr) {
            ChecksumEntry* entry = placeForEntry();
            entry->version = version;
            std::memcpy(entry->texts, texts, sizeof texts);
            entry->state = EntryState::kReady;
            entry->lastAsked = monotonicMilliseconds();
        }
        releaseLock(SharedLock::kChecksums);
    }
    (void)closeFile(file);
    walk->files.pop_back();
    walk->taken++;
    walk->bytesLeft -= version.size;
    return true;
}

// The background thread: one file at a time, in the order asked, so that it takes one CPU at
// most however many sessions ask; between requests, the walk of the tree if one was asked for.
static void computeChecksums(void*) {
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kChecksumReadSize]);
    TreeWalk walk = {isWalkingTree ? openServedRoot() : nullptr, {""}, {}, 0, kLargestWalk};
    for (;;) {
        if (walk.root != nullptr && queuedCount.load() == 0 && buffer != nullptr) {
            if (!walkOneFile(&walk, buffer.get())) {
                closeFolder(walk.root);
                walk = {nullptr, {}, {}, 0, 0};
            }
            continue;
        }
        takeLock(SharedLock::kChecksums);
        ChecksumEntry* next = nullptr;
        while ((next = oldestQueued()) == nullptr && walk.root == nullptr) {
            waitForCondition(SharedCondition::kChecksumWanted, SharedLock::kChecksums);
        }
        if (next == nullptr) {
            releaseLock(SharedLock::kChecksums);
            continue;  // the walk goes on
        }
        queuedCount.fetch_sub(1);
        next->state = EntryState::kComputing;
        FileVersion version = next->version;
        int file = next->file;
        next->file = -1;
        releaseLock(SharedLock::kChecksums);

        char texts[kDigestKindCount][kDigestTextSize];
        bool isDone = buffer != nullptr && digestFile(file, &version, buffer.get(), texts, false);
        (void)closeFile(file);  // read-only: nothing to report

        takeLock(SharedLock::kChecksums);
        // A computing entry stays where it is: only this thread ends a computation.
        ChecksumEntry* entry = findEntry(&version);
        if (entry != nullptr && isDone) {
            std::memcpy(entry->texts, texts, sizeof texts);
            entry->state = EntryState::kReady;
            entry->lastAsked = monotonicMilliseconds();
        } else if (entry != nullptr) {
            entry->state = EntryState::kEmpty;  // its waiters hear "busy"; a later ask tries again
        }
        pendingCount--;
        releaseLock(SharedLock::kChecksums);
    }
}

// Looks for the version's digests until they are kept or given up, or the wait ends.
static ChecksumAnswer awaitChecksums(const FileVersion* version, int waitMilliseconds,
                                     char texts[kDigestKindCount][kDigestTextSize]) {
    long long deadline = monotonicMilliseconds() + waitMilliseconds;
    for (int look = 1;; look = std::min(2 * look, kLongestLookMilliseconds)) {
        takeLock(SharedLock::kChecksums);
        const ChecksumEntry* entry = findEntry(version);
        bool isReady = entry != nullptr && entry->state == EntryState::kReady;
        if (isReady) {
            std::memcpy(texts, entry->texts, sizeof entry->texts);
        }
        releaseLock(SharedLock::kChecksums);
        long long remaining = deadline - monotonicMilliseconds();
        if (isReady || entry == nullptr || remaining <= 0) {
            return isReady ? ChecksumAnswer::kReady : ChecksumAnswer::kBusy;
        }
        sleepMilliseconds(static_cast<int>(std::min<long long>(look, remaining)));
    }
}

ChecksumAnswer findChecksums(int file, const FileVersion* version, int waitMilliseconds,
                             char texts[kDigestKindCount][kDigestTextSize]) {
    takeLock(SharedLock::kChecksums);
    ChecksumEntry* entry = findEntry(version);
    bool isKept = entry != nullptr && entry->state == EntryState::kReady;
    if (isKept) {
        std::memcpy(texts, entry->texts, sizeof entry->texts);
        entry->lastAsked = monotonicMilliseconds();
    } else if (entry == nullptr && pendingCount < kMostPendingChecksums &&
               (isWorkerRunning ||
                (isWorkerRunning = startThread(computeChecksums, nullptr) == 0))) {
        entry = placeForEntry();
        entry->version = *version;
        entry->state = EntryState::kQueued;
        entry->file = file;
        entry->lastAsked = monotonicMilliseconds();
        pendingCount++;
        queuedCount.fetch_add(1);
        file = -1;  // the background thread's now
        signalCondition(SharedCondition::kChecksumWanted);
    }
    releaseLock(SharedLock::kChecksums);
    if (file >= 0) {
        (void)closeFile(file);
    }
    if (isKept || entry == nullptr) {
        return isKept ? ChecksumAnswer::kReady : ChecksumAnswer::kBusy;
    }
    return awaitChecksums(version, waitMilliseconds, texts);
}

int startChecksumsOfTree() {
    takeLock(SharedLock::kChecksums);
    isWalkingTree = true;  // before the thread, which reads it as it starts
    isWorkerRunning = isWorkerRunning || startThread(computeChecksums, nullptr) == 0;
    bool isRunning = isWorkerRunning;
    releaseLock(SharedLock::kChecksums);
    return isRunning ? 0 : -1;
}

bool findKeptChecksum(const FileVersion* version, DigestKind kind, char* out) {
    takeLock(SharedLock::kChecksums);
    const ChecksumEntry* entry = findEntry(version);
    bool isKept = entry != nullptr && entry->state == EntryState::kReady;
    if (isKept) {
        std::memcpy(out, entry->texts[static_cast<int>(kind)], kDigestTextSize);
    }
    releaseLock(SharedLock::kChecksums);
    return isKept;
}

// ---------------------------------------------------------------------------------------------
// The verbs.

static const char kBusyReply[] = "450 The checksum is still being computed; try again.";

// The digests of the file path names, opened and confined as RETR opens it; false with the
// reply sent when there are none to give.
static bool digestsOf(FtpSession* session, const std::string& path, FileVersion* version,
                      char texts[kDigestKindCount][kDigestTextSize]) {
    int file = openFileBeneath(session->root, path.c_str(), version, true);
    if (file < 0) {
        char reply[kReplyTextSize];
        formatErrorReply(reply, sizeof reply);
        sendReply(session, reply);
        return false;
    }
    if (findChecksums(file, version, kChecksumWaitMilliseconds, texts) != ChecksumAnswer::kReady) {
        sendReply(session, kBusyReply);
        return false;
    }
    return true;
}

void replyHash(FtpSession* session, const std::string& path) {
    FileVersion version;
    char texts[kDigestKindCount][kDigestTextSize];
    if (!digestsOf(session, path, &version, texts)) {
        return;
    }
    int kind = static_cast<int>(session->hashKind);
    char reply[kReplyTextSize];
    // The range names the first and the last byte digested; an empty file has none.
    std::snprintf(reply, sizeof reply, "213 %s 0-%lld %s %s", kDigestNames[kind],
                  std::max(version.size - 1, 0LL), texts[kind], session->argumentText);
    sendReply(session, reply);
}

void replyDigest(FtpSession* session, const std::string& path, DigestKind kind) {
    FileVersion version;
    char texts[kDigestKindCount][kDigestTextSize];
    if (!digestsOf(session, path, &version, texts)) {
        return;
    }
    char reply[kReplyTextSize];
    std::snprintf(reply, sizeof reply, "213 %s", texts[static_cast<int>(kind)]);
    sendReply(session, reply);
}

void chooseHash(FtpSession* session, const char* name) {
    char reply[kReplyTextSize];
    if (name[0] != '\0') {
        const char* const* found =
            std::find_if(std::begin(kDigestNames), std::end(kDigestNames),
                         [name](const char* known) { return equalsIgnoringCase(name, known); });
        if (found == std::end(kDigestNames)) {
            sendReply(session, "501 Unknown hash algorithm");
            return;
        }
        session->hashKind = static_cast<DigestKind>(found - std::begin(kDigestNames));
    }
    std::snprintf(reply, sizeof reply, "200 %s", kDigestNames[static_cast<int>(session->hashKind)]);
    sendReply(session, reply);
}

void writeHashFeature(const FtpSession* session, char* out, std::size_t outSize) {
    int chosen = static_cast<int>(session->hashKind);
    std::snprintf(out, outSize, "HASH %s%s;%s%s;%s%s;%s%s", kDigestNames[0], chosen == 0 ? "*" : "",
                  kDigestNames[1], chosen == 1 ? "*" : "", kDigestNames[2], chosen == 2 ? "*" : "",
                  kDigestNames[3], chosen == 3 ? "*" : "");
}
