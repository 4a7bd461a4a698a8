// fs/uploads.h: the uploads in progress, so that an ending process removes their temporary
// files and no half-received upload replaces its target.
#pragma once

struct Folder;

// Uploads in progress are received under names with this prefix; listings never show them.
extern const char kUploadPrefix[];

// True when name has the form of an upload's temporary file, as the platform compares names:
// no command reaches such a file, which belongs to the upload alone until it is complete.
bool isUploadName(const char* name);

// One upload in progress. It lives in the uploading thread's frame from registerUpload until
// finishUpload succeeds or unregisterUpload; the registry reads it under its lock meanwhile.
struct UploadEntry {
    Folder* folder;             // the folder of the upload's target, held by the upload
    const char* temporaryName;  // the file created for the upload there
    UploadEntry* previous;
    UploadEntry* next;
};

// Registers the upload whose temporary file was just created in folder.
void registerUpload(UploadEntry* entry, Folder* folder, const char* temporaryName);
// The upload's last step: puts the temporary file in the place of the entry target of the
// upload's folder and unregisters the entry. An existing target is replaced only when replace
// is true; otherwise an entry that has come to stand there meanwhile stays (kExists's error).
// It runs under the lock closeUploads takes, so the two never overlap. Returns 0, or -1 with
// the error set and the entry still registered: the rename failed, or the process is ending
// (kAccessDenied's error). The caller then removes the file and unregisters the entry.
int finishUpload(UploadEntry* entry, const char* target, bool replace);
// Unregisters an upload that ends without replacing its target, once its file is removed.
void unregisterUpload(UploadEntry* entry);

// For the end of the process: refuses every later finishUpload and removes the temporary file
// of every upload registered, so the served folder is left as it was before them.
void closeUploads();
