// SPDX-License-Identifier: BSD-2-Clause
// The Unicode stage of the faithful preparation on its own: which words
// it rewrites and how, that everything else keeps its bytes, when it
// works in place, and that its result needs no second pass.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "quorlin_unicode.h"

using namespace std::string_view_literals;

namespace {

struct Staged {
    std::string text;
    bool same_block;  // the result is the input's block
};

Staged stage(std::string_view in)
{
    char *plain = static_cast<char *>(malloc(in.size() + 1));
    memcpy(plain, in.data(), in.size());
    plain[in.size()] = '\0';
    char *r = text_unicode::unicode_stage(plain, nullptr);
    Staged s{r ? std::string(r) : std::string("(null)"), r == plain};
    free(r);
    return s;
}

}  // namespace

TEST(UnicodeStage, RewritesTheWordsThatNeedIt)
{
    struct Row {
        const char *name;
        std::string_view input;
        std::string_view expected;
        bool same_block;
    };
    const Row rows[] = {
        {"ASCII", "plain text, 42", "plain text, 42", true},
        {"signs, emoji, CJK and malformed bytes keep their bytes",
         "caf\xC3\xA9 \xE2\x82\xAC" "5 \xE2\x80\x94 \xF0\x9F\x98\x80 \xE6\x97\xA5 \xC0\x80 a\xE2\x82",
         "caf\xC3\xA9 \xE2\x82\xAC" "5 \xE2\x80\x94 \xF0\x9F\x98\x80 \xE6\x97\xA5 \xC0\x80 a\xE2\x82", true},
        {"a word that shrinks is rewritten in place", "\xC5\x81\xC3\xB3" "d\xC5\xBA x", "L\xC3\xB3" "dz x",
         true},
        {"a word that grows moves the text", "\xEF\xB7\xBA x", "sly allh \xCA\xBFlyh wslm x", false},
        {"a lone Greek letter is composed but stays", "\xCE\xB1\xCC\x81 = 1", "\xCE\xAC = 1", true},
        {"compatibility letters are composed", "\xE2\x84\xAA \xE2\x84\xAB", "K \xC3\x85", true},
        {"a run of Cyrillic inside a Latin word", "x\xD0\x9F\xD1\x80\xD0\xB8", "xPri", true},
        {"a word longer than the memo holds",
         "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82\xD1\x81\xD1\x82\xD0\xB2\xD1\x83\xD1\x8E\xD1\x89"
         "\xD0\xB8\xD0\xB9",
         "Privetstvu\xC3\xBBsij", true},
        {"a mark on no letter stays for stage two", "a \xCC\x81" "b", "a \xCC\x81" "b", true},
        {"a mark composes with the Latin-1 letter before it", "x \xC3\xA7\xCC\x81", "x c", true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        // Twice: the second time from the memos.
        for (int pass = 0; pass < 2; ++pass) {
            Staged s = stage(r.input);
            EXPECT_EQ(s.text, r.expected);
            EXPECT_EQ(s.same_block, r.same_block);
        }
    }
}

namespace {

constexpr std::string_view pieces[] = {
    " ", "a", "Z", "\xC3\xA9", "\xC5\x82", "\xC4\xB2", "\xEF\xAC\x81", "\xE1\xBB\x87", "\xCC\x81",
    "\xCC\xA3", "\xD0\x9F", "\xD1\x89", "\xCE\xB1", "\xCE\xAC", "\xD4\xB2", "\xE1\x83\x92",
    "\xD7\xA9", "\xD9\x85", "\xEF\xB7\xBA", "\xE6\x97\xA5", "\xED\x95\x9C", "\xE2\x84\xAB",
    "\xE2\x82\xAC", "\xF0\x9F\x91\x8D", "\xEF\xB8\x8F", "\xC0\x80", "\xE2\x82", "-", "'", "7",
};

}  // namespace

// Whatever the stage writes is final: a second pass finds nothing to
// rewrite, so no letter it could have brought to the code page is left.
TEST(UnicodeStage, NeedsNoSecondPass)
{
    std::mt19937 rng(0x1cu);
    size_t rewritten = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string in;
        for (size_t i = rng() % 24; i > 0; --i)
            in += pieces[rng() % std::size(pieces)];
        SCOPED_TRACE(in);
        Staged once = stage(in);
        Staged twice = stage(once.text);
        ASSERT_EQ(twice.text, once.text);
        ASSERT_TRUE(twice.same_block);
        rewritten += once.text != in;
    }
    EXPECT_GT(rewritten, 1000u);
}

// The stage remembers the words it has looked at: what a text comes to
// does not depend on the texts before it.
TEST(UnicodeStage, ResultsDoNotDependOnEarlierTexts)
{
    std::mt19937 rng(0x2du);
    std::vector<std::string> inputs, first;
    for (int round = 0; round < 2000; ++round) {
        std::string in;
        for (size_t i = rng() % 16; i > 0; --i)
            in += pieces[rng() % std::size(pieces)];
        inputs.push_back(in);
        first.push_back(stage(in).text);
    }
    for (size_t i = inputs.size(); i-- > 0;) {
        SCOPED_TRACE(inputs[i]);
        ASSERT_EQ(stage(inputs[i]).text, first[i]);
    }
}
