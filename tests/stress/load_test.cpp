// SPDX-License-Identifier: BSD-2-Clause
// The module under volume: one enormous line, a flood of commands in one
// write, and thousands of messages in one process with its resident
// memory watched. Every case checks the exact replies, so that nothing
// is lost, repeated or reordered under load.
#include <gtest/gtest.h>

#include <iostream>

#include "stress_harness.h"

namespace stress {
namespace {

using namespace std::chrono_literals;

// Index of the first difference, or -1 when equal; a vector of a hundred
// thousand lines is too long for the usual failure message.
long first_difference(const Lines &got, const Lines &want) {
    size_t n = std::min(got.size(), want.size());
    for (size_t i = 0; i < n; ++i)
        if (got[i] != want[i]) return static_cast<long>(i);
    return got.size() == want.size() ? -1 : static_cast<long>(n);
}

TEST(StressLoad, TwentyMegabyteLines) {
    const size_t bytes = 20u << 20;
    std::string junk(bytes, 'x');
    std::string text;
    text.reserve(bytes);
    while (text.size() < bytes) text += "word ";
    auto m = start();
    ASSERT_TRUE(handshake(*m));
    // A line of 20 MB that is no command, then a message of one such line.
    ASSERT_TRUE(m->write(junk + "\nSPEAK\n" + text + "\n.\n", 300s));
    ASSERT_TRUE(m->wait_for_stdout("702 END\n", 300s)) << m->out().substr(m->out().size() - 200);
    ASSERT_TRUE(m->write("QUIT\n"));
    EXPECT_EQ(m->wait_exit(60s), 0);
    qtest::Parsed p = parsed_after_handshake(*m);
    EXPECT_EQ(qtest::summary(p), (Lines{"300 ERR UNKNOWN COMMAND", "202 OK RECEIVING MESSAGE",
                                        "200 OK SPEAKING", "701 BEGIN", "705", "702 END",
                                        "210 OK QUIT"}));
    // The whole text was prepared, its last blank trimmed; the speaking
    // line shows its start and its length.
    text.pop_back();
    EXPECT_NE(m->err().find("quorlin: Speaking: " + text.substr(0, 500) + "... (" +
                            std::to_string(text.size()) + " bytes)\n"),
              std::string::npos);
}

struct Command {
    std::string bytes;
    Lines replies;
};

// Commands of every shape, answered and silent, blocks included.
const Command command_mix[] = {
    {"STOP\n", {}},
    {"NOT A COMMAND\n", {"300 ERR UNKNOWN COMMAND"}},
    {"LIST VOICES\n", {"200-Wade\ten-US\tnone", "200 OK VOICE LIST SENT"}},
    {"SET\nrate=10\n.\n", {"203 OK RECEIVING SETTINGS", "203 OK SETTINGS RECEIVED"}},
    {"DEBUG OFF\n", {"200 OK DEBUGGING OFF"}},
    {"PAUSE\n", {}},
    {"CHAR\na\nb\n.\n", {"202 OK RECEIVING MESSAGE", "305 DATA MORE THAN ONE LINE"}},
    {"LOGLEVEL\nlevel=3\n.\n", {"207 OK RECEIVING LOGLEVEL SETTINGS", "203 OK LOGLEVEL SET"}},
};

TEST(StressLoad, HundredThousandCommandsInOneWrite) {
    const size_t commands = 100000 / static_cast<size_t>(emulator_divisor());
    std::string input;
    Lines want;
    size_t stops = 0, pauses = 0;
    for (size_t i = 0; i < commands; ++i) {
        const Command &c = command_mix[i % std::size(command_mix)];
        input += c.bytes;
        want.insert(want.end(), c.replies.begin(), c.replies.end());
        stops += c.bytes == "STOP\n";
        pauses += c.bytes == "PAUSE\n";
    }
    input += "QUIT\n";
    want.push_back("210 OK QUIT");
    auto m = start();
    ASSERT_TRUE(handshake(*m));
    ASSERT_TRUE(m->write(input, 300s));
    EXPECT_EQ(m->wait_exit(300s, false), 0);
    Lines got = qtest::summary(parsed_after_handshake(*m));
    long diff = first_difference(got, want);
    std::string at = diff >= 0 && size_t(diff) < got.size() ? got[size_t(diff)] : "";
    EXPECT_EQ(diff, -1) << "got " << got.size() << " lines, want " << want.size() << "; at "
                        << diff << ": \"" << at << "\"";
    EXPECT_EQ(count_lines(m->err(), "quorlin: stop requested"), stops);
    EXPECT_EQ(count_lines(m->err(), "quorlin: pause requested"), pauses);
}

// Sends `count` messages as a server does, each after the END of the one
// before (a message that comes while another streams is refused).
void speak_each(qtest::Child &m, long count, const std::string &text) {
    const std::string message = "SPEAK\n" + text + "\n.\n";
    for (long i = 0; i < count; ++i) {
        size_t from = m.out().size();
        ASSERT_TRUE(m.write(message));
        ASSERT_TRUE(m.wait_for_stdout("702 END\n", 60s, from)) << "message " << i;
    }
}

// Every message allocates its text, its prepared text and its engine
// input, and refills the sample store: after the first messages have
// sized the buffers that are kept, resident memory must stay where it
// is. A leak of one message's text would add 5 MB here.
TEST(StressLoad, FiveThousandMessagesKeepResidentMemoryFlat) {
    const long messages = 5000 / emulator_divisor();
    const long warm = messages / 10;
    const long samples = 1000;
    std::string text;
    while (text.size() < 1000) text += "Memory must not grow with every message. ";
    // Freed blocks go back to the allocator at once also under
    // AddressSanitizer, whose quarantine would otherwise hold them.
    auto m = start({{"QUORLIN_FAKE_SAMPLES", std::to_string(samples)},
                    {"ASAN_OPTIONS", "quarantine_size_mb=0"}});
    ASSERT_TRUE(handshake(*m));
    speak_each(*m, warm, text);
    if (HasFatalFailure()) return;
    long warm_kb = qtest::process_status_kb(m->pid(), "VmRSS");
    speak_each(*m, messages - warm, text);
    if (HasFatalFailure()) return;
    long end_kb = qtest::process_status_kb(m->pid(), "VmRSS");
    ASSERT_TRUE(m->write("QUIT\n"));
    EXPECT_EQ(m->wait_exit(60s, false), 0);
    std::cout << "VmRSS after " << warm << " messages: " << warm_kb << " kB; after " << messages
              << ": " << end_kb << " kB\n";
    ASSERT_GT(warm_kb, 0);
    EXPECT_LE(end_kb - warm_kb, 256);

    qtest::Parsed p = parsed_after_handshake(*m);
    const Lines message = {"202 OK RECEIVING MESSAGE", "200 OK SPEAKING", "701 BEGIN", "705",
                           "702 END"};
    Lines want;
    for (long i = 0; i < messages; ++i) want.insert(want.end(), message.begin(), message.end());
    want.push_back("210 OK QUIT");
    Lines got = qtest::summary(p);
    EXPECT_EQ(first_difference(got, want), -1) << got.size() << " lines, want " << want.size();
    int n = 0;
    for (auto &it : p.items) {
        if (!it.is_audio) continue;
        ++n;
        if (it.payload != fake_audio(n, 0, samples)) {
            ADD_FAILURE() << "audio of message " << n << " differs";
            break;
        }
    }
    EXPECT_EQ(n, messages);
}

}  // namespace
}  // namespace stress
