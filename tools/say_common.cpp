// SPDX-License-Identifier: BSD-2-Clause
#include "say_common.h"

#include <errno.h>
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
        fail("writing " + what + ": " + strerror(w < 0 ? errno : EIO));
    }
}

}  // namespace say
