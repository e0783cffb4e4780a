// SPDX-License-Identifier: BSD-2-Clause
// The quorlin binary with the fake engine under load: started with the
// engine scripted through the environment, driven through pipes like the
// protocol tests, with a helper for counts of reply lines; the module's
// resident memory is read through process_status.h.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "child_process.h"
#include "fake_module.h"
#include "process_status.h"
#include "protocol.h"

namespace stress {

using Env = std::vector<std::pair<std::string, std::string>>;
using Lines = std::vector<std::string>;

// Starts the module with the fake engine scripted by `env`; every other
// QUORLIN_FAKE_ setting is removed, and the engine logs nothing.
std::unique_ptr<qtest::Child> start(const Env &env = {});

// Sends INIT and waits for the 299 block.
bool handshake(qtest::Child &c);

// The reply lines and a "705" per audio block of stdout after the
// handshake; fails the test if the output is malformed.
qtest::Parsed parsed_after_handshake(const qtest::Child &c);

size_t count_lines(std::string_view text, std::string_view line);

using qtest::fake_audio;

// 32-bit builds run the module under an emulator, many times slower:
// the counts of the longest cases are divided by this there.
long emulator_divisor();

}  // namespace stress
