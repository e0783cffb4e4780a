// SPDX-License-Identifier: BSD-2-Clause
// A main for the fuzz targets in builds without libFuzzer: runs every
// input named on the command line once, where a directory stands for
// every regular file in it. The saved corpus thereby becomes a test that
// any compiler can run; a crash or a failed check fails it. A replay that
// finds no input at all fails too, so that a mistyped path cannot pass.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool run_file(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fprintf(stderr, "replay: cannot open %s\n", path.c_str());
        return false;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // An exactly sized copy, so that a sanitizer sees a read past the end.
    std::vector<uint8_t> input(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
    return true;
}

std::vector<std::filesystem::path> inputs_of(const std::filesystem::path &arg)
{
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    if (!std::filesystem::is_directory(arg, ec)) {
        files.push_back(arg);
        return files;
    }
    for (const auto &entry : std::filesystem::directory_iterator(arg, ec)) {
        if (entry.is_regular_file())
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int main(int argc, char **argv)
{
    size_t runs = 0;
    for (int i = 1; i < argc; ++i) {
        for (const auto &path : inputs_of(argv[i])) {
            if (!run_file(path))
                return 1;
            ++runs;
        }
    }
    if (runs == 0) {
        fprintf(stderr, "replay: no inputs\n");
        return 1;
    }
    printf("replay: %zu inputs ran\n", runs);
    return 0;
}
