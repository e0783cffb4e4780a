// SPDX-License-Identifier: BSD-2-Clause
/*
 * The engine library loaded at run time. This file owns the library's
 * handle and the address of each engine call, set once by
 * engine_library_load and kept for the life of the process, and it
 * defines every call of eci_corvane.h as a forwarder through those
 * addresses (but eciGetAvailableLanguages, which not every build of the
 * library has: its address is looked up on request), so that the
 * adapter calls the engine by its own names whether it is linked with a stand-in engine (the unit tests, the fuzz
 * targets) or built into the shipped module with this file.
 *
 * The forwarders bear the library's own names, and must never be taken
 * for them by the library itself: they are hidden (this file is compiled
 * with hidden visibility), so the executable exports none of them and
 * the library's calls among its own functions stay its own.
 *
 * The library is never closed: an engine may leave threads or exit
 * handlers behind, and the module releases its engine instance, not the
 * code, before it exits.
 */
#include "engine_library.h"

#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <unistd.h>

#include <cassert>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "eci_corvane.h"

namespace {

constexpr char library_name[] = "libibmeci50.so";
/* Room for a message naming a path of PATH_MAX bytes with all the text
 * around it; a longer one is cut, never lost whole. */
constexpr size_t message_bytes = 2 * PATH_MAX;

enum call_id : size_t {
    call_new,
    call_delete,
    call_register_callback,
    call_set_output_buffer,
    call_set_param,
    call_get_param,
    call_set_voice_param,
    call_copy_voice,
    call_new_dict,
    call_load_dict,
    call_set_dict,
    call_delete_dict,
    call_add_text,
    call_insert_index,
    call_synthesize,
    call_synchronize,
    call_stop,
    call_count
};

struct engine_call {
    call_id id;
    const char *name;
    bool required; /* without it the library is refused; an optional call
                      may be missing, its forwarder is then never called */
};

/* Every engine call the module makes, in call_id order. */
constexpr engine_call engine_calls[] = {
    {call_new, "eciNew", true},
    {call_delete, "eciDelete", true},
    {call_register_callback, "eciRegisterCallback", true},
    {call_set_output_buffer, "eciSetOutputBuffer", true},
    {call_set_param, "eciSetParam", true},
    {call_get_param, "eciGetParam", true},
    {call_set_voice_param, "eciSetVoiceParam", true},
    {call_copy_voice, "eciCopyVoice", true},
    {call_new_dict, "eciNewDict", true},
    {call_load_dict, "eciLoadDict", true},
    {call_set_dict, "eciSetDict", true},
    {call_delete_dict, "eciDeleteDict", true},
    {call_add_text, "eciAddText", true},
    {call_insert_index, "eciInsertIndex", true},
    {call_synthesize, "eciSynthesize", true},
    {call_synchronize, "eciSynchronize", true},
    {call_stop, "eciStop", true},
};
static_assert(std::size(engine_calls) == call_count, "every call_id has its row");

constexpr bool rows_in_id_order() {
    for (size_t i = 0; i < std::size(engine_calls); ++i)
        if (engine_calls[i].id != i) return false;
    return true;
}
static_assert(rows_in_id_order(), "engine_calls lists the calls in call_id order");

/* The loaded library; all null until engine_library_load succeeds. */
struct loaded_library {
    void *handle;              /* dlopen's handle */
    void *address[call_count]; /* each call's address; null for a missing
                                  optional call */
};
loaded_library library = {};

__attribute__((format(printf, 3, 4))) void append(char *text, size_t size, const char *format,
                                                  ...) {
    size_t used = strlen(text);
    va_list args;
    va_start(args, format);
    vsnprintf(text + used, size - used, format, args);
    va_end(args);
}

/*
 * Sets `path` to lib/libibmeci50.so beside the folder of the running
 * binary, as $ORIGIN/../lib would name it: the kernel's path of the
 * executable has no symbolic link and no "..", so dropping its last two
 * parts is the parent folder. Returns false when the executable's path
 * cannot be read or the result does not fit.
 */
bool private_library_path(char *path, size_t size) {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof exe) return false;
    exe[n] = '\0';
    for (int part = 0; part < 2; ++part) {
        char *slash = strrchr(exe, '/');
        if (slash != nullptr) *slash = '\0';
    }
    int length = snprintf(path, size, "%s/lib/%s", exe, library_name);
    return length > 0 && static_cast<size_t>(length) < size;
}

/* True unless the file certainly does not exist: one that is there but
 * cannot be read is tried anyway, so that the error names it. */
bool file_present(const char *path) {
    if (access(path, F_OK) == 0) return true;
    return errno != ENOENT && errno != ENOTDIR;
}

/* Puts dlerror's text into `text`, saying plainly what a library of the
 * other word size means. The module sets no locale, so the loader's
 * messages are its untranslated ones. */
void describe_load_error(char *text, size_t size) {
    const char *error = dlerror();
    append(text, size, "%s", error != nullptr ? error : "cannot be loaded");
    if (error == nullptr || strstr(error, "wrong ELF class") == nullptr) return;
    if (sizeof(void *) == 8)
        append(text, size, " (a 32-bit library; this module is 64-bit: the vendor's 32-bit "
                           "library needs the 32-bit build of quorlin)");
    else
        append(text, size, " (a 64-bit library; this module is 32-bit and needs a 32-bit "
                           "engine library)");
}

/*
 * Opens the engine library. The module's private lib/ comes first and,
 * when it holds the library, is the only place tried, so that a broken
 * library there is reported rather than passed over. Only without one
 * there does the system's search for the name run (LD_LIBRARY_PATH, the
 * folders of ld.so.conf, then /lib and /usr/lib). The private folder is
 * found here and not through a run-time search path on the binary:
 * glibc applies such a path only to dlopen calls made from the object
 * that carries it, and a sanitizer's dlopen calls glibc's from its own
 * library. Returns the handle, or null with `text` saying why.
 */
void *open_library(char *text, size_t size) {
    char path[PATH_MAX];
    bool have_private = private_library_path(path, sizeof path);
    if (have_private && file_present(path)) {
        void *handle = dlopen(path, RTLD_NOW);
        if (handle == nullptr) describe_load_error(text, size);
        return handle;
    }
    void *handle = dlopen(library_name, RTLD_NOW);
    if (handle != nullptr) return handle;
    describe_load_error(text, size);
    if (have_private) {
        *strrchr(path, '/') = '\0';
        append(text, size, " (looked in %s and on the system library path)", path);
    }
    return nullptr;
}

/* The loaded library's path as the loader found it, for messages. */
const char *library_path(void *handle) {
    struct link_map *map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return library_name;
    return map->l_name;
}

/* Fills library.address from `handle`; false, with `text` naming every
 * required call the library lacks, when one is missing. */
bool resolve_calls(void *handle, char *text, size_t size) {
    bool complete = true;
    for (const engine_call &call : engine_calls) {
        // No engine call is at address 0, so null means the name is absent.
        library.address[call.id] = dlsym(handle, call.name);
        if (library.address[call.id] != nullptr || !call.required) continue;
        if (complete) append(text, size, "%s lacks ", library_path(handle));
        append(text, size, "%s%s", complete ? "" : ", ", call.name);
        complete = false;
    }
    return complete;
}

/* The address of `id` as the call's own type (F, from its declaration). */
template <typename F> F resolved(call_id id) {
    assert(library.address[id] != nullptr);
    return reinterpret_cast<F>(library.address[id]);
}

}  // namespace

int engine_library_load(char **message) {
    assert(library.handle == nullptr);
    char text[message_bytes] = "";
    void *handle = open_library(text, sizeof text);
    if (handle != nullptr && resolve_calls(handle, text, sizeof text)) {
        fprintf(stderr, "quorlin: engine library: %s\n", library_path(handle));
        library.handle = handle;
        return 0;
    }
    if (handle != nullptr) dlclose(handle);
    library = {};
    *message = strdup(text);
    return -1;
}

engine_languages_call engine_library_languages_call(void) {
    if (library.handle == nullptr) return nullptr;
    return reinterpret_cast<engine_languages_call>(
        dlsym(library.handle, "eciGetAvailableLanguages"));
}

ECIHand eciNew(void) { return resolved<decltype(&eciNew)>(call_new)(); }

ECIHand eciDelete(ECIHand hEngine) {
    return resolved<decltype(&eciDelete)>(call_delete)(hEngine);
}

void eciRegisterCallback(ECIHand hEngine, ECICallback callback, void *pData) {
    resolved<decltype(&eciRegisterCallback)>(call_register_callback)(hEngine, callback, pData);
}

ECIBoolean eciSetOutputBuffer(ECIHand hEngine, int iSize, short *psBuffer) {
    return resolved<decltype(&eciSetOutputBuffer)>(call_set_output_buffer)(hEngine, iSize,
                                                                          psBuffer);
}

int eciSetParam(ECIHand hEngine, ECIParam param, int iValue) {
    return resolved<decltype(&eciSetParam)>(call_set_param)(hEngine, param, iValue);
}

int eciGetParam(ECIHand hEngine, ECIParam param) {
    return resolved<decltype(&eciGetParam)>(call_get_param)(hEngine, param);
}

int eciSetVoiceParam(ECIHand hEngine, int iVoice, ECIVoiceParam param, int iValue) {
    return resolved<decltype(&eciSetVoiceParam)>(call_set_voice_param)(hEngine, iVoice, param,
                                                                      iValue);
}

ECIBoolean eciCopyVoice(ECIHand hEngine, int iVoiceFrom, int iVoiceTo) {
    return resolved<decltype(&eciCopyVoice)>(call_copy_voice)(hEngine, iVoiceFrom, iVoiceTo);
}

ECIDictHand eciNewDict(ECIHand hEngine) {
    return resolved<decltype(&eciNewDict)>(call_new_dict)(hEngine);
}

ECIDictError eciLoadDict(ECIHand hEngine, ECIDictHand hDict, ECIDictVolume volume,
                         const char *pFilename) {
    return resolved<decltype(&eciLoadDict)>(call_load_dict)(hEngine, hDict, volume, pFilename);
}

ECIDictError eciSetDict(ECIHand hEngine, ECIDictHand hDict) {
    return resolved<decltype(&eciSetDict)>(call_set_dict)(hEngine, hDict);
}

ECIDictHand eciDeleteDict(ECIHand hEngine, ECIDictHand hDict) {
    return resolved<decltype(&eciDeleteDict)>(call_delete_dict)(hEngine, hDict);
}

ECIBoolean eciAddText(ECIHand hEngine, const char *pText) {
    return resolved<decltype(&eciAddText)>(call_add_text)(hEngine, pText);
}

ECIBoolean eciInsertIndex(ECIHand hEngine, int iIndex) {
    return resolved<decltype(&eciInsertIndex)>(call_insert_index)(hEngine, iIndex);
}

ECIBoolean eciSynthesize(ECIHand hEngine) {
    return resolved<decltype(&eciSynthesize)>(call_synthesize)(hEngine);
}

ECIBoolean eciSynchronize(ECIHand hEngine) {
    return resolved<decltype(&eciSynchronize)>(call_synchronize)(hEngine);
}

ECIBoolean eciStop(ECIHand hEngine) { return resolved<decltype(&eciStop)>(call_stop)(hEngine); }
