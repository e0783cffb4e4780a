// SPDX-License-Identifier: BSD-2-Clause
// What the protocol fuzz target knows about a run of the module, and the
// check of everything the module wrote against it. The check is a model
// of what a server may see, not of what the module computes: which reply
// may follow which, that audio appears only inside a message and is the
// fake engine's own samples in order, that each index mark comes once, in
// text order, exactly when the audio before it has gone, that a message
// ends with one event that fits the way it was cut short, and that the
// exit status matches the way the output ends. The fake engine's call log
// says what the engine was given and whether its contract was kept.
#pragma once

#include <string>
#include <string_view>

namespace fuzz_protocol {

// The fake engine's script for one run, as the selector byte chooses it;
// see the table in fuzz_protocol.cpp.
struct scenario {
    const char *samples;  // QUORLIN_FAKE_SAMPLES: samples by message
    const char *chunk;    // QUORLIN_FAKE_CHUNK, or null
    const char *deliver;  // QUORLIN_FAKE_DELIVER, or null
    const char *fail;     // QUORLIN_FAKE_FAIL, or null
    const char *probes;   // QUORLIN_FAKE_PROBES, or null
    const char *reoffer;  // QUORLIN_FAKE_REOFFER, or null
    bool ignore_stop;     // QUORLIN_FAKE_IGNORE_STOP=1
    bool configured;      // started with the configuration file below
};

// The module's opt-in keys a run has on.
struct keys {
    bool streaming;  // CorvaneStreaming 1
    bool marks;      // CorvaneIndexMarks 1
    bool faithful;   // CorvaneFaithfulText 1
};

// The configuration file of configured scenarios, and what it changes.
inline constexpr std::string_view config_text =
    "# A configured engine: another voice, another rate, dictionaries.\n"
    "CorvaneSampleRate 1\n"
    "CorvaneDefaultVoice 3\n"
    "CorvaneSpeed 120\n"
    "CorvaneMainDict /nonexistent/main.dct\n"
    "CorvaneRootDict /nonexistent/root.dct\n";
inline constexpr int configured_rate_hz = 11025;
inline constexpr std::string_view configured_voice = "Male2";

// One finished run of the module.
struct run {
    const scenario &script;
    keys on;
    std::string_view input;       // what the server wrote, after the selector
    std::string_view out;         // the module's whole stdout
    std::string_view engine_log;  // the fake engine's call log
    int status;                   // the module's exit status
};

// Checks a finished run. Returns an empty string when everything holds,
// otherwise what did not.
std::string check_run(const run &r);

// The last `items` items of `out` for a report, one a line: reply lines
// with control bytes shown as ".", audio blocks as their frame count.
std::string describe_output(std::string_view out, size_t items);

}  // namespace fuzz_protocol
