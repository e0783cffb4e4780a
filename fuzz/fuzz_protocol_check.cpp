// SPDX-License-Identifier: BSD-2-Clause
// The check of one protocol run: walks the module's stdout item by item
// (reply lines and decoded 705 blocks) through a small state machine of
// what a server may see. Each spoken message is matched with its command
// in the input (fuzz_protocol_input.cpp), which says what cut it short,
// and with what the engine was given for it (fuzz_protocol_engine.cpp),
// which says how the hand-over ended and where the engine reports each
// index. Every audio block is compared with the samples the fake engine
// produced for that message, and every mark with the audio sent before it.
#include "fuzz_protocol_check.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <vector>

#include "fake_engine.h"
#include "fuzz_protocol_engine.h"
#include "fuzz_protocol_input.h"
#include "protocol.h"

namespace fuzz_protocol {

namespace {

constexpr long block_frames = 5000;  // 10000 payload bytes of 16-bit mono

// Samples of the `message`-th synthesis, read from the script the way the
// fake engine reads it: a comma list by message, the last entry repeated.
long samples_of(const char *list, int message) {
    long n = 1000;
    int i = 1;
    for (const char *p = list; *p != '\0'; ++i) {
        char *end = nullptr;
        n = strtol(p, &end, 10);
        if (n < 0) n = 0;
        if (i == message || *end != ',') break;
        p = end + 1;
    }
    return n;
}

std::string fake_bytes(int message, long first, long count) {
    std::string bytes;
    bytes.reserve(static_cast<size_t>(count) * 2);
    for (long i = first; i < first + count; ++i) {
        auto v = static_cast<uint16_t>(quorlin_fake_sample(message, i));
        bytes.push_back(static_cast<char>(v & 0xFF));
        bytes.push_back(static_cast<char>(v >> 8));
    }
    return bytes;
}

bool one_of(std::string_view line, std::initializer_list<std::string_view> set) {
    for (std::string_view s : set)
        if (line == s) return true;
    return false;
}

const char *name_of(stop_kind k) {
    switch (k) {
    case stop_kind::stop: return "STOP";
    case stop_kind::pause: return "PAUSE";
    case stop_kind::quit: return "QUIT";
    case stop_kind::none: break;
    }
    return "nothing";
}

// The bytes the default cleaning leaves in text and sound icons.
bool ascii_safe(char c) {
    constexpr std::string_view marks = "\t\n !$',.?";
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           marks.find(c) != std::string_view::npos;
}

// A control byte other than TAB and LF, which the faithful preparation
// never hands the engine.
bool control_byte(char c) {
    auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\t' && c != '\n') || u == 0x7f;
}

// Where the module is in its conversation with the server.
enum class phase {
    idle,          // between messages
    speaking,      // "200 OK SPEAKING" sent: 701, or 702 when eciAddText failed
    failed_synth,  // 701 sent for a synthesis that failed: only 702
    streaming,     // 701 sent: audio blocks, marks, replies of commands between them, the end
};

class walker {
public:
    explicit walker(const run &r)
        : r_(r), commands_(read_messages(r.input)), engine_(read_engine_log(r.engine_log)) {
        voice_line_ = "200-";
        voice_line_ += r.script.configured ? configured_voice : "Wade";
        voice_line_ += "\ten-US\tnone";
        rate_ = r.script.configured ? configured_rate_hz : 22050;
    }

    std::string walk();

private:
    std::string fail(const std::string &what) const {
        return "item " + std::to_string(item_) + ": " + what;
    }
    std::string audio(const qtest::Item &it);
    std::string line(std::string_view l, bool last);
    std::string message_line(std::string_view l);
    std::string command_reply(std::string_view l, bool last);
    std::string accept_message();
    std::string engine_text(const intake &in) const;
    std::string begin_message(const intake &in);
    std::string mark(std::string_view name);
    std::string end_message(std::string_view event);
    std::string end_stopped(std::string_view event) const;
    long next_place() const;

    const run &r_;
    std::vector<message_command> commands_;
    engine_calls engine_;
    std::string voice_line_;
    int rate_;

    size_t item_ = 0;
    phase phase_ = phase::idle;
    // Replies that may complete the settings or message block whose
    // acknowledgement came last; empty when no block is open. Any other
    // item means that input ended inside the block.
    std::vector<std::string_view> completions_;
    bool after_voice_ = false;  // a voice line came: the list's last line must follow
    bool after_mark_ = false;   // "700-NAME" came: "700 INDEX MARK" must follow
    bool input_ended_ = false;  // nothing but the stream's rest and the 399 may follow
    size_t received_ = 0;       // "202 OK RECEIVING MESSAGE": message commands read
    size_t accepted_ = 0;       // "200 OK SPEAKING": messages handed to the engine
    int message_ = 0;           // syntheses that succeeded: the engine's message number

    // The message being spoken.
    const message_command *command_ = nullptr;  // its command in the input
    const intake *intake_ = nullptr;            // what the engine was given
    long samples_ = 0;                          // samples the engine makes of it
    long sent_ = 0;                             // of which sent in blocks
    std::vector<long> places_;                  // the sample place of each mark
    size_t reported_ = 0;                       // marks reported
    bool stopped_ = false;  // the pass after its first block read command_->stopped_by
};

// The first mark place beyond the audio sent, which no block may cross:
// the mark is due between the blocks on either side of it.
long walker::next_place() const {
    for (long p : places_)
        if (p > sent_) return p;
    return samples_;
}

std::string walker::audio(const qtest::Item &it) {
    if (phase_ != phase::streaming) return fail("audio outside a message");
    if (it.bits != 16 || it.num_channels != 1 || it.sample_rate != rate_ || it.big_endian != 0)
        return fail("audio block header");
    if (stopped_)
        return fail(std::string("audio after the pass that read ") + name_of(command_->stopped_by));
    if (sent_ >= samples_) return fail("more audio than the engine made");
    long most = std::min(next_place() - sent_, block_frames);
    // A stored message goes out in whole blocks, cut only at marks; a
    // streamed one as the engine's callbacks deliver it.
    long n = it.num_samples;
    bool fits = r_.on.streaming ? n >= 1 && n <= most : n == most;
    if (!fits || it.payload.size() != static_cast<size_t>(n) * 2)
        return fail("block of " + std::to_string(n) + " frames, " +
                    std::to_string(it.payload.size()) + " bytes, after " + std::to_string(sent_) +
                    " of " + std::to_string(samples_) + "; expected " +
                    (r_.on.streaming ? "at most " : "") + std::to_string(most) + " frames");
    if (it.payload != fake_bytes(message_, sent_, n))
        return fail("audio differs from the engine's samples");
    sent_ += n;
    stopped_ = command_->stopped_by != stop_kind::none;
    return {};
}

// What the engine was given must be what the preparation promises, and
// this message's alone: text or an index that an earlier message left
// in the engine would be heard, or reported, with this one.
std::string walker::engine_text(const intake &in) const {
    bool cleaned = command_->kind == message_kind::text || command_->kind == message_kind::sound_icon;
    for (char c : in.text) {
        if (r_.on.faithful && control_byte(c))
            return fail("faithful text gave the engine the control byte " +
                        std::to_string(static_cast<unsigned char>(c)));
        if (!r_.on.faithful && cleaned && !ascii_safe(c))
            return fail("the default cleaning gave the engine the byte " +
                        std::to_string(static_cast<unsigned char>(c)));
    }
    if (in.stale_bytes > 0 || in.stale_indexes > 0)
        return fail("message " + std::to_string(accepted_) + " is spoken with " +
                    std::to_string(in.stale_bytes) + " text bytes and " +
                    std::to_string(in.stale_indexes) +
                    " indexes an earlier message left in the engine");
    return {};
}

// "200 OK SPEAKING": the message the last 202 acknowledged is handed over.
std::string walker::accept_message() {
    ++accepted_;
    if (received_ == 0 || received_ > commands_.size())
        return fail("a message spoken that the input does not hold");
    command_ = &commands_[received_ - 1];
    if (accepted_ > engine_.intakes.size())
        return fail("message " + std::to_string(accepted_) + " never reached the engine");
    intake_ = &engine_.intakes[accepted_ - 1];
    phase_ = phase::speaking;
    return engine_text(*intake_);
}

// "701 BEGIN" of a message the engine synthesises: its samples, and the
// places of its marks as the fake engine reports their indexes.
std::string walker::begin_message(const intake &in) {
    ++message_;
    samples_ = samples_of(r_.script.samples, message_);
    sent_ = 0;
    reported_ = 0;
    stopped_ = false;
    places_.clear();
    for (size_t b : in.mark_bytes)
        places_.push_back(in.spoken_bytes == 0 ? 0
                                               : static_cast<long>(static_cast<uint64_t>(samples_) *
                                                                   b / in.spoken_bytes));
    phase_ = phase::streaming;
    size_t k = places_.size();
    if (!r_.on.marks && k > 0) return fail("indexes given with CorvaneIndexMarks off");
    if (r_.on.marks && command_->marks_known && k != command_->marks.size())
        return fail("the engine was given " + std::to_string(k) + " indexes for the " +
                    std::to_string(command_->marks.size()) + " marks of the text");
    return {};
}

// "700-NAME": the next mark, once all the audio before it has gone and
// none after it, named as the text names it.
std::string walker::mark(std::string_view name) {
    if (!r_.on.marks) return fail("a mark reported with CorvaneIndexMarks off");
    size_t j = reported_++;
    after_mark_ = true;
    if (j >= places_.size())
        return fail("mark " + std::to_string(j + 1) + " reported; the message has " +
                    std::to_string(places_.size()));
    if (sent_ != places_[j])
        return fail("mark " + std::to_string(j + 1) + " reported after " + std::to_string(sent_) +
                    " samples; the audio before it ends at " + std::to_string(places_[j]));
    if (command_->marks_known && name != command_->marks[j])
        return fail("mark " + std::to_string(j + 1) + " reported as \"" + std::string(name) +
                    "\"; the text names \"" + command_->marks[j] + "\"");
    return {};
}

// The event that ends a message cut short by the command the pass after
// its first block read, or an empty string when `event` is that event.
std::string walker::end_stopped(std::string_view event) const {
    std::string_view want = "702 END";
    if (command_->stopped_by == stop_kind::quit) return fail(std::string(event) + " after QUIT");
    if (command_->stopped_by == stop_kind::pause && r_.on.marks) {
        // The server resumes from the last mark it was told of: every mark
        // whose audio went out is reported, and a message whose audio all
        // went out is over, not paused.
        auto reached = static_cast<size_t>(
            std::count_if(places_.begin(), places_.end(), [&](long p) { return p <= sent_; }));
        if (reported_ != reached)
            return fail("PAUSE after " + std::to_string(sent_) + " of " +
                        std::to_string(samples_) + " samples: " + std::to_string(reported_) +
                        " marks reported of the " + std::to_string(reached) +
                        " whose audio was sent");
        if (sent_ < samples_) want = "704 PAUSE";
    }
    if (event != want)
        return fail(std::string(event) + " after " + name_of(command_->stopped_by) + " with " +
                    std::to_string(sent_) + " of " + std::to_string(samples_) +
                    " samples sent; expected " + std::string(want));
    return {};
}

// 702, 703 or 704: the one event that ends a message.
std::string walker::end_message(std::string_view event) {
    // Commands are not read before the first block, and the intake clears
    // the stop flag of the message it starts: the first block always goes,
    // so no message here is stopped before its audio, which alone ends
    // with 703.
    if (samples_ > 0 && sent_ == 0) return fail("message ended before its first block");
    phase_ = phase::idle;
    if (stopped_) return end_stopped(event);
    if (event != "702 END") return fail(std::string(event) + " for a message not stopped");
    if (sent_ != samples_)
        return fail("message ended after " + std::to_string(sent_) + " of its " +
                    std::to_string(samples_) + " samples without a stop");
    if (reported_ != places_.size())
        return fail(std::to_string(reported_) + " of the message's " +
                    std::to_string(places_.size()) + " marks reported");
    return {};
}

// A reply to a command read between messages (`phase_` idle) or in a pass
// between two audio blocks (`phase_` streaming).
std::string walker::command_reply(std::string_view l, bool last) {
    const bool nested = phase_ == phase::streaming;
    if (l == "202 OK RECEIVING MESSAGE") {
        ++received_;
        // Messages met between blocks are refused; others may be spoken.
        if (nested)
            completions_ = {"301 ERROR CANT SPEAK", "305 DATA MORE THAN ONE LINE"};
        else
            completions_ = {"200 OK SPEAKING", "301 ERROR CANT SPEAK",
                            "305 DATA MORE THAN ONE LINE"};
    } else if (l == "203 OK RECEIVING SETTINGS") {
        completions_ = {"203 OK SETTINGS RECEIVED", "302 ERROR BAD SYNTAX"};
    } else if (l == "207 OK RECEIVING AUDIO SETTINGS") {
        completions_ = {"203 OK AUDIO INITIALIZED", "302 ERROR BAD SYNTAX",
                        "303 ERROR INVALID PARAMETER OR VALUE"};
    } else if (l == "207 OK RECEIVING LOGLEVEL SETTINGS") {
        completions_ = {"203 OK LOGLEVEL SET", "302 ERROR BAD SYNTAX"};
    } else if (l == voice_line_) {
        after_voice_ = true;
    } else if (l == "210 OK QUIT") {
        if (!last || r_.status != 0)
            return fail("210 not last, or exit status " + std::to_string(r_.status));
    } else if (!nested && l == "399 ERR MODULE CLOSED") {
        if (!last || r_.status != 255)
            return fail("399 not last, or exit status " + std::to_string(r_.status));
    } else if (!one_of(l, {"300 ERR UNKNOWN COMMAND", "304 CANT LIST VOICES", "401 ERROR INTERNAL",
                           "200 OK DEBUGGING ON", "200 OK DEBUGGING OFF",
                           "302 ERROR BAD SYNTAX"})) {
        return fail("unexpected reply \"" + std::string(l) + "\"");
    }
    return {};
}

// A line while a message is being spoken, before its stream or in it.
std::string walker::message_line(std::string_view l) {
    switch (phase_) {
    case phase::speaking:
        if (intake_->end == intake_end::text_refused) {
            if (l != "702 END") return fail("expected 702 after a failed eciAddText");
            phase_ = phase::idle;
            return {};
        }
        if (l != "701 BEGIN") return fail("expected 701 BEGIN, got \"" + std::string(l) + "\"");
        if (intake_->end == intake_end::synthesis_failed) {
            phase_ = phase::failed_synth;
            return {};
        }
        return begin_message(*intake_);
    case phase::failed_synth:
        if (l != "702 END") return fail("expected 702 after a failed eciSynthesize");
        phase_ = phase::idle;
        return {};
    case phase::streaming:
        if (l.starts_with("700-")) return mark(l.substr(4));
        return end_message(l);
    case phase::idle:
        break;
    }
    return fail("no message");
}

std::string walker::line(std::string_view l, bool last) {
    if (after_voice_ || after_mark_) {
        std::string_view want = after_voice_ ? "200 OK VOICE LIST SENT" : "700 INDEX MARK";
        after_voice_ = after_mark_ = false;
        if (l != want) return fail("expected \"" + std::string(want) + "\"");
        return {};
    }
    if (!completions_.empty()) {
        bool done = false;
        for (std::string_view c : completions_) done = done || l == c;
        completions_.clear();
        if (done) return l == "200 OK SPEAKING" ? accept_message() : std::string();
        input_ended_ = true;
    }
    if (phase_ == phase::speaking || phase_ == phase::failed_synth) return message_line(l);
    if (phase_ == phase::streaming &&
        (l.starts_with("700-") || one_of(l, {"702 END", "703 STOP", "704 PAUSE"})))
        return message_line(l);
    if (input_ended_) {
        // Input is over: the stream goes on to its end, then the module closes.
        if (phase_ == phase::idle && l == "399 ERR MODULE CLOSED" && last && r_.status == 255)
            return {};
        return fail("\"" + std::string(l) + "\" after input ended");
    }
    return command_reply(l, last);
}

std::string walker::walk() {
    if (!r_.input.starts_with("INIT\n")) {
        if (r_.status != 3 || !r_.out.empty()) return "no INIT: expected exit 3 and no output";
        return {};
    }
    if (!engine_.fault.empty()) return engine_.fault;
    qtest::Parsed p = qtest::parse_protocol(r_.out);
    if (!p.ok) return "malformed output: " + p.error;
    if (!p.rest.empty()) return "output ends inside an item";
    if (p.items.size() < 3 || p.items[0].line != "299-Corvane TTS initialized successfully" ||
        p.items[1].line != "299 OK LOADED SUCCESSFULLY")
        return "no handshake, or nothing after it";
    if (r_.status != 0 && r_.status != 255) return "exit status " + std::to_string(r_.status);
    for (item_ = 2; item_ < p.items.size(); ++item_) {
        const qtest::Item &it = p.items[item_];
        bool last = item_ + 1 == p.items.size();
        std::string err;
        if (it.is_audio) {
            if (after_voice_) return fail("audio inside the voice list");
            if (after_mark_) return fail("audio inside a mark's event");
            if (!completions_.empty()) {
                completions_.clear();
                input_ended_ = true;
            }
            err = audio(it);
        } else {
            err = line(it.line, last);
        }
        if (!err.empty()) return err;
    }
    const std::string &closing = p.items.back().line;
    if (closing != "210 OK QUIT" && closing != "399 ERR MODULE CLOSED")
        return "output does not end with 210 or 399";
    return {};
}

}  // namespace

std::string check_run(const run &r) {
    walker w(r);
    return w.walk();
}

std::string describe_output(std::string_view out, size_t items) {
    qtest::Parsed p = qtest::parse_protocol(out);
    size_t first = p.items.size() > items ? p.items.size() - items : 0;
    std::string text = first > 0 ? "(" + std::to_string(first) + " items before)\n" : "";
    for (size_t i = first; i < p.items.size(); ++i) {
        const qtest::Item &it = p.items[i];
        std::string l = it.is_audio ? "705 block of " + std::to_string(it.num_samples) + " frames"
                                    : it.line;
        for (char &c : l)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '.';
        text += l + "\n";
    }
    if (!p.ok) text += "(malformed: " + p.error + ")\n";
    if (!p.rest.empty()) text += "(" + std::to_string(p.rest.size()) + " bytes of a cut item)\n";
    return text;
}

}  // namespace fuzz_protocol
