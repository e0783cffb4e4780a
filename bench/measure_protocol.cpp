// SPDX-License-Identifier: BSD-2-Clause
// Drives a module (or stream_reference) over pipes as a server does and
// times what scripts/measure.sh reports. Every wait has a deadline, so a
// module that hangs ends the measurement with an error instead of
// hanging the script. Each subcommand prints one line of "name=value"
// figures on standard output; times are in milliseconds.
//
//   measure_protocol stream PROGRAM PAYLOAD_BYTES REPEATS
//       PROGRAM speaks REPEATS messages; each is timed from the arrival
//       of its first 705 block to its "702 END". Prints the payload
//       throughput in MB/s (median and best).
//   measure_protocol stop PROGRAM REPEATS
//       a long message is stopped after 1 to 40 of its blocks have been
//       read; times the STOP line written to the "702 END" read.
//   measure_protocol startup PROGRAM REPEATS [CONFIG]
//       times process start to the "299 OK LOADED SUCCESSFULLY" line.
//   measure_protocol corpus PROGRAM FILE REPEATS [CONFIG]
//       speaks FILE one message per non-empty line, each SPEAK waited to
//       its "702 END", after one message that is not timed; times the
//       whole file (wall clock, and the module's CPU time per pass at
//       the kernel's tick) and counts the audio.
//   measure_protocol first-audio PROGRAM TEXT REPEATS [CONFIG]
//       times a SPEAK of TEXT to the arrival of its first 705 block.
//   measure_protocol message PROGRAM FILE BYTES REPEATS [CONFIG]
//       one message of FILE repeated to BYTES bytes: the time from its
//       closing dot to its first 705 block, the time from a STOP sent
//       20 ms after the closing dot to "702 END", and the module's peak
//       resident memory (see cmd_message).
//   measure_protocol switch PROGRAM TEXT REPEATS CONFIG
//       with CorvaneLanguages 1 in CONFIG: the time from a SPEAK of TEXT
//       to its first 705 block right after SET language=fr in a module
//       that has not spoken French yet (first use), after switching back
//       to English and to French again (warm), and with no switch; and
//       the time of a LIST VOICES to its last line.
//   measure_protocol command REPEATS PROGRAM ARGS...
//       times PROGRAM run to its end, its output sent to /dev/null.
//
// The fake engine is scripted through QUORLIN_FAKE_* in the environment,
// which the child inherits. QUORLIN_MEASURE_WRAP, when set, is a command
// put before PROGRAM (words split at blanks), such as a valgrind call.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bench_common.h"

namespace {

using bench::median;
using bench::now_ms;

constexpr int deadline_ms = 120000;

[[noreturn]] void fail(const char *what) {
    fprintf(stderr, "measure_protocol: %s\n", what);
    exit(1);
}

// The command line with the words of $QUORLIN_MEASURE_WRAP (say, a
// valgrind invocation) put before it.
std::vector<std::string> wrapped(std::vector<std::string> argv) {
    const char *wrap = getenv("QUORLIN_MEASURE_WRAP");
    if (wrap == nullptr || *wrap == '\0') return argv;
    std::vector<std::string> out;
    std::string word;
    for (const char *c = wrap;; ++c) {
        if (*c == ' ' || *c == '\0') {
            if (!word.empty()) out.push_back(word);
            word.clear();
            if (*c == '\0') break;
        } else {
            word += *c;
        }
    }
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
}

// A child on two pipes, its standard error sent to /dev/null; killed and
// reaped when the object goes.
class Child {
  public:
    explicit Child(std::vector<std::string> argv) {
        argv = wrapped(std::move(argv));
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) fail("pipe failed");
        pid_ = fork();
        if (pid_ < 0) fail("fork failed");
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            for (int fd : {in[0], in[1], out[0], out[1], null}) close(fd);
            std::vector<char *> args;
            for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        to_ = in[1];
        from_ = out[0];
    }
    // Closing its input ends a module; it is given a while to do so (a
    // child under valgrind writes its profile then), and killed after.
    ~Child() {
        close(to_);
        fcntl(from_, F_SETFL, O_NONBLOCK);
        for (int waited_ms = 0; waited_ms < 30000; waited_ms += 10) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                close(from_);
                return;
            }
            char buf[4096];
            while (read(from_, buf, sizeof buf) > 0) {
            }
            usleep(10000);
        }
        close(from_);
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    pid_t pid() const { return pid_; }

    void send(std::string_view text) {
        while (!text.empty()) {
            ssize_t n = write(to_, text.data(), text.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) fail("cannot write to the child");
            text.remove_prefix(static_cast<size_t>(n));
        }
    }

    /*
     * Reads until `needle` has arrived and returns the time of the read
     * that completed it. What came before it is appended to `kept` when
     * that is given; what follows it stays for the next call.
     */
    double wait_for(std::string_view needle, std::string *kept = nullptr) {
        double at = 0;
        if (!read_until(needle, now_ms() + deadline_ms, kept, &at))
            fail("the child did not answer in time");
        return at;
    }

    /*
     * The same, but gives up at `until_ms` (now_ms's clock) without
     * failing: true when `needle` arrived by then, its time in `*at`.
     * Everything read meanwhile is consumed, so the child never blocks
     * on a full pipe while the caller waits.
     */
    bool read_until(std::string_view needle, double until_ms, std::string *kept = nullptr,
                    double *at = nullptr) {
        for (;;) {
            size_t found = pending_.find(needle);
            if (found != std::string::npos) {
                if (kept != nullptr) kept->append(pending_, 0, found + needle.size());
                pending_.erase(0, found + needle.size());
                if (at != nullptr) *at = arrived_;
                return true;
            }
            // Keep only a tail that could still begin the needle.
            if (pending_.size() >= needle.size()) {
                size_t drop = pending_.size() - (needle.size() - 1);
                if (kept != nullptr) kept->append(pending_, 0, drop);
                pending_.erase(0, drop);
            }
            const double left = until_ms - now_ms();
            if (left <= 0) return false;
            pollfd p = {from_, POLLIN, 0};
            int r = poll(&p, 1, static_cast<int>(left) + 1);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) fail("poll failed");
            if (r == 0) continue;
            char buf[1 << 16];
            ssize_t n = read(from_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) fail("the child closed its output");
            arrived_ = now_ms();
            pending_.append(buf, static_cast<size_t>(n));
        }
    }

  private:
    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;
    std::string pending_;
    double arrived_ = 0;
};

// CPU time (user and system) that process `pid` has used, in
// milliseconds, at the kernel's tick resolution.
double cpu_ms(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE *f = fopen(path, "r");
    if (f == nullptr) return 0;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    // Fields 14 and 15 follow the command name, which ends with ')'.
    const char *p = strrchr(buf, ')');
    if (p == nullptr) return 0;
    unsigned long long utime = 0, stime = 0;
    if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
               &stime) != 2)
        return 0;
    return static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::vector<std::string> module_argv(const char *program, const char *config) {
    std::vector<std::string> argv = {program};
    if (config != nullptr && *config != '\0') argv.push_back(config);
    return argv;
}

void start(Child &c) {
    c.send("INIT\n");
    c.wait_for("299 OK LOADED SUCCESSFULLY\n");
}

// A SPEAK block of `text`, which may hold line feeds: each of its lines
// that begins with a dot gets a second one, as the protocol wants.
std::string speak_block(std::string_view text) {
    std::string s = "SPEAK\n";
    while (true) {
        size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        if (line.starts_with('.')) s += '.';
        s += line;
        s += '\n';
        if (lf == std::string_view::npos) break;
        text.remove_prefix(lf + 1);
    }
    return s + ".\n";
}

double worst(const std::vector<double> &v) { return *std::max_element(v.begin(), v.end()); }
double best(const std::vector<double> &v) { return *std::min_element(v.begin(), v.end()); }

// Frames announced by the 705 blocks in `out`.
long long frames_in(const std::string &out) {
    long long frames = 0;
    const std::string_view key = "705-num_samples=";
    for (size_t at = out.find(key); at != std::string::npos; at = out.find(key, at + 1))
        frames += atoll(out.c_str() + at + key.size());
    return frames;
}

int cmd_stream(int argc, char **argv) {
    if (argc != 5) fail("usage: stream PROGRAM PAYLOAD_BYTES REPEATS");
    const double payload = strtod(argv[3], nullptr);
    const int repeats = atoi(argv[4]);
    Child c(module_argv(argv[2], nullptr));
    start(c);
    std::vector<double> rates;
    for (int i = 0; i < repeats; ++i) {
        c.send(speak_block("stream"));
        double first = c.wait_for("705-bits=");
        double end = c.wait_for("\n702 END\n");
        rates.push_back(payload / 1e6 / ((end - first) / 1e3));
    }
    printf("median_mb_s=%.1f best_mb_s=%.1f\n", median(rates), worst(rates));
    return 0;
}

int cmd_stop(int argc, char **argv) {
    if (argc != 4) fail("usage: stop PROGRAM REPEATS");
    const int repeats = atoi(argv[3]);
    Child c(module_argv(argv[2], nullptr));
    start(c);
    std::mt19937 random(1);
    std::vector<double> latencies;
    for (int i = 0; i < repeats; ++i) {
        c.send(speak_block("stop me"));
        int blocks = 1 + static_cast<int>(random() % 40);
        for (int b = 0; b < blocks; ++b) c.wait_for("705-bits=");
        double sent = now_ms();
        c.send("STOP\n");
        latencies.push_back(c.wait_for("\n702 END\n") - sent);
    }
    printf("median_ms=%.3f worst_ms=%.3f\n", median(latencies), worst(latencies));
    return 0;
}

int cmd_startup(int argc, char **argv) {
    if (argc != 4 && argc != 5) fail("usage: startup PROGRAM REPEATS [CONFIG]");
    const int repeats = atoi(argv[3]);
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        double begin = now_ms();
        Child c(module_argv(argv[2], argc == 5 ? argv[4] : nullptr));
        start(c);
        times.push_back(now_ms() - begin);
        c.send("QUIT\n");
        c.wait_for("210 OK QUIT\n");
    }
    printf("median_ms=%.2f worst_ms=%.2f best_ms=%.2f\n", median(times), worst(times),
           best(times));
    return 0;
}

int cmd_corpus(int argc, char **argv) {
    if (argc != 5 && argc != 6) fail("usage: corpus PROGRAM FILE REPEATS [CONFIG]");
    FILE *f = fopen(argv[3], "r");
    if (f == nullptr) fail("cannot open the corpus");
    const std::vector<std::string> lines = bench::corpus_lines(f);
    const int repeats = atoi(argv[4]);
    Child c(module_argv(argv[2], argc == 6 ? argv[5] : nullptr));
    start(c);
    // One message first, so that the voice is chosen before any timing,
    // as in a module that has been speaking for a while.
    c.send(speak_block("Ready."));
    c.wait_for("\n702 END\n");
    std::vector<double> times;
    long long frames = 0;
    int rate = 0;
    const double cpu_before = cpu_ms(c.pid());
    for (int i = 0; i < repeats; ++i) {
        std::string out;
        double begin = now_ms();
        for (const std::string &line : lines) {
            c.send(speak_block(line));
            c.wait_for("\n702 END\n", &out);
        }
        times.push_back(now_ms() - begin);
        frames = frames_in(out);
        size_t at = out.find("705-sample_rate=");
        if (at != std::string::npos) rate = atoi(out.c_str() + at + 16);
    }
    const double cpu = (cpu_ms(c.pid()) - cpu_before) / repeats;
    printf("median_ms=%.2f best_ms=%.2f cpu_ms=%.1f messages=%zu frames=%lld rate=%d "
           "audio_s=%.2f\n",
           median(times), best(times), cpu, lines.size(), frames, rate,
           rate > 0 ? static_cast<double>(frames) / rate : 0.0);
    return 0;
}

int cmd_first_audio(int argc, char **argv) {
    if (argc != 5 && argc != 6) fail("usage: first-audio PROGRAM TEXT REPEATS [CONFIG]");
    const int repeats = atoi(argv[4]);
    Child c(module_argv(argv[2], argc == 6 ? argv[5] : nullptr));
    start(c);
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        double sent = now_ms();
        c.send(speak_block(argv[3]));
        times.push_back(c.wait_for("705-bits=") - sent);
        c.wait_for("\n702 END\n");
    }
    printf("median_ms=%.3f worst_ms=%.3f best_ms=%.3f\n", median(times), worst(times),
           best(times));
    return 0;
}

// SPEAK of `text` to its first 705 block, waited to its end.
double first_block_ms(Child &c, const char *text) {
    double sent = now_ms();
    c.send(speak_block(text));
    double first = c.wait_for("705-bits=") - sent;
    c.wait_for("\n702 END\n");
    return first;
}

void set_language(Child &c, const char *tag) {
    c.send(std::string("SET\nlanguage=") + tag + "\n.\n");
    c.wait_for("203 OK SETTINGS RECEIVED\n");
}

int cmd_switch(int argc, char **argv) {
    if (argc != 6) fail("usage: switch PROGRAM TEXT REPEATS CONFIG");
    const int repeats = atoi(argv[4]);
    std::vector<double> first_use, warm_back, warm_again, none, list;
    for (int i = 0; i < repeats; ++i) {
        Child c(module_argv(argv[2], argv[5]));
        start(c);
        first_block_ms(c, argv[3]);  // the engine's first message, not timed
        set_language(c, "fr");
        first_use.push_back(first_block_ms(c, argv[3]));
        set_language(c, "en");
        warm_back.push_back(first_block_ms(c, argv[3]));
        set_language(c, "fr");
        warm_again.push_back(first_block_ms(c, argv[3]));
        none.push_back(first_block_ms(c, argv[3]));
        double sent = now_ms();
        c.send("LIST VOICES\n");
        list.push_back(c.wait_for("200 OK VOICE LIST SENT\n") - sent);
    }
    printf("first_use_ms=%.3f back_to_en_ms=%.3f fr_again_ms=%.3f no_switch_ms=%.3f "
           "list_voices_ms=%.3f (medians)\n",
           median(first_use), median(warm_back), median(warm_again), median(none), median(list));
    return 0;
}

// The peak resident memory of process `pid` (VmHWM) in kB, or -1.
long peak_rss_kb(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    FILE *f = fopen(path, "r");
    if (f == nullptr) return -1;
    char line[256];
    long kb = -1;
    while (fgets(line, sizeof line, f) != nullptr)
        if (sscanf(line, "VmHWM: %ld kB", &kb) == 1) break;
    fclose(f);
    return kb;
}

/*
 * One long message, REPEATS times each way: the time from its closing dot
 * (the end of the write of its block) to the first 705 block, after
 * which it is stopped; and a STOP sent 20 ms after the closing dot, timed
 * from its write to "702 END". Runs that end before their STOP is due
 * are counted apart. One whole message comes first, untimed, so that the
 * peak resident memory printed at the end covers a message heard to its
 * end.
 */
int cmd_message(int argc, char **argv) {
    if (argc != 6 && argc != 7) fail("usage: message PROGRAM FILE BYTES REPEATS [CONFIG]");
    FILE *f = fopen(argv[3], "r");
    if (f == nullptr) fail("cannot open the text file");
    const std::string text = bench::repeated_text(f, strtoul(argv[4], nullptr, 10));
    const std::string block = speak_block(text);
    const int repeats = atoi(argv[5]);
    Child c(module_argv(argv[2], argc == 7 ? argv[6] : nullptr));
    start(c);
    c.send(block);
    c.wait_for("\n702 END\n");
    std::vector<double> first, stop;
    int ended_early = 0;
    for (int i = 0; i < repeats; ++i) {
        c.send(block);
        const double dot = now_ms();
        first.push_back(c.wait_for("705-bits=") - dot);
        c.send("STOP\n");
        c.wait_for("\n702 END\n");

        c.send(block);
        const double due = now_ms() + 20;
        if (c.read_until("\n702 END\n", due)) {
            ++ended_early;
            continue;
        }
        const double sent = now_ms();
        c.send("STOP\n");
        stop.push_back(c.wait_for("\n702 END\n") - sent);
    }
    const long hwm = peak_rss_kb(c.pid());
    printf("first_median_ms=%.3f first_worst_ms=%.3f", median(first), worst(first));
    if (stop.empty())
        printf(" stop_median_ms= stop_worst_ms=");
    else
        printf(" stop_median_ms=%.3f stop_worst_ms=%.3f", median(stop), worst(stop));
    printf(" ended_before_stop=%d peak_rss_kb=%ld bytes=%zu\n", ended_early, hwm, text.size());
    return 0;
}

int cmd_command(int argc, char **argv) {
    if (argc < 4) fail("usage: command REPEATS PROGRAM ARGS...");
    const int repeats = atoi(argv[2]);
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        double begin = now_ms();
        pid_t pid = fork();
        if (pid < 0) fail("fork failed");
        if (pid == 0) {
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            execvp(argv[3], argv + 3);
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("the command failed");
        times.push_back(now_ms() - begin);
    }
    printf("median_ms=%.2f best_ms=%.2f\n", median(times), best(times));
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    const std::string_view what = argc > 1 ? argv[1] : "";
    if (what == "stream") return cmd_stream(argc, argv);
    if (what == "stop") return cmd_stop(argc, argv);
    if (what == "startup") return cmd_startup(argc, argv);
    if (what == "corpus") return cmd_corpus(argc, argv);
    if (what == "first-audio") return cmd_first_audio(argc, argv);
    if (what == "switch") return cmd_switch(argc, argv);
    if (what == "command") return cmd_command(argc, argv);
    if (what == "message") return cmd_message(argc, argv);
    fail("usage: measure_protocol stream|stop|startup|corpus|first-audio|switch|message|command "
         "...");
}
