// SPDX-License-Identifier: BSD-2-Clause
// The server's speech settings as the engine gets them (speed, pitch
// baseline and volume of slot 0 at the next message), the voice list and
// the hooks that accept and ignore.
#include <gtest/gtest.h>

#include "module_harness.h"

namespace adapter_test {
namespace {

// The three calls with which the next message applies the settings.
Lines applied(int rate, int pitch, int volume) {
    return {"eciSetVoiceParam 0 eciSpeed " + std::to_string(rate),
            "eciSetVoiceParam 0 eciPitchBaseline " + std::to_string(pitch),
            "eciSetVoiceParam 0 eciVolume " + std::to_string(volume)};
}

Lines applied_by_next_message(Module &m) {
    size_t log_from = m.engine_log().size();
    m.speak("SPEAK", "a");
    Lines calls = m.engine_log(log_from);
    if (calls.size() > 3) calls.resize(3);
    return calls;
}

struct Conversion {
    const char *value;
    int rate;
    int pitch_volume;
};

// Server values run from -100 to 100; everything beyond saturates,
// however large, and a word without digits counts as 0.
const Conversion conversions[] = {
    {"-99999999999", 0, 0}, {"-2147483649", 0, 0}, {"-101", 0, 0}, {"-100", 0, 0},
    {"-99", 1, 0},          {"-98", 2, 1},         {"-1", 123, 49}, {"0", 125, 50},
    {"1", 126, 50},         {"2", 127, 51},        {"50", 187, 75}, {"99", 248, 99},
    {"100", 250, 100},      {"101", 250, 100},     {"2147483647", 250, 100},
    {"99999999999", 250, 100}, {"fast", 125, 50},  {"+20", 150, 60}, {"30%", 162, 65},
};

TEST(AdapterSettings, ConversionTableReachesSlotZero) {
    Module m({{{"QUORLIN_FAKE_SAMPLES", "0"}}, std::nullopt, std::nullopt});
    ASSERT_TRUE(m.handshake());
    for (const Conversion &c : conversions) {
        SCOPED_TRACE(c.value);
        std::string v = c.value;
        size_t from = m.send("SET\nrate=" + v + "\npitch=" + v + "\nvolume=" + v + "\n.\n");
        ASSERT_TRUE(m.wait_for("203 OK SETTINGS RECEIVED\n", from));
        EXPECT_EQ(applied_by_next_message(m), applied(c.rate, c.pitch_volume, c.pitch_volume));
    }
    EXPECT_EQ(m.count_stderr("quorlin: set rate = 99999999999"), 1u);
}

// The configuration's speed, pitch and volume hold only until the first
// message, which speaks with the server defaults.
TEST(AdapterSettings, FirstMessageUsesEngineDefaultsOverTheConfiguration) {
    Module m({{{"QUORLIN_FAKE_SAMPLES", "0"}},
              std::string("CorvaneSpeed 200\nCorvanePitchBaseline 10\nCorvaneVolume 30\n"),
              std::nullopt});
    ASSERT_TRUE(m.handshake());
    EXPECT_EQ(applied_by_next_message(m), applied(50, 65, 90));
}

TEST(AdapterSettings, OtherNamesAreAcceptedAndChangeNothing) {
    Module m({{{"QUORLIN_FAKE_SAMPLES", "0"}}, std::nullopt, std::nullopt});
    ASSERT_TRUE(m.handshake());
    size_t from = m.send(
        "SET\nRate=100\nPITCH=100\nvoice=male2\nsynthesis_voice=Flo\nlanguage=de\n"
        "punctuation_mode=all\nrate =100\n.\n");
    ASSERT_TRUE(m.wait_for("203 OK SETTINGS RECEIVED\n", from));
    EXPECT_EQ(m.summary_since(from),
              (Lines{"203 OK RECEIVING SETTINGS", "203 OK SETTINGS RECEIVED"}));
    EXPECT_EQ(m.count_stderr("quorlin: set Rate = 100"), 1u);
    EXPECT_EQ(m.count_stderr("quorlin: set voice = male2"), 1u);
    EXPECT_EQ(applied_by_next_message(m), applied(50, 65, 90));
    size_t list_from = m.send("LIST VOICES\n");
    ASSERT_TRUE(m.wait_for("200 OK VOICE LIST SENT\n", list_from));
    EXPECT_EQ(m.summary_since(list_from),
              (Lines{"200-Wade\ten-US\tnone", "200 OK VOICE LIST SENT"}));
}

struct VoiceCase {
    const char *name;
    std::optional<std::string> config;
    const char *voice_line;
};

class VoiceList : public ::testing::TestWithParam<VoiceCase> {};

// The list is built anew at each call and released by the runtime; asking
// twice shows the same voice both times.
TEST_P(VoiceList, HoldsTheConfiguredVoice) {
    const VoiceCase &c = GetParam();
    Module m({{}, c.config, std::nullopt});
    ASSERT_TRUE(m.handshake());
    for (int i = 0; i < 2; i++) {
        size_t from = m.send("LIST VOICES\n");
        ASSERT_TRUE(m.wait_for("200 OK VOICE LIST SENT\n", from));
        EXPECT_EQ(m.summary_since(from), (Lines{c.voice_line, "200 OK VOICE LIST SENT"}));
    }
}

const VoiceCase voice_cases[] = {
    {"Default", std::nullopt, "200-Wade\ten-US\tnone"},
    {"Grandma", std::string("CorvaneDefaultVoice 6\n"), "200-Grandma\ten-US\tnone"},
    {"OutOfRangeKeepsDefault", std::string("CorvaneDefaultVoice 8\n"), "200-Wade\ten-US\tnone"},
};

INSTANTIATE_TEST_SUITE_P(Adapter, VoiceList, ::testing::ValuesIn(voice_cases),
                         CaseName());

TEST(AdapterSettings, AudioLoglevelAndDebugAreAccepted) {
    Module m;
    ASSERT_TRUE(m.handshake());
    size_t from = m.send("LOGLEVEL\nlevel=5\n.\nDEBUG ON /nonexistent/dir/file\nDEBUG OFF\n"
                         "AUDIO\naudio_output_method=server\n.\n");
    ASSERT_TRUE(m.wait_for("203 OK AUDIO INITIALIZED\n", from));
    EXPECT_EQ(m.summary_since(from),
              (Lines{"207 OK RECEIVING LOGLEVEL SETTINGS", "203 OK LOGLEVEL SET",
                     "200 OK DEBUGGING ON", "200 OK DEBUGGING OFF",
                     "207 OK RECEIVING AUDIO SETTINGS", "203 OK AUDIO INITIALIZED"}));
}

// The text the engine was given for the last message.
std::string last_text(Module &m, std::string_view text) {
    size_t log_from = m.engine_log().size();
    m.speak("SPEAK", text);
    for (const auto &call : m.engine_log(log_from))
        if (call.starts_with("eciAddText ")) return call.substr(11);
    return "";
}

// The server's punctuation level reaches the faithful preparation only;
// a value it does not know is named on standard error and keeps the
// level, and the block is answered as every other.
TEST(AdapterSettings, PunctuationLevelOnlyWithFaithfulText) {
    const struct {
        const char *config;
        const char *level;
        const char *engine_text;
    } rows[] = {
        {"", "all", R"("a b c")"},
        {"CorvaneFaithfulText 1\n", "some", R"("a plus sign b equal c")"},
        {"CorvaneFaithfulText 1\n", "loud", R"("a plus sign b equal c")"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string(r.config) + r.level);
        Module m({{{"QUORLIN_FAKE_SAMPLES", "0"}}, std::string(r.config), std::nullopt});
        ASSERT_TRUE(m.handshake());
        size_t from = m.send(std::string("SET\npunctuation_mode=") + r.level + "\n.\n");
        ASSERT_TRUE(m.wait_for("203 OK SETTINGS RECEIVED\n", from));
        EXPECT_EQ(last_text(m, "a+b=c"), r.engine_text);
        EXPECT_EQ(m.count_stderr(std::string("quorlin: unknown value \"") + r.level +
                                 "\" for punctuation_mode, keeping the current one"),
                  std::string_view(r.level) == "loud" ? 1u : 0u);
    }
}

}  // namespace
}  // namespace adapter_test
