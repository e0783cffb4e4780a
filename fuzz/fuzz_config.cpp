// SPDX-License-Identifier: BSD-2-Clause
// Fuzz target for the configuration file reader: every input is written
// to a file and read with module_config, and the values it stores and
// the lines it logs are compared with an independent model of the file
// format, written here with std::string: the first MiB of the file (a
// line the limit cuts, and the rest, ignored with one warning), lines cut
// at line feeds, of which the first 255 bytes are read up to their first
// NUL and the rest skipped (with a warning when it held a word and the
// line is not a comment, and the whole line ignored when the cut fell
// inside its key or value), comments and blank lines, two words of which
// at most 63 characters are kept, keys without regard to case, unknown
// keys with the nearest known one, numbers saturated to 32 bits, checked
// against their ranges and warned about when not read whole, words after
// a used value, paths stored as written, control bytes escaped in the
// log, and at most 100 line warnings. A difference fails like a crash.
//
// The keys, their ranges, labels and defaults come from the reader's own
// table (quorlin_config.h): the model checks how the file is read, not
// which keys exist. The reader logs to stderr, which is pointed at a file
// while it runs; the values are set back to their defaults before each
// input, as a new process would have them.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "nrv_module_main.h"
#include "quorlin_config.h"

namespace {

using namespace quorlin;

const std::span<const config_key> keys = config_keys;

// What a reading of the file should leave: each key's value in the
// order of `keys`, and the log.
struct expected {
    std::vector<int> numbers;
    std::vector<std::string> paths;
    std::string log;
    size_t warnings = 0;  // line warnings, written or not
};

// The "C" locale's white space, which the scan's %s skips and stops at.
bool space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

// A word of at most 63 non-blank characters after skipping blanks, from
// `at`; empty when the line has no more.
std::string_view word(std::string_view line, size_t &at) {
    while (at < line.size() && space(line[at])) ++at;
    size_t start = at;
    while (at < line.size() && !space(line[at]) && at - start < 63) ++at;
    return line.substr(start, at - start);
}

// Sign and leading digits in base 10, saturated to 32 bits; 0 without
// leading digits.
int64_t number(std::string_view w) {
    size_t i = 0;
    bool negative = false;
    if (i < w.size() && (w[i] == '+' || w[i] == '-')) negative = w[i++] == '-';
    int64_t v = 0;
    for (; i < w.size() && w[i] >= '0' && w[i] <= '9'; ++i) {
        v = v * 10 + (w[i] - '0');
        if (v > int64_t{1} << 32) v = int64_t{1} << 32;
    }
    if (negative) v = -v;
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return v;
}

bool same_key(std::string_view word, size_t k) { return same_ignoring_case(word, keys[k].key); }

// Edits (insertion, deletion, change, swap of neighbours) from a to b,
// ignoring case, over the whole table.
size_t distance(std::string_view a, std::string_view b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t v = d[i - 1][j - 1] + (lower(a[i - 1]) != lower(b[j - 1]));
            v = std::min({v, d[i - 1][j] + 1, d[i][j - 1] + 1});
            if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) &&
                lower(a[i - 2]) == lower(b[j - 1]))
                v = std::min(v, d[i - 2][j - 2] + 1);
            d[i][j] = v;
        }
    return d[a.size()][b.size()];
}

std::string at_line(size_t n) { return "quorlin: config line " + std::to_string(n) + ": "; }

// A word as the log shows it: control bytes but TAB as "\xHH".
std::string shown(std::string_view w) {
    std::string out;
    for (char ch : w) {
        auto c = static_cast<unsigned char>(ch);
        if ((c < 0x20 && c != '\t') || c == 0x7F) {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += ch;
        }
    }
    return out;
}

// A line warning: the first 100 are written, the rest only counted.
void warn(expected &e, size_t n, const std::string &text) {
    if (e.warnings++ < 100) e.log += at_line(n) + text + "\n";
}

void unknown(expected &e, size_t n, std::string_view key) {
    size_t best = 3, at = keys.size();
    for (size_t k = 0; k < keys.size(); ++k) {
        size_t d = distance(key, keys[k].key);
        if (d < best) best = d, at = k;
    }
    std::string w = "unknown key " + shown(key);
    if (at < keys.size()) w += ": did you mean " + std::string(keys[at].key) + "?";
    warn(e, n, w);
}

std::string range_of(const config_key &k) {
    if (k.max == INT32_MAX) return std::to_string(k.min) + " or more";
    if (k.max == k.min + 1) return std::to_string(k.min) + " or " + std::to_string(k.max);
    return std::to_string(k.min) + " to " + std::to_string(k.max);
}

bool leads_with_number(std::string_view w) {
    size_t i = !w.empty() && (w[0] == '+' || w[0] == '-') ? 1 : 0;
    return i < w.size() && w[i] >= '0' && w[i] <= '9';
}

// Sign and digits to the end of the word, within the 32-bit range.
bool whole_number(std::string_view w) {
    bool negative = !w.empty() && w[0] == '-';
    size_t i = !w.empty() && (w[0] == '+' || w[0] == '-') ? 1 : 0;
    if (i == w.size()) return false;
    const int64_t bound = negative ? int64_t{1} << 31 : INT32_MAX;
    int64_t v = 0;
    for (; i < w.size(); ++i) {
        if (w[i] < '0' || w[i] > '9') return false;
        v = v * 10 + (w[i] - '0');
        if (v > bound) return false;
    }
    return true;
}

// Stores a number in range; true when it was used.
bool model_number(size_t n, size_t k, std::string_view value, expected &e) {
    int64_t v = number(value);
    std::string written = std::string(keys[k].key) + " " + shown(value);
    if (!leads_with_number(value))
        warn(e, n, written + " is not a number, read as " + std::to_string(v));
    if (v < keys[k].min || v > keys[k].max) {
        warn(e, n, written + " out of range " + range_of(keys[k]) + ", ignored");
        return false;
    }
    if (leads_with_number(value) && !whole_number(value))
        warn(e, n, written + " read as " + std::to_string(v));
    e.numbers[k] = static_cast<int>(v);
    if (keys[k].number == &config_voice)
        e.log += "quorlin: Config: voice " + std::to_string(v) + " (" +
                 voice_name_table[static_cast<size_t>(v)] + ")\n";
    else
        e.log += "quorlin: Config: " + std::string(keys[k].label) + " " + std::to_string(v) + "\n";
    return true;
}

// One line as read: `line` is the kept part up to its NUL, `whole` the
// kept part as it was, `rest` what followed it before the line feed.
void model_line(size_t n, std::string_view whole, std::string_view rest, expected &e) {
    std::string_view line = whole.substr(0, whole.find('\0'));
    size_t at = 0;
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    bool comment = at < line.size() && line[at] == '#';
    std::string_view key = word(line, at);
    // The value as written, whole; the reader keeps 63 characters of it.
    size_t value_at = at;
    while (value_at < line.size() && space(line[value_at])) ++value_at;
    size_t value_end = value_at;
    while (value_end < line.size() && !space(line[value_end])) ++value_end;
    std::string_view full_value = line.substr(value_at, value_end - value_at);
    std::string_view value = full_value.substr(0, 63);
    bool rest_words = false;
    for (char c : rest) rest_words |= !space(c);
    if (rest_words && !comment) {
        bool in_word = !space(rest[0]) && !whole.empty() && !space(whole.back()) &&
                       line.size() == whole.size() && value_end == line.size();
        if (in_word) {
            warn(e, n, "longer than 255 bytes, ignored");
            return;
        }
        warn(e, n, "longer than 255 bytes, the rest is ignored");
    }
    if (comment || key.empty()) return;
    size_t k = 0;
    while (k < keys.size() && !same_key(key, k)) ++k;
    if (value.empty()) {
        if (k < keys.size())
            warn(e, n, std::string(keys[k].key) + " has no value, ignored");
        else
            unknown(e, n, key);
        return;
    }
    e.log += "quorlin: Config line: key='" + shown(key) + "' value='" + shown(value) + "'\n";
    if (k == keys.size()) {
        unknown(e, n, key);
        return;
    }
    if (full_value.size() > 63) {
        warn(e, n, std::string(keys[k].key) + " value longer than the 63 characters kept, ignored");
        return;
    }
    bool used = true;
    if (keys[k].path != nullptr) {
        e.paths[k] = value;
        e.log += "quorlin: Config: " + std::string(keys[k].label) + " " + shown(value) + "\n";
    } else {
        used = model_number(n, k, value, e);
    }
    std::string after;
    for (char c : line.substr(value_end)) after += c;
    size_t from = 0, to = after.size();
    while (from < to && space(after[from])) ++from;
    while (to > from && space(after[to - 1])) --to;
    if (used && from < to)
        warn(e, n, std::string(keys[k].key) + " " + shown(value) +
                       ": words after the value ignored: " + shown(after.substr(from, to - from)));
}

constexpr size_t file_kept = size_t{1} << 20;

expected model(std::string_view file, const std::string &path) {
    expected e;
    for (const config_key &k : keys) {
        e.numbers.push_back(k.number != nullptr ? k.initial : 0);
        e.paths.emplace_back();
    }
    e.log = "quorlin: loading config: " + path + "\nquorlin: Config file opened successfully\n";
    std::string_view kept_file = file.substr(0, file_kept);
    bool longer = file.size() > file_kept;
    size_t n = 1;
    for (size_t at = 0; at < kept_file.size(); ++n) {
        size_t lf = kept_file.find('\n', at);
        if (lf == std::string_view::npos && longer) break;  // cut by the limit
        size_t end = lf == std::string_view::npos ? kept_file.size() : lf + 1;
        size_t kept = std::min(end - at, size_t{255});
        std::string_view whole = kept_file.substr(at, kept);
        std::string_view rest = kept_file.substr(at + kept, end - at - kept);
        if (!rest.empty() && rest.back() == '\n') rest.remove_suffix(1);
        model_line(n, whole, rest, e);
        at = end;
    }
    if (longer)
        e.log += at_line(n) + "beyond the first 1048576 bytes of the file, ignored with the rest\n";
    if (e.warnings > 100)
        e.log += "quorlin: config file: " + std::to_string(e.warnings - 100) +
                 " more line warnings left out\n";
    return e;
}

struct files {
    std::string path;  // the configuration file
    int log;           // stderr while the reader runs
    int report;        // where differences are reported
};

files io = {{}, -1, -1};

void remove_config() { unlink(io.path.c_str()); }

// A new file named from `pattern` in $TMPDIR, or /tmp without it, open
// for reading and writing; its name is left in `pattern`.
int temp_file(std::string *pattern) {
    const char *dir = getenv("TMPDIR");
    *pattern = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/" + *pattern;
    int fd = mkstemp(pattern->data());
    if (fd < 0) abort();
    return fd;
}

void set_up() {
    if (io.report < 0) io.report = dup(2);
    std::string path = "quorlin-fuzz-config-XXXXXX";
    close(temp_file(&path));  // not retried on EINTR: the descriptor is gone either way
    io.path = path;
    atexit(remove_config);
    // The log needs no name: it goes with the process however it ends.
    std::string log = "quorlin-fuzz-config-log-XXXXXX";
    io.log = temp_file(&log);
    unlink(log.c_str());
}

void write_file(const std::string &path, std::string_view bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0)
        abort();
}

// Runs the reader with stderr in io.log; returns what it logged.
std::string read_config() {
    if (ftruncate(io.log, 0) != 0 || lseek(io.log, 0, SEEK_SET) != 0) abort();
    fflush(stderr);
    int saved = dup(2);
    if (saved < 0 || dup2(io.log, 2) < 0) abort();
    int result = module_config(io.path.c_str());
    fflush(stderr);
    dup2(saved, 2);
    close(saved);  // not retried on EINTR: the descriptor is gone either way
    if (result != 0) abort();
    struct stat st;
    if (fstat(io.log, &st) != 0) abort();
    std::string log(static_cast<size_t>(st.st_size), '\0');
    if (pread(io.log, log.data(), log.size(), 0) != static_cast<ssize_t>(log.size())) abort();
    return log;
}

[[noreturn]] void differs(const char *what, const std::string &got, const std::string &want) {
    dprintf(io.report, "fuzz_config: %s differs\n--- read:\n%s\n--- expected:\n%s\n", what,
            got.c_str(), want.c_str());
    abort();
}

}  // namespace

// libFuzzer calls this before it acts on -close_fd_mask, which may close
// descriptor 2: differences are reported where stderr went.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    io.report = dup(2);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (io.log < 0) set_up();
    std::string_view file(reinterpret_cast<const char *>(data), size);
    write_file(io.path, file);
    config_reset();
    expected want = model(file, io.path);
    std::string log = read_config();
    if (log != want.log) differs("log", log, want.log);
    for (size_t k = 0; k < keys.size(); ++k) {
        if (keys[k].path != nullptr) {
            size_t len = strnlen(keys[k].path, config_path_bytes);
            if (len == config_path_bytes) differs(keys[k].key, "(not terminated)", want.paths[k]);
            if (std::string(keys[k].path, len) != want.paths[k])
                differs(keys[k].key, keys[k].path, want.paths[k]);
        } else if (*keys[k].number != want.numbers[k]) {
            differs(keys[k].key, std::to_string(*keys[k].number), std::to_string(want.numbers[k]));
        }
    }
    return 0;
}
