// SPDX-License-Identifier: BSD-2-Clause
// The reference engine's dialects: which are installed, the dialect
// parameter, text spoken and read in the dialect it was added under, the
// presets in each dialect's voice, and indexes across a dialect switch.
// Audio that must be the same or differ is spoken in child processes
// forked from one eSpeak NG state (see run_in_child).
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "child_process.h"
#include "eci_corvane.h"
#include "engine_harness.h"
#include "temp_dir.h"

namespace {

using namespace qref;
namespace fs = std::filesystem;

constexpr int en = eciGeneralAmericanEnglish, fr = eciStandardFrench;

// Debian's eSpeak NG data holds every dialect's voice and dictionary, so
// all are installed here: a voice name mistyped in the table drops one.
constexpr ECILanguageDialect every_dialect[] = {
    eciGeneralAmericanEnglish, eciBritishEnglish,      eciCastilianSpanish, eciMexicanSpanish,
    eciStandardFrench,         eciCanadianFrench,      eciStandardGerman,   eciStandardItalian,
    eciMandarinChinese,        eciTaiwaneseMandarin,   eciBrazilianPortuguese,
    eciStandardJapanese,       eciStandardFinnish,     eciStandardKorean,   eciStandardNorwegian,
    eciStandardSwedish,        eciStandardDanish,
};
constexpr int dialect_total = static_cast<int>(std::size(every_dialect));

constexpr const char *french = "Le chat dort sur la table, et la voiture est rouge.";

// Speaks text added under `dialect`, with `after` (0: the same) in force
// at synthesis.
std::vector<short> speak_under(Engine &e, int dialect, const char *text, int after = 0) {
    EXPECT_GE(eciSetParam(e.h(), eciLanguageDialect, dialect), 0);
    EXPECT_NE(eciAddText(e.h(), text), 0);
    EXPECT_GE(eciSetParam(e.h(), eciLanguageDialect, after ? after : dialect), 0);
    e.capture().samples.clear();
    e.capture().replies.clear();
    EXPECT_NE(eciSynthesize(e.h()), 0);
    return e.capture().samples;
}

TEST(ReferenceDialect, AvailableLanguagesCountAndFill) {
    // Asked before any instance exists.
    struct Row {
        const char *name;
        bool with_array;
        int capacity, result, count_after;
    };
    const Row rows[] = {
        {"count query", false, 0, 0, dialect_total},
        {"count query fills nothing", true, 0, 0, dialect_total},
        {"smaller capacity", true, 5, 0, 5},
        {"larger capacity", true, 40, 0, dialect_total},
        {"null array with a capacity", false, 3, ECI_PARAMETERERROR, 3},
        {"negative capacity", true, -1, ECI_PARAMETERERROR, -1},
    };
    constexpr auto unfilled = static_cast<ECILanguageDialect>(0x000B0000);  // no dialect
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<ECILanguageDialect> list(48, unfilled);
        int count = row.capacity;
        EXPECT_EQ(eciGetAvailableLanguages(row.with_array ? list.data() : nullptr, &count),
                  row.result);
        EXPECT_EQ(count, row.count_after);
        int filled = row.result == 0 && row.capacity > 0 ? row.count_after : 0;
        for (int i = 0; i < 48; i++)
            EXPECT_EQ(list[i], i < filled ? every_dialect[i] : unfilled) << "entry " << i;
    }
    ECILanguageDialect one[1];
    EXPECT_EQ(eciGetAvailableLanguages(one, nullptr), ECI_PARAMETERERROR);
}

TEST(ReferenceDialect, SetReturnsThePreviousAndRefusesUnknownValues) {
    Engine e, other;
    ASSERT_TRUE(e.ok() && other.ok());
    EXPECT_EQ(eciGetParam(e.h(), eciLanguageDialect), en);
    struct Row {
        const char *name;
        int value, result, in_force;
    };
    const Row rows[] = {
        {"fr-FR", fr, en, fr},
        {"zh-TW", eciTaiwaneseMandarin, fr, eciTaiwaneseMandarin},
        {"a French dialect not in the table", 0x00030002, -1, eciTaiwaneseMandarin},
        {"a language not in the table", 0x000B0000, -1, eciTaiwaneseMandarin},
        {"a phonetic input form", en | 0x0100, -1, eciTaiwaneseMandarin},
        {"da-DK, the last row", eciStandardDanish, eciTaiwaneseMandarin, eciStandardDanish},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(eciSetParam(e.h(), eciLanguageDialect, row.value), row.result);
        EXPECT_EQ(eciGetParam(e.h(), eciLanguageDialect), row.in_force);
    }
    EXPECT_EQ(eciGetParam(other.h(), eciLanguageDialect), en);
}

// On a copy of eSpeak NG's data made of links, without the American
// English and Japanese voices and the Korean dictionary, those three are
// not installed and a new instance takes the lowest one left.
TEST(ReferenceDialect, MissingVoiceOrDictionaryIsNotInstalled) {
    Engine e;  // the engine's own eSpeak NG names its data folder
    ASSERT_TRUE(e.ok());
    auto info = reinterpret_cast<const char *(*)(const char **)>(
        dlsym(RTLD_DEFAULT, "espeak_Info"));
    const char *real_path = nullptr;
    ASSERT_NE(info, nullptr);
    info(&real_path);
    ASSERT_NE(real_path, nullptr);
    fs::path real = real_path;
    qtest::TempDir scratch;
    fs::path data = fs::path(scratch.path()) / "espeak-ng-data";
    auto link_all = [](const fs::path &from, const fs::path &to,
                       std::initializer_list<std::string> except) {
        fs::create_directory(to);
        for (const auto &entry : fs::directory_iterator(from))
            if (std::find(except.begin(), except.end(), entry.path().filename().string()) ==
                except.end())
                fs::create_symlink(entry.path(), to / entry.path().filename());
    };
    link_all(real, data, {"lang", "ko_dict"});
    link_all(real / "lang", data / "lang", {"gmw", "jpx"});
    link_all(real / "lang" / "gmw", data / "lang" / "gmw", {"en-US"});

    qtest::ChildOptions probe;
    probe.argv = {DIALECT_PROBE_BIN, "80000", "30000", "a0000", "10000"};
    probe.env = {{"ESPEAK_DATA_PATH", scratch.path()}};
    qtest::Child run(probe);
    ASSERT_EQ(run.wait_exit(), 0) << run.err();
    EXPECT_EQ(run.out(),
              "available 10001 20000 20001 30000 30001 40000 50000 60000 60001 70000 90000 "
              "d0000 e0000 f0000\n"
              "new 10001\n"
              "set 80000 -1 now 10001\n"
              "set 30000 65537 now 30000\n"
              "set a0000 -1 now 30000\n"
              "set 10000 -1 now 30000\n");
}

// Each row speaks one text twice, in a dialect and preset each time; a
// preset copied into slot 0 is its variant on the dialect's voice.
TEST(ReferenceDialect, EachDialectAndPresetSpeaksWithItsOwnVoice) {
    struct Row {
        int dialect, preset, against, against_preset;
        const char *text;
        bool same;
    };
    const Row rows[] = {
        {fr, 1, en, 1, french, false},
        {eciStandardGerman, 1, en, 1, "Der Hund schlaeft unter dem Tisch.", false},
        {eciMexicanSpanish, 1, eciCastilianSpanish, 1, "Hace calor en la ciudad.", false},
        {eciCanadianFrench, 1, fr, 1, french, true},  // eSpeak NG has no Canadian French
        {fr, 2, fr, 1, french, false},
        {fr, 2, en, 2, french, false},
    };
    Engine e;
    ASSERT_TRUE(e.ok());
    auto speak = [&](int dialect, int preset, const char *text) {
        return run_in_child([&] {
            EXPECT_NE(eciCopyVoice(e.h(), preset, 0), 0);
            return speak_under(e, dialect, text);
        });
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << row.dialect << " preset " << row.preset
                                        << " against " << row.against << " preset "
                                        << row.against_preset);
        std::vector<short> a = speak(row.dialect, row.preset, row.text);
        std::vector<short> b = speak(row.against, row.against_preset, row.text);
        EXPECT_GT(rms(a), 500);
        EXPECT_EQ(a == b, row.same) << a.size() << " samples against " << b.size();
    }
}

// The dialect a text was added under speaks it, whatever is in force at
// synthesis; French and English in one message are the two messages.
TEST(ReferenceDialect, TextKeepsTheDialectItWasAddedUnder) {
    Engine e;
    ASSERT_TRUE(e.ok());
    std::vector<short> english = run_in_child([&] { return speak_under(e, en, sentence); });
    struct Row {
        const char *name;
        int set_before, added_under, at_synthesis;
        bool english;
    };
    const Row rows[] = {
        {"French set and back before the text", fr, en, en, true},
        {"French set after the text", en, en, fr, true},
        {"added under French", en, fr, en, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<short> got = run_in_child([&] {
            EXPECT_GE(eciSetParam(e.h(), eciLanguageDialect, row.set_before), 0);
            return speak_under(e, row.added_under, sentence, row.at_synthesis);
        });
        EXPECT_EQ(got == english, row.english) << got.size() << " against " << english.size();
    }
    std::vector<short> one_message = run_in_child([&] {
        EXPECT_GE(eciSetParam(e.h(), eciLanguageDialect, fr), 0);
        EXPECT_NE(eciAddText(e.h(), french), 0);
        return speak_under(e, en, sentence);
    });
    std::vector<short> two_messages = run_in_child([&] {
        std::vector<short> s = speak_under(e, fr, french), t = speak_under(e, en, sentence);
        s.insert(s.end(), t.begin(), t.end());
        return s;
    });
    EXPECT_TRUE(one_message == two_messages);
}

// Added under its dialect and synthesised under en-US, text in the
// dialect's double-byte page is heard as the same text in UTF-8.
TEST(ReferenceDialect, DoubleByteTextIsReadInItsDialectsPage) {
    struct Row {
        int dialect;
        const char *page_text, *utf8;
    };
    const Row rows[] = {
        {eciMandarinChinese, "\xd6\xd0\xce\xc4\xd3\xef\xd2\xf4", "中文语音"},
        {eciTaiwaneseMandarin, "\xa4\xa4\xa4\xe5\xbb\x79\xad\xb5", "中文語音"},
        {eciStandardJapanese, "\x82\xb1\x82\xf1\x82\xc9\x82\xbf\x82\xcd", "こんにちは"},
        {eciStandardKorean, "\xbe\xc8\xb3\xe7\xc7\xcf\xbc\xbc\xbf\xe4", "안녕하세요"},
    };
    Engine e;
    ASSERT_TRUE(e.ok());
    for (const Row &row : rows) {
        SCOPED_TRACE(row.utf8);
        std::vector<short> utf8 =
            run_in_child([&] { return speak_under(e, row.dialect, row.utf8); });
        std::vector<short> page =
            run_in_child([&] { return speak_under(e, row.dialect, row.page_text, en); });
        EXPECT_GT(rms(utf8), 500);
        EXPECT_TRUE(page == utf8) << page.size() << " samples against " << utf8.size();
    }
}

// Indexes 1 to 5: before "there", after "there." (its segment's last
// word), at the switch to French, before "le", at the end. Each is
// replied once, in order, as its word is first heard, and the audio is
// that of the message without them.
TEST(ReferenceDialect, IndexesFollowTheWordsAcrossDialects) {
    for (int code : {2, 0}) {
        SCOPED_TRACE(testing::Message() << "rate code " << code);
        Engine e;
        ASSERT_TRUE(e.ok());
        ASSERT_GE(eciSetParam(e.h(), eciSampleRate, code), 0);
        auto message = [&](bool marked) {
            int number = 1;
            for (const char *text : {"Hello ", "there.", " ", "", "Bonjour tout ", "le monde."}) {
                if (*text == '\0') {
                    EXPECT_EQ(eciSetParam(e.h(), eciLanguageDialect, fr), en);
                }
                EXPECT_NE(eciAddText(e.h(), text), 0);
                if (marked && strcmp(text, " ") != 0) {
                    EXPECT_NE(eciInsertIndex(e.h(), number++), 0);
                }
            }
            return speak_under(e, fr, "", en);
        };
        std::vector<short> english =
            run_in_child([&] { return speak_under(e, en, "Hello there. "); });
        std::vector<short> plain = run_in_child([&] { return message(false); });
        std::vector<short> got = message(true);
        EXPECT_TRUE(got == plain) << got.size() << " samples against " << plain.size();
        const auto &r = e.capture().replies;
        ASSERT_EQ(r.size(), 5u);
        for (size_t k = 0; k < r.size(); k++) EXPECT_EQ(r[k].first, static_cast<long>(k + 1));
        size_t heard_within = static_cast<size_t>(rate_hz_of(code) / 100);  // 10 ms
        // 2 and 3 wait for "Bonjour". English alone ends with its
        // resampler's tail drained; here that tail is the start of the French.
        EXPECT_EQ(r[1].second, r[2].second);
        EXPECT_GE(r[1].second + heard_within, english.size());
        EXPECT_GT(r[3].second, r[2].second + heard_within);
        for (size_t k : {0, 1, 3}) EXPECT_LE(silence_from(got, r[k].second), heard_within);
        EXPECT_GT(r[0].second, 0u);
        EXPECT_EQ(r[4].second, got.size());
    }
}

}  // namespace
