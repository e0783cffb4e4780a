// SPDX-License-Identifier: GPL-3.0-or-later
/*
 * The reference engine's text side: dictionary volumes (their file format,
 * loading and lookup) and the rewriting of a message's text into what
 * eSpeak NG is given. Nothing here knows about eSpeak NG or audio; the
 * engine file owns instances, synthesis and resampling.
 *
 * All memory is the standard allocator's. The file format is documented
 * in README.md beside this file.
 */
#ifndef REFERENCE_TEXT_H
#define REFERENCE_TEXT_H

#include <stddef.h>

namespace reference {

/* What a volume's entries match: main and root ignore ASCII case, root
 * also matches a few English endings after the key, abbreviations keep
 * case and may end in a period. */
enum class volume_kind {
    main,
    root,
    abbreviation
};

struct dict_entry {
    const char *key; /* points into the volume's storage */
    size_t key_len;
    const char *value; /* replacement text, NUL-terminated, never empty */
    size_t value_len;
    size_t line; /* line number in the file; the later line wins */
};

/* One loaded volume. All-zero is the empty volume. */
struct dict_volume {
    char *storage;       /* the file's bytes, cut into keys and values */
    dict_entry *entries; /* sorted for lookup, one entry per key */
    size_t count;
};

/* Results of dict_load; zero is success. */
constexpr int dict_file_not_found = 1;
constexpr int dict_out_of_memory = 2;
constexpr int dict_malformed = 3;
constexpr int dict_access_error = 6;

/* Longest line a dictionary file may hold, line feed excluded. */
constexpr size_t dict_max_line_bytes = 4095;
/* Largest dictionary file accepted; beyond it loading fails as out of memory. */
constexpr size_t dict_max_file_bytes = 64u * 1024u * 1024u;

/*
 * Reads the dictionary file at path into *out for a volume of the given
 * kind. Returns 0 and replaces *out (freeing what it held) on success;
 * on failure returns one of the codes above, leaves *out untouched and,
 * for dict_malformed, stores the 1-based number of the first bad line in
 * *bad_line when bad_line is not null.
 */
int dict_load(dict_volume *out, volume_kind kind, const char *path, size_t *bad_line);

/* Frees a volume's memory and leaves it empty; accepts an empty volume. */
void dict_free(dict_volume *volume);

/* The replacement for the word of len bytes at word, or null. For an
 * abbreviation volume the word may include its trailing period. */
const dict_entry *dict_find(const dict_volume *volume, volume_kind kind, const char *word,
                            size_t len);

/* The code pages a dialect's text may arrive in when it is not UTF-8.
 * Zero is Windows-1252, the Western dialects' page, so that options
 * left zero read the text as before dialects existed. */
enum class code_page {
    windows_1252,
    gbk,       /* CP936, simplified Chinese */
    big5,      /* CP950, traditional Chinese */
    shift_jis, /* CP932, Japanese */
    cp949      /* Korean */
};

/* How a text is turned into eSpeak NG's input. A null volume is skipped. */
struct text_options {
    const dict_volume *main;
    const dict_volume *root;
    const dict_volume *abbreviation;
    bool spell;        /* every letter and digit read on its own */
    bool digits_apart; /* every digit of a number read on its own */
    code_page page;    /* how text that is not UTF-8 is read */
    bool as_code_page; /* read the text in page even when it is valid
                          UTF-8: the caller has judged the whole text
                          and hands it over in pieces */
};

/* Whether len bytes of text are valid UTF-8 (pure ASCII included). */
bool is_valid_utf8(const char *text, size_t len);

/*
 * Rewrites len bytes of text by the options into UTF-8 for eSpeak NG: a
 * text that is not valid UTF-8 is read in the options' code page and
 * converted first (pure ASCII and valid UTF-8 stay as they are, unless
 * as_code_page says otherwise; a byte sequence the page does not define
 * is read as a blank); then dictionary
 * replacements (main, then abbreviation, then root; a replacement is not
 * looked up again), then spelling and digit separation. Returns a new
 * NUL-terminated string and its length in *out_len, or null when memory
 * ran out, the result would not fit in a size_t or the system cannot
 * convert from the code page.
 */
char *text_for_speech(const char *text, size_t len, const text_options &options, size_t *out_len);

}  // namespace reference

#endif
