// SPDX-License-Identifier: BSD-2-Clause
// What the protocol fuzz target knows about a run of the module, and the
// check of everything the module wrote against it. The check is a model
// of what a server may see, not of what the module computes: which reply
// may follow which, that audio appears only inside a message and is the
// fake engine's own samples in order, and that the exit status matches
// the way the output ends.
#pragma once

#include <string>
#include <string_view>

namespace fuzz_protocol {

// The fake engine's script for one run, as the first byte of an input
// chooses it; see the table in fuzz_protocol.cpp.
struct scenario {
    const char *samples;   // QUORLIN_FAKE_SAMPLES: samples by message
    const char *chunk;     // QUORLIN_FAKE_CHUNK, or null
    const char *deliver;   // QUORLIN_FAKE_DELIVER, or null
    const char *fail;      // QUORLIN_FAKE_FAIL, or null
    const char *probes;    // QUORLIN_FAKE_PROBES, or null
    bool configured;       // started with the configuration file below
    int add_text_fails;    // the eciAddText call that fails (from 1), 0 none
    int synthesize_fails;  // the eciSynthesize call that fails, 0 none
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

// Checks a finished run: `input` is what the server wrote (after the
// scenario byte), `out` the module's whole stdout and `status` its exit
// status. Returns an empty string when everything holds, otherwise what
// did not.
std::string check_run(const scenario &s, std::string_view input, std::string_view out,
                      int status);

}  // namespace fuzz_protocol
