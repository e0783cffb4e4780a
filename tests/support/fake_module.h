// SPDX-License-Identifier: BSD-2-Clause
// The quorlin binary linked with the fake engine, as the protocol and
// stress tests start it: scripted only by the settings a test gives, and
// the samples the fake engine makes, for comparison with what arrived.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "child_process.h"

namespace qtest {

// Options that start `program` with the fake engine scripted by `env`
// alone: every QUORLIN_FAKE_ setting of the caller's own is removed.
ChildOptions fake_module_options(std::string_view program,
                                 const std::vector<std::pair<std::string, std::string>> &env);

// The fake engine's samples `first` to `first + count` of message
// `message`, as bytes in memory order (little-endian).
std::string fake_audio(int message, long first, long count);

}  // namespace qtest
