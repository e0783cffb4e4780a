// SPDX-License-Identifier: BSD-2-Clause
// The threshold of the failing realloc stand-in (fail_realloc.cpp).
#pragma once

#include <cstddef>

namespace qrec {
// realloc calls asking for this many bytes or more fail with ENOMEM.
extern size_t realloc_fail_from;
}  // namespace qrec
