// SPDX-License-Identifier: BSD-2-Clause
// The configuration the module is started with: the lines of the user's
// -c file, then the keys that quorlin-say's own options override. The
// module reads its file once, later lines winning, so an appended key
// wins over the user's. The merged text goes to a private regular file
// that lives as long as this object.
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

    // Takes the user's file; fails with exit status 2 when it is missing,
    // unreadable or not a file.
    void read_user_file(const std::string &path);
    // Whether the user's file sets `key` (matched without regard to case,
    // as the module matches keys; comment lines do not count).
    bool user_sets(const std::string &key) const;
    // A key whose line goes after the user's lines; a later call for the
    // same key replaces the earlier value.
    void set(const std::string &key, const std::string &value);

    // The merged text.
    std::string text() const;
    // Writes the merged text to a new private file and returns its path,
    // or returns "" when there is neither a user file nor an override (the
    // module then runs on its defaults).
    const std::string &write();

private:
    bool have_user_file_ = false;
    std::string user_text_;
    std::vector<std::pair<std::string, std::string>> overrides_;
    std::string path_;
};

}  // namespace say
