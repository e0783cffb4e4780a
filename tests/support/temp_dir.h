// SPDX-License-Identifier: BSD-2-Clause
// A scratch directory for a test's files (a module's configuration, a
// call record), removed with everything in it when the owner goes.
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

}  // namespace qtest
