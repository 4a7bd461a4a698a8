// platform/windows/beneath.cpp: what a path beneath the served root names on Windows: its
// names taken in UTF-16, joined to the root's final path, opened, and the final path of what
// was opened checked against the root's, and each name against the own name of what it
// reaches, before anything acts on it.
#include "platform/platform.h"

#include <winsock2.h>

#include <windows.h>

#include <cerrno>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/path_text.h"
#include "platform/windows/internal.h"

// The longest name, in UTF-16 units, that NTFS, FAT and exFAT hold.
constexpr std::size_t kLongestNameUnits = 255;

// The names of a path below the root in UTF-16, with "." and ".." taken off by name, as
// Windows itself does before it opens anything.
int namesOfPath(const char* path, std::vector<std::wstring>* names, std::string* lastName) {
    std::vector<std::string> steps;
    splitNames(path, kSystemPathSeparators, &steps);
    std::vector<std::string> taken;
    if (takeDotNames(steps, &taken) != 0) {
        return failRefused();
    }
    for (const std::string& step : taken) {
        // SECURITY: drive prefixes, streams and device names would reach past the root or
        // stand for another name, and "\\.\" or "\\?\" forms cannot arise from names
        // joined below it. Text that is not UTF-8 is refused by the conversion.
        if (hasReservedForm(step.c_str())) {
            return failRefused();
        }
        wchar_t name[kLongPathSize];
        if (toWideText(step.c_str(), name, kLongPathSize) != 0) {
            return -1;
        }
        // A name no folder can hold is refused before the system sees it, as the POSIX build
        // refuses one over its limit: the calls report it each in their own way, and RNFR
        // took one for a name still free.
        if (std::wcslen(name) > kLongestNameUnits) {
            return failRefused();
        }
        names->push_back(name);
    }
    if (lastName != nullptr && !taken.empty()) {
        *lastName = taken.back();  // it converted both ways unchanged
    }
    return 0;
}

// Copies text with its terminator. Returns 0, or -1 with ENAMETOOLONG when it does not fit.
int copyWideText(wchar_t* out, std::size_t outSize, const wchar_t* text) {
    std::size_t length = std::wcslen(text);
    if (length >= outSize) {
        return failWithRuntimeError(ENAMETOOLONG);
    }
    std::wmemcpy(out, text, length + 1);
    return 0;
}

int joinPath(const wchar_t* folder, const std::vector<std::wstring>& names,
                    std::size_t count, wchar_t* out, std::size_t outSize) {
    std::wstring path = folder;
    for (std::size_t i = 0; i < count; i++) {
        path += L"\\" + names[i];
    }
    return copyWideText(out, outSize, path.c_str());
}

int joinName(const wchar_t* folder, const wchar_t* name, wchar_t* out, std::size_t outSize) {
    std::wstring path = folder;
    path += L"\\";
    path += name;
    return copyWideText(out, outSize, path.c_str());
}

bool isBeneathRoot(const wchar_t* path) {
    std::size_t length = std::wcslen(rootFinalPath);
    // SECURITY: the UTF-16 paths are compared as the system gave them. Their ANSI forms would
    // let a folder "root" with a fullwidth r (U+FF52) beside a root "root" pass for the root.
    if (length == 0 || std::wcslen(path) < length ||
        !isSameWideName(path, length, rootFinalPath, length)) {
        return false;
    }
    // SECURITY: whole names only: a root of D:\pkg never takes D:\pkg2.
    return path[length] == L'\0' || path[length] == L'\\' || rootFinalPath[length - 1] == L'\\';
}

// The final path of what handle names, without the "\\?\" prefix. Fails closed: a path that
// cannot be told (a network path included) is refused.
int finalPathOf(HANDLE handle, wchar_t* out, std::size_t outSize) {
    wchar_t finalPath[kLongPathSize];
    DWORD length = GetFinalPathNameByHandleW(handle, finalPath, static_cast<DWORD>(kLongPathSize),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= kLongPathSize || std::wcsncmp(finalPath, L"\\\\?\\", 4) != 0 ||
        std::wcsncmp(finalPath, L"\\\\?\\UNC\\", 8) == 0) {
        return failRefused();
    }
    // SECURITY: a path without a UTF-8 form (a name with a lone surrogate) could not be shown
    // to the client as it is; it is refused, not carried in part.
    char text[kLongPathTextSize];
    if (toUtf8Text(finalPath + 4, text, sizeof text) != 0 ||
        copyWideText(out, outSize, finalPath + 4) != 0) {
        return failRefused();
    }
    return 0;
}

// Whether the nearest folder above path that exists lies beneath the root: a path that names
// nothing is refused when the folder it would sit in lies outside.
static bool isNearestFolderBeneathRoot(const wchar_t* path) {
    std::wstring folder = path;
    std::size_t rootLength = std::wcslen(rootFinalPath);
    for (;;) {
        std::size_t cut = folder.rfind(L'\\');
        if (cut == std::wstring::npos || cut <= rootLength) {
            return true;  // only the root itself is left above
        }
        folder.resize(cut);
        HANDLE handle = CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            wchar_t finalPath[kLongPathSize];
            bool beneath = finalPathOf(handle, finalPath, kLongPathSize) == 0 &&
                           isBeneathRoot(finalPath);
            (void)CloseHandle(handle);
            return beneath;
        }
    }
}

int refuseOtherName(const wchar_t* path) {
    const wchar_t* separator = std::wcsrchr(path, L'\\');
    const wchar_t* name = separator != nullptr ? separator + 1 : path;
    WIN32_FIND_DATAW found;
    // The search matches the name as the open does, short names included, and reports the
    // entry's own name; the basic level leaves out the short name, which is not needed.
    HANDLE search =
        FindFirstFileExW(path, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        // No match at all (Wine says so for a POSIX link to nothing) names nothing; a name
        // that cannot be told is taken for another's, as a final path that cannot be.
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                       error == ERROR_NO_MORE_FILES
                   ? 0
                   : failWithRuntimeError(ENOENT);
    }
    (void)FindClose(search);  // a search handle has nothing left to write
    // SECURITY: the server's checks by name (an upload's temporary file belongs to its session
    // alone) see the name the client sent; another name of the entry would pass by them.
    return isSameWideName(found.cFileName, std::wcslen(found.cFileName), name, std::wcslen(name))
               ? 0
               : failWithRuntimeError(ENOENT);
}

// Refuses, as refuseOtherName does, a path below the root with any name that is not its
// entry's own. The final path of what the path opened, when given, shows own names only, so a
// path equal to it needs no further look; one that differs (through a link, or by another
// name) is looked at name by name.
static int refuseOtherNames(const wchar_t* path, const wchar_t* finalPath) {
    std::size_t length = std::wcslen(path);
    if (finalPath != nullptr && isSameWideName(path, length, finalPath, std::wcslen(finalPath))) {
        return 0;
    }
    std::size_t rootLength = std::wcslen(rootFinalPath);
    if (length < rootLength || !isSameWideName(path, rootLength, rootFinalPath, rootLength)) {
        return failWithRuntimeError(ENOENT);  // never for the paths joined to the root
    }
    for (std::size_t end = rootLength + 1; end <= length; end++) {
        bool endsName = (end == length || path[end] == L'\\') && path[end - 1] != L'\\';
        if (endsName && refuseOtherName(std::wstring(path, end).c_str()) != 0) {
            return -1;
        }
    }
    return 0;
}

// Opens path (links followed) and checks that what was opened lies beneath the root, by its
// own names. Returns the handle, or INVALID_HANDLE_VALUE with the error set; its final path
// goes to finalOut (kLongPathSize units), when given.
HANDLE openVerified(const wchar_t* path, DWORD access, DWORD share, wchar_t* finalOut) {
    // FILE_FLAG_BACKUP_SEMANTICS lets CreateFile open a folder as well.
    HANDLE handle = CreateFileW(path, access, share, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        recordSystemError();
        // SECURITY: behind a link that leads out, a missing name must be refused as an
        // existing one is, or the two answers tell a client which names exist outside.
        if (isLastError(ErrorKind::kNotFound) && !isNearestFolderBeneathRoot(path)) {
            failRefused();
        }
        // An entry that another holds open (an upload's file) is missing by its other names
        // too, so that they tell nothing of it; by its own the open's error stands.
        if (isLastError(ErrorKind::kAccessDenied)) {
            (void)refuseOtherNames(path, nullptr);
        }
        return INVALID_HANDLE_VALUE;
    }
    wchar_t finalPath[kLongPathSize];
    if (finalPathOf(handle, finalPath, kLongPathSize) != 0 || !isBeneathRoot(finalPath)) {
        (void)CloseHandle(handle);
        failRefused();
        return INVALID_HANDLE_VALUE;
    }
    if (refuseOtherNames(path, finalPath) != 0) {
        (void)CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    if (finalOut != nullptr) {
        std::wmemcpy(finalOut, finalPath, std::wcslen(finalPath) + 1);
    }
    return handle;
}

// The full path of the entry that a path below the root names.
int entryPath(const char* path, wchar_t* out, std::size_t outSize) {
    std::vector<std::wstring> names;
    if (namesOfPath(path, &names) != 0) {
        return -1;
    }
    return joinPath(rootFinalPath, names, names.size(), out, outSize);
}
