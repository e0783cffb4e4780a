// SPDX-License-Identifier: BSD-2-Clause
// The module session of say_module.h: the child and its three pipes,
// the unread bytes of its standard output, the kept tail of its standard
// error and its exit status. It knows the protocol's replies, events and
// 705 blocks; it leaves the samples to the sink, the text of a message to
// quorlin_say, and signals to say_common.
#include "say_module.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>

#include "say_common.h"

namespace say {

namespace {

// Enough of the module's standard error to explain a failure, not so
// much that the explanation drowns.
constexpr size_t stderr_lines_kept = 6;
// How long an interrupted module gets to end by itself.
constexpr int stop_grace_ms = 1000;
// The most one read of the module's standard output takes: a pipe's
// whole buffer, some six blocks.
constexpr size_t read_bytes = 65536;
// The 705 escaping: 0x7D and 0x0A in a payload are sent as 0x7D followed
// by the byte with bit 5 flipped.
constexpr char escape_byte = 0x7d;
constexpr char escape_flip = 0x20;

/*
 * Undoes the escaping of the payload [from, end) in place and returns
 * the end of the bytes it leaves, or null when its last byte is an
 * escape with nothing after it. memchr finds each escape and memmove
 * shifts the run behind it down, so a byte costs a share of two library
 * calls per escape (speech has one in about 85 bytes) instead of a
 * branch and a store of its own; the bytes before the first escape are
 * not moved at all.
 */
char *unescape_in_place(char *from, char *end) {
    char *out = static_cast<char *>(memchr(from, escape_byte, static_cast<size_t>(end - from)));
    if (out == nullptr) return end;
    const char *in = out;
    while (in != end) {  // at an escape byte
        if (++in == end) return nullptr;
        *out++ = static_cast<char>(*in++ ^ escape_flip);
        const void *next = memchr(in, escape_byte, static_cast<size_t>(end - in));
        const char *run_end = next != nullptr ? static_cast<const char *>(next) : end;
        size_t run = static_cast<size_t>(run_end - in);
        memmove(out, in, run);
        out += run;
        in = run_end;
    }
    return out;
}

void close_fd(int &fd) {
    if (fd >= 0) close(fd);  // never retried on EINTR
    fd = -1;
}

}  // namespace

ModuleSession::ModuleSession(const std::string &path, const std::string &config, bool trace,
                             int timeout_s)
    : trace_(trace), timeout_ms_(timeout_s * 1000), buf_(2 * read_bytes) {
    int in[2], out[2], err[2], exec_report[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC) ||
        pipe2(exec_report, O_CLOEXEC))
        fail(std::string("pipe: ") + strerror(errno));
    std::vector<std::string> args{path};
    if (!config.empty()) args.push_back(config);
    pid_ = spawn(
        std::move(args),
        [&] {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
            // Out of the terminal's process group: a Ctrl-C or a hang-up
            // reaches quorlin-say alone, which stops the module with
            // STOP and QUIT as a server would, so the audio so far stays.
            setpgid(0, 0);
        },
        [&](int e) {
            ssize_t ignored = write(exec_report[1], &e, sizeof e);
            (void)ignored;
        });
    close(in[0]);
    close(out[1]);
    close(err[1]);
    close(exec_report[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    fcntl(in_, F_SETFL, O_NONBLOCK);
    // The report pipe closes unread on a successful exec.
    int e = 0;
    ssize_t n;
    do {
        n = read(exec_report[0], &e, sizeof e);
    } while (n < 0 && errno == EINTR);
    close(exec_report[0]);
    if (n == static_cast<ssize_t>(sizeof e)) {
        reap(true);
        fail("cannot run " + path + ": " + strerror(e));
    }
}

ModuleSession::~ModuleSession() {
    close_fd(in_);
    close_fd(out_);
    close_fd(err_);
    if (pid_ > 0 && !exited_) {
        // Without input the module ends by itself; give it a moment.
        for (int i = 0; i < 100 && !reap(false); i++) usleep(10000);
        if (!exited_) {
            kill(pid_, SIGKILL);
            reap(true);
        }
    }
}

void ModuleSession::handshake() {
    waiting_for_ = "the module's answer to INIT";
    send_line("INIT");
    std::string detail;
    for (;;) {
        std::string line = traced_line();
        if (line == "299 OK LOADED SUCCESSFULLY") return;
        if (line.rfind("299-", 0) == 0) continue;
        if (line.rfind("399-", 0) == 0) {
            detail += (detail.empty() ? "" : "; ") + line.substr(4);
            continue;
        }
        if (line.rfind("399 ", 0) == 0)
            fail("the module could not start its engine" + (detail.empty() ? "" : ": " + detail));
        refused("starting", line);
    }
}

std::vector<std::string> ModuleSession::list_voices() {
    waiting_for_ = "the module's answer to LIST VOICES";
    send_line("LIST VOICES");
    std::vector<std::string> voices;
    for (;;) {
        std::string line = traced_line();
        if (line.rfind("200-", 0) == 0) {
            voices.push_back(line.substr(4));
            continue;
        }
        if (line == "200 OK VOICE LIST SENT") return voices;
        if (line.rfind("304 ", 0) == 0) return {};
        refused("LIST VOICES", line);
    }
}

void ModuleSession::send_settings(
    const std::vector<std::pair<std::string, std::string>> &settings) {
    if (settings.empty()) return;
    waiting_for_ = "the module's answer to SET";
    send_line("SET");
    std::string line = traced_line();
    if (line != "203 OK RECEIVING SETTINGS") refused("SET", line);
    for (const auto &[name, value] : settings) send_line(name + "=" + value);
    send_line(".");
    line = traced_line();
    if (line != "203 OK SETTINGS RECEIVED") refused("SET", line);
}

bool ModuleSession::speak(const std::string &text, size_t index, AudioSink &sink,
                          const MarkReached &on_mark) {
    std::string which = "message " + std::to_string(index);
    waiting_for_ = "the module's answer to SPEAK (" + which + ")";
    send_line("SPEAK");
    std::string line = traced_line();
    if (line != "202 OK RECEIVING MESSAGE") refused("SPEAK", line);
    size_t start = 0;
    for (;;) {
        size_t lf = text.find('\n', start);
        std::string data =
            text.substr(start, lf == std::string::npos ? std::string::npos : lf - start);
        // A data line that begins with a dot gets a second one, which the
        // module removes; so a line "." is never taken for the end.
        if (!data.empty() && data[0] == '.') data.insert(0, 1, '.');
        send_line(data, "(data) ");
        if (lf == std::string::npos) break;
        start = lf + 1;
    }
    send_line(".");
    line = traced_line();
    if (line == "301 ERROR CANT SPEAK") return false;
    if (line != "200 OK SPEAKING") refused("the message was refused", line);
    for (;;) {
        waiting_for_ = "audio of " + which;
        line = read_line();
        if (line.rfind("705-bits=", 0) == 0) {
            read_audio_block(line, sink);
            continue;
        }
        trace(line);
        if (line == "701 BEGIN") continue;
        if (line.rfind("700-", 0) == 0) {
            std::string end = traced_line();
            if (end != "700 INDEX MARK")
                fail("malformed index mark: expected \"700 INDEX MARK\", got \"" + end + "\"");
            if (on_mark) on_mark(line.substr(4));
            continue;
        }
        // A pause the server may resume ends the message as its end does.
        if (line == "702 END" || line == "704 PAUSE") return true;
        if (line == "703 STOP") fail("the module stopped " + which);
        refused("speaking", line);
    }
}

void ModuleSession::quit() {
    waiting_for_ = "the module's answer to QUIT";
    send_line("QUIT");
    std::string line = traced_line();
    if (line != "210 OK QUIT") refused("QUIT", line);
    close_fd(in_);
    // The module's exit has the same bound as every answer; what it
    // still writes is read (and dropped) meanwhile, so that it never
    // blocks on a full pipe.
    int64_t until = now_ms() + timeout_ms_;
    while (!reap(false)) {
        int64_t left = until - now_ms();
        if (left <= 0) {
            kill(pid_, SIGKILL);
            reap(true);
            fail("the module did not exit within " + std::to_string(timeout_ms_ / 1000) +
                 " s after QUIT");
        }
        if (!pump(false, static_cast<int>(left < 100 ? left : 100))) usleep(10000);
        pos_ = end_ = 0;
    }
    // Whatever it wrote last, without waiting for a descendant that
    // may still hold the pipes.
    while ((out_ >= 0 || err_ >= 0) && now_ms() < until && pump(false, 0)) {
    }
    if (status_ != 0) fail("the module ended with " + describe_wait_status(raw_status_));
}

void ModuleSession::stop_now() {
    if (pid_ <= 0 || exited_) return;
    stopping_ = true;
    try {
        // In the middle of a message's text these lines are taken as
        // text; closing the input then ends the module all the same.
        if (in_ >= 0) {
            static const char stop[] = "STOP\nQUIT\n";
            ssize_t ignored = write(in_, stop, sizeof stop - 1);
            (void)ignored;
            if (trace_) fputs("> STOP\n> QUIT\n", stderr);
        }
        close_fd(in_);
        int64_t until = now_ms() + stop_grace_ms;
        while (!reap(false) && now_ms() < until) {
            if (!pump(false, 20)) usleep(20000);
            pos_ = end_ = 0;
        }
    } catch (...) {
        // A failed read or write: the module is killed all the same.
    }
    if (!exited_) {
        kill(pid_, SIGKILL);
        reap(true);
    }
}

void ModuleSession::send_line(std::string_view line, const char *label) {
    if (trace_) fprintf(stderr, "> %s%.*s\n", label, static_cast<int>(line.size()), line.data());
    std::string bytes(line);
    bytes += '\n';
    send(bytes);
}

void ModuleSession::send(std::string_view bytes) {
    while (!bytes.empty()) {
        check_interrupt();
        ssize_t w = in_ >= 0 ? write(in_, bytes.data(), bytes.size()) : -1;
        if (w > 0) {
            bytes.remove_prefix(static_cast<size_t>(w));
            continue;
        }
        if (in_ < 0 || (w < 0 && errno == EPIPE)) fail(ended_text());
        if (w < 0 && errno != EAGAIN && errno != EINTR)
            fail(std::string("writing to the module: ") + strerror(errno));
        pump(true);
    }
}

bool ModuleSession::read_more() {
    if (out_ < 0) return false;
    pump(false);
    return true;
}

size_t ModuleSession::line_end(size_t from) {
    for (;;) {
        const char *unread = buf_.data() + pos_;
        size_t held = end_ - pos_;
        const void *lf = from < held ? memchr(unread + from, '\n', held - from) : nullptr;
        if (lf != nullptr) return static_cast<size_t>(static_cast<const char *>(lf) - unread);
        from = held;
        if (!read_more()) fail(ended_text());
    }
}

std::string ModuleSession::read_line() {
    size_t n = line_end(0);
    std::string line(buf_.data() + pos_, n);
    pos_ += n + 1;
    return line;
}

std::string ModuleSession::traced_line() {
    std::string line = read_line();
    trace(line);
    return line;
}

void ModuleSession::trace(const std::string &text) const {
    if (trace_) fprintf(stderr, "< %s\n", text.c_str());
}

// One "705-KEY=NUMBER" line of a block's header, read where it lies in
// the buffer: a block has four of them, and building strings for each
// cost a third as much as unescaping the block's payload.
int ModuleSession::header_field(std::string_view key) {
    size_t n = line_end(0);
    std::string_view line(buf_.data() + pos_, n);
    pos_ += n + 1;
    const size_t lead = 4 + key.size() + 1;  // "705-", the key, "="
    int v = 0;
    bool ok = line.size() > lead && line.starts_with("705-") && line.substr(4, key.size()) == key &&
              line[lead - 1] == '=';
    if (ok) {
        auto [end, error] = std::from_chars(line.data() + lead, line.data() + line.size(), v);
        ok = error == std::errc() && end == line.data() + line.size();
    }
    if (!ok)
        fail("malformed audio block: expected 705-" + std::string(key) + "=, got \"" +
             std::string(line) + "\"");
    return v;
}

void ModuleSession::read_audio_block(const std::string &first, AudioSink &sink) {
    int bits = 0;
    if (!parse_int(first.c_str() + strlen("705-bits="), 0, 64, bits))
        fail("malformed audio block: \"" + first + "\"");
    int channels = header_field("num_channels");
    int rate = header_field("sample_rate");
    int samples = header_field("num_samples");
    int big_endian = header_field("big_endian");
    if (bits != 16 || channels != 1)
        fail("unsupported audio: " + std::to_string(bits) + " bits, " + std::to_string(channels) +
             " channels");
    if (rate <= 0 || samples < 0) fail("malformed audio block: rate or sample count");
    if (rate_ == 0) rate_ = rate;
    if (rate != rate_)
        fail("the sample rate changed from " + std::to_string(rate_) + " to " +
             std::to_string(rate) + " Hz");
    static constexpr std::string_view marker{"705-AUDIO\0", 10};
    while (end_ - pos_ < marker.size() && read_more()) {
    }
    if (end_ - pos_ < marker.size() ||
        memcmp(buf_.data() + pos_, marker.data(), marker.size()) != 0)
        fail("malformed audio block: no 705-AUDIO marker");
    pos_ += marker.size();
    // Escaping leaves no line feed in the payload: the first one ends it,
    // and the end line follows. Both are in the buffer before anything is
    // decoded, so that the payload stays where it is until the sink has it.
    size_t payload_lf = line_end(0);
    size_t end_lf = line_end(payload_lf + 1);
    char *payload = buf_.data() + pos_;
    std::string_view end(payload + payload_lf + 1, end_lf - payload_lf - 1);
    pos_ += end_lf + 1;
    if (end != "705 AUDIO")
        fail("malformed audio block: expected \"705 AUDIO\", got \"" + std::string(end) + "\"");
    char *payload_end = unescape_in_place(payload, payload + payload_lf);
    if (payload_end == nullptr) fail("malformed audio block: an escape byte ends its payload");
    size_t bytes = static_cast<size_t>(payload_end - payload);
    if (bytes != static_cast<size_t>(samples) * 2)
        fail("audio block says " + std::to_string(samples) + " samples but carries " +
             std::to_string(bytes) + " bytes");
    if (trace_)
        trace("705 block: " + std::to_string(samples) + " samples at " + std::to_string(rate) +
              " Hz" + (big_endian ? ", big-endian" : ""));
    if (big_endian)
        for (size_t i = 0; i + 1 < bytes; i += 2) std::swap(payload[i], payload[i + 1]);
    sink.put(rate, payload, bytes);
}

void ModuleSession::refused(const std::string &what, const std::string &reply) {
    fail(what + ": the module answered \"" + reply + "\"");
}

std::string ModuleSession::ended_text() {
    while (err_ >= 0 && pump(false, 2000)) {
    }
    for (int i = 0; i < 200 && !reap(false); i++) usleep(10000);
    if (!exited_) return "the module closed its output";
    if (WIFSIGNALED(raw_status_))
        return "the module died of signal " + std::to_string(WTERMSIG(raw_status_)) + " (" +
               strsignal(WTERMSIG(raw_status_)) + ")";
    return "the module ended with exit status " + std::to_string(status_);
}

// One round of waiting: reads whatever the module wrote. Fails when
// nothing at all happened within the timeout, unless a timeout of its own
// is given, in which case it returns false.
bool ModuleSession::pump(bool want_write, int own_timeout_ms) {
    pollfd fds[3];
    nfds_t n = 0;
    int out_i = -1, err_i = -1;
    if (out_ >= 0) {
        out_i = static_cast<int>(n);
        fds[n++] = {out_, POLLIN, 0};
    }
    if (err_ >= 0) {
        err_i = static_cast<int>(n);
        fds[n++] = {err_, POLLIN, 0};
    }
    if (want_write && in_ >= 0) fds[n++] = {in_, POLLOUT, 0};
    if (n == 0) return false;
    int r = poll_bounded(fds, n, own_timeout_ms >= 0 ? own_timeout_ms : timeout_ms_, !stopping_);
    if (r <= 0) {
        if (own_timeout_ms >= 0) return false;
        fail("no answer from the module within " + std::to_string(timeout_ms_ / 1000) +
             " s while waiting for " + waiting_for_ +
             "; --timeout SEC allows a longer wait for slow synthesis");
    }
    if (out_i >= 0 && (fds[out_i].revents & (POLLIN | POLLHUP | POLLERR))) {
        make_room();
        ssize_t got = read(out_, buf_.data() + end_, buf_.size() - end_);
        if (got > 0)
            end_ += static_cast<size_t>(got);
        else if (got == 0 || (errno != EINTR && errno != EAGAIN))
            close_fd(out_);
    }
    char chunk[4096];
    if (err_i >= 0 && (fds[err_i].revents & (POLLIN | POLLHUP | POLLERR))) {
        ssize_t got = read(err_, chunk, sizeof chunk);
        if (got > 0)
            take_stderr(std::string_view(chunk, static_cast<size_t>(got)));
        else if (got == 0 || (errno != EINTR && errno != EAGAIN))
            close_fd(err_);
    }
    return true;
}

// The unread bytes go to the front of the buffer (offsets from pos_ stay
// valid), which grows only when they leave less than a read's room.
void ModuleSession::make_room() {
    if (buf_.size() - end_ >= read_bytes) return;
    if (pos_ > 0) {
        memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
        end_ -= pos_;
        pos_ = 0;
    }
    if (buf_.size() - end_ < read_bytes) buf_.resize(end_ + read_bytes);
}

// Keeps the last lines of the module's standard error for a failure
// report. The module logs each message it speaks ("quorlin: Speaking:"
// and the text, over as many lines as the text has); those lines would
// only repeat the user's text, so they are left out.
void ModuleSession::take_stderr(std::string_view bytes) {
    err_partial_.append(bytes);
    size_t lf;
    while ((lf = err_partial_.find('\n')) != std::string::npos) {
        std::string line = err_partial_.substr(0, lf);
        err_partial_.erase(0, lf + 1);
        if (trace_) fprintf(stderr, "! %s\n", line.c_str());
        bool own_line = line.rfind("quorlin: ", 0) == 0;
        if (line.rfind("quorlin: Speaking: ", 0) == 0) {
            in_message_text_ = true;
            continue;
        }
        if (in_message_text_ && !own_line) continue;
        in_message_text_ = false;
        err_tail_.push_back(line);
        if (err_tail_.size() > stderr_lines_kept) err_tail_.pop_front();
    }
}

bool ModuleSession::reap(bool block) {
    if (exited_) return true;
    int st = 0;
    pid_t r;
    do {
        r = waitpid(pid_, &st, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r != pid_) return false;
    forget_child(pid_);
    exited_ = true;
    raw_status_ = st;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return true;
}

}  // namespace say
