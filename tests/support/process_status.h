// SPDX-License-Identifier: BSD-2-Clause
// A figure of a running process as the kernel reports it in
// /proc/PID/status, for tests that watch a module's memory (VmRSS, its
// resident memory now; VmHWM, the peak of it). It only reads: what the
// figures must be is each test's business.
#pragma once

#include <sys/types.h>

#include <string_view>

namespace qtest {

// The value in kB of the line `field` ("VmRSS", "VmHWM") of process
// `pid`'s status, or -1 when the process or the line is not there.
long process_status_kb(pid_t pid, std::string_view field);

}  // namespace qtest
