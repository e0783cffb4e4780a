// SPDX-License-Identifier: BSD-2-Clause
// A realloc stand-in for programs linked with -Wl,--wrap=realloc: the
// runtime's growth calls fail once they ask for qrec::realloc_fail_from
// bytes or more, so tests can prove that a failed growth keeps the store
// intact and is answered, not fatal. The threshold starts from the
// environment variable QREC_REALLOC_FAIL_FROM; tests in-process set it.
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>

#include "fail_realloc.h"

extern "C" void *__real_realloc(void *ptr, size_t size);

namespace qrec {
size_t realloc_fail_from = 0;  // 0: not read from the environment yet
}

extern "C" void *__wrap_realloc(void *ptr, size_t size) {
    if (qrec::realloc_fail_from == 0) {
        const char *v = getenv("QREC_REALLOC_FAIL_FROM");
        qrec::realloc_fail_from = v != nullptr ? static_cast<size_t>(strtoull(v, nullptr, 10)) : SIZE_MAX;
    }
    if (size >= qrec::realloc_fail_from) {
        errno = ENOMEM;
        return nullptr;
    }
    return __real_realloc(ptr, size);
}
