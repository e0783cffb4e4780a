// SPDX-License-Identifier: BSD-2-Clause
// What the plain measuring programs share: the clock, the median of a
// run of times, the messages of a corpus file, and a long message made
// of a file repeated.
#pragma once

#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

namespace bench {

inline double now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The non-empty lines of `f`, without their line ends: one message each.
// The file is closed.
inline std::vector<std::string> corpus_lines(FILE *f) {
    std::vector<std::string> lines;
    char buf[65536];
    while (fgets(buf, sizeof buf, f) != nullptr) {
        std::string line(buf);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    fclose(f);
    return lines;
}

// The contents of `f` repeated to `bytes` bytes, or cut to them when the
// file is larger, and cut back to the last blank or line feed before
// that, so that no word is cut. The file is closed.
inline std::string repeated_text(FILE *f, size_t bytes) {
    std::string once;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) once.append(buf, n);
    fclose(f);
    if (once.empty()) return once;
    std::string text;
    while (text.size() < bytes) text += once;
    if (text.size() > bytes) {
        size_t cut = text.find_last_of(" \n", bytes);
        text.resize(cut == std::string::npos || cut == 0 ? bytes : cut);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

}  // namespace bench
