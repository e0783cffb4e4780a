// SPDX-License-Identifier: BSD-2-Clause
// Commands that reach a message while it is spoken: STOP and PAUSE while
// the engine synthesises and while the audio streams, settings and
// message commands executed between audio blocks, QUIT in the middle of
// a stream, and STOP between messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "module_harness.h"

namespace adapter_test {
namespace {

const std::string two_and_a_half_blocks = "12500";

Lines message_start() { return {"202 OK RECEIVING MESSAGE", "200 OK SPEAKING", "701 BEGIN"}; }

Lines join(Lines a, const Lines &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

size_t count_calls(const Lines &log, const std::string &prefix) {
    return static_cast<size_t>(std::count_if(
        log.begin(), log.end(), [&](auto &l) { return l.rfind(prefix, 0) == 0; }));
}

// The next message after an interrupted one is spoken whole, from the
// engine's next synthesis.
void expect_next_message_whole(Module &m, int message, long samples) {
    auto p = m.parsed_since(m.speak("SPEAK", "next"));
    EXPECT_EQ(qtest::summary(p),
              join(message_start(), {"705", "705", "705", "702 END"}));
    EXPECT_EQ(joined_audio(p), fake_audio(message, 0, samples));
}

struct InterruptCase {
    const char *name;
    const char *command;   // STOP or PAUSE
    bool while_synthesising;
    const char *log_line;
};

class Interrupt : public ::testing::TestWithParam<InterruptCase> {};

// The command waits until the first block has gone: one full block, then
// the END event; no STOP or PAUSE event.
TEST_P(Interrupt, EndsTheStreamAfterTheFirstBlock) {
    const InterruptCase &c = GetParam();
    Env env = {{"QUORLIN_FAKE_SAMPLES", two_and_a_half_blocks}};
    if (c.while_synthesising) env.emplace_back("QUORLIN_FAKE_DELAY_MS", "700");
    Module m({env, std::nullopt, std::nullopt});
    ASSERT_TRUE(m.handshake());
    size_t log_from = m.engine_log().size();
    std::string command = std::string(c.command) + "\n";
    size_t from;
    if (c.while_synthesising) {
        from = m.send(block("SPEAK", "hello"));
        ASSERT_TRUE(m.wait_for("701 BEGIN\n", from));
        m.send(command);
    } else {
        from = m.send(block("SPEAK", "hello") + command);
    }
    ASSERT_TRUE(m.wait_for("702 END\n", from)) << m.child().out().substr(from);
    auto p = m.parsed_since(from);
    EXPECT_EQ(qtest::summary(p), join(message_start(), {"705", "702 END"}));
    EXPECT_EQ(joined_audio(p), fake_audio(1, 0, 5000));
    EXPECT_EQ(m.count_stderr(c.log_line), 1u);
    Lines calls = m.engine_log(log_from);
    ASSERT_FALSE(calls.empty());
    // The engine had finished: the stop reaches it after the synthesis.
    EXPECT_EQ(calls.back(), "eciStop");
    EXPECT_EQ(calls[calls.size() - 2], "eciSynchronize");
    expect_next_message_whole(m, 2, 12500);
}

const InterruptCase interrupt_cases[] = {
    {"StopDuringStreaming", "STOP", false, "quorlin: stop requested"},
    {"PauseDuringStreaming", "PAUSE", false, "quorlin: pause requested"},
    {"StopWhileSynthesising", "STOP", true, "quorlin: stop requested"},
    {"PauseWhileSynthesising", "PAUSE", true, "quorlin: pause requested"},
};

INSTANTIATE_TEST_SUITE_P(Adapter, Interrupt, ::testing::ValuesIn(interrupt_cases),
                         CaseName());

// The server reads slowly: the module is blocked in the middle of the
// stream when STOP arrives, and sends only what it had started.
TEST(AdapterInterrupt, StopReachesAStreamBlockedOnTheServer) {
    const long samples = 300000;  // 60 blocks, several times a pipe's capacity
    Module m({{{"QUORLIN_FAKE_SAMPLES", std::to_string(samples)}}, std::nullopt, std::nullopt});
    ASSERT_TRUE(m.handshake());
    size_t from = m.send(block("SPEAK", "hello"));
    ASSERT_TRUE(m.wait_for("701 BEGIN\n", from));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    m.send("STOP\n");
    ASSERT_TRUE(m.wait_for("702 END\n", from));
    auto p = m.parsed_since(from);
    ASSERT_TRUE(p.ok) << p.error;
    size_t blocks = count_blocks(p);
    EXPECT_GE(blocks, 1u);
    EXPECT_LT(blocks, 60u);
    EXPECT_EQ(joined_audio(p), fake_audio(1, 0, static_cast<long>(blocks) * 5000));
    EXPECT_EQ(qtest::summary(p).back(), "702 END");
}

TEST(AdapterInterrupt, StopBetweenMessagesOnlyStopsTheIdleEngine) {
    Module m({{{"QUORLIN_FAKE_SAMPLES", "100,12500"}}, std::nullopt, std::nullopt});
    ASSERT_TRUE(m.handshake());
    m.speak("SPEAK", "first");
    size_t log_from = m.engine_log().size();
    size_t from = m.send("STOP\n");
    ASSERT_TRUE(m.child().wait_for_stderr("quorlin: stop requested\n"));
    m.child().pump_for(std::chrono::milliseconds(100));
    EXPECT_EQ(m.child().out().size(), from);
    EXPECT_EQ(m.engine_log(log_from), Lines{"eciStop"});
    expect_next_message_whole(m, 2, 12500);
}

struct BetweenBlocksCase {
    const char *name;
    std::string commands;  // sent together with the message
    Lines replies;         // what they answer between the first two blocks
    size_t blocks;         // blocks of the message sent in all
};

class BetweenBlocks : public ::testing::TestWithParam<BetweenBlocksCase> {};

// Commands executed between two audio blocks of a message leave its
// samples and its lock alone; message commands are refused there, and the
// message still ends with one END event.
TEST_P(BetweenBlocks, LeaveTheStreamedMessageWhole) {
    const BetweenBlocksCase &c = GetParam();
    Module m({{{"QUORLIN_FAKE_SAMPLES", two_and_a_half_blocks}}, std::nullopt, std::nullopt});
    ASSERT_TRUE(m.handshake());
    size_t from = m.send(block("SPEAK", "hello") + c.commands);
    ASSERT_TRUE(m.wait_for("702 END\n", from)) << m.child().out().substr(from);
    auto p = m.parsed_since(from);
    Lines want = join(join(message_start(), {"705"}), c.replies);
    for (size_t i = 1; i < c.blocks; i++) want.push_back("705");
    want.push_back("702 END");
    EXPECT_EQ(qtest::summary(p), want);
    EXPECT_EQ(joined_audio(p), fake_audio(1, 0, std::min(12500L, static_cast<long>(c.blocks) * 5000)));
    EXPECT_EQ(count_calls(m.engine_log(), "eciAddText"), 1u);
    EXPECT_EQ(m.count_stderr("quorlin: Speaking: hello"), 1u);
    expect_next_message_whole(m, 2, 12500);
}

const BetweenBlocksCase between_blocks_cases[] = {
    {"Set", "SET\nrate=100\n.\n", {"203 OK RECEIVING SETTINGS", "203 OK SETTINGS RECEIVED"}, 3},
    {"ListVoices", "LIST VOICES\n", {"200-Wade\ten-US\tnone", "200 OK VOICE LIST SENT"}, 3},
    {"Speak", "SPEAK\nsecond\n.\n", {"202 OK RECEIVING MESSAGE", "301 ERROR CANT SPEAK"}, 3},
    {"SoundIcon", "SOUND_ICON\nbell\n.\n", {"202 OK RECEIVING MESSAGE", "301 ERROR CANT SPEAK"}, 3},
    {"Char", "CHAR\nx\n.\n", {"202 OK RECEIVING MESSAGE", "301 ERROR CANT SPEAK"}, 3},
    {"KeySpace", "KEY\nspace\n.\n", {"202 OK RECEIVING MESSAGE", "301 ERROR CANT SPEAK"}, 3},
    {"TwoMessages", "SPEAK\na\n.\nCHAR\nb\n.\n",
     {"202 OK RECEIVING MESSAGE", "301 ERROR CANT SPEAK", "202 OK RECEIVING MESSAGE",
      "301 ERROR CANT SPEAK"},
     3},
    {"SpeakThenStop", "SPEAK\nsecond\n.\nSTOP\n",
     {"202 OK RECEIVING MESSAGE", "301 ERROR CANT SPEAK"}, 1},
};

INSTANTIATE_TEST_SUITE_P(Adapter, BetweenBlocks, ::testing::ValuesIn(between_blocks_cases),
                         CaseName());

struct BehindStopCase {
    const char *name;
    std::string commands;  // sent in one write with the first message
    Lines after;           // what follows the first message's 702
    long second_samples;   // samples of the second message, 0 for none
    int status;            // -1: the module keeps running
};

class BehindAStop : public ::testing::TestWithParam<BehindStopCase> {};

// A server stops the current message and at once sends the next thing:
// the stream ends after its first block with 702, and only then is the
// rest read and executed, by the loop.
TEST_P(BehindAStop, RunsAfterTheStreamEnds) {
    const BehindStopCase &c = GetParam();
    Module m({{{"QUORLIN_FAKE_SAMPLES", two_and_a_half_blocks}}, std::nullopt, std::nullopt});
    ASSERT_TRUE(m.handshake());
    size_t from = m.send(block("SPEAK", "first") + c.commands);
    if (c.status >= 0)
        EXPECT_EQ(m.child().wait_exit(std::chrono::seconds(20), false), c.status);
    else
        ASSERT_TRUE(m.wait_for("702 END\n", from) &&
                    m.wait_for("702 END\n", m.child().out().find("702 END\n", from) + 1))
            << m.child().out().substr(from);
    auto p = m.parsed_since(from);
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(qtest::summary(p), join(join(message_start(), {"705", "702 END"}), c.after));
    std::string second = c.second_samples > 0 ? fake_audio(2, 0, c.second_samples) : "";
    EXPECT_EQ(joined_audio(p), fake_audio(1, 0, 5000) + second);
    EXPECT_EQ(m.count_stderr("quorlin: Speaking: second"), c.second_samples > 0 ? 1u : 0u);
    EXPECT_EQ(count_calls(m.engine_log(), "eciAddText"), c.second_samples > 0 ? 2u : 1u);
}

const BehindStopCase behind_stop_cases[] = {
    {"StopThenSpeak", "STOP\nSPEAK\nsecond\n.\n",
     join(message_start(), {"705", "705", "705", "702 END"}), 12500, -1},
    {"PauseThenSpeak", "PAUSE\nSPEAK\nsecond\n.\n",
     join(message_start(), {"705", "705", "705", "702 END"}), 12500, -1},
    {"StopThenQuit", "STOP\nQUIT\n", {"210 OK QUIT"}, 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Adapter, BehindAStop, ::testing::ValuesIn(behind_stop_cases),
                         CaseName());

TEST(AdapterInterrupt, SetDuringStreamingTakesEffectFromTheNextMessage) {
    Module m({{{"QUORLIN_FAKE_SAMPLES", two_and_a_half_blocks}}, std::nullopt, std::nullopt});
    ASSERT_TRUE(m.handshake());
    size_t from = m.send(block("SPEAK", "hello") + "SET\nrate=100\npitch=-100\nvolume=0\n.\n");
    ASSERT_TRUE(m.wait_for("702 END\n", from));
    Lines first = m.engine_log();
    EXPECT_EQ(count_calls(first, "eciSetVoiceParam 0 eciSpeed 50"), 1u);
    EXPECT_EQ(count_calls(first, "eciSetVoiceParam 0 eciSpeed 250"), 0u);
    m.speak("SPEAK", "next");
    Lines next = m.engine_log(first.size());
    ASSERT_GE(next.size(), 3u);
    EXPECT_EQ(Lines(next.begin(), next.begin() + 3),
              (Lines{"eciSetVoiceParam 0 eciSpeed 250", "eciSetVoiceParam 0 eciPitchBaseline 0",
                     "eciSetVoiceParam 0 eciVolume 50"}));
}

TEST(AdapterInterrupt, QuitDuringStreamingEndsTheProcessCleanly) {
    Module m({{{"QUORLIN_FAKE_SAMPLES", two_and_a_half_blocks}}, std::nullopt, std::nullopt});
    ASSERT_TRUE(m.handshake());
    size_t log_from = m.engine_log().size();
    size_t from = m.send(block("SPEAK", "hello") + "QUIT\n");
    EXPECT_EQ(m.child().wait_exit(std::chrono::seconds(20), false), 0);
    auto p = m.parsed_since(from);
    EXPECT_EQ(qtest::summary(p), join(message_start(), {"705", "210 OK QUIT"}));
    EXPECT_EQ(joined_audio(p), fake_audio(1, 0, 5000));
    EXPECT_EQ(m.count_stderr("quorlin: closing"), 1u) << m.child().err();
    Lines calls = m.engine_log(log_from);
    EXPECT_EQ(count_calls(calls, "eciDelete"), 1u);
    EXPECT_EQ(calls.back(), "eciDelete");
}

}  // namespace
}  // namespace adapter_test
