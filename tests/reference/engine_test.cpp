// SPDX-License-Identifier: BSD-2-Clause
// The reference engine through its exported calls, as the module uses
// them: callback, output buffer, text, synthesis. Audio is checked by
// its length, level and sameness, never against stored samples: eSpeak NG
// may differ by a few samples between messages of one process.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "eci_corvane.h"
#include "engine_harness.h"
#include "temp_dir.h"

namespace {

using namespace qref;
using qtest::TempFile;

TEST(ReferenceEngine, SpeaksAtEachRateCode) {
    struct Row {
        int code;
        int hz;
    };
    const Row rows[] = {{2, 22050}, {0, 8000}, {1, 11025}};
    Engine e;
    ASSERT_TRUE(e.ok());
    double reference_seconds = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.hz);
        EXPECT_GE(eciSetParam(e.h(), eciSampleRate, row.code), 0);
        EXPECT_EQ(eciGetParam(e.h(), eciSampleRate), row.code);
        std::vector<short> s = e.speak(sentence);
        double secs = seconds(s, row.hz);
        EXPECT_GT(secs, 2.0);
        EXPECT_LT(secs, 6.0);
        EXPECT_GT(peak(s), 3000);
        EXPECT_GT(rms(s), 500);
        // Every rate carries the same speech to the last millisecond: a
        // resampler tail left undrained would show here.
        if (reference_seconds == 0) reference_seconds = secs;
        EXPECT_NEAR(secs, reference_seconds, 0.001);
    }
}

TEST(ReferenceEngine, HigherSpeedGivesShorterAudio) {
    Engine e;
    ASSERT_TRUE(e.ok());
    size_t previous = SIZE_MAX;
    for (int speed : {0, 40, 80, 125, 180, 250}) {
        SCOPED_TRACE(speed);
        ASSERT_GE(eciSetVoiceParam(e.h(), 0, eciSpeed, speed), 0);
        size_t n = e.speak(sentence).size();
        EXPECT_LT(n, previous);
        previous = n;
    }
}

TEST(ReferenceEngine, RealWorldUnitsTakeWordsPerMinute) {
    Engine e;
    ASSERT_TRUE(e.ok());
    ASSERT_GE(eciSetVoiceParam(e.h(), 0, eciSpeed, 50), 0);  // 175 words a minute
    size_t eci_units = e.speak(sentence).size();
    ASSERT_EQ(eciSetParam(e.h(), eciRealWorldUnits, 1), 0);
    EXPECT_EQ(eciSetVoiceParam(e.h(), 0, eciSpeed, 350), 50);  // beyond 250: fine now
    size_t twice_as_fast = e.speak(sentence).size();
    EXPECT_LT(twice_as_fast, eci_units * 6 / 10);
    EXPECT_GT(twice_as_fast, eci_units * 4 / 10);
}

TEST(ReferenceEngine, PresetVoicesDifferFromEachOther) {
    const char *names[] = {"Wade", "Flo", "Bobbie", "Male2", "Male3", "Female2", "Grandma", "Grandpa"};
    std::vector<std::vector<short>> audio;
    for (int preset = 1; preset <= 8; preset++) {
        Engine e;
        ASSERT_TRUE(e.ok());
        ASSERT_NE(eciCopyVoice(e.h(), preset, 0), 0);
        audio.push_back(e.speak(sentence));
        EXPECT_GT(rms(audio.back()), 500) << names[preset - 1];
    }
    for (size_t a = 0; a < audio.size(); a++)
        for (size_t b = a + 1; b < audio.size(); b++)
            EXPECT_NE(audio[a], audio[b]) << names[a] << " and " << names[b];
}

TEST(ReferenceEngine, CopyVoiceTakesEveryParameterOfTheSlot) {
    Engine e;
    ASSERT_TRUE(e.ok());
    size_t normal = e.speak(sentence).size();
    // A slow speed written into the last user slot reaches slot 0 only
    // with the copy.
    ASSERT_GE(eciSetVoiceParam(e.h(), 16, eciSpeed, 10), 0);
    EXPECT_NEAR(static_cast<double>(e.speak(sentence).size()), static_cast<double>(normal),
                normal * 0.05);
    ASSERT_NE(eciCopyVoice(e.h(), 16, 0), 0);
    EXPECT_GT(e.speak(sentence).size(), normal * 3 / 2);
}

TEST(ReferenceEngine, RefusedDeliveryEndsTheMessage) {
    Engine e(4000);
    ASSERT_TRUE(e.ok());
    size_t full = e.speak(sentence).size();
    e.capture().refuse_on_call = 2;
    std::vector<short> cut = e.speak(sentence);
    EXPECT_EQ(e.capture().counts.size(), 2u);
    EXPECT_EQ(cut.size(), 8000u);
    // The next message is whole again.
    e.capture().refuse_on_call = 0;
    EXPECT_NEAR(static_cast<double>(e.speak(sentence).size()), static_cast<double>(full), 100.0);
}

TEST(ReferenceEngine, RefusedDeliveryAtEveryRateEndsTheMessage) {
    for (int code : {0, 1, 2}) {
        SCOPED_TRACE(code);
        Engine e(1000);
        ASSERT_TRUE(e.ok());
        ASSERT_GE(eciSetParam(e.h(), eciSampleRate, code), 0);
        e.capture().refuse_on_call = 1;
        e.speak(sentence);
        EXPECT_EQ(e.capture().counts.size(), 1u);
    }
}

TEST(ReferenceEngine, StopFromInsideTheCallbackEndsTheMessage) {
    Engine e(2000);
    ASSERT_TRUE(e.ok());
    e.capture().stop_on_first = true;
    e.speak(sentence);
    EXPECT_EQ(e.capture().counts.size(), 1u);
}

// A caller that streams a long message tells the engine to stop from
// inside its callback, by its answer or by eciStop, at every rate: the
// message ends there, and the engine is ready for the next one.
TEST(ReferenceEngine, StopToldInTheFirstCallbackEndsALongMessage) {
    std::string long_text;
    for (int i = 0; i < 40; i++) long_text += std::string(sentence) + " ";
    Engine whole;
    ASSERT_TRUE(whole.ok());
    whole.speak(long_text.c_str());
    ASSERT_GT(whole.capture().counts.size(), 20u);

    struct Row {
        const char *name;
        int code;
        bool by_answer;
    };
    const Row rows[] = {
        {"answer, 22050 Hz", 2, true},  {"eciStop, 22050 Hz", 2, false},
        {"answer, 11025 Hz", 1, true},  {"eciStop, 11025 Hz", 1, false},
        {"answer, 8000 Hz", 0, true},   {"eciStop, 8000 Hz", 0, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Engine e;
        ASSERT_TRUE(e.ok());
        ASSERT_GE(eciSetParam(e.h(), eciSampleRate, row.code), 0);
        e.capture().refuse_on_call = row.by_answer ? 1 : 0;
        e.capture().stop_on_first = !row.by_answer;
        e.speak(long_text.c_str());
        EXPECT_EQ(e.capture().counts.size(), 1u);
        e.capture().refuse_on_call = 0;
        e.capture().stop_on_first = false;
        EXPECT_GT(seconds(e.speak(sentence), rate_hz_of(row.code)), 2.0);
    }
}

TEST(ReferenceEngine, StopWhileIdleIsHarmless) {
    Engine e;
    ASSERT_TRUE(e.ok());
    EXPECT_NE(eciStop(e.h()), 0);
    EXPECT_NE(eciStop(e.h()), 0);
    EXPECT_GT(e.speak(sentence).size(), 22050u);
    // Text added but not yet synthesised is dropped by a stop.
    ASSERT_NE(eciAddText(e.h(), sentence), 0);
    EXPECT_NE(eciStop(e.h()), 0);
    e.capture().samples.clear();
    EXPECT_NE(eciSynthesize(e.h()), 0);
    EXPECT_TRUE(e.capture().samples.empty());
}

TEST(ReferenceEngine, CountsNeverExceedTheBuffer) {
    struct Row {
        int code;
        size_t buffer;
    };
    const Row rows[] = {{2, 20000}, {2, 4096}, {2, 1}, {1, 20000}, {1, 777},
                        {0, 20000}, {0, 333}};
    size_t whole[3] = {0, 0, 0};
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << "code " << row.code << " buffer " << row.buffer);
        Engine e(row.buffer);
        ASSERT_TRUE(e.ok());
        ASSERT_GE(eciSetParam(e.h(), eciSampleRate, row.code), 0);
        size_t n = e.speak(sentence).size();
        for (long c : e.capture().counts) {
            EXPECT_GT(c, 0);
            EXPECT_LE(c, static_cast<long>(row.buffer));
        }
        // Cutting into smaller pieces loses nothing.
        if (whole[row.code] == 0) whole[row.code] = n;
        EXPECT_NEAR(static_cast<double>(n), static_cast<double>(whole[row.code]), 50.0);
    }
}

TEST(ReferenceEngine, AddTextAccumulatesUntilSynthesis) {
    Engine e;
    ASSERT_TRUE(e.ok());
    size_t whole = e.speak(sentence).size();
    e.capture().samples.clear();
    ASSERT_NE(eciAddText(e.h(), "Hello from quorlin. "), 0);
    EXPECT_TRUE(e.capture().samples.empty());
    ASSERT_NE(eciAddText(e.h(), "This sentence was spoken through the module."), 0);
    ASSERT_NE(eciSynthesize(e.h()), 0);
    EXPECT_NEAR(static_cast<double>(e.capture().samples.size()), static_cast<double>(whole),
                whole * 0.02);
}

TEST(ReferenceEngine, InstancesKeepTheirOwnVoices) {
    // The rate of sign changes tells a female voice from a male one.
    Engine wade, flo;
    ASSERT_TRUE(wade.ok() && flo.ok());
    ASSERT_NE(eciCopyVoice(flo.h(), 2, 0), 0);
    double wade_first = crossings(wade.speak(sentence));
    double flo_first = crossings(flo.speak(sentence));
    EXPECT_GT(flo_first, wade_first + 0.02);
    EXPECT_NEAR(crossings(wade.speak(sentence)), wade_first, 0.005);
    EXPECT_NEAR(crossings(flo.speak(sentence)), flo_first, 0.005);
}

TEST(ReferenceEngine, RejectsValuesOutOfRange) {
    Engine e;
    ASSERT_TRUE(e.ok());
    struct Row {
        const char *name;
        int result;
        int expected;
    };
    const Row rows[] = {
        {"rate code 3", eciSetParam(e.h(), eciSampleRate, 3), -1},
        {"rate code -1", eciSetParam(e.h(), eciSampleRate, -1), -1},
        {"text mode 4", eciSetParam(e.h(), eciTextMode, 4), -1},
        {"unknown parameter", eciSetParam(e.h(), static_cast<ECIParam>(4), 0), -1},
        {"speed 251", eciSetVoiceParam(e.h(), 0, eciSpeed, 251), -1},
        {"volume 101", eciSetVoiceParam(e.h(), 0, eciVolume, 101), -1},
        {"user slot 9", eciSetVoiceParam(e.h(), 9, eciVolume, 40), 90},
        {"preset 1", eciSetVoiceParam(e.h(), 1, eciVolume, 50), -1},
        {"preset 8", eciSetVoiceParam(e.h(), 8, eciVolume, 50), -1},
        {"slot 17", eciSetVoiceParam(e.h(), 17, eciVolume, 50), -1},
        {"voice parameter 0", eciSetVoiceParam(e.h(), 0, static_cast<ECIVoiceParam>(0), 5), -1},
        {"copy into preset 8", eciCopyVoice(e.h(), 9, 8), 0},
        {"copy from slot 17", eciCopyVoice(e.h(), 17, 0), 0},
        {"copy into slot 17", eciCopyVoice(e.h(), 0, 17), 0},
        {"buffer without memory", eciSetOutputBuffer(e.h(), 100, nullptr), 0},
        {"negative buffer size", eciSetOutputBuffer(e.h(), -5, e.capture().buffer.data()), 0},
        {"null handle", eciSetParam(nullptr, eciSampleRate, 1), -1},
        {"text on a null handle", eciAddText(nullptr, "hello"), 0},
        {"null text", eciAddText(e.h(), nullptr), 0},
    };
    for (const Row &row : rows) EXPECT_EQ(row.result, row.expected) << row.name;
    // What was refused left the values as they were.
    EXPECT_EQ(eciGetParam(e.h(), eciSampleRate), 2);
    EXPECT_EQ(eciGetParam(e.h(), eciTextMode), 0);
    EXPECT_EQ(eciSetVoiceParam(e.h(), 0, eciSpeed, 60), 50);
    EXPECT_EQ(eciSetVoiceParam(e.h(), 0, eciVolume, 80), 90);
    // The presets kept their volume: neither the write nor slot 9's 40.
    for (int preset : {1, 8}) {
        SCOPED_TRACE(preset);
        ASSERT_NE(eciCopyVoice(e.h(), preset, 10), 0);
        EXPECT_EQ(eciSetVoiceParam(e.h(), 10, eciVolume, 70), 90);
    }
}

// Each index is replied exactly once, in order, where its text ends: 's'
// before every sample, 'e' after the last, 'm' strictly inside, '>' inside
// and later than the index before it. The audio is that of the same text
// without indexes, sample for sample.
TEST(ReferenceEngine, IndexesArriveInPlaceWithoutChangingTheAudio) {
    struct Row {
        const char *name;
        std::string marked;
        const char *where;
        int text_mode = 0;
    };
    const std::string s = sentence;
    const Row rows[] = {
        {"at the start", "|" + s, "s"},
        {"between sentences", "Hello from quorlin. |This sentence was spoken through the module.", "m"},
        {"between words", "Hello from |quorlin. This sentence was |spoken through the module.", "m>"},
        {"right after a sentence end", "Hello from quorlin.| This sentence was spoken through the module.", "m"},
        {"several in a row", "Hello |||from quorlin. This sentence was spoken through the module.||", "mmmee"},
        {"by brackets and quotes", "He said |(quietly) |\"yes!\"|", "mme"},
        {"markup characters", "Tom & |Jerry: 3 < 4 > 2, |<b>bold</b> & more.", "mm"},
        {"no text", "||", "ee"},
        // A punctuation mark read aloud has a word event far from its place.
        {"punctuation read aloud", "Hello, |world; it's |(fine).", "m>", 2},
        // Each stretch between indexes is rewritten on its own.
        {"spelled", "ab |cd 12 |34", "m>", 1},
    };
    for (int code : {2, 1, 0}) {
        Engine e;
        ASSERT_TRUE(e.ok());
        ASSERT_GE(eciSetParam(e.h(), eciSampleRate, code), 0);
        for (const Row &row : rows) {
            SCOPED_TRACE(testing::Message() << row.name << ", rate code " << code);
            ASSERT_GE(eciSetParam(e.h(), eciTextMode, row.text_mode), 0);
            std::string plain = row.marked;
            plain.erase(std::remove(plain.begin(), plain.end(), '|'), plain.end());
            std::vector<short> expected = e.speak_in_child(plain);
            std::vector<short> got = e.speak_marked(row.marked, 70000);
            EXPECT_TRUE(got == expected) << got.size() << " samples against " << expected.size();
            const auto &replies = e.capture().replies;
            ASSERT_EQ(replies.size(), strlen(row.where));
            for (size_t k = 0; k < replies.size(); k++) {
                EXPECT_EQ(replies[k].first, 70000 + static_cast<long>(k));
                if (k > 0) {
                    EXPECT_GE(replies[k].second, replies[k - 1].second);
                }
                size_t at = replies[k].second;
                bool later = k > 0 && at > replies[k - 1].second;
                char where = at == got.size() ? 'e' : at == 0 ? 's' : (later && row.where[k] == '>') ? '>' : 'm';
                EXPECT_EQ(where, row.where[k]) << "index " << k << " after " << at << " samples";
            }
        }
    }
}

TEST(ReferenceEngine, IndexCallsAndRefusedReplies) {
    Engine e;
    ASSERT_TRUE(e.ok());
    EXPECT_EQ(eciInsertIndex(e.h(), 0), 0);
    EXPECT_EQ(eciInsertIndex(nullptr, 5), 0);
    // An index dropped by eciStop is never replied.
    ASSERT_NE(eciInsertIndex(e.h(), 5), 0);
    ASSERT_NE(eciStop(e.h()), 0);
    e.speak(sentence);
    EXPECT_TRUE(e.capture().replies.empty());
    // A refused reply ends the message there, like refused samples.
    size_t whole = e.speak(sentence).size();
    e.capture().refuse_index = 11;
    std::vector<short> cut = e.speak_marked("Hello |from quorlin. This |sentence was spoken.", 11);
    ASSERT_EQ(e.capture().replies.size(), 1u);
    EXPECT_EQ(e.capture().replies[0].second, cut.size());
    EXPECT_GT(cut.size(), 0u);
    EXPECT_LT(cut.size(), whole / 2);
}

// An index before each of twelve words and one after the last, at the
// engine speeds the module sets for the server's rates: every index is
// replied once, in order, each a good part of a word after the one
// before, and the last after the audio. From 450 words a minute (server
// rate 56) eSpeak NG speeds its chunks up after synthesis and reports
// its events as they were before. A reply comes with the first sound of
// its word, not in the pause before it that slow speech lengthens, nor
// in the last sound of the word before ("in order").
TEST(ReferenceEngine, IndexesFollowTheWordsAtEveryRate) {
    struct Row {
        int server_rate;
        int speed;  // what the module sets for that rate
        int code;
    };
    const Row rows[] = {{-100, 0, 2}, {0, 125, 2}, {70, 212, 2}, {100, 250, 2}, {100, 250, 0}};
    const std::string marked =
        "|Every |index |is |answered, |once |and |in |order. |Slow |speech |pauses |long.|";
    constexpr size_t words = 12;
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << "server rate " << row.server_rate << ", rate code "
                                        << row.code);
        Engine e;
        ASSERT_TRUE(e.ok());
        ASSERT_GE(eciSetVoiceParam(e.h(), 0, eciSpeed, row.speed), 0);
        ASSERT_GE(eciSetParam(e.h(), eciSampleRate, row.code), 0);
        std::vector<short> got = e.speak_marked(marked, 1);
        const auto &replies = e.capture().replies;
        ASSERT_EQ(replies.size(), words + 1);
        size_t least_gap = got.size() / words / 4;
        size_t heard_within = static_cast<size_t>(rate_hz_of(row.code) / 100);  // 10 ms
        EXPECT_EQ(replies[0].second, 0u);
        EXPECT_EQ(replies[words].second, got.size());
        for (size_t k = 0; k <= words; k++) {
            SCOPED_TRACE(testing::Message() << "index " << k + 1);
            EXPECT_EQ(replies[k].first, static_cast<long>(k + 1));
            size_t at = replies[k].second;
            if (k > 0) {
                EXPECT_GE(at, replies[k - 1].second + least_gap);
            }
            if (k > 0 && k < words) {
                EXPECT_LE(at + least_gap, got.size());
                EXPECT_LE(silence_from(got, at), heard_within);
            }
        }
    }
}

TEST(ReferenceEngine, SynthesisWithoutOutputBufferFails) {
    ECIHand h = eciNew();
    ASSERT_NE(h, nullptr);
    ASSERT_NE(eciAddText(h, sentence), 0);
    EXPECT_EQ(eciSynthesize(h), 0);
    EXPECT_EQ(eciDelete(h), nullptr);
}

TEST(ReferenceDictionary, LoadErrors) {
    struct Row {
        const char *name;
        std::string contents;
        ECIDictVolume volume;
        bool ok;
    };
    const Row rows[] = {
        {"entries, comments, blank lines", "# names\n\ncat  large feline\n  dog\tgood boy \r\n",
         eciMainDict, true},
        {"empty file", "", eciMainDict, true},
        {"no final line feed", "cat feline", eciMainDict, true},
        {"abbreviation with a period", "Dr. doctor\n", eciAbbvDict, true},
        {"inner apostrophe", "don't do not\n", eciMainDict, true},
        {"word without replacement", "cat feline\ndog\n", eciMainDict, false},
        {"word and blanks only", "dog   \t\n", eciMainDict, false},
        {"punctuation in the word", "cat, feline\n", eciMainDict, false},
        {"period outside abbreviations", "Dr. doctor\n", eciMainDict, false},
        {"leading apostrophe", "'cat feline\n", eciMainDict, false},
        {"NUL byte", std::string("cat fe\0line\n", 12), eciMainDict, false},
        {"line too long", "cat " + std::string(5000, 'x') + "\n", eciMainDict, false},
    };
    Engine e;
    ASSERT_TRUE(e.ok());
    ECIDictHand d = eciNewDict(e.h());
    ASSERT_NE(d, nullptr);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TempFile f(row.contents);
        ECIDictError err = eciLoadDict(e.h(), d, row.volume, f.path());
        if (row.ok)
            EXPECT_EQ(err, DictNoError);
        else
            EXPECT_NE(err, DictNoError);
    }
    EXPECT_NE(eciLoadDict(e.h(), d, eciMainDict, "/nonexistent/quorlin.dict"), DictNoError);
    EXPECT_NE(eciLoadDict(e.h(), d, eciMainDict, "/tmp"), DictNoError);  // a directory
    EXPECT_NE(eciLoadDict(e.h(), d, eciMainDict, ""), DictNoError);
    EXPECT_NE(eciLoadDict(e.h(), d, static_cast<ECIDictVolume>(3), "/dev/null"), DictNoError);
    EXPECT_NE(eciLoadDict(e.h(), nullptr, eciMainDict, "/dev/null"), DictNoError);
    if (geteuid() != 0) {
        TempFile f("cat feline\n");
        chmod(f.path(), 0);
        EXPECT_EQ(eciLoadDict(e.h(), d, eciMainDict, f.path()), DictAccessError);
    }
    EXPECT_EQ(eciDeleteDict(e.h(), d), nullptr);
}

TEST(ReferenceDictionary, ReplacementTakesEffect) {
    TempFile main_dict("# a short word read as a long phrase\n"
                       "cat hippopotamus rhinoceros crocodile\n");
    Engine e;
    ASSERT_TRUE(e.ok());
    size_t plain = e.speak("The cat sat.").size();
    ECIDictHand d = eciNewDict(e.h());
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(eciLoadDict(e.h(), d, eciMainDict, main_dict.path()), DictNoError);
    // Loaded but not active: nothing changes.
    expect_about_same(e.speak("The cat sat.").size(), plain);
    ASSERT_EQ(eciSetDict(e.h(), d), DictNoError);
    EXPECT_GT(e.speak("The CAT sat.").size(), plain * 2);
    // A failed load keeps the volume as it was.
    TempFile bad("cat\n");
    EXPECT_NE(eciLoadDict(e.h(), d, eciMainDict, bad.path()), DictNoError);
    EXPECT_GT(e.speak("The cat sat.").size(), plain * 2);
    EXPECT_EQ(eciDeleteDict(e.h(), d), nullptr);
    expect_about_same(e.speak("The cat sat.").size(), plain);
}

TEST(ReferenceDictionary, AbbreviationsFollowTheDictionaryParameter) {
    TempFile abbreviations("Dr. doctor of philosophy in engineering\n");
    Engine e;
    ASSERT_TRUE(e.ok());
    ECIDictHand d = eciNewDict(e.h());
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(eciLoadDict(e.h(), d, eciAbbvDict, abbreviations.path()), DictNoError);
    ASSERT_EQ(eciSetDict(e.h(), d), DictNoError);
    ASSERT_EQ(eciSetParam(e.h(), eciDictionary, 0), 1);  // on unless told otherwise
    size_t without = e.speak("Dr. Smith").size();
    ASSERT_EQ(eciSetParam(e.h(), eciDictionary, 1), 0);
    EXPECT_GT(e.speak("Dr. Smith").size(), without * 2);
    EXPECT_EQ(eciDeleteDict(e.h(), d), nullptr);
}

TEST(ReferenceEngine, TextAndNumberModesChangeWhatIsSaid) {
    Engine e;
    ASSERT_TRUE(e.ok());
    size_t word = e.speak("elephant").size();
    ASSERT_EQ(eciSetParam(e.h(), eciTextMode, 1), 0);
    EXPECT_GT(e.speak("elephant").size(), word * 2);  // e, l, e, p, h, a, n, t
    ASSERT_EQ(eciSetParam(e.h(), eciTextMode, 0), 1);
    size_t number = e.speak("7000000").size();  // seven million
    ASSERT_EQ(eciSetParam(e.h(), eciNumberMode, 1), 0);
    EXPECT_GT(e.speak("7000000").size(), number * 2);  // seven zero zero ...
}

}  // namespace
