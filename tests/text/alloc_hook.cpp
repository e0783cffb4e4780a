// SPDX-License-Identifier: BSD-2-Clause
// The malloc and free wrappers behind alloc_hook::Watch.
#include "alloc_hook.h"

extern "C" void *__real_malloc(size_t size);
extern "C" void __real_free(void *p);

namespace {

struct {
    bool armed;          // counting, and counting down
    unsigned countdown;  // the allocation that fails when this reaches 0
    size_t allocs;       // successful allocations while armed
    size_t frees;        // non-null frees while armed
} hook;

}  // namespace

extern "C" void *__wrap_malloc(size_t size)
{
    if (!hook.armed)
        return __real_malloc(size);
    if (hook.countdown > 0 && --hook.countdown == 0)
        return nullptr;
    void *p = __real_malloc(size);
    if (p != nullptr)
        ++hook.allocs;
    return p;
}

extern "C" void __wrap_free(void *p)
{
    if (hook.armed && p != nullptr)
        ++hook.frees;
    __real_free(p);
}

namespace alloc_hook {

Watch::Watch(unsigned fail_at)
{
    hook = {true, fail_at, 0, 0};
}

Watch::~Watch()
{
    hook.armed = false;
}

Counts Watch::stop()
{
    hook.armed = false;
    return {hook.allocs, hook.frees};
}

}  // namespace alloc_hook
