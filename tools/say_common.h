// SPDX-License-Identifier: BSD-2-Clause
// What every part of quorlin-say shares: its exit statuses, the failure
// it carries up to main, and the interrupt flag that SIGINT and SIGTERM
// set.
#pragma once

#include <signal.h>
#include <stddef.h>

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
    // went away), so that its diagnostics would only mislead.
    bool module_involved = true;
};

[[noreturn]] void fail(std::string what, int status = exit_failure);

// Thrown where a wait or a write noticed SIGINT or SIGTERM.
struct Interrupted {};

// Installs the handlers (without SA_RESTART, so that a blocking call
// returns EINTR and the caller looks at the flag).
void catch_interrupts();
// The signal that arrived, 0 for none.
int interrupt_signal();
// Throws Interrupted when a signal arrived.
void check_interrupt();

// Writes all of `n` bytes to `fd`, retrying short writes and EINTR
// (unless interrupted). Fails with `what` in the message.
void write_all(int fd, const void *p, size_t n, const std::string &what);

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

// Closes a descriptor that it was given (0, standard input, is never
// closed) when it goes out of scope, also when a failure is thrown.
struct FdCloser {
    int fd;
    ~FdCloser();
};

// Parses a whole decimal number from `low` to `high` into `out`; false
// (and `out` untouched) for anything else.
bool parse_int(const char *s, long low, long high, int &out);

}  // namespace say
