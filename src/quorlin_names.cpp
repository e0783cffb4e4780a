// SPDX-License-Identifier: BSD-2-Clause
/*
 * The names behind quorlin_names.h: for each language, the table that
 * scripts/gen_cldr_names.py generated from CLDR (included below, one
 * file per language) and the words the pass says itself; for English
 * also our own names for the few characters whose CLDR name reads worse
 * in running text, and the money words CLDR lacks. ICU gives the
 * (English) character name of a symbol that none of these names.
 *
 * The names of Latin-1 and of the blocks of signs from U+2000 to
 * U+22FF, where most of a text's symbols are, are resolved when this
 * file compiles into arrays per language, so that reading them is a
 * load; the rest is a binary search of the generated table. Everything here is constant but a small cache of the
 * names ICU gave; ICU's name data is loaded by ICU on its first use.
 */
#include "quorlin_names.h"

#include <unicode/uchar.h>

#include <array>
#include <cstring>
#include <iterator>
#include <string_view>

#include "quorlin_charset.h"
#include "quorlin_icu.h"

namespace text_names {

namespace {

// One key of a generated table and its name.
struct cldr_name {
    uint32_t key;       // offset of its code points in the table's points
    uint8_t key_len;    // its code points
    uint8_t name_len;   // bytes of the name
    const char *name;   // in the language's code page
};

// The money words of one currency sign.
struct cldr_money {
    uint32_t sign;
    const char *one;    // after an amount of exactly 1
    const char *other;  // after any other amount
};

// Which amounts take a currency's singular, by the language's plural
// rule for "one".
enum class one_rule : uint8_t {
    exactly_one,     // 1, not 1.50 nor 21
    integer_0_or_1,  // 0 and 1 with or without a fraction: 0.50, 1.5
    never_one,       // the language has no singular
};

// One language's generated table.
struct name_table {
    const char *language;
    const char *version;      // CLDR's
    const char32_t *points;   // the keys' code points
    const cldr_name *names;   // sorted by key, code point by code point
    size_t count;
    const cldr_money *money;  // sorted by sign
    size_t money_count;
    bool escaped;             // names hold page_escape and UTF-8: a double-byte page's
    one_rule singular;        // which amounts take the money word `one`
};

#include "generated/cldr_names_da.inc"
#include "generated/cldr_names_de.inc"
#include "generated/cldr_names_en.inc"
#include "generated/cldr_names_es.inc"
#include "generated/cldr_names_fi.inc"
#include "generated/cldr_names_fr.inc"
#include "generated/cldr_names_it.inc"
#include "generated/cldr_names_ja.inc"
#include "generated/cldr_names_ko.inc"
#include "generated/cldr_names_nb.inc"
#include "generated/cldr_names_pt.inc"
#include "generated/cldr_names_sv.inc"
#include "generated/cldr_names_zh.inc"
#include "generated/cldr_names_zh_Hant.inc"

// Our name of a character, where it reads better than CLDR's in running
// text: said between the parts of an address, a number or an option
// ("debian dot org", "dash dash force", "user at example.org"), said the
// way it is used ("caret", "minus"), or named where CLDR has no name.
struct name_override {
    uint32_t cp;
    const char *name;
};

// English, sorted by code point. README lists them with the reasons.
// The other languages have none: CLDR's names are read as they are.
constexpr name_override english_overrides[] = {
    {0x09, "tab"},               // CLDR: none
    {0x0A, "line feed"},         // CLDR: none
    {0x20, "space"},             // CLDR: none
    {0x26, "and"},               // CLDR: ampersand
    {0x27, "tick"},              // CLDR: typewriter apostrophe
    {0x28, "open parenthesis"},  // CLDR 41: none, and ")" is "close parenthesis"
    {0x2D, "dash"},              // CLDR: hyphen-minus
    {0x2E, "dot"},               // CLDR: period
    {0x40, "at"},                // CLDR: at-sign
    {0x5E, "caret"},             // CLDR: circumflex accent
    {0x5F, "underscore"},        // CLDR: low line
    {0x2212, "minus"},           // CLDR: minus sign
};

// Money words CLDR has no currency for: the cent is a part of one.
constexpr cldr_money english_money[] = {
    {0xA2, "cent", "cents"},
};

// The blocks whose names are resolved when this file compiles: Latin-1,
// and General Punctuation to Mathematical Operators (dashes, quotes,
// currency signs, letterlike symbols, number forms, arrows, operators).
constexpr size_t direct_count = 0x100;
constexpr uint32_t signs_first = 0x2000, signs_end = 0x2300;

constexpr const char *override_of(const name_override *overrides, size_t n, uint32_t cp) {
    size_t lo = 0, hi = n;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (overrides[mid].cp == cp) return overrides[mid].name;
        if (overrides[mid].cp < cp)
            lo = mid + 1;
        else
            hi = mid;
    }
    return nullptr;
}

// The point at `depth` of the key of entry `i`, or -1 past its end: a
// key that ends sorts before the longer keys it begins.
constexpr int64_t point_at(const name_table &t, size_t i, size_t depth) {
    return depth < t.names[i].key_len ? static_cast<int64_t>(t.points[t.names[i].key + depth]) : -1;
}

// The first entry of [lo, hi) whose point at `depth` is not below `cp`
// (above it, when `above`); the entries share their first `depth` points.
constexpr size_t bound(const name_table &t, size_t lo, size_t hi, size_t depth, uint32_t cp,
                       bool above) {
    const int64_t want = cp;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        int64_t p = point_at(t, mid, depth);
        if (p < want || (above && p == want))
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

// The entry whose key is the code point `cp` alone, or null.
constexpr const cldr_name *single_of(const name_table &t, uint32_t cp) {
    size_t i = bound(t, 0, t.count, 0, cp, false);
    if (i < t.count && t.names[i].key_len == 1 && t.points[t.names[i].key] == cp)
        return &t.names[i];
    return nullptr;
}

template <size_t Count>
constexpr std::array<direct_name, Count> resolve_direct(const name_table &t,
                                                        const name_override *overrides,
                                                        size_t override_count, uint32_t first) {
    std::array<direct_name, Count> d{};
    for (size_t cp = 0; cp < Count; ++cp) {
        const uint32_t c = first + static_cast<uint32_t>(cp);
        if (const char *own = override_of(overrides, override_count, c)) {
            d[cp] = {own, static_cast<uint8_t>(std::string_view(own).size())};
        } else if (const cldr_name *n = single_of(t, c)) {
            d[cp] = {n->name, n->name_len};
        }
    }
    return d;
}

// Every key of a table is sorted, as the longest-match search needs.
constexpr bool keys_sorted(const name_table &t) {
    for (size_t i = 1; i < t.count; ++i) {
        const cldr_name &a = t.names[i - 1], &b = t.names[i];
        size_t n = a.key_len < b.key_len ? a.key_len : b.key_len, k = 0;
        while (k < n && t.points[a.key + k] == t.points[b.key + k]) ++k;
        bool less = k < n ? t.points[a.key + k] < t.points[b.key + k] : a.key_len < b.key_len;
        if (!less) return false;
    }
    return true;
}

template <size_t N>
constexpr bool overrides_sorted(const name_override (&o)[N]) {
    for (size_t i = 1; i < N; ++i) {
        if (o[i - 1].cp >= o[i].cp) return false;
    }
    return true;
}
static_assert(overrides_sorted(english_overrides), "the overrides must be sorted");


// The keys that begin with one code point: entries [begin, end) of the
// table. One record for each first code point, sorted, so that the
// longest-match search starts with a search of this short array.
struct first_point {
    uint32_t cp;
    uint16_t begin;
    uint16_t end;
};

constexpr size_t count_firsts(const name_table &t) {
    size_t n = 0;
    for (size_t i = 0; i < t.count; ++i)
        n += i == 0 || t.points[t.names[i].key] != t.points[t.names[i - 1].key];
    return n;
}

template <size_t N>
constexpr std::array<first_point, N> index_firsts(const name_table &t) {
    std::array<first_point, N> f{};
    size_t n = 0;
    for (size_t i = 0; i < t.count; ++i) {
        uint32_t cp = t.points[t.names[i].key];
        if (i == 0 || cp != t.points[t.names[i - 1].key]) f[n++] = {cp, static_cast<uint16_t>(i), 0};
        f[n - 1].end = static_cast<uint16_t>(i + 1);
    }
    return f;
}


// The emoji's own block of code points, where most keys begin: indexed
// directly, so that reading an emoji starts without a search.
constexpr uint32_t emoji_plane_first = 0x1F000, emoji_plane_end = 0x1FB00;
struct key_range {
    uint16_t begin;
    uint16_t end;
};

constexpr std::array<key_range, emoji_plane_end - emoji_plane_first> index_emoji_plane(
    const name_table &t) {
    std::array<key_range, emoji_plane_end - emoji_plane_first> r{};
    for (size_t i = 0; i < t.count; ++i) {
        uint32_t cp = t.points[t.names[i].key];
        if (cp < emoji_plane_first || cp >= emoji_plane_end) continue;
        key_range &k = r[cp - emoji_plane_first];
        if (k.begin == k.end) k.begin = static_cast<uint16_t>(i);
        k.end = static_cast<uint16_t>(i + 1);
    }
    return r;
}

// Whether no key goes on with an ASCII character after its first: then
// the search ends at the blank or letter after an emoji without another
// step.
constexpr bool ascii_only_first(const name_table &t) {
    for (size_t i = 0; i < t.count; ++i) {
        for (size_t k = 1; k < t.names[i].key_len; ++k) {
            if (t.points[t.names[i].key + k] < 0x80) return false;
        }
    }
    return true;
}
/*
 * What each language's table gives when this file compiles: the names of
 * Latin-1 and of the signs, and the two indexes of the keys' first code
 * points; with the checks the searches rely on. A macro, since each
 * index's size is a template argument computed from its own table.
 */
#define QUORLIN_LANGUAGE_INDEXES(t, overrides, override_count)                                  \
    static_assert(t##_longest_name <= max_name_bytes, "a CLDR name longer than a unit's room"); \
    static_assert(keys_sorted(t), "the generated keys must be sorted");                         \
    static_assert(std::size(t##_names) < UINT16_MAX, "the index counts entries in 16 bits");    \
    static_assert(ascii_only_first(t), "the search stops at ASCII after a key's first point");  \
    constexpr auto t##_direct = resolve_direct<direct_count>(t, overrides, override_count, 0);  \
    constexpr auto t##_signs =                                                                  \
        resolve_direct<signs_end - signs_first>(t, overrides, override_count, signs_first);     \
    constexpr auto t##_firsts = index_firsts<count_firsts(t)>(t);                               \
    constexpr auto t##_emoji_plane = index_emoji_plane(t)

QUORLIN_LANGUAGE_INDEXES(cldr_en, english_overrides, std::size(english_overrides));
QUORLIN_LANGUAGE_INDEXES(cldr_da, nullptr, 0);
QUORLIN_LANGUAGE_INDEXES(cldr_de, nullptr, 0);
QUORLIN_LANGUAGE_INDEXES(cldr_es, nullptr, 0);
QUORLIN_LANGUAGE_INDEXES(cldr_fi, nullptr, 0);
QUORLIN_LANGUAGE_INDEXES(cldr_fr, nullptr, 0);
QUORLIN_LANGUAGE_INDEXES(cldr_it, nullptr, 0);
QUORLIN_LANGUAGE_INDEXES(cldr_ja, nullptr, 0);
QUORLIN_LANGUAGE_INDEXES(cldr_ko, nullptr, 0);
QUORLIN_LANGUAGE_INDEXES(cldr_nb, nullptr, 0);
QUORLIN_LANGUAGE_INDEXES(cldr_pt, nullptr, 0);
QUORLIN_LANGUAGE_INDEXES(cldr_sv, nullptr, 0);
QUORLIN_LANGUAGE_INDEXES(cldr_zh, nullptr, 0);
QUORLIN_LANGUAGE_INDEXES(cldr_zh_Hant, nullptr, 0);

#undef QUORLIN_LANGUAGE_INDEXES

}  // namespace

// One language: its generated table and our additions.
struct spoken_names {
    const name_table *cldr;
    const first_point *firsts;  // the index of the table's first code points
    size_t first_count;
    const key_range *emoji_plane;  // the same, direct, for U+1F000 to U+1FAFF
    const name_override *overrides;  // sorted by code point
    size_t override_count;
    const cldr_money *money;  // money words CLDR lacks, sorted by sign
    size_t money_count;
    const direct_name *direct;  // the names of U+0000 to U+00FF
    const direct_name *signs;   // the names of signs_first to signs_end
    language_words words;       // the pass's own words in the language
};

namespace {

/*
 * The words the pass says itself, per language: before a capital letter
 * that is spelled, before the count of a repeated symbol ("star times
 * 72"), and for a character with no name. From the Wiktionary entries
 * for "capital letter" (or "uppercase letter"), "times" (multiplication,
 * repetition) and "symbol" in each language, as of 2024: the word a
 * listener of that language hears for each. The Western words are in
 * Windows-1252; the others in UTF-8 after page_escape, as the generated
 * tables of their languages are. CLDR's own name of U+00D7 is the sign's
 * ("signe de multiplication"), not the word said before a count, so the
 * count word is ours too.
 */
#define ESC "\201"
constexpr language_words english_words = {"capital", "times", "symbol"};
constexpr language_words danish_words = {"stort", "gange", "symbol"};
constexpr language_words german_words = {"gro\337", "mal", "Symbol"};
constexpr language_words spanish_words = {"may\372scula", "veces", "s\355mbolo"};
constexpr language_words finnish_words = {"iso", "kertaa", "symboli"};
constexpr language_words french_words = {"majuscule", "fois", "symbole"};
constexpr language_words italian_words = {"maiuscola", "volte", "simbolo"};
constexpr language_words japanese_words = {ESC "大" ESC "文" ESC "字", ESC "回",
                                           ESC "記" ESC "号"};
constexpr language_words korean_words = {ESC "대" ESC "문" ESC "자", ESC "번", ESC "기" ESC "호"};
constexpr language_words norwegian_words = {"stor", "ganger", "symbol"};
constexpr language_words portuguese_words = {"mai\372scula", "vezes", "s\355mbolo"};
constexpr language_words swedish_words = {"versal", "g\345nger", "symbol"};
constexpr language_words chinese_words = {ESC "大" ESC "写", ESC "次", ESC "符" ESC "号"};
constexpr language_words chinese_traditional_words = {ESC "大" ESC "寫", ESC "次",
                                                      ESC "符" ESC "號"};
#undef ESC

// One language's spoken_names from its table, indexes and words.
#define QUORLIN_LANGUAGE(t, overrides, override_count, money, money_count, words)              \
    {&t,       t##_firsts.data(), t##_firsts.size(), t##_emoji_plane.data(), overrides,        \
     override_count, money, money_count, t##_direct.data(), t##_signs.data(), words}

// Every language, sorted by its code as names_for_language is asked.
constexpr spoken_names languages[] = {
    QUORLIN_LANGUAGE(cldr_da, nullptr, 0, nullptr, 0, danish_words),
    QUORLIN_LANGUAGE(cldr_de, nullptr, 0, nullptr, 0, german_words),
    QUORLIN_LANGUAGE(cldr_en, english_overrides, std::size(english_overrides), english_money,
                     std::size(english_money), english_words),
    QUORLIN_LANGUAGE(cldr_es, nullptr, 0, nullptr, 0, spanish_words),
    QUORLIN_LANGUAGE(cldr_fi, nullptr, 0, nullptr, 0, finnish_words),
    QUORLIN_LANGUAGE(cldr_fr, nullptr, 0, nullptr, 0, french_words),
    QUORLIN_LANGUAGE(cldr_it, nullptr, 0, nullptr, 0, italian_words),
    QUORLIN_LANGUAGE(cldr_ja, nullptr, 0, nullptr, 0, japanese_words),
    QUORLIN_LANGUAGE(cldr_ko, nullptr, 0, nullptr, 0, korean_words),
    QUORLIN_LANGUAGE(cldr_nb, nullptr, 0, nullptr, 0, norwegian_words),
    QUORLIN_LANGUAGE(cldr_pt, nullptr, 0, nullptr, 0, portuguese_words),
    QUORLIN_LANGUAGE(cldr_sv, nullptr, 0, nullptr, 0, swedish_words),
    QUORLIN_LANGUAGE(cldr_zh, nullptr, 0, nullptr, 0, chinese_words),
    QUORLIN_LANGUAGE(cldr_zh_Hant, nullptr, 0, nullptr, 0, chinese_traditional_words),
};
#undef QUORLIN_LANGUAGE

constexpr const spoken_names &english = languages[2];
static_assert(std::string_view(languages[2].cldr->language) == "en", "English is the default");

/*
 * The character names ICU gave last, by code point modulo the number of
 * slots: a text that names one symbol CLDR lacks names it again and
 * again, and ICU's lookup costs a thousand instructions. The module has
 * one thread. Names never change, so a slot is only ever replaced.
 */
constexpr size_t icu_slots = 64;
struct icu_cache {
    uint32_t cp_plus_one[icu_slots];           // the code point + 1 of each slot, 0: empty
    uint8_t len[icu_slots];                    // its name's length, 0: it has none
    char name[icu_slots][max_name_bytes];      // its name
};
icu_cache icu_names{};

const name_override *find_override(const spoken_names *t, uint32_t cp) {
    size_t lo = 0, hi = t->override_count;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (t->overrides[mid].cp == cp) return &t->overrides[mid];
        if (t->overrides[mid].cp < cp)
            lo = mid + 1;
        else
            hi = mid;
    }
    return nullptr;
}

size_t copy_name(std::string_view name, char *dst) {
    memcpy(dst, name.data(), name.size());
    return name.size();
}

/* ICU's name of `cp` in lower case at `dst`, or 0. A vulgar fraction is
 * read as the fraction it is ("one third"). ICU's names hold only
 * capitals, digits, spaces and hyphens, which all reach the engine. */
size_t icu_name_uncached(uint32_t cp, char *dst) {
    const icu_calls *icu = icu_api();
    if (icu == nullptr) return 0;
    char buf[max_name_bytes + 1];
    UErrorCode err = U_ZERO_ERROR;
    int32_t n = icu->u_charName(static_cast<UChar32>(cp), U_UNICODE_CHAR_NAME, buf,
                                static_cast<int32_t>(sizeof buf), &err);
    if (U_FAILURE(err) || n <= 0 || static_cast<size_t>(n) >= sizeof buf) return 0;
    std::string_view name(buf, static_cast<size_t>(n));
    constexpr std::string_view fraction = "VULGAR FRACTION ";
    if (name.starts_with(fraction)) name.remove_prefix(fraction.size());
    size_t len = 0;
    for (char c : name) {
        bool safe = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' || c == '-';
        dst[len++] = !safe ? ' ' : c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return len;
}

size_t icu_name(uint32_t cp, char *dst) {
    // Fibonacci hashing: neighbouring code points land apart.
    const size_t slot = static_cast<uint32_t>(cp * 2654435761u) >> 26;
    static_assert(icu_slots == 64, "the hash gives 6 bits");
    if (icu_names.cp_plus_one[slot] != cp + 1) {
        size_t n = icu_name_uncached(cp, icu_names.name[slot]);
        icu_names.len[slot] = static_cast<uint8_t>(n);
        icu_names.cp_plus_one[slot] = cp + 1;
    }
    return copy_name(std::string_view(icu_names.name[slot], icu_names.len[slot]), dst);
}

// `p` after the variation selectors U+FE0E and U+FE0F that begin there.
const unsigned char *skip_selectors(const unsigned char *p) {
    while (p[0] == 0xEF && p[1] == 0xB8 && (p[2] == 0x8E || p[2] == 0x8F)) p += 3;
    return p;
}

/* The code point of the UTF-8 sequence at `p` and its length in `bytes`,
 * or false when a continuation byte is missing (the NUL among them). It
 * does not check for overlong forms or surrogates, which no key holds:
 * such a sequence only fails to match. */
inline bool key_point_at(const unsigned char *p, uint32_t *cp, size_t *bytes) {
    const unsigned char lead = p[0];
    if (lead < 0x80) {
        *cp = lead;
        *bytes = 1;
        return true;
    }
    const size_t n = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    uint32_t c = n == 2 ? lead & 0x1Fu : n == 3 ? lead & 0x0Fu : lead & 0x07u;
    for (size_t i = 1; i < n; ++i) {
        if (!text_charset::is_continuation(p[i])) return false;
        c = (c << 6) | (p[i] & 0x3Fu);
    }
    *cp = c;
    *bytes = n;
    return true;
}

// The entries whose keys begin with `cp`, or an empty range.
void first_range(const spoken_names *names, uint32_t cp, size_t *lo, size_t *hi) {
    if (cp >= emoji_plane_first && cp < emoji_plane_end) {
        const key_range &r = names->emoji_plane[cp - emoji_plane_first];
        *lo = r.begin;
        *hi = r.end;
        return;
    }
    size_t a = 0, b = names->first_count;
    while (a < b) {
        size_t mid = a + (b - a) / 2;
        if (names->firsts[mid].cp < cp)
            a = mid + 1;
        else
            b = mid;
    }
    if (a < names->first_count && names->firsts[a].cp == cp) {
        *lo = names->firsts[a].begin;
        *hi = names->firsts[a].end;
    } else {
        *lo = *hi = 0;
    }
}

}  // namespace

const spoken_names *names_for_language(std::string_view lang) {
    for (const spoken_names &n : languages) {
        if (lang == n.cldr->language) return &n;
    }
    return nullptr;
}

bool needs_double_byte_page(const spoken_names *names) { return names->cldr->escaped; }

const language_words &words_of(const spoken_names *names) { return names->words; }

bool money_singular(const spoken_names *names, std::string_view amount) {
    switch (names->cldr->singular) {
    case one_rule::exactly_one: return amount == "1";
    case one_rule::integer_0_or_1: break;
    case one_rule::never_one: return false;
    }
    // The integer part is the digits before the one separator there may
    // be: 0,50 and 1.5 take the singular, 1.000,50 (a thousand) does not.
    if (amount.empty() || (amount[0] != '0' && amount[0] != '1')) return false;
    if (amount.size() == 1) return true;
    if (amount[1] != '.' && amount[1] != ',') return false;
    return amount.find_first_of(".,", 2) == std::string_view::npos;
}

const spoken_names *default_names() { return &english; }

const direct_name *latin1_names(const spoken_names *names) { return names->direct; }

const char *cldr_version(const spoken_names *names) { return names->cldr->version; }

size_t symbol_name(const spoken_names *names, uint32_t cp, char *dst) {
    if (cp < direct_count || (cp >= signs_first && cp < signs_end)) {
        const direct_name &d = cp < direct_count ? names->direct[cp] : names->signs[cp - signs_first];
        return d.name ? copy_name(std::string_view(d.name, d.len), dst) : icu_name(cp, dst);
    }
    if (const name_override *o = find_override(names, cp)) return copy_name(o->name, dst);
    if (const cldr_name *n = single_of(*names->cldr, cp))
        return copy_name(std::string_view(n->name, n->name_len), dst);
    return icu_name(cp, dst);
}

/*
 * Narrows the range of keys one input code point at a time: the keys
 * that share the points read so far are contiguous, and the one that
 * ends there, if any, comes first. Each step is a binary search within
 * the range, so a lookup costs a few comparisons per code point.
 */
bool longest_sequence(const spoken_names *names, const unsigned char *src, sequence_match *m) {
    const name_table &t = *names->cldr;
    size_t lo = 0, hi = 0, depth = 0;
    bool found = false;
    const unsigned char *p = src;
    while (depth < UINT8_MAX) {
        if (depth > 0) {
            // A key alone in its range that ends here has no longer one.
            if (hi - lo == 1 && t.names[lo].key_len == depth) break;
            p = skip_selectors(p);
            if (*p < 0x80) break;  // the NUL among them
        }
        if (*p == 0) break;
        uint32_t cp = 0;
        size_t bytes = 0;
        if (!key_point_at(p, &cp, &bytes)) break;
        size_t first, last;
        if (depth == 0) {
            first_range(names, cp, &first, &last);
        } else {
            first = bound(t, lo, hi, depth, cp, false);
            last = bound(t, first, hi, depth, cp, true);
        }
        if (first == last) break;
        lo = first;
        hi = last;
        p += bytes;
        ++depth;
        if (t.names[lo].key_len == depth) {
            found = true;
            m->bytes = static_cast<size_t>(skip_selectors(p) - src);
            m->points = depth;
            m->name = std::string_view(t.names[lo].name, t.names[lo].name_len);
        }
    }
    return found;
}

bool money_words_of(const spoken_names *names, uint32_t cp, money_words *w) {
    for (size_t i = 0; i < names->money_count; ++i) {
        if (names->money[i].sign == cp) {
            *w = {names->money[i].one, names->money[i].other};
            return true;
        }
    }
    const name_table &t = *names->cldr;
    size_t lo = 0, hi = t.money_count;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (t.money[mid].sign == cp) {
            *w = {t.money[mid].one, t.money[mid].other};
            return true;
        }
        if (t.money[mid].sign < cp)
            lo = mid + 1;
        else
            hi = mid;
    }
    return false;
}

bool is_pictograph(uint32_t cp) {
    const UChar32 c = static_cast<UChar32>(cp);
    // The skin tones and the regional indicators are emoji but not
    // pictographs; Unicode keeps them in these two fixed ranges.
    if ((cp >= 0x1F1E6 && cp <= 0x1F1FF) || (cp >= 0x1F3FB && cp <= 0x1F3FF)) return true;
    const icu_calls *icu = icu_api();
    return icu != nullptr && icu->u_hasBinaryProperty(c, UCHAR_EXTENDED_PICTOGRAPHIC);
}

}  // namespace text_names
