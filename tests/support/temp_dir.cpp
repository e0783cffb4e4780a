// SPDX-License-Identifier: BSD-2-Clause
// Scratch directories from mkdtemp under the system's temporary
// directory, and their removal with all they hold. A directory that
// cannot be made throws: the test cannot go on without its files.
#include "temp_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace qtest {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "quorlin-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(const std::string &name, std::string_view contents) const {
    std::string p = path_ + "/" + name;
    std::ofstream f(p, std::ios::binary);
    f.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    return p;
}

TempFile::TempFile(std::string_view contents, std::string_view suffix)
    : path_(dir_.write("file" + std::string(suffix), contents)) {}

}  // namespace qtest
