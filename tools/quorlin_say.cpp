// SPDX-License-Identifier: BSD-2-Clause
// quorlin-say: speaks text through the quorlin module into a WAV file, to
// standard output or to an audio player.
//
// It drives the real module as a speech server does (say_module), with a
// configuration merged from the -c file (else the installed one) and its
// own options
// (say_config), and sends the audio to one sink (say_audio) as it
// arrives. It owns the order of a run (options, configuration, sink,
// module, messages, clean-up) and what a message is: paragraphs or
// lines, escaped for the module unless they are SSML. A refusal or the
// module's death is reported with a non-zero exit status and the
// module's last diagnostics; SIGINT, SIGTERM, SIGHUP and SIGQUIT stop
// the module and keep what was written so far (say_common).
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "say_audio.h"
#include "say_common.h"
#include "say_config.h"
#include "say_module.h"
#include "say_options.h"

namespace {

using namespace say;

// Splits text into messages: paragraphs (separated by blank lines) or
// lines; blank messages are dropped and lines keep their line feeds.
std::vector<std::string> split_messages(const std::string &text, bool per_line) {
    std::vector<std::string> messages;
    std::string current;
    auto flush = [&] {
        while (!current.empty() && current.back() == '\n') current.pop_back();
        if (!current.empty()) messages.push_back(current);
        current.clear();
    };
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        bool blank = line.find_first_not_of(" \t") == std::string::npos;
        if (per_line) {
            if (!blank) messages.push_back(line);
            continue;
        }
        if (blank)
            flush();
        else
            current += line + "\n";
    }
    flush();
    return messages;
}

// An SSML document is one message, blank lines and all: split at them,
// its elements would be cut in two. Line ends lose their carriage
// returns, as split_messages drops them.
std::vector<std::string> one_document(const std::string &text) {
    std::string doc;
    doc.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++)
        if (text[i] != '\r' || i + 1 == text.size() || text[i + 1] != '\n') doc += text[i];
    while (!doc.empty() && (doc.back() == '\n' || doc.back() == '\r')) doc.pop_back();
    if (doc.find_first_not_of(" \t\r\n") == std::string::npos) return {};
    return {doc};
}

std::string read_text(const std::string &path) {
    bool is_stdin = path.empty() || path == "-";
    std::string shown = is_stdin ? "standard input" : path;
    int fd = is_stdin ? 0 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail("cannot open " + path + ": " + strerror(errno));
    FdCloser closer{fd};
    return read_all(fd, shown);
}

std::vector<std::string> messages_of(const Options &o) {
    if (o.source == TextSource::arguments) {
        // The arguments are one message, line feeds and all.
        std::string joined;
        for (const std::string &w : o.words) joined += (joined.empty() ? "" : " ") + w;
        while (!joined.empty() && joined.back() == '\n') joined.pop_back();
        return {joined};
    }
    std::string from = o.source == TextSource::file ? o.text_file : "-";
    std::string text = read_text(from);
    std::vector<std::string> messages =
        o.ssml && !o.per_line ? one_document(text) : split_messages(text, o.per_line);
    if (messages.empty())
        fail((o.source == TextSource::file ? o.text_file : std::string("standard input")) +
             " holds no text");
    return messages;
}

// A key that quorlin-say turns on unless the configuration file sets it;
// an option that asks for the module's default (`wanted` false) wins
// over the file and otherwise leaves the key out.
void default_key(ModuleConfig &config, const char *key, bool wanted) {
    if (!wanted) {
        if (config.file_sets(key)) config.set(key, "0");
    } else if (!config.file_sets(key)) {
        config.set(key, "1");
    }
}

// The keys quorlin-say's options set in the module's configuration.
void merge_options(const Options &o, ModuleConfig &config) {
    if (o.voice >= 0) config.set("CorvaneDefaultVoice", std::to_string(o.voice));
    // Streaming sends the first audio while the rest is synthesised; the
    // configuration file and --synchronous decide otherwise.
    default_key(config, "CorvaneStreaming", !o.synchronous);
    // Faithful text keeps what the text says (apostrophes, accented
    // letters, symbols at the punctuation level); --ascii-text asks for
    // the module's own cleaning.
    default_key(config, "CorvaneFaithfulText", o.faithful_text);
    // Every installed language, its voices listed and the server's
    // language and voice honoured.
    default_key(config, "CorvaneLanguages", true);
    // The module reports marks only when asked to; a file that
    // sets the key keeps its say.
    if (!o.marks.empty() && !config.file_sets("CorvaneIndexMarks"))
        config.set("CorvaneIndexMarks", "1");
}

// Plain text as a server sends it: the module takes every message as
// SSML, so the three characters that would start markup or an entity
// are sent as entities, which it decodes back.
std::string escaped(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c;
        }
    }
    return out;
}

// The length of the well-formed UTF-8 sequence at the start of `s`, or 0,
// by the rules the module decodes with: no overlong form, no surrogate,
// nothing beyond U+10FFFF.
size_t utf8_sequence(std::string_view s) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    size_t len = lead >= 0xc2 && lead <= 0xdf   ? 2
                 : lead >= 0xe0 && lead <= 0xef ? 3
                 : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                : 0;
    if (len == 0 || s.size() < len) return 0;
    for (size_t i = 1; i < len; i++)
        if ((byte(i) & 0xc0) != 0x80) return 0;
    const unsigned char second = byte(1);
    bool out_of_range = (lead == 0xe0 && second < 0xa0) || (lead == 0xed && second > 0x9f) ||
                        (lead == 0xf0 && second < 0x90) || (lead == 0xf4 && second > 0x8f);
    return out_of_range ? 0 : len;
}

bool is_utf8(std::string_view s) {
    while (!s.empty()) {
        size_t n = utf8_sequence(s);
        if (n == 0) return false;
        s.remove_prefix(n);
    }
    return true;
}

// The module reads UTF-8 and skips what is not; text in another
// encoding loses its accented letters without a word, so one warning
// names the first message that is not UTF-8.
void warn_not_utf8(const std::vector<std::string> &messages) {
    for (size_t i = 0; i < messages.size(); i++)
        if (!is_utf8(messages[i])) {
            fprintf(stderr,
                    "quorlin-say: warning: message %zu is not UTF-8 (the text must be); bytes "
                    "of another encoding are not spoken\n",
                    i + 1);
            return;
        }
}

// Whether a terminal shows the progress line of message `index` (0:
// none yet) of `count` without its line feed.
bool progress_open(const Options &o, size_t index, size_t count) {
    return !o.quiet && index > 0 && index < count && isatty(2);
}

// "message N of M" while a file is spoken: for someone watching the
// terminal, or reading the trace; a log or a pipe is spared one line
// per message.
void progress(const Options &o, size_t index, size_t count) {
    bool tty = isatty(2);
    if (o.quiet || count < 2 || !(tty || o.trace)) return;
    fprintf(stderr, "%squorlin-say: message %zu of %zu%s", tty ? "\r" : "", index, count,
            tty && index < count ? "" : "\n");
}

// A line of its own on standard error while message `index` of `count`
// is spoken.
void note(const Options &o, size_t index, size_t count, const std::string &text) {
    fprintf(stderr, "%squorlin-say: %s\n", progress_open(o, index, count) ? "\n" : "",
            text.c_str());
}

// The protocol ends a message's text at a NUL byte; what follows it is
// lost, which the user should hear of.
void warn_nul(const Options &o, const std::string &text, size_t index, size_t count) {
    if (text.find('\0') == std::string::npos) return;
    note(o, index, count,
         "warning: message " + std::to_string(index) +
             " holds a NUL byte; only its text before the NUL byte is spoken");
}

void summary(const char *lead, const Sink &sink) {
    fprintf(stderr, "quorlin-say: %s%s: %llu samples, %.2f s at %d Hz\n", lead,
            sink.destination().c_str(), static_cast<unsigned long long>(sink.samples()),
            sink.rate() ? static_cast<double>(sink.samples()) / sink.rate() : 0.0, sink.rate());
}

int interrupted_status() { return 128 + interrupt_signal(); }

// Whether two voice names are one, as the module compares them: ASCII
// case ignored and "_" read as "-" (fr_FR is fr-FR).
bool same_voice_name(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    const auto fold = [](char c) {
        return c == '_' ? '-' : static_cast<char>(tolower(static_cast<unsigned char>(c)));
    };
    for (size_t i = 0; i < a.size(); i++)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

// The name field of a LIST VOICES entry.
std::string voice_name(const std::string &entry) { return entry.substr(0, entry.find('\t')); }

// -V with a listed name: refused before anything is spoken when the
// module does not list it, since the module would only log it and speak
// with the voice it has.
void check_listed_voice(const Options &o, ModuleSession &m) {
    if (o.listed_voice.empty()) return;
    for (const std::string &entry : m.list_voices())
        if (same_voice_name(voice_name(entry), o.listed_voice)) return;
    throw Failure{"no voice \"" + o.listed_voice +
                      "\": give a preset, or a name from --list-voices\n"
                      "Try 'quorlin-say --help'.",
                  exit_usage, false};
}

// --list-voices: the module's list, with what each preset sounds like.
int print_voices(const Options &o, const std::string &config_path) {
    ModuleSession m(o.module, config_path, o.trace, o.timeout_s);
    try {
        m.handshake();
        std::vector<std::string> entries = m.list_voices();
        m.quit();
        if (entries.empty()) fail("the module lists no voice");
        printf("%-16s  %-8s  %s\n", "name", "language", "what the reference engine makes of it");
        for (const std::string &entry : entries) {
            std::string name = voice_name(entry);
            size_t tab = entry.find('\t');
            std::string language =
                tab == std::string::npos ? "" : entry.substr(tab + 1, entry.find('\t', tab + 1) - tab - 1);
            int preset = find_voice(name.substr(0, name.find(' ')));
            printf("%-16s  %-8s  %s\n", name.c_str(), language.c_str(),
                   preset >= 0 ? voices[preset].character : "");
        }
    } catch (const Failure &f) {
        fprintf(stderr, "quorlin-say: %s\n", f.what.c_str());
        return f.status;
    } catch (const Interrupted &) {
        m.stop_now();
        return interrupted_status();
    }
    return 0;
}

int run(const Options &o) {
    ModuleConfig config;
    // The -c file stands for the installed one, as a server's command
    // names one file: a run with -c never depends on what is installed.
    if (!o.config.empty())
        config.read_given_file(o.config);
    else
        config.read_installed_file();
    merge_options(o, config);
    if (o.list_voices) return print_voices(o, config.write());
    std::vector<std::string> messages = messages_of(o);
    warn_not_utf8(messages);
    const std::string &config_path = config.write();
    if (o.trace && !config_path.empty()) {
        fprintf(stderr, "quorlin-say: the module's configuration (%s):\n", config_path.c_str());
        std::istringstream lines(config.text());
        std::string line;
        while (std::getline(lines, line)) fprintf(stderr, "= %s\n", line.c_str());
    }
    std::unique_ptr<Sink> sink = make_sink(o);
    std::unique_ptr<MarkLog> marks;
    MarkReached on_mark;
    if (!o.marks.empty()) {
        marks = std::make_unique<MarkLog>(o.marks, o.timeout_s * 1000);
        on_mark = [&](const std::string &name) { marks->add(name, sink->samples(), sink->rate()); };
    }
    ModuleSession m(o.module, config_path, o.trace, o.timeout_s);
    try {
        m.handshake();
        check_listed_voice(o, m);
        m.send_settings(o.settings);
        size_t silent = 0;  // messages with nothing to speak
        for (size_t i = 0; i < messages.size(); i++) {
            progress(o, i + 1, messages.size());
            warn_nul(o, messages[i], i + 1, messages.size());
            if (m.speak(o.ssml ? messages[i] : escaped(messages[i]), i + 1, *sink, on_mark))
                continue;
            // Markup alone, say: a server goes on with the next message.
            note(o, i + 1, messages.size(), "nothing to speak in message " + std::to_string(i + 1));
            silent++;
        }
        m.quit();
        if (silent == messages.size()) {
            sink->abandon();
            if (marks) marks->abandon();
            return exit_failure;
        }
        if (sink->samples() == 0) fail("the module produced no audio");
        sink->complete();
        if (marks) marks->complete();
        if (!sink->displaced().empty()) fail(sink->displaced());
    } catch (const Failure &f) {
        sink->abandon();
        if (marks) marks->abandon();
        fprintf(stderr, "quorlin-say: %s\n", f.what.c_str());
        if (f.module_involved && !m.diagnostics().empty()) {
            fprintf(stderr, "quorlin-say: the module's last diagnostics:\n");
            for (const std::string &line : m.diagnostics()) fprintf(stderr, "  %s\n", line.c_str());
        }
        return f.status;
    } catch (const Interrupted &) {
        m.stop_now();
        sink->interrupted();
        if (marks) marks->complete();
        if (!sink->displaced().empty())
            fprintf(stderr, "quorlin-say: %s\n", sink->displaced().c_str());
        else if (!o.quiet)
            summary("interrupted; ", *sink);
        return interrupted_status();
    }
    if (!o.quiet) summary("", *sink);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    // A module or player that dies must show up as a write error, not
    // kill us.
    signal(SIGPIPE, SIG_IGN);
    catch_interrupts();
    Options o = parse_options(argc, argv, isatty(0) != 0, isatty(1) != 0);
    try {
        return run(o);
    } catch (const Failure &f) {
        fprintf(stderr, "quorlin-say: %s\n", f.what.c_str());
        return f.status;
    } catch (const Interrupted &) {
        return interrupted_status();
    }
}
