// SPDX-License-Identifier: BSD-2-Clause
// Text preparation, case by case: exact input bytes and byte counts, the
// result for the types that take stage one only (plain) and for the types
// that are also sanitised, or the failure.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "guarded_bytes.h"
#include "quorlin_text.h"

using namespace std::string_view_literals;

namespace {

constexpr size_t whole = SIZE_MAX;  // pass every byte of the input

struct Example {
    const char *name;
    std::string_view input;
    size_t count;                              // bytes passed, or `whole`
    std::optional<std::string_view> plain;      // null: the preparation fails
    std::optional<std::string_view> sanitised;  // null: the preparation fails
};

constexpr std::nullopt_t fails = std::nullopt;

// Rows whose stage-one text is the message itself.
Example unchanged(const char *name, std::string_view input, std::optional<std::string_view> sanitised)
{
    return {name, input, whole, input, sanitised};
}

const std::vector<Example> &examples()
{
    static const std::vector<Example> rows = {
        // Stage one decides, for every type.
        {"speak markup", "<speak>Hello <break time='1s'/>world</speak>", whole, "Hello world", "Hello world"},
        {"stray close", "a > b", whole, "a  b", "a  b"},
        {"unclosed tag swallows the rest", "x < y", whole, "x", "x"},
        {"no nesting", "<<a>b>c", whole, "bc", "bc"},
        {"stray close, then unclosed", "a>b<c", whole, "ab", "ab"},
        {"leading blanks", "  leading", whole, "leading", "leading"},
        {"trailing blanks", "trailing  ", whole, "trailing", "trailing"},
        {"empty", "", whole, fails, fails},
        {"blanks only", "  \t\n  ", whole, fails, fails},
        {"empty tag", "<>", whole, fails, fails},
        {"lone close", ">", whole, fails, fails},
        {"tags only", "<b></b>", whole, fails, fails},
        {"NUL after a tag ends the text", "<x>\0abc"sv, whole, fails, fails},
        {"NUL inside a tag goes with it", "<a\0>bc"sv, whole, "bc", "bc"},
        {"count cuts the text", "hello world", 5, "hello", "hello"},
        {"NUL within the count", "ab\0cd"sv, 5, "ab", "ab"},
        {"leading NUL", "\0abc"sv, 4, fails, fails},
        {"space character", " ", whole, fails, fails},
        // The types differ.
        {"ampersand entity", "Fish &amp; chips", whole, "Fish & chips", "Fish   chips"},
        {"no rescan", "&amp;lt;", whole, "&lt;", " lt, "},
        {"quote entities", "&quot;hi&quot;", whole, "\"hi\"", " hi "},
        {"decoded less-than is text", "a&lt;b", whole, "a<b", "a b"},
        {"CR is not blank", "\r\nx\r\n", whole, "\r\nx\r", " \nx "},
        {"pound in markup", "<p>\xC2\xA3" "10</p>", whole, "\xC2\xA3" "10", "pound 10"},
        {"cut-off sequence", "Hi \xE2\x80", whole, "Hi \xE2\x80", "Hi "},
        {"lone lead byte", "\xC3", whole, "\xC3", fails},
        {"lead byte before ASCII", "\xC3" "A", whole, "\xC3" "A", "A"},
        // Sanitised; stage one leaves these as they are.
        unchanged("pound alone", "\xC2\xA3", "pound"),
        unchanged("pound after letters", "abc\xC2\xA3", "abcpound"),
        unchanged("price", "Price: \xC2\xA3" "5 (approx.)", "Price, pound 5, approx., "),
        unchanged("euro after digits", "20\xE2\x82\xAC", "20euro"),
        unchanged("euro before digits", "\xE2\x82\xAC" "20", "euro 20"),
        unchanged("yen", "\xC2\xA5" "100", "yen 100"),
        unchanged("cent", "5\xC2\xA2", "5cent"),
        unchanged("em dash", "wait \xE2\x80\x94 what?", "wait, what?"),
        unchanged("en dash", "pages 3\xE2\x80\x93" "5", "pages 3, 5"),
        unchanged("skip stops after blanks", "a \t \xE2\x80\x93 ,. b", "a, ,. b"),
        unchanged("punctuation run skipped", "a:?! b", "a, b"),
        unchanged("punctuation after blank kept", "a: ?b", "a, ?b"),
        unchanged("comma after blanks kept", "x:  , y", "x, , y"),
        unchanged("brackets", "(hello)", " hello, "),
        unchanged("braces", "{a}", " a, "),
        unchanged("close after full stop", "end.)", "end., "),
        unchanged("ellipsis and aside", "Wait... (really?)", "Wait..., really?, "),
        unchanged("note", "Note: see [1]; ok.", "Note, see, 1, ok."),
        unchanged("aside", "word (aside)", "word, aside, "),
        unchanged("double semicolon", "one;;two", "one, two"),
        unchanged("brackets are not skipped", "a((b", "a,, b"),
        unchanged("letter then digit", "mp3 player", "mp 3 player"),
        unchanged("alternating", "R2D2", "R 2 D 2"),
        unchanged("ordinal", "Mr. Smith; 2nd floor", "Mr. Smith, 2 nd floor"),
        unchanged("decimal", "1.5", "1.5"),
        unchanged("percent", "50% off", "50  off"),
        unchanged("hyphen", "e-mail", "e mail"),
        unchanged("operators", "a+b=c", "a b c"),
        unchanged("minus", "-5", " 5"),
        unchanged("control byte", "x\x01y", "x y"),
        unchanged("passes punctuation", "Hello, world!", "Hello, world!"),
        unchanged("passes dollar and apostrophe", "it's $5.", "it's $5."),
        unchanged("passes TAB and LF", "a\tb\nc", "a\tb\nc"),
        unchanged("two-byte letter", "caf\xC3\xA9", "caf "),
        unchanged("curly apostrophe", "it\xE2\x80\x99s", "it s"),
        unchanged("curly quotes", "\xE2\x80\x9Cquoted\xE2\x80\x9D", " quoted "),
        unchanged("four-byte emoji", "\xF0\x9F\x98\x80 smile", "  smile"),
        // Boundaries of our own.
        {"null count", "abc", 0, fails, fails},
        {"count of one", "abc", 1, "a", "a"},
        {"count cuts an entity", "a&amp;", 5, "a&amp", "a amp"},
        {"count cuts a sequence", "x\xE2\x82\xAC", 3, "x\xE2\x82", "x"},
        {"count cuts inside a tag", "ab<cd>ef", 4, "ab", "ab"},
        {"entities are not markup", "&lt;b&gt;bold&lt;/b&gt;", whole, "<b>bold</b>", " b bold  b "},
        {"apostrophe and quote", "&apos;&quot;", whole, "'\"", "' "},
        {"upper-case entity", "&AMP;", whole, "&AMP;", " AMP, "},
        {"entity without semicolon", "&lt", whole, "&lt", " lt"},
        {"numeric reference", "&#60;", whole, "&#60;", "  60, "},
        {"double ampersand", "&&amp;", whole, "&&", "  "},
        {"entity cut by the end", "x&am", whole, "x&am", "x am"},
        {"entity joined by tag removal", "&l<b>t;", whole, "<", " "},
        {"TAB and LF trimmed", "\t\nx\n\t", whole, "x", "x"},
        {"VT and FF kept", "\vx\f", whole, "\vx\f", " x "},
        {"blanks before CR kept", "x  \r", whole, "x  \r", "x   "},
        {"blanks inside kept", "a \t b", whole, "a \t b", "a \t b"},
        {"DEL", "a\x7F", whole, "a\x7F", "a "},
        {"break after LF", "a\n(b", whole, "a\n(b", "a\n, b"},
        {"break eats a TAB", "a\t(b", whole, "a\t(b", "a, b"},
        {"empty brackets", "a()b", whole, "a()b", "a,, b"},
        {"letter after currency word", "\xC2\xA3x", whole, "\xC2\xA3x", "poundx"},
        {"currency after digit", "5\xC2\xA3", whole, "5\xC2\xA3", "5pound"},
        {"currency words in a row", "\xC2\xA3\xC2\xA3", whole, "\xC2\xA3\xC2\xA3", "poundpound"},
        {"other two-byte sign", "\xC2\xA4", whole, "\xC2\xA4", " "},
        {"near euro", "\xE2\x82\xAD", whole, "\xE2\x82\xAD", " "},
        {"near dash", "a\xE2\x80\x92" "b", whole, "a\xE2\x80\x92" "b", "a b"},
        {"last two-byte lead", "\xDF\x80", whole, "\xDF\x80", " "},
        {"first three-byte lead, cut", "\xE0\x80", whole, "\xE0\x80", fails},
        {"first three-byte lead", "\xE0\x80\x80", whole, "\xE0\x80\x80", " "},
        {"last three-byte lead", "\xEF\x80\x80", whole, "\xEF\x80\x80", " "},
        {"four-byte lead, cut", "\xF0\x80\x80", whole, "\xF0\x80\x80", " "},
        {"four-byte lead", "\xF0\x80\x80\x80", whole, "\xF0\x80\x80\x80", " "},
        {"FF lead", "\xFF\x80\x80\x80", whole, "\xFF\x80\x80\x80", " "},
        {"stray continuations", "\x80\x80", whole, "\x80\x80", " "},
        {"lone continuation", "\xBF", whole, "\xBF", fails},
        {"C0 lead", "\xC0" "A", whole, "\xC0" "A", "A"},
        {"C0 lead, complete", "\xC0\x80", whole, "\xC0\x80", " "},
        {"ASCII inside a sequence", "\xE2" "ab", whole, "\xE2" "ab", "ab"},
        {"four-byte cut after three", "Hi \xF0\x9F\x98", whole, "Hi \xF0\x9F\x98", "Hi  "},
        {"four-byte cut after two", "\xF0\x9F", whole, "\xF0\x9F", fails},
        // A lead byte whose continuation bytes are missing goes alone; what
        // follows it is classified in turn.
        unchanged("Latin-1 letter", "caf\xE9 au lait", "caf au lait"),
        unchanged("Latin-1 pound", "\xA3" "100", "100"),
        unchanged("Latin-1 yen", "\xA5" "5", "5"),
        unchanged("Latin-1 letter before LF", "a\xE9\nb", "a\nb"),
        unchanged("Latin-1 letter at the end", "caf\xE9", "caf"),
        unchanged("Latin-1 letter before a break", "x\xE9(y", "x, y"),
        unchanged("Latin-1 only", "\xE9\xE8", fails),
        unchanged("lead before a whole sequence", "\xC3\xC3\xA9", " "),
        unchanged("lead before a currency sign", "\xE2\xC2\xA3", "pound"),
        unchanged("three-byte lead short of one", "\xE2\x82" "5", "5"),
        unchanged("four-byte lead short of one", "\xF0\x9F\x98" "x", " x"),
        unchanged("four-byte lead before a lead", "\xF0\x9F\x98\xF0\x9F\x98\x80", "  "),
        unchanged("continuation byte before ASCII", "\x80" "a\x80", "a"),
        unchanged("ASCII at every position", "\xF0" "a\xF0\x9F" "b\xF0\x9F\x98" "c", "ab c"),
    };
    return rows;
}

size_t count_of(const Example &e)
{
    return e.count == whole ? e.input.size() : e.count;
}

// prepare_text on exactly the counted bytes, ending at a guard page.
std::optional<std::string> prepare(GuardedBytes &guard, const Example &e, NRVMessageType type)
{
    size_t n = count_of(e);
    const char *at = guard.place(e.input.substr(0, n));
    char *r = prepare_text(at, n, type);
    if (r == nullptr)
        return std::nullopt;
    std::string s(r);
    free(r);
    return s;
}

std::optional<std::string> expect_of(const std::optional<std::string_view> &v)
{
    return v ? std::optional<std::string>(std::string(*v)) : std::nullopt;
}

}  // namespace

TEST(TextPreparation, PlainTypesGiveStageOneResult)
{
    GuardedBytes guard(256);
    const NRVMessageType plain_types[] = {NRV_MSGTYPE_CHAR, NRV_MSGTYPE_KEY, NRV_MSGTYPE_SPELL,
                                          static_cast<NRVMessageType>(7)};
    for (const Example &e : examples()) {
        SCOPED_TRACE(e.name);
        for (NRVMessageType type : plain_types) {
            SCOPED_TRACE(static_cast<int>(type));
            EXPECT_EQ(prepare(guard, e, type), expect_of(e.plain));
        }
    }
}

TEST(TextPreparation, TextTypesGiveSanitisedResult)
{
    GuardedBytes guard(256);
    for (const Example &e : examples()) {
        SCOPED_TRACE(e.name);
        for (NRVMessageType type : {NRV_MSGTYPE_TEXT, NRV_MSGTYPE_SOUND_ICON}) {
            SCOPED_TRACE(static_cast<int>(type));
            EXPECT_EQ(prepare(guard, e, type), expect_of(e.sanitised));
        }
    }
}

// The engine takes a backquote for the start of an annotation: whatever
// the kind, none reaches it, and a lone one leaves nothing to speak.
TEST(TextPreparation, NoBackquoteReachesTheEngine)
{
    const struct {
        const char *input;
        const char *named;  // as a character or key, or null for none
        const char *text;   // as running text
    } rows[] = {
        {"a`b", "a b", "a b"},
        {"`", nullptr, " "},
        {"`x`", " x ", " x "},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.input);
        for (NRVMessageType type : {NRV_MSGTYPE_CHAR, NRV_MSGTYPE_KEY, NRV_MSGTYPE_TEXT}) {
            const char *expected = type == NRV_MSGTYPE_TEXT ? r.text : r.named;
            char *out = prepare_text(r.input, strlen(r.input), type);
            EXPECT_EQ(out == nullptr, expected == nullptr);
            if (out != nullptr && expected != nullptr) {
                EXPECT_EQ(std::string(out), expected);
            }
            free(out);
        }
    }
}

// The stages alone: strip_ssml gives the empty string where the
// preparation fails, and sanitising its result gives the final text.
TEST(TextPreparation, StagesComposeIntoThePreparation)
{
    GuardedBytes guard(256);
    for (const Example &e : examples()) {
        SCOPED_TRACE(e.name);
        size_t n = count_of(e);
        char *plain = strip_ssml(guard.place(e.input.substr(0, n)), n);
        ASSERT_NE(plain, nullptr);
        EXPECT_EQ(std::string(plain), std::string(e.plain.value_or("")));
        if (e.plain) {
            char *clean = sanitize_for_corvane(guard.place_string(plain));
            ASSERT_NE(clean, nullptr);
            EXPECT_EQ(std::string(clean), std::string(e.sanitised.value_or("")));
            free(clean);
        }
        free(plain);
    }
}

TEST(TextPreparation, ImpossibleCountFailsWithoutReading)
{
    char byte = 'a';
    EXPECT_EQ(strip_ssml(&byte, SIZE_MAX), nullptr);
    EXPECT_EQ(prepare_text(&byte, SIZE_MAX, NRV_MSGTYPE_TEXT), nullptr);
}

TEST(TextPreparation, NullTextIsEmpty)
{
    EXPECT_EQ(prepare_text(nullptr, 0, NRV_MSGTYPE_TEXT), nullptr);
    char *plain = strip_ssml(nullptr, 0);
    ASSERT_NE(plain, nullptr);
    EXPECT_STREQ(plain, "");
    free(plain);
    EXPECT_EQ(sanitize_for_corvane(nullptr), nullptr);
    decode_xml_entities(nullptr);
}

TEST(EntityDecoding, DecodesInPlaceWithoutRescanning)
{
    struct Row {
        const char *input;
        const char *expected;
    };
    const Row rows[] = {
        {"&amp;", "&"},
        {"&lt;&gt;&apos;&quot;", "<>'\""},
        {"&amp;lt;", "&lt;"},
        {"&amp;amp;", "&amp;"},
        {"&&&amp;", "&&&"},
        {"&AMP; &Lt; &lt &#60; &#x3C;", "&AMP; &Lt; &lt &#60; &#x3C;"},
        {"a&quot", "a&quot"},
        {"&", "&"},
        {"", ""},
        {"<tag>&gt;</tag>", "<tag>></tag>"},
    };
    GuardedBytes guard(64);
    for (const Row &r : rows) {
        SCOPED_TRACE(r.input);
        char *text = guard.place_string(r.input);
        decode_xml_entities(text);
        EXPECT_STREQ(text, r.expected);
    }
}

// Every byte below 80 hex after a full stop, so that a comma break (",
// "), a space and a kept byte all show: the classes of the sanitiser.
TEST(Sanitiser, ClassifiesEveryAsciiByte)
{
    const std::string_view kept = "\t\n !$',.?";
    const std::string_view breaks = "()[]{}:;";
    GuardedBytes guard(16);
    for (int c = 1; c < 0x80; ++c) {
        SCOPED_TRACE(c);
        const char byte = static_cast<char>(c);
        std::string expected;
        if (std::isalnum(c) || kept.find(byte) != std::string_view::npos)
            expected = std::string(".") + byte;
        else if (breaks.find(byte) != std::string_view::npos)
            expected = "., ";
        else
            expected = ". ";
        char *clean = sanitize_for_corvane(guard.place_string(std::string(".") + byte));
        ASSERT_NE(clean, nullptr);
        EXPECT_EQ(std::string(clean), expected);
        free(clean);
    }
}

// Blanks that stage one would have trimmed reach the sanitiser directly.
TEST(Sanitiser, BreakAtEitherEndOfTheText)
{
    struct Row {
        const char *input;
        const char *expected;
    };
    const Row rows[] = {
        {"a:", "a, "},
        {"a: \t ", "a, "},
        {"a:;,.!?", "a, "},
        {" \t(b", " b"},
        {"\n(b", "\n, b"},
        {"", ""},
        {"\xE2\x80", ""},
        {"\xF0\x9F", ""},
    };
    GuardedBytes guard(16);
    for (const Row &r : rows) {
        SCOPED_TRACE(r.input);
        char *clean = sanitize_for_corvane(guard.place_string(r.input));
        ASSERT_NE(clean, nullptr);
        EXPECT_STREQ(clean, r.expected);
        free(clean);
    }
}
