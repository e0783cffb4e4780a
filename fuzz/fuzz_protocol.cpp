// SPDX-License-Identifier: BSD-2-Clause
// Fuzz target for the whole protocol: the module's own process entry,
// line reader, command loop, replies, audio writer, engine adapter and
// text preparation, with the fake engine compiled in, fed an arbitrary
// byte stream as everything the server writes.
//
// The module is a process and ends through exit: on QUIT, at the end of
// input, without INIT. The entry of module_main.cpp is built here under
// another name, so that libFuzzer keeps main, and this binary is linked
// with exit wrapped, so that each run's exit comes back here. The input
// is a file on descriptor 0 (the server wrote it all and closed its end);
// stdout goes to a file that is read back and checked against a model of
// what a server may see (fuzz_protocol_check.cpp), and stderr, the
// module's diagnostics, to /dev/null; this harness and the sanitizers
// report on a copy of the original stderr.
//
// Most inputs run in this process. Every exit of the entry leaves the
// module in a clean state (the engine closed, no lock held, no message
// open), so the run ends with a jump back here; what the module keeps for
// its whole life is reset through its own interfaces before the next run:
// the line reader is drained, the configuration values and shared flags
// are set back. The one exit that does not leave a clean state is a QUIT
// met between two audio blocks: the process ends while the adapter still
// holds its sample lock. An input in which QUIT can be read as a command
// after a message therefore runs in a child process, which ends as the
// module would; on its exit the child copies its coverage counters into
// memory shared with this process, so that libFuzzer learns what it
// covered. A child of a replay lets LeakSanitizer look for leaks before
// it ends. While fuzzing, that check would scan the whole heap inherited
// from libFuzzer at several times the cost of the run, and the runs in
// this process, which libFuzzer checks for leaks itself, take every path
// but that one QUIT.
//
// An input starts with a selector: the fake engine's script, a row of
// the table below, and the opt-in keys the module runs with. A first
// byte from '0' to ';' is the selector alone and picks rows 0 to 11 with
// every key off, the form the first corpus files were written in. Any
// other first byte picks row byte % 12 ('H' to 'S' pick rows 0 to 11)
// and is followed by a byte whose bits 0, 1 and 2 turn on
// CorvaneStreaming, CorvaneIndexMarks and CorvaneFaithfulText ('0' to
// '7' give every set of them: "H3" is row 0, streamed, with marks). The
// rest is the server's input.
//
// The fake engine logs every call to a scratch file that the check reads
// back: calls that break the engine's contract, and what each message
// was given, which fixes where the engine reports each index. The
// configuration file, the engine's log and the run's input and output
// live in one scratch folder under $TMPDIR (or /tmp), removed at exit.
#include <errno.h>
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "quorlin_config.h"
#include "fuzz_protocol_check.h"
#include "nrv_module_main.h"

extern "C" {
// From the sanitizer runtimes, and from the linker in a build with
// libFuzzer's inline counters; weak, so that a replay build without them
// links as well.
void __sanitizer_set_report_fd(void *fd) __attribute__((weak));
int __lsan_do_recoverable_leak_check(void) __attribute__((weak));
extern uint8_t __start___sancov_cntrs[] __attribute__((weak, visibility("hidden")));
extern uint8_t __stop___sancov_cntrs[] __attribute__((weak, visibility("hidden")));
// The C library's exit, and its stand-in (-Wl,--wrap=exit).
[[noreturn]] void __real_exit(int status);
[[noreturn]] void __wrap_exit(int status);
}

// The module's main, renamed in this build (fuzz/CMakeLists.txt).
int quorlin_module_main(int argc, char **argv);

namespace {

using fuzz_protocol::keys;
using fuzz_protocol::scenario;

constexpr scenario scenarios[] = {
    // Two and a half blocks per message: two passes between blocks.
    {"12500", nullptr, nullptr, nullptr, nullptr, nullptr, false, false},
    // No audio: the message ends without a pass.
    {"0", nullptr, nullptr, nullptr, nullptr, nullptr, false, false},
    // Six blocks, then one sample, then two and a half blocks, in small
    // callbacks.
    {"30000,1,12500", "700", nullptr, nullptr, nullptr, nullptr, false, false},
    // The second piece of text the engine is given is refused: the second
    // message's, or with marks a piece of the first.
    {"12500", nullptr, nullptr, "eciAddText@2", nullptr, nullptr, false, false},
    // The second synthesis fails.
    {"12500", nullptr, nullptr, "eciSynthesize@2", nullptr, nullptr, false, false},
    // Samples arrive while the adapter waits for the engine.
    {"12500", nullptr, "synchronize", nullptr, nullptr, nullptr, false, false},
    // Configured voice, rate and dictionaries; exactly one block.
    {"5000", nullptr, nullptr, nullptr, nullptr, nullptr, false, true},
    // One frame beyond a block, after callbacks with impossible counts
    // and a message the adapter does not act on.
    {"5001", nullptr, nullptr, nullptr, "0:-5,0:25000,7:3", nullptr, false, false},
    // Messages shorter than a block: a PAUSE read after the one block
    // comes when all the audio has gone.
    {"1000", nullptr, nullptr, nullptr, nullptr, nullptr, false, false},
    // Small callbacks, each one refused offered twice more.
    {"12500", "700", nullptr, nullptr, nullptr, "2", false, false},
    // An engine that takes no notice of a stop: its samples and index
    // replies come on to the end of the message, and are all refused.
    {"20000", "1500", nullptr, nullptr, nullptr, nullptr, true, false},
    // Exactly one block, exactly two, one sample, none.
    {"5000,10000,1,0", nullptr, nullptr, nullptr, nullptr, nullptr, false, false},
};
constexpr size_t scenario_count = sizeof scenarios / sizeof scenarios[0];
// The one-byte selectors '0' to ';' must keep picking rows 0 to 11.
static_assert('0' % scenario_count == 0 && scenario_count <= 12);

// What an input's selector chose, and how many bytes it took.
struct selection {
    const scenario *script;
    keys on;
    size_t bytes;
};

selection select_run(const uint8_t *data, size_t size) {
    if (size == 0) return {&scenarios[0], {false, false, false}, 0};
    const scenario *script = &scenarios[data[0] % scenario_count];
    if (data[0] >= '0' && data[0] < '0' + scenario_count) return {script, {false, false, false}, 1};
    if (size == 1) return {script, {false, false, false}, 1};
    const uint8_t bits = data[1];
    return {script, {(bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0}, 2};
}

// The configuration file a run starts with, empty when it starts with
// none, as a server that names no file.
std::string config_of(const selection &run) {
    std::string text;
    if (run.script->configured) text += fuzz_protocol::config_text;
    if (run.on.streaming) text += "CorvaneStreaming 1\n";
    if (run.on.marks) text += "CorvaneIndexMarks 1\n";
    if (run.on.faithful) text += "CorvaneFaithfulText 1\n";
    return text;
}

constexpr int hang_seconds = 20;
constexpr int leak_status = 98;    // the child found a leak
constexpr int return_status = 97;  // the module's main returned, which it never does

enum class run_mode { none, here, child };

// Set up once per fuzzing process.
struct plumbing {
    int input;                // descriptor 0 of every run
    int output;               // descriptor 1 of every run
    int null;                 // /dev/null: a child's descriptor 2
    int saved_stdout;         // this process's own descriptors 1 and 2
    int saved_stderr;
    int report;               // where this harness and the sanitizers report
    std::string scratch;      // the scratch folder
    std::string config_path;  // the configuration file of a run that has one
    std::string log_path;     // the fake engine's call log
    int config;               // the two files, kept open to fill and read
    int log;
    uint8_t *counters;        // coverage counters as a child left them
    size_t counter_bytes;     // size of the counter section, 0 without one
    bool check_leaks;         // the current child looks for leaks
    run_mode mode;            // where the module runs now, if it runs
    jmp_buf run_end;          // where a run in this process ends
    int exit_status;          // the status that run passed to exit
};

plumbing io = {-1, -1, -1, -1, -1, -1, {}, {}, {}, -1, -1, nullptr, 0, false, run_mode::none,
               {}, 0};

void remove_scratch();

// A failure of the harness itself. The abort skips the exit handlers, so
// the scratch folder goes first.
[[noreturn]] void die(const char *what) {
    dprintf(io.report >= 0 ? io.report : 2, "fuzz_protocol: %s: %s\n", what, strerror(errno));
    remove_scratch();
    abort();
}

// A file of the scratch folder, created afresh and kept open for the
// process's life.
int scratch_file(const char *name, std::string *path) {
    *path = io.scratch + "/" + name;
    int fd = open(path->c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) die(path->c_str());
    return fd;
}

// A file no other process needs by name: unlinked at once, so it goes
// with the process however the process ends.
int private_file(const char *name) {
    std::string path;
    int fd = scratch_file(name, &path);
    unlink(path.c_str());
    return fd;
}

void write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t w = write(fd, bytes.data(), bytes.size());
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) die("write");
        bytes.remove_prefix(static_cast<size_t>(w));
    }
}

// Makes `fd` hold exactly `bytes`, read from the start.
void fill_file(int fd, std::string_view bytes) {
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) die("truncate");
    write_all(fd, bytes);
    if (lseek(fd, 0, SEEK_SET) != 0) die("lseek");
}

// Runs at the fuzzing process's exit, never in a child, which ends
// through _exit, and before an abort. Safe before the folder exists.
void remove_scratch() {
    if (io.scratch.empty()) return;
    unlink(io.config_path.c_str());
    unlink(io.log_path.c_str());
    rmdir(io.scratch.c_str());
}

void make_scratch() {
    const char *tmp = getenv("TMPDIR");
    std::string dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    std::string name = dir + "/quorlin-fuzz-protocol-XXXXXX";
    if (mkdtemp(name.data()) == nullptr) die(name.c_str());
    io.scratch = name;
    atexit(remove_scratch);
}

// This process's coverage counters; null in a build without them.
uint8_t *counters_start() { return __start___sancov_cntrs; }

void set_up() {
    if (io.report < 0) io.report = dup(2);
    // The module's stderr goes to /dev/null while it runs.
    if (__sanitizer_set_report_fd != nullptr)
        __sanitizer_set_report_fd(reinterpret_cast<void *>(static_cast<intptr_t>(io.report)));
    io.null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (io.null < 0) die("/dev/null");
    // libFuzzer's -close_fd_mask closes descriptors 1 or 2; the files
    // below must not take their numbers.
    for (int fd : {0, 1, 2})
        if (fcntl(fd, F_GETFD) < 0 && dup2(io.null, fd) < 0) die("dup2");
    make_scratch();
    io.input = private_file("input");
    io.output = private_file("output");
    io.config = scratch_file("config", &io.config_path);
    io.log = scratch_file("engine.log", &io.log_path);
    io.saved_stdout = dup(1);
    io.saved_stderr = dup(2);
    if (io.saved_stdout < 0 || io.saved_stderr < 0) die("dup");
    uint8_t *start = counters_start();
    uint8_t *stop = __stop___sancov_cntrs;
    if (start != nullptr && stop > start) {
        io.counter_bytes = static_cast<size_t>(stop - start);
        void *shared = mmap(nullptr, io.counter_bytes, PROT_READ | PROT_WRITE,
                            MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (shared == MAP_FAILED) die("mmap");
        io.counters = static_cast<uint8_t *>(shared);
    }
}

// The whole of `fd`, a file of this process.
std::string read_file(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) die("fstat");
    std::string out(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < out.size()) {
        ssize_t r = pread(fd, out.data() + got, out.size() - got, static_cast<off_t>(got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) die("pread");
        got += static_cast<size_t>(r);
    }
    return out;
}

void set_or_unset(const char *name, const char *value) {
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

// The fake engine reads its script at eciNew, from the environment, and
// appends each call to the log, which each run starts empty.
void script_engine(const scenario &s) {
    set_or_unset("QUORLIN_FAKE_SAMPLES", s.samples);
    set_or_unset("QUORLIN_FAKE_CHUNK", s.chunk);
    set_or_unset("QUORLIN_FAKE_DELIVER", s.deliver);
    set_or_unset("QUORLIN_FAKE_FAIL", s.fail);
    set_or_unset("QUORLIN_FAKE_PROBES", s.probes);
    set_or_unset("QUORLIN_FAKE_REOFFER", s.reoffer);
    set_or_unset("QUORLIN_FAKE_IGNORE_STOP", s.ignore_stop ? "1" : nullptr);
    setenv("QUORLIN_FAKE_LOG", io.log_path.c_str(), 1);
    for (const char *name : {"QUORLIN_FAKE_DELAY_MS", "QUORLIN_FAKE_DICT_ERROR",
                             "QUORLIN_FAKE_RATE_CODE", "QUORLIN_FAKE_LOSE_INDEX",
                             "QUORLIN_FAKE_STOP_LOG"})
        unsetenv(name);
}

void reset_module_state();

// Runs the module's entry as the server would start it, from the state a
// new process has, with the configuration file when the run has one.
// Returns only when the entry does, which it never should.
void start_module(const selection &run) {
    reset_module_state();
    script_engine(*run.script);
    char name[] = "quorlin";
    bool configured = run.script->configured || run.on.streaming || run.on.marks || run.on.faithful;
    char *argv[] = {name, configured ? io.config_path.data() : nullptr, nullptr};
    quorlin_module_main(configured ? 2 : 1, argv);
}

// Takes the child's exit: stdio is flushed here because _exit skips it,
// and _exit keeps the fuzzer's own exit handlers from taking the child's
// exit for a failure of the fuzzer.
[[noreturn]] void child_exit(int status) {
    fflush(nullptr);
    if (io.counter_bytes != 0) memcpy(io.counters, counters_start(), io.counter_bytes);
    if (io.check_leaks && __lsan_do_recoverable_leak_check != nullptr &&
        __lsan_do_recoverable_leak_check() != 0)
        _exit(leak_status);
    _exit(status);
}

[[noreturn]] void run_child(const selection &s) {
    io.mode = run_mode::child;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (dup2(io.input, 0) < 0 || dup2(io.output, 1) < 0 || dup2(io.null, 2) < 0) _exit(96);
    start_module(s);
    child_exit(return_status);
}

// The child's exit status, 128 + signal for a death by signal, or -1
// when it did not end within hang_seconds (it is killed then).
int wait_child(pid_t pid) {
    timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += hang_seconds;
    long nap_ns = 20000;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        if (r < 0 && errno != EINTR) die("waitpid");
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec > until.tv_sec ||
            (now.tv_sec == until.tv_sec && now.tv_nsec >= until.tv_nsec)) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
            }
            return -1;
        }
        timespec nap = {0, nap_ns};
        nanosleep(&nap, nullptr);
        if (nap_ns < 1000000) nap_ns *= 2;
    }
}

// libFuzzer reads the counters after the input's call returns: what the
// child covered is added to what this process did since the fork.
void merge_counters() {
    uint8_t *own = counters_start();
    for (size_t i = 0; i < io.counter_bytes; ++i)
        if (io.counters[i] > own[i]) own[i] = io.counters[i];
}

int run_in_child(const selection &s) {
    io.check_leaks = io.counter_bytes == 0;
    if (io.counter_bytes != 0) memset(io.counters, 0, io.counter_bytes);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) die("fork");
    if (pid == 0) run_child(s);
    int status = wait_child(pid);
    if (status >= 0 && status < 128) merge_counters();
    return status;
}

// Hands out every line the reader still holds, and the unfinished line
// it may keep at the end of its buffer, so that the next run starts with
// an empty reader. The lines are not commands: they are only freed.
void drain_reader() {
    fill_file(io.input, "\n");
    while (char *line = module_readline(0, 1)) free(line);
}

// What the module keeps for the life of the process and a new process
// would start with: configuration values as the reader initialises them,
// and the runtime's shared flags.
void reset_module_state() {
    quorlin::config_reset();
    module_should_stop = 0;
    audio_server = 0;
}

int run_here(const selection &s) {
    fflush(stdout);
    if (dup2(io.input, 0) < 0 || dup2(io.output, 1) < 0 || dup2(io.null, 2) < 0) die("dup2");
    clearerr(stdout);
    int status;
    io.mode = run_mode::here;
    if (setjmp(io.run_end) == 0) {
        start_module(s);
        status = return_status;
    } else {
        status = io.exit_status;
    }
    io.mode = run_mode::none;
    fflush(stdout);
    drain_reader();
    if (dup2(io.saved_stdout, 1) < 0 || dup2(io.saved_stderr, 2) < 0) die("dup2");
    return status;
}

// True when a line of `input` that reads as QUIT comes after one that
// reads as a message command, so that QUIT may be met between two audio
// blocks. The reader cuts a line at a NUL byte: "QUIT\0...\n" is no QUIT.
bool may_quit_while_streaming(std::string_view input) {
    bool message = false;
    for (size_t at = 0; at < input.size();) {
        size_t lf = input.find('\n', at);
        if (lf == std::string_view::npos) return false;
        std::string_view line = input.substr(at, lf - at);
        if (message && line == "QUIT") return true;
        message = message || line == "SPEAK" || line == "SOUND_ICON" || line == "CHAR" ||
                  line == "KEY";
        at = lf + 1;
    }
    return false;
}

[[noreturn]] void report(const selection &run, std::string_view input, const std::string &out,
                         int status, const std::string &what) {
    dprintf(io.report, "fuzz_protocol: %s\n", what.c_str());
    dprintf(io.report,
            "fuzz_protocol: scenario %zu (samples=%s), streaming %d, marks %d, faithful %d, "
            "exit status %d, %zu input bytes, %zu output bytes\n",
            static_cast<size_t>(run.script - scenarios), run.script->samples, run.on.streaming,
            run.on.marks, run.on.faithful, status, input.size(), out.size());
    dprintf(io.report, "fuzz_protocol: output ends with:\n%s",
            fuzz_protocol::describe_output(out, 40).c_str());
    remove_scratch();
    abort();
}

}  // namespace

extern "C" void __wrap_exit(int status) {
    switch (io.mode) {
    case run_mode::here:
        io.exit_status = status & 0xff;
        longjmp(io.run_end, 1);
    case run_mode::child:
        child_exit(status);
    case run_mode::none:
        break;
    }
    __real_exit(status);
}

// libFuzzer calls this before it acts on -close_fd_mask, which may close
// descriptor 2: reports keep going where stderr went.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    io.report = dup(2);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (io.input < 0) set_up();
    const selection run = select_run(data, size);
    std::string_view input;
    if (size > run.bytes)
        input = std::string_view(reinterpret_cast<const char *>(data) + run.bytes, size - run.bytes);

    fill_file(io.input, input);
    fill_file(io.output, {});
    fill_file(io.config, config_of(run));
    fill_file(io.log, {});
    int status = may_quit_while_streaming(input) ? run_in_child(run) : run_here(run);
    std::string out = read_file(io.output);

    if (status < 0) report(run, input, out, status, "the module hung");
    if (status == leak_status) report(run, input, out, status, "the module leaked");
    if (status != 0 && status != 3 && status != 255)
        report(run, input, out, status, "the module failed or died");
    std::string log = read_file(io.log);
    std::string err =
        fuzz_protocol::check_run({*run.script, run.on, input, out, log, status});
    if (!err.empty()) report(run, input, out, status, err);
    return 0;
}
