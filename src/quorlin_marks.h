// SPDX-License-Identifier: BSD-2-Clause
/*
 * The marks of a message while its text is prepared: shared by the two
 * ways of cleaning text (quorlin_text.cpp, quorlin_faithful.cpp), which
 * move each mark from its place in their input to its place in their
 * output as they go. Private to the text preparation.
 */
#ifndef QUORLIN_MARKS_H
#define QUORLIN_MARKS_H

#include <stddef.h>
#include <stdint.h>

#include "quorlin_text.h"

namespace text_marks {

/*
 * The marks of one message while its text is prepared. During a stage,
 * the marks before `next` already stand at offsets into the stage's
 * output and the rest still at offsets into its input. Growth doubles
 * through a temporary; a failed one is sticky (`failed`), the marks
 * after it are ignored and the preparation fails once, at the end.
 */
struct mark_store {
    text_mark *marks;  // `count` of `capacity`, in text order
    size_t count;
    size_t capacity;
    char *names;  // `names_len` of `names_cap` bytes
    size_t names_len;
    size_t names_cap;
    size_t dropped;  // names that cannot be reported
    size_t next;     // the first mark not yet moved by this stage
    bool failed;     // an allocation failed
};

// A stage has read its input up to offset `in` and written `out` bytes:
// every mark that stood at or before `in` now stands at `out`.
inline void note_input(mark_store *m, size_t in, size_t out) {
    if (m == nullptr) return;
    while (m->next < m->count && m->marks[m->next].at <= in) m->marks[m->next++].at = out;
}

// A stage has ended with `len` bytes of output.
inline void end_stage(mark_store *m, size_t len) {
    if (m == nullptr) return;
    note_input(m, SIZE_MAX, len);
    m->next = 0;
}

// The output has shrunk to `len` bytes: marks already placed beyond its
// end stand at its end, so that places never decrease.
inline void pull_back(mark_store *m, size_t len) {
    if (m == nullptr) return;
    for (size_t i = m->next; i > 0 && m->marks[i - 1].at > len; --i) m->marks[i - 1].at = len;
}

/* Stage one (markup, entities, trimming) with the message's marks
 * gathered into `marks` when it is set; as strip_ssml otherwise. */
char *strip_markup(const char *text, size_t len, mark_store *marks);

/* Stage one as the faithful preparation takes it, markup read as XML:
 * comments dropped whole, CDATA content and a "<" that begins no tag kept
 * as text, character references decoded, and markup between two
 * non-blank characters left as one blank. Otherwise as strip_markup. */
char *strip_markup_as_xml(const char *text, size_t len, mark_store *marks);

/* Hands `prepared` (the engine's text, or null) and the marks over to
 * `out`, each mark moved out of any word: 0, or -1 with everything freed
 * when `prepared` is null or a mark could not be stored. */
int finish_marked_text(char *prepared, mark_store *marks, marked_text *out);

/* `clean`, the result of a cleaning stage, or null when it is null or
 * empty: an empty text has nothing to speak. An empty result is freed. */
char *spoken_or_null(char *clean);

/* Frees the marks' blocks and empties the store. */
void free_marks(mark_store &m);

}  // namespace text_marks

#endif
