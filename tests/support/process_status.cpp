// SPDX-License-Identifier: BSD-2-Clause
// Reads one "Name:   value kB" line of /proc/PID/status.
#include "process_status.h"

#include <fstream>
#include <sstream>
#include <string>

namespace qtest {

long process_status_kb(pid_t pid, std::string_view field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        std::string_view l(line);
        if (!l.starts_with(field) || !l.substr(field.size()).starts_with(':')) continue;
        std::istringstream fields(line.substr(field.size() + 1));
        long kb = -1;
        fields >> kb;
        return kb;
    }
    return -1;
}

}  // namespace qtest
