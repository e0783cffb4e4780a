// SPDX-License-Identifier: BSD-2-Clause
// The reference engine's text rewriting: the engine's Windows-1252 read
// into UTF-8, dictionary lookups by volume and the spelling and digit
// modes, checked on the text eSpeak NG would get, and once by ear.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "eci_corvane.h"

#include "reference_text.h"
#include "temp_dir.h"

namespace {

using reference::dict_volume;
using reference::text_options;
using reference::volume_kind;
using qtest::TempFile;

// A volume loaded from the given file contents, freed at the end.
struct Volume {
    dict_volume v{};
    Volume(const std::string &contents, volume_kind kind) {
        TempFile f(contents);
        EXPECT_EQ(reference::dict_load(&v, kind, f.path(), nullptr), 0);
    }
    ~Volume() { reference::dict_free(&v); }
};

std::string rewrite(const std::string &text, const text_options &o) {
    size_t len = 0;
    char *out = reference::text_for_speech(text.data(), text.size(), o, &len);
    if (!out) return "<null>";
    std::string s(out, len);
    EXPECT_EQ(s.size(), strlen(out));
    free(out);
    return s;
}

TEST(ReferenceText, DictionaryVolumes) {
    Volume main_v("cat feline\nnasa National Aeronautics and Space Administration\n"
                  "caf\xc3\xa9 coffee house\ndon't do not\nDr main doctor\n",
                  volume_kind::main);
    Volume root_v("walk stroll\nrun sprint\nx ten\n", volume_kind::root);
    Volume abbr_v("Dr. doctor\nProf. professor\nSt saint\n", volume_kind::abbreviation);
    text_options o{};
    o.main = &main_v.v;
    o.root = &root_v.v;
    o.abbreviation = &abbr_v.v;
    struct Row {
        const char *name;
        const char *in;
        const char *out;
    };
    const Row rows[] = {
        {"whole word, any case", "The Cat and the CAT.", "The feline and the feline."},
        {"not inside a longer word", "cats category", "cats category"},
        {"multi-word replacement", "NASA launched", "National Aeronautics and Space Administration launched"},
        {"UTF-8 word kept whole", "a caf\xc3\xa9 here", "a coffee house here"},
        {"apostrophe inside a word", "I don't know", "I do not know"},
        {"quotes around a word", "'cat'", "'feline'"},
        {"main before abbreviation", "Dr. Who", "main doctor. Who"},
        {"abbreviation eats its period", "Prof. Smith", "professor Smith"},
        {"abbreviation with period needs it", "Prof Smith", "Prof Smith"},
        {"abbreviation keeps case", "st. Paul St Paul", "st. Paul saint Paul"},
        {"abbreviation without period keeps it", "St. Paul", "saint. Paul"},
        {"root alone", "walk", "stroll"},
        {"root with ending", "walked walking walks", "strolled strolling strolls"},
        {"root ending after a stem of two", "runs", "sprints"},
        {"no ending after a stem of one", "xs x", "xs ten"},
        {"no match leaves text", "Nothing to see here", "Nothing to see here"},
        {"replacement not looked up again", "feline cat", "feline feline"},
        {"empty text", "", ""},
    };
    for (const Row &row : rows) EXPECT_EQ(rewrite(row.in, o), row.out) << row.name;
}

TEST(ReferenceText, SpellingAndDigits) {
    text_options spell{};
    spell.spell = true;
    text_options digits{};
    digits.digits_apart = true;
    struct Row {
        const char *name;
        const text_options *o;
        const char *in;
        const char *out;
    };
    const Row rows[] = {
        {"letters", &spell, "cat", "c, a, t"},
        {"two words", &spell, "hi you", "h, i y, o, u"},
        {"letters and digits", &spell, "b52", "b, 5, 2"},
        {"UTF-8 letter stays whole", &spell, "\xc3\xa9t\xc3\xa9", "\xc3\xa9, t, \xc3\xa9"},
        {"one letter", &spell, "a", "a"},
        {"digits of a number", &digits, "in 2024", "in 2 0 2 4"},
        {"letters untouched", &digits, "mp3 b52x", "mp3 b5 2x"},
        {"separate numbers", &digits, "1 22", "1 2 2"},
    };
    for (const Row &row : rows) EXPECT_EQ(rewrite(row.in, *row.o), row.out) << row.name;
}

TEST(ReferenceText, ReadsWindows1252UnlessTheTextIsUtf8) {
    text_options plain{};
    text_options spell{};
    spell.spell = true;
    struct Row {
        const char *name;
        const text_options *o;
        std::string in;
        const char *out;
    };
    const Row rows[] = {
        {"code-page letter", &plain, "caf\xe9", "caf\xc3\xa9"},
        {"letters of 0x80 to 0x9f", &plain, "\x9cuvre \x8a\x9f \x83",
         "\xc5\x93uvre \xc5\xa0\xc5\xb8 \xc6\x92"},
        {"signs of 0x80 to 0x9f", &plain, "\x80" "5 \x92\x93\x94\x96",
         "\xe2\x82\xac" "5 \xe2\x80\x99\xe2\x80\x9c\xe2\x80\x9d\xe2\x80\x93"},
        {"undefined bytes read as blanks", &plain, "a\x81" "b\x9d", "a b "},
        {"valid UTF-8 stays", &plain, "caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},
        {"overlong form is not UTF-8", &plain, "\xc0\xaf", "\xc3\x80\xc2\xaf"},
        {"cut sequence is not UTF-8", &plain, "\xc3\xa9\xe2\x82",
         "\xc3\x83\xc2\xa9\xc3\xa2\xe2\x80\x9a"},
        {"ASCII stays", &plain, "it's", "it's"},
        {"spelled after the conversion", &spell, "\xe9t\xe9", "\xc3\xa9, t, \xc3\xa9"},
    };
    for (const Row &row : rows) EXPECT_EQ(rewrite(row.in, *row.o), row.out) << row.name;
}

using Collected = std::pair<std::vector<short>, std::vector<short>>;  // buffer, samples

ECICallbackReturn collect(ECIHand, ECIMessage msg, long count, void *data) {
    auto *c = static_cast<Collected *>(data);
    if (msg == eciWaveformBuffer && count > 0 && static_cast<size_t>(count) <= c->first.size())
        c->second.insert(c->second.end(), c->first.begin(), c->first.begin() + count);
    return eciDataProcessed;
}

// The number of samples the engine makes of `text`, after a first message
// (the first of a process runs short).
size_t spoken_samples(const char *text) {
    ECIHand h = eciNew();
    if (!h) return 0;
    Collected c(std::vector<short>(20000), {});
    eciRegisterCallback(h, collect, &c);
    eciSetOutputBuffer(h, static_cast<int>(c.first.size()), c.first.data());
    eciAddText(h, "warm up");
    eciSynthesize(h);
    c.second.clear();
    EXPECT_NE(eciAddText(h, text), 0);
    EXPECT_NE(eciSynthesize(h), 0);
    eciSynchronize(h);
    eciDelete(h);
    return c.second.size();
}

// The faithful preparation gives the engine "caf\xe9" in Windows-1252: it
// must be heard as the UTF-8 word is, not as "caf" with its letter lost;
// and so must a letter of 0x80 to 0x9f, which ISO-8859-1 would not read.
TEST(ReferenceText, Windows1252LettersAreHeard) {
    struct Row {
        const char *windows_1252, *utf8, *lost;
    };
    const Row rows[] = {
        {"caf\xe9", "caf\xc3\xa9", "caf"},
        {"\x9cuvre", "\xc5\x93uvre", "uvre"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.utf8);
        double heard = static_cast<double>(spoken_samples(row.windows_1252));
        double utf8 = static_cast<double>(spoken_samples(row.utf8));
        double lost = static_cast<double>(spoken_samples(row.lost));
        ASSERT_GT(lost, 0);
        EXPECT_NEAR(heard, utf8, 0.03 * utf8);
        EXPECT_GT(heard, 1.08 * lost) << heard << " samples against " << lost;
    }
}

// What the double-byte pages hold beyond the text the engine tests
// speak: a byte the page lacks or a character cut off is a blank, and
// the conversion goes on.
TEST(ReferenceText, DoubleBytePagesReadEveryByte) {
    using reference::code_page;
    struct Row {
        code_page page;
        bool forced;  // the caller judged the whole text not UTF-8
        const char *in, *out;
    };
    const Row rows[] = {
        {code_page::shift_jis, false, "\x82\xb1\xb1", "こｱ"},  // a one-byte katakana
        {code_page::gbk, false, "a\xff" "b", "a b"},
        {code_page::gbk, false, "ab\xd6", "ab "},
        {code_page::gbk, false, "\xe4\xb8\xad", "中"},  // valid UTF-8 stays
        {code_page::gbk, true, "\xe4\xb8\xad", "涓 "},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.out);
        text_options o{};
        o.page = row.page;
        o.as_code_page = row.forced;
        EXPECT_EQ(rewrite(row.in, o), row.out);
    }
}

TEST(ReferenceText, LaterLineWinsAndBadLineIsNamed) {
    Volume v("cat one\ncat two\nCAT three\n", volume_kind::main);
    text_options o{};
    o.main = &v.v;
    EXPECT_EQ(rewrite("cat", o), "three");

    TempFile bad("# fine\ncat feline\n\nbad, entry\n");
    dict_volume d{};
    size_t line = 0;
    EXPECT_EQ(reference::dict_load(&d, volume_kind::main, bad.path(), &line),
              reference::dict_malformed);
    EXPECT_EQ(line, 4u);
    EXPECT_EQ(d.count, 0u);
    EXPECT_EQ(reference::dict_load(&d, volume_kind::main, "/nonexistent/x", nullptr),
              reference::dict_file_not_found);
    EXPECT_EQ(reference::dict_load(&d, volume_kind::main, "/tmp", nullptr),
              reference::dict_access_error);
    reference::dict_free(&d);
}

}  // namespace
