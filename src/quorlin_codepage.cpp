// SPDX-License-Identifier: BSD-2-Clause
/*
 * The double-byte code pages of quorlin_codepage.h: one ICU converter per
 * page, opened at the first text that needs it and kept for the process,
 * set to stop at a character the page lacks rather than substitute one;
 * and the last stage that rewrites the faithful pass's output into the
 * page, one unit (a byte, or an escaped character) at a time.
 */
#include "quorlin_codepage.h"

#include <stdlib.h>
#include <string.h>

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>
#include <unicode/utf16.h>

#include "quorlin_charset.h"
#include "quorlin_icu.h"

namespace {

using text_marks::mark_store;

constexpr size_t page_count = 5;

// ICU's names of the pages, by code_page: the Windows tables themselves.
constexpr const char *converter_names[page_count] = {
    "windows-1252", "windows-936-2000", "windows-950-2000", "ibm-943_P15A-2003",
    "windows-949-2000",
};

// The converters, each opened once; a page whose converter could not be
// opened is tried again by its next text.
struct converter_state {
    UConverter *open[page_count];  // by code_page, null until opened
};
converter_state converters = {};

UConverter *converter(const icu_calls *icu, code_page page) {
    UConverter *&c = converters.open[static_cast<size_t>(page)];
    if (c != nullptr) return c;
    UErrorCode err = U_ZERO_ERROR;
    UConverter *made = icu->ucnv_open(converter_names[static_cast<size_t>(page)], &err);
    if (made == nullptr || U_FAILURE(err)) {
        if (made != nullptr) icu->ucnv_close(made);
        return nullptr;
    }
    icu->ucnv_setFromUCallBack(made, icu->UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                               &err);
    if (U_FAILURE(err)) {
        icu->ucnv_close(made);
        return nullptr;
    }
    c = made;
    return c;
}

// The Unicode code points of Windows-1252's bytes 80 to 9F; the bytes
// from A0 up are their own code points. 0 where the page defines none.
constexpr uint16_t windows_1252_high[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

uint32_t windows_1252_code_point(unsigned char c) {
    return c >= 0xA0 ? c : windows_1252_high[c - 0x80];
}

// The ASCII letter a Latin letter is built on (é: e), or 0.
char base_letter(const icu_calls *icu, uint32_t cp) {
    UErrorCode err = U_ZERO_ERROR;
    const UNormalizer2 *nfd = icu->unorm2_getNFDInstance(&err);
    UChar d[8];
    int32_t n = U_SUCCESS(err) ? icu->unorm2_getRawDecomposition(nfd, static_cast<UChar32>(cp), d,
                                                                  8, &err)
                               : 0;
    if (n <= 0 || U_FAILURE(err) || d[0] >= 0x80) return 0;
    return static_cast<char>(d[0]);
}

// Writes one Windows-1252 letter or sign `c` of the pass's output: its
// bytes in the page, its base letter, or a blank.
size_t put_windows_1252(const icu_calls *icu, code_page page, unsigned char c, char *out) {
    uint32_t cp = windows_1252_code_point(c);
    size_t n = cp != 0 ? page_bytes(page, cp, out) : 0;
    if (n > 0) return n;
    char base = cp != 0 && icu != nullptr ? base_letter(icu, cp) : 0;
    out[0] = base != 0 ? base : ' ';
    return 1;
}

}  // namespace

size_t page_bytes(code_page page, uint32_t cp, char bytes[4]) {
    const icu_calls *icu = icu_api();
    if (icu == nullptr || cp > 0x10FFFF) return 0;
    UConverter *c = converter(icu, page);
    if (c == nullptr) return 0;
    UChar units[2];
    int32_t len = 0;
    U16_APPEND_UNSAFE(units, len, static_cast<UChar32>(cp));
    icu->ucnv_reset(c);
    UErrorCode err = U_ZERO_ERROR;
    int32_t n = icu->ucnv_fromUChars(c, bytes, 4, units, len, &err);
    if (U_FAILURE(err) || err == U_STRING_NOT_TERMINATED_WARNING || n <= 0 || n > 4) return 0;
    for (int32_t i = 0; i < n; ++i) {
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x20 || b == 0x7F || b == '`') return 0;
    }
    return static_cast<size_t>(n);
}

char *to_code_page(char *text, code_page page, mark_store *marks) {
    const size_t len = strlen(text);
    // Each unit writes at most twice its own bytes: a letter of one byte
    // becomes two, an escaped character of two to five bytes two.
    if (len > (SIZE_MAX - 1) / 2) {
        free(text);
        return nullptr;
    }
    char *out = static_cast<char *>(malloc(2 * len + 1));
    if (out == nullptr) {
        free(text);
        return nullptr;
    }
    const icu_calls *icu = icu_api();
    const unsigned char *src = reinterpret_cast<const unsigned char *>(text);
    size_t at = 0;
    for (size_t i = 0; i < len;) {
        text_marks::note_input(marks, i, at);
        const unsigned char c = src[i];
        if (c < 0x80) {
            out[at++] = static_cast<char>(c);
            ++i;
        } else if (c == page_escape) {
            text_charset::decoded d = text_charset::decode(src + i + 1);
            size_t n = d.cut ? 0 : page_bytes(page, d.cp, out + at);
            if (n == 0) out[at] = ' ';
            at += n == 0 ? 1 : n;
            i += 1 + (d.cut ? 1 : d.bytes);
        } else {
            at += put_windows_1252(icu, page, c, out + at);
            ++i;
        }
    }
    text_marks::end_stage(marks, at);
    out[at] = '\0';
    free(text);
    return out;
}
