// SPDX-License-Identifier: BSD-2-Clause
// Helpers shared by the recording adapter and the tests that read its
// record: the quoting of recorded strings and the byte pattern of the
// streamed track.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qrec {

// Double-quoted, with '"' and '\' escaped and other bytes outside
// printable ASCII written as \xHH.
std::string quote(std::string_view s);

// `count` bytes repeating the hex pattern (default "7d0a3412").
std::vector<unsigned char> pattern_bytes(const char *hex, size_t count);

}  // namespace qrec
