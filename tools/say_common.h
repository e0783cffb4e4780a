// SPDX-License-Identifier: BSD-2-Clause
// What every part of quorlin-say shares: its exit statuses, the failure
// it carries up to main, and the interrupt flag that SIGINT and SIGTERM
// set.
#pragma once

#include <signal.h>
#include <stddef.h>

#include <string>

namespace say {

constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

// A failure worth telling the user about; carried up to main. `status`
// is the exit status it ends the run with.
struct Failure {
    std::string what;
    int status = exit_failure;
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

}  // namespace say
