// SPDX-License-Identifier: BSD-2-Clause
/*
 * The spoken names of the faithful preparation, by language: the names
 * of symbols and emoji and the money words of currency signs, from the
 * tables generated from Unicode CLDR (src/generated/), a short table of
 * our own names where CLDR's reads worse in running text, and ICU's
 * character names for a symbol CLDR does not name. quorlin_names.cpp
 * owns those tables; which unit is read at which level is
 * quorlin_charset's, and where a name goes is quorlin_faithful's.
 *
 * Every name is in the language's code page and holds only printable
 * ASCII (never a backquote) and the code page's letters. Private to the
 * text preparation; everything here is constant.
 */
#ifndef QUORLIN_NAMES_H
#define QUORLIN_NAMES_H

#include <stddef.h>
#include <stdint.h>

#include <string_view>

namespace text_names {

// One language's names.
struct spoken_names;

// The longest name a lookup gives: ICU's longest character name is 88
// bytes (Unicode 15), the longest CLDR name 118 (Korean, each character
// after its escape), and quorlin_names.cpp checks each generated table
// against it when it compiles.
constexpr size_t max_name_bytes = 128;

/* The names of the language `lang`, CLDR's code for it: "en", "da",
 * "de", "es", "fi", "fr", "it", "ja", "ko", "nb", "pt" (Brazilian),
 * "sv", "zh" (simplified), "zh_Hant" (traditional); null when there is
 * no table for it. */
const spoken_names *names_for_language(std::string_view lang);

/* Whether the language's names hold characters only a double-byte code
 * page has, each as page_escape and its UTF-8 (quorlin_codepage.h), so
 * that they are read only with such a page: Chinese, Japanese, Korean. */
bool needs_double_byte_page(const spoken_names *names);

// The words the faithful pass says itself, in the names' own encoding.
struct language_words {
    const char *capital;  // before a capital letter that is spelled
    const char *times;    // between a repeated symbol's name and its count
    const char *symbol;   // a character with no name at all
};

const language_words &words_of(const spoken_names *names);

/* Whether the amount of money `amount` (digits, with "." or "," between
 * them, as written) takes the currency's singular in the language:
 * exactly 1 in English and German, an integer part of 0 or 1 in French
 * and Portuguese, never in Chinese, Japanese and Korean. */
bool money_singular(const spoken_names *names, std::string_view amount);

// The names read while no other language is chosen: English.
const spoken_names *default_names();

// The CLDR version the language's table was generated from.
const char *cldr_version(const spoken_names *names);

/* Writes the spoken name of the code point `cp` at `dst`, which has room
 * for max_name_bytes, and returns its length: ours, else CLDR's, else
 * ICU's character name in lower case; 0 when it has none of these. */
size_t symbol_name(const spoken_names *names, uint32_t cp, char *dst);

// A name resolved ahead, for a block read often.
struct direct_name {
    const char *name;  // null: none resolved, ask symbol_name
    uint8_t len;
};

/* The names of U+0000 to U+00FF, indexed by code point, for a pass to
 * read without a call: ours or CLDR's; a null name has to be asked of
 * symbol_name (ICU's). */
const direct_name *latin1_names(const spoken_names *names);

// A character or sequence CLDR names, as found in the input.
struct sequence_match {
    size_t bytes;           // input bytes taken, with the variation selectors in and after it
    size_t points;          // code points of the key, variation selectors not counted
    std::string_view name;  // its name
};

/* The longest key of the CLDR table that begins at `src`, a
 * NUL-terminated text, skipping variation selectors U+FE0E and U+FE0F as
 * CLDR's keys do: false when no key begins there. Never reads past the
 * NUL. */
bool longest_sequence(const spoken_names *names, const unsigned char *src, sequence_match *m);

// The words of an amount of money: "1 euro", "20 euros".
struct money_words {
    std::string_view one;
    std::string_view other;
};

/* The money words of the currency sign `cp`: false when the sign names
 * no currency (the language's table has none for it). */
bool money_words_of(const spoken_names *names, uint32_t cp, money_words *w);

/* Whether the code point is an emoji or a pictograph by Unicode's
 * properties, read as its name at every level: an extended pictograph,
 * a character shown as an emoji by default, a skin tone, a regional
 * indicator. */
bool is_pictograph(uint32_t cp);

}  // namespace text_names

#endif
