// SPDX-License-Identifier: BSD-2-Clause
/*
 * Faithful text preparation: stage one is quorlin_text's strip_ssml
 * (markup, entities, trimming); stage two rewrites its UTF-8 into the
 * engine's 8-bit Western code page, Windows-1252, so that the listener
 * hears what the text says.
 *
 * Stage two is one linear pass over the text, one input unit (a byte
 * below 80 hex or a UTF-8 sequence) at a time, in faithful_text and
 * spell_text. Each unit is first classified (classify: what it is, by
 * code point) and then written by its kind, with a little look-behind
 * (the last byte written, whether the last unit was part of a word) and
 * a bounded look-ahead (the next byte, an ordinal suffix).
 *
 * What reaches the engine holds only printable ASCII, TAB, LF and the
 * code page's letters: never another control byte, and never a
 * backquote, which the engine may take as the start of an annotation
 * that switches its voice or language. The engine may break a text into
 * sentences at its marks but never splits a word, so nothing here needs
 * to keep words together across calls.
 *
 * The output buffer grows (it can be many times longer than its input:
 * every symbol may become a name); before each unit the pass makes room
 * for the longest thing one unit can write, so writing itself never
 * checks. There is no state between messages: the tables are constant
 * and the settings are the caller's.
 */
#include "quorlin_faithful.h"

#include <array>
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "quorlin_marks.h"
#include "quorlin_text.h"

namespace {

using namespace text_marks;

// What an input unit is, for the faithful pass.
enum class kind : unsigned char {
    drop,        // vanishes without splitting the word: soft hyphen, zero-width characters
    blank,       // ch: the blank to write (space, TAB or LF)
    letter,      // text, or ch when text is null: the code-page letters to write
    digit,       // ch
    keep,        // ch, written as it is ($); text: its name when spelled
    mark,        // . , ! ? which shape speech; ch: the mark, text: its name
    apostrophe,  // ' and the typographic apostrophes; text: its name at `all`
    hyphen,      // ch '-' (may join two letters) or 0; text: its name at lvl
    colon,       // stays a colon between digits; otherwise a symbol
    at,          // "at" between word characters at every level; otherwise a symbol
    symbol,      // text: its name at lvl or above; below it, by fb
    named,       // text: read as a word at every level (Greek letters, fractions)
    currency,    // text: a word written with no blank on either side
    pause,       // a comma break; text: its name when spelled
    ellipsis,    // "..."
    other,       // one space (controls, other scripts, emoji); "symbol" when spelled
};

// What a symbol below its level becomes: the sanitiser's treatment, or,
// for a symbol that is also a code-page letter, that letter.
enum class fallback : unsigned char {
    space,
    pause,
    letter
};

struct unit {
    kind k;
    punct_level lvl;  // the lowest level that reads the name (symbols)
    fallback fb;
    bool upper;  // a capital letter, Latin or Greek
    char ch;
    const char *text;
};

constexpr unit make(kind k, char ch = 0, const char *text = nullptr) {
    return {k, punct_level::none, fallback::space, false, ch, text};
}

constexpr unit sym(const char *name, punct_level lvl, fallback fb = fallback::space, char ch = 0) {
    return {kind::symbol, lvl, fb, false, ch, name};
}

constexpr punct_level some = punct_level::some;
constexpr punct_level most = punct_level::most;
constexpr punct_level all = punct_level::all;

constexpr unit other_unit = make(kind::other, ' ', "symbol");
constexpr unit space_unit = make(kind::blank, ' ', "space");
constexpr unit quote_unit = sym("quote", most);
constexpr unit apostrophe_unit = {kind::apostrophe, all, fallback::space, false, '\'', "tick"};
constexpr unit hyphen_unit = {kind::hyphen, most, fallback::space, false, '-', "dash"};

// Whether a byte the pass writes is a capital letter of the code page.
constexpr bool is_upper_byte(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || c == 0x8A || c == 0x8C || c == 0x8E || c == 0x9F ||
           (c >= 0xC0 && c <= 0xDE && c != 0xD7);
}

constexpr unit letter_unit(char ch, const char *text = nullptr) {
    bool up = is_upper_byte(static_cast<unsigned char>(text ? text[0] : ch));
    return {kind::letter, punct_level::none, fallback::space, up, ch, text};
}

constexpr std::array<unit, 128> make_ascii_units() {
    std::array<unit, 128> u{};
    for (unit &x : u) x = other_unit;
    for (int c = 'A'; c <= 'Z'; ++c) u[static_cast<size_t>(c)] = letter_unit(static_cast<char>(c));
    for (int c = 'a'; c <= 'z'; ++c) u[static_cast<size_t>(c)] = letter_unit(static_cast<char>(c));
    for (int c = '0'; c <= '9'; ++c)
        u[static_cast<size_t>(c)] = make(kind::digit, static_cast<char>(c));
    u[' '] = space_unit;
    u['\t'] = make(kind::blank, '\t', "tab");
    u['\n'] = make(kind::blank, '\n', "line feed");
    u['$'] = make(kind::keep, '$', "dollar");
    u['.'] = {kind::mark, all, fallback::space, false, '.', "dot"};
    u[','] = {kind::mark, all, fallback::space, false, ',', "comma"};
    u['!'] = {kind::mark, all, fallback::space, false, '!', "exclamation"};
    u['?'] = {kind::mark, all, fallback::space, false, '?', "question"};
    u['\''] = apostrophe_unit;
    u['-'] = hyphen_unit;
    u[':'] = {kind::colon, most, fallback::pause, false, ':', "colon"};
    u['@'] = {kind::at, some, fallback::space, false, '@', "at"};
    u['#'] = sym("number", some);
    u['%'] = sym("percent", some);
    u['&'] = sym("and", some);
    u['*'] = sym("star", some);
    u['+'] = sym("plus", some);
    u['/'] = sym("slash", some);
    u['<'] = sym("less", some);
    u['='] = sym("equals", some);
    u['>'] = sym("greater", some);
    u['\\'] = sym("backslash", some);
    u['^'] = sym("caret", some);
    u['_'] = sym("underscore", some);
    u['|'] = sym("bar", some);
    u['~'] = sym("tilde", some);
    u['`'] = sym("backquote", some);
    u['"'] = quote_unit;
    u['('] = sym("left paren", most, fallback::pause);
    u[')'] = sym("right paren", most, fallback::pause);
    u['['] = sym("left bracket", most, fallback::pause);
    u[']'] = sym("right bracket", most, fallback::pause);
    u['{'] = sym("left brace", most, fallback::pause);
    u['}'] = sym("right brace", most, fallback::pause);
    u[';'] = sym("semicolon", most, fallback::pause);
    return u;
}

constexpr std::array<unit, 128> ascii_units = make_ascii_units();

// The ASCII bytes that running text copies as they are, unless a name
// before them is due its blank or a letter and a digit meet.
enum class ascii_fast : unsigned char {
    no,
    letter,
    digit,
    space
};

constexpr std::array<ascii_fast, 128> make_ascii_fast_path() {
    std::array<ascii_fast, 128> f{};
    for (size_t c = 0; c < 128; ++c) {
        if (ascii_units[c].k == kind::letter)
            f[c] = ascii_fast::letter;
        else if (ascii_units[c].k == kind::digit)
            f[c] = ascii_fast::digit;
    }
    f[' '] = ascii_fast::space;
    return f;
}

constexpr std::array<ascii_fast, 128> ascii_fast_path = make_ascii_fast_path();

// A code point with a meaning of its own, outside the letter ranges.
struct special {
    uint32_t cp;
    unit u;
};

// Sorted by code point for a binary search.
constexpr special specials[] = {
    {0x00A0, space_unit},
    {0x00A1, sym("inverted exclamation", all)},
    {0x00A2, make(kind::currency, 0, "cent")},
    {0x00A3, make(kind::currency, 0, "pound")},
    {0x00A4, sym("currency", some)},
    {0x00A5, make(kind::currency, 0, "yen")},
    {0x00A6, sym("broken bar", some)},
    {0x00A7, sym("section", some)},
    {0x00A9, sym("copyright", some)},
    {0x00AA, letter_unit('\xAA')},
    {0x00AB, quote_unit},
    {0x00AC, sym("not", some)},
    {0x00AD, make(kind::drop)},
    {0x00AE, sym("registered", some)},
    {0x00B0, sym("degrees", some)},
    {0x00B1, sym("plus or minus", some)},
    {0x00B2, make(kind::named, 0, "squared")},
    {0x00B3, make(kind::named, 0, "cubed")},
    {0x00B4, apostrophe_unit},
    {0x00B5, sym("micro", some, fallback::letter, '\xB5')},
    {0x00B6, sym("paragraph", some)},
    {0x00B7, sym("middle dot", most)},
    {0x00BA, letter_unit('\xBA')},
    {0x00BB, quote_unit},
    {0x00BC, make(kind::named, 0, "one quarter")},
    {0x00BD, make(kind::named, 0, "one half")},
    {0x00BE, make(kind::named, 0, "three quarters")},
    {0x00BF, sym("inverted question", all)},
    {0x00D7, sym("times", some)},
    {0x00F7, sym("divided by", some)},
    {0x0132, letter_unit(0, "IJ")},
    {0x0133, letter_unit(0, "ij")},
    {0x0192, letter_unit('\x83')},
    {0x01A0, letter_unit('O')},
    {0x01A1, letter_unit('o')},
    {0x01AF, letter_unit('U')},
    {0x01B0, letter_unit('u')},
    {0x0218, letter_unit('S')},
    {0x0219, letter_unit('s')},
    {0x021A, letter_unit('T')},
    {0x021B, letter_unit('t')},
    {0x02BC, apostrophe_unit},
    {0x1E9E, letter_unit('\xDF')},
    {0x2010, hyphen_unit},
    {0x2011, hyphen_unit},
    {0x2012, make(kind::pause, 0, "dash")},
    {0x2013, make(kind::pause, 0, "dash")},
    {0x2014, make(kind::pause, 0, "dash")},
    {0x2015, make(kind::pause, 0, "dash")},
    {0x2018, apostrophe_unit},
    {0x2019, apostrophe_unit},
    {0x201A, apostrophe_unit},
    {0x201B, apostrophe_unit},
    {0x201C, quote_unit},
    {0x201D, quote_unit},
    {0x201E, quote_unit},
    {0x201F, quote_unit},
    {0x2020, sym("dagger", some)},
    {0x2021, sym("double dagger", some)},
    {0x2022, sym("bullet", some, fallback::pause)},
    {0x2023, make(kind::pause, 0, "bullet")},
    {0x2026, make(kind::ellipsis, 0, "dot dot dot")},
    {0x2028, make(kind::blank, '\n', "line feed")},
    {0x2029, make(kind::blank, '\n', "line feed")},
    {0x202F, space_unit},
    {0x2030, sym("per mille", some)},
    {0x2032, apostrophe_unit},
    {0x2033, quote_unit},
    {0x2039, quote_unit},
    {0x203A, quote_unit},
    {0x205F, space_unit},
    {0x20AC, make(kind::currency, 0, "euro")},
    {0x2122, sym("trademark", some)},
    {0x2190, sym("left arrow", some)},
    {0x2191, sym("up arrow", some)},
    {0x2192, sym("right arrow", some)},
    {0x2193, sym("down arrow", some)},
    {0x2194, sym("left right arrow", some)},
    {0x2212, {kind::hyphen, some, fallback::space, false, 0, "minus"}},
    {0x221E, sym("infinity", some)},
    {0x2248, sym("approximately equal", some)},
    {0x2260, sym("not equal", some)},
    {0x2264, sym("less or equal", some)},
    {0x2265, sym("greater or equal", some)},
    {0x25AA, make(kind::pause, 0, "bullet")},
    {0x25E6, make(kind::pause, 0, "bullet")},
    {0x3000, space_unit},
    {0xFB00, letter_unit(0, "ff")},
    {0xFB01, letter_unit(0, "fi")},
    {0xFB02, letter_unit(0, "fl")},
    {0xFB03, letter_unit(0, "ffi")},
    {0xFB04, letter_unit(0, "ffl")},
    {0xFB05, letter_unit(0, "st")},
    {0xFB06, letter_unit(0, "st")},
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

// The nearest letters of U+0100 to U+017F (Latin Extended-A), with the
// six that the code page has as its own bytes. U+0132 and U+0133 (IJ,
// ij) are two letters each and sit in `specials`.
constexpr char latin_extended_a[] =
    "AaAaAaCcCcCcCcDdDdEeEeEeEeEeGgGgGgGgHhHhIiIiIiIiIi??JjKkkLlLlLlLlLlNnNnNnnNnOoOoOo"
    "\x8C\x9CRrRrRrSsSsSs\x8A\x9ATtTtTtUuUuUuUuUuUuWwYy\x9FZzZz\x8E\x9Es";
static_assert(sizeof latin_extended_a == 0x80 + 1, "one letter for each of U+0100 to U+017F");

// U+01CD to U+01DC: the caron vowels and the u with diaeresis and tone.
constexpr char latin_caron[] = "AaIiOoUu\xDC\xFC\xDC\xFC\xDC\xFC\xDC\xFC";
static_assert(sizeof latin_caron == 16 + 1);

// The base capital of each pair of U+1E00 to U+1E95 (Latin Extended
// Additional): the even code point is the capital, the odd one small.
constexpr char latin_additional_pairs[] =
    "ABBBCDDDDDEEEEEFGHHHHHIIKKKLLLLMMMNNNNOOOOPPRRRRSSSSSTTTTUUUUUVVWWWWWXXYZZZ";
static_assert(sizeof latin_additional_pairs == 0x96 / 2 + 1);

// U+1E96 to U+1E9D, which come singly.
constexpr char latin_additional_single[] = "htwyassf";

// U+1EA0 to U+1EF9, the Vietnamese vowels: runs of capital and small
// pairs of one base letter each.
struct vowel_run {
    uint32_t last;  // the last code point of the run
    char base;      // the capital
};
constexpr vowel_run vietnamese[] = {
    {0x1EB7, 'A'}, {0x1EC7, 'E'}, {0x1ECB, 'I'}, {0x1EE3, 'O'}, {0x1EF1, 'U'}, {0x1EF9, 'Y'},
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

// The Greek letter, Latin letter of the extended blocks, or other
// unit of a code point from U+0180 up that is not in `specials`.
unit classify_range(uint32_t cp) {
    if (cp >= 0x01CD && cp <= 0x01DC) return letter_unit(latin_caron[cp - 0x01CD]);
    if (cp >= 0x0300 && cp <= 0x036F)
        return make(kind::drop);  // combining accents: the base letter stays
    if (cp >= 0x0386 && cp <= 0x03CE) {
        if (cp >= 0x0391 && cp <= 0x03A9 && cp != 0x03A2)
            return greek_unit(static_cast<int>(cp - 0x0391), true);
        if (cp >= 0x03B1 && cp <= 0x03C9) return greek_unit(static_cast<int>(cp - 0x03B1), false);
        int i = greek_accented(cp);
        if (i >= 0) return greek_unit(i, cp < 0x0390 || cp == 0x03AA || cp == 0x03AB);
        return other_unit;
    }
    if (cp >= 0x1E00 && cp < 0x1E96) {
        char base = latin_additional_pairs[(cp - 0x1E00) / 2];
        return letter_unit(cp % 2 == 0 ? base : static_cast<char>(base - 'A' + 'a'));
    }
    if (cp >= 0x1E96 && cp <= 0x1E9D) return letter_unit(latin_additional_single[cp - 0x1E96]);
    if (cp >= 0x1EA0 && cp <= 0x1EF9) {
        for (const vowel_run &r : vietnamese) {
            if (cp <= r.last)
                return letter_unit(cp % 2 == 0 ? r.base : static_cast<char>(r.base - 'A' + 'a'));
        }
    }
    // Variation selectors (General Punctuation's invisible characters
    // are in its table).
    if ((cp >= 0xFE00 && cp <= 0xFE0F) || (cp >= 0xE0100 && cp <= 0xE01EF)) return make(kind::drop);
    return other_unit;
}

// What the code point `cp` is; 0xFFFD stands for a malformed sequence.
unit classify(uint32_t cp) {
    if (cp < 0x80) return ascii_units[cp];
    // The letters of Latin-1 and Latin Extended-A, the most common by
    // far, before the search.
    if (cp >= 0xC0 && cp < 0x180 && cp != 0xD7 && cp != 0xF7 && cp != 0x132 && cp != 0x133)
        return cp < 0x100 ? letter_unit(static_cast<char>(cp))
                          : letter_unit(latin_extended_a[cp - 0x0100]);
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
    if (cp < 0xC0) return other_unit;
    return classify_range(cp);
}

// One UTF-8 sequence as the sanitiser delimits it: the lead byte alone
// decides its length, and it is complete only when each byte its lead
// needs is a continuation byte.
struct decoded {
    uint32_t cp;   // the code point, 0xFFFD for a malformed one
    size_t bytes;  // input bytes it takes
    bool cut;      // a lead byte without its continuation bytes: dropped alone
};

constexpr uint32_t malformed = 0xFFFD;

bool is_continuation(unsigned char c) { return c >= 0x80 && c <= 0xBF; }

decoded decode(const unsigned char *src) {
    unsigned char lead = src[0];
    if (lead < 0x80) return {lead, 1, false};
    size_t n = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    // Stops at the first byte that is not a continuation, the NUL among
    // them, so it never reads past the text.
    for (size_t i = 1; i < n; ++i) {
        if (!is_continuation(src[i])) return {0, 1, true};
    }
    if (lead < 0xC2) return {malformed, n, false};  // stray continuation byte or overlong lead
    uint32_t cp = n == 2 ? lead & 0x1Fu : n == 3 ? lead & 0x0Fu : lead & 0x07u;
    for (size_t i = 1; i < n; ++i) cp = (cp << 6) | (src[i] & 0x3Fu);
    bool bad = (n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
               (n == 4 && (cp < 0x10000 || cp > 0x10FFFF));
    return {bad ? malformed : cp, n, false};
}

// The result under construction: a buffer that grows, with room made
// before each unit for the most one unit can write.
struct output {
    char *buf;          // the result, owned by the caller of prepare_faithful
    size_t len;         // bytes written so far
    size_t cap;         // bytes allocated
    bool blank_due;     // a name was written: the next word goes after a blank
    mark_store *marks;  // the message's marks, moved as the text is written; or null
};

// The most one input unit can write: a blank, "capital ", a name of up
// to 24 bytes or three letters each spelled as a capital, a blank and a
// comma break, with room to spare.
constexpr size_t max_unit_bytes = 64;

constexpr size_t max_name_bytes = 24;

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

bool grow(output &out) {
    size_t half = out.cap / 2;
    if (out.cap > SIZE_MAX - half - max_unit_bytes) return false;
    size_t cap = out.cap + half + max_unit_bytes;
    char *bigger = static_cast<char *>(realloc(out.buf, cap));
    if (bigger == nullptr) return false;
    out.buf = bigger;
    out.cap = cap;
    return true;
}

// Room for one more unit and the terminating NUL. False when the buffer
// cannot grow; it is then left as it was, still the caller's to free.
inline bool make_room(output &out) { return out.cap - out.len > max_unit_bytes || grow(out); }

void put(output &out, char c) {
    assert(out.len + 1 < out.cap);
    out.buf[out.len++] = c;
}

void put_str(output &out, std::string_view s) {
    assert(out.len + s.size() < out.cap);
    memcpy(out.buf + out.len, s.data(), s.size());
    out.len += s.size();
}

// The last byte written, or NUL while the output is empty.
unsigned char last_byte(const output &out) {
    return out.len > 0 ? static_cast<unsigned char>(out.buf[out.len - 1]) : 0;
}

bool is_blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\n'; }

bool is_ascii_letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// A letter in the output: every byte from 80 up that the pass writes is one.
bool is_output_letter(unsigned char c) { return is_ascii_letter(c) || c >= 0x80; }

// Whether the input byte `c` may begin a letter or a digit, as far as
// one byte tells: ASCII letters and digits and the lead bytes of the
// blocks that hold letters (not C2, whose characters are signs, and not
// E2, which holds punctuation, arrows and operators).
bool starts_word(unsigned char c) {
    return is_ascii_letter(c) || is_digit(c) || (c >= 0xC3 && c != 0xE2);
}

bool starts_letter(unsigned char c) { return is_ascii_letter(c) || (c >= 0xC3 && c != 0xE2); }

// Before a word: the blank a name left due, unless a blank is there.
void begin_word(output &out) {
    if (out.blank_due && !is_blank(last_byte(out))) put(out, ' ');
    out.blank_due = false;
}

// A name with a blank on each side; the blank after it is written only
// when a word follows, so that a mark stays on it and the text does not
// end in a blank.
void put_name(output &out, std::string_view name) {
    if (out.len > 0 && !is_blank(last_byte(out))) put(out, ' ');
    put_str(out, name);
    out.blank_due = true;
}

// A byte that attaches to what is before it: a mark, a blank.
void put_attached(output &out, char c) {
    out.blank_due = false;
    put(out, c);
}

// Which of the pause marks a comma break swallows after it: those the
// level does not read by name.
bool swallowed_after_break(unsigned char c, punct_level lvl) {
    if (lvl == punct_level::all) return false;
    if (c == ':' || c == ';') return lvl < punct_level::most;
    return c == '!' || c == ',' || c == '.' || c == '?';
}

/*
 * A pause for the engine, as the sanitiser makes it: spaces and tabs
 * just written give way to ", " (a lone space at the start; an LF
 * stays), then the pause marks the level does not name and a run of
 * spaces and tabs are skipped. Returns where input resumes.
 */
const unsigned char *put_comma_break(output &out, const unsigned char *next, punct_level lvl) {
    out.blank_due = false;
    while (out.len > 0 && (out.buf[out.len - 1] == ' ' || out.buf[out.len - 1] == '\t')) --out.len;
    pull_back(out.marks, out.len);
    if (out.len > 0) put(out, ',');
    put(out, ' ');
    while (swallowed_after_break(*next, lvl)) ++next;
    while (*next == ' ' || *next == '\t') ++next;
    return next;
}

// An ordinal or plural suffix at `at`, right after a digit: st, nd, rd,
// th or s in any case, not followed by a further letter.
bool ordinal_suffix_at(const unsigned char *at) {
    size_t n = 0;
    while (n < 3 && is_ascii_letter(at[n])) ++n;
    if (n == 3 || starts_letter(at[n])) return false;
    if (n == 1) return (at[0] | 0x20) == 's';
    if (n != 2) return false;
    char a = static_cast<char>(at[0] | 0x20), b = static_cast<char>(at[1] | 0x20);
    return (a == 's' && b == 't') || (a == 'n' && b == 'd') || (a == 'r' && b == 'd') ||
           (a == 't' && b == 'h');
}

// Letters of the code page; a space keeps them apart from a digit before
// them, except for an ordinal suffix (`src` is the unit's input) and the
// ordinal indicators.
void put_letters(output &out, const unit &u, const unsigned char *src) {
    begin_word(out);
    if (is_digit(last_byte(out)) && u.ch != '\xAA' && u.ch != '\xBA' && !ordinal_suffix_at(src))
        put(out, ' ');
    if (u.text != nullptr)
        put_str(out, u.text);
    else
        put(out, u.ch);
}

void put_digit(output &out, char c) {
    begin_word(out);
    if (is_output_letter(last_byte(out))) put(out, ' ');
    put(out, c);
}

// A currency word as the sanitiser writes it: no blank on either side.
void put_currency(output &out, std::string_view word) {
    begin_word(out);
    put_str(out, word);
}

// Whether a letter or digit of the fast path would meet a digit or letter
// just written, which takes a blank between them.
bool meets_digit(ascii_fast f, unsigned char last) {
    return (f == ascii_fast::letter && is_digit(last)) ||
           (f == ascii_fast::digit && is_output_letter(last));
}

// The state of one pass that the rules look back on.
struct pass_state {
    punct_level lvl;
    bool key;        // a key name: underscores are blanks
    bool prev_word;  // the last unit was a letter or a digit
};

/*
 * Writes the unit `u` found at `src` in running text, where `next` is
 * the input after it. Returns where input resumes (after `next` only
 * when a comma break skipped some). Sets st.prev_word for the next unit.
 */
const unsigned char *put_text_unit(output &out, const unit &u, const unsigned char *src,
                                   const unsigned char *next, pass_state &st) {
    if (u.k == kind::drop) return next;  // the word goes on: prev_word stays as it was
    const bool prev_word = st.prev_word;
    st.prev_word = false;  // also for the comma breaks, which return early
    bool word = false;
    const punct_level lvl = st.lvl;
    switch (u.k) {
    case kind::drop: break;
    case kind::blank: put_attached(out, u.ch); break;
    case kind::letter:
        put_letters(out, u, src);
        word = true;
        break;
    case kind::digit:
        put_digit(out, u.ch);
        word = true;
        break;
    case kind::keep:
        begin_word(out);
        put(out, u.ch);
        break;
    case kind::mark:
        if (lvl == punct_level::all) {
            put_name(out, u.text);
            // Inside a word ("debian.org", "1.5") the name alone is read.
            if (prev_word && starts_word(*next)) break;
        }
        put_attached(out, u.ch);
        break;
    case kind::apostrophe:
        if (is_output_letter(last_byte(out)) && !out.blank_due && starts_letter(*next)) {
            put(out, '\'');  // inside a word: it's, don't
            word = true;
        } else if (lvl == punct_level::all) {
            put_name(out, u.text);
        } else {
            begin_word(out);
            put(out, '\'');
        }
        break;
    case kind::hyphen:
        if (!prev_word && is_digit(*next)) {
            put_name(out, "minus");
        } else if (u.ch == '-' && is_output_letter(last_byte(out)) && !out.blank_due &&
                   starts_letter(*next)) {
            put(out, '-');  // between letters: e-mail
            word = true;
        } else if (lvl >= u.lvl) {
            put_name(out, u.text);
        } else {
            put_attached(out, ' ');
        }
        break;
    case kind::colon:
        if (is_digit(last_byte(out)) && !out.blank_due && is_digit(*next)) {
            put(out, ':');  // a time or a ratio: 16:22
        } else if (lvl >= u.lvl) {
            put_name(out, u.text);
        } else {
            return put_comma_break(out, next, lvl);
        }
        break;
    case kind::at:
        if (prev_word && starts_word(*next))
            put_name(out, u.text);  // an address: at every level
        else if (lvl >= u.lvl)
            put_name(out, u.text);
        else
            put_attached(out, ' ');
        break;
    case kind::symbol:
        if (lvl >= u.lvl) {
            put_name(out, u.text);
        } else if (u.fb == fallback::pause) {
            return put_comma_break(out, next, lvl);
        } else if (u.fb == fallback::letter) {
            put_letters(out, letter_unit(u.ch), src);
            word = true;
        } else {
            put_attached(out, ' ');
        }
        break;
    case kind::named: put_name(out, u.text); break;
    case kind::currency: put_currency(out, u.text); break;
    case kind::pause: return put_comma_break(out, next, lvl);
    case kind::ellipsis:
        if (lvl == punct_level::all) put_name(out, u.text);
        out.blank_due = false;
        put_str(out, "...");
        break;
    case kind::other: put_attached(out, ' '); break;
    }
    st.prev_word = word;
    return next;
}

// The unit of a key name: its underscores are blanks ("shift_a").
unit key_unit(const unit &u, uint32_t cp, bool key) { return key && cp == '_' ? space_unit : u; }

/*
 * The faithful pass over running text, the NUL-terminated `text`, into
 * `out`. False when the output cannot grow.
 */
template <bool tracking>
bool faithful_text(output &out, const unsigned char *text, punct_level lvl, bool key) {
    pass_state st{lvl, key, false};
    const unsigned char *src = text;
    while (*src != 0) {
        // One input unit begins here: the marks before it stand where
        // what it writes begins.
        if constexpr (tracking) note_input(out.marks, static_cast<size_t>(src - text), out.len);
        if (!make_room(out)) return false;
        if (*src < 0x80) {
            // Most of a text is ASCII letters and blanks that no rule
            // touches; they are copied without classifying them.
            const unsigned char c = *src;
            const ascii_fast f = ascii_fast_path[c];
            if (f != ascii_fast::no && !out.blank_due && !meets_digit(f, last_byte(out))) {
                out.buf[out.len++] = static_cast<char>(c);
                st.prev_word = f != ascii_fast::space;
                ++src;
                continue;
            }
            src = put_text_unit(out, key_unit(ascii_units[c], c, st.key), src, src + 1, st);
            continue;
        }
        if (*src == 0xC3 && is_continuation(src[1]) && src[1] != 0x97 && src[1] != 0xB7) {
            // A letter of Latin-1 (U+00C0 to U+00FF but the times and
            // division signs): its code-page byte is its code point.
            src = put_text_unit(out, letter_unit(static_cast<char>(0xC0 | (src[1] & 0x3F))), src,
                                src + 2, st);
            continue;
        }
        decoded d = decode(src);
        if (d.cut) {
            ++src;  // as the sanitiser: the lone lead byte vanishes
            continue;
        }
        src = put_text_unit(out, classify(d.cp), src, src + d.bytes, st);
    }
    if constexpr (tracking) end_stage(out.marks, out.len);
    out.buf[out.len] = '\0';
    return true;
}

// One spelled item, apart from the item before it.
void put_spelled(output &out, std::string_view item, bool capital) {
    if (out.len > 0 && !is_blank(last_byte(out))) put(out, ' ');
    if (capital) put_str(out, "capital ");
    put_str(out, item);
}

// Between spelled words: one comma break, however many blanks.
void put_word_break(output &out) {
    while (out.len > 0 && out.buf[out.len - 1] == ' ') --out.len;
    pull_back(out.marks, out.len);
    if (out.len == 0) return;
    if (out.buf[out.len - 1] != ',') put(out, ',');
    put(out, ' ');
}

// A spelled unit: every letter and digit on its own, symbols by name.
void put_spelled_unit(output &out, const unit &u, bool caps) {
    switch (u.k) {
    case kind::drop: break;
    case kind::blank: put_word_break(out); break;
    case kind::letter:
        if (u.text != nullptr) {
            for (const char *p = u.text; *p != '\0'; ++p)
                put_spelled(out, std::string_view(p, 1),
                            caps && is_upper_byte(static_cast<unsigned char>(*p)));
        } else {
            put_spelled(out, std::string_view(&u.ch, 1), caps && u.upper);
        }
        break;
    case kind::digit: put_spelled(out, std::string_view(&u.ch, 1), false); break;
    case kind::named: put_spelled(out, u.text, caps && u.upper); break;
    default:
        assert(u.text != nullptr);
        put_spelled(out, u.text, false);
        break;
    }
}

/*
 * The spelling pass over the NUL-terminated `text` into `out`: the same
 * walk as faithful_text, each unit spelled. A character that leaves no
 * spelling (a lone zero-width character) is "symbol" when `name_required`.
 * False when the output cannot grow.
 */
template <bool tracking>
bool spell_text(output &out, const unsigned char *text, bool caps, bool name_required) {
    const unsigned char *src = text;
    while (*src != 0) {
        // One input unit begins here: the marks before it stand where
        // what it writes begins.
        if constexpr (tracking) note_input(out.marks, static_cast<size_t>(src - text), out.len);
        if (!make_room(out)) return false;
        decoded d = decode(src);
        if (d.cut) {
            ++src;
            continue;
        }
        put_spelled_unit(out, classify(d.cp), caps);
        src += d.bytes;
    }
    if (out.len == 0 && name_required) put_str(out, "symbol");
    if constexpr (tracking) end_stage(out.marks, out.len);
    out.buf[out.len] = '\0';
    return true;
}

// Whether the NUL-terminated text is at most one character: at most one
// unit that is not dropped, with any dropped ones (a variation selector,
// an accent).
bool is_one_character(const unsigned char *src) {
    size_t seen = 0;
    while (*src != 0 && seen < 2) {
        decoded d = decode(src);
        if (!d.cut && classify(d.cp).k != kind::drop) ++seen;
        src += d.bytes;
    }
    return seen < 2;
}

/*
 * The bytes to allocate at first for a text of `n` bytes: most text
 * comes out about as long as it goes in, and the buffer grows when
 * names make it longer. False when that does not fit in a size_t.
 */
bool initial_capacity(size_t n, size_t *bytes) {
    size_t quarter = n / 4;
    if (n > SIZE_MAX - quarter - max_unit_bytes - 1) return false;
    *bytes = n + quarter + max_unit_bytes + 1;
    return true;
}

// How a message of a kind is rewritten.
enum class rewrite : unsigned char {
    text,
    spell
};

/*
 * Stage two on the NUL-terminated `plain`: a new string, or null when
 * the buffer cannot be allocated or grown.
 */
char *rewrite_for_engine(const char *plain, rewrite how, punct_level lvl, bool caps,
                         NRVMessageType type, mark_store *marks) {
    size_t cap = 0;
    if (!initial_capacity(strlen(plain), &cap)) return nullptr;
    output out{static_cast<char *>(malloc(cap)), 0, cap, false, marks};
    if (out.buf == nullptr) return nullptr;
    const unsigned char *text = reinterpret_cast<const unsigned char *>(plain);
    bool named = type == NRV_MSGTYPE_CHAR || type == NRV_MSGTYPE_KEY;
    const bool key = type == NRV_MSGTYPE_KEY;
    // The passes move marks only when there are any: each byte written may
    // alias `out`, so a check of out.marks would be a load per unit.
    bool ok;
    if (how == rewrite::spell)
        ok = marks ? spell_text<true>(out, text, caps, named)
                   : spell_text<false>(out, text, caps, named);
    else
        ok = marks ? faithful_text<true>(out, text, lvl, key)
                   : faithful_text<false>(out, text, lvl, key);
    if (!ok) {
        free(out.buf);
        return nullptr;
    }
    return out.buf;
}

// The name of a character message that holds a lone blank: the intake
// gives the space key's name as one space, which trimming would empty.
const char *lone_blank_name(const char *text, size_t len) {
    if (len != 1 || text == nullptr || !is_blank(static_cast<unsigned char>(text[0])))
        return nullptr;
    return ascii_units[static_cast<unsigned char>(text[0])].text;
}

struct setting_value {
    const char *value;
    int code;
};

// The code of `val` among `values`, or -1.
template <size_t N>
int find_value(const setting_value (&values)[N], const char *val) {
    for (const setting_value &v : values) {
        if (strcmp(v.value, val) == 0) return v.code;
    }
    return -1;
}

constexpr setting_value punctuation_values[] = {
    {"none", static_cast<int>(punct_level::none)},
    {"some", static_cast<int>(punct_level::some)},
    {"most", static_cast<int>(punct_level::most)},
    {"all", static_cast<int>(punct_level::all)},
};

constexpr setting_value spelling_values[] = {{"on", 1}, {"off", 0}};

constexpr setting_value capitals_values[] = {
    {"none", static_cast<int>(caps_mode::none)},
    {"spell", static_cast<int>(caps_mode::spell)},
    {"icon", static_cast<int>(caps_mode::icon)},
};

}  // namespace

bool faithful_set(faithful_settings *s, const char *var, const char *val) {
    if (s == nullptr || var == nullptr) return false;
    int code = -1;
    bool known = true;
    if (strcmp(var, "punctuation_mode") == 0) {
        code = val ? find_value(punctuation_values, val) : -1;
        if (code >= 0) s->punctuation = static_cast<punct_level>(code);
    } else if (strcmp(var, "spelling_mode") == 0) {
        code = val ? find_value(spelling_values, val) : -1;
        if (code >= 0) s->spelling = code == 1;
    } else if (strcmp(var, "cap_let_recogn") == 0) {
        code = val ? find_value(capitals_values, val) : -1;
        if (code >= 0) s->capitals = static_cast<caps_mode>(code);
    } else {
        known = false;
    }
    if (known && code < 0)
        fprintf(stderr, "quorlin: unknown value \"%s\" for %s, keeping the current one\n",
                val ? val : "", var);
    return known;
}

/*
 * Stage one as prepare_text runs it, then stage two by the kind of the
 * message: running text (TEXT, SOUND_ICON and the kinds the protocol
 * never produces) is rewritten, or spelled while spelling is on; a
 * character, and a key name of one character, is spelled, which reads
 * it by name; a longer key name is rewritten with its underscores as
 * blanks. On success the caller owns exactly the result; every other
 * buffer is freed on every path.
 */
namespace {

char *faithful(const char *text, size_t len, NRVMessageType type, const faithful_settings *s,
               mark_store *marks) {
    const faithful_settings defaults{};
    if (s == nullptr) s = &defaults;
    char *plain = strip_markup(text, len, marks);
    if (plain == nullptr) return nullptr;
    if (plain[0] == '\0') {
        free(plain);
        const char *name = type == NRV_MSGTYPE_CHAR ? lone_blank_name(text, len) : nullptr;
        return name ? strdup(name) : nullptr;
    }
    const bool caps = s->capitals == caps_mode::spell;
    const bool named = type == NRV_MSGTYPE_CHAR || type == NRV_MSGTYPE_KEY;
    rewrite how = s->spelling ? rewrite::spell : rewrite::text;
    if (named)
        how = is_one_character(reinterpret_cast<const unsigned char *>(plain)) ? rewrite::spell
                                                                               : rewrite::text;
    char *clean = rewrite_for_engine(plain, how, s->punctuation, caps, type, marks);
    free(plain);
    return spoken_or_null(clean);
}

}  // namespace

char *prepare_faithful(const char *text, size_t len, NRVMessageType type,
                       const faithful_settings *s) {
    return faithful(text, len, type, s, nullptr);
}

int prepare_marked_faithful(const char *text, size_t len, NRVMessageType type,
                            const faithful_settings *s, marked_text *out) {
    mark_store store{};
    mark_store *marks = type == NRV_MSGTYPE_TEXT ? &store : nullptr;
    return finish_marked_text(faithful(text, len, type, s, marks), &store, out);
}
