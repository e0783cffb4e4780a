// SPDX-License-Identifier: BSD-2-Clause
// A child on three pipes: fork and exec with the environment the test
// asked for (through the emulator of a 32-bit build, or the wrapper named
// by QUORLIN_TEST_WRAPPER), one poll loop that drains stdout and stderr
// while stdin is written, and deadlines scaled by QUORLIN_TEST_TIME_SCALE
// for slow runs. It owns the descriptors and the child until the
// destructor has killed and reaped it; what the bytes mean is left to
// protocol.cpp and the tests.
#include "child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#ifndef QUORLIN_TEST_EMULATOR
#define QUORLIN_TEST_EMULATOR ""
#endif

namespace qtest {

namespace {

using clock = std::chrono::steady_clock;

int remaining_ms(clock::time_point until) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

void close_fd(int &fd) {
    if (fd >= 0) {
        ::close(fd);  // never retried on EINTR: the descriptor is gone either way
        fd = -1;
    }
}

}  // namespace

const char *test_emulator() { return QUORLIN_TEST_EMULATOR; }

const std::vector<std::string> &test_wrapper() {
    static const std::vector<std::string> words = [] {
        std::vector<std::string> w;
        const char *v = getenv("QUORLIN_TEST_WRAPPER");
        std::string word;
        for (const char *p = v != nullptr ? v : ""; ; ++p) {
            if (*p == ' ' || *p == '\0') {
                if (!word.empty()) w.push_back(word);
                word.clear();
                if (*p == '\0') break;
            } else {
                word.push_back(*p);
            }
        }
        return w;
    }();
    return words;
}

std::chrono::milliseconds scaled(std::chrono::milliseconds d) {
    static const long factor = [] {
        const char *v = getenv("QUORLIN_TEST_TIME_SCALE");
        long f = v != nullptr ? strtol(v, nullptr, 10) : 1;
        return f < 1 ? 1L : f;
    }();
    return d * factor;
}

Child::Child(const ChildOptions &options) {
    // A server that closed its end must not kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    int pin[2], pout[2], perr[2];
    if (pipe2(pin, O_CLOEXEC) || pipe2(pout, O_CLOEXEC) || pipe2(perr, O_CLOEXEC))
        throw std::runtime_error("pipe failed");

    std::vector<std::string> args = test_wrapper();
    if (options.through_emulator && *test_emulator()) args.push_back(test_emulator());
    args.insert(args.end(), options.argv.begin(), options.argv.end());
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(pin[0], 0);
        dup2(pout[1], 1);
        dup2(perr[1], 2);
        signal(SIGPIPE, SIG_DFL);
        for (auto &name : options.unset_env) unsetenv(name.c_str());
        for (auto &[name, value] : options.env) setenv(name.c_str(), value.c_str(), 1);
        execvp(argv[0], argv.data());
        dprintf(2, "exec %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    ::close(pin[0]);
    ::close(pout[1]);
    ::close(perr[1]);
    in_ = pin[1];
    out_fd_ = pout[0];
    err_fd_ = perr[0];
    fcntl(in_, F_SETFL, O_NONBLOCK);
}

Child::~Child() {
    if (pid_ > 0 && !exited_ && !test_wrapper().empty()) wait_exit(std::chrono::seconds(10));
    close_fd(in_);
    close_fd(out_fd_);
    close_fd(err_fd_);
    if (pid_ > 0 && !exited_) {
        kill(pid_, SIGKILL);
        reap(true);
    }
}

bool Child::reap(bool block) {
    if (exited_) return true;
    int st = 0;
    pid_t r;
    do {
        r = waitpid(pid_, &st, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) {
        exited_ = true;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return true;
    }
    return false;
}

bool Child::pump_once(int timeout_ms, bool want_stdin_writable) {
    pollfd fds[3];
    int n = 0;
    int out_i = -1, err_i = -1, in_i = -1;
    if (out_fd_ >= 0) { out_i = n; fds[n++] = {out_fd_, POLLIN, 0}; }
    if (err_fd_ >= 0) { err_i = n; fds[n++] = {err_fd_, POLLIN, 0}; }
    if (want_stdin_writable && in_ >= 0) { in_i = n; fds[n++] = {in_, POLLOUT, 0}; }
    if (n == 0) return false;
    int r = poll(fds, static_cast<nfds_t>(n), timeout_ms);
    if (r <= 0) return false;
    char buf[65536];
    auto drain = [&](int idx, int &fd, std::string &into) {
        if (idx < 0 || !(fds[idx].revents & (POLLIN | POLLHUP | POLLERR))) return;
        ssize_t got = ::read(fd, buf, sizeof buf);
        if (got > 0) into.append(buf, static_cast<size_t>(got));
        else if (got == 0 || (errno != EINTR && errno != EAGAIN)) close_fd(fd);
    };
    drain(out_i, out_fd_, out_);
    drain(err_i, err_fd_, err_);
    (void)in_i;
    return true;
}

bool Child::write(std::string_view bytes, std::chrono::milliseconds deadline) {
    auto until = clock::now() + scaled(deadline);
    while (!bytes.empty()) {
        if (in_ < 0) return false;
        ssize_t w = ::write(in_, bytes.data(), bytes.size());
        if (w > 0) {
            bytes.remove_prefix(static_cast<size_t>(w));
            continue;
        }
        if (w < 0 && errno == EPIPE) return false;
        if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (remaining_ms(until) == 0) return false;
        pump_once(std::min(remaining_ms(until), 50), true);
    }
    return true;
}

void Child::close_stdin() { close_fd(in_); }
void Child::close_stdout() { close_fd(out_fd_); }

bool Child::wait_for_stdout(std::string_view needle, std::chrono::milliseconds deadline,
                            size_t from) {
    auto until = clock::now() + scaled(deadline);
    for (;;) {
        if (out_.size() >= from && out_.find(needle, from) != std::string::npos) return true;
        if (out_fd_ < 0 || remaining_ms(until) == 0) return false;
        pump_once(remaining_ms(until), false);
    }
}

bool Child::wait_for_stderr(std::string_view needle, std::chrono::milliseconds deadline) {
    auto until = clock::now() + scaled(deadline);
    for (;;) {
        if (err_.find(needle) != std::string::npos) return true;
        if (err_fd_ < 0 || remaining_ms(until) == 0) return false;
        pump_once(remaining_ms(until), false);
    }
}

void Child::pump_for(std::chrono::milliseconds d) {
    auto until = clock::now() + d;
    while (remaining_ms(until) > 0 && (out_fd_ >= 0 || err_fd_ >= 0))
        if (!pump_once(remaining_ms(until), false) && remaining_ms(until) > 0 &&
            out_fd_ < 0 && err_fd_ < 0)
            break;
}

int Child::wait_exit(std::chrono::milliseconds deadline, bool close_input) {
    if (close_input) close_stdin();
    auto until = clock::now() + scaled(deadline);
    while (out_fd_ >= 0 || err_fd_ >= 0) {
        if (remaining_ms(until) == 0) break;
        pump_once(std::min(remaining_ms(until), 100), false);
        if (out_fd_ < 0 && err_fd_ < 0) break;
        // A child whose stdout we closed deliberately still ends.
        if (reap(false) && out_fd_ < 0) break;
    }
    while (!reap(false)) {
        if (remaining_ms(until) == 0) {
            kill(pid_, SIGKILL);
            reap(true);
            return -1;
        }
        usleep(2000);
    }
    // Collect what is left in the pipes after the exit.
    while ((out_fd_ >= 0 || err_fd_ >= 0) && pump_once(0, false)) {
    }
    return status_;
}

}  // namespace qtest
