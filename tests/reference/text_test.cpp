// SPDX-License-Identifier: BSD-2-Clause
// The reference engine's text rewriting: dictionary lookups by volume and
// the spelling and digit modes, checked on the text eSpeak NG would get.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "reference_text.h"
#include "temp_dir.h"

namespace {

using reference::DictVolume;
using reference::TextOptions;
using reference::VolumeKind;
using qtest::TempFile;

// A volume loaded from the given file contents, freed at the end.
struct Volume {
    DictVolume v{};
    Volume(const std::string &contents, VolumeKind kind) {
        TempFile f(contents);
        EXPECT_EQ(reference::dict_load(&v, kind, f.path(), nullptr), 0);
    }
    ~Volume() { reference::dict_free(&v); }
};

std::string rewrite(const std::string &text, const TextOptions &o) {
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
                  VolumeKind::main);
    Volume root_v("walk stroll\nrun sprint\nx ten\n", VolumeKind::root);
    Volume abbr_v("Dr. doctor\nProf. professor\nSt saint\n", VolumeKind::abbreviation);
    TextOptions o{};
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
    TextOptions spell{};
    spell.spell = true;
    TextOptions digits{};
    digits.digits_apart = true;
    struct Row {
        const char *name;
        const TextOptions *o;
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

TEST(ReferenceText, LaterLineWinsAndBadLineIsNamed) {
    Volume v("cat one\ncat two\nCAT three\n", VolumeKind::main);
    TextOptions o{};
    o.main = &v.v;
    EXPECT_EQ(rewrite("cat", o), "three");

    TempFile bad("# fine\ncat feline\n\nbad, entry\n");
    DictVolume d{};
    size_t line = 0;
    EXPECT_EQ(reference::dict_load(&d, VolumeKind::main, bad.path(), &line),
              reference::dict_malformed);
    EXPECT_EQ(line, 4u);
    EXPECT_EQ(d.count, 0u);
    EXPECT_EQ(reference::dict_load(&d, VolumeKind::main, "/nonexistent/x", nullptr),
              reference::dict_file_not_found);
    EXPECT_EQ(reference::dict_load(&d, VolumeKind::main, "/tmp", nullptr),
              reference::dict_access_error);
    reference::dict_free(&d);
}

}  // namespace
