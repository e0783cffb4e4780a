// SPDX-License-Identifier: BSD-2-Clause
// How the protocol and stress tests start the module with the fake
// engine: the caller's own QUORLIN_FAKE_ settings removed, so that only
// the test's script reaches the engine, and the engine's samples worked
// out here from its published pattern for comparison with what arrived.
#include "fake_module.h"

#include <cstdint>

#include "fake_engine.h"

namespace qtest {

ChildOptions fake_module_options(std::string_view program,
                                 const std::vector<std::pair<std::string, std::string>> &env) {
    ChildOptions o;
    o.argv.emplace_back(program);
    // The child removes these before it sets `env`, so a given one stays.
    for (const char *name : {"QUORLIN_FAKE_LOG", "QUORLIN_FAKE_SAMPLES", "QUORLIN_FAKE_CHUNK",
                             "QUORLIN_FAKE_DELIVER", "QUORLIN_FAKE_DELAY_MS", "QUORLIN_FAKE_FAIL",
                             "QUORLIN_FAKE_DICT_ERROR", "QUORLIN_FAKE_RATE_CODE",
                             "QUORLIN_FAKE_PROBES", "QUORLIN_FAKE_IGNORE_STOP",
                             "QUORLIN_FAKE_STOP_LOG"})
        o.unset_env.emplace_back(name);
    o.env = env;
    return o;
}

std::string fake_audio(int message, long first, long count) {
    std::string bytes;
    bytes.reserve(static_cast<size_t>(count) * 2);
    for (long i = first; i < first + count; i++) {
        auto v = static_cast<uint16_t>(quorlin_fake_sample(message, i));
        bytes.push_back(static_cast<char>(v & 0xFF));
        bytes.push_back(static_cast<char>(v >> 8));
    }
    return bytes;
}

}  // namespace qtest
