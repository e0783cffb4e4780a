// SPDX-License-Identifier: BSD-2-Clause
// The sinks of say_audio.h and the output file under them. It owns the
// temporary file beside the target (registered with say_common so that
// a second signal removes it), the bounded waits on the reader of a
// FIFO or pipe, and the player process with its bounded waits; the
// samples come from say_module, and whether the run ended well is
// decided by quorlin_say.
#include "say_audio.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "say_common.h"

namespace say {

namespace {

constexpr uint32_t wav_header_bytes = 44;

void put_le32(std::string &h, size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; i++) h[at + i] = static_cast<char>(v >> (8 * i));
}

void put_le16(std::string &h, size_t at, uint16_t v) {
    h[at] = static_cast<char>(v);
    h[at + 1] = static_cast<char>(v >> 8);
}

// How long a player gets to end after SIGTERM before SIGKILL.
constexpr int player_grace_ms = 1000;
// How often the open of a FIFO looks again for a reader.
constexpr int reader_look_ms = 50;

// final_target, or a failure naming `shown`.
std::string link_target(const std::string &path, const std::string &shown) {
    std::string target;
    if (!final_target(path, target)) fail(shown + ": too many levels of symbolic links");
    return target;
}

// Opens `path`, which is not a regular file (a device, a FIFO), to be
// written in place. O_NONBLOCK makes the open of a FIFO that nobody
// reads fail with ENXIO where it would wait without end; it is tried
// again until a reader comes or `timeout_ms` passes. The descriptor
// stays non-blocking: write_all waits for room in poll.
int open_in_place(const std::string &path, const std::string &shown, int timeout_ms) {
    int64_t until = now_ms() + timeout_ms;
    for (;;) {
        check_interrupt();
        int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) return fd;
        if (errno == EINTR) continue;
        if (errno != ENXIO) fail("cannot open " + shown + ": " + strerror(errno));
        if (now_ms() >= until)
            fail("nobody opened " + shown + " for reading within " +
                 std::to_string(timeout_ms / 1000) +
                 " s; --timeout SEC allows a longer wait for a reader");
        usleep(reader_look_ms * 1000);  // a signal ends the sleep early, which is all it means
    }
}

}  // namespace

// An open output: a new file written beside its target and renamed over
// it at the end, a path that is not a regular file (a device, a FIFO)
// written in place, or standard output. Every wait on a reader (its
// open, each write) is bounded by `timeout_ms`; a regular file has no
// reader to wait on.
class Output {
public:
    // Prepares `path`; nothing existing is touched yet.
    Output(const std::string &path, int timeout_ms) : shown_(path) {
        target_ = link_target(path, shown_);
        struct stat st;
        bool exists = stat(target_.c_str(), &st) == 0;
        if (exists && !S_ISREG(st.st_mode)) {
            if (S_ISDIR(st.st_mode)) fail(shown_ + " is a directory");
            fd_ = open_in_place(target_, shown_, timeout_ms);
            write_timeout_ms_ = timeout_ms;
            return;
        }
        size_t slash = target_.rfind('/');
        std::string dir = slash == std::string::npos ? "." : target_.substr(0, slash + 1);
        std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
        temp_ = (slash == std::string::npos ? "" : dir) + "." + base + ".XXXXXX";
        fd_ = mkostemp(temp_.data(), O_CLOEXEC);
        if (fd_ < 0) {
            temp_.clear();
            fail("cannot create a file in " + dir + " for " + shown_ + ": " + strerror(errno));
        }
        register_leftover(temp_);
        // The mode a new file would get, or the mode of the file replaced.
        mode_t mask = umask(0);
        umask(mask);
        fchmod(fd_, exists ? (st.st_mode & 07777) : (0666 & ~mask));
        seekable_ = true;
        remember_file();
    }

    // Standard output; its header can be patched when it is a regular
    // file that is not appended to.
    explicit Output(int timeout_ms) : shown_("standard output") {
        fd_ = 1;
        is_stdout_ = true;
        struct stat st;
        if (fstat(1, &st) != 0) return;  // closed: the first write says so
        if (!S_ISREG(st.st_mode)) {
            write_timeout_ms_ = timeout_ms;
            return;
        }
        int flags = fcntl(1, F_GETFL);
        if (flags >= 0 && !(flags & O_APPEND)) {
            off_t at = lseek(1, 0, SEEK_CUR);
            if (at >= 0) {
                seekable_ = true;
                start_ = at;
            }
        }
        remember_file();
    }

    ~Output() { abandon(); }
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    void write(const char *bytes, size_t n) { write_all(fd_, bytes, n, shown_, write_timeout_ms_); }

    // Rewrites `bytes` at `offset` from where this output started.
    void patch(off_t offset, const std::string &bytes) {
        ssize_t w = pwrite(fd_, bytes.data(), bytes.size(), start_ + offset);
        if (w != static_cast<ssize_t>(bytes.size()))
            fail("writing " + shown_ + ": " + strerror(w < 0 ? errno : EIO));
    }

    // Puts the written file in place.
    void commit() {
        committed_ = true;
        if (is_stdout_ || fd_ < 0) return;
        int r = close(fd_);
        fd_ = -1;
        if (r != 0) fail("writing " + shown_ + ": " + strerror(errno));
        if (!temp_.empty()) {
            if (rename(temp_.c_str(), target_.c_str()) != 0)
                fail("cannot put " + shown_ + " in place: " + strerror(errno));
            forget_leftover(temp_);
            temp_.clear();
        }
    }

    // Removes what this output created; a path written in place stays.
    void abandon() {
        if (is_stdout_) return;
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
        if (!temp_.empty()) {
            unlink(temp_.c_str());
            forget_leftover(temp_);
        }
        temp_.clear();
    }

    // Empty while what was committed is where the user will look for
    // it; otherwise what became of it: another file took the target's
    // name, or standard output's file lost its last name. Anything not
    // committed, and a stream, which nothing can take back once written,
    // count as in place.
    std::string displaced() const {
        if (!committed_ || !file_known_) return "";
        struct stat st;
        if (is_stdout_) {
            if (fstat(1, &st) == 0 && st.st_nlink > 0) return "";
            return "the file on standard output was removed during the run; its audio is lost";
        }
        if (stat(target_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) return "";
        return shown_ + " was replaced or removed during the run; its audio is lost";
    }

    bool seekable() const { return seekable_; }
    bool is_stdout() const { return is_stdout_; }
    const std::string &name() const { return shown_; }

private:
    // The file behind fd_, for displaced.
    void remember_file() {
        struct stat st;
        if (fstat(fd_, &st) != 0) return;
        dev_ = st.st_dev;
        ino_ = st.st_ino;
        file_known_ = true;
    }

    std::string shown_;   // the name the user gave
    std::string target_;  // the file finally written
    std::string temp_;    // the new file until it is put in place
    int fd_ = -1;
    bool is_stdout_ = false;
    bool seekable_ = false;
    bool committed_ = false;     // commit was called
    bool file_known_ = false;    // dev_ and ino_ hold the file written
    int write_timeout_ms_ = -1;  // the bound of a write, -1 for a regular file
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    off_t start_ = 0;
};

namespace {

class WavSink : public Sink {
public:
    explicit WavSink(std::unique_ptr<Output> out) : out_(std::move(out)) {}
    void complete() override {
        finish_header();
        out_->commit();
    }
    void interrupted() override {
        if (!started_) {
            out_->abandon();  // nothing to play: an existing file stays as it was
            return;
        }
        complete();
    }
    void abandon() override { out_->abandon(); }
    std::string displaced() const override { return out_->displaced(); }
    std::string destination() const override {
        return out_->is_stdout() ? "wrote WAV to standard output" : "wrote " + out_->name();
    }

protected:
    void start(int rate) override {
        started_ = true;
        // A stream's length is unknown when its header leaves.
        std::string h = wav_header(rate, out_->seekable() ? 0 : wav_unknown_length);
        out_->write(h.data(), h.size());
    }
    void write(const char *bytes, size_t n) override {
        if (n > UINT32_MAX - wav_header_bytes - bytes_) fail("too much audio for one WAV file");
        out_->write(bytes, n);
    }

private:
    void finish_header() {
        if (started_ && out_->seekable())
            out_->patch(0, wav_header(rate_, static_cast<uint32_t>(bytes_)));
    }
    std::unique_ptr<Output> out_;
    bool started_ = false;
};

class RawSink : public Sink {
public:
    explicit RawSink(std::unique_ptr<Output> out) : out_(std::move(out)) {}
    void complete() override { out_->commit(); }
    void interrupted() override {
        if (bytes_ == 0)
            out_->abandon();
        else
            out_->commit();
    }
    void abandon() override { out_->abandon(); }
    std::string displaced() const override { return out_->displaced(); }
    std::string destination() const override { return "wrote raw PCM to " + out_->name(); }

protected:
    void start(int) override {}
    void write(const char *bytes, size_t n) override { out_->write(bytes, n); }

private:
    std::unique_ptr<Output> out_;
};

// The first of the players on PATH, by preference.
struct Player {
    std::string name;
    std::string path;
};

Player find_player() {
    const char *env = getenv("PATH");
    std::string path = env ? env : "/usr/local/bin:/usr/bin:/bin";
    for (const char *name : {"pw-play", "paplay", "aplay", "play"}) {
        size_t start = 0;
        for (;;) {
            size_t colon = path.find(':', start);
            std::string dir =
                path.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
            std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
            struct stat st;
            if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                access(candidate.c_str(), X_OK) == 0)
                return {name, candidate};
            if (colon == std::string::npos) break;
            start = colon + 1;
        }
    }
    fail("no audio player found on PATH: --play needs pw-play (PipeWire), paplay "
         "(PulseAudio), aplay (ALSA) or play (sox); or write a file with -o FILE");
}

// Plays through a player process fed on its standard input, started
// when the first block tells the rate. pw-play and sox's play are given
// a WAV stream, which carries the format; paplay and aplay get raw PCM
// and the format on their command line.
//
// Every wait on the player has the run's timeout as its bound: a write
// it does not take, and its exit after the last audio. A player that
// fails is named with its exit status or signal; the module had no part
// in that.
class PlayerSink : public Sink {
public:
    PlayerSink(Player p, int timeout_s) : player_(std::move(p)), timeout_ms_(timeout_s * 1000) {}
    ~PlayerSink() override { stop_player(); }

    void complete() override {
        if (pid_ <= 0) return;
        close_input();
        int st = 0;
        if (!wait_child(pid_, timeout_ms_, st, true)) {
            stop_player();
            fail_outside(player_.name + " did not end within " + seconds() +
                         " after the last audio; it was killed");
        }
        pid_ = -1;
        if (!(WIFEXITED(st) && WEXITSTATUS(st) == 0))
            fail_outside(player_.name + " ended with " + describe_wait_status(st));
    }
    void interrupted() override { stop_player(); }
    void abandon() override { stop_player(); }
    std::string destination() const override { return "played through " + player_.name; }

protected:
    void start(int rate) override {
        std::string r = std::to_string(rate);
        std::vector<std::string> args{player_.path};
        bool wav = player_.name == "pw-play" || player_.name == "play";
        if (player_.name == "pw-play")
            args.insert(args.end(), {"-"});
        else if (player_.name == "play")
            args.insert(args.end(), {"-q", "-t", "wav", "-"});
        else if (player_.name == "paplay")
            args.insert(args.end(), {"--raw", "--format=s16le", "--channels=1", "--rate=" + r});
        else
            args.insert(args.end(), {"-q", "-t", "raw", "-f", "S16_LE", "-c", "1", "-r", r});
        int p[2];
        if (pipe2(p, O_CLOEXEC)) fail(std::string("pipe: ") + strerror(errno));
        pid_ = spawn(
            std::move(args), [&] { dup2(p[0], 0); },
            [&](int e) {
                fprintf(stderr, "quorlin-say: cannot run %s: %s\n", player_.path.c_str(),
                        strerror(e));
            });
        close(p[0]);
        in_ = p[1];
        // Only our end: a write that the player does not take waits in
        // poll, where the timeout bounds it.
        fcntl(in_, F_SETFL, O_NONBLOCK);
        if (wav) {
            std::string h = wav_header(rate, wav_unknown_length);
            write(h.data(), h.size());
        }
    }
    void write(const char *bytes, size_t n) override {
        while (n > 0) {
            ssize_t w = ::write(in_, bytes, n);
            if (w > 0) {
                bytes += w;
                n -= static_cast<size_t>(w);
                continue;
            }
            if (w < 0 && errno == EPIPE) went_away();
            if (w < 0 && errno != EAGAIN && errno != EINTR)
                fail_outside("writing to " + player_.name + ": " + strerror(errno));
            pollfd fd{in_, POLLOUT, 0};
            if (poll_bounded(&fd, 1, timeout_ms_) == 0) {
                stop_player();
                fail_outside(player_.name + " took no audio for " + seconds() + "; it was killed");
            }
        }
    }

private:
    std::string seconds() const { return std::to_string(timeout_ms_ / 1000) + " s"; }
    void close_input() {
        if (in_ >= 0) close(in_);  // not retried on EINTR
        in_ = -1;
    }
    // The player closed its input before the audio ended: it failed, or
    // it will end by itself; either way its end is what to report.
    [[noreturn]] void went_away() {
        close_input();
        int st = 0;
        bool ended = wait_child(pid_, timeout_ms_, st, true);
        if (!ended) stop_player();
        pid_ = -1;
        fail_outside(player_.name +
                     (ended ? " ended with " + describe_wait_status(st)
                            : " stopped reading and was killed") +
                     " before it took all the audio");
    }
    // Silence at once: the player is told to end, killed when it has
    // not, and reaped.
    void stop_player() {
        close_input();
        end_child(pid_, player_grace_ms);
        pid_ = -1;
    }
    Player player_;
    int timeout_ms_;
    pid_t pid_ = -1;
    int in_ = -1;
};

}  // namespace

void Sink::put(int rate, const char *bytes, size_t n) {
    if (rate_ == 0) {
        rate_ = rate;
        start(rate);
    }
    write(bytes, n);
    bytes_ += n;
}

std::string wav_header(int rate, uint32_t data_bytes) {
    std::string h(wav_header_bytes, '\0');
    uint32_t riff = data_bytes > UINT32_MAX - 36 ? UINT32_MAX : data_bytes + 36;
    h.replace(0, 4, "RIFF");
    put_le32(h, 4, riff);
    h.replace(8, 8, "WAVEfmt ");
    put_le32(h, 16, 16);
    put_le16(h, 20, 1);  // PCM
    put_le16(h, 22, 1);  // mono
    put_le32(h, 24, static_cast<uint32_t>(rate));
    put_le32(h, 28, static_cast<uint32_t>(rate) * 2);
    put_le16(h, 32, 2);
    put_le16(h, 34, 16);
    h.replace(36, 4, "data");
    put_le32(h, 40, data_bytes);
    return h;
}

std::unique_ptr<Sink> make_sink(const Options &o) {
    int timeout_ms = o.timeout_s * 1000;
    switch (o.destination) {
    case Destination::wav_file:
        return std::make_unique<WavSink>(std::make_unique<Output>(o.output, timeout_ms));
    case Destination::wav_stdout:
        return std::make_unique<WavSink>(std::make_unique<Output>(timeout_ms));
    case Destination::raw_file:
        return std::make_unique<RawSink>(std::make_unique<Output>(o.output, timeout_ms));
    case Destination::raw_stdout:
        return std::make_unique<RawSink>(std::make_unique<Output>(timeout_ms));
    case Destination::player: return std::make_unique<PlayerSink>(find_player(), o.timeout_s);
    }
    return nullptr;
}

MarkLog::MarkLog(const std::string &path, int timeout_ms)
    : out_(path == "-" ? std::make_unique<Output>(timeout_ms)
                       : std::make_unique<Output>(path, timeout_ms)) {}

MarkLog::~MarkLog() = default;

void MarkLog::add(const std::string &name, uint64_t samples, int rate) {
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.3f", rate > 0 ? static_cast<double>(samples) / rate : 0.0);
    std::string line = name + "\t" + seconds + "\n";
    out_->write(line.data(), line.size());
}

void MarkLog::complete() { out_->commit(); }

void MarkLog::abandon() { out_->abandon(); }

}  // namespace say
