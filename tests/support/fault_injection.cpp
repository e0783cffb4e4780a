// SPDX-License-Identifier: BSD-2-Clause
// The countdowns behind fault_injection.h, their reading from the
// environment, and the free wrapper that counts what is given back. The
// wrappers of the three allocating calls live in files of their own.
#include "fault_injection.h"

#include <errno.h>
#include <stdlib.h>

extern "C" void __real_free(void *p);

namespace {

constexpr size_t call_kinds = 3;

using qtest::fault::counts;

struct countdown {
    bool started;        // armed, or the environment read: it is not read again
    bool armed;          // calls are counted, and failed as below
    unsigned long left;  // calls until the failing one, that one included; 0: none fails
    bool repeat;         // once the countdown has run out, every call fails
    counts seen;         // since the countdown was armed
};

struct {
    countdown of[call_kinds];  // indexed by qtest::fault::call
    size_t frees;              // non-null frees while any countdown was armed
} hook;

countdown &countdown_of(qtest::fault::call c) { return hook.of[static_cast<size_t>(c)]; }

void arm(qtest::fault::call c, unsigned long n, bool repeat) {
    countdown_of(c) = {true, true, n, repeat, {0, 0}};
    hook.frees = 0;
}

constexpr const char *environment_names[call_kinds] = {"QTEST_FAIL_MALLOC", "QTEST_FAIL_REALLOC",
                                                       "QTEST_FAIL_STRDUP"};

// "N" or "N+" from the environment arms the countdown; anything else,
// or nothing, leaves it disarmed. getenv and strtoul allocate nothing,
// so this may run inside the first routed malloc.
void start_from_environment(qtest::fault::call c) {
    countdown_of(c).started = true;
    const char *value = getenv(environment_names[static_cast<size_t>(c)]);
    if (value == nullptr) return;
    char *end = nullptr;
    unsigned long n = strtoul(value, &end, 10);
    if (end == value || n == 0 || (*end != '\0' && !(end[0] == '+' && end[1] == '\0'))) return;
    arm(c, n, *end == '+');
}

bool any_armed() {
    for (const countdown &d : hook.of)
        if (d.armed) return true;
    return false;
}

}  // namespace

namespace qtest::fault {

void fail_nth(call c, unsigned long n) { arm(c, n, false); }

void fail_from(call c, unsigned long n) { arm(c, n, true); }

void disarm(call c) { countdown_of(c).armed = false; }

void reset() {
    for (countdown &d : hook.of) d = {true, false, 0, false, {0, 0}};
    hook.frees = 0;
}

counts counted(call c) { return countdown_of(c).seen; }

size_t frees() { return hook.frees; }

bool fails_now(call c) {
    countdown &d = countdown_of(c);
    if (!d.started) start_from_environment(c);
    if (!d.armed || d.left == 0 || --d.left != 0) return false;
    if (d.repeat) d.left = 1;
    ++d.seen.failed;
    errno = ENOMEM;
    return true;
}

void *passed(call c, void *memory) {
    countdown &d = countdown_of(c);
    if (d.armed && memory != nullptr) ++d.seen.succeeded;
    return memory;
}

}  // namespace qtest::fault

extern "C" void __wrap_free(void *p) {
    if (p != nullptr && any_armed()) ++hook.frees;
    __real_free(p);
}
