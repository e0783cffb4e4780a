// SPDX-License-Identifier: BSD-2-Clause
/*
 * The dialect table and the naming rules of quorlin_languages.h. The
 * table is the one place that knows a dialect: adding one is adding its
 * row. Everything here is constant or works on its arguments alone.
 */
#include "quorlin_languages.h"

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>

#include "eci_corvane.h"
#include "quorlin_config.h"

namespace {

using namespace quorlin;

/* The engine's dialects for running text. Its values with a non-zero
 * input-form byte (bits 8 to 15: phonetic and UCS input) are not here,
 * so they are never listed or chosen. */
// The names: CLDR's "pt" is Brazilian and "zh_Hant" the traditional
// characters of Taiwan; Canadian French and Mexican Spanish read the
// names of their language.
constexpr dialect rows[] = {
    {eciGeneralAmericanEnglish, "en-US", code_page::windows_1252, "en"},
    {eciBritishEnglish, "en-GB", code_page::windows_1252, "en"},
    {eciCastilianSpanish, "es-ES", code_page::windows_1252, "es"},
    {eciMexicanSpanish, "es-MX", code_page::windows_1252, "es"},
    {eciStandardFrench, "fr-FR", code_page::windows_1252, "fr"},
    {eciCanadianFrench, "fr-CA", code_page::windows_1252, "fr"},
    {eciStandardGerman, "de-DE", code_page::windows_1252, "de"},
    {eciStandardItalian, "it-IT", code_page::windows_1252, "it"},
    {eciMandarinChinese, "zh-CN", code_page::gbk, "zh"},
    {eciTaiwaneseMandarin, "zh-TW", code_page::big5, "zh_Hant"},
    {eciBrazilianPortuguese, "pt-BR", code_page::windows_1252, "pt"},
    {eciStandardJapanese, "ja-JP", code_page::shift_jis, "ja"},
    {eciStandardFinnish, "fi-FI", code_page::windows_1252, "fi"},
    {eciStandardKorean, "ko-KR", code_page::cp949, "ko"},
    {eciStandardNorwegian, "nb-NO", code_page::windows_1252, "nb"},
    {eciStandardSwedish, "sv-SE", code_page::windows_1252, "sv"},
    {eciStandardDanish, "da-DK", code_page::windows_1252, "da"},
};

/* A tag is a two-letter language and a two-letter region: the matching
 * below reads the two parts at fixed places. */
constexpr bool well_formed(const dialect &d) {
    return std::string_view(d.tag).size() == 5 && d.tag[2] == '-' && (d.value & 0xFF00) == 0;
}

constexpr bool table_is_sound() {
    for (size_t i = 0; i < std::size(rows); ++i) {
        if (!well_formed(rows[i])) return false;
        if (i > 0 && rows[i - 1].value >= rows[i].value) return false;
    }
    return true;
}
static_assert(table_is_sound(), "tags are ll-RR, values ascend and have no input form");
static_assert(std::size(rows) <= 32, "a dialect_set has one bit per row");

constexpr size_t preset_count = voice_name_table.size();

/* Room for a voice name: a preset, a blank and a tag. */
constexpr size_t voice_name_bytes = 16;

constexpr bool names_fit() {
    for (const char *name : voice_name_table)
        if (std::string_view(name).size() + 1 + 5 >= voice_name_bytes) return false;
    return true;
}
static_assert(names_fit(), "every preset name with its tag fits voice_name_bytes");

constexpr char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

/* `c` as names are compared: without ASCII case, and in a tag with "_"
 * taken for "-". */
constexpr char folded(char c, bool tag) { return tag && c == '_' ? '-' : lower(c); }

bool same_text(std::string_view a, std::string_view b, bool tag) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (folded(a[i], tag) != folded(b[i], tag)) return false;
    return true;
}

bool same_tag_text(std::string_view a, std::string_view b) { return same_text(a, b, true); }
bool same_name(std::string_view a, std::string_view b) { return same_text(a, b, false); }

/* The next subtag of `rest`, which is left behind it. */
std::string_view next_subtag(std::string_view &rest) {
    size_t end = rest.find_first_of("-_");
    std::string_view sub = rest.substr(0, end == std::string_view::npos ? rest.size() : end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    return sub;
}

bool all_of(std::string_view s, bool (*test)(char)) {
    for (char c : s)
        if (!test(c)) return false;
    return !s.empty();
}

/* What a language tag asks for: a language and maybe a region, both as
 * the table writes them (lower-case language, upper-case region), or an
 * empty language when the tag names none the table could hold. */
struct asked_for {
    char language[3];
    char region[4];
};

/* The region a three-digit area code stands for; only Latin America is
 * one of the engine's (Mexican Spanish). */
void area_region(std::string_view code, char *region) {
    if (code == "419") memcpy(region, "MX", 3);
}

/* The region a script implies where the tag gives none. */
void script_region(std::string_view script, char *region) {
    if (same_tag_text(script, "hant")) memcpy(region, "TW", 3);
    if (same_tag_text(script, "hans")) memcpy(region, "CN", 3);
}

asked_for read_tag(const char *tag) {
    asked_for a = {};
    std::string_view rest(tag);
    std::string_view primary = next_subtag(rest);
    if (primary.size() != 2 || !all_of(primary, is_alpha)) return a;
    a.language[0] = lower(primary[0]);
    a.language[1] = lower(primary[1]);
    if (same_tag_text(primary, "nn") || same_tag_text(primary, "no")) memcpy(a.language, "nb", 3);
    char implied[4] = "";
    while (!rest.empty()) {
        std::string_view sub = next_subtag(rest);
        if (sub.size() == 1) break; /* an extension or private use follows */
        if (sub.size() == 2 && all_of(sub, is_alpha)) {
            a.region[0] = static_cast<char>(lower(sub[0]) - 'a' + 'A');
            a.region[1] = static_cast<char>(lower(sub[1]) - 'a' + 'A');
            break;
        }
        if (sub.size() == 3 && all_of(sub, is_digit)) {
            area_region(sub, a.region);
            break;
        }
        if (sub.size() == 4 && all_of(sub, is_alpha) && !implied[0]) script_region(sub, implied);
    }
    if (!a.region[0] && implied[0]) memcpy(a.region, implied, sizeof implied);
    return a;
}

std::string_view language_of(int row) { return std::string_view(rows[row].tag, 2); }
std::string_view region_of(int row) { return std::string_view(rows[row].tag + 3, 2); }

bool has(dialect_set set, int row) { return row >= 0 && (set >> row & 1u) != 0; }

/* The preset named `name` ignoring case, or -1. */
int preset_named(std::string_view name) {
    for (size_t i = 0; i < preset_count; ++i)
        if (same_name(name, voice_name_table[i])) return static_cast<int>(i);
    return -1;
}

constexpr int preset_index(std::string_view name) {
    for (size_t i = 0; i < preset_count; ++i)
        if (name == voice_name_table[i]) return static_cast<int>(i);
    return -1;
}

/* The server's generic voice classes and the preset each stands for. */
struct voice_class {
    const char *name;
    int preset;
};
constexpr voice_class voice_classes[] = {
    {"male1", preset_index("Wade")},        {"male2", preset_index("Male2")},
    {"male3", preset_index("Male3")},       {"female1", preset_index("Flo")},
    {"female2", preset_index("Female2")},   {"female3", preset_index("Grandma")},
    {"child_male", preset_index("Bobbie")}, {"child_female", preset_index("Bobbie")},
};

constexpr bool classes_named() {
    for (const voice_class &c : voice_classes)
        if (c.preset < 0) return false;
    return true;
}
static_assert(classes_named(), "every voice class names a preset of voice_name_table");

void free_voice(NRVVoice *v) {
    if (!v) return;
    free(v->name);
    free(v->language);
    free(v->variant);
    free(v);
}

/* A new voice record for preset `preset` in row `row`, or null. */
NRVVoice *new_voice(int preset, int row) {
    auto *v = static_cast<NRVVoice *>(malloc(sizeof(NRVVoice)));
    if (!v) return nullptr;
    v->name = static_cast<char *>(malloc(voice_name_bytes));
    v->language = strdup(rows[row].tag);
    v->variant = strdup("none");
    if (!v->name || !v->language || !v->variant) {
        free_voice(v);
        return nullptr;
    }
    snprintf(v->name, voice_name_bytes, "%s %s", voice_name_table[static_cast<size_t>(preset)],
             rows[row].tag);
    return v;
}

}  // namespace

namespace quorlin {

const std::span<const dialect> dialect_table{rows};

int dialect_row(long value) {
    for (size_t i = 0; i < std::size(rows); ++i)
        if (rows[i].value == value) return static_cast<int>(i);
    return no_dialect;
}

dialect_set dialects_of(const int *values, size_t count) {
    dialect_set set = 0;
    for (size_t i = 0; i < count; ++i) {
        int row = dialect_row(values[i]);
        if (row != no_dialect) set |= dialect_set{1} << row;
    }
    return set;
}

int lowest_dialect(dialect_set set) { return set == 0 ? no_dialect : std::countr_zero(set); }

int match_language(const char *asked, dialect_set installed, int current) {
    asked_for a = read_tag(asked);
    if (!a.language[0]) return no_dialect;
    dialect_set of_language = 0;
    for (size_t i = 0; i < std::size(rows); ++i) {
        int row = static_cast<int>(i);
        if (!has(installed, row) || language_of(row) != a.language) continue;
        if (a.region[0] && region_of(row) == a.region) return row;
        of_language |= dialect_set{1} << row;
    }
    if (has(of_language, current)) return current;
    return lowest_dialect(of_language);
}

int match_voice_class(const char *name) {
    for (const voice_class &c : voice_classes)
        if (same_name(name, c.name)) return c.preset;
    return -1;
}

bool match_synthesis_voice(const char *name, dialect_set installed, int *preset, int *row) {
    std::string_view text(name);
    size_t blank = text.find(' ');
    int p = preset_named(text.substr(0, blank == std::string_view::npos ? text.size() : blank));
    if (p < 0) return false;
    int r = no_dialect;
    if (blank != std::string_view::npos) {
        std::string_view tag = text.substr(blank + 1);
        for (size_t i = 0; i < std::size(rows) && r == no_dialect; ++i)
            if (has(installed, static_cast<int>(i)) && same_tag_text(tag, rows[i].tag))
                r = static_cast<int>(i);
        if (r == no_dialect) return false;
    }
    *preset = p;
    *row = r;
    return true;
}

NRVVoice **dialect_voice_list(dialect_set installed, int first_row, int first_preset) {
    if (first_row < 0 || static_cast<size_t>(first_row) >= std::size(rows)) return nullptr;
    if (first_preset < 0 || static_cast<size_t>(first_preset) >= preset_count) return nullptr;
    size_t count = 1 + preset_count * static_cast<size_t>(std::popcount(installed));
    auto **list = static_cast<NRVVoice **>(malloc((count + 1) * sizeof(NRVVoice *)));
    if (!list) return nullptr;
    size_t n = 0;
    list[n++] = new_voice(first_preset, first_row);
    bool whole = list[0] != nullptr;
    for (size_t i = 0; whole && i < std::size(rows); ++i) {
        int row = static_cast<int>(i);
        if (!has(installed, row)) continue;
        for (size_t p = 0; whole && p < preset_count; ++p) {
            int preset = static_cast<int>(p);
            if (row == first_row && preset == first_preset) continue;
            list[n] = new_voice(preset, row);
            whole = list[n++] != nullptr;
        }
    }
    if (whole) {
        list[n] = nullptr;
        return list;
    }
    /* The entry that failed is null; those before it are whole. */
    for (size_t i = 0; i < n; ++i) free_voice(list[i]);
    free(list);
    return nullptr;
}

void dialect_tags(dialect_set set, char *text, size_t size) {
    if (size == 0) return;
    text[0] = '\0';
    size_t used = 0;
    for (size_t i = 0; i < std::size(rows); ++i) {
        if (!has(set, static_cast<int>(i))) continue;
        int n = snprintf(text + used, size - used, "%s%s", used ? " " : "", rows[i].tag);
        if (n < 0 || static_cast<size_t>(n) >= size - used) return;
        used += static_cast<size_t>(n);
    }
}

}  // namespace quorlin
