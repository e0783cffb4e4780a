// SPDX-License-Identifier: BSD-2-Clause
#include "say_common.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace say {

namespace {

volatile sig_atomic_t arrived = 0;

void on_signal(int sig) { arrived = sig; }

}  // namespace

void fail(std::string what, int status) { throw Failure{std::move(what), status}; }

void catch_interrupts() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

int interrupt_signal() { return arrived; }

void check_interrupt() {
    if (arrived) throw Interrupted{};
}

void write_all(int fd, const void *p, size_t n, const std::string &what) {
    const char *b = static_cast<const char *>(p);
    while (n > 0) {
        ssize_t w = write(fd, b, n);
        if (w > 0) {
            b += w;
            n -= static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) {
            check_interrupt();
            continue;
        }
        throw Failure{"writing " + what + ": " + strerror(w < 0 ? errno : EIO), exit_failure,
                      false};
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
    return pid;
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

}  // namespace say
