// SPDX-License-Identifier: BSD-2-Clause
// What the plain measuring programs share: the clock, the median of a
// run of times, and the messages of a corpus file.
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

}  // namespace bench
