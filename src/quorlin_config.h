// SPDX-License-Identifier: BSD-2-Clause
/*
 * The adapter's configuration values, shared by the file reader
 * (quorlin_config.cpp, which owns and fills them) and the engine adapter
 * (quorlin.cpp, which applies them to the engine and names the voice).
 *
 * Every value is constant-initialised to its default, which the key
 * table states once, and written only by module_config, once, before the
 * engine exists. A number of -1 means the file did not set it, so the
 * engine keeps its own value; an empty path means there is no such
 * dictionary. The number reader is shared too: the adapter reads the
 * server's settings the way the file's numbers are read. Private to the
 * adapter: nothing here crosses the module seam.
 */
#ifndef QUORLIN_CONFIG_H
#define QUORLIN_CONFIG_H

#include <array>
#include <cstddef>
#include <span>

namespace quorlin {

/* Capacity of each dictionary path, terminator included. */
constexpr size_t config_path_bytes = 256;

extern int config_sample_rate;       /* engine rate code 0..2 */
extern int config_voice;             /* preset voice 0..7 */
extern int config_pitch_baseline;    /* 0..100 or -1 */
extern int config_pitch_fluctuation; /* 0..100 or -1 */
extern int config_speed;             /* 0..250 or -1 */
extern int config_volume;            /* 0..100 or -1 */
extern int config_head_size;         /* 0..100 or -1 */
extern int config_roughness;         /* 0..100 or -1 */
extern int config_breathiness;       /* 0..100 or -1 */
extern char config_main_dict[config_path_bytes];
extern char config_root_dict[config_path_bytes];
extern char config_abbrev_dict[config_path_bytes];
extern int config_phrase_prediction; /* 0 or 1 */
extern int config_dictionary;        /* 0 or 1; the engine gets its negation */
extern int config_number_mode;       /* 0 or more, or -1 */
extern int config_text_mode;         /* 0 or more, or -1 */
extern int config_real_world_units;  /* 0 or 1, or -1 */
extern int config_streaming;         /* 0: speak a message whole, then send it;
                                        1: send it while the engine works */
extern int config_index_marks;       /* 0: SSML marks are markup, PAUSE stops;
                                        1: marks are reported, PAUSE ends with 704 */
extern int config_faithful_text;     /* 0: the ASCII sanitiser; 1: text prepared
                                        faithfully in the engine's code page */
extern int config_languages;         /* 0: one voice in the start dialect, the
                                        server's language and voice ignored;
                                        1: every installed dialect listed and
                                        chosen by the server */

/* A base-10 number with an optional sign, read alike from the file and
 * from the server's settings: reading stops at the first non-digit, a
 * word without leading digits reads as 0, and the result saturates to
 * the 32-bit range where long is 32 bits and where it is 64. */
int read_number(const char *word);

/* One key of the file. A key sets either a number (`number`, accepted
 * from `min` to `max` inclusive, INT32_MAX meaning no upper bound, and
 * `initial` before the file is read) or a dictionary path (`path`, empty
 * before the file is read). `label` is what the acceptance log line calls
 * the value. */
struct config_key {
    const char *key;
    const char *label;
    int *number;
    char *path;
    int min;
    int max;
    int initial;
};

/* Every key, in the order in which the reader tries them. */
extern const std::span<const config_key> config_keys;

/* What open_regular_file gives as the problem of a path that opened but
 * is not a regular file. */
inline constexpr char not_a_regular_file[] = "not a regular file";

/* Opens `path` for reading without waiting, since a FIFO with no writer
 * would block the open for ever, and keeps it only when it is a regular
 * file: a FIFO, a device such as /dev/zero (whose read never ends) or a
 * directory is refused. The descriptor, in blocking mode, or -1 with
 * `*problem` saying why: the system's text, or not_a_regular_file. */
int open_regular_file(const char *path, const char **problem);

/* Sets every config_ value back to its default, as the process starts
 * with it; for programs that read a file again in one process. */
void config_reset();

/* The engine's preset voices, indexed by config_voice. The engine's own
 * number for each is one more: its voice 0 is the one that speaks. */
inline constexpr std::array<const char *, 8> voice_name_table = {
    "Wade", "Flo", "Bobbie", "Male2", "Male3", "Female2", "Grandma", "Grandpa"};

}  // namespace quorlin

#endif
