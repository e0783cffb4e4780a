// SPDX-License-Identifier: BSD-2-Clause
// malloc through the fault-injection countdown, for programs linked with
// -Wl,--wrap=malloc. It has a file of its own so that the archive adds it,
// and its need of __real_malloc, only to the programs that ask for it.
#include <stddef.h>

#include "fault_injection.h"

namespace fault = qtest::fault;

extern "C" void *__real_malloc(size_t size);

extern "C" void *__wrap_malloc(size_t size) {
    if (fault::fails_now(fault::call::malloc)) return nullptr;
    return fault::passed(fault::call::malloc, __real_malloc(size));
}
