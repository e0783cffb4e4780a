// SPDX-License-Identifier: BSD-2-Clause
// The tests' one fault-injection hook: a countdown for each of malloc,
// realloc and strdup that makes the n-th call from the moment it is
// armed fail with ENOMEM, or that call and every later one. It owns the
// countdowns and the counts of what went through; the wrappers that
// consult it are one file per call (fault_malloc.cpp and its siblings),
// so that a program gets only those its link options ask for.
//
// A test program routes its own objects' calls through it at link time:
// quorlin_fault_injection(<target> <call>...) in this folder's
// CMakeLists.txt adds -Wl,--wrap=<call> and this library. free is always
// routed too, so that a test can count what was given back. Calls made
// inside shared libraries (libc's own, an engine's) are not seen.
//
// A program that a test starts as a child reads its countdowns from the
// environment at its first routed call of each kind, unless a test in
// the same process armed that one already: QTEST_FAIL_MALLOC,
// QTEST_FAIL_REALLOC and QTEST_FAIL_STRDUP, each "N" (fail the N-th
// call) or "N+" (fail the N-th call and every one after it).
//
// The counts are plain integers: only one thread at a time may make
// routed calls while a countdown is armed, as in the module itself.
#pragma once

#include <stddef.h>

namespace qtest::fault {

enum class call {
    malloc,
    realloc,
    strdup
};

// Counts calls to `c` afresh from now and makes the `n`-th of them fail
// (1: the next one), the calls after it succeeding again. n = 0 only
// counts.
void fail_nth(call c, unsigned long n);

// The same, but the `n`-th call and every later one fail.
void fail_from(call c, unsigned long n);

// Stops failing and counting calls to `c`; its counts stay readable.
void disarm(call c);

// Disarms every countdown and zeroes every count. The environment is not
// read again afterwards.
void reset();

struct counts {
    size_t succeeded;  // calls that returned memory while armed
    size_t failed;     // calls that the countdown failed
};
counts counted(call c);

// Non-null pointers handed to free while any countdown was armed.
size_t frees();

// For the wrappers. fails_now counts a call to `c` and says whether it
// must fail (errno is then ENOMEM); passed records the result of a call
// that went through to the allocator and returns it.
bool fails_now(call c);
void *passed(call c, void *memory);

}  // namespace qtest::fault
