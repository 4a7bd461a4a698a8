// fuzz/fuzz_support.cpp: failure reports and the temporary served root of the fuzz targets.
#include "fuzz/fuzz_support.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "app/settings.h"
#include "base/text.h"
#include "platform/platform.h"
#include "session/session_thread.h"

namespace filesystem = std::filesystem;

void failProperty(const char* property, const std::string& detail) {
    // A run may silence standard error (the server reports every unknown verb there), so the
    // report also goes to the file that scripts/fuzz.sh names.
    const char* reportPath = std::getenv("TARNLOADER_FUZZ_REPORT");
    FILE* report = reportPath != nullptr ? std::fopen(reportPath, "a") : nullptr;
    for (FILE* out : {report, stderr}) {
        if (out != nullptr) {
            std::fprintf(out, "\n*** broken property: %s\n*** %s\n", property, detail.c_str());
            std::fflush(out);
        }
    }
    std::abort();
}

constexpr std::size_t kTreeNameSize = 40;

static std::string fuzzBase;
static std::string fuzzRoot;
static std::string fuzzFolders[kFuzzFolderCount];

static void removeFuzzTree() {
    std::error_code ignored;
    filesystem::remove_all(fuzzBase, ignored);
}

static void writeSmallFile(const filesystem::path& path, const char* content) {
    std::ofstream file(path, std::ios::binary);
    file << content;
}

// A folder whose path is close to the working-directory size, with a child that no longer
// fits, so that the length limits of CWD and resolution are reached. The names are fixed, so
// that seeds can name them, unless a long temporary folder leaves no room for them.
static filesystem::path makeDeepFolder(const filesystem::path& root) {
    filesystem::path deep = root / "deep" / std::string(100, 'd');
    std::size_t used = deep.string().size() + 1;
    std::size_t last = std::clamp<std::size_t>(used < 250 ? 250 - used : 1, 1, 100);
    deep /= std::string(last, 'e');
    filesystem::create_directories(deep / "longer-than-the-limit-allows");
    return deep;
}

static void makeFuzzTree() {
    // The process id is padded, so that the root's length, and with it what fits below the
    // root, does not change from run to run.
    char name[kTreeNameSize];
    std::snprintf(name, sizeof name, "tarnloader-fuzz-%010lu", processId());
    filesystem::path temporary = filesystem::canonical(filesystem::temp_directory_path());
    filesystem::path base = temporary / name;
    fuzzBase = base.string();
    removeFuzzTree();  // left by an earlier process that had the same id
    std::atexit(removeFuzzTree);
    filesystem::path root = base / "pkg";
    filesystem::create_directories(root / "fw" / "latest");
    filesystem::create_directories(root / "docs");
    filesystem::create_directories(base / "pkg2");
    filesystem::create_directories(base / "outside" / "dir");
    writeSmallFile(root / "a.bin", "inside");
    writeSmallFile(root / "fw" / "latest" / "b.bin", "inside");
    writeSmallFile(base / "pkg2" / "secret.bin", "outside");
    writeSmallFile(base / "outside" / "secret.txt", "outside");
    writeSmallFile(base / "secret.txt", "outside");
    filesystem::create_directory_symlink("../outside", root / "out");
    filesystem::create_directory_symlink("../..", root / "fw" / "up");
    filesystem::create_directory_symlink(base / "outside", root / "abs");
    filesystem::create_directory_symlink("../pkg2", root / "pkg2");
    filesystem::create_directory_symlink("/etc", root / "etc");
    filesystem::create_symlink("../outside/new.bin", root / "dangle");
    filesystem::create_symlink("../secret.txt", root / "secret.txt");
    filesystem::create_directory_symlink("fw/latest", root / "in");
    filesystem::create_directory_symlink("..", root / "docs" / "home");
    filesystem::create_symlink("loop", root / "loop");
    filesystem::path deep = makeDeepFolder(root);

    std::string rootText = root.string();
    copyText(serverSettings.rootPath, sizeof serverSettings.rootPath, rootText.c_str());
    if (setServedRoot(rootText.c_str()) != 0) {
        failProperty("the fuzz root can be served", rootText);
    }
    fuzzRoot = rootText;
    fuzzFolders[0] = "/";
    fuzzFolders[1] = "/fw";
    fuzzFolders[2] = "/fw/latest";
    fuzzFolders[3] = "/docs";
    fuzzFolders[4] = deep.string().substr(rootText.size());
}

const std::string& makeFuzzRoot() {
    if (fuzzRoot.empty()) {
        makeFuzzTree();
    }
    return fuzzRoot;
}

const std::string& fuzzFolder(int index) {
    return fuzzFolders[index];
}

bool liesWithin(const std::string& path, const std::string& root) {
    if (path.size() < root.size() || path.compare(0, root.size(), root) != 0) {
        return false;
    }
    return path.size() == root.size() || path[root.size()] == '/';
}

std::string resolveExistingPart(const std::string& path) {
    std::string prefix = path;
    for (;;) {
        std::error_code error;
        filesystem::path resolved = filesystem::canonical(prefix.empty() ? "/" : prefix, error);
        if (!error) {
            return resolved.string();
        }
        if (prefix.empty()) {
            return std::string();
        }
        std::size_t last = prefix.rfind('/');
        prefix.resize(last == std::string::npos ? 0 : last);
    }
}

FtpSession* makeFuzzSession() {
    makeFuzzRoot();
    FtpSession* session = createSession(kNoSocket, 0);
    if (session == nullptr) {
        failProperty("a session record can be made", "out of memory");
    }
    // The record's pages are not the C library's, so the leak checker cannot see the root
    // through them; it is held here as well.
    static Folder* root = openServedRoot();
    if (root == nullptr) {
        failProperty("the served root opens", fuzzRoot);
    }
    session->root = root;
    return session;
}
