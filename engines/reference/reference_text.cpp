// SPDX-License-Identifier: GPL-3.0-or-later
/*
 * Dictionary volumes and text rewriting for the reference engine.
 *
 * A volume keeps its whole file in one block; keys and replacements are
 * cut out of that block in place, and the entry array is sorted so that a
 * lookup is a binary search. Rewriting works on bytes: words are runs of
 * ASCII letters and digits and of bytes from 0x80 up (so UTF-8 letters stay
 * whole), joined by single apostrophes. Output grows through a small
 * accumulator with a sticky error, checked once at the end.
 *
 * The engine's text is in its dialect's code page, as the vendor's engine
 * takes it: 8-bit Windows-1252 for the Western languages, a double-byte
 * page for Chinese, Japanese and Korean; eSpeak NG is given UTF-8. A text
 * that is already valid UTF-8 (ASCII among it) is taken as UTF-8, so that
 * names sent through unchanged still read right; any other is converted
 * from its code page before everything else, so dictionaries and spelling
 * see UTF-8 alone. Windows-1252 is converted here, by a table; the
 * double-byte pages through the C library's iconv.
 */
#include "reference_text.h"

#include <errno.h>
#include <iconv.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace reference {

namespace {

bool is_ascii_alnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_word_byte(unsigned char c) { return is_ascii_alnum(c) || c >= 0x80; }

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

bool is_blank(char c) { return c == ' ' || c == '\t'; }

unsigned char ascii_lower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

/* Orders two byte strings, by ASCII-folded bytes when fold is set, a
 * shorter prefix first. */
int compare_bytes(const char *a, size_t alen, const char *b, size_t blen, bool fold) {
    size_t n = alen < blen ? alen : blen;
    for (size_t i = 0; i < n; i++) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (fold) {
            x = ascii_lower(x);
            y = ascii_lower(y);
        }
        if (x != y) return x < y ? -1 : 1;
    }
    if (alen == blen) return 0;
    return alen < blen ? -1 : 1;
}

bool folds_case(volume_kind kind) { return kind != volume_kind::abbreviation; }

int order_entries(const void *pa, const void *pb, bool fold) {
    const dict_entry *a = static_cast<const dict_entry *>(pa);
    const dict_entry *b = static_cast<const dict_entry *>(pb);
    int c = compare_bytes(a->key, a->key_len, b->key, b->key_len, fold);
    if (c != 0) return c;
    if (a->line == b->line) return 0;
    return a->line < b->line ? -1 : 1;
}

int order_folded(const void *a, const void *b) { return order_entries(a, b, true); }
int order_exact(const void *a, const void *b) { return order_entries(a, b, false); }

/*
 * A key must be able to match a word of the text: word bytes, with
 * apostrophes only between them; an abbreviation may add one final period.
 */
bool key_is_valid(const char *key, size_t len, volume_kind kind) {
    if (kind == volume_kind::abbreviation && len > 1 && key[len - 1] == '.') len--;
    if (len == 0) return false;
    for (size_t i = 0; i < len; i++) {
        unsigned char c = static_cast<unsigned char>(key[i]);
        if (is_word_byte(c)) continue;
        if (c == '\'' && i > 0 && i + 1 < len &&
            is_word_byte(static_cast<unsigned char>(key[i + 1])))
            continue;
        return false;
    }
    return true;
}

/* Reads the whole file into a new block with one spare byte for a final
 * terminator. Returns 0 or a dict_ error code. */
int read_file(const char *path, char **data, size_t *size) {
    FILE *f = fopen(path, "rb");
    if (!f) return (errno == ENOENT || errno == ENOTDIR) ? dict_file_not_found : dict_access_error;
    size_t cap = 4096, len = 0;
    char *buf = static_cast<char *>(malloc(cap + 1));
    if (!buf) {
        fclose(f);
        return dict_out_of_memory;
    }
    for (;;) {
        if (len == cap) {
            if (cap >= dict_max_file_bytes) {
                free(buf);
                fclose(f);
                return dict_out_of_memory;
            }
            size_t grown = cap * 2 > dict_max_file_bytes ? dict_max_file_bytes : cap * 2;
            char *bigger = static_cast<char *>(realloc(buf, grown + 1));
            if (!bigger) {
                free(buf);
                fclose(f);
                return dict_out_of_memory;
            }
            buf = bigger;
            cap = grown;
        }
        size_t got = fread(buf + len, 1, cap - len, f);
        len += got;
        if (got == 0) break;
    }
    // A directory opens fine and fails on the first read (EISDIR).
    bool failed = ferror(f) != 0;
    fclose(f);
    if (failed) {
        free(buf);
        return dict_access_error;
    }
    buf[len] = '\0';
    *data = buf;
    *size = len;
    return 0;
}

/*
 * Cuts the file's lines into entries, in place. Returns 0, or
 * dict_malformed with the line number in *bad_line.
 */
int parse_entries(char *data, size_t size, volume_kind kind, dict_entry *entries, size_t *count,
                  size_t *bad_line) {
    size_t n = 0, line_no = 0, pos = 0;
    while (pos < size) {
        line_no++;
        size_t start = pos;
        const char *lf = static_cast<const char *>(memchr(data + pos, '\n', size - pos));
        size_t end = lf ? static_cast<size_t>(lf - data) : size;
        pos = lf ? end + 1 : size;
        if (end - start > dict_max_line_bytes || memchr(data + start, '\0', end - start)) {
            *bad_line = line_no;
            return dict_malformed;
        }
        if (end > start && data[end - 1] == '\r') end--;
        while (start < end && is_blank(data[start])) start++;
        while (end > start && is_blank(data[end - 1])) end--;
        if (start == end || data[start] == '#') continue;
        size_t key_end = start;
        while (key_end < end && !is_blank(data[key_end])) key_end++;
        size_t value = key_end;
        while (value < end && is_blank(data[value])) value++;
        if (value == end || !key_is_valid(data + start, key_end - start, kind)) {
            *bad_line = line_no;
            return dict_malformed;
        }
        // The byte after the value is a blank, CR, LF or the spare byte.
        data[key_end] = '\0';
        data[end] = '\0';
        entries[n++] =
            dict_entry{data + start, key_end - start, data + value, end - value, line_no};
    }
    *count = n;
    return 0;
}

/* Sorts the entries and keeps the last line of each key. */
size_t sort_and_dedupe(dict_entry *entries, size_t count, volume_kind kind) {
    bool fold = folds_case(kind);
    qsort(entries, count, sizeof *entries, fold ? order_folded : order_exact);
    size_t kept = 0;
    for (size_t i = 0; i < count; i++) {
        if (kept > 0 && compare_bytes(entries[kept - 1].key, entries[kept - 1].key_len,
                                      entries[i].key, entries[i].key_len, fold) == 0)
            entries[kept - 1] = entries[i];
        else
            entries[kept++] = entries[i];
    }
    return kept;
}

/* An output accumulator: after one failed growth every append is a no-op. */
struct text_builder {
    char *data;
    size_t len;
    size_t cap;
    bool failed;
};

void put(text_builder &out, const char *bytes, size_t n) {
    if (out.failed || n == 0) return;
    if (n > SIZE_MAX - 1 - out.len) {
        out.failed = true;
        return;
    }
    size_t need = out.len + n + 1;
    if (need > out.cap) {
        size_t cap = out.cap ? out.cap : 64;
        while (cap < need) cap = cap > SIZE_MAX / 2 ? need : cap * 2;
        char *grown = static_cast<char *>(realloc(out.data, cap));
        if (!grown) {
            out.failed = true;
            return;
        }
        out.data = grown;
        out.cap = cap;
    }
    memcpy(out.data + out.len, bytes, n);
    out.len += n;
    out.data[out.len] = '\0';
}

/* The characters of Windows-1252's bytes 0x80 to 0x9F; the five bytes
 * the code page leaves undefined are read as a blank. */
constexpr uint16_t windows_1252_high[32] = {
    0x20AC, 0x0020, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x0020, 0x017D, 0x0020, 0x0020, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x0020, 0x017E, 0x0178,
};

/* Appends len bytes of Windows-1252 text as UTF-8. */
void put_windows_1252(text_builder &out, const char *text, size_t len) {
    for (size_t i = 0; i < len && !out.failed; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        uint32_t cp = c >= 0x80 && c < 0xA0 ? windows_1252_high[c - 0x80] : c;
        char utf8[3];
        size_t n = 0;
        if (cp < 0x80) {
            utf8[n++] = static_cast<char>(cp);
        } else if (cp < 0x800) {
            utf8[n++] = static_cast<char>(0xC0 | (cp >> 6));
            utf8[n++] = static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            utf8[n++] = static_cast<char>(0xE0 | (cp >> 12));
            utf8[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            utf8[n++] = static_cast<char>(0x80 | (cp & 0x3F));
        }
        put(out, utf8, n);
    }
}

/* The C library's name of each double-byte page, by code_page. */
const char *iconv_name(code_page page) {
    switch (page) {
    case code_page::gbk: return "CP936";
    case code_page::big5: return "CP950";
    case code_page::shift_jis: return "CP932";
    case code_page::cp949: return "CP949";
    case code_page::windows_1252: break;
    }
    return nullptr;
}

/*
 * Appends len bytes of text in a double-byte page as UTF-8. A byte that
 * starts no character of the page, or a character cut off at the end, is
 * read as a blank and the conversion goes on after that byte, as the
 * undefined bytes of Windows-1252 are. Fails the builder when the C
 * library cannot convert from the page.
 */
void put_double_byte(text_builder &out, code_page page, const char *text, size_t len) {
    iconv_t cd = iconv_open("UTF-8", iconv_name(page));
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        out.failed = true;
        return;
    }
    // iconv's input pointer is not const, but it only reads through it.
    char *in = const_cast<char *>(text);
    size_t in_left = len;
    while (in_left > 0 && !out.failed) {
        char chunk[256];
        char *to = chunk;
        size_t to_left = sizeof chunk;
        size_t r = iconv(cd, &in, &in_left, &to, &to_left);
        int err = errno;  // put() may call realloc, which can set errno
        put(out, chunk, sizeof chunk - to_left);
        if (r != static_cast<size_t>(-1)) continue;
        // E2BIG: the chunk is full and was handed on; EILSEQ and EINVAL:
        // the byte at `in` begins nothing the page defines.
        if (err == EILSEQ || err == EINVAL) {
            put(out, " ", 1);
            in++;
            in_left--;
        } else if (err != E2BIG) {
            out.failed = true;
        }
    }
    iconv_close(cd);
}

/* Appends len bytes of text in the given code page as UTF-8. */
void put_code_page(text_builder &out, code_page page, const char *text, size_t len) {
    if (page == code_page::windows_1252)
        put_windows_1252(out, text, len);
    else
        put_double_byte(out, page, text, len);
}

/* Hands over the accumulated text, or frees it and returns null. */
char *finish(text_builder &out, size_t *out_len) {
    if (!out.failed && !out.data) {
        out.data = static_cast<char *>(calloc(1, 1));  // the empty text
        out.failed = out.data == nullptr;
    }
    if (out.failed) {
        free(out.data);
        return nullptr;
    }
    *out_len = out.len;
    return out.data;
}

/* Length of the word starting at text[i] (a word byte). */
size_t word_length(const char *text, size_t len, size_t i) {
    size_t j = i;
    while (j < len) {
        unsigned char c = static_cast<unsigned char>(text[j]);
        if (is_word_byte(c)) {
            j++;
        } else if (c == '\'' && j + 1 < len &&
                   is_word_byte(static_cast<unsigned char>(text[j + 1]))) {
            j++;
        } else {
            break;
        }
    }
    return j - i;
}

bool has_entries(const dict_volume *v) { return v && v->count > 0; }

/* English endings a root entry also matches, longest first. */
constexpr const char *root_endings[] = {"ing", "ers", "'s", "es", "ed", "er", "ly", "s"};

/*
 * Replaces one word through the root volume: the word itself, or a stem
 * of at least two bytes followed by one of the endings, which is kept.
 */
bool put_root(text_builder &out, const dict_volume *root, const char *word, size_t len) {
    if (const dict_entry *e = dict_find(root, volume_kind::root, word, len)) {
        put(out, e->value, e->value_len);
        return true;
    }
    for (const char *ending : root_endings) {
        size_t elen = strlen(ending);
        if (len < elen + 2) continue;
        if (compare_bytes(word + len - elen, elen, ending, elen, true) != 0) continue;
        if (const dict_entry *e = dict_find(root, volume_kind::root, word, len - elen)) {
            put(out, e->value, e->value_len);
            put(out, word + len - elen, elen);
            return true;
        }
    }
    return false;
}

/* Writes the word at text[i] or its replacement; returns the bytes used. */
size_t put_word(text_builder &out, const char *text, size_t len, size_t i, const text_options &o) {
    size_t wlen = word_length(text, len, i);
    const char *word = text + i;
    if (const dict_entry *e = dict_find(o.main, volume_kind::main, word, wlen)) {
        put(out, e->value, e->value_len);
        return wlen;
    }
    if (has_entries(o.abbreviation)) {
        if (i + wlen < len && text[i + wlen] == '.') {
            if (const dict_entry *e =
                    dict_find(o.abbreviation, volume_kind::abbreviation, word, wlen + 1)) {
                put(out, e->value, e->value_len);
                return wlen + 1;
            }
        }
        if (const dict_entry *e =
                dict_find(o.abbreviation, volume_kind::abbreviation, word, wlen)) {
            put(out, e->value, e->value_len);
            return wlen;
        }
    }
    if (has_entries(o.root) && put_root(out, o.root, word, wlen)) return wlen;
    put(out, word, wlen);
    return wlen;
}

void replace_words(text_builder &out, const char *text, size_t len, const text_options &o) {
    size_t i = 0;
    while (i < len && !out.failed) {
        if (is_word_byte(static_cast<unsigned char>(text[i]))) {
            i += put_word(out, text, len, i, o);
            continue;
        }
        size_t j = i;
        while (j < len && !is_word_byte(static_cast<unsigned char>(text[j]))) j++;
        put(out, text + i, j - i);
        i = j;
    }
}

/*
 * Spelling puts a comma and a blank between the characters of a word
 * (eSpeak NG then reads every letter by its name, where blanks alone
 * leave "a" read as the article); digit separation puts a blank between
 * neighbouring digits. UTF-8 continuation bytes never get a separator.
 */
void separate(text_builder &out, const char *text, size_t len, const text_options &o) {
    unsigned char prev = ' ';
    for (size_t i = 0; i < len && !out.failed; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        bool starts_char = is_ascii_alnum(c) || c >= 0xC0;
        if (starts_char && is_word_byte(prev)) {
            if (o.spell)
                put(out, ", ", 2);
            else if (o.digits_apart && is_digit(c) && is_digit(prev))
                put(out, " ", 1);
        }
        put(out, text + i, 1);
        prev = c;
    }
}

}  // namespace

int dict_load(dict_volume *out, volume_kind kind, const char *path, size_t *bad_line) {
    if (!path || !*path) return dict_file_not_found;
    char *data = nullptr;
    size_t size = 0;
    int err = read_file(path, &data, &size);
    if (err) return err;
    // At most one entry per line feed, plus a last line without one.
    size_t lines = 1;
    for (size_t i = 0; i < size; i++) lines += data[i] == '\n';
    if (lines > SIZE_MAX / sizeof(dict_entry)) {
        free(data);
        return dict_out_of_memory;
    }
    dict_entry *entries = static_cast<dict_entry *>(malloc(lines * sizeof(dict_entry)));
    if (!entries) {
        free(data);
        return dict_out_of_memory;
    }
    size_t count = 0, bad = 0;
    err = parse_entries(data, size, kind, entries, &count, &bad);
    if (err) {
        free(entries);
        free(data);
        if (bad_line) *bad_line = bad;
        return err;
    }
    count = sort_and_dedupe(entries, count, kind);
    dict_free(out);
    *out = dict_volume{data, entries, count};
    return 0;
}

void dict_free(dict_volume *volume) {
    if (!volume) return;
    free(volume->entries);
    free(volume->storage);
    *volume = dict_volume{};
}

const dict_entry *dict_find(const dict_volume *volume, volume_kind kind, const char *word,
                            size_t len) {
    if (!volume || volume->count == 0) return nullptr;
    bool fold = folds_case(kind);
    size_t lo = 0, hi = volume->count;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        const dict_entry &e = volume->entries[mid];
        int c = compare_bytes(e.key, e.key_len, word, len, fold);
        if (c == 0) return &e;
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return nullptr;
}

namespace {

/* text_for_speech on text already in UTF-8. */
char *rewrite_utf8(const char *text, size_t len, const text_options &options, size_t *out_len) {
    text_builder replaced{};
    bool any_dict =
        has_entries(options.main) || has_entries(options.root) || has_entries(options.abbreviation);
    if (any_dict)
        replace_words(replaced, text, len, options);
    else
        put(replaced, text, len);
    size_t replaced_len = 0;
    char *first = finish(replaced, &replaced_len);
    if (!first || (!options.spell && !options.digits_apart)) {
        if (first) *out_len = replaced_len;
        return first;
    }
    text_builder separated{};
    separate(separated, first, replaced_len, options);
    free(first);
    return finish(separated, out_len);
}

}  // namespace

/* Whether len bytes of text are valid UTF-8: shortest forms only, no
 * surrogates, nothing above U+10FFFF. */
bool is_valid_utf8(const char *text, size_t len) {
    size_t i = 0;
    while (i < len) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            i++;
            continue;
        }
        size_t n;
        uint32_t cp, min;
        if (c >= 0xC2 && c <= 0xDF) {
            n = 2, cp = c & 0x1Fu, min = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 3, cp = c & 0x0Fu, min = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 4, cp = c & 0x07u, min = 0x10000;
        } else {
            return false;
        }
        if (n > len - i) return false;
        for (size_t k = 1; k < n; k++) {
            unsigned char cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3Fu);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n;
    }
    return true;
}

char *text_for_speech(const char *text, size_t len, const text_options &options, size_t *out_len) {
    if (!options.as_code_page && is_valid_utf8(text, len))
        return rewrite_utf8(text, len, options, out_len);
    text_builder converted{};
    put_code_page(converted, options.page, text, len);
    size_t utf8_len = 0;
    char *utf8 = finish(converted, &utf8_len);
    if (!utf8) return nullptr;
    char *result = rewrite_utf8(utf8, utf8_len, options, out_len);
    free(utf8);
    return result;
}

}  // namespace reference
