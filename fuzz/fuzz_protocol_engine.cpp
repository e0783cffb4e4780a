// SPDX-License-Identifier: BSD-2-Clause
// Reads the fake engine's call log line by line, keeping what the engine
// holds the way the fake does: text and indexes given pile up until a
// synthesis takes them or eciStop drops them, and a failed call takes
// nothing. A hand-over begins with the first text or index given after
// the last one ended; what the engine still held then belongs to an
// earlier message.
#include "fuzz_protocol_engine.h"

#include <cstdlib>

namespace fuzz_protocol {

namespace {

// The suffixes with which the fake engine logs a broken contract.
constexpr std::string_view contract_faults[] = {
    " REFUSED",     // a call from inside the callback
    " BAD HANDLE",  // a call on an instance or set that is not live
    " BAD INDEX",   // index number 0
    " BUSY",        // a synthesis while one runs
};

// What the engine holds between two syntheses.
struct held_input {
    size_t bytes = 0;                  // text bytes given
    std::vector<size_t> index_bytes;   // text bytes before each index given
};

// Decodes the quoted text of an eciAddText line (after its opening quote)
// into `text`; returns what follows the closing quote.
std::string_view unquote(std::string_view q, std::string *text) {
    size_t i = 0;
    for (; i < q.size() && q[i] != '"'; ++i) {
        if (q[i] != '\\' || i + 1 >= q.size()) {
            *text += q[i];
            continue;
        }
        char c = q[++i];
        if (c == 'n') {
            *text += '\n';
        } else if (c == 'x' && i + 2 < q.size()) {
            *text += static_cast<char>(strtol(std::string(q.substr(i + 1, 2)).c_str(), nullptr, 16));
            i += 2;
        } else {
            *text += c;
        }
    }
    return i < q.size() ? q.substr(i + 1) : std::string_view{};
}

class log_reader {
public:
    void line(std::string_view l);
    engine_calls result() { return std::move(calls_); }

private:
    void fault(std::string_view what, std::string_view l) {
        if (calls_.fault.empty()) calls_.fault = std::string(what) + ": " + std::string(l);
    }
    void open_intake();
    void close_intake(intake_end end);
    void add_text(std::string_view l);
    void insert_index(std::string_view l);

    engine_calls calls_;
    held_input held_;
    bool open_ = false;  // a hand-over has begun and not ended
    intake current_ = {};
};

void log_reader::open_intake() {
    if (open_) return;
    open_ = true;
    current_ = intake{intake_end::synthesized, {}, {}, 0, held_.bytes, held_.index_bytes.size()};
}

void log_reader::close_intake(intake_end end) {
    open_intake();
    current_.end = end;
    const std::vector<size_t> &all = held_.index_bytes;
    current_.mark_bytes.assign(all.begin() + static_cast<long>(current_.stale_indexes), all.end());
    current_.spoken_bytes = held_.bytes;
    calls_.intakes.push_back(std::move(current_));
    open_ = false;
    if (end == intake_end::synthesized) held_ = held_input{};
}

void log_reader::add_text(std::string_view l) {
    open_intake();
    std::string text;
    std::string_view suffix = unquote(l.substr(sizeof "eciAddText \"" - 1), &text);
    if (suffix.find(" BACKQUOTE") != std::string_view::npos) fault("text with a backquote", l);
    if (suffix.find(" FAIL") != std::string_view::npos) {
        close_intake(intake_end::text_refused);
        return;
    }
    if (!suffix.empty()) return;
    held_.bytes += text.size();
    current_.text += text;
}

void log_reader::insert_index(std::string_view l) {
    open_intake();
    // A refused or failed index is logged with a word after its number,
    // or instead of it, and is not placed.
    std::string_view number = l.substr(sizeof "eciInsertIndex " - 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string_view::npos) return;
    held_.index_bytes.push_back(held_.bytes);
}

void log_reader::line(std::string_view l) {
    for (std::string_view f : contract_faults)
        if (l.ends_with(f)) fault("engine contract broken", l);
    if (l.starts_with("eciAddText \"")) {
        add_text(l);
    } else if (l.starts_with("eciInsertIndex ")) {
        insert_index(l);
    } else if (l == "eciSynthesize") {
        close_intake(intake_end::synthesized);
    } else if (l == "eciSynthesize FAIL") {
        close_intake(intake_end::synthesis_failed);
    } else if (l == "eciStop") {
        held_ = held_input{};
        current_.stale_bytes = 0;
        current_.stale_indexes = 0;
    } else if (l == "eciNew") {
        held_ = held_input{};
    }
}

}  // namespace

engine_calls read_engine_log(std::string_view log) {
    log_reader reader;
    while (!log.empty()) {
        size_t lf = log.find('\n');
        reader.line(log.substr(0, lf));
        if (lf == std::string_view::npos) break;
        log.remove_prefix(lf + 1);
    }
    return reader.result();
}

}  // namespace fuzz_protocol
