// SPDX-License-Identifier: BSD-2-Clause
// Counts, and on request fails, the allocations of the code under test.
// The test binary is linked with --wrap=malloc and --wrap=free, so every
// malloc and free call made from its own objects (the text preparation
// among them) passes through here; nothing is counted while unarmed.
#pragma once

#include <cstddef>

namespace alloc_hook {

struct Counts {
    size_t allocs;  // allocations that succeeded while armed
    size_t frees;   // non-null frees while armed
};

// While alive, counts allocations and frees, and makes the `fail_at`-th
// allocation from now return null (0: none fails).
class Watch {
public:
    explicit Watch(unsigned fail_at);
    ~Watch();
    Watch(const Watch &) = delete;
    Watch &operator=(const Watch &) = delete;
    // Stops counting and returns what was counted.
    Counts stop();
};

}  // namespace alloc_hook
