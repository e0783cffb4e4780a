// SPDX-License-Identifier: BSD-2-Clause
/*
 * Text preparation: the two stages between the bytes a message arrives
 * with and the text the engine is given.
 *
 * Stage one, strip_ssml, copies the message without its markup tags,
 * decodes the five predefined XML entities and trims TAB, LF and space at
 * both ends. Stage two, sanitize_for_corvane, runs for plain text and
 * sound icons only: it rewrites the text byte by byte into the ASCII the
 * engine takes safely, turning brackets, colons, semicolons and dashes
 * into comma pauses, spelling out four currency signs and replacing
 * everything else it does not pass with a space.
 *
 * The message's bytes are read, never changed, and never past their
 * count; each later step reads a NUL-terminated copy and never past its
 * NUL. Text is taken as UTF-8 without full validation: a lead byte
 * without its continuation bytes vanishes, any other malformed sequence
 * becomes a space, and neither is an error. There is no state;
 * the tables and words below are constant.
 */
#include "quorlin_text.h"

#include <array>
#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// A predefined XML entity: the entity as written, the character it
// stands for, and how many bytes of `entity` must match.
struct entity_record {
    const char *entity;
    char ch;
    int len;
};

// Searched in this order; the first match wins.
constexpr entity_record entities[] = {
    {"&amp;", '&', 5},
    {"&lt;", '<', 4},
    {"&gt;", '>', 4},
    {"&apos;", '\'', 6},
    {"&quot;", '"', 6},
};

// Spoken in place of the currency signs; only the letters are written.
constexpr char word_pound[] = "pound";
constexpr char word_yen[] = "yen";
constexpr char word_cent[] = "cent";
constexpr char word_euro[] = "euro";

// What the sanitiser makes of a byte below 80 hex.
enum class ascii_action : unsigned char {
    space,        // one space: control bytes, DEL, the other punctuation
    keep,         // the byte, unchanged
    letter,       // the byte, after a space when it follows a digit
    digit,        // the byte, after a space when it follows a letter
    comma_break,  // a pause, see put_comma_break
};

constexpr std::array<ascii_action, 128> make_ascii_actions()
{
    std::array<ascii_action, 128> actions{};  // all ascii_action::space
    for (unsigned char c = 'A'; c <= 'Z'; ++c)
        actions[c] = ascii_action::letter;
    for (unsigned char c = 'a'; c <= 'z'; ++c)
        actions[c] = ascii_action::letter;
    for (unsigned char c = '0'; c <= '9'; ++c)
        actions[c] = ascii_action::digit;
    for (char c : std::string_view("\t\n !$',.?"))
        actions[static_cast<unsigned char>(c)] = ascii_action::keep;
    for (char c : std::string_view("()[]{}:;"))
        actions[static_cast<unsigned char>(c)] = ascii_action::comma_break;
    return actions;
}

constexpr std::array<ascii_action, 128> ascii_actions = make_ascii_actions();

// The sanitiser's result under construction. The buffer is sized for the
// longest possible result, so appending never needs to check for room.
struct output {
    char *buf;   // the result, owned by the caller of sanitize_for_corvane
    size_t len;  // bytes written so far
    size_t cap;  // bytes allocated, the terminating NUL included
};

bool is_blank(char c)
{
    return c == '\t' || c == '\n' || c == ' ';
}

bool is_alpha(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// Bytes that a comma break swallows right after the character that
// triggered it, so that "a:?! b" does not pause twice.
bool is_pause_punct(unsigned char c)
{
    return c == '!' || c == ',' || c == '.' || c == ':' || c == ';' || c == '?';
}

/*
 * Copies `msg` into `dst` without its tags and returns the number of bytes
 * copied, which is at most msg.size(). A tag runs from "<" to the first
 * ">" with no nesting and no quoting: a stray ">" is dropped, and a "<"
 * that is never closed drops everything after it. A NUL outside a tag
 * ends the text; one inside a tag goes with the tag.
 */
size_t remove_tags(std::string_view msg, char *dst)
{
    bool in_tag = false;
    size_t n = 0;
    for (char c : msg) {
        if (c == '<') {
            in_tag = true;
        } else if (c == '>') {
            in_tag = false;
        } else if (!in_tag) {
            if (c == '\0')
                break;
            dst[n++] = c;
        }
    }
    return n;
}

// The entity that `at` (an "&") begins, or null.
const entity_record *match_entity(const char *at)
{
    for (const entity_record &e : entities) {
        if (strncmp(at, e.entity, static_cast<size_t>(e.len)) == 0)
            return &e;
    }
    return nullptr;
}

/*
 * Trims TAB, LF and space at both ends of a NUL-terminated text in place,
 * moving the text at most once. Only these three count as blanks: a CR,
 * VT or FF stays wherever it is.
 */
void trim_blanks(char *text)
{
    size_t len = strlen(text);
    if (len == 0)
        return;
    size_t start = 0;
    while (start < len && is_blank(text[start]))
        ++start;
    size_t end = len - 1;
    while (end > start && is_blank(text[end]))
        --end;
    // A text of blanks only leaves start == len and end == len - 1: the
    // NUL below is already there and the move carries just the NUL.
    text[end + 1] = '\0';
    if (start > 0)
        memmove(text, text + start, end + 2 - start);
}

/*
 * The bytes to allocate for the sanitised form of a text of `n` bytes:
 * every byte yields at most two output bytes except the pound sign, whose
 * two bytes yield five, so 2.5 n, plus the NUL. False when that does not
 * fit in a size_t, which a 32-bit build reaches at about 1.6 GiB.
 */
bool sanitized_capacity(size_t n, size_t *bytes)
{
    size_t half = n / 2;
    if (n > (SIZE_MAX - 1 - half) / 2)
        return false;
    *bytes = 2 * n + half + 1;
    return true;
}

void put(output &out, char c)
{
    assert(out.len + 1 < out.cap);
    out.buf[out.len++] = c;
}

// The last byte written, or NUL while the output is empty.
char last_byte(const output &out)
{
    return out.len > 0 ? out.buf[out.len - 1] : '\0';
}

// A letter or digit, kept apart from a digit or letter written just
// before it so that the engine reads "mp3" as "mp 3".
void put_alnum(output &out, char c)
{
    char prev = last_byte(out);
    if ((is_alpha(c) && is_digit(prev)) || (is_digit(c) && is_alpha(prev)))
        put(out, ' ');
    put(out, c);
}

// A currency word, written as is: no space on either side, whatever
// came before it.
void put_word(output &out, std::string_view word)
{
    for (char c : word)
        put(out, c);
}

/*
 * A pause for the engine: the spaces and tabs just written give way to
 * ", " (to a lone space at the very start of the output; an LF stays),
 * then a run of ! , . : ; ? and a run of spaces and tabs after the
 * triggering character are skipped so that the pause does not pile up.
 * `next` is the input after that character; returns where input resumes.
 */
const unsigned char *put_comma_break(output &out, const unsigned char *next)
{
    while (out.len > 0 && (out.buf[out.len - 1] == ' ' || out.buf[out.len - 1] == '\t'))
        --out.len;
    if (out.len > 0)
        put(out, ',');
    put(out, ' ');
    while (is_pause_punct(*next))
        ++next;
    while (*next == ' ' || *next == '\t')
        ++next;
    return next;
}

// The length of the UTF-8 sequence that `lead` begins, judged by the lead
// byte alone: stray continuation bytes and C0, C1 count as two-byte leads.
size_t sequence_length(unsigned char lead)
{
    if (lead < 0xE0)
        return 2;
    return lead < 0xF0 ? 3 : 4;
}

bool is_continuation(unsigned char c)
{
    return c >= 0x80 && c <= 0xBF;
}

/*
 * Writes what the multi-byte sequence at `src` stands for and returns
 * where the input resumes. A sequence is complete only when every byte
 * its lead needs is a continuation byte. Otherwise only the lead byte is
 * dropped and the bytes after it are taken in turn: a Latin-1 letter or
 * a sequence cut off by the NUL must not swallow the letters, digits or
 * line feeds that follow it. The check stops at the first byte that is
 * not a continuation, so none is read past the NUL.
 */
const unsigned char *put_sequence(output &out, const unsigned char *src)
{
    size_t seqlen = sequence_length(*src);
    for (size_t i = 1; i < seqlen; ++i) {
        if (!is_continuation(src[i]))
            return src + 1;
    }
    std::string_view seq(reinterpret_cast<const char *>(src), seqlen);
    const unsigned char *next = src + seqlen;
    if (seq == "\xC2\xA3")
        put_word(out, word_pound);
    else if (seq == "\xC2\xA5")
        put_word(out, word_yen);
    else if (seq == "\xC2\xA2")
        put_word(out, word_cent);
    else if (seq == "\xE2\x82\xAC")
        put_word(out, word_euro);
    else if (seq == "\xE2\x80\x93" || seq == "\xE2\x80\x94")  // en and em dash
        return put_comma_break(out, next);
    else
        put(out, ' ');
    return next;
}

// The sanitising pass over a NUL-terminated text into `out`.
void sanitize_into(output &out, const unsigned char *src)
{
    while (*src != 0) {
        unsigned char c = *src;
        if (c >= 0x80) {
            src = put_sequence(out, src);
            continue;
        }
        switch (ascii_actions[c]) {
        case ascii_action::space:
            put(out, ' ');
            break;
        case ascii_action::keep:
            put(out, static_cast<char>(c));
            break;
        case ascii_action::letter:
        case ascii_action::digit:
            put_alnum(out, static_cast<char>(c));
            break;
        case ascii_action::comma_break:
            src = put_comma_break(out, src + 1);
            continue;
        }
        ++src;
    }
    out.buf[out.len] = '\0';
}

}  // namespace

/*
 * Both stages as one: on success the caller owns exactly the returned
 * string. A text that is empty after stage one, or after stage two for
 * the types that take it, is a failure like a failed allocation; every
 * intermediate buffer is freed on every path.
 */
char *prepare_text(const char *text, size_t len, NRVMessageType type)
{
    char *plain = strip_ssml(text, len);
    if (plain == nullptr || plain[0] == '\0') {
        free(plain);
        return nullptr;
    }
    // Characters and key names are spoken as named; only running text
    // and sound icons are rewritten for the engine.
    if (type != NRV_MSGTYPE_TEXT && type != NRV_MSGTYPE_SOUND_ICON)
        return plain;
    char *clean = sanitize_for_corvane(plain);
    free(plain);
    if (clean == nullptr || clean[0] == '\0') {
        free(clean);
        return nullptr;
    }
    return clean;
}

char *strip_ssml(const char *text, size_t len)
{
    if (text == nullptr)
        len = 0;
    // No real message is SIZE_MAX bytes long; the count + 1 would wrap.
    if (len == SIZE_MAX)
        return nullptr;
    char *copy = static_cast<char *>(malloc(len + 1));
    if (copy == nullptr)
        return nullptr;
    size_t n = len > 0 ? remove_tags(std::string_view(text, len), copy) : 0;
    copy[n] = '\0';
    // Tags go first so that a "<" or ">" decoded from an entity is text,
    // never markup.
    decode_xml_entities(copy);
    trim_blanks(copy);
    return copy;
}

/*
 * One pass with a read and a write position; the output is never longer
 * than the input, and is never scanned again, so "&amp;lt;" gives "&lt;".
 * Only the lower-case forms with their semicolon are entities: "&AMP;",
 * "&lt" and "&#60;" keep their "&".
 */
void decode_xml_entities(char *text)
{
    if (text == nullptr)
        return;
    const char *src = text;
    char *dst = text;
    while (*src != '\0') {
        const entity_record *e = *src == '&' ? match_entity(src) : nullptr;
        if (e != nullptr) {
            *dst++ = e->ch;
            src += e->len;
        } else {
            *dst++ = *src++;
        }
    }
    *dst = '\0';
}

/*
 * The result is not trimmed again: it may begin with a space (a text that
 * began with "(") and end with a space or ", ". It is empty only when
 * every byte of the text was a lead byte without its continuation bytes.
 */
char *sanitize_for_corvane(const char *text)
{
    if (text == nullptr)
        return nullptr;
    size_t cap = 0;
    if (!sanitized_capacity(strlen(text), &cap))
        return nullptr;
    char *buf = static_cast<char *>(malloc(cap));
    if (buf == nullptr)
        return nullptr;
    output out{buf, 0, cap};
    sanitize_into(out, reinterpret_cast<const unsigned char *>(text));
    return buf;
}
