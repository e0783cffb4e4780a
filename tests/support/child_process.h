// SPDX-License-Identifier: BSD-2-Clause
// A child process on three pipes, for tests that drive a program as a
// speech server would: raw bytes in, stdout and stderr collected, every
// wait bounded by a deadline so that a hang fails the test instead of
// stalling the run. The destructor kills and reaps the child.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qtest {

using namespace std::chrono_literals;

struct ChildOptions {
    std::vector<std::string> argv;  // argv[0] is the program's path
    std::vector<std::pair<std::string, std::string>> env;  // added or replaced
    std::vector<std::string> unset_env;
    // 32-bit test builds run children under the same emulator as the tests.
    bool through_emulator = true;
};

class Child {
public:
    explicit Child(const ChildOptions &options);
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    // Writes all bytes to the child's stdin, collecting its output while
    // the pipe is full. False if the child closed its stdin or the
    // deadline passed.
    bool write(std::string_view bytes, std::chrono::milliseconds deadline = 20s);
    void close_stdin();
    // Closes our end of the child's stdout, as a server that went away would.
    void close_stdout();

    // Collects output until stdout holds `needle` at or after `from`;
    // false on deadline or when the child's stdout ended first.
    bool wait_for_stdout(std::string_view needle, std::chrono::milliseconds deadline = 10s,
                         size_t from = 0);
    bool wait_for_stderr(std::string_view needle, std::chrono::milliseconds deadline = 10s);
    // Collects whatever arrives within `d`.
    void pump_for(std::chrono::milliseconds d);

    // Closes stdin (unless told not to), collects all output and waits for
    // the exit. Returns the exit status, 128 + signal number for a death
    // by signal, or -1 when the deadline passed (the child is then killed).
    int wait_exit(std::chrono::milliseconds deadline = 20s, bool close_input = true);

    const std::string &out() const { return out_; }
    const std::string &err() const { return err_; }
    pid_t pid() const { return pid_; }
    bool exited() const { return exited_; }

private:
    // One round of poll over the open descriptors; false when nothing is
    // open any more or the timeout passed without any event.
    bool pump_once(int timeout_ms, bool want_stdin_writable);
    bool reap(bool block);

    pid_t pid_ = -1;
    int in_ = -1, out_fd_ = -1, err_fd_ = -1;
    std::string out_, err_;
    bool exited_ = false;
    int status_ = -1;
};

// The emulator that test programs run under ("" for native builds).
const char *test_emulator();

// A command that every child is started through, taken from the
// environment variable QUORLIN_TEST_WRAPPER and split at blanks (empty
// when unset), for runs of the tests under a memory checker. A child run
// under a wrapper is not killed when its Child goes: its input is closed,
// as a server that goes away would close it, and it is given time to
// end, so that the wrapper's checks at exit run.
const std::vector<std::string> &test_wrapper();

// `d` multiplied by the whole number in QUORLIN_TEST_TIME_SCALE (1 when
// unset), for runs under a slow wrapper. Every deadline of Child is
// scaled; the durations of pump_for are not.
std::chrono::milliseconds scaled(std::chrono::milliseconds d);

}  // namespace qtest
