// SPDX-License-Identifier: BSD-2-Clause
// Speaking while the engine synthesises (CorvaneStreaming 1): what the
// server gets against the synchronous way for the same messages, commands
// executed between blocks while the engine is still at work, an engine
// that ignores being told to stop, and the memory a long message takes.
#include <gtest/gtest.h>

#include <algorithm>

#include "module_harness.h"
#include "process_status.h"

namespace adapter_test {
namespace {

using namespace std::chrono_literals;

constexpr long long_samples = 200000;  // 40 blocks
constexpr int long_callbacks = 40;     // of one block each
const Lines message_start = {"202 OK RECEIVING MESSAGE", "200 OK SPEAKING", "701 BEGIN"};
const Lines default_settings = {"eciSetVoiceParam 0 eciSpeed 50",
                                "eciSetVoiceParam 0 eciPitchBaseline 65",
                                "eciSetVoiceParam 0 eciVolume 90"};

ModuleOptions streaming(Env env) { return {std::move(env), "CorvaneStreaming 1\n", std::nullopt}; }
ModuleOptions synchronous(Env env) { return {std::move(env), std::nullopt, std::nullopt}; }

// A first message that the engine synthesises for a second, one block per
// callback, and a short second one.
Env slow_engine() {
    return {{"QUORLIN_FAKE_SAMPLES", std::to_string(long_samples) + ",12500"},
            {"QUORLIN_FAKE_CHUNK", "5000"},
            {"QUORLIN_FAKE_DELAY_MS", "25"}};
}

Lines join(Lines a, const Lines &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Lines reply_lines(const qtest::Parsed &p) {
    Lines out;
    for (auto &it : p.items)
        if (!it.is_audio) out.push_back(it.line);
    return out;
}

size_t count_prefixed(const Lines &lines, std::string_view prefix) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto &l) {
        return std::string_view(l).starts_with(prefix);
    }));
}

// A number from the fake engine's stop log line "end message=M ...":
// `key` is "callbacks", "samples" or "ignored"; -1 when there is none.
long end_of_message(const Module &m, int message, std::string_view key) {
    const std::string head = "end message=" + std::to_string(message) + " ";
    for (const auto &line : m.stop_log()) {
        if (!line.starts_with(head)) continue;
        size_t at = line.find(" " + std::string(key) + "=");
        if (at == std::string::npos) return -1;
        return std::stol(line.substr(at + key.size() + 2));
    }
    return -1;
}

// The engine was stopped by the callback's refusal and told to stop only
// once it had returned: no engine call came from inside its callback.
void expect_stopped_from_outside(const Module &m) {
    const Lines stops = m.stop_log();
    EXPECT_EQ(count_prefixed(stops, "stop answer message=1 "), 1u);
    auto end = std::find_if(stops.begin(), stops.end(),
                            [](const auto &l) { return l.starts_with("end message=1 "); });
    ASSERT_NE(end, stops.end());
    EXPECT_TRUE(std::any_of(end, stops.end(),
                            [](const auto &l) { return l.starts_with("stop eciStop idle"); }));
    for (const auto &call : m.engine_log()) EXPECT_FALSE(call.ends_with(" REFUSED")) << call;
}

// The next message after the one under test is spoken whole, with the
// settings given.
void expect_next_message_whole(Module &m, const Lines &settings) {
    size_t log_from = m.engine_log().size();
    auto p = m.parsed_since(m.speak("SPEAK", "next"));
    EXPECT_EQ(qtest::summary(p), join(message_start, {"705", "705", "705", "702 END"}));
    EXPECT_TRUE(joined_audio(p) == fake_audio(2, 0, 12500));
    Lines calls = m.engine_log(log_from);
    ASSERT_GE(calls.size(), settings.size());
    EXPECT_EQ(Lines(calls.begin(), calls.begin() + static_cast<ptrdiff_t>(settings.size())),
              settings);
}

// ---- The same as the synchronous way ----

struct SameCase {
    const char *name;
    Env env;
    std::vector<std::string> messages;  // message blocks, each awaited to its 702
    bool same_blocks;  // cut into the same blocks as well, byte for byte
};

// Everything the server gets for `messages` after the handshake.
std::string spoken(const ModuleOptions &options, const std::vector<std::string> &messages) {
    Module m(options);
    EXPECT_TRUE(m.handshake());
    size_t from = m.child().out().size();
    for (const auto &message : messages) EXPECT_TRUE(m.wait_for("702 END\n", m.send(message)));
    return m.child().out().substr(from);
}

class SameAsSynchronous : public ::testing::TestWithParam<SameCase> {};

TEST_P(SameAsSynchronous, SameRepliesAndSamples) {
    const SameCase &c = GetParam();
    const std::string sync_out = spoken(synchronous(c.env), c.messages);
    const std::string stream_out = spoken(streaming(c.env), c.messages);
    auto s = qtest::parse_protocol(sync_out);
    auto t = qtest::parse_protocol(stream_out);
    ASSERT_TRUE(s.ok) << s.error;
    ASSERT_TRUE(t.ok) << t.error;
    EXPECT_EQ(reply_lines(t), reply_lines(s));
    EXPECT_TRUE(joined_audio(t) == joined_audio(s));
    for (const auto &it : t.items) {
        if (it.is_audio) {
            EXPECT_LE(it.payload.size(), 10000u);
        }
    }
    if (c.same_blocks) {
        EXPECT_TRUE(stream_out == sync_out);
    }
}

const SameCase same_cases[] = {
    {"OneMessage", {{"QUORLIN_FAKE_SAMPLES", "12500"}}, {block("SPEAK", "hello")}, true},
    {"ExactlyOneBlock", {{"QUORLIN_FAKE_SAMPLES", "5000"}}, {block("SPEAK", "hello")}, true},
    {"OneSampleMoreThanABlock", {{"QUORLIN_FAKE_SAMPLES", "5001"}}, {block("SPEAK", "hello")},
     true},
    {"CallbacksOfOneBlock", {{"QUORLIN_FAKE_SAMPLES", "50000"}, {"QUORLIN_FAKE_CHUNK", "5000"}},
     {block("SPEAK", "hello")}, true},
    // The tail of each callback waits for the next one's samples.
    {"CallbacksOfABlockAndAHalf",
     {{"QUORLIN_FAKE_SAMPLES", "40000"}, {"QUORLIN_FAKE_CHUNK", "7500"}},
     {block("SPEAK", "hello")}, true},
    {"FullCallbacks", {{"QUORLIN_FAKE_SAMPLES", "65000"}}, {block("SPEAK", "hello")}, true},
    // A first callback smaller than a block goes out at once.
    {"SmallCallbacks", {{"QUORLIN_FAKE_SAMPLES", "12500"}, {"QUORLIN_FAKE_CHUNK", "700"}},
     {block("SPEAK", "hello")}, false},
    {"NoSamples", {{"QUORLIN_FAKE_SAMPLES", "0"}}, {block("SPEAK", "hello")}, true},
    {"AddTextFails", {{"QUORLIN_FAKE_FAIL", "eciAddText"}}, {block("SPEAK", "hello")}, true},
    {"SynthesizeFails", {{"QUORLIN_FAKE_FAIL", "eciSynthesize"}}, {block("SPEAK", "hello")},
     true},
    {"CountsOutOfRange", {{"QUORLIN_FAKE_SAMPLES", "7000"}, {"QUORLIN_FAKE_PROBES", "0:-7,0:20001"}},
     {block("SPEAK", "hello")}, true},
    {"DeliveredInSynchronize",
     {{"QUORLIN_FAKE_SAMPLES", "12500"}, {"QUORLIN_FAKE_DELIVER", "synchronize"}},
     {block("SPEAK", "hello")}, true},
    {"EveryMessageCommand", {{"QUORLIN_FAKE_SAMPLES", "12500,3,0,7000"}},
     {block("SPEAK", "hello"), block("CHAR", "x"), block("KEY", "space"),
      block("SOUND_ICON", "bell")},
     true},
};

INSTANTIATE_TEST_SUITE_P(Streaming, SameAsSynchronous, ::testing::ValuesIn(same_cases),
                         CaseName());

// ---- Commands while the engine synthesises ----

struct DuringCase {
    const char *name;
    std::string command;  // sent once the first block has arrived
    Lines replies;        // its answer, between two blocks
    bool cuts;            // the message ends early
    const char *log_line; // on stderr once, or null
    Lines next_settings;  // the engine settings of the next message
};

class WhileSynthesising : public ::testing::TestWithParam<DuringCase> {};

TEST_P(WhileSynthesising, CommandsRunBetweenBlocks) {
    const DuringCase &c = GetParam();
    Module m(streaming(slow_engine()));
    ASSERT_TRUE(m.handshake());
    size_t from = m.send(block("SPEAK", "hello"));
    ASSERT_TRUE(m.wait_for("705 AUDIO\n", from));
    m.send(c.command);
    ASSERT_TRUE(m.wait_for("702 END\n", from)) << m.child().err();
    auto p = m.parsed_since(from);
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(reply_lines(p), join(join(message_start, c.replies), {"702 END"}));
    const std::string audio = joined_audio(p);
    EXPECT_TRUE(audio == fake_audio(1, 0, static_cast<long>(audio.size() / 2)));
    const Lines calls = m.engine_log();
    if (c.cuts) {
        EXPECT_LT(count_blocks(p), static_cast<size_t>(long_callbacks));
        EXPECT_LT(end_of_message(m, 1, "callbacks"), long_callbacks);
        expect_stopped_from_outside(m);
    } else {
        EXPECT_EQ(audio.size(), static_cast<size_t>(long_samples) * 2);
        EXPECT_EQ(end_of_message(m, 1, "callbacks"), long_callbacks);
        EXPECT_EQ(count_prefixed(m.stop_log(), "stop "), 0u);
    }
    EXPECT_EQ(count_prefixed(calls, "eciAddText"), 1u);
    EXPECT_EQ(count_prefixed(calls, "eciDelete"), 0u);
    if (c.log_line != nullptr) {
        EXPECT_EQ(m.count_stderr(c.log_line), 1u);
    }
    expect_next_message_whole(m, c.next_settings);
}

const DuringCase during_cases[] = {
    {"Stop", "STOP\n", {}, true, "quorlin: stop requested", default_settings},
    {"Pause", "PAUSE\n", {}, true, "quorlin: pause requested", default_settings},
    {"Set", "SET\nrate=100\npitch=-100\nvolume=0\n.\n",
     {"203 OK RECEIVING SETTINGS", "203 OK SETTINGS RECEIVED"}, false, nullptr,
     {"eciSetVoiceParam 0 eciSpeed 250", "eciSetVoiceParam 0 eciPitchBaseline 0",
      "eciSetVoiceParam 0 eciVolume 50"}},
    {"ListVoices", "LIST VOICES\n", {"200-Wade\ten-US\tnone", "200 OK VOICE LIST SENT"}, false,
     nullptr, default_settings},
    {"Speak", "SPEAK\nsecond\n.\n", {"202 OK RECEIVING MESSAGE", "301 ERROR CANT SPEAK"}, false,
     nullptr, default_settings},
    {"KeySpace", "KEY\nspace\n.\n", {"202 OK RECEIVING MESSAGE", "301 ERROR CANT SPEAK"}, false,
     nullptr, default_settings},
};

INSTANTIATE_TEST_SUITE_P(Streaming, WhileSynthesising, ::testing::ValuesIn(during_cases),
                         CaseName());

// QUIT never calls the engine from inside its callback: the callback
// refuses the rest of the message, the engine is stopped and released
// once it has returned, and only then is QUIT answered, as the last
// thing written.
TEST(Streaming, QuitWhileSynthesisingReleasesTheEngineAfterIt) {
    Module m(streaming(slow_engine()));
    ASSERT_TRUE(m.handshake());
    size_t log_from = m.engine_log().size();
    size_t from = m.send(block("SPEAK", "hello"));
    ASSERT_TRUE(m.wait_for("705 AUDIO\n", from));
    m.send("QUIT\n");
    EXPECT_EQ(m.child().wait_exit(20s, false), 0);
    auto p = m.parsed_since(from);
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_TRUE(p.rest.empty());
    EXPECT_EQ(reply_lines(p), join(message_start, {"210 OK QUIT"}));
    EXPECT_EQ(qtest::summary(p).back(), "210 OK QUIT");
    EXPECT_LT(count_blocks(p), static_cast<size_t>(long_callbacks));
    EXPECT_LT(end_of_message(m, 1, "callbacks"), long_callbacks);
    const Lines calls = m.engine_log(log_from);
    ASSERT_GE(calls.size(), 3u);
    expect_stopped_from_outside(m);
    EXPECT_EQ(count_prefixed(calls, "eciDelete"), 1u);
    EXPECT_EQ(calls[calls.size() - 3], "eciSynchronize");
    EXPECT_EQ(calls[calls.size() - 2], "eciStop");
    EXPECT_EQ(calls.back(), "eciDelete");
    EXPECT_EQ(m.count_stderr("quorlin: closing"), 1u);
}

// An engine that takes no notice of the stop keeps calling back: nothing
// more is sent, and the message ends when the engine returns.
TEST(Streaming, AnEngineThatIgnoresTheStopGetsNothingMoreSent) {
    Env env = slow_engine();
    env.emplace_back("QUORLIN_FAKE_IGNORE_STOP", "1");
    Module m(streaming(env));
    ASSERT_TRUE(m.handshake());
    size_t from = m.send(block("SPEAK", "hello"));
    ASSERT_TRUE(m.wait_for("705 AUDIO\n", from));
    m.send("STOP\n");
    ASSERT_TRUE(m.wait_for("702 END\n", from));
    auto p = m.parsed_since(from);
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(reply_lines(p), join(message_start, {"702 END"}));
    const size_t blocks = count_blocks(p);
    EXPECT_LT(blocks, static_cast<size_t>(long_callbacks));
    EXPECT_TRUE(joined_audio(p) == fake_audio(1, 0, static_cast<long>(blocks) * 5000));
    // The engine went on to the end, and every callback after the stop
    // was refused.
    EXPECT_EQ(end_of_message(m, 1, "callbacks"), long_callbacks);
    EXPECT_GE(end_of_message(m, 1, "ignored"), 1);
    EXPECT_GE(count_prefixed(m.engine_log(), "callback eciWaveformBuffer 5000 -> not processed"),
              static_cast<size_t>(long_callbacks) - blocks);
    expect_next_message_whole(m, default_settings);
}

// ---- Memory ----

struct MemoryCase {
    const char *name;
    bool streams;
    bool ignore_stop;  // the engine ignores a STOP sent after the first block
    long least_kb;     // the peak grows by at least this much
    long most_kb;      // and by at most this much
};

class LongMessage : public ::testing::TestWithParam<MemoryCase> {};

// 16 MB of samples (8 MB under an emulator): streamed, the peak memory
// does not grow with them; spoken synchronously, it holds them all.
TEST_P(LongMessage, PeakMemory) {
    const MemoryCase &c = GetParam();
    const long samples = *qtest::test_emulator() ? 4000000 : 8000000;
    Env env = {{"QUORLIN_FAKE_SAMPLES", "1000," + std::to_string(samples)}};
    if (c.ignore_stop) env.emplace_back("QUORLIN_FAKE_IGNORE_STOP", "1");
    Module m(c.streams ? streaming(env) : synchronous(env));
    ASSERT_TRUE(m.handshake());
    m.speak("SPEAK", "short");
    const long before = qtest::process_status_kb(m.child().pid(), "VmHWM");
    ASSERT_GT(before, 0);
    size_t from = m.send(block("SPEAK", "long"));
    if (c.ignore_stop) {
        ASSERT_TRUE(m.wait_for("705 AUDIO\n", from, 60s));
        m.send("STOP\n");
    }
    ASSERT_TRUE(m.wait_for("702 END\n", from, 120s));
    const long growth = qtest::process_status_kb(m.child().pid(), "VmHWM") - before;
    EXPECT_GE(growth, c.least_kb);
    EXPECT_LE(growth, c.most_kb);
    if (c.ignore_stop) {
        EXPECT_EQ(end_of_message(m, 2, "samples"), samples);
    } else {
        EXPECT_EQ(joined_audio(m.parsed_since(from)).size(), static_cast<size_t>(samples) * 2);
    }
}

const MemoryCase memory_cases[] = {
    {"Streamed", true, false, 0, 2048},
    {"StreamedEngineIgnoresTheStop", true, true, 0, 2048},
    {"Synchronous", false, false, 6000, 1L << 30},
};

INSTANTIATE_TEST_SUITE_P(Streaming, LongMessage, ::testing::ValuesIn(memory_cases), CaseName());

}  // namespace
}  // namespace adapter_test
