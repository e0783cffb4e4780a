// SPDX-License-Identifier: BSD-2-Clause
// The check of one protocol run: walks the module's stdout item by item
// (reply lines and decoded 705 blocks) through a small state machine of
// what a server may see, and compares every audio block with the samples
// the fake engine produced for that message.
#include "fuzz_protocol_check.h"

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <vector>

#include "fake_engine.h"
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

// Where the module is in its conversation with the server.
enum class phase {
    idle,         // between messages
    speaking,     // "200 OK SPEAKING" sent: 701, or 702 when eciAddText failed
    failed_synth, // 701 sent for a synthesis that failed: only 702
    streaming,    // 701 sent: audio blocks, replies of commands between them, 702
};

class walker {
public:
    walker(const scenario &s, std::string_view input) : s_(s), input_(input) {
        voice_line_ = "200-";
        voice_line_ += s.configured ? configured_voice : "Wade";
        voice_line_ += "\ten-US\tnone";
        rate_ = s.configured ? configured_rate_hz : 22050;
    }

    std::string run(std::string_view out, int status);

private:
    std::string fail(const std::string &what) const {
        return "item " + std::to_string(item_) + ": " + what;
    }
    std::string audio(const qtest::Item &it);
    std::string line(std::string_view l, bool last, int status);
    std::string command_reply(std::string_view l, bool last, int status);
    std::string end_message();

    const scenario &s_;
    std::string_view input_;
    std::string voice_line_;
    int rate_;

    size_t item_ = 0;
    phase phase_ = phase::idle;
    // Replies that may complete the settings or message block whose
    // acknowledgement came last; empty when no block is open. Any other
    // item means that input ended inside the block.
    std::vector<std::string_view> completions_;
    bool after_voice_ = false;  // a voice line came: the list's last line must follow
    bool input_ended_ = false;  // nothing but the stream's rest and the 399 may follow
    int accepted_ = 0;          // "200 OK SPEAKING" replies: eciAddText calls
    int synthesized_ = 0;       // "701 BEGIN" events: eciSynthesize calls
    int message_ = 0;           // syntheses that succeeded: the engine's message number
    long samples_ = 0;          // samples the current message has
    long sent_ = 0;             // of which sent in blocks
};

std::string walker::audio(const qtest::Item &it) {
    if (phase_ != phase::streaming) return fail("audio outside a message");
    if (it.bits != 16 || it.num_channels != 1 || it.sample_rate != rate_ || it.big_endian != 0)
        return fail("audio block header");
    long left = samples_ - sent_;
    long want = left < block_frames ? left : block_frames;
    if (want <= 0) return fail("more audio than the engine made");
    if (it.num_samples != want || it.payload.size() != static_cast<size_t>(want) * 2)
        return fail("block of " + std::to_string(it.num_samples) + " frames, " +
                    std::to_string(it.payload.size()) + " bytes; expected " +
                    std::to_string(want) + " frames");
    if (it.payload != fake_bytes(message_, sent_, want))
        return fail("audio differs from the engine's samples");
    sent_ += want;
    return {};
}

std::string walker::end_message() {
    // Commands are not read before the first block, and the intake clears
    // the stop flag of the message it starts: the first block always goes.
    if (samples_ > 0 && sent_ == 0) return fail("message ended before its first block");
    phase_ = phase::idle;
    return {};
}

// A reply to a command read between messages (`phase_` idle) or in a pass
// between two audio blocks (`phase_` streaming).
std::string walker::command_reply(std::string_view l, bool last, int status) {
    const bool nested = phase_ == phase::streaming;
    if (l == "202 OK RECEIVING MESSAGE") {
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
        if (!last || status != 0)
            return fail("210 not last, or exit status " + std::to_string(status));
    } else if (nested && l == "702 END") {
        return end_message();
    } else if (!nested && l == "399 ERR MODULE CLOSED") {
        if (!last || status != 255)
            return fail("399 not last, or exit status " + std::to_string(status));
    } else if (!one_of(l, {"300 ERR UNKNOWN COMMAND", "304 CANT LIST VOICES", "401 ERROR INTERNAL",
                           "200 OK DEBUGGING ON", "200 OK DEBUGGING OFF",
                           "302 ERROR BAD SYNTAX"})) {
        return fail("unexpected reply \"" + std::string(l) + "\"");
    }
    return {};
}

std::string walker::line(std::string_view l, bool last, int status) {
    if (after_voice_) {
        after_voice_ = false;
        if (l != "200 OK VOICE LIST SENT") return fail("voice list not closed");
        return {};
    }
    if (!completions_.empty()) {
        bool done = false;
        for (std::string_view c : completions_) done = done || l == c;
        completions_.clear();
        if (done) {
            if (l == "200 OK SPEAKING") {
                ++accepted_;
                phase_ = phase::speaking;
            }
            return {};
        }
        input_ended_ = true;
    }
    switch (phase_) {
    case phase::speaking:
        if (accepted_ == s_.add_text_fails) {
            if (l != "702 END") return fail("expected 702 after a failed eciAddText");
            phase_ = phase::idle;
            return {};
        }
        if (l != "701 BEGIN") return fail("expected 701 BEGIN, got \"" + std::string(l) + "\"");
        if (++synthesized_ == s_.synthesize_fails) {
            phase_ = phase::failed_synth;
            return {};
        }
        ++message_;
        samples_ = samples_of(s_.samples, message_);
        sent_ = 0;
        phase_ = phase::streaming;
        return {};
    case phase::failed_synth:
        if (l != "702 END") return fail("expected 702 after a failed eciSynthesize");
        phase_ = phase::idle;
        return {};
    case phase::idle:
    case phase::streaming:
        break;
    }
    if (input_ended_) {
        // Input is over: the stream goes on to its end, then the module closes.
        if (phase_ == phase::streaming && l == "702 END") return end_message();
        if (phase_ == phase::idle && l == "399 ERR MODULE CLOSED" && last && status == 255)
            return {};
        return fail("\"" + std::string(l) + "\" after input ended");
    }
    return command_reply(l, last, status);
}

std::string walker::run(std::string_view out, int status) {
    if (!input_.starts_with("INIT\n")) {
        if (status != 3 || !out.empty()) return "no INIT: expected exit 3 and no output";
        return {};
    }
    qtest::Parsed p = qtest::parse_protocol(out);
    if (!p.ok) return "malformed output: " + p.error;
    if (!p.rest.empty()) return "output ends inside an item";
    if (p.items.size() < 3 || p.items[0].line != "299-Corvane TTS initialized successfully" ||
        p.items[1].line != "299 OK LOADED SUCCESSFULLY")
        return "no handshake, or nothing after it";
    if (status != 0 && status != 255) return "exit status " + std::to_string(status);
    for (item_ = 2; item_ < p.items.size(); ++item_) {
        const qtest::Item &it = p.items[item_];
        bool last = item_ + 1 == p.items.size();
        std::string err;
        if (it.is_audio) {
            if (after_voice_) return fail("audio inside the voice list");
            if (!completions_.empty()) {
                completions_.clear();
                input_ended_ = true;
            }
            err = audio(it);
        } else {
            err = line(it.line, last, status);
        }
        if (!err.empty()) return err;
    }
    const std::string &closing = p.items.back().line;
    if (closing != "210 OK QUIT" && closing != "399 ERR MODULE CLOSED")
        return "output does not end with 210 or 399";
    return {};
}

}  // namespace

std::string check_run(const scenario &s, std::string_view input, std::string_view out,
                      int status) {
    walker w(s, input);
    return w.run(out, status);
}

}  // namespace fuzz_protocol
