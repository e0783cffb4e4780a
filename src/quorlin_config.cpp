// SPDX-License-Identifier: BSD-2-Clause
/*
 * The configuration file reader: module_config, the first hook the
 * process calls. It reads the file named on the command line once into
 * the config_ values of quorlin_config.h, which module_init applies to the
 * engine later. Nothing is written back and the file is not read again.
 *
 * No condition here stops the module: without a path, with a file that
 * cannot be opened or is not a regular file, and for any line it cannot
 * use, the values keep their defaults and the result is 0. Every log
 * line goes to stderr. Whatever of a line the reader does not use as
 * written gets a warning, "quorlin: config line N: ...", so that a typing
 * mistake in the file does not pass unnoticed: an unknown key, a missing,
 * long or out-of-range value, a number not read whole, words after the
 * value. A value it cannot keep whole is never used cut.
 *
 * The file is untrusted input as well: only its first MiB is read, at
 * most 100 line warnings are written, and control bytes of logged words
 * are escaped. The key table below is the one statement of the keys and
 * their defaults; the fuzz target models the reader against it.
 */
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "nrv_module_main.h"
#include "quorlin_config.h"

namespace {

using namespace quorlin;

/* Every key with its default, in the order in which keys are tried; the
 * config_ values below are initialised from it. */
constexpr config_key key_table[] = {
    {"CorvaneSampleRate", "sample rate", &config_sample_rate, nullptr, 0, 2, 2},
    {"CorvaneDefaultVoice", "voice", &config_voice, nullptr, 0, 7, 0},
    {"CorvanePitchBaseline", "pitch baseline", &config_pitch_baseline, nullptr, 0, 100, -1},
    {"CorvanePitchFluctuation", "pitch fluctuation", &config_pitch_fluctuation, nullptr, 0, 100,
     -1},
    {"CorvaneSpeed", "speed", &config_speed, nullptr, 0, 250, -1},
    {"CorvaneVolume", "volume", &config_volume, nullptr, 0, 100, -1},
    {"CorvaneHeadSize", "head size", &config_head_size, nullptr, 0, 100, -1},
    {"CorvaneRoughness", "roughness", &config_roughness, nullptr, 0, 100, -1},
    {"CorvaneBreathiness", "breathiness", &config_breathiness, nullptr, 0, 100, -1},
    {"CorvaneMainDict", "main dictionary", nullptr, config_main_dict, 0, 0, 0},
    {"CorvaneRootDict", "root dictionary", nullptr, config_root_dict, 0, 0, 0},
    {"CorvaneAbbrevDict", "abbreviation dictionary", nullptr, config_abbrev_dict, 0, 0, 0},
    {"CorvanePhrasePrediction", "phrase prediction", &config_phrase_prediction, nullptr, 0, 1, 0},
    {"CorvaneDictionary", "dictionary (abbreviations)", &config_dictionary, nullptr, 0, 1, 0},
    {"CorvaneNumberMode", "number mode", &config_number_mode, nullptr, 0, INT32_MAX, -1},
    {"CorvaneTextMode", "text mode", &config_text_mode, nullptr, 0, INT32_MAX, -1},
    {"CorvaneRealWorldUnits", "real world units", &config_real_world_units, nullptr, 0, 1, -1},
    {"CorvaneStreaming", "streaming", &config_streaming, nullptr, 0, 1, 0},
    {"CorvaneIndexMarks", "index marks", &config_index_marks, nullptr, 0, 1, 0},
    {"CorvaneFaithfulText", "faithful text", &config_faithful_text, nullptr, 0, 1, 0},
    {"CorvaneLanguages", "languages", &config_languages, nullptr, 0, 1, 0},
};

/* The default of the number `value` points to, from its row. A path row
 * is told by its empty range (every number key has at least two values),
 * not by its null `number`: the sanitizer builds assume that an object
 * may lie at address 0, so they cannot compare a global's address with
 * null while compiling. */
constexpr int initial_of(const int *value) {
    for (const config_key &k : key_table)
        if (k.max > k.min && k.number == value) return k.initial;
    return 0;
}

}  // namespace

namespace quorlin {

constinit int config_sample_rate = initial_of(&config_sample_rate);
constinit int config_voice = initial_of(&config_voice);
constinit int config_pitch_baseline = initial_of(&config_pitch_baseline);
constinit int config_pitch_fluctuation = initial_of(&config_pitch_fluctuation);
constinit int config_speed = initial_of(&config_speed);
constinit int config_volume = initial_of(&config_volume);
constinit int config_head_size = initial_of(&config_head_size);
constinit int config_roughness = initial_of(&config_roughness);
constinit int config_breathiness = initial_of(&config_breathiness);
constinit char config_main_dict[config_path_bytes] = "";
constinit char config_root_dict[config_path_bytes] = "";
constinit char config_abbrev_dict[config_path_bytes] = "";
constinit int config_phrase_prediction = initial_of(&config_phrase_prediction);
constinit int config_dictionary = initial_of(&config_dictionary);
constinit int config_number_mode = initial_of(&config_number_mode);
constinit int config_text_mode = initial_of(&config_text_mode);
constinit int config_real_world_units = initial_of(&config_real_world_units);
constinit int config_streaming = initial_of(&config_streaming);
constinit int config_index_marks = initial_of(&config_index_marks);
constinit int config_faithful_text = initial_of(&config_faithful_text);
constinit int config_languages = initial_of(&config_languages);

const std::span<const config_key> config_keys{key_table};

int open_regular_file(const char *path, const char **problem) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *problem = strerror(errno);
        return -1;
    }
    struct stat st;
    *problem = fstat(fd, &st) != 0 ? strerror(errno)
               : !S_ISREG(st.st_mode) ? not_a_regular_file
                                      : nullptr;
    if (*problem) {
        close(fd); /* not retried on EINTR: the descriptor is gone either way */
        return -1;
    }
    /* A regular file reads alike either way; the caller gets the
     * descriptor as an ordinary open would give it. */
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

void config_reset() {
    for (const config_key &k : key_table) {
        if (k.number) *k.number = k.initial;
        if (k.path) k.path[0] = '\0';
    }
}

/* strtoll, not strtol, so that the reading is the same on every build. */
int read_number(const char *word) {
    long long v = strtoll(word, nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int>(v);
}

}  // namespace quorlin

namespace {

/* Lines are read into a buffer of this size: at most 255 bytes of a
 * line, its line feed included. The rest of a longer line is skipped. */
constexpr size_t line_bytes = 256;
constexpr size_t line_kept = line_bytes - 1;
/* The longest key or value kept; a longer value is not used. */
constexpr size_t word_kept = 63;
/* An unknown key at most this many edits from a known one (a letter
 * added, dropped, changed, or two swapped) is taken for a typing mistake
 * of it. Known keys are at least twice this far apart, so a mistake is
 * seldom as near to two of them; a tie goes to the first in the table. */
constexpr size_t typo_edits = 2;
/* Only the first MiB of the file is read: a real file is a few hundred
 * bytes, and a huge or sparse one must not hold up the start. */
constexpr size_t file_kept_bytes = size_t{1} << 20;
/* Line warnings written at most; the rest are only counted, so that a
 * file of garbage cannot flood the server's log. */
constexpr size_t warnings_kept = 100;

/* What the reading of the file has seen so far; read_lines resets it. */
struct reading {
    FILE *file;      /* the open file, read through next_byte only */
    size_t bytes;    /* bytes taken from the file, at most file_kept_bytes */
    bool past_kept;  /* the file goes on beyond file_kept_bytes */
    size_t written;  /* line warnings written */
    size_t left_out; /* line warnings counted, not written */
};

constinit reading now = {nullptr, 0, false, 0, 0};

/* One line of the file: the part that fits the buffer, and what was
 * seen of the rest. */
struct file_line {
    char text[line_bytes]; /* the first bytes of the line, NUL added */
    size_t len;            /* bytes in text, the line feed included */
    bool rest_has_words;   /* the skipped rest holds more than white space */
    bool cut_in_word;      /* the cut fell between two non-blank bytes */
    bool unfinished;       /* the first MiB ended before the line did */
};

/* White space as the "C" locale has it, which separates the words. */
bool is_space(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/* The next byte of the file, or EOF at its end, after a read error, and
 * once file_kept_bytes have been taken; one byte more is then tried, only
 * to tell whether the file goes on. */
int next_byte() {
    if (now.bytes == file_kept_bytes) {
        if (!now.past_kept && getc(now.file) != EOF) now.past_kept = true;
        return EOF;
    }
    int c = getc(now.file);
    if (c != EOF) ++now.bytes;
    return c;
}

/* The line after the skipped rest of a long one ends here: at a line
 * feed, or unfinished when the first MiB ran out first. */
bool ended(file_line &l, int c) {
    if (c == EOF) l.unfinished = now.past_kept;
    return c == EOF || c == '\n';
}

/* Reads the next line into `l`; false at the end of what is read. Bytes
 * beyond the buffer are read up to the line feed and dropped, so that
 * they are never taken for a line of their own. A read error ends the
 * file, as the end does. */
bool next_line(file_line &l) {
    l.len = 0;
    l.rest_has_words = false;
    l.cut_in_word = false;
    l.unfinished = false;
    int c = EOF;
    while (l.len < line_kept && (c = next_byte()) != EOF) {
        l.text[l.len++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    l.text[l.len] = '\0';
    if (l.len == 0) return false;
    if (ended(l, c)) return true;
    c = next_byte();
    if (ended(l, c)) return true;
    l.cut_in_word = !is_space(c) && !is_space(static_cast<unsigned char>(l.text[l.len - 1]));
    for (; !ended(l, c); c = next_byte())
        if (!is_space(c)) l.rest_has_words = true;
    return true;
}

/* The next word of `line` from `at`, at most `limit` bytes of it; `at`
 * is left after what was taken. Empty when the line has no more. */
std::string_view next_word(std::string_view line, size_t &at, size_t limit) {
    while (at < line.size() && is_space(static_cast<unsigned char>(line[at]))) ++at;
    size_t start = at;
    while (at < line.size() && !is_space(static_cast<unsigned char>(line[at])) &&
           at - start < limit)
        ++at;
    return line.substr(start, at - start);
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

/* The number of single-letter edits (insertion, deletion, change, or a
 * swap of two neighbours) that turn `a` into `b`, ignoring ASCII case;
 * more than typo_edits when the lengths alone say so. */
size_t edit_distance(std::string_view a, std::string_view b) {
    if (a.size() > b.size() + typo_edits || b.size() > a.size() + typo_edits) return typo_edits + 1;
    /* Three rows of the usual table: for b[0..j) against a[0..i-2),
     * a[0..i-1) and a[0..i). Keys and kept words are at most 63 bytes. */
    constexpr size_t row = word_kept + typo_edits + 1;
    if (a.size() >= row || b.size() >= row) return typo_edits + 1;
    std::array<size_t, row> before{}, prev{}, cur{};
    for (size_t j = 0; j <= b.size(); ++j) prev[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        cur[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t change = prev[j - 1] + (lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1);
            size_t best = change;
            if (prev[j] + 1 < best) best = prev[j] + 1;
            if (cur[j - 1] + 1 < best) best = cur[j - 1] + 1;
            if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) &&
                lower(a[i - 2]) == lower(b[j - 1]) && before[j - 2] + 1 < best)
                best = before[j - 2] + 1;
            cur[j] = best;
        }
        before = prev;
        prev = cur;
    }
    return prev[b.size()];
}

const config_key *find_key(const char *key) {
    for (const config_key &k : key_table)
        if (strcasecmp(key, k.key) == 0) return &k;
    return nullptr;
}

/* The known key nearest to an unknown `key`, the first in table order
 * on a tie, or null when none is within typo_edits. */
const config_key *nearest_key(const char *key) {
    const config_key *best = nullptr;
    size_t best_edits = typo_edits + 1;
    for (const config_key &k : key_table) {
        size_t edits = edit_distance(key, k.key);
        if (edits < best_edits) {
            best = &k;
            best_edits = edits;
        }
    }
    return best;
}

/* Writes "quorlin: config line N: " and the rest, while fewer than
 * warnings_kept have been written; counts it otherwise. */
__attribute__((format(printf, 2, 3))) void warn(size_t line_no, const char *format, ...) {
    if (now.written == warnings_kept) {
        ++now.left_out;
        return;
    }
    ++now.written;
    fprintf(stderr, "quorlin: config line %zu: ", line_no);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
}

/* A word of the file as it is logged: each control byte (below 0x20 but
 * TAB, and 0x7F) written as "\xHH", so that a binary file cannot drive
 * the terminal that shows the log. */
struct logged_word {
    char text[line_bytes * 4]; /* room for a whole line escaped, NUL added */
};

logged_word logged(std::string_view word) {
    logged_word out;
    size_t n = 0;
    for (char ch : word) {
        auto c = static_cast<unsigned char>(ch);
        if (n + 5 > sizeof out.text) break; /* not reached: words fit a line */
        if ((c < 0x20 && c != '\t') || c == 0x7F) {
            snprintf(out.text + n, 5, "\\x%02X", c);
            n += 4;
        } else {
            out.text[n++] = ch;
        }
    }
    out.text[n] = '\0';
    return out;
}

void warn_unknown_key(size_t line_no, const char *key) {
    const config_key *near = nearest_key(key);
    if (near)
        warn(line_no, "unknown key %s: did you mean %s?", logged(key).text, near->key);
    else
        warn(line_no, "unknown key %s", logged(key).text);
}

/* "0 to 250", "0 or 1" or "0 or more", as the warnings name a range. */
void describe_range(const config_key &k, char *out, size_t size) {
    if (k.max == INT32_MAX)
        snprintf(out, size, "%d or more", k.min);
    else if (k.max - k.min == 1)
        snprintf(out, size, "%d or %d", k.min, k.max);
    else
        snprintf(out, size, "%d to %d", k.min, k.max);
}

/* An optional sign and then a digit: what read_number reads as written. */
bool starts_with_number(const char *value) {
    if (*value == '+' || *value == '-') ++value;
    return *value >= '0' && *value <= '9';
}

/* Whether read_number takes `value` whole: digits to its end, and a
 * number within the 32-bit range, so that nothing is cut or saturated. */
bool read_whole(const char *value) {
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(value, &end, 10);
    return *end == '\0' && errno != ERANGE && v >= INT32_MIN && v <= INT32_MAX;
}

/* Stores a number within its key's range; true when it was used. */
bool apply_number(const config_key &k, const char *value, size_t line_no) {
    int v = read_number(value);
    logged_word escaped = logged(value);
    const char *shown = escaped.text;
    if (!starts_with_number(value))
        warn(line_no, "%s %s is not a number, read as %d", k.key, shown, v);
    if (v < k.min || v > k.max) {
        char range[48];
        describe_range(k, range, sizeof range);
        warn(line_no, "%s %s out of range %s, ignored", k.key, shown, range);
        return false;
    }
    if (starts_with_number(value) && !read_whole(value))
        warn(line_no, "%s %s read as %d", k.key, shown, v);
    *k.number = v;
    if (k.number == &config_voice)
        fprintf(stderr, "quorlin: Config: voice %d (%s)\n", v,
                voice_name_table[static_cast<size_t>(v)]);
    else
        fprintf(stderr, "quorlin: Config: %s %d\n", k.label, v);
    return true;
}

/* Stores the value of a known key; true when it was used. */
bool apply_key(const config_key &k, const char *value, size_t line_no) {
    if (k.path) {
        /* A kept word has at most 63 characters, so it always fits. */
        snprintf(k.path, config_path_bytes, "%s", value);
        fprintf(stderr, "quorlin: Config: %s %s\n", k.label, logged(k.path).text);
        return true;
    }
    return apply_number(k, value, line_no);
}

/* Copies a word of at most word_kept bytes into a NUL-terminated field. */
void copy_word(std::string_view word, char (&field)[word_kept + 1]) {
    memcpy(field, word.data(), word.size());
    field[word.size()] = '\0';
}

/* What follows the value on its line, without the blanks around it. */
std::string_view words_after(std::string_view line, size_t at) {
    while (at < line.size() && is_space(static_cast<unsigned char>(line[at]))) ++at;
    size_t end = line.size();
    while (end > at && is_space(static_cast<unsigned char>(line[end - 1]))) --end;
    return line.substr(at, end - at);
}

/*
 * One line: two words, the key and the value; more words are ignored,
 * with a warning when the value was used. The line reads up to its first
 * NUL. A key longer than 63 bytes is cut there and its rest taken as the
 * value, as the file format has always read it; such a key is unknown
 * anyway.
 */
void read_line(const file_line &l, size_t line_no) {
    std::string_view line(l.text, strnlen(l.text, l.len));
    size_t at = 0;
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    bool comment = at < line.size() && line[at] == '#';
    std::string_view key_word = next_word(line, at, word_kept);
    std::string_view value_word = next_word(line, at, SIZE_MAX);
    /* The buffer's end fell inside the key or the value when that word
     * runs to the end of a whole buffer and the rest goes on with it. */
    bool word_cut = l.cut_in_word && line.size() == l.len && at == line.size();
    if (l.rest_has_words && !comment) {
        if (word_cut) {
            warn(line_no, "longer than %zu bytes, ignored", line_kept);
            return;
        }
        warn(line_no, "longer than %zu bytes, the rest is ignored", line_kept);
    }
    if (comment || key_word.empty()) return;
    char key[word_kept + 1], value[word_kept + 1];
    copy_word(key_word, key);
    if (value_word.empty()) {
        const config_key *k = find_key(key);
        if (k)
            warn(line_no, "%s has no value, ignored", k->key);
        else
            warn_unknown_key(line_no, key);
        return;
    }
    copy_word(value_word.substr(0, word_kept), value);
    fprintf(stderr, "quorlin: Config line: key='%s' value='%s'\n", logged(key).text,
            logged(value).text);
    const config_key *k = find_key(key);
    if (!k) {
        warn_unknown_key(line_no, key);
        return;
    }
    if (value_word.size() > word_kept) {
        warn(line_no, "%s value longer than the %zu characters kept, ignored", k->key, word_kept);
        return;
    }
    std::string_view rest = words_after(line, at);
    if (apply_key(*k, value, line_no) && !rest.empty())
        warn(line_no, "%s %s: words after the value ignored: %s", k->key, logged(value).text,
             logged(rest).text);
}

/* Opens the configuration file for reading, or logs why not and returns
 * null. Only a regular file is read (open_regular_file). */
FILE *open_config(const char *path) {
    const char *problem = nullptr;
    int fd = open_regular_file(path, &problem);
    FILE *f = fd < 0 ? nullptr : fdopen(fd, "r");
    if (fd >= 0 && !f) {
        problem = strerror(errno);
        close(fd); /* not retried on EINTR: the descriptor is gone either way */
    }
    if (!f) fprintf(stderr, "quorlin: Could not open config file: %s\n", problem);
    return f;
}

/* Reads every line of the open file, up to file_kept_bytes; a line that
 * the limit cuts is not used, since its value may be cut too. */
void read_lines(FILE *f) {
    now = {f, 0, false, 0, 0};
    file_line line;
    size_t line_no = 1;
    for (; next_line(line) && !line.unfinished; ++line_no) read_line(line, line_no);
    if (now.past_kept)
        fprintf(stderr,
                "quorlin: config line %zu: beyond the first %zu bytes of the file, "
                "ignored with the rest\n",
                line_no, file_kept_bytes);
    if (now.left_out > 0)
        fprintf(stderr, "quorlin: config file: %zu more line warnings left out\n", now.left_out);
}

}  // namespace

extern "C" int module_config(const char *configfile) {
    if (!configfile) {
        fprintf(stderr, "quorlin: loading config: %s\n", "(none)");
        return 0;
    }
    fprintf(stderr, "quorlin: loading config: %s\n", configfile);
    FILE *f = open_config(configfile);
    if (!f) return 0;
    fprintf(stderr, "quorlin: Config file opened successfully\n");
    read_lines(f);
    fclose(f);
    return 0;
}
