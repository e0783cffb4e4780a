// SPDX-License-Identifier: BSD-2-Clause
// realloc through the fault-injection countdown, for programs linked with
// -Wl,--wrap=realloc. It has a file of its own so that the archive adds it,
// and its need of __real_realloc, only to the programs that ask for it.
#include <stddef.h>

#include "fault_injection.h"

namespace fault = qtest::fault;

extern "C" void *__real_realloc(void *p, size_t size);

extern "C" void *__wrap_realloc(void *p, size_t size) {
    if (fault::fails_now(fault::call::realloc)) return nullptr;
    return fault::passed(fault::call::realloc, __real_realloc(p, size));
}
