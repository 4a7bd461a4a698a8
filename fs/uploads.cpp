// fs/uploads.cpp: the uploads in progress, a list through their own entries, so registering
// one never allocates and never fails.
#include "fs/uploads.h"

#include "base/shared_locks.h"
#include "platform/platform.h"

const char kUploadPrefix[] = ".tarnLoader-upload-";

// Both under SharedLock::kUploads.
static UploadEntry* firstUpload = nullptr;
static bool uploadsClosed = false;

bool isUploadName(const char* name) {
    return startsWithName(name, kUploadPrefix);
}

static void unlinkUpload(UploadEntry* entry) {
    if (entry->previous != nullptr) {
        entry->previous->next = entry->next;
    } else {
        firstUpload = entry->next;
    }
    if (entry->next != nullptr) {
        entry->next->previous = entry->previous;
    }
}

void registerUpload(UploadEntry* entry, Folder* folder, const char* temporaryName) {
    entry->folder = folder;
    entry->temporaryName = temporaryName;
    entry->previous = nullptr;
    takeLock(SharedLock::kUploads);
    entry->next = firstUpload;
    if (firstUpload != nullptr) {
        firstUpload->previous = entry;
    }
    firstUpload = entry;
    releaseLock(SharedLock::kUploads);
}

int finishUpload(UploadEntry* entry, const char* target, bool replace) {
    takeLock(SharedLock::kUploads);
    int result = -1;
    if (uploadsClosed) {
        // The process is ending: a half-received file must never replace the target, and
        // closeUploads may already have removed this one.
        setLastError(ErrorKind::kAccessDenied);
    } else {
        result = replace
                     ? replaceFileAt(entry->folder, entry->temporaryName, target)
                     : renameEntryAt(entry->folder, entry->temporaryName, entry->folder, target);
        if (result == 0) {
            unlinkUpload(entry);
        }
    }
    releaseLock(SharedLock::kUploads);
    return result;
}

void unregisterUpload(UploadEntry* entry) {
    takeLock(SharedLock::kUploads);
    unlinkUpload(entry);
    releaseLock(SharedLock::kUploads);
}

void closeUploads() {
    takeLock(SharedLock::kUploads);
    uploadsClosed = true;
    for (UploadEntry* entry = firstUpload; entry != nullptr; entry = entry->next) {
        // The upload still holds the file open; its name goes now, its space when the
        // process ends. An ending process can do no more about a file it cannot remove.
        (void)removeOwnFileAt(entry->folder, entry->temporaryName);
    }
    releaseLock(SharedLock::kUploads);
}
