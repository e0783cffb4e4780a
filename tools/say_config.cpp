// SPDX-License-Identifier: BSD-2-Clause
// The merged configuration of say_config.h: it owns the file's text, the
// overriding keys and the private file they are written to (removed
// with the object, or by a second signal through say_common). Which keys
// to override is quorlin_say's choice; what they mean is the module's.
#include "say_config.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "say_common.h"

namespace say {

ModuleConfig::~ModuleConfig() {
    if (path_.empty()) return;
    unlink(path_.c_str());
    forget_leftover(path_);
}

namespace {

// Where a speech server's module finds its configuration once the
// package is installed, or cmake --install's user copied the example.
constexpr const char *installed_config = "/etc/quorlin.conf";

}  // namespace

void ModuleConfig::read_given_file(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail("cannot read the configuration file " + path + ": " + strerror(errno), exit_usage);
    FdCloser closer{fd};
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
        fail("the configuration file " + path + " is a directory", exit_usage);
    file_text_ = read_all(fd, "the configuration file " + path, exit_usage);
    have_file_ = true;
}

void ModuleConfig::read_installed_file() {
    const char *env = getenv("QUORLIN_SAY_SYSTEM_CONFIG");
    std::string path = env ? env : installed_config;
    if (path.empty()) return;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) return;
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        fd = -1;
        errno = EISDIR;
    }
    if (fd < 0) {
        fprintf(stderr, "quorlin-say: warning: cannot read %s: %s; the module runs without it\n",
                path.c_str(), strerror(errno));
        return;
    }
    FdCloser closer{fd};
    file_text_ = read_all(fd, path);
    have_file_ = true;
}

bool ModuleConfig::file_sets(const std::string &key) const {
    size_t start = 0;
    while (start < file_text_.size()) {
        size_t lf = file_text_.find('\n', start);
        size_t end = lf == std::string::npos ? file_text_.size() : lf;
        size_t k = file_text_.find_first_not_of(" \t", start);
        if (k < end && file_text_[k] != '#') {
            size_t k_end = file_text_.find_first_of(" \t\r", k);
            if (k_end > end) k_end = end;
            if (k_end - k == key.size() &&
                strncasecmp(file_text_.c_str() + k, key.c_str(), key.size()) == 0)
                return true;
        }
        start = end + 1;
    }
    return false;
}

void ModuleConfig::set(const std::string &key, const std::string &value) {
    for (auto &kv : overrides_)
        if (strcasecmp(kv.first.c_str(), key.c_str()) == 0) {
            kv.second = value;
            return;
        }
    overrides_.emplace_back(key, value);
}

std::string ModuleConfig::text() const {
    std::string t = file_text_;
    if (!t.empty() && t.back() != '\n') t += '\n';
    if (!overrides_.empty()) {
        t += "# set by quorlin-say's options\n";
        for (const auto &[key, value] : overrides_) t += key + " " + value + "\n";
    }
    return t;
}

const std::string &ModuleConfig::write() {
    if (!path_.empty() || (!have_file_ && overrides_.empty())) return path_;
    const char *dir = getenv("TMPDIR");
    std::string name = std::string(dir && *dir ? dir : "/tmp") + "/quorlin-say-XXXXXX.conf";
    int fd = mkstemps(name.data(), 5);
    if (fd < 0)
        fail("cannot create a configuration file in " + name.substr(0, name.rfind('/')) + ": " +
             strerror(errno));
    path_ = name;  // from here on removed with this object, or by a second signal
    register_leftover(path_);
    std::string t = text();
    write_all(fd, t.data(), t.size(), "the configuration file " + path_);
    if (close(fd) != 0) fail("writing the configuration file " + path_ + ": " + strerror(errno));
    return path_;
}

}  // namespace say
