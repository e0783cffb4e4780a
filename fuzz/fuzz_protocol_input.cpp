// SPDX-License-Identifier: BSD-2-Clause
// Reads a fuzz input as the module does, line by line: commands, the data
// blocks that follow SPEAK, SOUND_ICON, CHAR, KEY, SET, AUDIO and
// LOGLEVEL up to their lone dot, and the text each message block becomes.
// The marks of a text are known only where every "<mark" in it begins a
// mark written plainly, <mark name="NAME"/> with a name of letters,
// digits and "_.-": the module surely takes each of those for a mark and
// nothing else for one, since a mark tag must begin with "<mark".
#include "fuzz_protocol_input.h"

#include <cstddef>

namespace fuzz_protocol {

namespace {

constexpr size_t max_name_bytes = 255;  // the longest name the module reports

// One line as the reader hands it out: the bytes before any NUL, and
// whether it kept its line feed (a NUL cuts the line there).
struct input_line {
    std::string_view text;
    bool whole;
};

class line_cursor {
public:
    explicit line_cursor(std::string_view input) : rest_(input) {}

    // The next whole line, false at the end or before an unfinished one.
    bool next(input_line *line) {
        size_t lf = rest_.find('\n');
        if (lf == std::string_view::npos) return false;
        std::string_view raw = rest_.substr(0, lf);
        rest_.remove_prefix(lf + 1);
        size_t nul = raw.find('\0');
        *line = {raw.substr(0, nul), nul == std::string_view::npos};
        return true;
    }

private:
    std::string_view rest_;
};

bool is_command(const input_line &l, std::string_view name) { return l.whole && l.text == name; }

bool is_block_end(const input_line &l) { return is_command(l, "."); }

bool is_name_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '_' || c == '.' || c == '-';
}

// The name of the plain mark at the start of `at`, or false.
bool plain_mark(std::string_view at, std::string *name) {
    constexpr std::string_view open = "<mark name=\"";
    constexpr std::string_view close = "\"/>";
    if (!at.starts_with(open)) return false;
    at.remove_prefix(open.size());
    size_t n = 0;
    while (n < at.size() && is_name_byte(at[n])) ++n;
    if (n == 0 || n > max_name_bytes || !at.substr(n).starts_with(close)) return false;
    *name = std::string(at.substr(0, n));
    return true;
}

void find_marks(std::string_view text, message_command *m) {
    m->marks_known = true;
    for (size_t at = text.find("<mark"); at != std::string_view::npos;
         at = text.find("<mark", at + 1)) {
        std::string name;
        if (!plain_mark(text.substr(at), &name)) {
            m->marks_known = false;
            m->marks.clear();
            return;
        }
        m->marks.push_back(std::move(name));
    }
}

// Reads a data block up to its lone dot; returns the text it makes, as
// the intake joins its lines (one leading dot dropped from each, every
// line ended by a line feed, the last line feed not part of the text).
std::string read_block(line_cursor &lines) {
    std::string text;
    input_line l;
    while (lines.next(&l) && !is_block_end(l)) {
        std::string_view data = l.text;
        if (data.starts_with(".")) data.remove_prefix(1);
        text += data;
        text += '\n';
    }
    if (!text.empty()) text.pop_back();
    return text;
}

stop_kind stop_of(const input_line &l) {
    if (is_command(l, "STOP")) return stop_kind::stop;
    if (is_command(l, "PAUSE")) return stop_kind::pause;
    if (is_command(l, "QUIT")) return stop_kind::quit;
    return stop_kind::none;
}

bool message_of(const input_line &l, message_kind *kind) {
    constexpr struct {
        std::string_view command;
        message_kind kind;
    } messages[] = {
        {"SPEAK", message_kind::text},
        {"SOUND_ICON", message_kind::sound_icon},
        {"CHAR", message_kind::character},
        {"KEY", message_kind::key},
    };
    for (const auto &m : messages) {
        if (!is_command(l, m.command)) continue;
        *kind = m.kind;
        return true;
    }
    return false;
}

}  // namespace

std::vector<message_command> read_messages(std::string_view input) {
    std::vector<message_command> messages;
    size_t unstopped = 0;  // the first message not yet given its stop
    line_cursor lines(input);
    input_line l;
    while (lines.next(&l)) {
        stop_kind stop = stop_of(l);
        if (stop != stop_kind::none) {
            for (; unstopped < messages.size(); ++unstopped) messages[unstopped].stopped_by = stop;
            continue;
        }
        message_kind kind;
        if (message_of(l, &kind)) {
            message_command m = {kind, true, {}, stop_kind::none};
            std::string data = read_block(lines);
            if (kind == message_kind::text) find_marks(data, &m);
            messages.push_back(std::move(m));
        } else if (is_command(l, "SET") || is_command(l, "AUDIO") || is_command(l, "LOGLEVEL")) {
            read_block(lines);
        }
    }
    return messages;
}

}  // namespace fuzz_protocol
