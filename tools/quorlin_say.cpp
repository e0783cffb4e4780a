// SPDX-License-Identifier: BSD-2-Clause
// quorlin-say: speaks text through the quorlin module into a WAV file.
//
// It drives the real module exactly as a speech server does: starts it as
// a child on three pipes, sends INIT, an optional SET block, one SPEAK
// block per message and QUIT, and decodes the 705 audio blocks that come
// back. The audio goes to a WAV file as it arrives, or as raw signed
// 16-bit little-endian PCM to standard output. Every wait on the module is
// bounded, and a refusal or the module's death is reported with a non-zero
// exit status together with what the module wrote on its standard error.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int exit_failure = 1;
constexpr int exit_usage = 2;
constexpr size_t stderr_lines_kept = 20;
constexpr uint32_t wav_header_bytes = 44;

void usage(FILE *to) {
    fputs(
        "usage: quorlin-say [options] [text...]\n"
        "Speaks the text through the quorlin module and saves the audio.\n"
        "\n"
        "  -o, --output FILE   WAV file to write (default quorlin.wav);\n"
        "                      \"-\" writes raw PCM to standard output\n"
        "      --raw           raw PCM (signed 16-bit little-endian, mono) to\n"
        "                      standard output instead of a WAV file\n"
        "  -f, --file FILE     read the text from FILE (\"-\": standard input),\n"
        "                      one message per paragraph\n"
        "      --lines         with -f: one message per line\n"
        "  -c, --config FILE   configuration file for the module\n"
        "  -m, --module PATH   the quorlin binary (default: quorlin beside quorlin-say,\n"
        "                      else the installed module)\n"
        "  -r, --rate N        speech rate, -100 to 100\n"
        "  -p, --pitch N       pitch, -100 to 100\n"
        "  -v, --volume N      volume, -100 to 100\n"
        "      --timeout SEC   longest wait for the module (default 60)\n"
        "      --trace         show the protocol exchange on standard error\n"
        "  -q, --quiet         no progress or summary lines\n"
        "  -h, --help          this text\n"
        "      --version       the version of quorlin-say\n"
        "\n"
        "Exit status: 0 when all text was spoken, 1 when the module refused,\n"
        "failed or died, 2 for a wrong command line.\n",
        to);
}

struct Options {
    std::string output = "quorlin.wav";
    bool raw = false;
    std::string text_file;
    bool per_line = false;
    std::string config;
    std::string module;
    std::vector<std::pair<std::string, int>> settings;  // SET name and value
    int timeout_s = 60;
    bool trace = false;
    bool quiet = false;
    std::vector<std::string> words;
};

// A failure worth telling the user about; carried up to main.
struct Failure {
    std::string what;
};

[[noreturn]] void fail(std::string what) { throw Failure{std::move(what)}; }

bool parse_int(const char *s, long low, long high, int &out) {
    char *end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (errno || end == s || *end || v < low || v > high) return false;
    out = static_cast<int>(v);
    return true;
}

#ifndef QUORLIN_VERSION
#define QUORLIN_VERSION "unknown"
#endif
#ifndef QUORLIN_MODULE_FROM_BINDIR
#define QUORLIN_MODULE_FROM_BINDIR "../lib/quorlin/bin/quorlin"
#endif

// The directory of this program, for finding the module beside it.
std::string own_directory() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    std::string p(path, static_cast<size_t>(n));
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

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


std::string read_text_file(const std::string &path) {
    int fd = path == "-" ? 0 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail("cannot open " + path + ": " + strerror(errno));
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            int saved = errno;
            if (fd != 0) close(fd);
            fail("cannot read " + path + ": " + strerror(saved));
        }
    }
    if (fd != 0) close(fd);  // not retried on EINTR: the descriptor is gone either way
    return text;
}

// The module as a child process on three pipes. Reads of its standard
// output are buffered; its standard error is read all along (so it can
// never fill up and stall the module), shown under --trace and otherwise
// kept for the report of a failure. The destructor ends and reaps it.
class Module {
public:
    Module(const std::string &path, const std::string &config, bool trace, int timeout_s)
        : trace_(trace), timeout_ms_(timeout_s * 1000) {
        int in[2], out[2], err[2], exec_report[2];
        if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC) ||
            pipe2(exec_report, O_CLOEXEC))
            fail(std::string("pipe: ") + strerror(errno));
        std::vector<std::string> args{path};
        if (!config.empty()) args.push_back(config);
        std::vector<char *> argv;
        for (std::string &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ < 0) fail(std::string("fork: ") + strerror(errno));
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
            signal(SIGPIPE, SIG_DFL);
            execv(argv[0], argv.data());
            int e = errno;
            ssize_t ignored = write(exec_report[1], &e, sizeof e);
            (void)ignored;
            _exit(127);
        }
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

    ~Module() {
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
    Module(const Module &) = delete;
    Module &operator=(const Module &) = delete;

    void send_line(std::string_view line, const char *label = "") {
        if (trace_) fprintf(stderr, "> %s%.*s\n", label, static_cast<int>(line.size()), line.data());
        std::string bytes(line);
        bytes += '\n';
        send(bytes);
    }

    // The next byte of the module's standard output; false at its end.
    bool get(char &c) {
        while (pos_ == buf_.size()) {
            if (out_ < 0) return false;
            buf_.clear();
            pos_ = 0;
            pump(false);
        }
        c = buf_[pos_++];
        return true;
    }

    // One line without its line feed; the module's end is a failure.
    std::string read_line() {
        std::string line;
        char c;
        while (get(c)) {
            if (c == '\n') return line;
            line += c;
        }
        fail(ended_text());
    }

    // Waits for the exit after QUIT; returns the exit status.
    int finish() {
        close_fd(in_);
        char c;
        while (get(c)) {
        }
        while (err_ >= 0) pump(false);
        reap(true);
        return status_;
    }

    void trace(const std::string &text) const {
        if (trace_) fprintf(stderr, "< %s\n", text.c_str());
    }

    // How the module ended, for a failure report.
    std::string ended_text() {
        while (err_ >= 0 && pump(false, 2000)) {
        }
        for (int i = 0; i < 200 && !reap(false); i++) usleep(10000);
        if (!exited_) return "the module closed its output";
        if (WIFSIGNALED(raw_status_))
            return "the module died of signal " + std::to_string(WTERMSIG(raw_status_)) +
                   " (" + strsignal(WTERMSIG(raw_status_)) + ")";
        return "the module ended with exit status " + std::to_string(status_);
    }

    // The last lines the module wrote on its standard error.
    const std::deque<std::string> &stderr_tail() const { return err_tail_; }

private:
    void send(std::string_view bytes) {
        while (!bytes.empty()) {
            ssize_t w = write(in_, bytes.data(), bytes.size());
            if (w > 0) {
                bytes.remove_prefix(static_cast<size_t>(w));
                continue;
            }
            if (w < 0 && errno == EPIPE) fail(ended_text());
            if (w < 0 && errno != EAGAIN && errno != EINTR)
                fail(std::string("writing to the module: ") + strerror(errno));
            pump(true);
        }
    }

    // One round of waiting: reads whatever the module wrote. Fails when
    // nothing at all happened within the timeout, unless a timeout of
    // its own is given, in which case it returns false.
    bool pump(bool want_write, int own_timeout_ms = -1) {
        pollfd fds[3];
        nfds_t n = 0;
        int out_i = -1, err_i = -1;
        if (out_ >= 0) { out_i = static_cast<int>(n); fds[n++] = {out_, POLLIN, 0}; }
        if (err_ >= 0) { err_i = static_cast<int>(n); fds[n++] = {err_, POLLIN, 0}; }
        if (want_write && in_ >= 0) fds[n++] = {in_, POLLOUT, 0};
        if (n == 0) return false;
        int r = poll(fds, n, own_timeout_ms >= 0 ? own_timeout_ms : timeout_ms_);
        if (r < 0 && errno == EINTR) return true;
        if (r <= 0) {
            if (own_timeout_ms >= 0) return false;
            fail("the module did not answer within " + std::to_string(timeout_ms_ / 1000) + " s");
        }
        char chunk[65536];
        if (out_i >= 0 && (fds[out_i].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t got = read(out_, chunk, sizeof chunk);
            if (got > 0)
                buf_.append(chunk, static_cast<size_t>(got));
            else if (got == 0 || (errno != EINTR && errno != EAGAIN))
                close_fd(out_);
        }
        if (err_i >= 0 && (fds[err_i].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t got = read(err_, chunk, sizeof chunk);
            if (got > 0)
                take_stderr(std::string_view(chunk, static_cast<size_t>(got)));
            else if (got == 0 || (errno != EINTR && errno != EAGAIN))
                close_fd(err_);
        }
        return true;
    }

    void take_stderr(std::string_view bytes) {
        err_partial_.append(bytes);
        size_t lf;
        while ((lf = err_partial_.find('\n')) != std::string::npos) {
            std::string line = err_partial_.substr(0, lf);
            err_partial_.erase(0, lf + 1);
            if (trace_) fprintf(stderr, "! %s\n", line.c_str());
            err_tail_.push_back(line);
            if (err_tail_.size() > stderr_lines_kept) err_tail_.pop_front();
        }
    }

    bool reap(bool block) {
        if (exited_) return true;
        int st = 0;
        pid_t r;
        do {
            r = waitpid(pid_, &st, block ? 0 : WNOHANG);
        } while (r < 0 && errno == EINTR);
        if (r != pid_) return false;
        exited_ = true;
        raw_status_ = st;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return true;
    }

    static void close_fd(int &fd) {
        if (fd >= 0) close(fd);  // never retried on EINTR
        fd = -1;
    }

    bool trace_;
    int timeout_ms_;
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    std::string buf_;  // unread standard output from pos_ on
    size_t pos_ = 0;
    std::string err_partial_;
    std::deque<std::string> err_tail_;
    bool exited_ = false;
    int raw_status_ = 0;
    int status_ = -1;
};

void put_le32(unsigned char *p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void put_le16(unsigned char *p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

// Where the samples go: a WAV file written as the audio arrives (its
// sizes are filled in at the end), or raw PCM on standard output.
class AudioSink {
public:
    explicit AudioSink(const Options &o) : raw_(o.raw || o.output == "-"), path_(o.output) {
        if (raw_) {
            file_ = stdout;
            return;
        }
        file_ = fopen(path_.c_str(), "wb");
        if (!file_) fail("cannot create " + path_ + ": " + strerror(errno));
        unsigned char header[wav_header_bytes] = {};
        write_bytes(header, sizeof header);
    }
    ~AudioSink() {
        if (file_ && file_ != stdout) {
            fclose(file_);
            unlink(path_.c_str());  // unfinished: never leave a broken file behind
        }
    }
    AudioSink(const AudioSink &) = delete;
    AudioSink &operator=(const AudioSink &) = delete;

    // One block's payload, num_samples 16-bit samples in the given order.
    void put_block(int sample_rate, std::string &payload, bool big_endian) {
        if (rate_ == 0) rate_ = sample_rate;
        if (sample_rate != rate_)
            fail("the sample rate changed from " + std::to_string(rate_) + " to " +
                 std::to_string(sample_rate) + " Hz");
        if (big_endian)
            for (size_t i = 0; i + 1 < payload.size(); i += 2) std::swap(payload[i], payload[i + 1]);
        if (payload.size() > UINT32_MAX - wav_header_bytes - data_bytes_)
            fail("too much audio for one WAV file");
        write_bytes(payload.data(), payload.size());
        data_bytes_ += payload.size();
    }

    // Completes the file; afterwards the sink keeps it.
    void finish() {
        if (raw_) {
            if (fflush(stdout)) fail(std::string("writing the audio: ") + strerror(errno));
            return;
        }
        unsigned char h[wav_header_bytes];
        memcpy(h, "RIFF", 4);
        put_le32(h + 4, static_cast<uint32_t>(36 + data_bytes_));
        memcpy(h + 8, "WAVEfmt ", 8);
        put_le32(h + 16, 16);
        put_le16(h + 20, 1);  // PCM
        put_le16(h + 22, 1);  // mono
        put_le32(h + 24, static_cast<uint32_t>(rate_));
        put_le32(h + 28, static_cast<uint32_t>(rate_) * 2);
        put_le16(h + 32, 2);
        put_le16(h + 34, 16);
        memcpy(h + 36, "data", 4);
        put_le32(h + 40, static_cast<uint32_t>(data_bytes_));
        if (fseek(file_, 0, SEEK_SET)) fail(path_ + ": " + strerror(errno));
        write_bytes(h, sizeof h);
        int r = fclose(file_);
        file_ = nullptr;
        if (r) {
            unlink(path_.c_str());
            fail("writing " + path_ + ": " + strerror(errno));
        }
    }

    int rate() const { return rate_; }
    uint64_t samples() const { return data_bytes_ / 2; }
    bool raw() const { return raw_; }
    const std::string &path() const { return path_; }

private:
    void write_bytes(const void *p, size_t n) {
        if (fwrite(p, 1, n, file_) != n)
            fail("writing " + (raw_ ? std::string("the audio") : path_) + ": " + strerror(errno));
    }

    bool raw_;
    std::string path_;
    FILE *file_ = nullptr;
    int rate_ = 0;
    uint64_t data_bytes_ = 0;
};

// Reads "705-<key>=<number>" from the module.
int header_field(Module &m, const char *key) {
    std::string line = m.read_line();
    std::string want = std::string("705-") + key + "=";
    int v = 0;
    if (line.compare(0, want.size(), want) != 0 ||
        !parse_int(line.c_str() + want.size(), INT32_MIN, INT32_MAX, v))
        fail("malformed audio block: expected " + want + ", got \"" + line + "\"");
    return v;
}

// The rest of a 705 block whose first line was read; its samples go to
// the sink. Returns the block's sample count.
uint64_t read_audio_block(Module &m, const std::string &first, AudioSink &sink) {
    int bits = 0;
    if (!parse_int(first.c_str() + strlen("705-bits="), 0, 64, bits))
        fail("malformed audio block: \"" + first + "\"");
    int channels = header_field(m, "num_channels");
    int rate = header_field(m, "sample_rate");
    int samples = header_field(m, "num_samples");
    int big_endian = header_field(m, "big_endian");
    if (bits != 16 || channels != 1)
        fail("unsupported audio: " + std::to_string(bits) + " bits, " +
             std::to_string(channels) + " channels");
    if (rate <= 0 || samples < 0) fail("malformed audio block: rate or sample count");
    static const char start[] = "705-AUDIO";
    char c;
    for (size_t i = 0; i < sizeof start; i++)  // the text and its NUL byte
        if (!m.get(c) || c != start[i]) fail("malformed audio block: no 705-AUDIO marker");
    std::string payload;
    for (;;) {
        if (!m.get(c)) fail(m.ended_text());
        if (c == '\n') break;
        if (c == '}') {
            if (!m.get(c)) fail(m.ended_text());
            c = static_cast<char>(c ^ 0x20);
        }
        payload += c;
    }
    std::string end = m.read_line();
    if (end != "705 AUDIO") fail("malformed audio block: expected \"705 AUDIO\", got \"" + end + "\"");
    if (payload.size() != static_cast<size_t>(samples) * 2)
        fail("audio block says " + std::to_string(samples) + " samples but carries " +
             std::to_string(payload.size()) + " bytes");
    m.trace("705 block: " + std::to_string(samples) + " samples at " + std::to_string(rate) +
            " Hz" + (big_endian ? ", big-endian" : ""));
    sink.put_block(rate, payload, big_endian != 0);
    return static_cast<uint64_t>(samples);
}

std::string traced_line(Module &m) {
    std::string line = m.read_line();
    m.trace(line);
    return line;
}

// The module's report of a failure: its reply and its last words.
[[noreturn]] void refused(const std::string &what, const std::string &reply) {
    fail(what + ": the module answered \"" + reply + "\"");
}

void handshake(Module &m) {
    m.send_line("INIT");
    std::string detail;
    for (;;) {
        std::string line = traced_line(m);
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

void send_settings(Module &m, const Options &o) {
    if (o.settings.empty()) return;
    m.send_line("SET");
    std::string line = traced_line(m);
    if (line != "203 OK RECEIVING SETTINGS") refused("SET", line);
    for (const auto &[name, value] : o.settings) m.send_line(name + "=" + std::to_string(value));
    m.send_line(".");
    line = traced_line(m);
    if (line != "203 OK SETTINGS RECEIVED") refused("SET", line);
}

// Speaks one message; returns the samples it produced.
uint64_t speak(Module &m, const std::string &text, AudioSink &sink) {
    m.send_line("SPEAK");
    std::string line = traced_line(m);
    if (line != "202 OK RECEIVING MESSAGE") refused("SPEAK", line);
    size_t start = 0;
    for (;;) {
        size_t lf = text.find('\n', start);
        std::string data = text.substr(start, lf == std::string::npos ? std::string::npos : lf - start);
        // A data line that begins with a dot gets a second one, which the
        // module removes; so a line "." is never taken for the end.
        if (!data.empty() && data[0] == '.') data.insert(0, 1, '.');
        m.send_line(data, "(data) ");
        if (lf == std::string::npos) break;
        start = lf + 1;
    }
    m.send_line(".");
    line = traced_line(m);
    if (line != "200 OK SPEAKING") refused("the message was refused", line);
    uint64_t samples = 0;
    for (;;) {
        line = m.read_line();
        if (line.rfind("705-bits=", 0) == 0) {
            samples += read_audio_block(m, line, sink);
            continue;
        }
        m.trace(line);
        if (line == "701 BEGIN") continue;
        if (line == "702 END") return samples;
        if (line == "703 STOP") fail("the message was stopped");
        refused("speaking", line);
    }
}

void quit(Module &m) {
    m.send_line("QUIT");
    std::string line = traced_line(m);
    if (line != "210 OK QUIT") refused("QUIT", line);
    int status = m.finish();
    if (status != 0) fail("the module ended with exit status " + std::to_string(status));
}

void progress(const Options &o, size_t index, size_t count) {
    if (o.quiet || count < 2) return;
    bool tty = isatty(2);
    fprintf(stderr, "%squorlin-say: message %zu of %zu%s", tty ? "\r" : "", index, count,
            tty && index < count ? "" : "\n");
}

int run(const Options &o, const std::vector<std::string> &messages) {
    AudioSink sink(o);
    Module m(o.module, o.config, o.trace, o.timeout_s);
    try {
        handshake(m);
        send_settings(m, o);
        for (size_t i = 0; i < messages.size(); i++) {
            progress(o, i + 1, messages.size());
            speak(m, messages[i], sink);
        }
        quit(m);
    } catch (const Failure &f) {
        fprintf(stderr, "quorlin-say: %s\n", f.what.c_str());
        if (!m.stderr_tail().empty()) {
            fprintf(stderr, "quorlin-say: the module's last diagnostics:\n");
            for (const std::string &line : m.stderr_tail()) fprintf(stderr, "  %s\n", line.c_str());
        }
        return exit_failure;
    }
    if (sink.samples() == 0) {
        fprintf(stderr, "quorlin-say: the module produced no audio\n");
        return exit_failure;
    }
    sink.finish();
    if (!o.quiet)
        fprintf(stderr, "quorlin-say: %s%s: %llu samples, %.2f s at %d Hz\n",
                sink.raw() ? "wrote raw PCM to standard output" : "wrote ",
                sink.raw() ? "" : sink.path().c_str(),
                static_cast<unsigned long long>(sink.samples()),
                static_cast<double>(sink.samples()) / sink.rate(), sink.rate());
    return 0;
}

// The module beside this program when there is one (the build tree),
// otherwise the installed module in its private tree, found relative to
// this program so that an install under any prefix or root works.
std::string default_module() {
    std::string dir = own_directory();
    std::string beside = dir + "/quorlin";
    if (access(beside.c_str(), X_OK) == 0) return beside;
    return dir + "/" QUORLIN_MODULE_FROM_BINDIR;
}

// Fills the options from the command line; exits on --help or an error.
Options parse_options(int argc, char **argv) {
    enum { opt_raw = 256, opt_lines, opt_timeout, opt_trace, opt_version };
    static const option longs[] = {
        {"output", required_argument, nullptr, 'o'}, {"raw", no_argument, nullptr, opt_raw},
        {"file", required_argument, nullptr, 'f'},   {"lines", no_argument, nullptr, opt_lines},
        {"config", required_argument, nullptr, 'c'}, {"module", required_argument, nullptr, 'm'},
        {"rate", required_argument, nullptr, 'r'},   {"pitch", required_argument, nullptr, 'p'},
        {"volume", required_argument, nullptr, 'v'}, {"timeout", required_argument, nullptr, opt_timeout},
        {"trace", no_argument, nullptr, opt_trace},  {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},         {"version", no_argument, nullptr, opt_version},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    auto bad = [](const std::string &what) {
        fprintf(stderr, "quorlin-say: %s\nTry 'quorlin-say --help'.\n", what.c_str());
        exit(exit_usage);
    };
    auto setting = [&](const char *name, const char *value) {
        int v = 0;
        if (!parse_int(value, -100, 100, v))
            bad(std::string("--") + name + " takes a whole number from -100 to 100, not \"" + value + "\"");
        o.settings.emplace_back(name, v);
    };
    int c;
    while ((c = getopt_long(argc, argv, "o:f:c:m:r:p:v:qh", longs, nullptr)) != -1) {
        switch (c) {
        case 'o': o.output = optarg; break;
        case opt_raw: o.raw = true; break;
        case 'f': o.text_file = optarg; break;
        case opt_lines: o.per_line = true; break;
        case 'c': o.config = optarg; break;
        case 'm': o.module = optarg; break;
        case 'r': setting("rate", optarg); break;
        case 'p': setting("pitch", optarg); break;
        case 'v': setting("volume", optarg); break;
        case opt_timeout:
            if (!parse_int(optarg, 1, 86400, o.timeout_s)) bad("--timeout takes seconds, 1 or more");
            break;
        case opt_trace: o.trace = true; break;
        case 'q': o.quiet = true; break;
        case 'h': usage(stdout); exit(0);
        case opt_version: printf("quorlin-say %s\n", QUORLIN_VERSION); exit(0);
        default: fputs("Try 'quorlin-say --help'.\n", stderr); exit(exit_usage);
        }
    }
    for (int i = optind; i < argc; i++) o.words.emplace_back(argv[i]);
    if (o.text_file.empty() == o.words.empty())
        bad(o.words.empty() ? "no text: give it as arguments or with -f FILE"
                            : "give the text as arguments or with -f, not both");
    if (o.per_line && o.text_file.empty()) bad("--lines goes with -f");
    if (o.module.empty()) o.module = default_module();
    return o;
}

}  // namespace

int main(int argc, char **argv) {
    // A module that dies must show up as a write error, not kill us.
    signal(SIGPIPE, SIG_IGN);
    Options o = parse_options(argc, argv);
    try {
        std::vector<std::string> messages;
        if (!o.text_file.empty()) {
            messages = split_messages(read_text_file(o.text_file), o.per_line);
            if (messages.empty()) fail(o.text_file + " holds no text");
        } else {
            // The arguments are one message, line feeds and all.
            std::string joined;
            for (const std::string &w : o.words) joined += (joined.empty() ? "" : " ") + w;
            while (!joined.empty() && joined.back() == '\n') joined.pop_back();
            if (joined.find_first_not_of(" \t\r\n") == std::string::npos) fail("the text is blank");
            messages.push_back(joined);
        }
        return run(o, messages);
    } catch (const Failure &f) {
        fprintf(stderr, "quorlin-say: %s\n", f.what.c_str());
        return exit_failure;
    }
}
