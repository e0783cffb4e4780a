// SPDX-License-Identifier: BSD-2-Clause
// strdup through the fault-injection countdown, for programs linked with
// -Wl,--wrap=strdup. It has a file of its own so that the archive adds it,
// and its need of __real_strdup, only to the programs that ask for it.
#include <stddef.h>

#include "fault_injection.h"

namespace fault = qtest::fault;

extern "C" char *__real_strdup(const char *s);

extern "C" char *__wrap_strdup(const char *s) {
    if (fault::fails_now(fault::call::strdup)) return nullptr;
    return static_cast<char *>(fault::passed(fault::call::strdup, __real_strdup(s)));
}
