// SPDX-License-Identifier: BSD-2-Clause
/*
 * The Unicode stage of the faithful preparation, between stage one
 * (markup, entities, trimming) and stage two (the code-page rewrite):
 * the words that the code page cannot hold as they are written are
 * rewritten through ICU into letters it has. quorlin_unicode.cpp owns
 * ICU's objects, made at the first text that needs each and kept for
 * the life of the process. Private to the text preparation.
 */
#ifndef QUORLIN_UNICODE_H
#define QUORLIN_UNICODE_H

#include "quorlin_marks.h"

namespace text_unicode {

/*
 * The NUL-terminated UTF-8 `plain`, owned by the caller, with each word
 * that holds a decomposed accent composed (NFC), each word of Cyrillic,
 * Greek, Armenian, Georgian, Hebrew or Arabic letters written in Latin
 * letters, and each Latin letter that Windows-1252 lacks turned into its
 * nearest letters. One Greek letter alone stays, to be read by its name;
 * ideographs and syllabaries stay. Everything outside such words, and
 * every byte of a malformed sequence, is left as it is, and the marks
 * move with the text (a mark inside a rewritten word to its end).
 *
 * Returns `plain` itself, rewritten where it stands when no word comes
 * out longer than the room the words before it left (untouched when it
 * is ASCII: no allocation, no ICU call), or else a new malloc'd string,
 * `plain` then being freed. Returns null, `plain` freed, only when
 * memory runs out; a word that ICU cannot rewrite for any other reason
 * stays as it was.
 */
char *unicode_stage(char *plain, text_marks::mark_store *marks);

}  // namespace text_unicode

#endif
