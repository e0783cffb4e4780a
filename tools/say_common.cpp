// SPDX-License-Identifier: BSD-2-Clause
// The shared helpers of say_common.h, and the one signal handler with
// the tables it reads: every field a handler touches is written so that
// the handler sees either the old or the new entry whole (the path is
// copied before its slot is marked used, and unmarked before it is
// dropped).
#include "say_common.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace say {

namespace {

// quorlin-say has at most two temporary files (the output's and the
// configuration's) and two children (the module and the player).
constexpr int leftover_slots = 4;
constexpr int child_slots = 4;
// How often a long wait looks at the interrupt flag: short enough that
// an interrupt is heard at once, long enough to cost nothing.
constexpr int slice_ms = 200;
// Symbolic links are followed this far, as the kernel follows them.
constexpr int max_link_hops = 40;

struct Leftover {
    char path[PATH_MAX];         // the file, NUL-terminated
    volatile sig_atomic_t used;  // 1 once `path` is complete
};

struct SignalState {
    volatile sig_atomic_t arrived;       // the first signal, 0 for none
    pid_t owner;                         // our pid: a child between fork and exec does nothing
    Leftover leftovers[leftover_slots];  // removed by a second signal
    volatile sig_atomic_t children[child_slots];  // pids killed by a second signal, 0 for free
};

SignalState sig_state;

void on_signal(int sig) {
    if (getpid() != sig_state.owner) return;
    if (sig_state.arrived == 0) {
        sig_state.arrived = sig;
        return;
    }
    for (volatile sig_atomic_t &pid : sig_state.children)
        if (pid > 0) kill(static_cast<pid_t>(pid), SIGKILL);
    for (Leftover &l : sig_state.leftovers)
        if (l.used) unlink(l.path);
    _exit(128 + sig);
}

void register_child(pid_t pid) {
    for (volatile sig_atomic_t &slot : sig_state.children)
        if (slot == 0) {
            slot = pid;
            return;
        }
}

}  // namespace

void fail(std::string what, int status) { throw Failure{std::move(what), status}; }

void fail_outside(std::string what) { throw Failure{std::move(what), exit_failure, false}; }

void catch_interrupts() {
    sig_state.owner = getpid();
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    const int handled[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    // One handler at a time, so that a second signal never interrupts
    // the first one's bookkeeping.
    for (int sig : handled) sigaddset(&sa.sa_mask, sig);
    sa.sa_flags = 0;
    for (int sig : handled) sigaction(sig, &sa, nullptr);
}

int interrupt_signal() { return sig_state.arrived; }

void check_interrupt() {
    if (sig_state.arrived) throw Interrupted{};
}

void register_leftover(const std::string &path) {
    if (path.size() >= PATH_MAX) return;  // no such path was created
    for (Leftover &l : sig_state.leftovers)
        if (!l.used) {
            memcpy(l.path, path.c_str(), path.size() + 1);
            l.used = 1;
            return;
        }
}

void forget_leftover(const std::string &path) {
    for (Leftover &l : sig_state.leftovers)
        if (l.used && path == l.path) l.used = 0;
}

void forget_child(pid_t pid) {
    for (volatile sig_atomic_t &slot : sig_state.children)
        if (slot == pid) slot = 0;
}

int poll_bounded(pollfd *fds, nfds_t n, int timeout_ms, bool interruptible) {
    int64_t until = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
    for (;;) {
        if (interruptible) check_interrupt();
        int64_t left = until < 0 ? slice_ms : until - now_ms();
        if (left < 0) left = 0;  // one look even when the time is up (a timeout of 0)
        int r = poll(fds, n, static_cast<int>(left < slice_ms ? left : slice_ms));
        if (r > 0 || (r < 0 && errno != EINTR)) return r;
        if (until >= 0 && now_ms() >= until) return 0;
    }
}

namespace {

// Waits until `fd` takes bytes; fails naming `what` when `timeout_ms`
// (-1: no bound) passes first. A reader that went away shows as room,
// so that the write after it reports the error.
void wait_for_room(int fd, const std::string &what, int timeout_ms) {
    pollfd f{fd, POLLOUT, 0};
    if (poll_bounded(&f, 1, timeout_ms) == 0)
        fail_outside(what + " took nothing within " + std::to_string(timeout_ms / 1000) +
                     " s; --timeout SEC allows a longer wait for a slow reader");
}

}  // namespace

void write_all(int fd, const void *p, size_t n, const std::string &what, int timeout_ms) {
    const char *b = static_cast<const char *>(p);
    while (n > 0) {
        // A signal that came during a blocking write that had moved some
        // bytes shows only here: the write returned their count.
        check_interrupt();
        size_t chunk = n;
        if (timeout_ms >= 0) {
            wait_for_room(fd, what, timeout_ms);
            // A pipe that poll finds writable takes PIPE_BUF bytes whole;
            // a larger write to a blocking pipe could wait past the bound.
            if (chunk > PIPE_BUF) chunk = PIPE_BUF;
        }
        ssize_t w = write(fd, b, chunk);
        if (w > 0) {
            b += w;
            n -= static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        // A non-blocking descriptor: a FIFO opened in place, or standard
        // output left so by whoever opened it.
        if (w < 0 && errno == EAGAIN) {
            wait_for_room(fd, what, timeout_ms);
            continue;
        }
        // EPIPE included: SIGPIPE is ignored, so a reader that went away
        // is a failed write like any other.
        fail_outside("writing " + what + ": " + strerror(w < 0 ? errno : EIO));
    }
}

std::string read_all(int fd, const std::string &shown, int status) {
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            return text;
        } else if (errno == EINTR) {
            check_interrupt();
        } else {
            fail("cannot read " + shown + ": " + strerror(errno), status);
        }
    }
}

pid_t spawn(std::vector<std::string> args, const std::function<void()> &in_child,
            const std::function<void(int)> &exec_failed) {
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) fail(std::string("fork: ") + strerror(errno));
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        in_child();
        execv(argv[0], argv.data());
        exec_failed(errno);
        _exit(127);
    }
    register_child(pid);
    return pid;
}

bool wait_child(pid_t pid, int timeout_ms, int &status, bool interruptible) {
    int64_t until = now_ms() + timeout_ms;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) {
            forget_child(pid);
            return true;
        }
        if (interruptible) check_interrupt();
        if (now_ms() >= until) return false;
        usleep(10000);  // EINTR ends the sleep early, which is all it means here
    }
}

void end_child(pid_t pid, int grace_ms) {
    if (pid <= 0) return;
    int st = 0;
    kill(pid, SIGTERM);
    if (wait_child(pid, grace_ms, st, false)) return;
    kill(pid, SIGKILL);
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    forget_child(pid);
}

std::string describe_wait_status(int status) {
    if (WIFSIGNALED(status))
        return "signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) +
               ")";
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

namespace {

// Whether `path` is a symbolic link; if so, `next` is where it points, a
// relative link taken from the directory that holds it.
bool link_step(const std::string &path, std::string &next) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    char to[PATH_MAX];
    ssize_t n = readlink(path.c_str(), to, sizeof to - 1);
    if (n <= 0) return false;
    next.assign(to, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    if (next[0] != '/' && slash != std::string::npos) next.insert(0, path, 0, slash + 1);
    return true;
}

// Whether `path` is the entry "1" of a descriptor directory of this
// process (/proc/self/fd or /proc/thread-self/fd by any name).
bool is_stdout_entry(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || path.compare(slash + 1, std::string::npos, "1") != 0)
        return false;
    std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    char real[PATH_MAX], own[PATH_MAX];
    if (realpath(dir.c_str(), real) == nullptr) return false;
    for (const char *fd_dir : {"/proc/self/fd", "/proc/thread-self/fd"})
        if (realpath(fd_dir, own) != nullptr && strcmp(real, own) == 0) return true;
    return false;
}

}  // namespace

bool final_target(const std::string &path, std::string &out) {
    std::string p = path, next;
    for (int hops = 0; hops < max_link_hops; hops++) {
        if (!link_step(p, next)) {
            out = p;
            return true;
        }
        p = next;
    }
    return false;
}

bool names_standard_output(const std::string &path) {
    std::string p = path, next;
    for (int hops = 0; hops < max_link_hops; hops++) {
        if (is_stdout_entry(p)) return true;
        if (!link_step(p, next)) return false;
        p = next;
    }
    return false;
}

namespace {

bool same_inode(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the files that do not exist yet, `a` and `b` (links already
// followed), would be made under one name in one directory.
bool same_new_file(const std::string &a, const std::string &b) {
    auto split = [](const std::string &p, std::string &dir, std::string &base) {
        size_t slash = p.rfind('/');
        dir = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
        base = slash == std::string::npos ? p : p.substr(slash + 1);
    };
    std::string dir_a, base_a, dir_b, base_b;
    split(a, dir_a, base_a);
    split(b, dir_b, base_b);
    struct stat da, db;
    return base_a == base_b && stat(dir_a.c_str(), &da) == 0 && stat(dir_b.c_str(), &db) == 0 &&
           same_inode(da, db);
}

}  // namespace

bool same_file(const std::string &a, const std::string &b) {
    struct stat sa, sb;
    bool has_a = stat(a.c_str(), &sa) == 0, has_b = stat(b.c_str(), &sb) == 0;
    if (has_a && has_b) return same_inode(sa, sb);
    if (has_a || has_b) return false;
    std::string ta, tb;
    return final_target(a, ta) && final_target(b, tb) && same_new_file(ta, tb);
}

bool names_descriptor(const std::string &path, int fd) {
    struct stat sp, sf;
    return stat(path.c_str(), &sp) == 0 && fstat(fd, &sf) == 0 && same_inode(sp, sf);
}

FdCloser::~FdCloser() {
    if (fd > 0) close(fd);  // not retried on EINTR: the descriptor is gone either way
}

bool parse_int(const char *s, long low, long high, int &out) {
    char *end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (errno || end == s || *end || v < low || v > high) return false;
    out = static_cast<int>(v);
    return true;
}

int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    // 64 bits: a 32-bit long holds only 24 days of uptime in milliseconds.
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace say
