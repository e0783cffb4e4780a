// SPDX-License-Identifier: BSD-2-Clause
// Fuzz target for text preparation: every input is prepared as each kind
// of message, the default way and the faithful way, and the results are
// checked for what the engine relies on, so that a wrong result fails
// like a crash. For the faithful way the first byte chooses the settings
// (punctuation level, spelling, capitals, and in its top bits a dialect's
// double-byte code page and language) and the rest is the message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "quorlin_faithful.h"
#include "quorlin_marks.h"
#include "quorlin_text.h"

namespace {

bool engine_safe(char c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    return c != '\0' && std::string_view("\t\n !$',.?").find(c) != std::string_view::npos;
}

bool is_blank(char c)
{
    return c == '\t' || c == '\n' || c == ' ';
}

// Every "<" or ">" of a plain result was decoded from an entity, and each
// entity takes one "&" of the input.
void check_plain(std::string_view in, std::string_view plain)
{
    size_t ampersands = 0;
    size_t markup = 0;
    for (char c : in)
        ampersands += c == '&';
    for (char c : plain)
        markup += c == '<' || c == '>';
    if (plain.empty() || plain.size() > in.size() || markup > ampersands)
        abort();
    if (is_blank(plain.front()) || is_blank(plain.back()))
        abort();
}

void check_sanitised(std::string_view in, std::string_view clean)
{
    if (clean.empty() || clean.size() > 2 * in.size() + in.size() / 2)
        abort();
    for (char c : clean) {
        if (!engine_safe(c))
            abort();
    }
}

// The faithful alphabet: printable ASCII but the backquote, TAB, LF and
// the letters of Windows-1252.
// In a double-byte page any byte from 80 hex up may be part of a
// character, and a trail byte may look like ASCII; what may never appear
// is a control byte, DEL or a backquote.
bool page_safe(unsigned char c)
{
    return c == '\t' || c == '\n' || (c >= 0x20 && c != 0x7F && c != '`');
}

bool faithful_safe(unsigned char c)
{
    if (c == '\t' || c == '\n')
        return true;
    if (c < 0x80)
        return c >= 0x20 && c < 0x7F && c != '`';
    return std::string_view("\x83\x8A\x8C\x8E\x9A\x9C\x9E\x9F\xAA\xB5\xBA").find(static_cast<char>(c)) !=
               std::string_view::npos ||
           (c >= 0xC0 && c != 0xD7 && c != 0xF7);
}

// The marks of running text, gathered the default way or the faithful
// way: the text is exactly the text without them, and every mark stands
// in order, within it and between its words.
void check_marks(const char *text, size_t size, const faithful_settings *s)
{
    marked_text t;
    char *unmarked = s ? prepare_faithful(text, size, NRV_MSGTYPE_TEXT, s)
                       : prepare_text(text, size, NRV_MSGTYPE_TEXT);
    int result = s ? prepare_marked_faithful(text, size, NRV_MSGTYPE_TEXT, s, &t)
                   : prepare_marked_text(text, size, NRV_MSGTYPE_TEXT, &t);
    if ((result == 0) != (unmarked != nullptr))
        abort();
    if (result == 0) {
        if (strcmp(t.text, unmarked) != 0 || t.length != strlen(t.text))
            abort();
        size_t last = 0;
        for (size_t i = 0; i < t.count; ++i) {
            size_t at = t.marks[i].at;
            if (at < last || at > t.length)
                abort();
            if (at > 0 && at < t.length && !is_blank(t.text[at - 1]) && !is_blank(t.text[at]))
                abort();
            size_t name_len = strlen(t.names + t.marks[i].name);
            if (name_len == 0 || name_len > max_mark_name_bytes)
                abort();
            last = at;
        }
        free_marked_text(&t);
    }
    free(unmarked);
}

// The faithful way for every kind, with the settings from `choice`. A
// character or key is never refused once the faithful stage one (markup
// read as XML) leaves something; no kind speaks when it leaves nothing,
// but for a character's lone blank and a character or key of one
// character, which is never markup.
void check_faithful(unsigned char choice, const char *text, size_t size)
{
    faithful_settings s;
    s.punctuation = static_cast<punct_level>(choice & 3);
    s.spelling = (choice & 4) != 0;
    s.capitals = static_cast<caps_mode>((choice >> 3) % 3);
    // 1 to 4: GBK, Big5, Shift-JIS, CP949; else Windows-1252. Each with
    // the names of a language the page goes with.
    const unsigned page = (choice >> 5) & 7;
    if (page >= 1 && page <= 4) s.page = static_cast<code_page>(page);
    static const char *const languages[8] = {"en", "zh", "zh_Hant", "ja", "ko", "fr", "de", "es"};
    s.language = languages[page];
    char *stage = text_marks::strip_markup_as_xml(text, size, nullptr);
    char *plain = stage != nullptr && stage[0] != '\0' ? stage : nullptr;
    for (NRVMessageType type : {NRV_MSGTYPE_TEXT, NRV_MSGTYPE_SOUND_ICON, NRV_MSGTYPE_CHAR,
                                NRV_MSGTYPE_KEY, NRV_MSGTYPE_SPELL}) {
        char *r = prepare_faithful(text, size, type, &s);
        const bool named = type == NRV_MSGTYPE_CHAR || type == NRV_MSGTYPE_KEY;
        bool lone_blank = type == NRV_MSGTYPE_CHAR && size == 1;
        bool one_character = named && size >= 1 && size <= 4 && text[0] != '\0' &&
                             !is_blank(text[0]);
        if (r == nullptr && plain != nullptr && named)
            abort();
        if (r != nullptr && plain == nullptr && !lone_blank && !one_character)
            abort();
        if (r != nullptr) {
            std::string_view out(r);
            // A character name is at most about 25 bytes for each byte
            // of its character, blanks included; a double-byte page
            // writes each byte of that in at most two.
            const size_t most = is_double_byte(s.page) ? 64 * size + 16 : 32 * size + 8;
            if (out.empty() || out.size() > most)
                abort();
            for (char c : out) {
                if (!(is_double_byte(s.page) ? page_safe(static_cast<unsigned char>(c))
                                              : faithful_safe(static_cast<unsigned char>(c))))
                    abort();
            }
        }
        free(r);
    }
    check_marks(text, size, &s);
    free(stage);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    std::string_view in(size > 0 ? text : "", size);
    char *stage = strip_ssml(text, size);
    char *plain = stage != nullptr && stage[0] != '\0' ? stage : nullptr;
    if (plain != nullptr)
        check_plain(in, plain);
    // Characters and keys are stage one with every backquote a blank,
    // refused when only blanks are left.
    std::string named(plain != nullptr ? plain : "");
    for (char &c : named)
        c = c == '`' ? ' ' : c;
    const bool spoken = named.find_first_not_of(" \t\n") != std::string::npos;
    for (NRVMessageType type : {NRV_MSGTYPE_CHAR, NRV_MSGTYPE_KEY, NRV_MSGTYPE_SPELL}) {
        char *r = prepare_text(text, size, type);
        if ((r != nullptr) != spoken || (r != nullptr && named != r))
            abort();
        free(r);
    }
    for (NRVMessageType type : {NRV_MSGTYPE_TEXT, NRV_MSGTYPE_SOUND_ICON}) {
        char *r = prepare_text(text, size, type);
        if (r != nullptr && plain == nullptr)
            abort();
        if (r != nullptr)
            check_sanitised(plain, r);
        free(r);
    }
    free(stage);
    check_marks(text, size, nullptr);
    if (size > 0)
        check_faithful(data[0], text + 1, size - 1);
    return 0;
}
