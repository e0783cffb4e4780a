// SPDX-License-Identifier: BSD-2-Clause
// The line reader in-process, with its read and select calls observed
// through link-time wrappers and its growth failed through the
// fault-injection countdown. Each scenario runs in a forked child with a
// fresh reader (its buffer lives for the whole process) and a pipe on
// descriptor 0, and reports a trace: each wait or poll, each read with
// the room it offered and what it got, and each line handed out.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "fault_injection.h"
#include "nrv_module_main.h"
#include "recording_format.h"

extern "C" ssize_t __real_read(int fd, void *buf, size_t count);
extern "C" int __real_select(int n, fd_set *r, fd_set *w, fd_set *e, timeval *t);

namespace fault = qtest::fault;

namespace {

bool observing = false;
std::string trace;
std::deque<int> read_failures;    // errno values the next reads fail with
std::deque<int> select_failures;  // errno values the next selects fail with

}  // namespace

extern "C" ssize_t __wrap_read(int fd, void *buf, size_t count) {
    if (!observing || fd != 0) return __real_read(fd, buf, count);
    if (!read_failures.empty()) {
        errno = read_failures.front();
        read_failures.pop_front();
        trace += "read!" + std::to_string(errno) + " ";
        return -1;
    }
    ssize_t got = __real_read(fd, buf, count);
    trace += "read(" + std::to_string(count) + ")=" + std::to_string(got) + " ";
    return got;
}

extern "C" int __wrap_select(int n, fd_set *r, fd_set *w, fd_set *e, timeval *t) {
    if (!observing) return __real_select(n, r, w, e, t);
    trace += t == nullptr ? "wait " : "poll ";
    if (!select_failures.empty()) {
        errno = select_failures.front();
        select_failures.pop_front();
        return -1;
    }
    return __real_select(n, r, w, e, t);
}

namespace {

// The write end of the pipe on descriptor 0, in the scenario's child.
int input = -1;

void put(std::string_view bytes) {
    ASSERT_EQ(write(input, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

void get(int block) {
    char *line = module_readline(0, block);
    trace += line != nullptr ? "-> " + qrec::quote(line) + " " : "-> null ";
    free(line);
}

/*
 * Runs `scenario` in a child with a fresh reader and returns its trace,
 * followed by "| " and what the reader wrote on standard error.
 */
std::string run(const std::function<void()> &scenario) {
    int result[2];
    if (pipe(result) != 0) return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
        int in[2], err[2];
        if (pipe(in) != 0 || pipe(err) != 0) _exit(2);
        dup2(in[0], 0);
        close(in[0]);
        dup2(err[1], 2);
        close(err[1]);
        input = in[1];
        observing = true;
        scenario();
        observing = false;
        close(2);
        char buf[4096];
        ssize_t n = read(err[0], buf, sizeof buf);
        trace += "| " + std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
        (void)!write(result[1], trace.data(), trace.size());
        _exit(0);
    }
    close(result[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(result[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    close(result[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) out += " [child failed]";
    return out;
}

// Brings a fresh reader's buffer to 32 bytes and leaves it empty.
void grow_to_32() {
    put("0123456789abcdef\n");
    char *line = module_readline(0, 1);
    free(line);
    trace.clear();
}

struct ReaderCase {
    const char *name;
    std::function<void()> scenario;
    std::string trace;
};

TEST(LineReader, FollowsItsBufferRules) {
    const std::vector<ReaderCase> cases = {
        {"fresh reader grows 2, 4, 8 for INIT", [] { put("INIT\n"); get(1); },
         "wait read(2)=2 wait read(2)=2 wait read(4)=1 -> \"INIT\\x0a\" | "},
        {"second buffered line needs no system call",
         [] { grow_to_32(); put("AB\nCD\n"); get(1); get(1); },
         "wait read(32)=6 -> \"AB\\x0a\" -> \"CD\\x0a\" | "},
        {"a lone line feed is a line", [] { grow_to_32(); put("\n"); get(1); },
         "wait read(32)=1 -> \"\\x0a\" | "},
        {"carriage return kept", [] { grow_to_32(); put("OK\r\n"); get(1); },
         "wait read(32)=4 -> \"OK\\x0d\\x0a\" | "},
        {"nul cuts the line and loses its rest",
         [] { grow_to_32(); put(std::string("ab\0cd\nef\n", 9)); get(1); get(1); },
         "wait read(32)=9 -> \"ab\" -> \"ef\\x0a\" | "},
        {"partial line completed by later bytes",
         [] { grow_to_32(); put("L1\nL2\npar"); get(1); get(1); get(0); put("tial\n"); get(0); },
         "wait read(32)=9 -> \"L1\\x0a\" -> \"L2\\x0a\" poll -> null poll read(23)=5 "
         "-> \"partial\\x0a\" | "},
        {"compaction instead of growth",
         [] { put("INIT\n"); get(1); trace.clear(); put("abc\ndefgh\n"); get(1); get(1); },
         "wait read(8)=8 -> \"abc\\x0a\" wait read(4)=2 -> \"defgh\\x0a\" | "},
        {"a line that exactly fills the buffer",
         [] { put("INIT\n"); get(1); trace.clear(); put("abcdefg\n"); get(1); put("abcdefgh\n");
              get(1); },
         "wait read(8)=8 -> \"abcdefg\\x0a\" wait read(8)=8 wait read(8)=1 "
         "-> \"abcdefgh\\x0a\" | "},
        {"end of input after an unterminated tail is logged once",
         [] { put("abc"); close(input); get(1); get(1); },
         "wait read(2)=2 wait read(2)=1 wait read(1)=0 -> null wait read(1)=0 -> null "
         "| stdin over\n"},
        {"polls after the end of input read nothing",
         [] { grow_to_32(); put("a\n"); close(input); get(0); get(0); get(0); get(0); get(1); },
         "poll read(32)=2 -> \"a\\x0a\" poll read(32)=0 -> null -> null -> null "
         "wait read(32)=0 -> null | stdin over\n"},
        {"buffered lines come before the end of input",
         [] { grow_to_32(); put("a\nb\n"); close(input); get(1); get(1); get(1); },
         "wait read(32)=4 -> \"a\\x0a\" -> \"b\\x0a\" wait read(32)=0 -> null | stdin over\n"},
        {"poll with nothing there", [] { get(0); }, "poll -> null | "},
        {"poll hands out a buffered line without a system call",
         [] { grow_to_32(); put("x\ny\n"); get(0); get(0); get(0); },
         "poll read(32)=4 -> \"x\\x0a\" -> \"y\\x0a\" poll -> null | "},
        {"poll reads on while bytes are there",
         [] { put("hello\n"); get(0); },
         "poll read(2)=2 poll read(2)=2 poll read(4)=2 -> \"hello\\x0a\" | "},
        {"interrupted read is retried when waiting",
         [] { grow_to_32(); put("a\n"); read_failures = {EINTR, EAGAIN}; get(1); },
         "wait read!4 wait read!11 wait read(32)=2 -> \"a\\x0a\" | "},
        {"interrupted read gives up when polling",
         [] { grow_to_32(); put("a\n"); read_failures = {EINPROGRESS}; get(0); get(0); },
         "poll read!115 -> null poll read(32)=2 -> \"a\\x0a\" | "},
        {"failed read is reported",
         [] { grow_to_32(); put("a\n"); read_failures = {EIO}; get(1); },
         "wait read!5 -> null | read on stdin: Input/output error\n"},
        {"interrupted select is retried when waiting",
         [] { grow_to_32(); put("a\n"); select_failures = {EINTR}; get(1); },
         "wait wait read(32)=2 -> \"a\\x0a\" | "},
        {"failed select is reported",
         [] { select_failures = {EBADF}; get(1); },
         "wait -> null | select on stdin: Bad file descriptor\n"},
        // The fourth growth of the buffer (2, 4, 8, then 16 bytes) fails.
        {"failed growth keeps the buffer when polling",
         [] { fault::fail_nth(fault::call::realloc, 4); put("0123456789\n"); get(0);
              fault::disarm(fault::call::realloc); get(0); },
         "poll read(2)=2 poll read(2)=2 poll read(4)=4 poll -> null "
         "poll read(8)=3 -> \"0123456789\\x0a\" | "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run(c.scenario), c.trace);
    }
}

}  // namespace
