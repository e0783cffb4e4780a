// SPDX-License-Identifier: BSD-2-Clause
/*
 * The engine library (libibmeci50.so) loaded when the server asks for an
 * engine, so that a library that is missing, of the other word size or
 * without one of its calls is reported in the INIT reply instead of
 * ending the process before any reply. engine_library.cpp also defines
 * every call of eci_corvane.h, forwarding to the loaded library's, but
 * eciGetAvailableLanguages, whose address it hands out on request.
 */
#ifndef ENGINE_LIBRARY_H
#define ENGINE_LIBRARY_H

#include "eci_corvane.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Loads the engine library, from lib/ beside the module's bin/ when it
 * holds one and otherwise through the system's library search, and
 * resolves every engine call the module makes. Returns 0 once the calls
 * can be made. Returns -1 with *message set to one line saying what went
 * wrong (from malloc, the caller frees it; null when even that failed),
 * and nothing loaded. Called once, before any engine call.
 *
 * Weak: a program linked with an engine directly, as the unit tests and
 * fuzz targets are, has no loader, and the function's address is null.
 */
__attribute__((weak)) int engine_library_load(char **message);

/* The loaded library's eciGetAvailableLanguages. */
typedef int (*engine_languages_call)(ECILanguageDialect *languages, int *count);

/*
 * Looks eciGetAvailableLanguages up in the loaded library, only when this
 * is called: not every build of the library exports it, and a module
 * that does not list languages makes no look-up beyond the calls it
 * needs. Null when the library lacks it or none is loaded. Weak, as
 * engine_library_load is.
 */
__attribute__((weak)) engine_languages_call engine_library_languages_call(void);

#ifdef __cplusplus
}
#endif

#endif
