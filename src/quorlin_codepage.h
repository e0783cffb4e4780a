// SPDX-License-Identifier: BSD-2-Clause
/*
 * The engine's code pages. The engine reads text in the "ANSI" code page
 * of its dialect: Windows-1252 for the Western dialects, which the
 * faithful preparation writes directly, and for the others a double-byte
 * page (GBK, Big5, Shift-JIS, the Korean CP949), to which its output is
 * converted in a last stage. The conversions are ICU's (quorlin_icu.h),
 * made when a text first needs one.
 *
 * Between the faithful pass and that stage, a character that only the
 * double-byte page holds (an ideograph, kana, hangul) travels as the
 * byte `page_escape` followed by its UTF-8: Windows-1252 leaves 81 hex
 * undefined, so the pass never writes it otherwise. Private to the text
 * preparation; no exceptions.
 */
#ifndef QUORLIN_CODEPAGE_H
#define QUORLIN_CODEPAGE_H

#include <stddef.h>
#include <stdint.h>

#include "quorlin_marks.h"

enum class code_page : unsigned char {
    windows_1252,  // the Western dialects
    gbk,           // zh-CN (936)
    big5,          // zh-TW (950)
    shift_jis,     // ja-JP (932)
    cp949,         // ko-KR: by the same rule as the others, not stated for the engine
};

constexpr unsigned char page_escape = 0x81;

constexpr bool is_double_byte(code_page page) { return page != code_page::windows_1252; }

/* The bytes of the code point `cp` in the double-byte `page`, into
 * `bytes`: their number, or 0 when the page does not hold it, or holds it
 * in bytes the engine could misread (a control byte, or a backquote,
 * which may begin an annotation, as a trail byte), or ICU cannot be had. */
size_t page_bytes(code_page page, uint32_t cp, char bytes[4]);

/* The last stage for a double-byte `page`: `text`, the faithful pass's
 * output (Windows-1252 with escaped characters), rewritten into the
 * page, with the marks moved. A Windows-1252 letter the page lacks
 * becomes its base letter, or a blank. Frees `text`; null when memory
 * runs out. */
char *to_code_page(char *text, code_page page, text_marks::mark_store *marks);

#endif
