// SPDX-License-Identifier: BSD-2-Clause
// Faithful text preparation: exact engine text for each rule family at
// the level and settings of each row, the SET names it takes, and random
// input at every level kept in the engine's alphabet.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "guarded_bytes.h"
#include "quorlin_faithful.h"

using namespace std::string_view_literals;

namespace {

constexpr punct_level none = punct_level::none;
constexpr punct_level some = punct_level::some;
constexpr punct_level most = punct_level::most;
constexpr punct_level all = punct_level::all;

struct Row {
    const char *name;
    std::string_view input;
    punct_level level;
    std::optional<std::string_view> expected;  // null: the preparation fails
    NRVMessageType type = NRV_MSGTYPE_TEXT;
    bool spelling = false;
    caps_mode capitals = caps_mode::none;
};

const Row rows[] = {
    // Letters: the code page's own bytes, the nearest letters, Greek names.
    {"code-page letters", "G\xC3\xB6ttsche caf\xC3\xA9 \xC3\x9F \xC5\x93uvre", none,
     "G\xF6ttsche caf\xE9 \xDF \x9Cuvre"},
    {"nearest letters", "Pawe\xC5\x82 \xC5\x81\xC3\xB3" "d\xC5\xBA \xC5\x91 \xC8\x99 \xC8\x9B \xC4\x91",
     none, "Pawel L\xF3" "dz o s t d"},
    {"ligatures and IJ", "\xEF\xAC\x81ne \xC4\xB2ssel", none, "fine IJssel"},
    {"Vietnamese vowels", "Vi\xE1\xBB\x87t", none, "Viet"},
    {"Greek by name", "\xCE\xB1 \xCE\xB2 \xCE\xA9", none, "alpha beta omega"},
    {"other scripts and emoji", "\xE6\x97\xA5 \xF0\x9F\x98\x80 x", none, "  grinning face x"},
    // Unicode text: composed, other alphabets in Latin letters, the
    // letters the code page lacks brought to their nearest.
    {"decomposed accents compose", "cafe\xCC\x81 Vie\xCC\xA3\xCC\x82t A\xCC\x8A", none,
     "caf\xE9 Viet \xC5"},
    {"a mark with nothing to compose with is dropped", "q\xCC\x81 \xCC\x81x", none, "q x"},
    {"Polish, Hungarian, Turkish, Romanian, Vietnamese",
     "\xC5\x81\xC3\xB3" "d\xC5\xBA Erd\xC5\x91s \xC5\x9F" "ehir Bucure\xC8\x99ti Nguy\xE1\xBB\x85n",
     none, "L\xF3" "dz Erdos sehir Bucuresti Nguyen"},
    {"the code page's own letters stay",
     "\xC5\xA0\xC5\xBE \xC5\x92 \xC5\xB8 \xC6\x92 \xC3\xB1", none, "\x8A\x9E \x8C \x9F \x83 \xF1"},
    {"Cyrillic", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, \xD0\xBC\xD0\xB8\xD1\x80!", none,
     "Privet, mir!"},
    {"Greek words", "\xCE\x95\xCE\xBB\xCE\xBB\xCE\xAC\xCE\xB4\xCE\xB1 \xCE\xB2\xCE\xB3", none,
     "Ell\xE1" "da bg"},
    {"Armenian", "\xD4\xB2\xD5\xA1\xD6\x80\xD5\xA5\xD6\x82", none, "Barew"},
    {"Georgian", "\xE1\x83\x92\xE1\x83\x90\xE1\x83\x9B\xE1\x83\x90\xE1\x83\xA0\xE1\x83\xAF"
     "\xE1\x83\x9D\xE1\x83\x91\xE1\x83\x90", none, "gamarjoba"},
    {"Hebrew", "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D", none, "slwm"},
    {"Arabic", "\xD9\x85\xD8\xB1\xD8\xAD\xD8\xA8\xD8\xA7", none, "mrhba"},
    {"a lone Greek letter is a symbol", "p < \xCE\xB1, 2\xCF\x80r, \xCE\xBB\xCE\xBB", some,
     "p less-than alpha, 2 pi r, ll"},
    {"ideographs and syllabaries stay", "\xE6\x97\xA5 \xE3\x81\xB2 \xE3\x82\xAB \xED\x95\x9C x", none,
     "        x"},
    {"symbols and emoji around other letters stay",
     "\xD0\xB4\xD0\xB0 \xF0\x9F\x91\x8D \xE2\x82\xAC" "5 \xE2\x80\x94 \xC5\x82\xE2\x84\xA2", some,
     "da thumbs up 5 euros, l trade mark"},
    {"malformed and cut-off sequences", "a\xC0\x80" "b\xE2\x82", none, "a b"},
    // Typography.
    {"curly apostrophe", "What\xE2\x80\x99s New", none, "What's New"},
    {"curly quotes at most", "\xE2\x80\x9Chi\xE2\x80\x9D \xC2\xABx\xC2\xBB", most,
     "left quotation mark hi right quotation mark left guillemet x right guillemet"},
    {"dash and bullet breaks", "wait \xE2\x80\x94 what \xE2\x80\xA2 item", none, "wait, what, item"},
    {"en and em dashes named at all", "wait \xE2\x80\x94 what \xE2\x80\x93 x", all,
     "wait em dash what en dash x"},
    {"an en dash between digits is a range", "pages 10\xE2\x80\x93" "20", none, "pages 10-20"},
    {"primes after a digit", "5\xE2\x80\xB2 10\xE2\x80\xB3 it\xE2\x80\xB2s", none,
     "5 prime 10 double prime it's"},
    {"ellipsis", "Wait\xE2\x80\xA6", none, "Wait..."},
    {"Unicode spaces", "a\xC2\xA0" "b\xE2\x80\x83" "c", none, "a b c"},
    {"invisible characters join", "soft\xC2\xADhy\xE2\x80\x8Bphen\xEF\xBB\xBF\xEF\xB8\x8F", none,
     "softhyphen"},
    // Numbers.
    {"ordinal and plural suffixes", "2nd 21ST 1990s 4th. 2ndly mp3", none,
     "2nd 21ST 1990s 4th. 2 ndly mp 3"},
    {"time keeps its colons", "16:22:23 a: b", none, "16:22:23 a, b"},
    {"colons joining names are read", "host:port std::string a: b", some,
     "host colon port std colon colon string a, b"},
    {"minus before a number", "-64 \xE2\x88\x92" "5 a(-1) 10-60", none,
     "minus 64 minus 5 a, minus 1, 10-60"},
    {"hyphen between letters", "e-mail a - b", most, "e-mail a dash b"},
    {"hyphens of dates, versions and ranges", "2021-10-16 6.4-1 40-50% CVE-2023-1234", some,
     "2021-10-16 6.4-1 40-50 percent CVE-2023-1234"},
    {"hyphens opening an option at none", "--force -I a--b", none, " force  I a b"},
    {"hyphens opening an option at some", "--force -I a--b", some, "dash dash force dash I a b"},
    // Addresses.
    {"address at none", "gladk@debian.org @home", none, "gladk at debian.org  home"},
    // Symbols by level.
    {"some at none", "10% a+b=c & d", none, "10  a b c   d"},
    {"some at some", "10% a+b=c & d #1 x/y", some, "10 percent a plus sign b equal c and d hash sign 1 x slash y"},
    {"Latin-1 symbols at some", "\xC2\xA7 3 \xC2\xA9 \xC2\xB0" "C \xC2\xBD \xC3\x97", some,
     "section 3 copyright degree C one half multiplication sign"},
    {"math and arrows at some", "a\xE2\x89\xA4" "b \xE2\x86\x92", some, "a less-than or equal b right-pointing arrow"},
    {"signs met again keep their own rules (these two share a slot of the pass's memo)",
     "it\xE2\x80\x99s \xE2\x86\x92 it\xE2\x80\x99s \xE2\x86\x92 x", some,
     "it's right-pointing arrow it's right-pointing arrow x"},
    {"micro sign below and at its level", "\xC2\xB5m", none, "\xB5m"},
    {"backquote is never passed", "a`b", none, "a b"},
    {"code signs below most: named only inside a word",
     "a\\b i_j key_ ^C ~/bin x | y _ k\xC2\xA6l \xC2\xB6 \xC2\xA7 3", some,
     "a backslash b i underscore j key underscore caret C tilde slash bin x   y   k l   section 3"},
    {"code signs at most", "a\\b c^d e|f g~h i_j k\xC2\xA6l m\xC2\xB6n", most,
     "a backslash b c caret d e vertical line f g tilde h i underscore j k broken bar l m "
     "paragraph mark n"},
    {"character names where CLDR has none", "\xE2\x9C\x93 \xE2\x85\x93 x\xE2\x81\xB4 H\xE2\x82\x82O \xE2\x84\xA0", some,
     "check mark one third x superscript four H subscript two O service mark"},
    {"numbers at none, signs not", "\xE2\x9C\x93 \xE2\x85\x93 cup \xE2\x88\x80", none, "  one third cup  "},
    {"unlisted punctuation by its category at some", "a\xE3\x80\x8C" "b\xE3\x80\x8D" "c ok\xE2\x80\xBD", some,
     "a, b, c ok "},
    {"unlisted punctuation by its category at most", "a\xE3\x80\x8C" "b\xE3\x80\x8D" "c ok\xE2\x80\xBD", most,
     "a open corner bracket b close corner bracket c ok interrobang"},
    // Emoji and pictographs: their names at every level.
    {"emoji at none", "\xF0\x9F\x91\x8D ok \xE2\x9D\xA4\xEF\xB8\x8F \xC2\xA9\xEF\xB8\x8F \xC2\xA9", none,
     "thumbs up ok red heart copyright  "},
    {"emoji sequences, longest first",
     "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD \xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7\xE2\x80\x8D\xF0\x9F\x91\xA6 "
     "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7 1\xEF\xB8\x8F\xE2\x83\xA3 \xE2\x9D\xA4\xEF\xB8\x8F\xE2\x80\x8D\xF0\x9F\x94\xA5", none,
     "thumbs up: medium skin tone family: man, woman, girl, boy flag: France keycap: 1 heart on fire"},
    {"a run of one emoji read once with its count",
     "\xF0\x9F\x91\x8D\xF0\x9F\x91\x8D\xF0\x9F\x91\x8D great\xF0\x9F\x91\x8D\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", some,
     "thumbs up times 3 great thumbs up thumbs up: medium skin tone"},
    {"an emoji newer than the names", "\xF0\x9F\xAB\xA8!", none, "shaking face!"},
    {"emoji parts alone and a text selector",
     "#\xEF\xB8\x8F\xE2\x83\xA3 \xF0\x9F\x87\xAB \xF0\x9F\x8F\xBD \xE2\x9D\xA4\xEF\xB8\x8E", none,
     "keycap: # regional indicator symbol letter f medium skin tone red heart"},
    {"backquote named", "a`b", some, "a grave accent b"},
    {"most at some", "(x) \"y\" [z]; w", some, " x,  y, z, w"},
    {"most at most", "(x) \"y\" [z]; w", most,
     "open parenthesis x close parenthesis quotation mark y quotation mark open square bracket z "
     "close square bracket semicolon w"},
    {"sentence marks after a closing sign stay", "Really (yes)? Ok. Hi (you)! See [x]. Go: !", some,
     "Really, yes? Ok. Hi, you! See, x. Go!"},
    {"marks stay at most", "Hello, world! Why?", most, "Hello, world! Why?"},
    {"marks after their names at all", "Hello, world! Why?", all,
     "Hello comma, world exclamation mark! Why question mark?"},
    {"dot inside a word at all", "debian.org 1.5", all, "debian dot org 1 dot 5"},
    {"apostrophes at all", "it's 'q'", all, "it's tick q tick"},
    // Money in the order it is spoken, the sign on either side of its amount.
    {"money at all", "5\xE2\x82\xAC \xC2\xA3" "5 $5", all, "5 euros 5 pounds 5 dollars"},
    {"money words one and other",
     "\xE2\x82\xAC" "20 $5.99 \xC2\xA3" "3 \xC2\xA5" "100 20\xE2\x82\xAC $1 1\xE2\x82\xAC $1.00 21 \xE2\x82\xAC 50\xC2\xA2", none,
     "20 euros 5.99 dollars 3 pounds 100 yen 20 euros 1 dollar 1 euro 1.00 dollars 21 euros 50 cents"},
    {"money of the Currency Symbols block", "\xE2\x82\xB9" "5 \xE2\x82\xA9" "1,000 \xE2\x82\xBF" "2", some,
     "5 rupees 1,000 won bitcoin 2"},
    {"each sign takes the amount it touches", "\xC2\xA3" "5 $5, 20 \xE2\x82\xAC 30, 20\xC2\xA0\xE2\x82\xAC, x1\xE2\x82\xAC", some,
     "5 pounds 5 dollars, 20 euros 30, 20 euros, x 1 euro"},
    {"a currency sign alone", "\xE2\x82\xAC zone, x\xC2\xA3y, $HOME, \xE2\x82\xBF", none,
     "euro zone, x pound y, $HOME,  "},
    // Noise: runs of one symbol, gutters and bullets, brackets around addresses.
    {"symbol runs pause", "a **** b ==== c\n----\nd", some, "a, b, c\n\nd"},
    {"a run named once with its count at all", "a **** b ----", all,
     "a asterisk times 4 b dash times 4"},
    {"a rule alone is a blank", "====", some, " "},
    {"gutters and bullets silent", "* one\n - two\n-I", some, " one\n  two\ndash I"},
    {"gutters and bullets read at most", "* one\n- two", most, "asterisk one\ndash two"},
    {"brackets around addresses silent",
     "&lt;me@example.org&gt;, x&lt;https://x.org&gt;. a&lt;b&gt;", some,
     "me at example.org, x https, slash slash x.org. a less-than b greater-than"},
    // Markup read as XML.
    {"markup between two characters is a blank", "One.</s><s>Two.<br/>x", some, "One. Two. x"},
    {"character references decoded", "&#60;&#x3C;&#233;", some, "less-than less-than \xE9"},
    {"invalid character references dropped", "a&#;b&#x110000;c&#xD800;d&#1;e&#13;f&#9;g", some,
     "abcdef\tg"},
    {"a reference without its semicolon is text", "&#60 x", some, "and hash sign 60 x"},
    {"comments dropped whole", "a<!-- x > y -->b <!-- open", some, "a b"},
    {"CDATA content is text", "x<![CDATA[(y) a<b]]>z", some, "x, y, a less-than b z"},
    {"a tag, a reference and a NUL far into the text",
     "abcdefghijk<b>lmnopqrstuvw&amp;xyz123456789\0tail"sv, some,
     "abcdefghijk lmnopqrstuvw and xyz 123456789"},
    {"a less-than that opens no tag is text", "5 < 6 > 4 <me@example.org>", some,
     "5 less-than 6 greater-than 4 me at example.org"},
    {"empty after the rewrite", "\xE2\x80\x8B", some, std::nullopt},
    // Characters and keys.
    {"character symbol", "?", none, "question mark", NRV_MSGTYPE_CHAR},
    {"character letter", "\xC3\xA9", none, "\xE9", NRV_MSGTYPE_CHAR},
    {"character euro", "\xE2\x82\xAC", none, "euro", NRV_MSGTYPE_CHAR},
    {"character space", " ", none, "space", NRV_MSGTYPE_CHAR},
    {"character space as named", "space", none, "space", NRV_MSGTYPE_CHAR},
    {"character without a name", "\xE6\x97\xA5", none, "symbol", NRV_MSGTYPE_CHAR},
    {"character backquote", "`", none, "grave accent", NRV_MSGTYPE_CHAR},
    {"character less-than is never markup", "<", none, "less-than", NRV_MSGTYPE_CHAR},
    {"character em dash", "\xE2\x80\x94", none, "em dash", NRV_MSGTYPE_CHAR},
    {"character emoji", "\xE2\x9D\xA4\xEF\xB8\x8F", none, "red heart", NRV_MSGTYPE_CHAR},
    {"character of another alphabet", "\xC5\x82", none, "l", NRV_MSGTYPE_CHAR},
    {"capital spelled", "\xC3\x89", none, "capital \xC9", NRV_MSGTYPE_CHAR, false, caps_mode::spell},
    {"capital with icon", "A", none, "A", NRV_MSGTYPE_CHAR, false, caps_mode::icon},
    {"key name", "shift_a", none, "shift a", NRV_MSGTYPE_KEY},
    {"key of one character", "_", none, "underscore", NRV_MSGTYPE_KEY},
    // Spelling.
    {"spelled text", "Hi b52, ok?", none, "capital H i, b 5 2 comma, o k question mark", NRV_MSGTYPE_TEXT,
     true, caps_mode::spell},
    {"spelled emoji", "a\xF0\x9F\x91\x8D", none, "a thumbs up", NRV_MSGTYPE_TEXT, true},
    {"spelled Cyrillic", "\xD0\xBC\xD0\xB8\xD1\x80", none, "m i r", NRV_MSGTYPE_TEXT, true},
    {"spelled sound icon", "caf\xC3\xA9 \xCE\xA9", none, "c a f \xE9, omega", NRV_MSGTYPE_SOUND_ICON,
     true},
};

std::optional<std::string> prepare(GuardedBytes &guard, const Row &r)
{
    faithful_settings s;
    s.punctuation = r.level;
    s.spelling = r.spelling;
    s.capitals = r.capitals;
    char *out = prepare_faithful(guard.place(r.input), r.input.size(), r.type, &s);
    if (out == nullptr)
        return std::nullopt;
    std::string result(out);
    free(out);
    return result;
}

}  // namespace

TEST(FaithfulText, Examples)
{
    GuardedBytes guard(256);
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        std::optional<std::string> expected;
        if (r.expected)
            expected = std::string(*r.expected);
        EXPECT_EQ(prepare(guard, r), expected);
    }
}

TEST(FaithfulText, SetTakesItsThreeNames)
{
    struct Set {
        const char *var;
        const char *val;
        bool known;
        faithful_settings after;  // from the defaults
    };
    const Set sets[] = {
        {"punctuation_mode", "all", true, {all, false, caps_mode::none}},
        {"punctuation_mode", "none", true, {none, false, caps_mode::none}},
        {"punctuation_mode", "loud", true, {some, false, caps_mode::none}},
        {"punctuation_mode", "ALL", true, {some, false, caps_mode::none}},
        {"spelling_mode", "on", true, {some, true, caps_mode::none}},
        {"spelling_mode", "yes", true, {some, false, caps_mode::none}},
        {"cap_let_recogn", "spell", true, {some, false, caps_mode::spell}},
        {"cap_let_recogn", "icon", true, {some, false, caps_mode::icon}},
        {"cap_let_recogn", "", true, {some, false, caps_mode::none}},
        {"rate", "50", false, {some, false, caps_mode::none}},
    };
    for (const Set &c : sets) {
        SCOPED_TRACE(std::string(c.var) + "=" + c.val);
        faithful_settings s;
        testing::internal::CaptureStderr();
        EXPECT_EQ(faithful_set(&s, c.var, c.val), c.known);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(s.punctuation, c.after.punctuation);
        EXPECT_EQ(s.spelling, c.after.spelling);
        EXPECT_EQ(s.capitals, c.after.capitals);
        bool taken = s.punctuation != some || s.spelling || s.capitals != caps_mode::none;
        // A bad value is one diagnostic line; a good one or a foreign name, none.
        if (c.known && !taken)
            EXPECT_TRUE(err.starts_with("quorlin: ") && err.find('\n') == err.size() - 1) << err;
        else
            EXPECT_EQ(err, "");
    }
    // A bad value keeps what an earlier SET chose.
    faithful_settings s;
    ASSERT_TRUE(faithful_set(&s, "spelling_mode", "on"));
    testing::internal::CaptureStderr();
    ASSERT_TRUE(faithful_set(&s, "spelling_mode", "maybe"));
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(s.spelling);
}

namespace {

// The bytes the engine may be given: printable ASCII but the backquote,
// TAB, LF, and the letters of Windows-1252.
bool in_alphabet(unsigned char c)
{
    if (c == '\t' || c == '\n')
        return true;
    if (c < 0x80)
        return c >= 0x20 && c < 0x7F && c != '`';
    const std::string_view high_letters = "\x83\x8A\x8C\x8E\x9A\x9C\x9E\x9F\xAA\xB5\xBA";
    return high_letters.find(static_cast<char>(c)) != std::string_view::npos ||
           (c >= 0xC0 && c != 0xD7 && c != 0xF7);
}

constexpr std::string_view pieces[] = {
    "<", ">", "&amp;", "&lt;", "&quot;", "`", "'", "-", ":", "@", "_", ".", "?", "(", " ", "\t", "\n",
    "\r", "\x7F", "\0"sv, "a", "Z", "7", "nd", "\xC3\xA9", "\xC3", "\xC5\x82", "\xCE\xB1", "\xCE\xA9",
    "\xE2\x80\x99", "\xE2\x80\x94", "\xE2\x80\xA6", "\xE2\x89\xA4", "\xE2\x80\x8B", "\xEF\xAC\x83",
    "\xC2\xA3", "\xC2\xB5", "\xC2\x85", "\xE2\x88\x92", "\xF0\x9F\x98\x80", "\xE2\x80", "\xF0\x9F",
    "\xEF\xB8\x8F", "\xE2\x80\x8D", "\xF0\x9F\x8F\xBD", "\xF0\x9F\x87\xAB", "\xE2\x83\xA3", "\xE2\x82\xAC", "$",
    "\xE2\x9C\x93", "\xE2\xAE\x81",
    "\xCC\x81", "\xD0\xA9", "\xD7\xA9", "\xEF\xB7\xBA", "\xE1\xBB\x85",
};

std::string random_text(std::mt19937 &rng, size_t max_bytes)
{
    size_t target = rng() % (max_bytes + 1);
    std::string s;
    while (s.size() < target) {
        if (rng() % 3 != 0)
            s += pieces[rng() % std::size(pieces)];
        else
            s += static_cast<char>(rng() % 256);
    }
    s.resize(target);
    return s;
}

}  // namespace

// The longest thing one input byte can become is a share of a character
// name: " upwards triangle-headed arrow leftwards of downwards
// triangle-headed arrow " for three bytes, 25 bytes a byte; 32 bytes of
// output per input byte bounds every rule with room to spare.
TEST(FaithfulText, RandomTextStaysInTheAlphabetAtEveryLevel)
{
    constexpr size_t max_bytes = 300;
    constexpr size_t max_out_per_byte = 32;
    GuardedBytes guard(max_bytes);
    std::mt19937 rng(0xfa17u);
    const NRVMessageType types[] = {NRV_MSGTYPE_TEXT, NRV_MSGTYPE_SOUND_ICON, NRV_MSGTYPE_CHAR,
                                    NRV_MSGTYPE_KEY, NRV_MSGTYPE_SPELL};
    int spoken = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string in = random_text(rng, i % 10 == 0 ? 3 : max_bytes);
        faithful_settings s;
        s.punctuation = static_cast<punct_level>(i % 4);
        s.spelling = (i / 4) % 2 == 1;
        s.capitals = static_cast<caps_mode>((i / 8) % 3);
        NRVMessageType type = types[(i / 24) % std::size(types)];
        char *out = prepare_faithful(guard.place(in), in.size(), type, &s);
        if (out == nullptr)
            continue;
        ++spoken;
        std::string_view r(out);
        bool ok = !r.empty() && r.size() <= max_out_per_byte * in.size() + 8;
        for (unsigned char c : r)
            ok = ok && in_alphabet(c);
        if (!ok) {
            std::string hex;
            char b[4];
            for (unsigned char c : in) {
                snprintf(b, sizeof b, "%02X ", c);
                hex += b;
            }
            ADD_FAILURE() << "input " << hex << "gave \"" << r << "\"";
            free(out);
            break;
        }
        free(out);
    }
    EXPECT_GT(spoken, 10000);
}

namespace {

constexpr std::string_view marked_pieces[] = {
    R"(<mark name="a"/>)", R"(<mark name='b'/>)", "</s><s>", "<br/>", "<!-- > -->",
    "<![CDATA[<x>]]>", "&#60;", "&#;", "&amp;", "<", ">", " ", "\n", "(", ")", "?", "-", "--",
    "****", "word", "7", "\xE2\x80\x94", "\xE2\x82\xAC", "$", "1", ".", "\xF0\x9F\x91\x8D", "\xEF\xB8\x8F",
    "****", "word", "7", "\xE2\x80\x94", "\xD0\x9F\xD1\x80\xD0\xB8", "\xC5\x82", "\xCC\x81",
};

}  // namespace

// The faithful text is the same with marks as without, and each mark
// stands in order between words.
TEST(FaithfulText, RandomMarkedTextKeepsItsTextAndWords)
{
    GuardedBytes guard(1024);
    std::mt19937 rng(0x5eedu);
    faithful_settings s;
    size_t with_marks = 0;
    for (int round = 0; round < 5000; ++round) {
        std::string in;
        for (size_t i = rng() % 30; i > 0; --i)
            in += marked_pieces[rng() % std::size(marked_pieces)];
        SCOPED_TRACE(in);
        s.punctuation = static_cast<punct_level>(round % 4);
        const char *at = guard.place(in);
        char *plain = prepare_faithful(at, in.size(), NRV_MSGTYPE_TEXT, &s);
        marked_text t;
        ASSERT_EQ(prepare_marked_faithful(at, in.size(), NRV_MSGTYPE_TEXT, &s, &t) == 0,
                  plain != nullptr);
        if (plain == nullptr)
            continue;
        std::string_view text(t.text, t.length);
        EXPECT_EQ(text, plain);
        free(plain);
        for (size_t i = 0; i < t.count; ++i) {
            size_t place = t.marks[i].at;
            ASSERT_LE(place, text.size());
            ASSERT_TRUE(i == 0 || place >= t.marks[i - 1].at);
            if (place > 0 && place < text.size()) {
                auto blank = [](char c) { return c == ' ' || c == '\n' || c == '\t'; };
                ASSERT_TRUE(blank(text[place - 1]) || blank(text[place]))
                    << "inside a word at " << place;
            }
        }
        with_marks += t.count > 0;
        free_marked_text(&t);
    }
    EXPECT_GT(with_marks, 1000u);
}

// The marks around text that changes its length or its order: after a
// word the Unicode stage rewrites they move by what the rewrite took or
// added, one that stage one put between two halves of a word stays
// between them, and around an amount they stay before it and after its
// money word, though its sign was moved behind it.
TEST(FaithfulText, MarksMoveWithRewrittenText)
{
    struct Case {
        const char *name;
        std::string_view input;
        std::string_view text;
        std::vector<size_t> places;
    };
    const Case cases[] = {
        {"between two halves of a Cyrillic word", R"(При<mark name="a"/>вет <mark name="b"/>мир)",
         "Pri vet mir", {3, 8}},
        {"after a word that grows", R"(ﷺ<mark name="a"/> x)", "sly allh  lyh wslm x", {18}},
        {"after shorter words", R"(Łódź <mark name="a"/>x Erdős<mark name="b"/> y)",
         "L\xF3" "dz x Erdos y", {5, 12}},
        {"around money", "\xE2\x82\xAC<mark name='a'/>20 and <mark name='b'/>5\xE2\x82\xAC",
         "20 euros and 5 euros", {0, 13}},
        {"around money with cents", "x <mark name='a'/>$1.50<mark name='b'/> y", "x 1.50 dollars y",
         {2, 14}},
    };
    GuardedBytes guard(256);
    faithful_settings s;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        marked_text t;
        ASSERT_EQ(prepare_marked_faithful(guard.place(c.input), c.input.size(), NRV_MSGTYPE_TEXT,
                                          &s, &t),
                  0);
        EXPECT_EQ(std::string_view(t.text, t.length), c.text);
        std::vector<size_t> places;
        for (size_t i = 0; i < t.count; ++i)
            places.push_back(t.marks[i].at);
        EXPECT_EQ(places, c.places);
        free_marked_text(&t);
    }
}

// The names of the dialect's language: symbols, emoji, money and the
// pass's own words, and for Japanese through its double-byte page; a
// language whose names its page cannot hold, or that has no table,
// reads English.
TEST(FaithfulText, NamesAreInTheDialectsLanguage)
{
    struct LanguageRow {
        const char *name;
        const char *language;
        code_page page;
        std::string_view input;
        punct_level level;
        std::string_view expected;
        NRVMessageType type = NRV_MSGTYPE_TEXT;
        bool spelling = false;
    };
    const LanguageRow language_rows[] = {
        {"French money: the singular for 0 and 1", "fr", code_page::windows_1252,
         "\xE2\x82\xAC" "20, 1 \xE2\x82\xAC, 0,50 \xE2\x82\xAC", some,
         "20 euros, 1 euro, 0,50 euro"},
        {"French emoji, minus and a run's count", "fr", code_page::windows_1252,
         "\xF0\x9F\x91\x8D -5 ****", all, "pouce vers le haut signe moins 5 ast\xE9risque fois 4"},
        {"French capital", "fr", code_page::windows_1252, "Ab", none, "majuscule A b",
         NRV_MSGTYPE_TEXT, true},
        {"German money: the singular for 1 only", "de", code_page::windows_1252,
         "1,50 \xE2\x82\xAC, 1 \xE2\x82\xAC, $5", some, "1,50 Euro, 1 Euro, 5 US-Dollar"},
        {"German emoji and capital", "de", code_page::windows_1252, "B\xF0\x9F\x91\x8D", none,
         "gro\xDF B Daumen hoch", NRV_MSGTYPE_TEXT, true},
        {"Japanese through Shift-JIS: emoji, money, a run", "ja", code_page::shift_jis,
         "\xF0\x9F\x91\x8D \xE2\x82\xAC" "1 ****", all,
         "\x83\x54\x83\x80\x83\x59\x83\x41\x83\x62\x83\x76 1 \x83\x86\x81\x5B\x83\x8D "
         "\x83\x41\x83\x58\x83\x5E\x83\x8A\x83\x58\x83\x4E \x89\xF1 4"},
        {"Japanese capital", "ja", code_page::shift_jis, "A", none, "\x91\xE5\x95\xB6\x8E\x9A A",
         NRV_MSGTYPE_CHAR},
        {"Japanese names without a double-byte page read English", "ja",
         code_page::windows_1252, "\xF0\x9F\x91\x8D \xE2\x82\xAC" "1", some, "thumbs up 1 euro"},
        {"a language without a table reads English", "xx", code_page::windows_1252,
         "\xF0\x9F\x91\x8D", some, "thumbs up"},
    };
    GuardedBytes guard(256);
    for (const LanguageRow &r : language_rows) {
        SCOPED_TRACE(r.name);
        faithful_settings s;
        s.punctuation = r.level;
        s.spelling = r.spelling;
        s.capitals = caps_mode::spell;
        s.page = r.page;
        s.language = r.language;
        char *out = prepare_faithful(guard.place(r.input), r.input.size(), r.type, &s);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(std::string(out), r.expected);
        free(out);
    }
}
