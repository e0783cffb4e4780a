// SPDX-License-Identifier: BSD-2-Clause
// Index marks (CorvaneIndexMarks 1), in both ways of speaking: where each
// mark is reported against the audio around it, how the text reaches the
// engine around the indexes, a stop or pause in the middle, and nothing
// of it with the key off.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>

#include "module_harness.h"

namespace adapter_test {
namespace {

using namespace std::chrono_literals;

// A mark as the server saw it: its name and the samples sent before it.
struct Reported {
    std::string name;
    long at;
    bool operator==(const Reported &) const = default;
};

void PrintTo(const Reported &r, std::ostream *os) { *os << r.name << "@" << r.at; }

std::vector<Reported> reported_marks(const qtest::Parsed &p) {
    std::vector<Reported> out;
    long samples = 0;
    for (size_t i = 0; i < p.items.size(); ++i) {
        const qtest::Item &it = p.items[i];
        if (it.is_audio) {
            samples += static_cast<long>(it.payload.size() / 2);
        } else if (it.line.starts_with("700-")) {
            out.push_back({it.line.substr(4), samples});
            EXPECT_TRUE(i + 1 < p.items.size() && p.items[i + 1].line == "700 INDEX MARK");
        }
    }
    return out;
}

// The engine's input as the call log shows it: the text added, with "|"
// for each index placed.
std::string engine_input(const Lines &calls) {
    std::string out;
    for (const auto &call : calls) {
        if (call.starts_with("eciInsertIndex")) out += "|";
        if (!call.starts_with("eciAddText \"")) continue;
        for (size_t i = 12; i + 1 < call.size(); ++i) {
            if (call[i] == '"') break;
            if (call[i] == '\\' && call[i + 1] == 'n') {
                out += '\n';
                ++i;
            } else if (call[i] == '\\' && call[i + 1] == 'x' && i + 3 < call.size()) {
                out += static_cast<char>(std::stoi(call.substr(i + 2, 2), nullptr, 16));
                i += 3;
            } else if (call[i] == '\\') {
                out += call[++i];
            } else {
                out += call[i];
            }
        }
    }
    return out;
}

std::string marks_config(bool streamed) {
    return std::string("CorvaneIndexMarks 1\n") + (streamed ? "CorvaneStreaming 1\n" : "");
}

struct MarkCase {
    const char *name;
    std::string text;                // the SPEAK data
    std::string input;               // what the engine is given
    std::vector<Reported> expected;  // marks reported, at their sample places
    Env env;                         // beyond the samples
    size_t dropped = 0;              // names that cannot be reported
};

// 1000 samples a byte of "Hello world", so a place in samples is a
// thousand times its byte in the engine's text.
const Env samples_11000 = {{"QUORLIN_FAKE_SAMPLES", "11000"}, {"QUORLIN_FAKE_CHUNK", "3000"}};

std::string many_words(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += "w<mark name=\"m" + std::to_string(i) + "\"/> ";
    return text;
}

std::vector<Reported> many_marks(int count) {
    std::vector<Reported> out;
    for (int i = 0; i < count; ++i) out.push_back({"m" + std::to_string(i), 2L * (2 * i + 1)});
    return out;
}

std::string many_words_input(int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += i + 1 < count ? "w| " : "w|";
    return out;
}

const MarkCase mark_cases[] = {
    {"StartMiddleEnd", R"(<mark name="a"/>Hello <mark name="b"/>world<mark name="c"/>)",
     "|Hello |world|", {{"a", 0}, {"b", 6000}, {"c", 11000}}, {}},
    {"QuotesBlanksAndClosingTag", R"(Hello <mark name = 'b' />world<mark  name="c"></mark>)",
     "Hello |world|", {{"b", 6000}, {"c", 11000}}, {}},
    {"InsideAWordMovesToItsEnd", R"(Hel<mark name="w"/>lo world)", "Hello| world",
     {{"w", 5000}}, {}},
    {"UnreportableNamesDropped",
     "Hello <mark name=\"a\nb\"/>world<mark name=\"" + std::string(256, 'x') +
         "\"/> <mark name=\"" + std::string(255, 'y') + "\"/>",
     "Hello world|", {{std::string(255, 'y'), 11000}}, {}, 2},
    {"LostIndexIsNeverReported", R"(<mark name="a"/>Hello <mark name="b"/>world<mark name="c"/>)",
     "|Hello |world|", {{"a", 0}, {"c", 11000}}, {{"QUORLIN_FAKE_LOSE_INDEX", "2"}}},
    {"TwoThousandMarks", many_words(2000), many_words_input(2000), many_marks(2000),
     {{"QUORLIN_FAKE_SAMPLES", "7998"}}},
};

class Marks : public ::testing::TestWithParam<MarkCase> {};

TEST_P(Marks, ReportedWhenTheAudioBeforeThemHasGone) {
    const MarkCase &c = GetParam();
    for (bool streamed : {false, true}) {
        SCOPED_TRACE(streamed ? "streamed" : "stored");
        Env env = c.env;
        for (const auto &e : samples_11000)
            if (std::none_of(env.begin(), env.end(), [&](auto &x) { return x.first == e.first; }))
                env.push_back(e);
        Module m({env, marks_config(streamed), std::nullopt});
        ASSERT_TRUE(m.handshake());
        size_t log_from = m.engine_log().size();
        size_t from = m.speak("SPEAK", c.text);
        auto p = m.parsed_since(from);
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_EQ(reported_marks(p), c.expected);
        const std::string audio = joined_audio(p);
        EXPECT_TRUE(audio == fake_audio(1, 0, static_cast<long>(audio.size() / 2)));
        EXPECT_EQ(qtest::summary(p).back(), "702 END");
        const Lines calls = m.engine_log(log_from);
        EXPECT_EQ(engine_input(calls), c.input);
        for (const auto &call : calls) EXPECT_FALSE(call.ends_with(" REFUSED")) << call;
        EXPECT_EQ(m.count_stderr("quorlin: " + std::to_string(c.dropped) +
                                 " index marks dropped: a name holds a control byte or is "
                                 "longer than 255 bytes"),
                  c.dropped > 0 ? 1u : 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Adapter, Marks, ::testing::ValuesIn(mark_cases), CaseName());

// Index numbers are never 0 and never reused, so that a late reply of an
// earlier message cannot pass for a mark of this one.
TEST(MarkNumbers, RunOnAcrossMessages) {
    Module m({samples_11000, marks_config(false), std::nullopt});
    ASSERT_TRUE(m.handshake());
    m.speak("SPEAK", R"(<mark name="a"/>one <mark name="b"/>two)");
    m.speak("SPEAK", R"(<mark name="c"/>three)");
    Lines numbers;
    for (const auto &call : m.engine_log())
        if (call.starts_with("eciInsertIndex")) numbers.push_back(call);
    EXPECT_EQ(numbers, (Lines{"eciInsertIndex 1", "eciInsertIndex 2", "eciInsertIndex 3"}));
}

// The faithful preparation keeps the marks between the same words.
TEST(MarkNumbers, FaithfulTextKeepsTheMarks) {
    Module m({samples_11000, std::string("CorvaneIndexMarks 1\nCorvaneFaithfulText 1\n"),
              std::nullopt});
    ASSERT_TRUE(m.handshake());
    size_t log_from = m.engine_log().size();
    auto p = m.parsed_since(m.speak("SPEAK", "It\xE2\x80\x99s <mark name=\"m\"/>caf\xC3\xA9 & co"));
    EXPECT_EQ(engine_input(m.engine_log(log_from)), "It's |caf\xE9 and co");
    EXPECT_EQ(reported_marks(p), (std::vector<Reported>{{"m", 11000L * 5 / 16}}));
}

// ---- Cut short ----

struct CutCase {
    const char *name;
    const char *command;
    bool streamed;
    const char *last;  // the message's closing event
    Env env = {};      // beyond the slow engine
};

// Forty words, a mark after each, spoken over a second.
std::string forty_marked_words() {
    std::string text;
    for (int i = 0; i < 40; ++i) text += "word<mark name=\"" + std::to_string(i) + "\"/> ";
    return text;
}

// How many of the `words` marks of forty_marked_words' kind stand within
// the first `sent` of `samples`: those whose audio the listener heard.
size_t marks_heard(int words, long samples, long sent) {
    size_t heard = 0;
    const long length = 5L * words - 1;
    while (heard < static_cast<size_t>(words) &&
           samples * static_cast<long>(5 * heard + 4) / length <= sent)
        ++heard;
    return heard;
}

class CutShort : public ::testing::TestWithParam<CutCase> {};

TEST_P(CutShort, LaterMarksAreNotReported) {
    const CutCase &c = GetParam();
    Env env = {{"QUORLIN_FAKE_SAMPLES", "200000"},
               {"QUORLIN_FAKE_CHUNK", "5000"},
               {"QUORLIN_FAKE_DELAY_MS", "25"}};
    env.insert(env.end(), c.env.begin(), c.env.end());
    Module m({env, marks_config(c.streamed), std::nullopt});
    ASSERT_TRUE(m.handshake());
    size_t from = m.send(block("SPEAK", forty_marked_words()));
    ASSERT_TRUE(m.wait_for("705 AUDIO\n", from));
    m.send(c.command);
    ASSERT_TRUE(m.wait_for(std::string(c.last) + "\n", from, 30s)) << m.child().err();
    auto p = m.parsed_since(from);
    ASSERT_TRUE(p.ok) << p.error;
    Lines lines = qtest::summary(p);
    EXPECT_EQ(lines.back(), c.last);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(c.last)), 1);
    // Each mark reported stands where its audio ended, and none after the
    // audio stopped.
    const auto marks = reported_marks(p);
    const long sent = static_cast<long>(joined_audio(p).size() / 2);
    EXPECT_LT(marks.size(), 40u);
    EXPECT_EQ(marks.size(), marks_heard(40, 200000, sent));
    for (size_t i = 0; i < marks.size(); ++i) {
        EXPECT_EQ(marks[i].name, std::to_string(i));
        EXPECT_EQ(marks[i].at, 200000L * static_cast<long>(5 * i + 4) / 199);
    }
    for (const auto &call : m.engine_log()) EXPECT_FALSE(call.ends_with(" REFUSED")) << call;
    // The next message starts afresh.
    EXPECT_TRUE(m.wait_for("702 END\n", m.send(block("SPEAK", "next"))));
}

const CutCase cut_cases[] = {
    {"StopStored", "STOP\n", false, "702 END"},
    {"PauseStored", "PAUSE\n", false, "704 PAUSE"},
    {"StopStreamed", "STOP\n", true, "702 END"},
    {"PauseStreamed", "PAUSE\n", true, "704 PAUSE"},
    // The engine offers what was refused again; it is refused again.
    {"PauseStreamedOfferedAgain", "PAUSE\n", true, "704 PAUSE", {{"QUORLIN_FAKE_REOFFER", "3"}}},
};

INSTANTIATE_TEST_SUITE_P(Adapter, CutShort, ::testing::ValuesIn(cut_cases), CaseName());

// A stop or pause already waiting when the audio starts is read in the
// pass after the first block, which here is all the audio before the
// first mark, or all the audio of the message: that mark has been heard,
// and so have the marks after the last word.
struct HeardCase {
    const char *name;
    const char *command;
    const char *text;
    long samples;
    std::vector<std::string> marks;  // reported, in order
    const char *last;                // the closing event, in both ways
};

const HeardCase heard_cases[] = {
    {"PauseAfterTheStretchBeforeAMark", "PAUSE\n",
     R"(a <mark name="m"/>bbbbbbbbbbbbbbbbbbbb <mark name="n"/>c)", 20000, {"m"}, "704 PAUSE"},
    {"StopAfterTheStretchBeforeAMark", "STOP\n",
     R"(a <mark name="m"/>bbbbbbbbbbbbbbbbbbbb <mark name="n"/>c)", 20000, {"m"}, "702 END"},
    {"PauseAfterTheLastBlock", "PAUSE\n", R"(Hello world<mark name="e"/><mark name="f"/>)",
     2000, {"e", "f"}, "702 END"},
    {"StopAfterTheLastBlock", "STOP\n", R"(<mark name="s"/>Hello world<mark name="e"/>)", 2000,
     {"s", "e"}, "702 END"},
};

class HeardMarks : public ::testing::TestWithParam<HeardCase> {};

TEST_P(HeardMarks, AreReportedBeforeTheClosingEvent) {
    const HeardCase &c = GetParam();
    for (bool streamed : {false, true}) {
        SCOPED_TRACE(streamed ? "streamed" : "stored");
        Module m({{{"QUORLIN_FAKE_SAMPLES", std::to_string(c.samples)}}, marks_config(streamed),
                  std::nullopt});
        ASSERT_TRUE(m.handshake());
        size_t from = m.send(block("SPEAK", c.text) + c.command);
        ASSERT_TRUE(m.wait_for(std::string(c.last) + "\n", from)) << m.child().err();
        auto p = m.parsed_since(from);
        ASSERT_TRUE(p.ok) << p.error;
        std::vector<std::string> names;
        for (const auto &r : reported_marks(p)) names.push_back(r.name);
        EXPECT_EQ(names, c.marks);
        Lines lines = qtest::summary(p);
        EXPECT_EQ(lines.back(), c.last);
        EXPECT_EQ(count_blocks(p), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Adapter, HeardMarks, ::testing::ValuesIn(heard_cases), CaseName());

// Pauses at random moments, message after message: every mark whose audio
// went out is reported and no other, and 702 comes only when all of it
// went. QUORLIN_SOAK_MESSAGES sets the number of messages of each way.
TEST(HeardMarks, RandomPausesLoseNoHeardMark) {
    const char *count = getenv("QUORLIN_SOAK_MESSAGES");
    const int messages = count ? atoi(count) : 25;
    constexpr int words = 12;
    // All of a message's output fits in a pipe's buffer, so that it can
    // end before the pause while the test is not reading.
    constexpr long samples = 12000;
    std::string text;
    for (int i = 0; i < words; ++i) text += "word<mark name=\"" + std::to_string(i) + "\"/> ";
    std::mt19937 random(20261209);
    for (bool streamed : {false, true}) {
        SCOPED_TRACE(streamed ? "streamed" : "stored");
        Module m({{{"QUORLIN_FAKE_SAMPLES", std::to_string(samples)},
                   {"QUORLIN_FAKE_CHUNK", "500"},
                   {"QUORLIN_FAKE_DELAY_MS", "2"}},
                  marks_config(streamed), std::nullopt});
        ASSERT_TRUE(m.handshake());
        // A pause at any moment of a message, or a little after its end.
        const auto started = std::chrono::steady_clock::now();
        m.speak("SPEAK", text);
        const auto span = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now() - started) * 3 / 2;
        int paused = 0;
        for (int n = 0; n < messages; ++n) {
            size_t from = m.send(block("SPEAK", text));
            std::this_thread::sleep_for(std::chrono::microseconds(random() % span.count()));
            m.send("PAUSE\n");
            bool closed = false;
            for (int tries = 0; !closed && tries < 2000; ++tries)
                closed = m.wait_for("702 END\n", from, 5ms) || m.wait_for("704 PAUSE\n", from, 5ms);
            ASSERT_TRUE(closed) << "message " << n;
            auto p = m.parsed_since(from);
            ASSERT_TRUE(p.ok) << p.error;
            const long sent = static_cast<long>(joined_audio(p).size() / 2);
            const auto marks = reported_marks(p);
            ASSERT_EQ(marks.size(), marks_heard(words, samples, sent)) << "message " << n;
            EXPECT_EQ(qtest::summary(p).back() == "702 END", sent == samples) << "message " << n;
            paused += qtest::summary(p).back() == "704 PAUSE";
        }
        if (count) printf("%d messages, %d ended by 704 PAUSE\n", messages, paused);
    }
}

// ---- The key off ----

// Without the key a mark is markup: no index, no event, one piece of text,
// and PAUSE ends the message as STOP does.
TEST(MarksOff, MarksAreMarkupAndPauseIsAStop) {
    Env env = {{"QUORLIN_FAKE_SAMPLES", "200000,11000"},
               {"QUORLIN_FAKE_CHUNK", "5000"},
               {"QUORLIN_FAKE_DELAY_MS", "5"}};
    Module m({env, std::nullopt, std::nullopt});
    ASSERT_TRUE(m.handshake());
    size_t from = m.send(block("SPEAK", forty_marked_words()));
    ASSERT_TRUE(m.wait_for("705 AUDIO\n", from));
    m.send("PAUSE\n");
    ASSERT_TRUE(m.wait_for("702 END\n", from));
    size_t log_from = m.engine_log().size();
    from = m.speak("SPEAK", R"(<mark name="a"/>Hello <mark name="b"/>world)");
    auto p = m.parsed_since(from);
    EXPECT_TRUE(reported_marks(p).empty());
    EXPECT_EQ(engine_input(m.engine_log(log_from)), "Hello world");
    EXPECT_TRUE(joined_audio(p) == fake_audio(2, 0, 11000));
    for (const auto &line : qtest::summary(m.parsed_since(0))) EXPECT_NE(line, "704 PAUSE");
}

}  // namespace
}  // namespace adapter_test
