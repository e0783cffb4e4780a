// SPDX-License-Identifier: BSD-2-Clause
// Text preparation over many random byte strings (a fixed seed, so a
// failure repeats): every input sits right before an unreadable page, so
// reading past the byte count or past a NUL faults.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>

#include "guarded_bytes.h"
#include "quorlin_text.h"

using namespace std::string_view_literals;

namespace {

constexpr uint32_t seed = 0x51a7e5u;
constexpr int rounds = 20000;
constexpr size_t max_bytes = 300;

// Fragments that make tags, entities, breaks, currency signs and cut-off
// sequences common; random bytes fill in between.
constexpr std::string_view pieces[] = {
    "<", ">", "&", "&amp;", "&lt;", "&gt;", "&apos;", "&quot;", "&l", "t;", ";", ":", "(", ")",
    " ", "\t", "\n", "\r", "\0"sv, "\xC2\xA3", "\xC2\xA5", "\xE2\x82\xAC", "\xE2\x80\x94", "\xC2",
    "\xE2", "\xE2\x80", "\xF0\x9F", "\x80", "a", "Z", "7", "-", ".", "!",
};

std::string random_bytes(std::mt19937 &rng)
{
    size_t target = rng() % (max_bytes + 1);
    std::string s;
    while (s.size() < target) {
        if (rng() % 2 == 0)
            s += pieces[rng() % std::size(pieces)];
        else
            s += static_cast<char>(rng() % 256);
    }
    s.resize(target);
    return s;
}

std::string hex(std::string_view bytes)
{
    std::string out;
    char b[4];
    for (unsigned char c : bytes) {
        snprintf(b, sizeof b, "%02X ", c);
        out += b;
    }
    return out;
}

bool is_blank(char c)
{
    return c == '\t' || c == '\n' || c == ' ';
}

bool engine_safe(char c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    return c != '\0' && std::string_view("\t\n !$',.?").find(c) != std::string_view::npos;
}

size_t count(std::string_view s, char c)
{
    size_t n = 0;
    for (char x : s)
        n += x == c;
    return n;
}

// Stage one on its own: within the count, trimmed, and every "<" or ">"
// decoded from an entity (each takes an "&" of the input).
testing::AssertionResult check_plain(std::string_view in, std::string_view plain)
{
    if (plain.size() > in.size())
        return testing::AssertionFailure() << "longer than the input";
    if (!plain.empty() && (is_blank(plain.front()) || is_blank(plain.back())))
        return testing::AssertionFailure() << "not trimmed";
    if (count(plain, '<') + count(plain, '>') > count(in, '&'))
        return testing::AssertionFailure() << "markup byte from the input";
    return testing::AssertionSuccess();
}

// The sanitiser on its own: engine-safe bytes, at most 2.5 times the
// input, empty only when every input byte was a cut-off sequence.
testing::AssertionResult check_clean(std::string_view in, std::string_view clean)
{
    for (char c : clean) {
        if (!engine_safe(c))
            return testing::AssertionFailure() << "byte " << int(static_cast<unsigned char>(c));
    }
    if (clean.size() > 2 * in.size() + in.size() / 2)
        return testing::AssertionFailure() << "longer than 2.5 times the input";
    if (clean.empty()) {
        for (unsigned char c : in) {
            if (c < 0x80)
                return testing::AssertionFailure() << "empty from ASCII";
        }
    }
    return testing::AssertionSuccess();
}

// prepare_text is exactly the stages composed, failing on empty; a
// character is stage one with every backquote a blank, and fails when
// that leaves only blanks.
testing::AssertionResult check_prepared(const char *at, size_t n, std::string_view plain,
                                        std::string_view clean)
{
    char *as_char = prepare_text(at, n, NRV_MSGTYPE_CHAR);
    char *as_text = prepare_text(at, n, NRV_MSGTYPE_TEXT);
    std::string named(plain);
    for (char &c : named)
        c = c == '`' ? ' ' : c;
    bool blank = named.find_first_not_of(" \t\n") == std::string::npos;
    bool ok_char = blank ? as_char == nullptr : as_char != nullptr && as_char == named;
    bool ok_text = plain.empty() || clean.empty() ? as_text == nullptr
                                                  : as_text != nullptr && as_text == clean;
    free(as_char);
    free(as_text);
    if (!ok_char)
        return testing::AssertionFailure() << "character result differs from stage one";
    if (!ok_text)
        return testing::AssertionFailure() << "text result differs from the stages";
    return testing::AssertionSuccess();
}

}  // namespace

TEST(TextProperty, RandomMessagesStayInBounds)
{
    GuardedBytes guard(max_bytes + 1);
    GuardedBytes plain_guard(max_bytes + 1);
    std::mt19937 rng(seed);
    int spoken = 0;
    for (int i = 0; i < rounds; ++i) {
        std::string in = random_bytes(rng);
        SCOPED_TRACE(hex(in));
        const char *at = guard.place(in);
        char *stripped = strip_ssml(at, in.size());
        ASSERT_NE(stripped, nullptr);
        std::string plain(stripped);
        free(stripped);
        ASSERT_TRUE(check_plain(in, plain));
        char *sanitised = sanitize_for_corvane(plain_guard.place_string(plain));
        ASSERT_NE(sanitised, nullptr);
        std::string clean(sanitised);
        free(sanitised);
        ASSERT_TRUE(check_clean(plain, clean));
        ASSERT_TRUE(check_prepared(at, in.size(), plain, clean));
        spoken += !clean.empty();
    }
    // The generator must reach both outcomes, or the checks prove little.
    EXPECT_GT(spoken, rounds / 2);
    EXPECT_LT(spoken, rounds);
}

// The later stages take any NUL-terminated text, not only what stage one
// leaves: markup bytes, leading blanks and cut-offs right at the NUL.
TEST(TextProperty, RandomStringsThroughEachStage)
{
    GuardedBytes guard(max_bytes + 1);
    std::mt19937 rng(seed + 1);
    for (int i = 0; i < rounds; ++i) {
        std::string in = random_bytes(rng);
        in.resize(strlen(in.c_str()));
        SCOPED_TRACE(hex(in));
        char *clean = sanitize_for_corvane(guard.place_string(in));
        ASSERT_NE(clean, nullptr);
        std::string result(clean);
        free(clean);
        ASSERT_TRUE(check_clean(in, result));
        char *text = guard.place_string(in);
        decode_xml_entities(text);
        ASSERT_LE(strlen(text), in.size());
    }
}
