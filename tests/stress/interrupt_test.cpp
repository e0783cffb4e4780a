// SPDX-License-Identifier: BSD-2-Clause
// The module interrupted under load: floods of STOP while a long message
// streams, input that ends inside a block or a stream, and a server that
// closes its end of the module's stdout. Each case checks the replies the
// server still gets, the exit status and that nothing hangs.
#include <gtest/gtest.h>

#include "stress_harness.h"

namespace stress {
namespace {

using namespace std::chrono_literals;

constexpr long block_frames = 5000;
constexpr long long_message = 600000;  // 120 blocks, many times a pipe's capacity
const Lines message_start = {"202 OK RECEIVING MESSAGE", "200 OK SPEAKING", "701 BEGIN"};

Lines join(Lines a, const Lines &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Lines blocks(size_t n) { return Lines(n, "705"); }

std::string repeated(std::string_view piece, size_t n) {
    std::string s;
    s.reserve(piece.size() * n);
    for (size_t i = 0; i < n; ++i) s += piece;
    return s;
}

// The audio of every block in `p` from item `from` on, joined, and the
// number of those blocks.
std::pair<std::string, size_t> audio_from(const qtest::Parsed &p, size_t from) {
    std::string all;
    size_t n = 0;
    for (size_t i = from; i < p.items.size() && (p.items[i].is_audio || n == 0); ++i) {
        if (!p.items[i].is_audio) continue;
        all += p.items[i].payload;
        ++n;
    }
    return {all, n};
}

// STOP lines already waiting when the stream starts: the first block goes
// whole, the pass after it executes every STOP, and the next message is
// spoken whole.
TEST(StressInterrupt, StopFloodBeforeTheFirstBlock) {
    const size_t stops = 10000 / static_cast<size_t>(emulator_divisor());
    auto m = start({{"QUORLIN_FAKE_SAMPLES", std::to_string(long_message) + ",12500"}});
    ASSERT_TRUE(handshake(*m));
    ASSERT_TRUE(m->write("SPEAK\nfirst\n.\n" + repeated("STOP\n", stops)));
    ASSERT_TRUE(m->wait_for_stdout("702 END\n", 60s));
    size_t from = m->out().size();
    ASSERT_TRUE(m->write("SPEAK\nsecond\n.\n"));
    ASSERT_TRUE(m->wait_for_stdout("702 END\n", 60s, from));
    ASSERT_TRUE(m->write("QUIT\n"));
    EXPECT_EQ(m->wait_exit(60s, false), 0);
    qtest::Parsed p = parsed_after_handshake(*m);
    EXPECT_EQ(qtest::summary(p),
              join(join(join(message_start, {"705", "702 END"}), message_start),
                   {"705", "705", "705", "702 END", "210 OK QUIT"}));
    EXPECT_TRUE(audio_from(p, 3).first == fake_audio(1, 0, block_frames));
    EXPECT_TRUE(audio_from(p, 8).first == fake_audio(2, 0, 12500));
    EXPECT_EQ(count_lines(m->err(), "quorlin: stop requested"), stops);
}

// A hundred thousand STOP lines while the server reads slowly: the module
// is blocked on a full stdout when they come, the stream ends a few blocks
// later with an unbroken prefix of the audio, every STOP is executed, and
// the next message is spoken whole.
TEST(StressInterrupt, StopFloodWhileStreaming) {
    const size_t stops = 100000 / static_cast<size_t>(emulator_divisor());
    auto m = start({{"QUORLIN_FAKE_SAMPLES", std::to_string(long_message) + ",12500"}});
    ASSERT_TRUE(handshake(*m));
    ASSERT_TRUE(m->write("SPEAK\nfirst\n.\n"));
    ASSERT_TRUE(m->wait_for_stdout("705 AUDIO\n", 60s));
    ASSERT_TRUE(m->write(repeated("STOP\n", stops), 120s));
    ASSERT_TRUE(m->wait_for_stdout("702 END\n", 120s));
    ASSERT_TRUE(m->write("SPEAK\nsecond\n.\n"));
    size_t from = m->out().find("702 END\n") + 8;
    ASSERT_TRUE(m->wait_for_stdout("702 END\n", 60s, from));
    ASSERT_TRUE(m->write("QUIT\n"));
    EXPECT_EQ(m->wait_exit(60s, false), 0);

    qtest::Parsed p = parsed_after_handshake(*m);
    auto [first, sent] = audio_from(p, 3);
    EXPECT_GE(sent, 1u);
    EXPECT_LT(sent, static_cast<size_t>(long_message / block_frames));
    EXPECT_TRUE(first == fake_audio(1, 0, static_cast<long>(sent) * block_frames));
    EXPECT_EQ(qtest::summary(p),
              join(join(join(join(message_start, blocks(sent)), {"702 END"}), message_start),
                   {"705", "705", "705", "702 END", "210 OK QUIT"}));
    EXPECT_TRUE(audio_from(p, 3 + sent + 4).first == fake_audio(2, 0, 12500));
    EXPECT_EQ(count_lines(m->err(), "quorlin: stop requested"), stops);
}

struct ClosedCase {
    const char *name;
    std::string input;  // after the handshake; input ends after it
    Lines replies;      // the module's answer, up to and without the 399
};

void PrintTo(const ClosedCase &c, std::ostream *os) { *os << c.name; }

class InputClosed : public ::testing::TestWithParam<ClosedCase> {};

// Input that ends where it ends: the module answers what it had,
// drops an unfinished block without a reply, closes with 399 and exit
// status 255, and speaks nothing it had not received whole.
TEST_P(InputClosed, EndsWith399AndStatus255) {
    const ClosedCase &c = GetParam();
    auto m = start({{"QUORLIN_FAKE_SAMPLES", "12500"}});
    ASSERT_TRUE(handshake(*m));
    ASSERT_TRUE(m->write(c.input));
    EXPECT_EQ(m->wait_exit(60s), 255);
    qtest::Parsed p = parsed_after_handshake(*m);
    EXPECT_EQ(qtest::summary(p), join(c.replies, {"399 ERR MODULE CLOSED"}));
    std::string audio;
    for (auto &it : p.items) audio += it.payload;
    EXPECT_TRUE(audio == fake_audio(1, 0, static_cast<long>(audio.size() / 2)));
    EXPECT_EQ(count_lines(m->err(), "quorlin: broken pipe, exiting"), 1u);
    EXPECT_EQ(count_lines(m->err(), "quorlin: Speaking: cut off"), 0u);
}

const Lines speak_reply = {"202 OK RECEIVING MESSAGE"};
const Lines stream = {"202 OK RECEIVING MESSAGE", "200 OK SPEAKING", "701 BEGIN", "705"};

const ClosedCase closed_cases[] = {
    {"InMessageBlock", "SPEAK\ncut off\n", speak_reply},
    {"InMessageLine", "SPEAK\ncut off", speak_reply},
    {"InMessageAfterEscapedDot", "SPEAK\n..\n", speak_reply},
    {"InSettingsBlock", "SET\nrate=10\n", {"203 OK RECEIVING SETTINGS"}},
    {"InAudioLine", "AUDIO\naudio_output_method=ser", {"207 OK RECEIVING AUDIO SETTINGS"}},
    {"InLogLevelBlock", "LOGLEVEL\n", {"207 OK RECEIVING LOGLEVEL SETTINGS"}},
    {"InCommandLine", "LIST VOI", {}},
    // While a message streams: it goes on to its end.
    {"AfterAStreamedMessage", "SPEAK\nhello\n.\n", join(stream, {"705", "705", "702 END"})},
    {"InMessageBetweenBlocks", "SPEAK\nhello\n.\nSPEAK\ncut off",
     join(stream, {"202 OK RECEIVING MESSAGE", "705", "705", "702 END"})},
    {"InSettingsBetweenBlocks", "SPEAK\nhello\n.\nSET\nrate=1\n",
     join(stream, {"203 OK RECEIVING SETTINGS", "705", "705", "702 END"})},
    {"AfterStopBetweenBlocks", "SPEAK\nhello\n.\nSTOP\n", join(stream, {"702 END"})},
};

INSTANTIATE_TEST_SUITE_P(Stress, InputClosed, ::testing::ValuesIn(closed_cases),
                         [](const auto &row) { return std::string(row.param.name); });

// A server that closes its end of the module's stdout: writes fail with
// EPIPE instead of killing the module, which goes on reading and ends by
// its input as usual. The messages make no audio, so that each is spoken
// by the loop itself and none comes in a pass between blocks.
TEST(StressInterrupt, StdoutClosedWhileIdle) {
    auto m = start({{"QUORLIN_FAKE_SAMPLES", "0"}});
    ASSERT_TRUE(handshake(*m));
    m->close_stdout();
    ASSERT_TRUE(m->write("SPEAK\nhello\n.\nLIST VOICES\nSPEAK\nhello\n.\nSET\nrate=5\n.\n"
                         "SPEAK\nhello\n.\n"));
    EXPECT_EQ(m->wait_exit(60s), 255);
    EXPECT_EQ(count_lines(m->err(), "quorlin: Speaking: hello"), 3u);
    EXPECT_EQ(count_lines(m->err(), "quorlin: set rate = 5"), 1u);
    EXPECT_EQ(count_lines(m->err(), "quorlin: closing"), 1u);
}

struct StdoutClosedCase {
    const char *name;
    const char *then;  // written after stdout is closed; null: input closed
    int status;
};

void PrintTo(const StdoutClosedCase &c, std::ostream *os) { *os << c.name; }

class StdoutClosedWhileStreaming : public ::testing::TestWithParam<StdoutClosedCase> {};

TEST_P(StdoutClosedWhileStreaming, EndsByInputOrQuit) {
    const StdoutClosedCase &c = GetParam();
    auto m = start({{"QUORLIN_FAKE_SAMPLES", std::to_string(long_message)}});
    ASSERT_TRUE(handshake(*m));
    ASSERT_TRUE(m->write("SPEAK\nhello\n.\n"));
    ASSERT_TRUE(m->wait_for_stdout("705 AUDIO\n", 60s));
    m->close_stdout();
    if (c.then != nullptr) {
        ASSERT_TRUE(m->write(c.then));
    }
    EXPECT_EQ(m->wait_exit(60s, c.then == nullptr), c.status);
    EXPECT_EQ(count_lines(m->err(), "quorlin: closing"), 1u);
}

const StdoutClosedCase stdout_closed_cases[] = {
    {"InputEnds", nullptr, 255},
    {"Quit", "QUIT\n", 0},
    {"StopThenQuit", "STOP\nQUIT\n", 0},
};

INSTANTIATE_TEST_SUITE_P(Stress, StdoutClosedWhileStreaming,
                         ::testing::ValuesIn(stdout_closed_cases),
                         [](const auto &row) { return std::string(row.param.name); });

}  // namespace
}  // namespace stress
