// SPDX-License-Identifier: BSD-2-Clause
/*
 * The lazily loaded ICU of quorlin_icu.h: one table of calls, filled
 * by the first caller that needs it, from the two libraries of the ICU
 * version the module was built with. The table and the library handles live for
 * the process; nothing is closed, as ICU's own caches hold pointers into
 * its data.
 */
#include "quorlin_icu.h"

#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>

#include <atomic>

#include <unicode/uvernum.h>

namespace {

#define QUORLIN_ICU_STRING(x) #x
#define QUORLIN_ICU_NAME(x) QUORLIN_ICU_STRING(x)

// The sonames of the ICU the headers are from: libicuuc.so.72.
constexpr const char *uc_library = "libicuuc.so." QUORLIN_ICU_NAME(U_ICU_VERSION_MAJOR_NUM);
constexpr const char *i18n_library = "libicui18n.so." QUORLIN_ICU_NAME(U_ICU_VERSION_MAJOR_NUM);

// The loaded table. A loading that fails (no library, or no memory for
// dlopen) is tried again by the next text that needs ICU, so that a
// moment without memory does not cost the process ICU for good; only the
// first failure is logged.
struct icu_state {
    pthread_mutex_t lock;        // held while loading
    std::atomic<bool> loaded;    // `calls` is complete
    bool logged;                 // a failure was logged
    icu_calls calls;             // the table, complete when `loaded`
};
icu_state state = {PTHREAD_MUTEX_INITIALIZER, false, false, {}};

void *open_library(const char *name) {
    void *h = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr && !state.logged) {
        fprintf(stderr, "quorlin: cannot load ICU (%s): %s\n", name, dlerror());
        state.logged = true;
    }
    return h;
}

bool load() {
    void *uc = open_library(uc_library);
    void *i18n = uc != nullptr ? open_library(i18n_library) : nullptr;
    if (i18n == nullptr) return false;
    bool complete = true;
#define QUORLIN_ICU_LOAD(lib, name)                                                               \
    state.calls.name = reinterpret_cast<decltype(&::name)>(dlsym(lib, QUORLIN_ICU_NAME(name)));   \
    if (state.calls.name == nullptr) {                                                            \
        if (!state.logged) fprintf(stderr, "quorlin: ICU lacks %s\n", QUORLIN_ICU_NAME(name));    \
        state.logged = true;                                                                      \
        complete = false;                                                                         \
    }
    QUORLIN_ICU_CALLS(QUORLIN_ICU_LOAD)
#undef QUORLIN_ICU_LOAD
    return complete;
}

}  // namespace

const icu_calls *icu_api() {
    if (state.loaded.load(std::memory_order_acquire)) return &state.calls;
    pthread_mutex_lock(&state.lock);
    if (!state.loaded.load(std::memory_order_relaxed) && load())
        state.loaded.store(true, std::memory_order_release);
    pthread_mutex_unlock(&state.lock);
    return state.loaded.load(std::memory_order_acquire) ? &state.calls : nullptr;
}
