// SPDX-License-Identifier: BSD-2-Clause
/*
 * ICU, loaded when a text first needs it. The faithful preparation
 * composes, transliterates and names characters through ICU's C API, but
 * most messages are plain ASCII and never do: linking ICU would map and
 * relocate its libraries at every start of the module (about 4 ms, a
 * quarter of the time to the first reply), so the module opens them with
 * dlopen at the first text that needs them instead, and keeps them open
 * for the life of the process.
 *
 * The calls are ICU's own, reached through icu_api(): the headers rename
 * every ICU function after its version (u_charName is u_charName_72), and
 * the table's fields carry the same names, so `icu->u_charName(...)` reads
 * as the call it is. Private to the text preparation; no exceptions.
 */
#ifndef QUORLIN_ICU_H
#define QUORLIN_ICU_H

#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>
#include <unicode/unorm2.h>
#include <unicode/uscript.h>
#include <unicode/ustring.h>
#include <unicode/utrans.h>

/* The ICU calls the preparation makes, with the library each is in. A
 * call added here is loaded with the others. */
#define QUORLIN_ICU_CALLS(X)                                                                       \
    X(uc, u_charName)                                                                              \
    X(uc, u_charType)                                                                              \
    X(uc, u_getIntPropertyValue)                                                                   \
    X(uc, u_hasBinaryProperty)                                                                     \
    X(uc, u_strFromUTF8)                                                                           \
    X(uc, u_strToUTF8)                                                                             \
    X(uc, uscript_getScript)                                                                       \
    X(uc, unorm2_getNFCInstance)                                                                   \
    X(uc, unorm2_normalize)                                                                        \
    X(uc, unorm2_quickCheck)                                                                       \
    X(uc, unorm2_hasBoundaryBefore)                                                                \
    X(uc, unorm2_getNFDInstance)                                                                   \
    X(uc, unorm2_getRawDecomposition)                                                              \
    X(uc, ucnv_open)                                                                               \
    X(uc, ucnv_close)                                                                              \
    X(uc, ucnv_reset)                                                                              \
    X(uc, ucnv_setFromUCallBack)                                                                   \
    X(uc, ucnv_fromUChars)                                                                         \
    X(uc, UCNV_FROM_U_CALLBACK_STOP)                                                               \
    X(i18n, utrans_openU)                                                                          \
    X(i18n, utrans_transUChars)                                                                    \
    X(i18n, utrans_close)

struct icu_calls {
#define QUORLIN_ICU_FIELD(lib, name) decltype(&::name) name;
    QUORLIN_ICU_CALLS(QUORLIN_ICU_FIELD)
#undef QUORLIN_ICU_FIELD
};

/* The ICU calls, loading the libraries at the first call that finds them
 * not loaded; null while they cannot be loaded or lack a call (the first
 * failure is logged). The text is then prepared without what ICU does:
 * it is not composed, other alphabets are not transliterated and unnamed
 * symbols are not named. */
const icu_calls *icu_api();

#endif
