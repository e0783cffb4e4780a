// SPDX-License-Identifier: BSD-2-Clause
// The quoting of recorded strings and the byte pattern of the streamed
// track, shared by the recording adapter and the tests that check it.
#include "recording_format.h"

#include <stdio.h>
#include <stdlib.h>

namespace qrec {

std::string quote(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::vector<unsigned char> pattern_bytes(const char *hex, size_t count) {
    std::string h = hex != nullptr && *hex != '\0' ? hex : "7d0a3412";
    std::vector<unsigned char> unit;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        unit.push_back(static_cast<unsigned char>(strtoul(h.substr(i, 2).c_str(), nullptr, 16)));
    std::vector<unsigned char> out(count);
    for (size_t i = 0; i < count; ++i) out[i] = unit[i % unit.size()];
    return out;
}

}  // namespace qrec
