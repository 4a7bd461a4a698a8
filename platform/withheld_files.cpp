// platform/withheld_files.cpp: the table of the files that withholdFile keeps from clients, the
// same on both platforms; each platform tells a file's identity and what it holds open of it.
#include "platform/primitives.h"

#include <atomic>
#include <cerrno>

#include "platform/errors.h"

// Written at start-up and when the log is reopened (one writer), read by every lookup without a
// lock: a new entry is in place before the count that shows it, and entries move only while the
// sequence number is odd, so that a lookup that saw it change looks again. A rotated log keeps
// its identity, so every log of a long run stays withheld. Where the platform holds each file
// open (POSIX), its identity cannot pass to a client's file while it is listed, and the files
// that are gone (a rotated log deleted) are dropped when one is added.
constexpr int kMostWithheldFiles = 256;
struct FileIdentity {
    std::atomic<unsigned long long> volume;
    std::atomic<unsigned long long> fileIndex;
};
static FileIdentity withheldFiles[kMostWithheldFiles];
static std::atomic<int> withheldFileCount{0};
static std::atomic<unsigned> withheldSequence{0};
static std::intptr_t withheldHolds[kMostWithheldFiles];  // the writer's alone

static void setWithheldEntry(int index, unsigned long long volume, unsigned long long fileIndex) {
    // Sequentially consistent, as every access of the table: a lookup that sees an entry
    // being moved sees the sequence number odd or changed.
    withheldFiles[index].volume.store(volume);
    withheldFiles[index].fileIndex.store(fileIndex);
}

// Drops the entries of files that no name leads to any more. Returns the entries kept.
static int dropGoneFiles(int count) {
    int kept = 0;
    bool moves = false;
    for (int i = 0; i < count; i++) {
        bool isGone = withheldHolds[i] >= 0 && isHeldFileGone(withheldHolds[i]);
        if (isGone && !moves) {
            moves = true;
            withheldSequence.fetch_add(1);  // odd: entries move
        }
        if (isGone) {
            releaseFileHold(withheldHolds[i]);
            continue;
        }
        if (kept != i) {
            withheldHolds[kept] = withheldHolds[i];
            setWithheldEntry(kept, withheldFiles[i].volume.load(),
                             withheldFiles[i].fileIndex.load());
        }
        kept++;
    }
    if (moves) {
        withheldFileCount.store(kept);
        withheldSequence.fetch_add(1);  // even: settled again
    }
    return kept;
}

static bool isListedFile(unsigned long long volume, unsigned long long fileIndex) {
    int count = withheldFileCount.load();
    for (int i = 0; i < count; i++) {
        if (withheldFiles[i].volume.load() == volume &&
            withheldFiles[i].fileIndex.load() == fileIndex) {
            return true;
        }
    }
    return false;
}

bool isWithheldIdentity(unsigned long long volume, unsigned long long fileIndex) {
    for (;;) {
        unsigned before = withheldSequence.load();
        bool isListed = (before & 1) == 0 && isListedFile(volume, fileIndex);
        if ((before & 1) == 0 && withheldSequence.load() == before) {
            return isListed;
        }
    }
}

bool hasWithheldFiles() {
    return withheldFileCount.load() > 0;
}

int addWithheldFile(unsigned long long volume, unsigned long long fileIndex, std::intptr_t hold) {
    int count = dropGoneFiles(withheldFileCount.load());
    if (isWithheldIdentity(volume, fileIndex)) {  // a file withheld twice takes one entry
        if (hold >= 0) {
            releaseFileHold(hold);
        }
        return 0;
    }
    if (count == kMostWithheldFiles) {
        if (hold >= 0) {
            releaseFileHold(hold);
        }
        recordRuntimeError(EMFILE);
        return -1;
    }
    withheldHolds[count] = hold;
    setWithheldEntry(count, volume, fileIndex);
    withheldFileCount.store(count + 1);
    return 0;
}
