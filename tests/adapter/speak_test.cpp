// SPDX-License-Identifier: BSD-2-Clause
// One message from the server's side: the replies and events it gets,
// the audio, the "Speaking" line, and the engine calls the message makes.
#include <gtest/gtest.h>

#include <algorithm>

#include "module_harness.h"

namespace adapter_test {
namespace {

const Lines settings_calls = {"eciSetVoiceParam 0 eciSpeed 50",
                              "eciSetVoiceParam 0 eciPitchBaseline 65",
                              "eciSetVoiceParam 0 eciVolume 90"};

Lines with_settings(const Lines &rest) {
    Lines all = settings_calls;
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
}

Lines speaking_lines(const Module &m) {
    Lines out;
    for (auto &l : m.stderr_lines())
        if (l.rfind("quorlin: Speaking", 0) == 0 || l.rfind("quorlin: eci", 0) == 0)
            out.push_back(l);
    return out;
}

struct MessageCase {
    const char *name;
    Env env;
    std::string text;
    const char *last_line;
    Lines replies;  // stdout, audio blocks as "705"
    Lines err;      // the speaking line and the engine failure lines
    Lines calls;    // engine calls made for the message
    long samples;   // samples expected in the audio
};

class OneMessage : public ::testing::TestWithParam<MessageCase> {};

TEST_P(OneMessage, WhatTheServerSees) {
    const MessageCase &c = GetParam();
    Module m({c.env, std::nullopt, std::nullopt});
    ASSERT_TRUE(m.handshake());
    size_t log_from = m.engine_log().size();
    size_t from = m.speak("SPEAK", c.text, c.last_line);
    auto p = m.parsed_since(from);
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(qtest::summary(p), c.replies);
    EXPECT_EQ(speaking_lines(m), c.err);
    EXPECT_EQ(m.engine_log(log_from), c.calls);
    EXPECT_EQ(joined_audio(p), fake_audio(1, 0, c.samples));
    for (auto &it : p.items) {
        if (!it.is_audio) continue;
        EXPECT_EQ(it.bits, 16);
        EXPECT_EQ(it.num_channels, 1);
        EXPECT_EQ(it.sample_rate, 22050);
        EXPECT_EQ(it.big_endian, 0);
        EXPECT_EQ(it.payload.size(), static_cast<size_t>(it.num_samples) * 2);
    }
    // The module is still in step with the protocol.
    size_t next = m.send("NOSUCHCOMMAND\n");
    EXPECT_TRUE(m.wait_for("300 ERR UNKNOWN COMMAND\n", next));
}

const MessageCase message_cases[] = {
    {"PreparationFailsOnBlanks", {}, " \t ", "301 ERROR CANT SPEAK\n",
     {"202 OK RECEIVING MESSAGE", "301 ERROR CANT SPEAK"}, {}, settings_calls, 0},
    {"PreparationFailsOnMarkupOnly", {}, "<b></b>", "301 ERROR CANT SPEAK\n",
     {"202 OK RECEIVING MESSAGE", "301 ERROR CANT SPEAK"}, {}, settings_calls, 0},
    {"AddTextFails", {{"QUORLIN_FAKE_FAIL", "eciAddText"}}, "hello", "702 END\n",
     {"202 OK RECEIVING MESSAGE", "200 OK SPEAKING", "702 END"},
     {"quorlin: Speaking: hello", "quorlin: eciAddText failed"},
     with_settings({"eciAddText \"hello\" FAIL", "eciStop"}), 0},
    {"SynthesizeFails", {{"QUORLIN_FAKE_FAIL", "eciSynthesize"}}, "hello", "702 END\n",
     {"202 OK RECEIVING MESSAGE", "200 OK SPEAKING", "701 BEGIN", "702 END"},
     {"quorlin: Speaking: hello", "quorlin: eciSynthesize failed"},
     with_settings({"eciAddText \"hello\"", "eciSynthesize FAIL", "eciStop"}), 0},
    {"NoSamples", {{"QUORLIN_FAKE_SAMPLES", "0"}}, "hello", "702 END\n",
     {"202 OK RECEIVING MESSAGE", "200 OK SPEAKING", "701 BEGIN", "702 END"},
     {"quorlin: Speaking: hello"},
     with_settings({"eciAddText \"hello\"", "eciSynthesize", "eciSynchronize"}), 0},
    {"TwoAndAHalfBlocks", {{"QUORLIN_FAKE_SAMPLES", "12500"}}, "hello", "702 END\n",
     {"202 OK RECEIVING MESSAGE", "200 OK SPEAKING", "701 BEGIN", "705", "705", "705", "702 END"},
     {"quorlin: Speaking: hello"},
     with_settings({"eciAddText \"hello\"", "eciSynthesize",
                    "callback eciWaveformBuffer 12500 -> processed", "eciSynchronize"}),
     12500},
    {"ExactlyOneBlock", {{"QUORLIN_FAKE_SAMPLES", "5000"}}, "hello", "702 END\n",
     {"202 OK RECEIVING MESSAGE", "200 OK SPEAKING", "701 BEGIN", "705", "702 END"},
     {"quorlin: Speaking: hello"},
     with_settings({"eciAddText \"hello\"", "eciSynthesize",
                    "callback eciWaveformBuffer 5000 -> processed", "eciSynchronize"}),
     5000},
    {"ManyCallbacksDuringSynchronize",
     {{"QUORLIN_FAKE_SAMPLES", "45001"}, {"QUORLIN_FAKE_DELIVER", "synchronize"}},
     "hello",
     "702 END\n",
     {"202 OK RECEIVING MESSAGE", "200 OK SPEAKING", "701 BEGIN", "705", "705", "705", "705",
      "705", "705", "705", "705", "705", "705", "702 END"},
     {"quorlin: Speaking: hello"},
     with_settings({"eciAddText \"hello\"", "eciSynthesize", "eciSynchronize",
                    "callback eciWaveformBuffer 20000 -> processed",
                    "callback eciWaveformBuffer 20000 -> processed",
                    "callback eciWaveformBuffer 5001 -> processed"}),
     45001},
    {"SmallChunksAreJoined", {{"QUORLIN_FAKE_SAMPLES", "1500"}, {"QUORLIN_FAKE_CHUNK", "700"}},
     "hello", "702 END\n",
     {"202 OK RECEIVING MESSAGE", "200 OK SPEAKING", "701 BEGIN", "705", "702 END"},
     {"quorlin: Speaking: hello"},
     with_settings({"eciAddText \"hello\"", "eciSynthesize",
                    "callback eciWaveformBuffer 700 -> processed",
                    "callback eciWaveformBuffer 700 -> processed",
                    "callback eciWaveformBuffer 100 -> processed", "eciSynchronize"}),
     1500},
    // Counts the engine could not have put in its buffer, and messages that
    // are not samples, leave the collected speech untouched.
    {"ImpossibleCountsAndOtherMessagesAreNotStored",
     {{"QUORLIN_FAKE_SAMPLES", "100"}, {"QUORLIN_FAKE_PROBES", "1:5,0:-7,0:20001,0:0"}},
     "hello",
     "702 END\n",
     {"202 OK RECEIVING MESSAGE", "200 OK SPEAKING", "701 BEGIN", "705", "702 END"},
     {"quorlin: Speaking: hello"},
     with_settings({"eciAddText \"hello\"", "eciSynthesize", "callback 1 5 -> processed",
                    "callback eciWaveformBuffer -7 -> not processed",
                    "callback eciWaveformBuffer 20001 -> not processed",
                    "callback eciWaveformBuffer 0 -> processed",
                    "callback eciWaveformBuffer 100 -> processed", "eciSynchronize"}),
     100},
};

INSTANTIATE_TEST_SUITE_P(Adapter, OneMessage, ::testing::ValuesIn(message_cases),
                         CaseName());

TEST(AdapterSpeak, AccumulatorIsReusedAndRefilledPerMessage) {
    Module m({{{"QUORLIN_FAKE_SAMPLES", "30000,200,25000"}}, std::nullopt, std::nullopt});
    ASSERT_TRUE(m.handshake());
    const long counts[] = {30000, 200, 25000};
    for (int message = 1; message <= 3; message++) {
        SCOPED_TRACE(message);
        auto p = m.parsed_since(m.speak("SPEAK", "hello"));
        EXPECT_EQ(joined_audio(p), fake_audio(message, 0, counts[message - 1]));
    }
}

struct PreparedCase {
    const char *name;
    const char *command;
    std::string text;
    std::string prepared;  // the text the engine gets, shown on stderr
};

class PreparedText : public ::testing::TestWithParam<PreparedCase> {};

TEST_P(PreparedText, IsWhatIsSpokenAndLogged) {
    const PreparedCase &c = GetParam();
    Module m({{{"QUORLIN_FAKE_SAMPLES", "10"}}, std::nullopt, std::nullopt});
    ASSERT_TRUE(m.handshake());
    size_t log_from = m.engine_log().size();
    size_t from = m.speak(c.command, c.text);
    EXPECT_EQ(m.summary_since(from),
              (Lines{"202 OK RECEIVING MESSAGE", "200 OK SPEAKING", "701 BEGIN", "705", "702 END"}));
    EXPECT_EQ(m.count_stderr("quorlin: Speaking: " + c.prepared), 1u) << m.child().err();
    Lines calls = m.engine_log(log_from);
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(calls[3], "eciAddText \"" + c.prepared + "\"");
}

const PreparedCase prepared_cases[] = {
    {"MarkupDropped", "SPEAK", "<speak>Hello <break time='1s'/>world</speak>", "Hello world"},
    {"TextSanitised", "SPEAK", "Price: \xC2\xA3" "5 (approx.)", "Price, pound 5, approx., "},
    {"LettersAndDigitsSpaced", "SPEAK", "mp3 player", "mp 3 player"},
    {"SoundIconSanitised", "SOUND_ICON", "R2D2", "R 2 D 2"},
    {"CharOnlyStripped", "CHAR", "&amp;", "&"},
    {"KeyOnlyStripped", "KEY", "a(b", "a(b"},
    // The space key reaches the adapter as one blank and is spoken by name.
    {"CharSpace", "CHAR", "space", "space"},
    {"KeySpace", "KEY", "space", "space"},
    {"CharBlank", "CHAR", " ", "space"},
};

INSTANTIATE_TEST_SUITE_P(Adapter, PreparedText, ::testing::ValuesIn(prepared_cases),
                         CaseName());

struct SpeakingLineCase {
    const char *name;
    std::string text;
    std::string shown;  // what follows "quorlin: Speaking: "
};

class SpeakingLine : public ::testing::TestWithParam<SpeakingLineCase> {};

// The speaking line shows at most 500 bytes of the prepared text and its
// length; the engine still gets the whole text.
TEST_P(SpeakingLine, ShowsTheStartOfALongText) {
    const SpeakingLineCase &c = GetParam();
    Module m({{{"QUORLIN_FAKE_SAMPLES", "10"}}, std::nullopt, std::nullopt});
    ASSERT_TRUE(m.handshake());
    size_t log_from = m.engine_log().size();
    m.speak("SPEAK", c.text);
    Lines said = speaking_lines(m);
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0], "quorlin: Speaking: " + c.shown);
    Lines calls = m.engine_log(log_from);
    ASSERT_GE(calls.size(), 4u);
    std::string whole = c.text.starts_with("<b>") ? c.text.substr(3, c.text.size() - 7) : c.text;
    EXPECT_EQ(calls[3], "eciAddText \"" + whole + "\"");
}

const SpeakingLineCase speaking_line_cases[] = {
    {"FiveHundredBytesShownWhole", std::string(500, 'a'), std::string(500, 'a')},
    {"OneByteMoreIsCut", std::string(500, 'a') + "b", std::string(500, 'a') + "... (501 bytes)"},
    {"HundredKilobytes", std::string(100000, 'c'), std::string(500, 'c') + "... (100000 bytes)"},
    // The prepared text is measured, not what the server sent.
    {"MarkupNotCounted", "<b>" + std::string(500, 'd') + "</b>", std::string(500, 'd')},
};

INSTANTIATE_TEST_SUITE_P(Adapter, SpeakingLine, ::testing::ValuesIn(speaking_line_cases),
                         CaseName());

struct RefusedCase {
    const char *name;
    const char *command;
    std::string text;
};

class RefusedBlank : public ::testing::TestWithParam<RefusedCase> {};

// Only a single blank of CHAR or KEY is the space key; every other
// message that prepares to nothing is refused.
TEST_P(RefusedBlank, Gets301Only) {
    const RefusedCase &c = GetParam();
    Module m;
    ASSERT_TRUE(m.handshake());
    size_t from = m.speak(c.command, c.text, "301 ERROR CANT SPEAK\n");
    EXPECT_EQ(m.summary_since(from), (Lines{"202 OK RECEIVING MESSAGE", "301 ERROR CANT SPEAK"}));
    EXPECT_EQ(m.count_stderr("quorlin: Speaking: space"), 0u);
}

const RefusedCase refused_cases[] = {
    {"SpeakBlank", "SPEAK", " "},
    {"SoundIconBlank", "SOUND_ICON", " "},
    {"CharTwoBlanks", "CHAR", "  "},
    {"KeyTab", "KEY", "\t"},
};

INSTANTIATE_TEST_SUITE_P(Adapter, RefusedBlank, ::testing::ValuesIn(refused_cases),
                         CaseName());

}  // namespace
}  // namespace adapter_test
