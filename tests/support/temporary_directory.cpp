// tests/support/temporary_directory.cpp: temporary directories through std::filesystem.
#include "tests/support/temporary_directory.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "app/settings.h"
#include "base/text.h"
#include "platform/platform.h"

namespace filesystem = std::filesystem;

TemporaryDirectory::TemporaryDirectory() {
    static std::atomic<unsigned> counter{0};
    auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    filesystem::path base = filesystem::canonical(filesystem::temp_directory_path());
    filesystem::path candidate =
        base / ("tarnloader-test-" + std::to_string(processId()) + "-" + std::to_string(now) + "-" +
                std::to_string(counter.fetch_add(1)));
    filesystem::create_directory(candidate);
    path_ = candidate.string();
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    // Read-only entries made by a test must not keep the folder alive.
    for (auto it = filesystem::recursive_directory_iterator(path_, ignored);
         it != filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        filesystem::permissions(it->path(), filesystem::perms::owner_all,
                                filesystem::perm_options::add | filesystem::perm_options::nofollow,
                                ignored);
    }
    filesystem::remove_all(path_, ignored);
}

std::string TemporaryDirectory::join(const std::string& relative) const {
    std::string joined = path_;
    for (char c : "/" + relative) {
        joined.push_back(c == '/' ? kPathSeparator : c);
    }
    return joined;
}

std::string TemporaryDirectory::writeFile(const std::string& relative,
                                          const std::string& content) const {
    std::string path = join(relative);
    filesystem::create_directories(filesystem::path(path).parent_path());
    std::ofstream file(path, std::ios::binary);
    file << content;
    return path;
}

std::string TemporaryDirectory::makeDirectory(const std::string& relative) const {
    std::string path = join(relative);
    filesystem::create_directories(path);
    return path;
}

void useServedRoot(const std::string& path) {
    copyText(serverSettings.rootPath, sizeof serverSettings.rootPath, path.c_str());
    (void)setServedRoot(path.c_str());  // a test of a missing root expects the failure
}
