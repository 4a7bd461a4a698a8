// tests/support/temporary_directory.h: a fresh directory per test, and a served root in it.
#pragma once

#include <string>

// Creates a new, empty directory under the system's temporary folder (with links resolved)
// and removes it, with everything in it, when the test ends.
class TemporaryDirectory {
  public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::string& path() const { return path_; }
    // path() joined with a relative name, with the platform's separator.
    std::string join(const std::string& relative) const;
    // Creates a file (and its folders) holding content; returns its path.
    std::string writeFile(const std::string& relative, const std::string& content = "") const;
    std::string makeDirectory(const std::string& relative) const;

  private:
    std::string path_;
};

// Makes path the served root of this process's settings, as start-up would.
void useServedRoot(const std::string& path);
