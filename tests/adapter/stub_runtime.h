// SPDX-License-Identifier: BSD-2-Clause
// A recording stand-in for the module runtime, for tests that link the
// adapter directly with the fake engine: it records the replies and
// events the adapter sends and copies each track it is handed, and lets a
// test run code where the real audio writer would run a command pass.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace stub_runtime {

struct Track {
    int bits = 0, num_channels = 0, sample_rate = 0;
    std::vector<int16_t> samples;
};

// Replies and events in order: "200", "301", "701", "702", "703", and
// "705" for each track handed to the audio writer.
extern std::vector<std::string> events;
extern std::vector<Track> tracks;
// Run by the audio writer where the real one runs its command pass;
// the track is copied after it has run.
extern std::function<void()> during_stream;
// What module_process returns.
extern int process_result;

void reset();

}  // namespace stub_runtime
