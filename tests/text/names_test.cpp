// SPDX-License-Identifier: BSD-2-Clause
// The spoken names behind the faithful text: the README's tables of
// names and money words are what the module reads, and every name of
// every code point stays in the engine's alphabet and its bound.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "quorlin_names.h"

namespace {

struct ReadmeRow {
    std::string line;
    std::vector<uint32_t> points;
    std::string name;  // the third column
    std::string from;  // the fourth
};

std::vector<std::string> cells(const std::string &line)
{
    std::vector<std::string> out;
    std::stringstream in(line);
    std::string cell;
    std::getline(in, cell, '|');  // before the first bar
    while (std::getline(in, cell, '|')) {
        size_t a = cell.find_first_not_of(' '), b = cell.find_last_not_of(' ');
        out.push_back(a == std::string::npos ? "" : cell.substr(a, b - a + 1));
    }
    return out;
}

// The rows of README.md whose second column holds code points (U+XXXX).
std::vector<ReadmeRow> readme_rows()
{
    std::ifstream f(QUORLIN_SOURCE_DIR "/README.md");
    std::vector<ReadmeRow> rows;
    std::string line;
    while (std::getline(f, line)) {
        if (!line.starts_with("| "))
            continue;
        std::vector<std::string> c = cells(line);
        if (c.size() < 4 || !c[1].starts_with("U+"))
            continue;
        ReadmeRow r{line, {}, c[2], c[3]};
        std::stringstream cps(c[1]);
        std::string cp;
        while (cps >> cp)
            r.points.push_back(static_cast<uint32_t>(strtoul(cp.c_str() + 2, nullptr, 16)));
        rows.push_back(r);
    }
    return rows;
}

std::string utf8(const std::vector<uint32_t> &points)
{
    std::string s;
    for (uint32_t cp : points) {
        if (cp < 0x80) {
            s += static_cast<char>(cp);
        } else if (cp < 0x800) {
            s += static_cast<char>(0xC0 | cp >> 6);
            s += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            s += static_cast<char>(0xE0 | cp >> 12);
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            s += static_cast<char>(0xF0 | cp >> 18);
            s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return s;
}

// What the module reads for the code points of a row: the name of a
// lone symbol, or of the whole sequence (an emoji).
std::string name_read(const text_names::spoken_names *names, const std::vector<uint32_t> &points)
{
    if (points.size() == 1) {
        char buf[text_names::max_name_bytes];
        return std::string(buf, text_names::symbol_name(names, points[0], buf));
    }
    std::string text = utf8(points);
    text_names::sequence_match m;
    if (text_names::longest_sequence(names, reinterpret_cast<const unsigned char *>(text.c_str()),
                                     &m) &&
        m.bytes == text.size())
        return std::string(m.name);
    return "(no name for the whole sequence)";
}

}  // namespace

TEST(SpokenNames, ReadmeTablesAreTheNamesRead)
{
    const text_names::spoken_names *en = text_names::names_for_language("en");
    ASSERT_NE(en, nullptr);
    std::vector<ReadmeRow> rows = readme_rows();
    size_t names = 0, money = 0;
    for (const ReadmeRow &r : rows) {
        SCOPED_TRACE(r.line);
        if (r.from.starts_with("money words")) {
            text_names::money_words w;
            ASSERT_EQ(r.points.size(), 1u);
            ASSERT_TRUE(text_names::money_words_of(en, r.points[0], &w));
            EXPECT_EQ(std::string(w.one) + " / " + std::string(w.other), r.name);
            ++money;
        } else {
            EXPECT_EQ(name_read(en, r.points), r.name);
            ++names;
        }
    }
    // The two tables are there: the test would pass on a README without them.
    EXPECT_GE(names, 20u);
    EXPECT_GE(money, 5u);
}

TEST(SpokenNames, ReadmeNamesTheTablesCldrVersion)
{
    std::ifstream f(QUORLIN_SOURCE_DIR "/README.md");
    std::stringstream all;
    all << f.rdbuf();
    std::string want = std::string("**CLDR ") +
                       text_names::cldr_version(text_names::default_names()) + "**";
    EXPECT_NE(all.str().find(want), std::string::npos) << want;
}

// Every name of every language stays in the alphabet the engine may be
// given (printable ASCII but the backquote, and the letters of
// Windows-1252; for the languages of the double-byte pages, characters
// after the page's escape byte, 81 hex, in whole UTF-8) and within
// max_name_bytes, which sizes the room the faithful pass makes.
TEST(SpokenNames, EveryNameFitsTheEnginesAlphabet)
{
    auto in_alphabet = [](unsigned char c) {
        if (c < 0x80)
            return c >= 0x20 && c < 0x7F && c != '`';
        return std::string_view("\x83\x8A\x8C\x8E\x9A\x9C\x9E\x9F\xAA\xB5\xBA")
                       .find(static_cast<char>(c)) != std::string_view::npos ||
               (c >= 0xC0 && c != 0xD7 && c != 0xF7);
    };
    // The length of the escaped character at `p` (the escape, a lead
    // byte and its continuation bytes), or 0.
    auto escaped_at = [](const unsigned char *p, size_t room) -> size_t {
        if (room < 3 || p[0] != 0x81 || p[1] < 0xC2 || p[1] > 0xF4) return 0;
        size_t n = p[1] < 0xE0 ? 2 : p[1] < 0xF0 ? 3 : 4;
        if (room < 1 + n) return 0;
        for (size_t i = 2; i <= n; ++i)
            if ((p[i] & 0xC0) != 0x80) return 0;
        return 1 + n;
    };
    const char *languages[] = {"en", "da", "de", "es", "fi", "fr", "it",
                               "ja", "ko", "nb", "pt", "sv", "zh", "zh_Hant"};
    for (const char *lang : languages) {
        SCOPED_TRACE(lang);
        const text_names::spoken_names *names = text_names::names_for_language(lang);
        ASSERT_NE(names, nullptr);
        const bool escaped = text_names::needs_double_byte_page(names);
        // Guard bytes after the room, which a longer name would overwrite.
        char buf[text_names::max_name_bytes + 8];
        size_t named = 0;
        for (uint32_t cp = 0; cp < 0x20000; ++cp) {
            memset(buf, 0x55, sizeof buf);
            size_t n = text_names::symbol_name(names, cp, buf);
            ASSERT_LE(n, text_names::max_name_bytes) << std::hex << cp;
            ASSERT_EQ(std::string_view(buf + text_names::max_name_bytes, 8), std::string(8, '\x55'))
                << std::hex << cp;
            const unsigned char *p = reinterpret_cast<const unsigned char *>(buf);
            for (size_t i = 0; i < n;) {
                size_t e = escaped ? escaped_at(p + i, n - i) : 0;
                if (e == 0) {
                    ASSERT_TRUE(p[i] < 0x80 || !escaped) << std::hex << cp;
                    ASSERT_TRUE(in_alphabet(p[i])) << std::hex << cp;
                    e = 1;
                }
                i += e;
            }
            named += n > 0;
        }
        EXPECT_GT(named, 10000u);
    }
}
