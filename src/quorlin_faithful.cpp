// SPDX-License-Identifier: BSD-2-Clause
/*
 * Faithful text preparation, stage two and the settings that steer it:
 * after stage one (quorlin_text's strip_markup_as_xml: markup, entities,
 * trimming), the passes here rewrite the UTF-8 into the engine's 8-bit
 * Western code page, so that the listener hears what the text says.
 * What each character is, and which code-page bytes its letters become,
 * is quorlin_charset's; the names symbols, emoji and money are read by
 * are the language's, quorlin_names'; this file decides what each unit
 * writes, where.
 *
 * Stage two is one linear pass over the text, one input unit (a byte
 * below 80 hex or a UTF-8 sequence) at a time, in faithful_text and
 * spell_text. Each unit is first classified (classify: what it is, by
 * code point) and then written by its kind, with a little look-behind
 * (the last byte written, whether the last unit was part of a word) and
 * a bounded look-ahead (the next byte, an ordinal suffix, an emoji
 * sequence, the amount after a currency sign).
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

#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "quorlin_charset.h"
#include "quorlin_marks.h"
#include "quorlin_names.h"
#include "quorlin_text.h"
#include "quorlin_unicode.h"

namespace {

using namespace text_charset;
using namespace text_marks;
using text_names::spoken_names;

// The result under construction: a buffer that grows, with room made
// before each unit for the most one unit can write.
struct output {
    char *buf;          // the result, owned by the caller of prepare_faithful
    size_t len;         // bytes written so far
    size_t cap;         // bytes allocated
    bool blank_due;     // a name was written: the next word goes after a blank
    mark_store *marks;  // the message's marks, moved as the text is written; or null
};

// The longest name a unit can be read by: the tables' own texts or a
// name looked up by code point.
constexpr size_t max_unit_name_bytes = text_names::max_name_bytes > max_name_bytes
                                           ? text_names::max_name_bytes
                                           : max_name_bytes;

// The longest of the words the pass says itself in any language
// ("capital", "times"), with a blank on each side.
constexpr size_t max_word_bytes = 16;

// The most one input unit can write: up to three hyphens read by name
// ("--force"), each a blank and a name, with room to spare; that also
// holds a blank, "capital " and a name, or a name and a count.
constexpr size_t max_unit_bytes = 448;
static_assert(1 + max_word_bytes + max_unit_name_bytes + 1 + 2 <= max_unit_bytes,
              "a unit's room must hold the longest name");

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

/* The language's name of the code point `cp`, as put_name writes it,
 * straight into the room made for the unit; the language's word for
 * "symbol" when it has none. */
void put_point_name(output &out, const spoken_names *names, uint32_t cp) {
    if (out.len > 0 && !is_blank(last_byte(out))) put(out, ' ');
    assert(out.len + text_names::max_name_bytes < out.cap);
    size_t n = text_names::symbol_name(names, cp, out.buf + out.len);
    if (n == 0)
        put_str(out, text_names::words_of(names).symbol);
    else
        out.len += n;
    out.blank_due = true;
}

// The name of the unit `u` of code point `cp`: its own text, else the
// language's name.
void put_unit_name(output &out, const spoken_names *names, uint32_t cp, const unit &u) {
    if (u.text != nullptr)
        put_name(out, u.text);
    else
        put_point_name(out, names, cp);
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

// A mark that ends a sentence, whose fall or rise the engine needs.
bool ends_sentence(unsigned char c) { return c == '.' || c == '?' || c == '!'; }

// Whether the pause sign `c` closes what is before it: a closing bracket,
// a colon or a semicolon, after which a sentence may end.
bool closes_clause(unsigned char c) {
    return c == ')' || c == ']' || c == '}' || c == ':' || c == ';';
}

/*
 * A pause for the engine, as the sanitiser makes it: spaces and tabs
 * just written give way to ", " (a lone space at the start; an LF
 * stays), then the pause marks the level does not name and a run of
 * spaces and tabs are skipped. After a sign that closes a clause and
 * before a full stop, question mark or exclamation mark ("Really (yes)?
 * Ok.") the pause gives way to that mark, which keeps the sentence's
 * intonation. `next` follows the unit that pauses, so next[-1] is its
 * last byte. Returns where input resumes.
 */
const unsigned char *put_comma_break(output &out, const unsigned char *next, punct_level lvl) {
    out.blank_due = false;
    while (out.len > 0 && (out.buf[out.len - 1] == ' ' || out.buf[out.len - 1] == '\t')) --out.len;
    pull_back(out.marks, out.len);
    const unsigned char *mark = next;
    while (*mark == ' ' || *mark == '\t') ++mark;
    if (closes_clause(next[-1]) && ends_sentence(*mark)) return mark;
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

// Whether a letter or digit of the fast path would meet a digit or letter
// just written, which takes a blank between them.
bool meets_digit(ascii_fast f, unsigned char last) {
    return (f == ascii_fast::letter && is_digit(last)) ||
           (f == ascii_fast::digit && is_output_letter(last));
}

/*
 * The units of the characters beyond ASCII a pass has met, by code
 * point: a text repeats its few signs and symbols, whose units come
 * from a search of the tables or from ICU's category. Direct-mapped;
 * emptied at the first character it is asked for, so that a text of
 * ASCII alone does not pay for it.
 */
struct unit_memo {
    static constexpr size_t slots = 64;
    unit_memo() : ready(false) {}
    bool ready;
    uint32_t cp[slots];  // 0: an empty slot (ASCII never comes here)
    bool listed[slots];  // whether the tables list it, or its category gave it
    unit u[slots];
};

// The unit of `cp` from the tables, or else from its Unicode category;
// `*listed` tells which.
unit classify_any(uint32_t cp, bool *listed) {
    const unit u = classify(cp);
    *listed = u.k != kind::other;
    return *listed ? u : classify_symbol(cp);
}

// classify_any of `cp`, from 80 hex up, through the memo.
unit classify_memo(unit_memo &memo, uint32_t cp, bool *listed) {
    if (!memo.ready) {
        memset(memo.cp, 0, sizeof memo.cp);
        memo.ready = true;
    }
    // Fibonacci hashing: neighbouring code points land apart.
    const size_t slot = static_cast<uint32_t>(cp * 2654435761u) >> 26;
    static_assert(unit_memo::slots == 64, "the hash gives 6 bits");
    if (memo.cp[slot] != cp) {
        memo.u[slot] = classify_any(cp, &memo.listed[slot]);
        memo.cp[slot] = cp;
    }
    *listed = memo.listed[slot];
    return memo.u[slot];
}

// The state of one pass that the rules look back on.
struct pass_state {
    punct_level lvl;
    bool key;                            // a key name: underscores are blanks
    bool prev_word;                      // the last unit was a letter or a digit
    const unsigned char *address_close;  // the ">" that closes an address in brackets, or null
    const spoken_names *names;           // the language's names
    const text_names::direct_name *latin1;  // its names of U+0000 to U+00FF
    uint32_t cp;                         // the code point of the unit being written
    const unsigned char *text;           // the start of the pass's input
    code_page page;                      // the engine's code page for this text
    unit_memo memo;                      // the units of the characters beyond ASCII met
};

// The name of the unit being written; most are Latin-1's, read here.
void put_unit_name(output &out, const pass_state &st, const unit &u) {
    if (u.text == nullptr && st.cp < 0x100 && st.latin1[st.cp].name != nullptr) {
        put_name(out, std::string_view(st.latin1[st.cp].name, st.latin1[st.cp].len));
        return;
    }
    put_unit_name(out, st.names, st.cp, u);
}

// A sign kept as it is, attached to the word after it: $HOME.
void put_kept(output &out, char c) {
    begin_word(out);
    put(out, c);
}

// A mark that shapes speech. At `all` it is read by name too, and inside
// a word ("debian.org", "1.5") the name alone is read.
void put_mark(output &out, const unit &u, const unsigned char *next, const pass_state &st,
              bool after_word) {
    if (st.lvl == punct_level::all) {
        put_unit_name(out, st, u);
        if (after_word && starts_word(*next)) return;
    }
    put_attached(out, u.ch);
}

// An apostrophe: kept inside a word (it's, don't), else read by name at
// `all` or kept before the word. Returns whether the word goes on.
bool put_apostrophe(output &out, const unit &u, const unsigned char *next, const pass_state &st) {
    if (is_output_letter(last_byte(out)) && !out.blank_due && starts_letter(*next)) {
        put(out, '\'');
        return true;
    }
    if (st.lvl == punct_level::all) {
        put_unit_name(out, st, u);
    } else {
        begin_word(out);
        put(out, '\'');
    }
    return false;
}

// Whether the output holds nothing but spaces and tabs since the start
// of the text or of its line.
bool opens_line(const output &out) {
    size_t i = out.len;
    while (i > 0 && (out.buf[i - 1] == ' ' || out.buf[i - 1] == '\t')) --i;
    return i == 0 || out.buf[i - 1] == '\n';
}

// Whether the bytes from `begin` to `end` are an e-mail address (an at
// sign with something on each side) or a URL (a scheme and "://").
bool is_address(const unsigned char *begin, const unsigned char *end) {
    for (const unsigned char *p = begin + 1; p + 1 < end; ++p) {
        if (*p == '@') return true;
    }
    const unsigned char *p = begin;
    while (p < end && is_ascii_letter(*p)) ++p;
    return p > begin && end - p > 3 && p[0] == ':' && p[1] == '/' && p[2] == '/';
}

// The ">" that closes an address opened by the "<" at `src`, or null. The
// search stops at a blank or another "<", so that over a whole text it
// reads each byte at most once.
const unsigned char *address_close_at(const unsigned char *src) {
    const unsigned char *p = src + 1;
    while (*p != 0 && *p != '>' && *p != '<' && !is_blank(*p)) ++p;
    return *p == '>' && is_address(src + 1, p) ? p : nullptr;
}

// A word that follows goes after a blank, unless one is there.
void keep_apart(output &out) { out.blank_due = out.len > 0 && !is_blank(last_byte(out)); }

/*
 * Whether the symbol at `src` is silent because of what it does here
 * rather than what it is: a star or hyphen alone at the start of a line
 * (a comment's gutter, a list's bullet), or the angle brackets around an
 * address (<user@example.org>), of which the address is what matters.
 * Below `most` only, where the listener has not asked for these signs.
 */
bool is_quiet_symbol(output &out, const unsigned char *src, const unsigned char *next,
                     pass_state &st) {
    if (src == st.address_close) {
        st.address_close = nullptr;
        keep_apart(out);
        return true;
    }
    if (*src == '<') {
        st.address_close = address_close_at(src);
        if (st.address_close != nullptr) keep_apart(out);
        return st.address_close != nullptr;
    }
    return (*src == '*' || *src == '-') && (*next == ' ' || *next == '\t') && opens_line(out);
}

// Whether the output is at the start of a word: nothing written yet, a
// blank, or a name whose blank is due.
bool at_word_start(const output &out) {
    return out.len == 0 || is_blank(last_byte(out)) || out.blank_due;
}

// The end of the run of ASCII hyphens that begins at `src`.
const unsigned char *hyphen_run_end(const unsigned char *src) {
    while (*src == '-') ++src;
    return src;
}

// The most hyphens in a row that are read as one unit, each by its name
// ("--force"); a longer run is a line of hyphens, not an option.
constexpr size_t max_hyphen_run = 3;
static_assert(max_hyphen_run * (1 + max_unit_name_bytes) + 2 <= max_unit_bytes,
              "a run of dashes must fit a unit's room");

/*
 * A hyphen or minus sign, with the hyphens right after it when it is
 * ASCII. Alone before a digit with no word before it, it is "minus"
 * (-64). Alone between two letters or digits it stays in the text, where
 * the engine reads it with the word or number around it: e-mail, UTF-8,
 * and dates and ranges (2021-10-16, 40-50), which it reads as such.
 * Hyphens that open a word before a letter or a digit (--force, -I) are
 * read "dash" from `some` up, since the engine would drop them. Other
 * hyphens are a symbol, each read by name at its level, or all of them
 * one space. Returns where input resumes; sets st.prev_word when the
 * word goes on.
 */
const unsigned char *put_hyphen(output &out, const unit &u, const unsigned char *src,
                                const unsigned char *next, pass_state &st, bool after_word) {
    if (st.lvl < punct_level::most && is_quiet_symbol(out, src, next, st)) return next;
    const bool ascii = *src == '-';
    const unsigned char *end = ascii ? hyphen_run_end(src) : next;
    if (static_cast<size_t>(end - src) > max_hyphen_run) end = next;
    if (end == next && !after_word && is_digit(*next)) {
        put_point_name(out, st.names, 0x2212);  // the minus sign's name
    } else if (end == next && u.ch == '-' && after_word && !out.blank_due && starts_word(*next)) {
        put(out, '-');
        st.prev_word = true;
    } else if (st.lvl >= u.lvl || (ascii && !after_word && at_word_start(out) &&
                                   starts_word(*end) && st.lvl >= punct_level::some)) {
        size_t count = ascii ? static_cast<size_t>(end - src) : 1;
        for (size_t i = 0; i < count; ++i) put_unit_name(out, st, u);
    } else {
        put_attached(out, ' ');
    }
    return end;
}

// Whether the colons from `next` on end before a word character: the
// second of "::" is skipped over.
bool colons_join_words(const unsigned char *next) {
    if (*next == ':') ++next;
    return starts_word(*next);
}

/*
 * A colon: kept between digits (a time or a ratio: 16:22). Between two
 * word characters with no blank (host:port, std::string, a:hover) it
 * separates names that the listener must hear apart, so from `some` up
 * each colon is read by name there, as below `most` nowhere else;
 * otherwise it is a symbol that pauses below its level. Returns where
 * input resumes.
 */
const unsigned char *put_colon(output &out, const unit &u, const unsigned char *next,
                               const pass_state &st, bool after_word) {
    if (is_digit(last_byte(out)) && !out.blank_due && is_digit(*next)) {
        put(out, ':');
    } else if (st.lvl >= u.lvl) {
        put_unit_name(out, st, u);
    } else if (st.lvl >= punct_level::some && after_word && !out.blank_due &&
               colons_join_words(next)) {
        put_unit_name(out, st, u);
        if (*next == ':') {
            put_unit_name(out, st, u);
            ++next;
        }
    } else {
        return put_comma_break(out, next, st.lvl);
    }
    return next;
}

// The at sign: "at" in an address, between word characters, at every
// level; elsewhere a symbol.
void put_at(output &out, const unit &u, const unsigned char *next, const pass_state &st,
            bool after_word) {
    if ((after_word && starts_word(*next)) || st.lvl >= u.lvl)
        put_unit_name(out, st, u);
    else
        put_attached(out, ' ');
}

// The signs heard from `most` up that are a part of the word they stand
// in: an identifier's underscore (snake_case), a path's backslash, the
// caret of ^C, the tilde of ~/bin, the bar of a|b.
bool joins_word(unsigned char c) {
    return c == '_' || c == '\\' || c == '^' || c == '~' || c == '|';
}

// Whether such a sign at `src` stands inside a word or opens one here,
// or, for an underscore, ends one (a member's name_): without its name
// the word would be another ("my file name").
bool is_part_of_word(const output &out, const unsigned char *src, const unsigned char *next,
                     bool after_word) {
    if (!joins_word(*src)) return false;
    const bool in_word = after_word && !out.blank_due;
    if (*src == '_' && in_word) return true;
    const bool word_after = starts_word(*next) || *next == '/' || joins_word(*next);
    return word_after && (in_word || at_word_start(out));
}

/*
 * A symbol: its name at its level or above, or from `some` up where it
 * is part of a word; otherwise its fallback (a comma break, its
 * code-page letter, or a space). Returns where input resumes; sets
 * st.prev_word when its letter is written.
 */
const unsigned char *put_symbol(output &out, const unit &u, const unsigned char *src,
                                const unsigned char *next, pass_state &st, bool after_word) {
    if (st.lvl < punct_level::most && is_quiet_symbol(out, src, next, st)) return next;
    if (u.ch == '-' && is_digit(last_byte(out)) && !out.blank_due && is_digit(*next)) {
        put(out, '-');  // an en dash between digits is a range: read as the hyphen's
        st.prev_word = true;
    } else if (st.lvl >= u.lvl ||
               (st.lvl >= punct_level::some && is_part_of_word(out, src, next, after_word))) {
        put_unit_name(out, st, u);
    } else if (u.fb == fallback::pause) {
        return put_comma_break(out, next, st.lvl);
    } else if (u.fb == fallback::letter) {
        put_letters(out, letter_unit(u.ch), src);
        st.prev_word = true;
    } else {
        put_attached(out, ' ');
    }
    return next;
}

/*
 * A currency sign with no amount beside it: its name at every level, as
 * the money it stands for is text; the dollar sign is kept as it is
 * ($HOME), and a sign that names no currency is a symbol at its level.
 * Returns where input resumes.
 */
const unsigned char *put_currency_alone(output &out, const unit &u, const unsigned char *src,
                                        const unsigned char *next, pass_state &st) {
    text_names::money_words w;
    if (u.ch == '$')
        put_kept(out, '$');
    else if (text_names::money_words_of(st.names, st.cp, &w))
        put_unit_name(out, st, u);
    else
        return put_symbol(out, u, src, next, st, false);
    return next;
}

// An ellipsis: three dots, read by name first at `all`.
void put_ellipsis(output &out, const unit &u, const pass_state &st) {
    if (st.lvl == punct_level::all) put_unit_name(out, st, u);
    out.blank_due = false;
    put_str(out, "...");
}

// The fewest copies of one symbol in a row that are a line or a filler
// (****, ====, ----), not symbols to read one by one.
constexpr size_t min_symbol_run = 4;

// Whether the unit can make such a run: the symbols and the signs that
// stand in for them, not letters, blanks or the marks that shape speech.
bool can_repeat(kind k) {
    switch (k) {
    case kind::hyphen:
    case kind::colon:
    case kind::at:
    case kind::symbol:
    case kind::pause: return true;
    default: return false;
    }
}

// A run of copies of one unit: where it ends, and how many.
struct symbol_run {
    const unsigned char *end;  // null when there are fewer than min_symbol_run
    size_t count;
};

/*
 * The run of copies of the unit from `src` to `next`. Compares byte by
 * byte, so that it stops at the NUL.
 */
symbol_run symbol_run_at(const unsigned char *src, const unsigned char *next) {
    const size_t len = static_cast<size_t>(next - src);
    const unsigned char *p = next;
    size_t n = 1;
    for (;;) {
        size_t i = 0;
        while (i < len && p[i] == src[i]) ++i;
        if (i < len) break;
        p += len;
        ++n;
    }
    return {n >= min_symbol_run ? p : nullptr, n};
}

// A name's count, after the language's word: "star times 72".
void put_count(output &out, const spoken_names *names, size_t n) {
    put(out, ' ');
    put_str(out, text_names::words_of(names).times);
    put(out, ' ');
    char digits[3 * sizeof n];
    size_t i = sizeof digits;
    do {
        digits[--i] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n > 0);
    put_str(out, std::string_view(digits + i, sizeof digits - i));
}
static_assert(1 + max_unit_name_bytes + max_word_bytes + 3 * sizeof(size_t) <= max_unit_bytes,
              "a run's name and count must fit a unit's room");

/*
 * A run of one symbol, which ends at `end`. At `all` it is its name once
 * with its count ("star times 72"), so that the listener hears what and
 * how long without a list of names; below it, it is a pause, or nothing
 * at the start of a line, where the line break already pauses (one
 * blank when it opens the text, which is then not empty). Returns where
 * input resumes.
 */
const unsigned char *put_symbol_run(output &out, const unit &u, const unsigned char *end,
                                    size_t count, const pass_state &st) {
    const punct_level lvl = st.lvl;
    if (lvl == punct_level::all) {
        put_unit_name(out, st, u);
        put_count(out, st.names, count);
        return end;
    }
    if (!opens_line(out)) return put_comma_break(out, end, lvl);
    if (out.len == 0) put(out, ' ');
    return end;
}

/*
 * A character that only the dialect's double-byte code page holds (an
 * ideograph, kana, hangul), from `src` to `next`: escaped for the last
 * stage, which writes it in the page, as part of the word it is in.
 * False when the page is Windows-1252 or lacks it.
 */
bool put_page_character(output &out, const unsigned char *src, const unsigned char *next,
                        const pass_state &st) {
    char bytes[4];
    if (!is_double_byte(st.page) || page_bytes(st.page, st.cp, bytes) == 0) return false;
    begin_word(out);
    put(out, static_cast<char>(page_escape));
    put_str(out, std::string_view(reinterpret_cast<const char *>(src),
                                  static_cast<size_t>(next - src)));
    return true;
}

/*
 * Writes the unit `u` found at `src` in running text, where `next` is
 * the input after it. Returns where input resumes (after `next` only
 * when a comma break skipped some). Sets st.prev_word for the next unit.
 */
const unsigned char *put_text_unit(output &out, const unit &u, const unsigned char *src,
                                   const unsigned char *next, pass_state &st) {
    const bool after_word = st.prev_word;
    st.prev_word = false;  // also for the comma breaks, which return early
    const punct_level lvl = st.lvl;
    if (*next == *src && can_repeat(u.k)) {
        const symbol_run run = symbol_run_at(src, next);
        if (run.end != nullptr) return put_symbol_run(out, u, run.end, run.count, st);
    }
    switch (u.k) {
    case kind::drop: st.prev_word = after_word; break;  // the word goes on
    case kind::blank: put_attached(out, u.ch); break;
    case kind::letter:
        put_letters(out, u, src);
        st.prev_word = true;
        break;
    case kind::digit:
        put_digit(out, u.ch);
        st.prev_word = true;
        break;
    case kind::mark: put_mark(out, u, next, st, after_word); break;
    case kind::apostrophe: st.prev_word = put_apostrophe(out, u, next, st); break;
    case kind::prime:
        // After a number it is a unit (feet, or minutes of arc); elsewhere
        // it stands in for the apostrophe or quote it looks like.
        if (after_word && is_digit(last_byte(out)) && !out.blank_due) {
            put_unit_name(out, st, u);
            break;
        }
        st.prev_word = after_word;
        st.cp = static_cast<unsigned char>(u.ch);
        return put_text_unit(out, classify(st.cp), src, next, st);
    case kind::hyphen: return put_hyphen(out, u, src, next, st, after_word);
    case kind::colon: return put_colon(out, u, next, st, after_word);
    case kind::at: put_at(out, u, next, st, after_word); break;
    case kind::symbol: return put_symbol(out, u, src, next, st, after_word);
    case kind::named: put_unit_name(out, st, u); break;
    case kind::currency: return put_currency_alone(out, u, src, next, st);
    case kind::pause: return put_comma_break(out, next, lvl);
    case kind::ellipsis: put_ellipsis(out, u, st); break;
    case kind::other:
        if (put_page_character(out, src, next, st)) {
            st.prev_word = true;
            break;
        }
        put_attached(out, ' ');
        break;
    }
    return next;
}

// A key name's underscores are blanks ("shift_a"): the byte whose unit
// stands for `c`.
unsigned char key_byte(unsigned char c, bool key) { return key && c == '_' ? ' ' : c; }

// Whether the bytes at `p` are U+FE0F, which asks for a character to be
// shown as an emoji.
bool emoji_selector_at(const unsigned char *p) { return p[0] == 0xEF && p[1] == 0xB8 && p[2] == 0x8F; }

// `p` after the variation selectors U+FE0E and U+FE0F that begin there.
const unsigned char *after_selectors(const unsigned char *p) {
    while (p[0] == 0xEF && p[1] == 0xB8 && (p[2] == 0x8E || p[2] == 0x8F)) p += 3;
    return p;
}

/*
 * The emoji that begins at `src` with the code point `cp` of `bytes`
 * bytes, in `m`: a sequence CLDR names (a keycap, a skin tone, a family,
 * a flag), longest first, or a character that Unicode shows as an emoji
 * or that U+FE0F asks to be shown as one. A character CLDR does not name
 * has an empty name in `m`, for its character name. False for anything
 * else, a symbol among them, which is read at its level.
 */
bool emoji_at(const spoken_names *names, const unsigned char *src, uint32_t cp, size_t bytes,
              text_names::sequence_match *m) {
    if (cp < 0x80) {
        // A keycap: the key, perhaps U+FE0F, then U+20E3.
        const unsigned char *cap = src + 1 + (emoji_selector_at(src + 1) ? 3 : 0);
        return (is_digit(static_cast<unsigned char>(cp)) || cp == '#' || cp == '*') &&
               cap[0] == 0xE2 && cap[1] == 0x83 && cap[2] == 0xA3 &&
               text_names::longest_sequence(names, src, m) && m->points > 1;
    }
    // In the emoji's own block every key CLDR names is an emoji.
    const bool in_emoji_block = cp >= 0x1F000 && cp < 0x1FB00;
    if (in_emoji_block && text_names::longest_sequence(names, src, m)) return true;
    if (!emoji_selector_at(src + bytes) && !text_names::is_pictograph(cp)) return false;
    if (!in_emoji_block && text_names::longest_sequence(names, src, m)) return true;
    *m = {static_cast<size_t>(after_selectors(src + bytes) - src), 1, {}};
    return true;
}

// Whether a unit of the tables may be shown as an emoji when U+FE0F
// follows it (the copyright sign, an arrow, a small square), not a
// letter, a blank or a character that vanishes.
bool may_be_emoji(kind k) { return k == kind::symbol || k == kind::pause || k == kind::named; }

// Whether the emoji `m` found at `src` comes again, the same and no
// longer, at `p`. Compares byte by byte, so that it stops at the NUL.
bool same_emoji_at(const spoken_names *names, const unsigned char *src, const unsigned char *p,
                   const text_names::sequence_match &m) {
    for (size_t i = 0; i < m.bytes; ++i) {
        if (p[i] != src[i]) return false;
    }
    text_names::sequence_match again;
    bool named = text_names::longest_sequence(names, p, &again);
    return named ? !m.name.empty() && again.bytes == m.bytes : m.name.empty();
}

/*
 * An emoji, read by its name at every level: its meaning is the text's,
 * not punctuation. A run of the same one is read once with its count,
 * as a run of symbols is ("thumbs up times 3"). Returns where input
 * resumes.
 */
const unsigned char *put_emoji(output &out, const text_names::sequence_match &m,
                               const unsigned char *src, pass_state &st) {
    size_t count = 1;
    const unsigned char *p = src + m.bytes;
    while (same_emoji_at(st.names, src, p, m)) {
        p += m.bytes;
        ++count;
    }
    if (m.name.empty())
        put_unit_name(out, st, {kind::named, punct_level::none, fallback::space, false, 0, nullptr});
    else
        put_name(out, m.name);
    if (count > 1) {
        put_count(out, st.names, count);
    }
    st.prev_word = false;
    return p;
}

// The blank that may stand between an amount and its sign ("20 \xE2\x82\xAC"):
// a space, a no-break space or a narrow no-break space. Its bytes when
// it begins at `p`, or 0.
size_t money_blank_at(const unsigned char *p) {
    if (p[0] == ' ') return 1;
    if (p[0] == 0xC2 && p[1] == 0xA0) return 2;
    if (p[0] == 0xE2 && p[1] == 0x80 && p[2] == 0xAF) return 3;
    return 0;
}

// The same blank when it ends right before `at`, no earlier than `text`.
size_t money_blank_before(const unsigned char *text, const unsigned char *at) {
    const size_t room = static_cast<size_t>(at - text);
    if (room >= 1 && at[-1] == ' ') return 1;
    if (room >= 2 && at[-2] == 0xC2 && at[-1] == 0xA0) return 2;
    if (room >= 3 && at[-3] == 0xE2 && at[-2] == 0x80 && at[-1] == 0xAF) return 3;
    return 0;
}

// The end of the amount that begins at `p`: digits, with a single "."
// or "," between digits (1,000.50).
const unsigned char *amount_end(const unsigned char *p) {
    for (;;) {
        while (is_digit(*p)) ++p;
        if ((*p != '.' && *p != ',') || !is_digit(p[1])) return p;
        ++p;
    }
}

/* Whether the amount that ends at `end` (and begins no earlier than
 * `text`) is exactly 1, which takes the singular: "1 euro", but "21
 * euros" and "1.50 euros". */
bool amount_is_one(const pass_state &st, const unsigned char *end) {
    const unsigned char *begin = end;
    while (begin > st.text && (is_digit(begin[-1]) ||
                               ((begin[-1] == '.' || begin[-1] == ',') && begin - 1 > st.text &&
                                is_digit(begin[-2]) && begin < end)))
        --begin;
    return text_names::money_singular(
        st.names, std::string_view(reinterpret_cast<const char *>(begin),
                                   static_cast<size_t>(end - begin)));
}

const unsigned char *put_unit_at(output &out, const unsigned char *src, pass_state &st);

/*
 * Copies the byte at `src` when it is an ASCII letter, digit or space
 * that no rule touches, which most of a text is, and moves `src` past
 * it: true when it did. After a name, the blank due before a word is
 * written first, as begin_word does (a space is that blank itself), so
 * the letter or digit meets no other. A digit before a multi-byte
 * sequence may begin a keycap and is not copied here. Room is made.
 */
inline bool copied_as_is(output &out, const unsigned char *&src, pass_state &st) {
    const unsigned char c = *src;
    if (c >= 0x80) return false;
    const ascii_fast f = ascii_fast_path[c];
    if (f == ascii_fast::no || (f == ascii_fast::digit && src[1] >= 0x80)) return false;
    if (out.blank_due) {
        if (f != ascii_fast::space && !is_blank(last_byte(out))) out.buf[out.len++] = ' ';
        out.blank_due = false;
    } else if (meets_digit(f, last_byte(out))) {
        return false;
    }
    out.buf[out.len++] = static_cast<char>(c);
    st.prev_word = f != ascii_fast::space;
    ++src;
    return true;
}


/*
 * A currency sign at `src` read in the order money is spoken: after an
 * amount before it (20\xE2\x82\xAC, "20 \xE2\x82\xAC"), the sign's money word; before
 * an amount (\xE2\x82\xAC" "20, $5.99), the amount, written unit by unit as any
 * number is, then the word: "20 euros", "1 dollar". An amount that
 * touches the sign is its own before one a blank apart, so that in
 * "\xC2\xA3" "5 $5" each sign takes the amount after it. Returns where input
 * resumes: `src` itself when the sign has no amount beside it or names
 * no currency, null when the output cannot grow. The amount's marks are
 * moved as the pass moves them.
 */
const unsigned char *put_money(output &out, const unsigned char *src, const unsigned char *next,
                               pass_state &st) {
    const bool touches_before = src > st.text && is_digit(src[-1]);
    const bool touches_after = is_digit(*next);
    const unsigned char *before = src - money_blank_before(st.text, src);
    const unsigned char *amount = next + money_blank_at(next);
    const bool after = !touches_before && (touches_after || !(before > st.text && is_digit(before[-1])));
    text_names::money_words w;
    if ((after ? !is_digit(*amount) : false) || !text_names::money_words_of(st.names, st.cp, &w))
        return src;
    if (!after) {
        st.prev_word = false;
        put_name(out, amount_is_one(st, before) ? w.one : w.other);
        return next;
    }
    const unsigned char *end = amount_end(amount);
    const bool one = amount_is_one(st, end);
    st.prev_word = false;
    const unsigned char *at = amount;
    while (at < end) {
        note_input(out.marks, static_cast<size_t>(at - st.text), out.len);
        if (!make_room(out)) return nullptr;
        if (copied_as_is(out, at, st)) continue;
        at = put_unit_at(out, at, st);
        if (at == nullptr) return nullptr;
    }
    if (!make_room(out)) return nullptr;
    put_name(out, one ? w.one : w.other);
    return at;
}

/*
 * One input unit of running text at `src` that copied_as_is leaves, with
 * room made and the marks before it moved: returns where input resumes,
 * or null when the output cannot grow.
 */
const unsigned char *put_multibyte_at(output &out, const unsigned char *src, pass_state &st);

// put_unit_at for an ASCII byte.
inline const unsigned char *put_ascii_at(output &out, const unsigned char *src, pass_state &st) {
    const unsigned char c = *src;
    text_names::sequence_match m;
    if (src[1] >= 0x80 && emoji_at(st.names, src, c, 1, &m)) return put_emoji(out, m, src, st);
    st.cp = key_byte(c, st.key);
    const unit u = classify(st.cp);
    if (u.k == kind::currency) {
        const unsigned char *r = put_money(out, src, src + 1, st);
        if (r != src) return r;
    }
    return put_text_unit(out, u, src, src + 1, st);
}

inline const unsigned char *put_unit_at(output &out, const unsigned char *src, pass_state &st) {
    return *src < 0x80 ? put_ascii_at(out, src, st) : put_multibyte_at(out, src, st);
}

// put_unit_at for a UTF-8 sequence.
const unsigned char *put_multibyte_at(output &out, const unsigned char *src, pass_state &st) {
    text_names::sequence_match m;
    if (*src == 0xC3 && is_continuation(src[1]) && src[1] != 0x97 && src[1] != 0xB7) {
        // A letter of Latin-1 (U+00C0 to U+00FF but the times and
        // division signs): its code-page byte is its code point.
        return put_text_unit(out, letter_unit(static_cast<char>(0xC0 | (src[1] & 0x3F))), src,
                             src + 2, st);
    }
    decoded d = decode(src);
    if (d.cut) return src + 1;  // as the sanitiser: the lone lead byte vanishes
    st.cp = d.cp;
    const unsigned char *next = src + d.bytes;
    // The plane of the emoji, where the tables list nothing: the emoji
    // first, without classifying what nearly always is one.
    if (d.cp >= 0x1F000 && d.cp < 0x20000 && emoji_at(st.names, src, d.cp, d.bytes, &m))
        return put_emoji(out, m, src, st);
    bool listed = false;
    const unit u = classify_memo(st.memo, d.cp, &listed);
    if ((listed ? may_be_emoji(u.k) && emoji_selector_at(next) : u.k != kind::other) &&
        emoji_at(st.names, src, d.cp, d.bytes, &m))
        return put_emoji(out, m, src, st);
    if (u.k == kind::currency) {
        const unsigned char *r = put_money(out, src, next, st);
        if (r != src) return r;
    }
    return put_text_unit(out, u, src, next, st);
}

/*
 * After a byte that copied_as_is copied, the bytes after it that it
 * would copy too, up to the end of the room there is: in one tight loop
 * that keeps the last byte at hand, since most of a text is such runs.
 * The marks move as faithful_text moves them, one unit at a time.
 */
template <bool tracking>
void copy_run(output &out, const unsigned char *&src, pass_state &st, const unsigned char *text) {
    char *const buf = out.buf;
    const size_t end = out.cap - 1;  // the NUL's byte
    size_t len = out.len;
    unsigned char last = static_cast<unsigned char>(buf[len - 1]);
    const unsigned char *p = src;
    while (len < end) {
        const unsigned char c = *p;
        if (c >= 0x80) break;
        const ascii_fast f = ascii_fast_path[c];
        if (f == ascii_fast::no || meets_digit(f, last) || (f == ascii_fast::digit && p[1] >= 0x80))
            break;
        if constexpr (tracking) note_input(out.marks, static_cast<size_t>(p - text), len);
        buf[len++] = static_cast<char>(c);
        last = c;
        ++p;
    }
    if (p != src) st.prev_word = last != ' ';
    out.len = len;
    src = p;
}

/*
 * The faithful pass over running text, the NUL-terminated `text`, into
 * `out`, with the language's `names`. False when the output cannot grow.
 */
template <bool tracking>
bool faithful_text(output &out, const unsigned char *text, punct_level lvl, bool key,
                   const spoken_names *names, code_page page) {
    pass_state st{lvl,  key, false, nullptr, names, text_names::latin1_names(names),
                  0,    text, page, unit_memo()};
    const unsigned char *src = text;
    while (*src != 0) {
        // One input unit begins here: the marks before it stand where
        // what it writes begins.
        if constexpr (tracking) note_input(out.marks, static_cast<size_t>(src - text), out.len);
        if (!make_room(out)) return false;
        if (copied_as_is(out, src, st)) {
            copy_run<tracking>(out, src, st, text);
            continue;
        }
        src = put_unit_at(out, src, st);
        if (src == nullptr) return false;
    }
    if constexpr (tracking) end_stage(out.marks, out.len);
    out.buf[out.len] = '\0';
    return true;
}

// One spelled item, apart from the item before it, after the language's
// word for a capital when `capital` is not null.
void put_spelled(output &out, std::string_view item, const char *capital) {
    if (out.len > 0 && !is_blank(last_byte(out))) put(out, ' ');
    if (capital != nullptr) {
        put_str(out, capital);
        put(out, ' ');
    }
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

// A spelled unit of code point `cp`: every letter and digit on its own,
// symbols by name.
void put_spelled_unit(output &out, const unit &u, bool caps, const spoken_names *names,
                      uint32_t cp) {
    const char *capital = text_names::words_of(names).capital;
    switch (u.k) {
    case kind::drop: break;
    case kind::blank: put_word_break(out); break;
    case kind::letter:
        if (u.text != nullptr) {
            for (const char *p = u.text; *p != '\0'; ++p)
                put_spelled(out, std::string_view(p, 1),
                            caps && is_upper_byte(static_cast<unsigned char>(*p)) ? capital
                                                                                   : nullptr);
        } else {
            put_spelled(out, std::string_view(&u.ch, 1), caps && u.upper ? capital : nullptr);
        }
        break;
    case kind::digit: put_spelled(out, std::string_view(&u.ch, 1), nullptr); break;
    case kind::named:
        if (u.text != nullptr) {
            put_spelled(out, u.text, caps && u.upper ? capital : nullptr);
            break;
        }
        put_unit_name(out, names, cp, u);
        break;
    default: put_unit_name(out, names, cp, u); break;
    }
}

/*
 * The spelling pass over the NUL-terminated `text` into `out`: the same
 * walk as faithful_text, each unit spelled. A character that leaves no
 * spelling (a lone zero-width character) is "symbol" when `name_required`.
 * False when the output cannot grow.
 */
template <bool tracking>
bool spell_text(output &out, const unsigned char *text, bool caps, bool name_required,
                const spoken_names *names) {
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
        text_names::sequence_match m;
        bool listed = false;
        const unit u = classify_any(d.cp, &listed);
        if ((d.cp < 0x80 ||
             (listed ? may_be_emoji(u.k) && emoji_selector_at(src + d.bytes) : u.k != kind::other)) &&
            emoji_at(names, src, d.cp, d.bytes, &m)) {
            if (m.name.empty())
                put_unit_name(out, names, d.cp, u);
            else
                put_spelled(out, m.name, nullptr);
            src += m.bytes;
            continue;
        }
        put_spelled_unit(out, u, caps, names, d.cp);
        src += d.bytes;
    }
    if (out.len == 0 && name_required) put_str(out, text_names::words_of(names).symbol);
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
                         NRVMessageType type, const spoken_names *names, code_page page,
                         mark_store *marks) {
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
        ok = marks ? spell_text<true>(out, text, caps, named, names)
                   : spell_text<false>(out, text, caps, named, names);
    else
        ok = marks ? faithful_text<true>(out, text, lvl, key, names, page)
                   : faithful_text<false>(out, text, lvl, key, names, page);
    if (!ok) {
        free(out.buf);
        return nullptr;
    }
    return out.buf;
}

/* The name of a character message that holds a lone blank, as a new
 * string: the intake gives the space key's name as one space, which
 * trimming would empty. Null for any other message, or when the copy
 * cannot be allocated. */
char *lone_blank_name(const char *text, size_t len, const spoken_names *names) {
    if (len != 1 || text == nullptr || !is_blank(static_cast<unsigned char>(text[0])))
        return nullptr;
    char name[text_names::max_name_bytes + 1];
    size_t n = text_names::symbol_name(names, static_cast<unsigned char>(text[0]), name);
    if (n == 0) return nullptr;
    name[n] = '\0';
    return strdup(name);
}

/*
 * A copy of a character or key message that is one character, not a
 * blank: the character itself, never markup or an entity, so that a
 * "<" is read "less" rather than dropped as the start of a tag. Null
 * when the message is anything else, or the copy cannot be allocated.
 */
char *one_character_copy(const char *text, size_t len) {
    if (text == nullptr || len == 0 || len > 4 || text[0] == '\0' ||
        is_blank(static_cast<unsigned char>(text[0])))
        return nullptr;
    unsigned char bytes[5] = {};
    memcpy(bytes, text, len);
    decoded d = decode(bytes);
    if (d.cut || d.bytes != len) return nullptr;
    char *copy = static_cast<char *>(malloc(len + 1));
    if (copy != nullptr) memcpy(copy, bytes, len + 1);
    return copy;
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
 * Stage one as prepare_text runs it, the Unicode stage (composed
 * accents, other alphabets in Latin letters), then stage two by the
 * kind of the message: running text (TEXT, SOUND_ICON and the kinds the protocol
 * never produces) is rewritten, or spelled while spelling is on; a
 * character, and a key name of one character, is spelled, which reads
 * it by name; a longer key name is rewritten with its underscores as
 * blanks. A character or key of one character skips stage one: it is
 * never markup. On success the caller owns exactly the result; every
 * other buffer is freed on every path.
 */
namespace {

/* The names of the settings' language: English when none is set or
 * there is no table for it, and when its names need a double-byte page
 * and the text is not in one (their escapes would reach the engine). */
const spoken_names *names_of(const faithful_settings *s) {
    const spoken_names *names =
        s->language != nullptr ? text_names::names_for_language(s->language) : nullptr;
    if (names == nullptr || (text_names::needs_double_byte_page(names) && !is_double_byte(s->page)))
        return text_names::default_names();
    return names;
}

char *faithful(const char *text, size_t len, NRVMessageType type, const faithful_settings *s,
               mark_store *marks) {
    const faithful_settings defaults{};
    if (s == nullptr) s = &defaults;
    const spoken_names *names = names_of(s);
    const bool named = type == NRV_MSGTYPE_CHAR || type == NRV_MSGTYPE_KEY;
    char *plain = named ? one_character_copy(text, len) : nullptr;
    if (plain == nullptr) plain = strip_markup_as_xml(text, len, marks);
    // Composed and in the code page's letters before stage two, which
    // then classifies each character as the code page has it.
    if (plain != nullptr) plain = text_unicode::unicode_stage(plain, marks);
    if (plain == nullptr) return nullptr;
    if (plain[0] == '\0') {
        free(plain);
        return type == NRV_MSGTYPE_CHAR ? lone_blank_name(text, len, names) : nullptr;
    }
    const bool caps = s->capitals == caps_mode::spell;
    rewrite how = s->spelling ? rewrite::spell : rewrite::text;
    if (named)
        how = is_one_character(reinterpret_cast<const unsigned char *>(plain)) ? rewrite::spell
                                                                               : rewrite::text;
    char *clean =
        rewrite_for_engine(plain, how, s->punctuation, caps, type, names, s->page, marks);
    free(plain);
    if (clean != nullptr && is_double_byte(s->page)) clean = to_code_page(clean, s->page, marks);
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
