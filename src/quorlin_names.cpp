// SPDX-License-Identifier: BSD-2-Clause
/*
 * The names behind quorlin_names.h: for each language, the table that
 * scripts/gen_cldr_names.py generated from CLDR (included below, one
 * file per language), our own names for the few characters whose CLDR
 * name reads worse in running text, and the money words CLDR lacks.
 * ICU gives the character name of a symbol that none of these names.
 *
 * The names of U+0000 to U+00FF, where most of a text's symbols are,
 * are resolved when this file compiles into one array per language, so
 * that reading them is a load; the rest is a binary search of the
 * generated table. Everything here is constant; ICU's name data is
 * loaded by ICU on its first use.
 */
#include "quorlin_names.h"

#include <unicode/uchar.h>

#include <array>
#include <cstring>
#include <iterator>
#include <string_view>

#include "quorlin_charset.h"

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

// One language's generated table.
struct name_table {
    const char *language;
    const char *version;      // CLDR's
    const char32_t *points;   // the keys' code points
    const cldr_name *names;   // sorted by key, code point by code point
    size_t count;
    const cldr_money *money;  // sorted by sign
    size_t money_count;
};

#include "generated/cldr_names_en.inc"

static_assert(cldr_en_longest_name <= max_name_bytes, "a CLDR name longer than a unit's room");

// Our name of a character, where it reads better than CLDR's in running
// text: said between the parts of an address, a number or an option
// ("debian dot org", "dash dash force", "user at example.org"), said the
// way it is used ("caret", "minus"), or named where CLDR has no name.
struct name_override {
    uint32_t cp;
    const char *name;
};

// English, sorted by code point. README lists them with the reasons.
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

// A name resolved when this file compiles.
struct direct_name {
    const char *name;  // null: none
    uint8_t len;
};

constexpr size_t direct_count = 0x100;

template <size_t N>
constexpr const char *override_of(const name_override (&overrides)[N], uint32_t cp) {
    size_t lo = 0, hi = N;
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

template <size_t N>
constexpr std::array<direct_name, direct_count> resolve_direct(
    const name_table &t, const name_override (&overrides)[N]) {
    std::array<direct_name, direct_count> d{};
    for (size_t cp = 0; cp < direct_count; ++cp) {
        const uint32_t c = static_cast<uint32_t>(cp);
        if (const char *own = override_of(overrides, c)) {
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
static_assert(keys_sorted(cldr_en), "the generated keys must be sorted");

template <size_t N>
constexpr bool overrides_sorted(const name_override (&o)[N]) {
    for (size_t i = 1; i < N; ++i) {
        if (o[i - 1].cp >= o[i].cp) return false;
    }
    return true;
}
static_assert(overrides_sorted(english_overrides), "the overrides must be sorted");

constexpr std::array<direct_name, direct_count> english_direct =
    resolve_direct(cldr_en, english_overrides);

}  // namespace

// One language: its generated table and our additions.
struct spoken_names {
    const name_table *cldr;
    const name_override *overrides;  // sorted by code point
    size_t override_count;
    const cldr_money *money;  // money words CLDR lacks, sorted by sign
    size_t money_count;
    const direct_name *direct;  // the names of U+0000 to U+00FF
};

namespace {

constexpr spoken_names english = {
    &cldr_en,        english_overrides,    std::size(english_overrides),
    english_money,   std::size(english_money), english_direct.data(),
};

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
size_t icu_name(uint32_t cp, char *dst) {
    char buf[max_name_bytes + 1];
    UErrorCode err = U_ZERO_ERROR;
    int32_t n = u_charName(static_cast<UChar32>(cp), U_UNICODE_CHAR_NAME, buf,
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

bool is_selector(uint32_t cp) { return cp == 0xFE0E || cp == 0xFE0F; }

// `p` after the variation selectors that begin there.
const unsigned char *skip_selectors(const unsigned char *p) {
    for (;;) {
        text_charset::decoded d = text_charset::decode(p);
        if (d.cut || !is_selector(d.cp)) return p;
        p += d.bytes;
    }
}

}  // namespace

const spoken_names *names_for_language(std::string_view lang) {
    return lang == english.cldr->language ? &english : nullptr;
}

const spoken_names *default_names() { return &english; }

const char *cldr_version(const spoken_names *names) { return names->cldr->version; }

size_t symbol_name(const spoken_names *names, uint32_t cp, char *dst) {
    if (cp < direct_count) {
        const direct_name &d = names->direct[cp];
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
    size_t lo = 0, hi = t.count, depth = 0;
    bool found = false;
    const unsigned char *p = src;
    while (depth < UINT8_MAX) {
        if (depth > 0) p = skip_selectors(p);
        if (*p == 0) break;
        text_charset::decoded d = text_charset::decode(p);
        if (d.cut) break;
        size_t first = bound(t, lo, hi, depth, d.cp, false);
        size_t last = bound(t, first, hi, depth, d.cp, true);
        if (first == last) break;
        lo = first;
        hi = last;
        p += d.bytes;
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
    return u_hasBinaryProperty(c, UCHAR_EXTENDED_PICTOGRAPHIC) ||
           u_hasBinaryProperty(c, UCHAR_EMOJI_PRESENTATION) ||
           u_hasBinaryProperty(c, UCHAR_EMOJI_MODIFIER) ||
           u_hasBinaryProperty(c, UCHAR_REGIONAL_INDICATOR);
}

}  // namespace text_names
