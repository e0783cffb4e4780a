// SPDX-License-Identifier: BSD-2-Clause
// Splits what a module wrote on stdout into reply lines and decoded 705
// audio blocks, the way a speech server reads it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qtest {

struct Item {
    bool is_audio = false;
    std::string line;  // a reply line without its line feed (is_audio false)
    // Audio block fields (is_audio true).
    int bits = 0, num_channels = 0, sample_rate = 0, num_samples = 0, big_endian = 0;
    std::string payload;  // unescaped payload bytes
    size_t wire_payload_bytes = 0;  // escaped bytes as sent
};

struct Parsed {
    std::vector<Item> items;
    bool ok = true;       // false when a block was malformed
    std::string error;    // what was malformed
    std::string rest;     // bytes after the last complete item
};

Parsed parse_protocol(std::string_view out);

// The reply lines and a "705" marker per audio block, for compact checks.
std::vector<std::string> summary(const Parsed &p);

// The escaping of the 705 payload: '}' and LF become '}' + (byte ^ 0x20).
std::string escape_payload(std::string_view raw);

}  // namespace qtest
