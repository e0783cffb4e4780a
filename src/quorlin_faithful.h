// SPDX-License-Identifier: BSD-2-Clause
/*
 * Faithful text preparation: the second way of turning a message into
 * the engine's text, beside the ASCII sanitiser of quorlin_text. It keeps
 * what the text says audible: apostrophes, accented letters (in the
 * engine's 8-bit Western code page, Windows-1252), symbols read by name
 * at the listener's punctuation level, characters and keys by name, and
 * spelling on request.
 *
 * Private to the engine adapter, like quorlin_text.h; plain C++ with no
 * exceptions. Every string returned is allocated with malloc and owned
 * by the caller, who frees it.
 */
#ifndef QUORLIN_FAITHFUL_H
#define QUORLIN_FAITHFUL_H

#include <stddef.h>

#include "nrv_types.h"
#include "quorlin_codepage.h"
#include "quorlin_text.h"

/* How much punctuation the listener hears, lowest first: each level
 * reads its own symbols and those of every lower level by name. */
enum class punct_level : unsigned char {
    none,
    some,
    most,
    all
};

/* How a capital letter of a character message is signalled: not at all
 * by the text, by the word "capital" before it, or by the server's own
 * sound icon (which also leaves the text as it is). */
enum class caps_mode : unsigned char {
    none,
    spell,
    icon
};

/* The server's settings that the faithful preparation honours. The
 * initial values are the ones that hold before any SET. */
struct faithful_settings {
    punct_level punctuation = punct_level::some;  // punctuation_mode
    bool spelling = false;                        // spelling_mode: TEXT is spelled
    caps_mode capitals = caps_mode::none;         // cap_let_recogn
    // Not a setting of the server's: the code page of the dialect that
    // speaks the message, which the adapter sets for each one.
    code_page page = code_page::windows_1252;
    // Not the server's either: the language whose names of symbols, emoji
    // and money are read, by its CLDR code ("fr", "zh_Hant"); null or one
    // without a table reads English.
    const char *language = nullptr;
};

/* Takes one setting of a SET block: punctuation_mode (none, some, most,
 * all), spelling_mode (on, off) or cap_let_recogn (none, spell, icon).
 * Returns whether `var` is one of these three; a value it does not know
 * is logged to stderr as one line and leaves the setting as it was. */
bool faithful_set(faithful_settings *s, const char *var, const char *val);

/* The text the engine is given for `len` bytes of `text` of kind `type`
 * in faithful mode: markup removed, entities decoded and blanks trimmed
 * as prepare_text does, then TEXT and SOUND_ICON rewritten for the
 * engine's code page (spelled while spelling is on), CHAR read by name
 * and KEY with its underscores read as blanks. The result holds only
 * printable ASCII, TAB, LF and the code page's letters, and never a
 * backquote. Null when the result would be empty or a buffer cannot be
 * allocated; then nothing is left for the caller to free. */
char *prepare_faithful(const char *text, size_t len, NRVMessageType type,
                       const faithful_settings *s);

/* prepare_faithful with the marks of plain text, as prepare_marked_text
 * gathers them: `out` holds exactly the text prepare_faithful gives.
 * 0 on success; -1, with `out` empty, when prepare_faithful gives null. */
int prepare_marked_faithful(const char *text, size_t len, NRVMessageType type,
                            const faithful_settings *s, marked_text *out);

#endif
