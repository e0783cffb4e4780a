// SPDX-License-Identifier: BSD-2-Clause
// A scratch directory for a test's files (a module's configuration, a
// call record), removed with everything in it when the owner goes, and
// a single scratch file made the same way. Nothing here writes outside
// the system's temporary directory.
#pragma once

#include <string>
#include <string_view>

namespace qtest {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    // Writes `contents` to a file of the directory; returns its path.
    std::string write(const std::string &name, std::string_view contents) const;

private:
    std::string path_;
};

// One file holding `contents`, alone in a scratch directory of its own;
// `suffix` ends its name (".wav"). Both go with the owner.
class TempFile {
public:
    explicit TempFile(std::string_view contents, std::string_view suffix = "");
    const char *path() const { return path_.c_str(); }

private:
    TempDir dir_;
    std::string path_;
};

}  // namespace qtest
