// SPDX-License-Identifier: BSD-2-Clause
// Marks gathered during text preparation: which tags are marks, and over
// many random messages full of marks, that the text is exactly the text
// without them and that every mark stands between words, in order.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "guarded_bytes.h"
#include "quorlin_text.h"

using namespace std::string_view_literals;

namespace {

struct Prepared {
    bool ok = false;
    std::string text;
    std::vector<std::pair<std::string, size_t>> marks;  // name, place
    size_t dropped = 0;
};

Prepared prepare(std::string_view in, NRVMessageType type = NRV_MSGTYPE_TEXT)
{
    marked_text t;
    Prepared p;
    p.ok = prepare_marked_text(in.data(), in.size(), type, &t) == 0;
    if (!p.ok)
        return p;
    p.text.assign(t.text, t.length);
    for (size_t i = 0; i < t.count; ++i)
        p.marks.emplace_back(t.names + t.marks[i].name, t.marks[i].at);
    p.dropped = t.dropped;
    free_marked_text(&t);
    return p;
}

struct TagCase {
    const char *name;
    std::string input;
    std::vector<std::string> marks;  // names gathered, in order
    size_t dropped;
};

const TagCase tag_cases[] = {
    {"SelfClosing", R"(a <mark name="m"/> b)", {"m"}, 0},
    {"OtherAttributesFirst", R"(a <mark id='7' name="m"/> b)", {"m"}, 0},
    {"FirstNameWins", R"(a <mark name="m" name="n"/> b)", {"m"}, 0},
    {"QuoteOfTheOtherKindInside", R"(a <mark name="it's"/> b)", {"it's"}, 0},
    {"NotMarks",
     R"(a <markup name="m"/> <mark name=m/> <mark/> < mark name="m"/> <mark name="m> b)",
     {}, 0},
    {"EntitiesDecodedOnce", R"(a <mark name="&amp;lt;"/> b)", {"&lt;"}, 0},
    {"EmptyOrControlNames", "a <mark name=\"\"/> <mark name=\"x\ty\"/> b", {}, 2},
    {"DelOrNotUtf8Dropped",
     "a <mark name=\"x\x7Fy\"/> <mark name=\"\xC3(\"/> <mark name=\"\xED\xA0\x80\"/> "
     "<mark name=\"caf\xC3\xA9 \xF0\x9F\x91\x8D\"/> b",
     {"caf\xC3\xA9 \xF0\x9F\x91\x8D"}, 3},
    {"InCommentOrCdataMarkup",
     R"(a <!-- <mark name="c"/> > --> <![CDATA[ <mark name="d"/> ]]> <mark name="m"/> <!-- <mark name="e"/>)",
     {"m"}, 0},
    {"AfterANulNothing", std::string("a <mark name=\"m\"/> b\0 <mark name=\"n\"/> c"sv), {"m"}, 0},
};

TEST(TextMarks, WhichTagsAreMarks)
{
    for (const TagCase &c : tag_cases) {
        SCOPED_TRACE(c.name);
        Prepared p = prepare(c.input);
        ASSERT_TRUE(p.ok);
        std::vector<std::string> names;
        for (auto &m : p.marks)
            names.push_back(m.first);
        EXPECT_EQ(names, c.marks);
        EXPECT_EQ(p.dropped, c.dropped);
    }
}

struct PlaceCase {
    const char *name;
    std::string_view input;
    std::string_view text;
    std::vector<size_t> places;
};

// Where a mark stands after the cleaning has moved the text about.
const PlaceCase place_cases[] = {
    {"TrimmedAway", R"(  <mark name="a"/> x <mark name="b"/>  )", "x", {0, 1}},
    {"EntityBefore", R"(&lt;&amp; <mark name="a"/>x)", "   x", {3}},
    {"BlanksGiveWayToAPause", R"(a   <mark name="a"/>: b)", "a, b", {2}},
    {"CurrencyWord", "<mark name=\"a\"/>\xC2\xA3" "5 <mark name=\"b\"/>x", "pound 5 x", {0, 8}},
};

TEST(TextMarks, PlacesFollowTheText)
{
    for (const PlaceCase &c : place_cases) {
        SCOPED_TRACE(c.name);
        Prepared p = prepare(c.input);
        ASSERT_TRUE(p.ok);
        EXPECT_EQ(p.text, c.text);
        std::vector<size_t> places;
        for (auto &m : p.marks)
            places.push_back(m.second);
        EXPECT_EQ(places, c.places);
    }
}

// Only running text carries marks; the other kinds keep their text.
TEST(TextMarks, OnlyTextHasMarks)
{
    for (NRVMessageType type : {NRV_MSGTYPE_SOUND_ICON, NRV_MSGTYPE_CHAR, NRV_MSGTYPE_KEY}) {
        SCOPED_TRACE(type);
        Prepared p = prepare(R"(<mark name="m"/>bell)", type);
        ASSERT_TRUE(p.ok);
        EXPECT_TRUE(p.marks.empty());
        EXPECT_EQ(p.text, "bell");
    }
    EXPECT_FALSE(prepare(R"( <mark name="m"/> )").ok);
}

constexpr std::string_view pieces[] = {
    R"(<mark name="a"/>)", R"(<mark name = 'b&amp;c' />)", "<mark name=\"\x01\"/>",
    R"(<mark name="d"></mark>)", "<b>", "</b>", "&lt;", "&amp;", " ", "\t", "\n", "(", ")",
    ":", "-", "word", "w", "7", "x9", "\xC2\xA3", "\xE2\x80\x94", "\xE2\x80\x99", "\xC3", "!",
    ".", ",", "<", ">",
};

std::string random_message(std::mt19937 &rng)
{
    std::string s;
    size_t count = rng() % 40;
    for (size_t i = 0; i < count; ++i)
        s += pieces[rng() % std::size(pieces)];
    return s;
}

bool is_blank(char c)
{
    return c == '\t' || c == '\n' || c == ' ';
}

TEST(TextMarks, RandomMessagesKeepTheirTextAndWords)
{
    GuardedBytes guard(1024);
    std::mt19937 rng(0x3a7c5u);
    size_t with_marks = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string in = random_message(rng);
        SCOPED_TRACE(in);
        const char *at = guard.place(in);
        char *plain = prepare_text(at, in.size(), NRV_MSGTYPE_TEXT);
        Prepared p = prepare(std::string_view(at, in.size()));
        ASSERT_EQ(p.ok, plain != nullptr);
        if (plain == nullptr)
            continue;
        EXPECT_EQ(p.text, plain);
        free(plain);
        size_t last = 0;
        for (auto &[name, place] : p.marks) {
            ASSERT_LE(place, p.text.size());
            ASSERT_GE(place, last);
            last = place;
            if (place > 0 && place < p.text.size()) {
                ASSERT_TRUE(is_blank(p.text[place - 1]) || is_blank(p.text[place]))
                    << "inside a word at " << place;
            }
            ASSERT_FALSE(name.empty());
        }
        with_marks += !p.marks.empty();
    }
    EXPECT_GT(with_marks, 5000u);
}

}  // namespace
