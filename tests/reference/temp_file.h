// SPDX-License-Identifier: BSD-2-Clause
// A temporary file holding given bytes, removed when the owner goes.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace reftest {

class TempFile {
public:
    explicit TempFile(const std::string &bytes, const char *suffix = "") {
        std::string name = std::string("/tmp/quorlin-test-XXXXXX") + suffix;
        int fd = mkstemps(name.data(), static_cast<int>(std::string(suffix).size()));
        if (fd < 0) return;
        path_ = name;
        const char *p = bytes.data();
        size_t left = bytes.size();
        while (left > 0) {
            ssize_t w = ::write(fd, p, left);
            if (w <= 0) break;
            p += w;
            left -= static_cast<size_t>(w);
        }
        ::close(fd);
    }
    ~TempFile() {
        if (!path_.empty()) unlink(path_.c_str());
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    // Empty when the file could not be made.
    const char *path() const { return path_.c_str(); }

private:
    std::string path_;
};

}  // namespace reftest
