// SPDX-License-Identifier: BSD-2-Clause
// Starts the module with the fake engine for the load and interruption
// tests, shakes hands, and reads what followed the handshake as reply
// lines and audio blocks. Limits on counts and time are the tests' own.
#include "stress_harness.h"

#include <gtest/gtest.h>

#ifndef QUORLIN_FAKE_MODULE
#error "QUORLIN_FAKE_MODULE must name the module linked with the fake engine"
#endif

namespace stress {

namespace {
constexpr std::string_view handshake_block =
    "299-Corvane TTS initialized successfully\n299 OK LOADED SUCCESSFULLY\n";
}

std::unique_ptr<qtest::Child> start(const Env &env) {
    return std::make_unique<qtest::Child>(qtest::fake_module_options(QUORLIN_FAKE_MODULE, env));
}

bool handshake(qtest::Child &c) {
    return c.write("INIT\n") && c.wait_for_stdout(handshake_block, std::chrono::seconds(30));
}

qtest::Parsed parsed_after_handshake(const qtest::Child &c) {
    std::string_view out = c.out();
    EXPECT_TRUE(out.starts_with(handshake_block)) << out.substr(0, 200);
    if (out.starts_with(handshake_block)) out.remove_prefix(handshake_block.size());
    qtest::Parsed p = qtest::parse_protocol(out);
    EXPECT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.rest, "");
    return p;
}

size_t count_lines(std::string_view text, std::string_view line) {
    size_t n = 0;
    for (size_t at = 0; at < text.size();) {
        size_t lf = text.find('\n', at);
        if (lf == std::string_view::npos) lf = text.size();
        n += text.substr(at, lf - at) == line;
        at = lf + 1;
    }
    return n;
}

long emulator_divisor() { return *qtest::test_emulator() ? 2 : 1; }

}  // namespace stress
