// SPDX-License-Identifier: BSD-2-Clause
// What every part of quorlin-say shares: its exit statuses, the failure
// it carries up to main, the signals that interrupt a run, the bounded
// waits on descriptors and children, and which paths name one file.
//
// The signal handler owns two small tables: the temporary files that
// exist right now and the children that run right now. A first signal
// only sets a flag, which the waits below turn into Interrupted, so that
// the run can stop the module and keep a playable file. A second signal
// ends the run at once from the handler itself: it kills the children,
// removes the temporary files and exits, since the first one's clean-up
// is what the user no longer wants to wait for.
#pragma once

#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace say {

constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

// A failure worth telling the user about; carried up to main. `status`
// is the exit status it ends the run with.
struct Failure {
    std::string what;
    int status = exit_failure;
    // False when the module had no part in it (a reader of the audio
    // went away, a player failed), so that its diagnostics would only
    // mislead.
    bool module_involved = true;
};

[[noreturn]] void fail(std::string what, int status = exit_failure);
// A failure the module had no part in.
[[noreturn]] void fail_outside(std::string what);

// Thrown where a wait or a write noticed an interrupting signal.
struct Interrupted {};

// Installs the handlers for SIGINT, SIGTERM, SIGHUP and SIGQUIT (without
// SA_RESTART, so that a blocking call returns EINTR and the caller looks
// at the flag).
void catch_interrupts();
// The signal that arrived, 0 for none.
int interrupt_signal();
// Throws Interrupted when a signal arrived.
void check_interrupt();

// A file that a second signal removes: registered as soon as it exists,
// forgotten once it is put in place or removed.
void register_leftover(const std::string &path);
void forget_leftover(const std::string &path);
// A child that a second signal kills: spawn registers it, and whoever
// reaps it forgets it (so that a reused pid is never killed).
void forget_child(pid_t pid);

// poll(2) that notices a signal which arrives just before the call: it
// waits in short slices and throws Interrupted between them unless
// `interruptible` is false. Returns poll's result; 0 means that nothing
// happened within `timeout_ms` (-1: no bound).
int poll_bounded(pollfd *fds, nfds_t n, int timeout_ms, bool interruptible = true);

// Writes all of `n` bytes to `fd`, retrying short writes, EINTR and
// EAGAIN; a signal that arrived throws Interrupted before each write,
// also after a short one. `timeout_ms` -1 is for a regular file, which
// never waits on a reader. Otherwise `fd` may be a pipe, a FIFO or a
// device whose reader stopped: every write waits for room in poll and
// takes no more than the room poll promised, so the run fails (naming
// `what`) once nothing was taken for `timeout_ms`. Other failures name
// `what` too; the module has no part in any of them.
void write_all(int fd, const void *p, size_t n, const std::string &what, int timeout_ms = -1);

// Reads `fd` to its end, retrying EINTR (unless interrupted). A read
// error fails with "cannot read <shown>: <reason>" and `status`; the
// descriptor is left to the caller.
std::string read_all(int fd, const std::string &shown, int status = exit_failure);

// Starts the program args[0] with `args` in a child process and returns
// its pid. In the child, SIGPIPE gets its default action back and
// `in_child` arranges the descriptors before the program replaces it;
// when the program cannot be run, `exec_failed` is given errno and the
// child exits with status 127.
pid_t spawn(std::vector<std::string> args, const std::function<void()> &in_child,
            const std::function<void(int)> &exec_failed);

// Waits up to `timeout_ms` for the child `pid` to end. True, with its
// wait status in `status`, when it ended (it is then reaped and
// forgotten); false when it still runs. Throws Interrupted only when
// `interruptible`.
bool wait_child(pid_t pid, int timeout_ms, int &status, bool interruptible);
// Ends the child `pid` now: SIGTERM, then SIGKILL when it has not ended
// `grace_ms` later; reaps it. Never throws.
void end_child(pid_t pid, int grace_ms);
// "exit status N" or "signal N (Name)", from a wait status.
std::string describe_wait_status(int status);

// The file that `path` finally names: its symbolic links followed, also
// a last one that points to no file yet (a dangling link), so that a new
// file is written where the link points and the link stays. A relative
// link is taken from the directory that holds it. False when links nest
// deeper than the kernel would follow them.
bool final_target(const std::string &path, std::string &out);
// Whether `path` names descriptor 1 itself rather than a file: it is, or
// its links reach, standard output's entry in /proc/self/fd, as
// /dev/stdout and /dev/fd/1 do. That entry's link holds no path when
// standard output is a pipe or a socket ("pipe:[N]"), so such a path is
// written as standard output, never through its links.
bool names_standard_output(const std::string &path);
// Whether writing `a` and writing `b` would write one file: the same
// device and inode when both exist; when neither does yet, the same name
// in the same directory (the directory compared by device and inode, so
// that "x", "./x" and a bind mount's "x" agree).
bool same_file(const std::string &a, const std::string &b);
// Whether `path` names the file open on descriptor `fd` (/dev/stdout for
// descriptor 1, or the file that descriptor 1 was redirected to).
bool names_descriptor(const std::string &path, int fd);

// Closes a descriptor that it was given (0, standard input, is never
// closed) when it goes out of scope, also when a failure is thrown.
struct FdCloser {
    int fd;
    ~FdCloser();
};

// Parses a whole decimal number from `low` to `high` into `out`; false
// (and `out` untouched) for anything else.
bool parse_int(const char *s, long low, long high, int &out);

// Milliseconds of a monotonic clock, for deadlines.
int64_t now_ms();

}  // namespace say
