// SPDX-License-Identifier: BSD-2-Clause
/*
 * The engine's dialects and preset voices as the server names them
 * (CorvaneLanguages 1): the one table of dialects, and the rules that
 * turn the server's language tags, voice classes and listed voice names
 * into a dialect and a preset, and a set of installed dialects into the
 * voice list. Nothing here calls the engine or keeps state: quorlin.cpp
 * asks the engine what is installed, keeps what the server chose, and
 * applies it at the start of each message.
 *
 * A set of dialects is a bit mask over the rows of dialect_table, whose
 * rows run in ascending order of the engine's values, so that the lowest
 * set bit is the lowest-numbered dialect. Private to the engine adapter.
 */
#ifndef QUORLIN_LANGUAGES_H
#define QUORLIN_LANGUAGES_H

#include <stddef.h>
#include <stdint.h>

#include <span>

#include "nrv_types.h"
#include "quorlin_codepage.h"

namespace quorlin {


/* One dialect the module can list: the engine's value
 * (ECILanguageDialect), its BCP 47 tag (language-REGION), the code
 * page of its text and the CLDR language its spoken names are read in
 * (faithful_settings::language). */
struct dialect {
    int value;
    const char *tag;
    code_page page;
    const char *names;
};

/* Every dialect, ascending by value; at most 32, one bit each. */
extern const std::span<const dialect> dialect_table;

/* A set of rows of dialect_table. */
using dialect_set = uint32_t;

/* No row: a dialect the table does not hold (an input form, say). */
constexpr int no_dialect = -1;

/* The row of the engine's dialect `value`, or no_dialect. */
int dialect_row(long value);

/* The rows of the `count` dialects the engine reported, ignoring values
 * the table does not hold and repeats. */
dialect_set dialects_of(const int *values, size_t count);

/* The lowest row of `set`, or no_dialect for an empty set. */
int lowest_dialect(dialect_set set);

/*
 * The installed dialect (a row of `installed`) that the server's
 * language tag `asked` stands for, given that row `current` is the one
 * chosen so far; no_dialect when the language is not installed.
 * Compared ignoring ASCII case with "_" read as "-": the primary subtag
 * and the first region subtag (two letters or three digits; 419 is
 * Mexico), a script subtag standing in for a missing region (Hant:
 * Taiwan, Hans: China), and nb, nn and no all Norwegian. The dialect of
 * that language and region; else `current` when it has the language;
 * else the lowest-numbered dialect of the language.
 */
int match_language(const char *asked, dialect_set installed, int current);

/* The preset (an index into voice_name_table) of the server's generic
 * voice class `name` (male1 ... child_female, any case), or -1. */
int match_voice_class(const char *name);

/*
 * A synthesis_voice value: a listed name, the preset and an installed
 * dialect's tag ("Flo fr-FR", any case, "_" for "-" in the tag), sets
 * `*preset` and `*row`; a bare preset name ("Flo") sets `*preset` and
 * leaves `*row` no_dialect. False, with both untouched, for anything
 * else.
 */
bool match_synthesis_voice(const char *name, dialect_set installed, int *preset, int *row);

/*
 * A new voice list of the presets in the installed dialects, all of it
 * from malloc and strdup, for the runtime to free: first the preset
 * `first_preset` in row `first_row`, then every preset of every row of
 * `installed` in ascending order, that first voice not repeated. Each
 * voice is named by its preset and tag ("Flo fr-FR"), its language is
 * the tag and its variant "none". Null, with nothing left over, when any
 * of it cannot be had, and for a first voice that is none (before the
 * engine was asked).
 */
NRVVoice **dialect_voice_list(dialect_set installed, int first_row, int first_preset);

/* The tags of `set`, blank-separated, into `text` of `size` bytes (cut
 * if it must be, always terminated): for log lines. */
void dialect_tags(dialect_set set, char *text, size_t size);

}  // namespace quorlin

#endif
