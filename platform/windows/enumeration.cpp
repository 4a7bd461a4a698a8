// platform/windows/enumeration.cpp: the entries of a folder beneath the root, in the manner of
// the find functions, which this implementation wraps.
#include "platform/platform.h"

#include <winsock2.h>

#include <windows.h>

#include <io.h>

#include <cerrno>
#include <cstdlib>

#include "platform/primitives.h"
#include "platform/windows/internal.h"

// ---------------------------------------------------------------------------------------------
// Directory enumeration.

struct FindState {
    intptr_t handle;
    Folder* folder;  // pinned while its entries are read
};

static int describeEntry(const Folder* folder, const struct _wfinddata64_t* found,
                         FindEntry* entry) {
    if (toUtf8Text(found->name, entry->name, sizeof entry->name) != 0) {
        return -1;
    }
    // The server's own key and log are passed over, by what the entry is and not its name.
    wchar_t path[kLongPathSize];
    if ((found->attrib & _A_SUBDIR) == 0 &&
        (joinName(folder->path, found->name, path, kLongPathSize) != 0 || isWithheldEntry(path))) {
        return -1;
    }
    entry->attributes = found->attrib;
    entry->size = (found->attrib & _A_SUBDIR) != 0 ? 0 : static_cast<long long>(found->size);
    entry->writeTime = static_cast<long long>(found->time_write);
    return 0;
}

// Describes found, or the next match after it whose name reaches the client as it is: a name
// with a lone surrogate has no UTF-8 form, and one of 255 units may not fit in UTF-8, so such
// names are passed over, as are the server's own files. Returns 0, or -1 when no match is left.
static int describeMatch(const Folder* folder, intptr_t handle, struct _wfinddata64_t* found,
                         FindEntry* entry) {
    while (describeEntry(folder, found, entry) != 0) {
        if (_wfindnext64(handle, found) != 0) {
            return failWithErrno();
        }
    }
    return 0;
}

// Starts the runtime's enumeration of pattern in folder and describes the first match that
// reaches the client. Returns the runtime's handle, or -1 with the error set.
static intptr_t startFind(const Folder* folder, const char* pattern, FindEntry* entry) {
    wchar_t search[kLongPathSize];
    if (pathInFolder(folder, pattern, search, kLongPathSize) != 0) {
        return -1;
    }
    struct _wfinddata64_t found;
    intptr_t handle = _wfindfirst64(search, &found);
    if (handle == -1) {
        recordError(errno, ErrorSource::kRuntime);
        return -1;
    }
    if (describeMatch(folder, handle, &found, entry) != 0) {
        (void)_findclose(handle);  // fails only for a handle we never hand out
        return -1;
    }
    return handle;
}

FindState* findFirst(Folder* /*root*/, const char* folderPath, const char* pattern,
                     FindEntry* entry) {
    FindState* state = static_cast<FindState*>(std::malloc(sizeof(FindState)));
    if (state == nullptr) {
        recordError(ENOMEM, ErrorSource::kRuntime);
        return nullptr;
    }
    state->folder = pinFolderBeneath(folderPath);
    state->handle = state->folder == nullptr ? -1 : startFind(state->folder, pattern, entry);
    if (state->handle == -1) {
        closeFolder(state->folder);
        std::free(state);
        return nullptr;
    }
    return state;
}

int findNext(FindState* state, FindEntry* entry) {
    struct _wfinddata64_t found;
    if (_wfindnext64(state->handle, &found) != 0) {
        return failWithErrno();
    }
    return describeMatch(state->folder, state->handle, &found, entry);
}

void findClose(FindState* state) {
    if (state != nullptr) {
        (void)_findclose(state->handle);  // fails only for a handle we never hand out
        closeFolder(state->folder);
        std::free(state);
    }
}
