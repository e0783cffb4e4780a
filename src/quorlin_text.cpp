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
 *
 * The faithful preparation takes stage one as strip_markup_as_xml, which
 * reads markup as XML does, in one pass: comments dropped whole, CDATA
 * content and a "<" that begins no tag kept as text, character
 * references decoded, and markup between two words left as a blank so
 * that they never join. The default path never calls it.
 *
 * Marks ride along without touching the text: stage one records where
 * each <mark> tag stood in its output, and every later step, reading its
 * input once from the start, moves each place from an offset into its
 * input to the length of its output at that point (note_input). The text
 * is therefore the same with or without marks.
 */
#include "quorlin_text.h"

#include "quorlin_marks.h"

#include <array>
#include <bit>
#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

using namespace text_marks;

// A predefined XML entity: the entity as written, the character it
// stands for, and how many bytes of `entity` must match.
struct entity_record {
    const char *entity;
    char ch;
    int len;
};

// Searched in this order; the first match wins.
constexpr entity_record entities[] = {
    {"&amp;", '&', 5}, {"&lt;", '<', 4}, {"&gt;", '>', 4}, {"&apos;", '\'', 6}, {"&quot;", '"', 6},
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

constexpr std::array<ascii_action, 128> make_ascii_actions() {
    std::array<ascii_action, 128> actions{};  // all ascii_action::space
    for (unsigned char c = 'A'; c <= 'Z'; ++c) actions[c] = ascii_action::letter;
    for (unsigned char c = 'a'; c <= 'z'; ++c) actions[c] = ascii_action::letter;
    for (unsigned char c = '0'; c <= '9'; ++c) actions[c] = ascii_action::digit;
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
    char *buf;          // the result, owned by the caller of sanitize_for_corvane
    size_t len;         // bytes written so far
    size_t cap;         // bytes allocated, the terminating NUL included
    mark_store *marks;  // the message's marks, or null
};

bool is_blank(char c) { return c == '\t' || c == '\n' || c == ' '; }

bool is_alpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Bytes that a comma break swallows right after the character that
// triggered it, so that "a:?! b" does not pause twice.
bool is_pause_punct(unsigned char c) {
    return c == '!' || c == ',' || c == '.' || c == ':' || c == ';' || c == '?';
}

// ---- Marks ----

/*
 * Makes room for `more` items of `unit` bytes behind `used` in the block
 * at `*block` of `*capacity` items, doubling it. False, with the block as
 * it was, when it cannot grow or its byte size would not fit a size_t.
 */
bool reserve(void **block, size_t *capacity, size_t used, size_t more, size_t unit) {
    if (more > SIZE_MAX / unit - used) return false;
    size_t needed = used + more;
    if (needed <= *capacity) return true;
    size_t grown = *capacity > 0 ? *capacity : 16;
    while (grown < needed) grown = grown > SIZE_MAX / unit / 2 ? needed : grown * 2;
    void *bigger = realloc(*block, grown * unit);
    if (bigger == nullptr) return false;
    *block = bigger;
    *capacity = grown;
    return true;
}

bool is_tag_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void skip_tag_blanks(std::string_view &tag) {
    while (!tag.empty() && is_tag_blank(tag[0])) tag.remove_prefix(1);
}

/*
 * Whether `tag`, the bytes between "<" and ">", is a mark with a name
 * attribute, and if so that attribute's value, still encoded. Attributes
 * are name="value" or name='value' with blanks allowed around "=", and
 * may end with "/". Anything else is not a mark, only markup.
 */
bool mark_tag_name(std::string_view tag, std::string_view *name) {
    if (!tag.starts_with("mark")) return false;
    tag.remove_prefix(4);
    bool found = false;
    for (;;) {
        if (!tag.empty() && !is_tag_blank(tag[0]) && tag[0] != '/') return false;
        skip_tag_blanks(tag);
        if (tag.starts_with("/")) {
            tag.remove_prefix(1);
            skip_tag_blanks(tag);
            return found && tag.empty();
        }
        if (tag.empty()) return found;
        size_t key_len = 0;
        while (key_len < tag.size() && !is_tag_blank(tag[key_len]) && tag[key_len] != '=' &&
               tag[key_len] != '/')
            ++key_len;
        std::string_view key = tag.substr(0, key_len);
        tag.remove_prefix(key_len);
        skip_tag_blanks(tag);
        if (key.empty() || !tag.starts_with("=")) return false;
        tag.remove_prefix(1);
        skip_tag_blanks(tag);
        if (tag.empty() || (tag[0] != '"' && tag[0] != '\'')) return false;
        size_t close = tag.find(tag[0], 1);
        if (close == std::string_view::npos) return false;
        if (key == "name" && !found) {
            *name = tag.substr(1, close - 1);
            found = true;
        }
        tag.remove_prefix(close + 1);
    }
}

// The length of the well-formed UTF-8 sequence at the start of `s`, or 0:
// no overlong form, no surrogate, nothing beyond U+10FFFF.
size_t utf8_sequence(std::string_view s) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    size_t len = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                 : lead >= 0xF0 && lead <= 0xF4                                  ? 4
                                                                                 : 0;
    if (len == 0 || s.size() < len) return 0;
    for (size_t i = 1; i < len; ++i)
        if ((byte(i) & 0xC0) != 0x80) return 0;
    const unsigned char second = byte(1);
    if (lead == 0xE0 && second < 0xA0) return 0;  // overlong
    if (lead == 0xED && second > 0x9F) return 0;  // a surrogate
    if (lead == 0xF0 && second < 0x90) return 0;  // overlong
    if (lead == 0xF4 && second > 0x8F) return 0;  // beyond U+10FFFF
    return len;
}

// Whether a decoded name can go into the two-line event and be shown: not
// empty, not too long, no control byte (a line feed would end the event,
// DEL and the others garble a log or a terminal), and valid UTF-8.
bool reportable_name(std::string_view name) {
    if (name.empty() || name.size() > max_mark_name_bytes) return false;
    while (!name.empty()) {
        const unsigned char c = static_cast<unsigned char>(name[0]);
        if (c < 0x20 || c == 0x7F) return false;
        size_t len = utf8_sequence(name);
        if (len == 0) return false;
        name.remove_prefix(len);
    }
    return true;
}

/*
 * Records a mark named `raw` (entities not yet decoded) before byte `at`
 * of stage one's output. A name that cannot be reported only counts as
 * dropped.
 */
void add_mark(mark_store &m, size_t at, std::string_view raw) {
    if (m.failed) return;
    if (memchr(raw.data(), '\0', raw.size()) != nullptr) {
        ++m.dropped;
        return;
    }
    void *names = m.names;
    void *marks = m.marks;
    bool room = reserve(&names, &m.names_cap, m.names_len, raw.size() + 1, 1);
    m.names = static_cast<char *>(names);
    room = room && reserve(&marks, &m.capacity, m.count, 1, sizeof(text_mark));
    m.marks = static_cast<text_mark *>(marks);
    if (!room) {
        m.failed = true;
        return;
    }
    char *name = m.names + m.names_len;
    memcpy(name, raw.data(), raw.size());
    name[raw.size()] = '\0';
    decode_xml_entities(name);
    size_t name_len = strlen(name);
    if (!reportable_name(std::string_view(name, name_len))) {
        ++m.dropped;
        return;
    }
    m.marks[m.count++] = text_mark{at, m.names_len};
    m.names_len += name_len + 1;
}

/*
 * A mark inside a word moves to the end of that word: the engine may
 * split its text between sentences, never inside a word. Places stay in
 * order, so each word is scanned once however many marks it holds.
 */
void keep_words_whole(const char *text, size_t len, mark_store &m) {
    size_t floor = 0;
    for (size_t i = 0; i < m.count; ++i) {
        size_t at = m.marks[i].at;
        if (at < floor) at = floor;
        if (at > len) at = len;
        while (at > 0 && at < len && !is_blank(text[at - 1]) && !is_blank(text[at])) ++at;
        m.marks[i].at = at;
        floor = at;
    }
}

/* Where the comment or CDATA section that starts at `at` (a "<") ends,
 * its closing bytes included, or `at` when none starts there. A mark
 * inside one is markup, not a mark; one never closed runs to the end. */
size_t quoted_section_end(std::string_view msg, size_t at) {
    static constexpr struct {
        std::string_view open, close;
    } sections[] = {{"<!--", "-->"}, {"<![CDATA[", "]]>"}};
    std::string_view rest = msg.substr(at);
    for (const auto &q : sections) {
        if (!rest.starts_with(q.open)) continue;
        size_t close = rest.find(q.close, q.open.size());
        return close == std::string_view::npos ? msg.size() : at + close + q.close.size();
    }
    return at;
}

/*
 * Copies `msg` into `dst` without its tags and returns the number of bytes
 * copied, which is at most msg.size(). A tag runs from "<" to the first
 * ">" with no nesting and no quoting: a stray ">" is dropped, and a "<"
 * that is never closed drops everything after it. A NUL outside a tag
 * ends the text; one inside a tag goes with the tag. With `marks`, each
 * complete mark tag outside a comment or CDATA section is recorded where
 * it stood in the copy.
 */
template <bool tracking>
size_t remove_tags_as(std::string_view msg, char *dst, mark_store *marks) {
    bool in_tag = false;
    size_t tag_start = 0;
    size_t quoted_end = 0; /* the end of a comment or CDATA section */
    size_t n = 0;
    for (size_t i = 0; i < msg.size(); ++i) {
        const char c = msg[i];
        if (c == '<') {
            in_tag = true;
            if constexpr (tracking) {
                tag_start = i + 1;
                if (i >= quoted_end) quoted_end = quoted_section_end(msg, i);
            }
        } else if (c == '>') {
            std::string_view name;
            if constexpr (tracking)
                if (in_tag && i >= quoted_end &&
                    mark_tag_name(msg.substr(tag_start, i - tag_start), &name))
                    add_mark(*marks, n, name);
            in_tag = false;
        } else if (!in_tag) {
            if (c == '\0') break;
            dst[n++] = c;
        }
    }
    return n;
}

// The copy without tags; the marks are gathered only when there is a
// store for them, so that the default preparation pays nothing for them.
size_t remove_tags(std::string_view msg, char *dst, mark_store *marks) {
    if (marks != nullptr) return remove_tags_as<true>(msg, dst, marks);
    return remove_tags_as<false>(msg, dst, nullptr);
}

// ---- Stage one as the faithful preparation reads it: markup as XML ----

// Whether `c` may begin an XML name, as far as one byte tells: an ASCII
// letter, "_", ":" or a byte of a multi-byte character.
bool is_name_start(unsigned char c) {
    return is_alpha(static_cast<char>(c)) || c == '_' || c == ':' || c >= 0x80;
}

bool is_name_byte(unsigned char c) {
    return is_name_start(c) || is_digit(static_cast<char>(c)) || c == '-' || c == '.';
}

/*
 * Where the tag that begins at `at` (a "<") ends, after its ">"; or `at`
 * when the "<" begins no tag and is text ("a < b", "<user@example.org>").
 * A tag is "<" or "</" and a name followed by a blank, "/" or ">", or "<!"
 * or "<?" and a letter, closed by a ">" before any other "<". The search
 * stops at the next "<", so over a whole text it reads each byte at most
 * once.
 */
size_t xml_tag_end(std::string_view msg, size_t at) {
    const auto byte = [&](size_t i) -> unsigned char {
        return i < msg.size() ? static_cast<unsigned char>(msg[i]) : 0;
    };
    size_t i = at + 1;
    if (byte(i) == '!' || byte(i) == '?') {
        if (!is_alpha(static_cast<char>(byte(++i)))) return at;
    } else {
        if (byte(i) == '/') ++i;
        if (!is_name_start(byte(i))) return at;
        while (is_name_byte(byte(i))) ++i;
        if (!is_tag_blank(static_cast<char>(byte(i))) && byte(i) != '/' && byte(i) != '>')
            return at;
    }
    for (; i < msg.size(); ++i) {
        if (msg[i] == '>') return i + 1;
        if (msg[i] == '<') return at;
    }
    return at;
}

// Whether a character reference may stand for `cp`: a character a text
// may hold, so no surrogate, no non-character U+FFFE or U+FFFF, and no
// control but TAB and LF.
bool is_text_character(uint32_t cp) {
    if (cp == '\t' || cp == '\n') return true;
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return false;
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    return cp != 0xFFFE && cp != 0xFFFF && cp <= 0x10FFFF;
}

// The UTF-8 form of `cp`, a character below U+110000: its length.
size_t put_utf8(uint32_t cp, char *utf8) {
    const auto b = [](uint32_t v) { return static_cast<char>(v); };
    if (cp < 0x80) {
        utf8[0] = b(cp);
        return 1;
    }
    if (cp < 0x800) {
        utf8[0] = b(0xC0 | (cp >> 6));
        utf8[1] = b(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        utf8[0] = b(0xE0 | (cp >> 12));
        utf8[1] = b(0x80 | ((cp >> 6) & 0x3F));
        utf8[2] = b(0x80 | (cp & 0x3F));
        return 3;
    }
    utf8[0] = b(0xF0 | (cp >> 18));
    utf8[1] = b(0x80 | ((cp >> 12) & 0x3F));
    utf8[2] = b(0x80 | ((cp >> 6) & 0x3F));
    utf8[3] = b(0x80 | (cp & 0x3F));
    return 4;
}

// The value of the digit `c` in base 10 or 16, or -1.
int digit_value(char c, bool hex) {
    if (is_digit(c)) return c - '0';
    if (!hex) return -1;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/*
 * The reference that begins `s` (an "&"): &#N; or &#xN; or one of the
 * five entities. Returns the input bytes it takes, or 0 when none begins
 * there and the "&" is text. Its character goes into `utf8`, its length
 * into *len; a numeric reference with no digits, beyond U+10FFFF or to a
 * character a text may not hold gives 0 bytes, and is dropped.
 */
size_t read_reference(std::string_view s, char *utf8, size_t *len) {
    *len = 0;
    for (const entity_record &e : entities) {
        if (s.starts_with(e.entity)) {
            utf8[0] = e.ch;
            *len = 1;
            return static_cast<size_t>(e.len);
        }
    }
    if (!s.starts_with("&#")) return 0;
    size_t i = 2;
    const bool hex = i < s.size() && (s[i] == 'x' || s[i] == 'X');
    if (hex) ++i;
    const size_t first_digit = i;
    uint32_t cp = 0;
    for (int v; i < s.size() && (v = digit_value(s[i], hex)) >= 0; ++i) {
        // Past U+10FFFF the value stays just beyond it, so it cannot wrap.
        cp = cp * (hex ? 16u : 10u) + static_cast<uint32_t>(v);
        if (cp > 0x10FFFF) cp = 0x110000;
    }
    if (i >= s.size() || s[i] != ';') return 0;
    if (i > first_digit && is_text_character(cp)) *len = put_utf8(cp, utf8);
    return i + 1;
}

// The faithful copy under construction: stage one's buffer, and whether
// markup was dropped since the last byte of text.
struct xml_copy {
    char *dst;  // at least as long as the message
    size_t n;   // bytes written
    bool gap;   // markup since the last text written
};

// Text after markup: a blank first when the markup stood between two
// non-blank characters, so that "One.</s><s>Two." keeps its words apart.
// Every piece of markup takes at least two bytes, so the copy never
// grows past the message.
void put_xml_text(xml_copy &c, const char *bytes, size_t len) {
    if (len == 0) return;
    if (c.gap && c.n > 0 && !is_blank(c.dst[c.n - 1]) && !is_blank(bytes[0])) c.dst[c.n++] = ' ';
    c.gap = false;
    memcpy(c.dst + c.n, bytes, len);
    c.n += len;
}

/*
 * The CDATA section whose content begins at `at`: its content is text,
 * copied as it is, up to "]]>" or the end; a NUL in it ends the text.
 * Returns where reading resumes, or msg.size() at a NUL.
 */
size_t copy_cdata(std::string_view msg, size_t at, xml_copy &c) {
    size_t close = msg.find("]]>", at);
    size_t stop = close == std::string_view::npos ? msg.size() : close;
    std::string_view content = msg.substr(at, stop - at);
    size_t nul = content.find('\0');
    put_xml_text(c, content.data(), nul == std::string_view::npos ? content.size() : nul);
    c.gap = true;
    if (nul != std::string_view::npos || close == std::string_view::npos) return msg.size();
    return close + 3;
}

// The bytes of `w` that are zero, each by its high bit; exact for the
// lowest one (a borrow may mark bytes above it).
constexpr uint64_t zero_bytes(uint64_t w) {
    return (w - 0x0101010101010101u) & ~w & 0x8080808080808080u;
}

/*
 * The end of the plain text from `at`: the next "<", "&" or NUL, or the
 * end of the message. Most of a message is plain text, copied in runs,
 * so it is searched eight bytes at a time, for a zero in the bytes
 * themselves and in their differences from "<" and "&".
 */
size_t plain_text_end(std::string_view msg, size_t at) {
    if constexpr (std::endian::native == std::endian::little) {
        constexpr uint64_t lt = 0x3C3C3C3C3C3C3C3Cu, amp = 0x2626262626262626u;
        for (; at + 8 <= msg.size(); at += 8) {
            uint64_t w;
            memcpy(&w, msg.data() + at, sizeof w);
            const uint64_t stops = zero_bytes(w) | zero_bytes(w ^ lt) | zero_bytes(w ^ amp);
            if (stops != 0) return at + static_cast<size_t>(std::countr_zero(stops)) / 8;
        }
    }
    while (at < msg.size() && msg[at] != '<' && msg[at] != '&' && msg[at] != '\0') ++at;
    return at;
}

/*
 * The markup, text or reference that begins at `at` (a "<" or "&"),
 * copied into `c`; returns where reading resumes.
 */
template <bool tracking>
size_t read_xml_item(std::string_view msg, size_t at, xml_copy &c, mark_store *marks) {
    std::string_view rest = msg.substr(at);
    if (rest.starts_with("<!--")) {
        size_t close = msg.find("-->", at + 4);
        c.gap = true;
        return close == std::string_view::npos ? msg.size() : close + 3;
    }
    if (rest.starts_with("<![CDATA[")) return copy_cdata(msg, at + 9, c);
    size_t end = rest[0] == '<' ? xml_tag_end(msg, at) : at;
    if (end > at) {
        std::string_view name;
        if constexpr (tracking)
            if (mark_tag_name(msg.substr(at + 1, end - at - 2), &name)) add_mark(*marks, c.n, name);
        c.gap = true;
        return end;
    }
    char utf8[4];
    size_t len = 0;
    size_t used = rest[0] == '&' ? read_reference(rest, utf8, &len) : 0;
    if (used == 0) {
        put_xml_text(c, rest.data(), 1);
        return at + 1;
    }
    put_xml_text(c, utf8, len);
    return at + used;
}

/*
 * Markup as XML has it, in one pass that also decodes references: a
 * comment is dropped whole, whatever it holds; a CDATA section's content
 * is text; a "<" that begins no tag is text, and so is a stray ">";
 * character references are decoded. A NUL outside markup ends the text.
 * With `marks`, each mark tag is recorded where it stood in the copy.
 * Returns the bytes copied, at most msg.size().
 */
template <bool tracking>
size_t read_xml_as(std::string_view msg, char *dst, mark_store *marks) {
    xml_copy c{dst, 0, false};
    size_t i = 0;
    for (;;) {
        size_t end = plain_text_end(msg, i);
        put_xml_text(c, msg.data() + i, end - i);
        if (end == msg.size() || msg[end] == '\0') return c.n;
        i = read_xml_item<tracking>(msg, end, c, marks);
    }
}

// The entity that `at` (an "&") begins, or null.
const entity_record *match_entity(const char *at) {
    for (const entity_record &e : entities) {
        if (strncmp(at, e.entity, static_cast<size_t>(e.len)) == 0) return &e;
    }
    return nullptr;
}

// Marks in the trimmed blanks stand at the nearer end of what is kept.
void trim_marks(mark_store *m, size_t start, size_t kept) {
    for (size_t i = 0; m != nullptr && i < m->count; ++i) {
        size_t at = m->marks[i].at;
        at = at < start ? 0 : at - start;
        m->marks[i].at = at < kept ? at : kept;
    }
}

/*
 * Trims TAB, LF and space at both ends of a NUL-terminated text in place,
 * moving the text at most once. Only these three count as blanks: a CR,
 * VT or FF stays wherever it is.
 */
void trim_blanks(char *text, mark_store *marks) {
    size_t len = strlen(text);
    if (len == 0) return;
    size_t start = 0;
    while (start < len && is_blank(text[start])) ++start;
    size_t end = len - 1;
    while (end > start && is_blank(text[end])) --end;
    // A text of blanks only leaves start == len and end == len - 1: the
    // NUL below is already there and the move carries just the NUL.
    trim_marks(marks, start, start < len ? end + 1 - start : 0);
    text[end + 1] = '\0';
    if (start > 0) memmove(text, text + start, end + 2 - start);
}

/*
 * The bytes to allocate for the sanitised form of a text of `n` bytes:
 * every byte yields at most two output bytes except the pound sign, whose
 * two bytes yield five, so 2.5 n, plus the NUL. False when that does not
 * fit in a size_t, which a 32-bit build reaches at about 1.6 GiB.
 */
bool sanitized_capacity(size_t n, size_t *bytes) {
    size_t half = n / 2;
    if (n > (SIZE_MAX - 1 - half) / 2) return false;
    *bytes = 2 * n + half + 1;
    return true;
}

void put(output &out, char c) {
    assert(out.len + 1 < out.cap);
    out.buf[out.len++] = c;
}

// The last byte written, or NUL while the output is empty.
char last_byte(const output &out) { return out.len > 0 ? out.buf[out.len - 1] : '\0'; }

// A letter or digit, kept apart from a digit or letter written just
// before it so that the engine reads "mp3" as "mp 3".
inline void put_alnum(output &out, char c) {
    char prev = last_byte(out);
    if ((is_alpha(c) && is_digit(prev)) || (is_digit(c) && is_alpha(prev))) put(out, ' ');
    put(out, c);
}

// A currency word, written as is: no space on either side, whatever
// came before it.
void put_word(output &out, std::string_view word) {
    for (char c : word) put(out, c);
}

/*
 * A pause for the engine: the spaces and tabs just written give way to
 * ", " (to a lone space at the very start of the output; an LF stays),
 * then a run of ! , . : ; ? and a run of spaces and tabs after the
 * triggering character are skipped so that the pause does not pile up.
 * `next` is the input after that character; returns where input resumes.
 */
const unsigned char *put_comma_break(output &out, const unsigned char *next) {
    while (out.len > 0 && (out.buf[out.len - 1] == ' ' || out.buf[out.len - 1] == '\t')) --out.len;
    pull_back(out.marks, out.len);
    if (out.len > 0) put(out, ',');
    put(out, ' ');
    while (is_pause_punct(*next)) ++next;
    while (*next == ' ' || *next == '\t') ++next;
    return next;
}

// The length of the UTF-8 sequence that `lead` begins, judged by the lead
// byte alone: stray continuation bytes and C0, C1 count as two-byte leads.
size_t sequence_length(unsigned char lead) {
    if (lead < 0xE0) return 2;
    return lead < 0xF0 ? 3 : 4;
}

bool is_continuation(unsigned char c) { return c >= 0x80 && c <= 0xBF; }

/*
 * Writes what the multi-byte sequence at `src` stands for and returns
 * where the input resumes. A sequence is complete only when every byte
 * its lead needs is a continuation byte. Otherwise only the lead byte is
 * dropped and the bytes after it are taken in turn: a Latin-1 letter or
 * a sequence cut off by the NUL must not swallow the letters, digits or
 * line feeds that follow it. The check stops at the first byte that is
 * not a continuation, so none is read past the NUL.
 */
const unsigned char *put_sequence(output &out, const unsigned char *src) {
    size_t seqlen = sequence_length(*src);
    for (size_t i = 1; i < seqlen; ++i) {
        if (!is_continuation(src[i])) return src + 1;
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

// The sanitising pass over a NUL-terminated text into `out`, moving the
// marks when `tracking`. Without marks it does no bookkeeping at all: the
// default preparation is the hot path, and every byte written through
// out.buf may alias `out`, so even a null check of out.marks would be a
// load for every byte.
template <bool tracking>
void sanitize_into(output &out, const unsigned char *src) {
    const unsigned char *const start = src;
    while (*src != 0) {
        if constexpr (tracking) note_input(out.marks, static_cast<size_t>(src - start), out.len);
        unsigned char c = *src;
        if (c >= 0x80) {
            src = put_sequence(out, src);
            continue;
        }
        switch (ascii_actions[c]) {
        case ascii_action::space: put(out, ' '); break;
        case ascii_action::keep: put(out, static_cast<char>(c)); break;
        case ascii_action::letter:
        case ascii_action::digit: put_alnum(out, static_cast<char>(c)); break;
        case ascii_action::comma_break: src = put_comma_break(out, src + 1); continue;
        }
        ++src;
    }
    if constexpr (tracking) end_stage(out.marks, out.len);
    out.buf[out.len] = '\0';
}

/*
 * One pass with a read and a write position; the output is never longer
 * than the input, and is never scanned again, so "&amp;lt;" gives "&lt;".
 * Only the lower-case forms with their semicolon are entities: "&AMP;",
 * "&lt" and "&#60;" keep their "&".
 */
template <bool tracking>
void decode_entities_as(char *text, mark_store *marks) {
    const char *src = text;
    char *dst = text;
    while (*src != '\0') {
        if constexpr (tracking)
            note_input(marks, static_cast<size_t>(src - text), static_cast<size_t>(dst - text));
        const entity_record *e = *src == '&' ? match_entity(src) : nullptr;
        if (e != nullptr) {
            *dst++ = e->ch;
            src += e->len;
        } else {
            *dst++ = *src++;
        }
    }
    if constexpr (tracking) end_stage(marks, static_cast<size_t>(dst - text));
    *dst = '\0';
}

// Decodes in place, moving the marks when there are any.
void decode_entities(char *text, mark_store *marks) {
    if (text == nullptr) return;
    if (marks != nullptr)
        decode_entities_as<true>(text, marks);
    else
        decode_entities_as<false>(text, marks);
}

/*
 * The result is not trimmed again: it may begin with a space (a text that
 * began with "(") and end with a space or ", ". It is empty only when
 * every byte of the text was a lead byte without its continuation bytes.
 */
char *sanitize(const char *text, mark_store *marks) {
    if (text == nullptr) return nullptr;
    size_t cap = 0;
    if (!sanitized_capacity(strlen(text), &cap)) return nullptr;
    char *buf = static_cast<char *>(malloc(cap));
    if (buf == nullptr) return nullptr;
    output out{buf, 0, cap, marks};
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    if (marks != nullptr)
        sanitize_into<true>(out, bytes);
    else
        sanitize_into<false>(out, bytes);
    return buf;
}

/*
 * A text given to the engine as it is must not hold a backquote, which
 * the engine can take for the start of an annotation that switches its
 * voice or language: each becomes a blank. A text left with nothing but
 * blanks has nothing to speak and fails (null, the text freed).
 */
char *without_backquotes(char *text) {
    bool spoken = false;
    for (char *c = text; *c != '\0'; ++c) {
        if (*c == '`') *c = ' ';
        spoken = spoken || !is_blank(*c);
    }
    if (spoken) return text;
    free(text);
    return nullptr;
}

/*
 * Both stages as one: on success the caller owns exactly the returned
 * string. A text that is empty after stage one, or after stage two for
 * the types that take it, is a failure like a failed allocation; every
 * intermediate buffer is freed on every path.
 */
char *prepare(const char *text, size_t len, NRVMessageType type, mark_store *marks) {
    char *plain = strip_markup(text, len, marks);
    if (plain == nullptr || plain[0] == '\0') {
        free(plain);
        return nullptr;
    }
    // Characters and key names are spoken as named; only running text
    // and sound icons are rewritten for the engine.
    if (type != NRV_MSGTYPE_TEXT && type != NRV_MSGTYPE_SOUND_ICON)
        return without_backquotes(plain);
    char *clean = sanitize(plain, marks);
    free(plain);
    return spoken_or_null(clean);
}

}  // namespace

namespace text_marks {

char *spoken_or_null(char *clean) {
    if (clean != nullptr && clean[0] != '\0') return clean;
    free(clean);
    return nullptr;
}

void free_marks(mark_store &m) {
    free(m.marks);
    free(m.names);
    m = mark_store{};
}

char *strip_markup(const char *text, size_t len, mark_store *marks) {
    if (text == nullptr) len = 0;
    // No real message is SIZE_MAX bytes long; the count + 1 would wrap.
    if (len == SIZE_MAX) return nullptr;
    char *copy = static_cast<char *>(malloc(len + 1));
    if (copy == nullptr) return nullptr;
    size_t n = len > 0 ? remove_tags(std::string_view(text, len), copy, marks) : 0;
    copy[n] = '\0';
    // Tags go first so that a "<" or ">" decoded from an entity is text,
    // never markup.
    decode_entities(copy, marks);
    trim_blanks(copy, marks);
    return copy;
}

char *strip_markup_as_xml(const char *text, size_t len, mark_store *marks) {
    if (text == nullptr) len = 0;
    if (len == SIZE_MAX) return nullptr;
    char *copy = static_cast<char *>(malloc(len + 1));
    if (copy == nullptr) return nullptr;
    std::string_view msg(text, len);
    size_t n = marks != nullptr ? read_xml_as<true>(msg, copy, marks)
                                : read_xml_as<false>(msg, copy, nullptr);
    copy[n] = '\0';
    trim_blanks(copy, marks);
    return copy;
}

int finish_marked_text(char *prepared, mark_store *marks, marked_text *out) {
    *out = marked_text{};
    if (prepared == nullptr || marks->failed) {
        free(prepared);
        free_marks(*marks);
        return -1;
    }
    out->text = prepared;
    out->length = strlen(prepared);
    keep_words_whole(prepared, out->length, *marks);
    out->marks = marks->marks;
    out->count = marks->count;
    out->names = marks->names;
    out->dropped = marks->dropped;
    *marks = mark_store{};
    return 0;
}

}  // namespace text_marks

char *prepare_text(const char *text, size_t len, NRVMessageType type) {
    return prepare(text, len, type, nullptr);
}

/*
 * Only plain text carries marks. The names block and the marks move to
 * the caller as they are; a failed growth of either fails the message,
 * as any failed allocation of the preparation does.
 */
int prepare_marked_text(const char *text, size_t len, NRVMessageType type, marked_text *out) {
    mark_store store{};
    mark_store *marks = type == NRV_MSGTYPE_TEXT ? &store : nullptr;
    return finish_marked_text(prepare(text, len, type, marks), &store, out);
}

void free_marked_text(marked_text *prepared) {
    free(prepared->text);
    free(prepared->marks);
    free(prepared->names);
    *prepared = marked_text{};
}

char *strip_ssml(const char *text, size_t len) { return strip_markup(text, len, nullptr); }

void decode_xml_entities(char *text) { decode_entities(text, nullptr); }

char *sanitize_for_corvane(const char *text) { return sanitize(text, nullptr); }
