// SPDX-License-Identifier: BSD-2-Clause
/*
 * The tables of the character set: the unit of each ASCII byte, the
 * code-page letters of the Latin blocks (what the code page lacks has
 * become its nearest letters in the Unicode stage), the Greek letters'
 * names and
 * the code points with a meaning of their own (signs, symbols, spaces,
 * invisible characters), with the calls that read them, classify,
 * classify_symbol and decode. A symbol's entry holds our level and
 * fallback, not its name, which is the language's (quorlin_names). The
 * tables are constant and built when this file compiles; it holds no
 * state. What a unit writes, and where, is quorlin_faithful's.
 */
#include "quorlin_charset.h"

#include <unicode/uchar.h>

#include <array>
#include <cstdint>
#include <string_view>

#include "quorlin_icu.h"

namespace text_charset {

namespace {

constexpr unit make(kind k, char ch = 0, const char *text = nullptr) {
    return {k, punct_level::none, fallback::space, false, ch, text};
}

// A symbol's level and fallback; its name is the language's, looked up
// by code point when it is read (quorlin_names).
constexpr unit sym(punct_level lvl, fallback fb = fallback::space, char ch = 0) {
    return {kind::symbol, lvl, fb, false, ch, nullptr};
}

constexpr punct_level some = punct_level::some;
constexpr punct_level most = punct_level::most;
constexpr punct_level all = punct_level::all;

constexpr unit other_unit = make(kind::other, ' ', "symbol");
constexpr unit space_unit = make(kind::blank, ' ');
constexpr unit quote_unit = sym(most);
constexpr unit apostrophe_unit = {kind::apostrophe, all, fallback::space, false, '\'', nullptr};
constexpr unit hyphen_unit = {kind::hyphen, most, fallback::space, false, '-', nullptr};
constexpr unit currency_unit = make(kind::currency);
constexpr unit named_unit = make(kind::named);
constexpr unit mark_unit(char c) { return {kind::mark, all, fallback::space, false, c, nullptr}; }

/*
 * The levels of the ASCII signs. The backslash, caret, vertical bar,
 * tilde and underscore are read from `most`, as listeners of screen
 * readers know them: in prose they are rare, and in code and paths a
 * blank stands for them well enough below it.
 */
constexpr std::array<unit, 128> make_ascii_units() {
    std::array<unit, 128> u{};
    for (unit &x : u) x = other_unit;
    for (int c = 'A'; c <= 'Z'; ++c) u[static_cast<size_t>(c)] = letter_unit(static_cast<char>(c));
    for (int c = 'a'; c <= 'z'; ++c) u[static_cast<size_t>(c)] = letter_unit(static_cast<char>(c));
    for (int c = '0'; c <= '9'; ++c)
        u[static_cast<size_t>(c)] = make(kind::digit, static_cast<char>(c));
    u[' '] = space_unit;
    u['\t'] = make(kind::blank, '\t');
    u['\n'] = make(kind::blank, '\n');
    u['$'] = {kind::currency, punct_level::none, fallback::space, false, '$', nullptr};
    u['.'] = mark_unit('.');
    u[','] = mark_unit(',');
    u['!'] = mark_unit('!');
    u['?'] = mark_unit('?');
    u['\''] = apostrophe_unit;
    u['-'] = hyphen_unit;
    u[':'] = {kind::colon, most, fallback::pause, false, ':', nullptr};
    u['@'] = {kind::at, some, fallback::space, false, '@', nullptr};
    for (char c : {'#', '%', '&', '*', '+', '/', '<', '=', '>', '`'})
        u[static_cast<size_t>(c)] = sym(some);
    for (char c : {'\\', '^', '_', '|', '~'}) u[static_cast<size_t>(c)] = sym(most);
    u['"'] = quote_unit;
    for (char c : {'(', ')', '[', ']', '{', '}', ';'})
        u[static_cast<size_t>(c)] = sym(most, fallback::pause);
    return u;
}

constexpr std::array<unit, 128> ascii_units = make_ascii_units();

// A code point with a meaning of its own, outside the letter ranges.
struct special {
    uint32_t cp;
    unit u;
};

// Sorted by code point for a binary search.
constexpr special specials[] = {
    {0x00A0, space_unit},
    {0x00A1, sym(all)},
    {0x00A2, currency_unit},
    {0x00A3, currency_unit},
    {0x00A4, sym(some)},
    {0x00A5, currency_unit},
    {0x00A6, sym(most)},
    {0x00A7, sym(some)},
    {0x00A9, sym(some)},
    {0x00AA, letter_unit('\xAA')},
    {0x00AB, quote_unit},
    {0x00AC, sym(some)},
    {0x00AD, make(kind::drop)},
    {0x00AE, sym(some)},
    {0x00B0, sym(some)},
    {0x00B1, sym(some)},
    {0x00B2, named_unit},
    {0x00B3, named_unit},
    {0x00B4, apostrophe_unit},
    {0x00B5, sym(some, fallback::letter, '\xB5')},
    {0x00B6, sym(most)},
    {0x00B7, sym(most)},
    {0x00BA, letter_unit('\xBA')},
    {0x00BB, quote_unit},
    {0x00BC, named_unit},
    {0x00BD, named_unit},
    {0x00BE, named_unit},
    {0x00BF, sym(all)},
    {0x00D7, sym(some)},
    {0x00F7, sym(some)},
    {0x0192, letter_unit('\x83')},
    {0x02BC, apostrophe_unit},
    {0x2010, hyphen_unit},
    {0x2011, hyphen_unit},
    {0x2012, make(kind::pause)},
    {0x2013, sym(all, fallback::pause, '-')},
    {0x2014, sym(all, fallback::pause)},
    {0x2015, make(kind::pause)},
    {0x2018, apostrophe_unit},
    {0x2019, apostrophe_unit},
    {0x201A, apostrophe_unit},
    {0x201B, apostrophe_unit},
    {0x201C, quote_unit},
    {0x201D, quote_unit},
    {0x201E, quote_unit},
    {0x201F, quote_unit},
    {0x2020, sym(some)},
    {0x2021, sym(some)},
    {0x2022, sym(some, fallback::pause)},
    {0x2023, make(kind::pause)},
    {0x2026, make(kind::ellipsis)},
    {0x2028, make(kind::blank, '\n')},
    {0x2029, make(kind::blank, '\n')},
    {0x202F, space_unit},
    {0x2030, sym(some)},
    {0x2032, {kind::prime, punct_level::none, fallback::space, false, '\'', nullptr}},
    {0x2033, {kind::prime, punct_level::none, fallback::space, false, '"', nullptr}},
    {0x2039, quote_unit},
    {0x203A, quote_unit},
    {0x205F, space_unit},
    {0x20AC, currency_unit},
    {0x2122, sym(some)},
    {0x2190, sym(some)},
    {0x2191, sym(some)},
    {0x2192, sym(some)},
    {0x2193, sym(some)},
    {0x2194, sym(some)},
    {0x2212, {kind::hyphen, some, fallback::space, false, 0, nullptr}},
    {0x221E, sym(some)},
    {0x2248, sym(some)},
    {0x2260, sym(some)},
    {0x2264, sym(some)},
    {0x2265, sym(some)},
    {0x25AA, make(kind::pause)},
    {0x25E6, make(kind::pause)},
    {0x3000, space_unit},
    {0xFEFF, make(kind::drop)},
};

constexpr bool sorted_specials() {
    for (size_t i = 1; i < std::size(specials); ++i) {
        if (specials[i - 1].cp >= specials[i].cp) return false;
    }
    return true;
}
static_assert(sorted_specials(), "specials must be sorted for the binary search");

// Direct tables for the two blocks that hold most signs, Latin-1's
// U+00A0 to U+00BF and General Punctuation's U+2000 to U+206F, so that
// running text rarely needs the search. Filled from `specials`, with the
// spaces and the invisible characters of General Punctuation.
template <uint32_t first, size_t count>
constexpr std::array<unit, count> make_block() {
    std::array<unit, count> b{};
    for (size_t i = 0; i < count; ++i) {
        uint32_t cp = first + static_cast<uint32_t>(i);
        bool invisible = (cp >= 0x200B && cp <= 0x200F) || (cp >= 0x202A && cp <= 0x202E) ||
                         (cp >= 0x2060 && cp <= 0x2069);
        b[i] = cp >= 0x2000 && cp <= 0x200A ? space_unit
               : invisible                  ? make(kind::drop)
                                            : other_unit;
    }
    for (const special &x : specials) {
        if (x.cp >= first && x.cp < first + count) b[x.cp - first] = x.u;
    }
    return b;
}

constexpr std::array<unit, 0x20> latin1_signs = make_block<0xA0, 0x20>();
constexpr std::array<unit, 0x70> general_punctuation = make_block<0x2000, 0x70>();

// The letters of Latin Extended-A that the code page has as bytes of its
// own; the Unicode stage has written the others as their nearest ASCII
// letters before stage two classifies them.
struct code_page_letter {
    uint32_t cp;
    char ch;
};
constexpr code_page_letter code_page_extended_a[] = {
    {0x0152, '\x8C'}, {0x0153, '\x9C'}, {0x0160, '\x8A'}, {0x0161, '\x9A'},
    {0x0178, '\x9F'}, {0x017D, '\x8E'}, {0x017E, '\x9E'},
};

// Greek letters by name, capitals U+0391 to U+03A9 and small letters
// U+03B1 to U+03C9 alike; U+03A2 is unassigned and U+03C2 is the final
// sigma.
constexpr const char *greek_names[25] = {
    "alpha", "beta",   "gamma",   "delta", "epsilon", "zeta",    "eta",   "theta", "iota",
    "kappa", "lambda", "mu",      "nu",    "xi",      "omicron", "pi",    "rho",   "sigma",
    "sigma", "tau",    "upsilon", "phi",   "chi",     "psi",     "omega",
};

// The letter an accented Greek letter is read as, as an index into
// greek_names: U+0386 to U+0390 and U+03AA to U+03B0, U+03CA to U+03CE.
constexpr int greek_alpha = 0, greek_epsilon = 4, greek_eta = 6, greek_iota = 8, greek_omicron = 14,
              greek_upsilon = 20, greek_omega = 24;

int greek_accented(uint32_t cp) {
    switch (cp) {
    case 0x0386:
    case 0x03AC: return greek_alpha;
    case 0x0388:
    case 0x03AD: return greek_epsilon;
    case 0x0389:
    case 0x03AE: return greek_eta;
    case 0x038A:
    case 0x0390:
    case 0x03AA:
    case 0x03AF:
    case 0x03CA: return greek_iota;
    case 0x038C:
    case 0x03CC: return greek_omicron;
    case 0x038E:
    case 0x03AB:
    case 0x03B0:
    case 0x03CB:
    case 0x03CD: return greek_upsilon;
    case 0x038F:
    case 0x03CE: return greek_omega;
    default: return -1;
    }
}

unit greek_unit(int index, bool upper) {
    return {kind::named, punct_level::none, fallback::space, upper, 0, greek_names[index]};
}

// The Greek letter, combining mark, or other unit of a code point from
// U+0180 up that is not in `specials`.
unit classify_range(uint32_t cp) {
    if (cp >= 0x0300 && cp <= 0x036F)
        return make(kind::drop);  // accents that composed with no letter: the base stays
    if (cp >= 0x0386 && cp <= 0x03CE) {
        if (cp >= 0x0391 && cp <= 0x03A9 && cp != 0x03A2)
            return greek_unit(static_cast<int>(cp - 0x0391), true);
        if (cp >= 0x03B1 && cp <= 0x03C9) return greek_unit(static_cast<int>(cp - 0x03B1), false);
        int i = greek_accented(cp);
        if (i >= 0) return greek_unit(i, cp < 0x0390 || cp == 0x03AA || cp == 0x03AB);
        return other_unit;
    }
    // Variation selectors (General Punctuation's invisible characters
    // are in its table).
    if ((cp >= 0xFE00 && cp <= 0xFE0F) || (cp >= 0xE0100 && cp <= 0xE01EF)) return make(kind::drop);
    return other_unit;
}

constexpr bool names_fit(const unit &u) {
    return u.text == nullptr || std::string_view(u.text).size() <= max_name_bytes;
}

constexpr bool all_names_fit() {
    for (const unit &u : ascii_units) {
        if (!names_fit(u)) return false;
    }
    for (const special &x : specials) {
        if (!names_fit(x.u)) return false;
    }
    for (const char *name : greek_names) {
        if (std::string_view(name).size() > max_name_bytes) return false;
    }
    return true;
}
static_assert(all_names_fit(), "a name longer than max_name_bytes would overrun a unit's room");

// The copy table of the header must agree with the units: a byte is
// copied as it is only where its unit would write that byte anyway.
constexpr bool fast_path_agrees() {
    for (size_t c = 0; c < 128; ++c) {
        ascii_fast want = c == ' '                           ? ascii_fast::space
                          : ascii_units[c].k == kind::letter ? ascii_fast::letter
                          : ascii_units[c].k == kind::digit  ? ascii_fast::digit
                                                             : ascii_fast::no;
        if (ascii_fast_path[c] != want) return false;
    }
    return true;
}
static_assert(fast_path_agrees(), "the ASCII copy table disagrees with the ASCII units");

}  // namespace

unit classify(uint32_t cp) {
    if (cp < 0x80) return ascii_units[cp];
    // The letters of Latin-1, the most common by far, before the search.
    if (cp >= 0xC0 && cp < 0x100 && cp != 0xD7 && cp != 0xF7)
        return letter_unit(static_cast<char>(cp));
    if (cp >= 0x100 && cp < 0x180) {
        for (const code_page_letter &x : code_page_extended_a) {
            if (x.cp == cp) return letter_unit(x.ch);
        }
        return other_unit;
    }
    if (cp >= 0xA0 && cp < 0xC0) return latin1_signs[cp - 0xA0];
    if (cp >= 0x2000 && cp < 0x2070) return general_punctuation[cp - 0x2000];
    size_t lo = 0, hi = std::size(specials);
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (specials[mid].cp == cp) return specials[mid].u;
        if (specials[mid].cp < cp)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (cp < 0xA0) return other_unit;  // C1 controls
    return classify_range(cp);
}

/*
 * A symbol the tables do not list takes the level of its general
 * category: signs (math, modifier and other symbols) are read from
 * `some`, like most of ours; punctuation from `most`, brackets and
 * dashes pausing below it as ours do; a number that is not a digit (a
 * fraction, a superscript, a circled number) is read at every level,
 * like the fractions above, since it is what the text says; a currency
 * sign is money. Letters, marks, digits of other scripts, controls and
 * unassigned code points stay `other`.
 */
unit classify_symbol(uint32_t cp) {
    const icu_calls *icu = icu_api();
    if (icu == nullptr) return other_unit;
    switch (icu->u_charType(static_cast<UChar32>(cp))) {
    case U_MATH_SYMBOL:
    case U_MODIFIER_SYMBOL:
    case U_OTHER_SYMBOL: return sym(some);
    case U_CURRENCY_SYMBOL: return {kind::currency, some, fallback::space, false, 0, nullptr};
    case U_OTHER_NUMBER:
    case U_LETTER_NUMBER: return named_unit;
    case U_DASH_PUNCTUATION:
    case U_START_PUNCTUATION:
    case U_END_PUNCTUATION: return sym(most, fallback::pause);
    case U_CONNECTOR_PUNCTUATION:
    case U_OTHER_PUNCTUATION:
    case U_INITIAL_PUNCTUATION:
    case U_FINAL_PUNCTUATION: return sym(most);
    default: return other_unit;
    }
}

}  // namespace text_charset
