// SPDX-License-Identifier: BSD-2-Clause
/*
 * Text preparation for the engine: turns the bytes of a message, as the
 * server sent them, into the text the engine is given.
 *
 * Private to the engine adapter; it is kept in a file of its own only so
 * that it can be tested, fuzzed and measured alone. Nothing here crosses
 * the hook seam, so these are plain C++ functions. Every string returned
 * is allocated with malloc and owned by the caller, who frees it.
 */
#ifndef QUORLIN_TEXT_H
#define QUORLIN_TEXT_H

#include <stddef.h>

#include "nrv_types.h"

/* The text the engine is given for `len` bytes of `text` of kind `type`:
 * markup removed, entities decoded, blanks trimmed and, for plain text
 * and sound icons, rewritten into the engine's safe ASCII. Null when the
 * result would be empty or a buffer cannot be allocated; then nothing is
 * left for the caller to free. */
char *prepare_text(const char *text, size_t len, NRVMessageType type);

/* A mark met in a message's markup: the byte of the prepared text before
 * which it stands, and where its name begins in the names block. */
struct text_mark {
    size_t at;
    size_t name;
};

/* A message prepared with its marks. `text` is exactly what prepare_text
 * gives for the same message: the marks only cut it into pieces, and
 * never inside a word. All three blocks are the caller's, released with
 * free_marked_text. */
struct marked_text {
    char *text;       /* the engine's text, NUL-terminated */
    size_t length;    /* its bytes before the NUL */
    text_mark *marks; /* `count` marks in text order, `at` non-decreasing */
    size_t count;
    char *names;    /* the marks' names, each NUL-terminated */
    size_t dropped; /* marks left out: a name that cannot be reported */
};

/* The longest mark name that can be reported; a longer one is dropped,
 * like one holding a byte below 0x20, which could break the event line. */
constexpr size_t max_mark_name_bytes = 255;

/* Like prepare_text, and for plain text also gathers the marks written
 * as <mark name="NAME"/> (or with '...', blanks around "=", the five
 * entities decoded in the name). 0 on success, with `out` filled; -1
 * when prepare_text would give null, with `out` empty. */
int prepare_marked_text(const char *text, size_t len, NRVMessageType type, marked_text *out);

/* Frees what prepare_marked_text filled in; safe on an empty record. */
void free_marked_text(marked_text *prepared);

/* A new copy of `len` bytes of `text` without tags, with the five XML
 * entities decoded and TAB, LF and space trimmed at both ends. The copy
 * ends at the first NUL outside a tag. Null only when the copy cannot be
 * allocated; the empty string is a regular result. */
char *strip_ssml(const char *text, size_t len);

/* Decodes &amp; &lt; &gt; &apos; &quot; of a NUL-terminated text in
 * place, in one pass that never rescans what it wrote. */
void decode_xml_entities(char *text);

/* A new string holding the NUL-terminated `text` rewritten into the
 * bytes the engine takes safely: TAB, LF, space, ! $ ' , . ? and ASCII
 * letters and digits. At most 2.5 times the input's length. Null only
 * when the buffer cannot be allocated; the result may be empty. */
char *sanitize_for_corvane(const char *text);

#endif
