// SPDX-License-Identifier: BSD-2-Clause
// The configuration the module is started with: the lines of one file,
// the -c file or else the installed /etc/quorlin.conf that a speech
// server starts the module with, then the keys that quorlin-say's own
// options override. The module reads its file once, later lines
// winning, so an appended key wins over the file's. The merged text goes
// to a private regular file that lives as long as this object.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace say {

class ModuleConfig {
public:
    ModuleConfig() = default;
    ~ModuleConfig();
    ModuleConfig(const ModuleConfig &) = delete;
    ModuleConfig &operator=(const ModuleConfig &) = delete;

    // Takes the -c file; fails with exit status 2 when it is missing,
    // unreadable or not a file.
    void read_given_file(const std::string &path);
    // Takes the installed file when there is one: $QUORLIN_SAY_SYSTEM_CONFIG
    // when that is set (for tests, which must not depend on /etc; empty
    // for none), else /etc/quorlin.conf. One that exists but cannot be
    // read is named in a warning and the run goes on without it, as the
    // module would.
    void read_installed_file();
    // Whether the file read sets `key` (matched without regard to case,
    // as the module matches keys; comment lines do not count).
    bool file_sets(const std::string &key) const;
    // A key whose line goes after the file's lines; a later call for the
    // same key replaces the earlier value.
    void set(const std::string &key, const std::string &value);

    // The merged text.
    std::string text() const;
    // Writes the merged text to a new private file and returns its path,
    // or returns "" when there is neither a file nor an override (the
    // module then runs on its defaults).
    const std::string &write();

private:
    bool have_file_ = false;
    std::string file_text_;
    std::vector<std::pair<std::string, std::string>> overrides_;
    std::string path_;
};

}  // namespace say
