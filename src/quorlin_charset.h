// SPDX-License-Identifier: BSD-2-Clause
/*
 * The character set of the faithful preparation: what each input unit (a
 * byte below 80 hex or a UTF-8 sequence) is, by code point, and which
 * bytes of the engine's 8-bit Western code page, Windows-1252, its
 * letters become. quorlin_charset.cpp owns the tables behind classify
 * and decode; the passes of quorlin_faithful.cpp decide what a unit
 * writes where, and see the tables only through these calls, so that the
 * tables can change shape without touching them.
 *
 * The one table in sight is the ASCII copy table, which the copying
 * loop reads for nearly every byte of a text: it stays a load there, not
 * a call, and it is small and fixed. Private to the text preparation;
 * everything here is constant.
 */
#ifndef QUORLIN_CHARSET_H
#define QUORLIN_CHARSET_H

#include <stddef.h>
#include <stdint.h>

#include <array>

#include "quorlin_faithful.h"

namespace text_charset {

// What an input unit is, for the faithful pass. A unit's name is its
// text when the table gives one, else the language's name of its code
// point (quorlin_names).
enum class kind : unsigned char {
    drop,        // vanishes without splitting the word: soft hyphen, zero-width characters
    blank,       // ch: the blank to write (space, TAB or LF)
    letter,      // text, or ch when text is null: the code-page letters to write
    digit,       // ch
    mark,        // . , ! ? which shape speech; ch: the mark
    apostrophe,  // ' and the typographic apostrophes; its name at `all`
    prime,       // its name after a digit; elsewhere as ch, an apostrophe or a quote
    hyphen,      // ch '-' (may join two letters) or 0; its name at lvl
    colon,       // stays a colon between digits; otherwise a symbol
    at,          // "at" between word characters at every level; otherwise a symbol
    symbol,      // its name at lvl or above; below it, by fb; ch '-': a range between digits
    named,       // read as a word at every level (Greek letters, fractions)
    currency,    // money: read after its amount, else its name; ch '$': kept as it is alone
    pause,       // a comma break; its name when spelled
    ellipsis,    // "..."
    other,       // one space (controls, other scripts); text "symbol" when spelled
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

// The longest text a unit of these tables carries; they are checked
// against it when they compile. Names looked up by code point have their
// own bound (text_names::max_name_bytes).
constexpr size_t max_name_bytes = 24;

// Whether a byte the pass writes is a capital letter of the code page.
constexpr bool is_upper_byte(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || c == 0x8A || c == 0x8C || c == 0x8E || c == 0x9F ||
           (c >= 0xC0 && c <= 0xDE && c != 0xD7);
}

// The unit of the code-page letter `ch`, or of the letters `text`.
constexpr unit letter_unit(char ch, const char *text = nullptr) {
    bool up = is_upper_byte(static_cast<unsigned char>(text ? text[0] : ch));
    return {kind::letter, punct_level::none, fallback::space, up, ch, text};
}

/* What the code point `cp` is; 0xFFFD stands for a malformed sequence.
 * Every code point has a unit: one the tables do not name is `other`. */
unit classify(uint32_t cp);

/* The unit of a code point that classify leaves `other`, by its Unicode
 * general category: a symbol, punctuation, a number or a currency sign
 * with the level of its kind; `other` for the rest (letters of other
 * scripts, marks, controls, unassigned code points). */
unit classify_symbol(uint32_t cp);

constexpr bool is_continuation(unsigned char c) { return c >= 0x80 && c <= 0xBF; }

// One UTF-8 sequence as the sanitiser delimits it: the lead byte alone
// decides its length, and it is complete only when each byte its lead
// needs is a continuation byte.
struct decoded {
    uint32_t cp;   // the code point, 0xFFFD for a malformed one
    size_t bytes;  // input bytes it takes
    bool cut;      // a lead byte without its continuation bytes: dropped alone
};

/* The sequence that begins at `src`, in a NUL-terminated text: it never
 * reads past the NUL. Inline: the passes call it for every character
 * that is not ASCII. */
inline decoded decode(const unsigned char *src) {
    constexpr uint32_t malformed = 0xFFFD;
    const unsigned char lead = src[0];
    if (lead < 0x80) return {lead, 1, false};
    // Each length on its own: a lead byte takes as many continuation
    // bytes as it says, and stops at the first other byte, the NUL among
    // them, so it never reads past the text.
    if (lead < 0xE0) {
        if (!is_continuation(src[1])) return {0, 1, true};
        if (lead < 0xC2) return {malformed, 2, false};  // stray continuation byte or overlong lead
        return {((lead & 0x1Fu) << 6) | (src[1] & 0x3Fu), 2, false};
    }
    if (lead < 0xF0) {
        if (!is_continuation(src[1]) || !is_continuation(src[2])) return {0, 1, true};
        const uint32_t cp = ((lead & 0x0Fu) << 12) | ((src[1] & 0x3Fu) << 6) | (src[2] & 0x3Fu);
        return {cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF) ? malformed : cp, 3, false};
    }
    if (!is_continuation(src[1]) || !is_continuation(src[2]) || !is_continuation(src[3]))
        return {0, 1, true};
    const uint32_t cp = ((lead & 0x07u) << 18) | ((src[1] & 0x3Fu) << 12) |
                        ((src[2] & 0x3Fu) << 6) | (src[3] & 0x3Fu);
    return {cp < 0x10000 || cp > 0x10FFFF ? malformed : cp, 4, false};
}

// The ASCII bytes that running text copies as they are, unless a name
// before them is due its blank or a letter and a digit meet.
enum class ascii_fast : unsigned char {
    no,
    letter,
    digit,
    space
};

// The letters, the digits and the space, each by its kind.
constexpr std::array<ascii_fast, 128> make_ascii_fast_path() {
    std::array<ascii_fast, 128> f{};
    for (size_t c = 'A'; c <= 'Z'; ++c) f[c] = ascii_fast::letter;
    for (size_t c = 'a'; c <= 'z'; ++c) f[c] = ascii_fast::letter;
    for (size_t c = '0'; c <= '9'; ++c) f[c] = ascii_fast::digit;
    f[' '] = ascii_fast::space;
    return f;
}

// Indexed by a byte below 80 hex. Each file that reads it has its own
// copy (a namespace-scope constant), which the copying loop addresses
// directly rather than through another file's symbol; quorlin_charset.cpp
// checks when it compiles that it agrees with the units of classify.
constexpr std::array<ascii_fast, 128> ascii_fast_path = make_ascii_fast_path();

}  // namespace text_charset

#endif
