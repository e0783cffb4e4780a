// SPDX-License-Identifier: BSD-2-Clause
/*
 * The Unicode stage of the faithful preparation: words the code page
 * cannot hold as written are composed, transliterated and brought to
 * the code page's letters by ICU, before stage two classifies them.
 *
 * A word here is a letter followed by letters and combining marks, of
 * any script; everything else (digits, blanks, punctuation, symbols,
 * emoji, malformed bytes) is not looked at and passes unchanged, and so
 * does every word of ASCII and Windows-1252 letters alone, without an
 * ICU object. What a word needs is first told from its characters'
 * properties. A word whose only want is Latin letters the code page
 * lacks (ł, ő, ş, ﬁ) takes each one's nearest letters from a memo of
 * Latin-ASCII's results. Any other word that may change is converted to
 * UTF-16 and given, in turn, to the NFC normaliser when ICU's quick
 * check says it is not composed, to the Any-Latin transliterator for
 * each run of Cyrillic, Greek, Armenian, Georgian, Hebrew or Arabic
 * letters (but a lone Greek letter, which math and units use as a
 * symbol and stage two reads by name), and to Latin-ASCII, filtered to
 * the letters the code page lacks. Recent words are remembered with
 * what they came to, whatever it was, and not looked at again.
 * Ideographs and syllabaries are left to stage two.
 *
 * The file's one state is ICU's objects and the two memos, made at the
 * first word that needs each and kept for the process's life: they are
 * reachable until exit, and the text is prepared by one thread only.
 */
#include "quorlin_unicode.h"

#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/uscript.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utrans.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <utility>

#include "quorlin_charset.h"
#include "quorlin_icu.h"

namespace text_unicode {

namespace {

using text_marks::mark_store;
using text_marks::note_input;

// One letter the code page lacks, and its nearest letters.
struct nearest_letter {
    UChar32 cp;       // 0: an empty slot
    unsigned char n;  // bytes of `text`
    char text[7];     // UTF-8: ASCII or the code page's letters
};

// A short word the stage has looked at, and what came out: itself, or
// its rewritten letters.
struct recent_word {
    unsigned char in_len;   // 0: an empty slot
    unsigned char out_len;  // bytes of `out`
    bool changed;           // false: the word stays as it is, `out` unused
    char in[30];
    char out[32];
};

// ICU's objects, each made at the first word that needs it. A `failed`
// flag is set when ICU cannot make one for a reason other than memory
// (its data is missing, say): the words it would rewrite then stay as
// they are, without a new attempt for each. A lack of memory is not
// recorded, so that the next text tries again.
struct icu_objects {
    const icu_calls *calls;     // ICU's calls, set by each text that needs them
    const UNormalizer2 *nfc;    // ICU's NFC instance, owned by ICU; or null
    UTransliterator *to_latin;  // Any-Latin, on the runs of the other alphabets; or null
    UTransliterator *to_ascii;  // Latin-ASCII on the letters the code page lacks; or null
    bool nfc_failed;
    bool to_latin_failed;
    bool to_ascii_failed;
    // Latin-ASCII's result for single letters, by code point modulo its
    // size: its rules take no context but a mark after a letter, so a
    // word of such letters without marks is rewritten a letter at a
    // time from here, without ICU once its letters have been seen.
    nearest_letter nearest[256];
    // The words looked at, by a hash of their bytes: a text repeats its
    // words (a name, the words of a quotation), and a word found here is
    // not looked at again, letter by letter or by ICU.
    recent_word words[256];
};

icu_objects icu = {};

// The longest word given to ICU, whose lengths are 32-bit: its UTF-16
// form, grown many times by transliteration, must stay far below them.
constexpr size_t max_word_bytes = INT32_MAX / 64;

// How a word came out of ICU.
enum class word_result : unsigned char {
    unchanged,  // as it was, or ICU could not rewrite it
    rewritten,
    no_memory
};

word_result after_error(UErrorCode e) {
    return e == U_MEMORY_ALLOCATION_ERROR ? word_result::no_memory : word_result::unchanged;
}

// The buffers of one call, grown as its words need and freed at its end.
struct scratch {
    UChar *composed;  // the word in UTF-16, composed
    size_t composed_cap;
    UChar *units;  // the word as it is rewritten
    size_t units_cap;
    UChar *spare;  // the NFC normaliser's output before it becomes `composed`
    size_t spare_cap;
    char *utf8;  // the rewritten word in UTF-8
    size_t utf8_cap;
};

void free_scratch(scratch &sc) {
    free(sc.composed);
    free(sc.units);
    free(sc.spare);
    free(sc.utf8);
    sc = {};
}

// Room for `need` elements in `*buf`, grown through a temporary so that
// a failure keeps the old block; the first block comes from malloc, as
// every first block of the text preparation does.
template <typename T>
bool reserve(T **buf, size_t *cap, size_t need) {
    if (need <= *cap) return true;
    if (need > SIZE_MAX / sizeof(T)) return false;
    T *bigger = static_cast<T *>(*buf == nullptr ? malloc(need * sizeof(T))
                                                 : realloc(*buf, need * sizeof(T)));
    if (bigger == nullptr) return false;
    *buf = bigger;
    *cap = need;
    return true;
}

bool is_ascii_letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

uint32_t category_mask(UChar32 c) { return U_MASK(icu.calls->u_charType(c)); }

bool is_letter(UChar32 c) { return (category_mask(c) & U_GC_L_MASK) != 0; }

bool is_mark(UChar32 c) { return (category_mask(c) & U_GC_M_MASK) != 0; }

UScriptCode script_of(UChar32 c) {
    UErrorCode e = U_ZERO_ERROR;
    UScriptCode s = icu.calls->uscript_getScript(c, &e);
    return U_SUCCESS(e) ? s : USCRIPT_INVALID_CODE;
}

// The alphabets written in Latin letters here; other scripts stay.
bool is_other_alphabet(UScriptCode s) {
    return s == USCRIPT_CYRILLIC || s == USCRIPT_GREEK || s == USCRIPT_ARMENIAN ||
           s == USCRIPT_GEORGIAN || s == USCRIPT_HEBREW || s == USCRIPT_ARABIC;
}

// The ideographs and syllabaries, which stay for stage two: no rule
// here changes them, so their words are not given to ICU.
bool is_kept_script(UScriptCode s) {
    return s == USCRIPT_HAN || s == USCRIPT_HIRAGANA || s == USCRIPT_KATAKANA ||
           s == USCRIPT_HANGUL;
}

// A letter of the code page, by what stage two makes of it: its own
// byte, or the letter a symbol falls back to (the micro sign).
bool is_code_page_letter(UChar32 c) {
    text_charset::unit u = text_charset::classify(static_cast<uint32_t>(c));
    return (u.k == text_charset::kind::letter && u.text == nullptr) ||
           (u.k == text_charset::kind::symbol && u.fb == text_charset::fallback::letter);
}

// A letter or mark that Latin-ASCII may bring to the code page.
bool wants_ascii(UChar32 c) {
    // The code page's letters all lie below U+0200.
    if (c < 0x80 || !(is_letter(c) || is_mark(c)) || (c < 0x200 && is_code_page_letter(c)))
        return false;
    UScriptCode s = script_of(c);
    return s == USCRIPT_LATIN || s == USCRIPT_COMMON || s == USCRIPT_INHERITED;
}

/*
 * The code point of the UTF-8 sequence at `s` and in `*bytes` its length,
 * as text_charset::decode delimits it; -1 for a malformed or cut-off
 * one. The sequences of two and three bytes, which hold every letter of
 * the alphabets here, are read inline.
 */
UChar32 next_cp(const unsigned char *s, size_t *bytes) {
    using text_charset::is_continuation;
    if (s[0] >= 0xC2 && s[0] < 0xE0 && is_continuation(s[1])) {
        *bytes = 2;
        return static_cast<UChar32>(((s[0] & 0x1Fu) << 6) | (s[1] & 0x3Fu));
    }
    if (s[0] >= 0xE0 && s[0] < 0xF0 && is_continuation(s[1]) && is_continuation(s[2])) {
        uint32_t c = ((s[0] & 0x0Fu) << 12) | ((s[1] & 0x3Fu) << 6) | (s[2] & 0x3Fu);
        if (c >= 0x800 && (c < 0xD800 || c > 0xDFFF)) {
            *bytes = 3;
            return static_cast<UChar32>(c);
        }
    }
    text_charset::decoded d = text_charset::decode(s);
    *bytes = d.bytes;
    return d.cut || d.cp == 0xFFFD ? -1 : static_cast<UChar32>(d.cp);
}

// Whether the input at `s` is a letter of Latin-1 (U+00C0 to U+00FF but
// the times and division signs), which the code page has as it is.
bool is_latin1_letter(const unsigned char *s) {
    return s[0] == 0xC3 && text_charset::is_continuation(s[1]) && s[1] != 0x97 && s[1] != 0xB7;
}

// Whether the input at `s` is a sign of Latin-1 (U+0080 to U+00BF), of
// the blocks of signs from U+2000 to U+2BFF, or of the emoji planes'
// U+1F000 to U+1FFFF: neither letters nor marks that begin a word (the
// ordinal indicators and the micro sign are the code page's own, and the
// combining marks for symbols at U+20D0 compose with nothing). The stage
// passes them by without decoding them. Sets `*bytes` to its length.
bool is_plain_sign(const unsigned char *s, size_t *bytes) {
    if (s[0] == 0xC2 && text_charset::is_continuation(s[1])) {
        *bytes = 2;
        return true;
    }
    // U+2000 to U+2BFF but the letterlike symbols and number forms
    // (U+2100 to U+217F, which hold letters such as ℓ): punctuation,
    // super- and subscripts, currency, arrows, operators, shapes.
    if (s[0] == 0xE2 && s[1] >= 0x80 && s[1] <= 0xAF && s[1] != 0x84 && s[1] != 0x85 &&
        text_charset::is_continuation(s[2])) {
        *bytes = 3;
        return true;
    }
    // U+1F000 to U+1FFFF: emoji, pictographs, enclosed and regional signs.
    if (s[0] == 0xF0 && s[1] == 0x9F && text_charset::is_continuation(s[2]) &&
        text_charset::is_continuation(s[3])) {
        *bytes = 4;
        return true;
    }
    return false;
}

// What a word needs, from its characters' properties alone.
enum class change : unsigned char {
    none,     // nothing: it stays as it is
    letters,  // Latin letters the code page lacks, each on its own
    word      // the whole word through ICU
};

// Whether `c` may stand as it is in NFC, by ICU's quick check property.
bool is_composed(UChar32 c) { return icu.calls->u_getIntPropertyValue(c, UCHAR_NFC_QUICK_CHECK) == UNORM_YES; }

/*
 * What the well-formed word of `n` bytes at `s` needs, without an ICU
 * object: the whole word goes through ICU when a character may not be
 * composed, when it holds letters of the other alphabets but a lone
 * Greek one, or a mark beside a letter the code page lacks (Latin-ASCII
 * drops such marks, which takes the word); a word whose only want is
 * such letters takes them one by one.
 */
change needs_of(const unsigned char *s, size_t n) {
    size_t run = 0;  // letters in the current run of the other alphabets
    bool letters = false, marks = false;
    for (size_t i = 0; i < n;) {
        if (s[i] < 0x80) {
            run = 0;
            ++i;
            continue;
        }
        if (is_latin1_letter(s + i)) {
            run = 0;  // the most common by far, and the code page has them
            i += 2;
            continue;
        }
        size_t bytes = 1;
        UChar32 c = next_cp(s + i, &bytes);
        i += bytes;
        UScriptCode sc = script_of(c);
        if (is_kept_script(sc)) {
            run = 0;
            continue;
        }
        if (is_mark(c)) {
            if (!is_composed(c)) return change::word;
            marks = true;  // it belongs to the letter before it
            continue;
        }
        // Of the letters that are not composed as they stand, those of the
        // alphabets here take the whole word anyway, and the rest but the
        // Letterlike Symbols' Ohm, Kelvin and Angstrom signs stay.
        if (c >= 0x2100 && c < 0x2150 && !is_composed(c)) return change::word;
        if (is_other_alphabet(sc)) {
            // A Greek letter may stand alone; the next letter decides.
            if (++run > 1 || sc != USCRIPT_GREEK) return change::word;
            continue;
        }
        run = 0;
        letters = letters || wants_ascii(c);
    }
    return !letters ? change::none : marks ? change::word : change::letters;
}

const UNormalizer2 *nfc_instance(UErrorCode *e) {
    if (icu.nfc == nullptr && !icu.nfc_failed) {
        UErrorCode made = U_ZERO_ERROR;
        const UNormalizer2 *n = icu.calls->unorm2_getNFCInstance(&made);
        if (U_SUCCESS(made))
            icu.nfc = n;
        else if (made != U_MEMORY_ALLOCATION_ERROR)
            icu.nfc_failed = true;
        *e = made;
    }
    return icu.nfc;
}

// The transliterator of `id`, made into `*slot` at the first call.
UTransliterator *transliterator(UTransliterator **slot, bool *failed, const UChar *id,
                                UErrorCode *e) {
    if (*slot == nullptr && !*failed) {
        UErrorCode made = U_ZERO_ERROR;
        UParseError where;
        UTransliterator *t = icu.calls->utrans_openU(id, -1, UTRANS_FORWARD, nullptr, 0, &where, &made);
        if (U_SUCCESS(made))
            *slot = t;
        else if (made != U_MEMORY_ALLOCATION_ERROR)
            *failed = true;
        *e = made;
    }
    return *slot;
}

UTransliterator *to_latin(UErrorCode *e) {
    return transliterator(&icu.to_latin, &icu.to_latin_failed, u"Any-Latin", e);
}

// Room for the filter of to_ascii: every code point from 80 to 1FF hex
// escaped in six units, and the words around them.
constexpr size_t filter_units = 6 * (0x200 - 0x80) + 32;

// Latin-ASCII restricted to the letters and marks the code page lacks,
// which keeps é, ñ or Œ as the code page writes them. The set is written
// from the code page's own letters as classify gives them.
UTransliterator *to_ascii(UErrorCode *e) {
    if (icu.to_ascii != nullptr || icu.to_ascii_failed) return icu.to_ascii;
    static constexpr UChar head[] = u"[[:L:][:M:]-[";
    static constexpr UChar tail[] = u"]] Latin-ASCII";
    UChar id[filter_units];
    size_t n = 0;
    for (const UChar *p = head; *p != 0; ++p) id[n++] = *p;
    for (UChar32 c = 0x80; c < 0x200; ++c) {
        if (!is_code_page_letter(c)) continue;
        static constexpr char hex[] = "0123456789ABCDEF";
        id[n++] = u'\\';
        id[n++] = u'u';
        for (int shift = 12; shift >= 0; shift -= 4)
            id[n++] = static_cast<UChar>(hex[(c >> shift) & 15]);
    }
    for (const UChar *p = tail; *p != 0; ++p) id[n++] = *p;
    id[n] = 0;
    return transliterator(&icu.to_ascii, &icu.to_ascii_failed, id, e);
}

/*
 * Latin-ASCII's result for the letter `c` alone, from the memo or made
 * into it. Null when it cannot be had: `*e` is then ICU's failure, or
 * U_ZERO_ERROR when the result is too long for the memo.
 */
const nearest_letter *nearest_letters(UChar32 c, UErrorCode *e) {
    nearest_letter &slot = icu.nearest[static_cast<uint32_t>(c) % std::size(icu.nearest)];
    if (slot.cp == c) return &slot;
    UTransliterator *ascii = to_ascii(e);
    if (ascii == nullptr) return nullptr;
    UChar units[16];
    int32_t len = 0;
    bool bad = false;
    U16_APPEND(units, len, static_cast<int32_t>(std::size(units)), c, bad);
    int32_t limit = len;
    icu.calls->utrans_transUChars(ascii, units, &len, static_cast<int32_t>(std::size(units)), 0, &limit, e);
    char text[sizeof slot.text];
    int32_t bytes = 0;
    if (U_SUCCESS(*e)) icu.calls->u_strToUTF8(text, static_cast<int32_t>(sizeof text), &bytes, units, len, e);
    if (*e == U_BUFFER_OVERFLOW_ERROR) *e = U_ZERO_ERROR;
    if (bad || U_FAILURE(*e) || bytes <= 0 || static_cast<size_t>(bytes) > sizeof text)
        return nullptr;
    slot.cp = c;
    slot.n = static_cast<unsigned char>(bytes);
    memcpy(slot.text, text, static_cast<size_t>(bytes));
    return &slot;
}

/*
 * The word of `n` bytes at `src`, whose only want is letters the code
 * page lacks (change::letters), rewritten a letter at a time into
 * sc.utf8 (`*out_len` bytes). Sets `*whole` when a letter is beyond
 * the memo, for the caller to take the word through ICU instead.
 */
word_result rewrite_letters(const unsigned char *src, size_t n, scratch &sc, size_t *out_len,
                            bool *whole) {
    // A letter of two bytes or more becomes at most seven.
    if (!reserve(&sc.utf8, &sc.utf8_cap, 4 * n + 1)) return word_result::no_memory;
    size_t len = 0;
    for (size_t i = 0; i < n;) {
        size_t bytes = 1;
        if (src[i] >= 0x80) {
            UChar32 c = next_cp(src + i, &bytes);
            if (wants_ascii(c)) {
                UErrorCode e = U_ZERO_ERROR;
                const nearest_letter *x = nearest_letters(c, &e);
                if (x == nullptr) {
                    *whole = e == U_ZERO_ERROR;
                    return after_error(e);
                }
                memcpy(sc.utf8 + len, x->text, x->n);
                len += x->n;
                i += bytes;
                continue;
            }
        }
        memcpy(sc.utf8 + len, src + i, bytes);
        len += bytes;
        i += bytes;
    }
    *out_len = len;
    return word_result::rewritten;
}

// The end of the run of letters of the other alphabets (with their
// marks) that begins at `at` in `u`, and in `*letters` how many.
int32_t other_alphabet_run(const UChar *u, int32_t len, int32_t at, size_t *letters) {
    *letters = 0;
    while (at < len) {
        int32_t next = at;
        UChar32 c;
        U16_NEXT(u, next, len, c);
        if (is_mark(c)) {
            if (*letters == 0) break;
        } else if (!is_letter(c) || !is_other_alphabet(script_of(c))) {
            break;
        } else {
            ++*letters;
        }
        at = next;
    }
    return at;
}

/*
 * Writes in Latin letters each run of the other alphabets in the `*len`
 * units of `u` (room for `cap`), but a run of one Greek letter; the
 * transliterator is made at the first run. A failure is ICU's status
 * (U_BUFFER_OVERFLOW_ERROR leaves `u` spoilt); when ICU cannot make the
 * transliterator but for memory, the runs stay as they are.
 */
UErrorCode runs_to_latin(UChar *u, int32_t *len, int32_t cap) {
    int32_t i = 0;
    while (i < *len) {
        size_t letters = 0;
        int32_t end = other_alphabet_run(u, *len, i, &letters);
        if (letters == 0) {
            U16_FWD_1(u, i, *len);
            continue;
        }
        UChar32 first;
        int32_t probe = i;
        U16_NEXT(u, probe, *len, first);
        if (letters == 1 && script_of(first) == USCRIPT_GREEK) {
            i = end;
            continue;
        }
        UErrorCode e = U_ZERO_ERROR;
        UTransliterator *t = to_latin(&e);
        if (t == nullptr) return e == U_MEMORY_ALLOCATION_ERROR ? e : U_ZERO_ERROR;
        icu.calls->utrans_transUChars(t, u, len, cap, i, &end, &e);
        if (U_FAILURE(e)) return e;
        i = end;
    }
    return U_ZERO_ERROR;
}

bool any_wants_ascii(const UChar *u, int32_t len) {
    for (int32_t i = 0; i < len;) {
        UChar32 c;
        U16_NEXT(u, i, len, c);
        if (wants_ascii(c)) return true;
    }
    return false;
}

// The word in sc.composed (`*len` units), composed when ICU's quick
// check finds it may not be: `rewritten` once it is composed, whether
// or not that changed it.
word_result compose(scratch &sc, int32_t *len) {
    UErrorCode e = U_ZERO_ERROR;
    const UNormalizer2 *nfc = nfc_instance(&e);
    if (nfc == nullptr) return after_error(e);
    UNormalizationCheckResult quick = icu.calls->unorm2_quickCheck(nfc, sc.composed, *len, &e);
    if (U_FAILURE(e)) return after_error(e);
    if (quick == UNORM_YES) return word_result::rewritten;
    for (size_t want = static_cast<size_t>(*len) + 16;;) {
        if (!reserve(&sc.spare, &sc.spare_cap, want)) return word_result::no_memory;
        e = U_ZERO_ERROR;
        int32_t n = icu.calls->unorm2_normalize(nfc, sc.composed, *len, sc.spare,
                                     static_cast<int32_t>(sc.spare_cap), &e);
        if (e == U_BUFFER_OVERFLOW_ERROR && static_cast<size_t>(n) > sc.spare_cap) {
            want = static_cast<size_t>(n) + 1;
            continue;
        }
        if (U_FAILURE(e)) return after_error(e);
        std::swap(sc.composed, sc.spare);
        std::swap(sc.composed_cap, sc.spare_cap);
        *len = n;
        return word_result::rewritten;
    }
}

// sc.composed's `len` units, transliterated into sc.units (`*out_len`).
word_result transliterate(scratch &sc, int32_t len, int32_t *out_len) {
    // Transliteration may lengthen a word several times over; each try
    // that runs out of room starts again from the composed word with
    // twice the room.
    for (size_t cap = 2 * static_cast<size_t>(len) + 16;; cap *= 2) {
        if (cap > INT32_MAX) return word_result::unchanged;
        if (!reserve(&sc.units, &sc.units_cap, cap)) return word_result::no_memory;
        memcpy(sc.units, sc.composed, static_cast<size_t>(len) * sizeof(UChar));
        int32_t n = len;
        const int32_t room = static_cast<int32_t>(cap);
        UErrorCode e = runs_to_latin(sc.units, &n, room);
        if (e == U_BUFFER_OVERFLOW_ERROR) continue;
        if (U_FAILURE(e)) return after_error(e);
        if (any_wants_ascii(sc.units, n)) {
            UTransliterator *ascii = to_ascii(&e);
            if (ascii == nullptr && e == U_MEMORY_ALLOCATION_ERROR) return word_result::no_memory;
            e = U_ZERO_ERROR;
            int32_t limit = n;
            if (ascii != nullptr) icu.calls->utrans_transUChars(ascii, sc.units, &n, room, 0, &limit, &e);
            if (e == U_BUFFER_OVERFLOW_ERROR) continue;
            if (U_FAILURE(e)) return after_error(e);
        }
        *out_len = n;
        return word_result::rewritten;
    }
}

/*
 * The well-formed word of `n` bytes at `src` through ICU, whole. When it
 * comes out rewritten, `*out` and `*out_len` are its UTF-8 bytes in
 * sc.utf8.
 */
word_result rewrite_through_icu(const unsigned char *src, size_t n, scratch &sc, const char **out,
                                size_t *out_len) {
    // A word has no more UTF-16 units than UTF-8 bytes.
    if (!reserve(&sc.composed, &sc.composed_cap, n + 1)) return word_result::no_memory;
    int32_t len = 0;
    UErrorCode e = U_ZERO_ERROR;
    icu.calls->u_strFromUTF8(sc.composed, static_cast<int32_t>(sc.composed_cap), &len,
                  reinterpret_cast<const char *>(src), static_cast<int32_t>(n), &e);
    if (U_FAILURE(e)) return after_error(e);
    word_result r = compose(sc, &len);
    if (r != word_result::rewritten) return r;
    int32_t units = 0;
    r = transliterate(sc, len, &units);
    if (r != word_result::rewritten) return r;
    // Each UTF-16 unit is at most three bytes of UTF-8.
    if (!reserve(&sc.utf8, &sc.utf8_cap, 3 * static_cast<size_t>(units) + 1))
        return word_result::no_memory;
    int32_t bytes = 0;
    e = U_ZERO_ERROR;
    icu.calls->u_strToUTF8(sc.utf8, static_cast<int32_t>(sc.utf8_cap), &bytes, sc.units, units, &e);
    if (U_FAILURE(e)) return after_error(e);
    *out = sc.utf8;
    *out_len = static_cast<size_t>(bytes);
    return word_result::rewritten;
}

// The slot of the word memo for the `n` bytes at `src` (FNV-1a).
recent_word &memo_slot(const unsigned char *src, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i) h = (h ^ src[i]) * 16777619u;
    return icu.words[h % std::size(icu.words)];
}

/*
 * The well-formed word of `n` bytes at `src`, which needs `need`. When it
 * comes out rewritten, `*out` and `*out_len` are its UTF-8 bytes in
 * sc.utf8.
 */
word_result rewrite_word(const unsigned char *src, size_t n, change need, scratch &sc,
                         const char **out, size_t *out_len) {
    if (n > max_word_bytes) return word_result::unchanged;
    bool whole = need == change::word;
    word_result r = word_result::unchanged;
    if (!whole) {
        r = rewrite_letters(src, n, sc, out_len, &whole);
        if (r == word_result::rewritten) *out = sc.utf8;
    }
    if (whole) r = rewrite_through_icu(src, n, sc, out, out_len);
    if (r == word_result::rewritten && *out_len == n && memcmp(*out, src, n) == 0)
        return word_result::unchanged;
    return r;
}

/*
 * What the well-formed word of `n` bytes at `src`, whose non-ASCII part
 * begins at `rest`, comes to: from the memo when it is there, else told
 * from its characters and rewritten, and then remembered unless it is
 * too long or memory ran out (which the next text tries again).
 */
word_result look_at_word(const unsigned char *src, const unsigned char *rest, size_t n,
                         scratch &sc, const char **out, size_t *out_len) {
    recent_word *slot = n <= sizeof slot->in ? &memo_slot(src, n) : nullptr;
    if (slot != nullptr && slot->in_len == n && memcmp(slot->in, src, n) == 0) {
        *out = slot->out;
        *out_len = slot->out_len;
        return slot->changed ? word_result::rewritten : word_result::unchanged;
    }
    const change need = needs_of(rest, n - static_cast<size_t>(rest - src));
    const word_result r =
        need == change::none ? word_result::unchanged : rewrite_word(src, n, need, sc, out, out_len);
    if (slot == nullptr || r == word_result::no_memory ||
        (r == word_result::rewritten && *out_len > sizeof slot->out))
        return r;
    slot->in_len = static_cast<unsigned char>(n);
    memcpy(slot->in, src, n);
    slot->changed = r == word_result::rewritten;
    slot->out_len = slot->changed ? static_cast<unsigned char>(*out_len) : 0;
    if (slot->changed) memcpy(slot->out, *out, *out_len);
    return r;
}

/*
 * The stage's result. Most rewritten words come out no longer than they
 * went in (two bytes of a Cyrillic or accented letter become one or two
 * letters), so the text is rewritten where it stands: what is written
 * never passes what has been read. A word that comes out longer than
 * that room moves the result to a block of its own.
 */
struct output {
    char *plain;    // the input, and the result while it is rewritten in place
    size_t input;   // the input's length
    char *buf;      // the result: null until a word changes, then `plain` or a block
    size_t len;     // bytes of the result
    size_t cap;     // bytes of `buf` when it is a block of its own
    size_t copied;  // input bytes before this are in the result
};

bool in_place(const output &out) { return out.buf == out.plain; }

// Room for `n` more bytes and the NUL in a block of its own, made at the
// first need with the input and a quarter more, and grown by half.
bool make_room(output &out, size_t n) {
    if (n > SIZE_MAX - out.len - 1) return false;
    size_t need = out.len + n + 1;
    if (!in_place(out) && need <= out.cap) return true;
    size_t grown = in_place(out) ? out.input + out.input / 4 : out.cap + out.cap / 2;
    if (grown < need || grown < out.cap) grown = need;
    if (in_place(out)) {
        char *block = static_cast<char *>(malloc(grown));
        if (block == nullptr) return false;
        memcpy(block, out.plain, out.len);
        out.buf = block;
        out.cap = grown;
        return true;
    }
    return reserve(&out.buf, &out.cap, grown);
}

// The input from out.copied up to `to` kept as it is; its marks move with
// it, a mark at `to` included.
bool copy_input(output &out, size_t to, mark_store *marks) {
    const size_t from = out.copied, base = out.len, n = to - from;
    if (in_place(out)) {
        if (base != from) memmove(out.buf + base, out.plain + from, n);
    } else {
        if (!make_room(out, n)) return false;
        memcpy(out.buf + base, out.plain + from, n);
    }
    out.len += n;
    out.copied = to;
    while (marks != nullptr && marks->next < marks->count && marks->marks[marks->next].at <= to) {
        size_t at = marks->marks[marks->next].at;
        note_input(marks, at, at - from + base);
    }
    return true;
}

// The input up to `at` kept, then the `word_len` bytes of `word` in place
// of its `n` bytes from `at`; the marks inside it stand at its end, since
// its letters are not those it had.
bool put_word(output &out, size_t at, size_t n, const char *word, size_t word_len,
              mark_store *marks) {
    if (out.buf == nullptr) out.buf = out.plain;
    if (!copy_input(out, at, marks)) return false;
    if (in_place(out) ? out.len + word_len > at + n : true) {
        if (!make_room(out, word_len)) return false;
    }
    memcpy(out.buf + out.len, word, word_len);
    out.len += word_len;
    out.copied = at + n;
    note_input(marks, at + n, out.len);
    return true;
}

// Whether the character at `s` continues a word, the non-ASCII letters
// and marks; sets `*bytes` to its length. With `first`, a mark does not
// begin one.
bool in_word(const unsigned char *s, bool first, size_t *bytes) {
    if (is_latin1_letter(s)) {
        *bytes = 2;
        return true;
    }
    if (is_plain_sign(s, bytes)) return false;
    UChar32 c = next_cp(s, bytes);
    if (c < 0) return false;
    const uint32_t m = category_mask(c);
    return (m & U_GC_L_MASK) != 0 || (!first && (m & U_GC_M_MASK) != 0);
}

// The end of the word whose letters and marks go on at `s`.
// Clears `*latin1` when the word holds a character other than ASCII and
// Latin-1's letters, the words that need nothing here.
const unsigned char *word_end(const unsigned char *s, bool *latin1) {
    for (;;) {
        size_t bytes = 1;
        if (*s < 0x80) {
            if (!is_ascii_letter(*s)) return s;
        } else if (is_latin1_letter(s)) {
            bytes = 2;
        } else if (in_word(s, false, &bytes)) {
            *latin1 = false;
        } else {
            return s;
        }
        s += bytes;
    }
}

// The offset of the first byte from 80 hex in the `len` bytes at `s`, or
// `len`. Most texts are ASCII, or ASCII but for a letter or a sign here
// and there, and this is most of what the stage costs them: it tests
// the high bits of 32 bytes at a time, then of eight.
size_t first_high_byte(const unsigned char *s, size_t len) {
    constexpr uint64_t high = 0x8080808080808080u;
    size_t i = 0;
    for (; i + 32 <= len; i += 32) {
        uint64_t w[4];
        memcpy(w, s + i, sizeof w);
        if (((w[0] | w[1] | w[2] | w[3]) & high) != 0) break;
    }
    for (; i + 8 <= len; i += 8) {
        uint64_t w;
        memcpy(&w, s + i, sizeof w);
        w &= high;
        if (w == 0) continue;
        if constexpr (std::endian::native == std::endian::little)
            return i + static_cast<size_t>(std::countr_zero(w)) / 8;
        break;
    }
    while (i < len && s[i] < 0x80) ++i;
    return i;
}

// Whether the character whose lead byte is at `s`, from C4 hex up, may
// be one the stage changes; see next_candidate.
inline bool may_change(const unsigned char *s) {
    const unsigned char b = *s;
    if (b <= 0xE1 || b == 0xE3 || b == 0xEA || b >= 0xF1) return true;
    const unsigned char n = s[1];
    // Of U+2000 to U+2BFF only the combining marks for symbols, the
    // letterlike symbols and U+2140 to U+214F hold marks or letters:
    // not the fractions and Roman numerals from U+2150 on.
    if (b == 0xE2 && (n == 0x83 || n == 0x84 || (n == 0x85 && s[2] < 0x90) || n >= 0xB0))
        return true;
    if (b == 0xEF && !(n == 0xBB || (n == 0xB8 && s[2] >= 0x80 && s[2] <= 0x8F))) return true;
    return b == 0xF0 && n != 0x9F;
}

/*
 * The offset in the `len` bytes from `s` of the first character the
 * stage may change, or `len`: a byte that can begin a Latin letter the
 * code page lacks, a combining mark, a letter of another alphabet, or a
 * character that NFC changes. What cannot is Latin-1 (C2, C3), the
 * signs, emoji and variation selectors, the ideographs and precomposed
 * hangul, which make up most text that is not ASCII; so a word of only
 * these, and a text of only these, needs no look. Only lead bytes from
 * C4 up need one: eight bytes at a time, each such byte is found by its
 * bit in a mask (its low seven bits plus 3C carry into its high bit
 * exactly from 44, and no byte carries into the next), so that text
 * dense with signs costs a few instructions a byte, not a branch for
 * each.
 */
size_t next_candidate(const unsigned char *s, size_t len) {
    size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        constexpr uint64_t low = 0x7F7F7F7F7F7F7F7Fu, high = 0x8080808080808080u,
                           to_c4 = 0x3C3C3C3C3C3C3C3Cu;
        // The bytes after a lead byte are read from the text itself, whose
        // NUL ends each sequence: a block's last lead byte may look past it.
        for (; i + 8 <= len; i += 8) {
            uint64_t w;
            memcpy(&w, s + i, sizeof w);
            for (uint64_t leads = ((w & low) + to_c4) & w & high; leads != 0; leads &= leads - 1) {
                const size_t at = i + static_cast<size_t>(std::countr_zero(leads)) / 8;
                if (may_change(s + at)) return at;
            }
        }
    }
    for (; i < len; ++i) {
        if (s[i] >= 0xC4 && may_change(s + i)) return i;
    }
    return len;
}

/*
 * Where the letters, marks and ASCII letters that stand right before
 * `at` begin, no earlier than `limit`: the start of the word `at` may be
 * in, for the walk to find it from there as it would from the text's
 * start (a mark that opens it is passed over then, as it is there).
 */
const unsigned char *word_start(const unsigned char *at, const unsigned char *limit) {
    while (at > limit) {
        if (at[-1] < 0x80) {
            if (!is_ascii_letter(at[-1])) break;
            --at;
            continue;
        }
        const unsigned char *lead = at - 1;
        while (lead > limit && text_charset::is_continuation(*lead) && at - lead < 4) --lead;
        size_t bytes = 0;
        if (!in_word(lead, false, &bytes) || lead + bytes != at) break;
        at = lead;
    }
    return at;
}

}  // namespace

char *unicode_stage(char *plain, mark_store *marks) {
    const unsigned char *text = reinterpret_cast<const unsigned char *>(plain);
    const size_t len = strlen(plain);
    const size_t first = first_high_byte(text, len);
    if (first == len) return plain;  // ASCII: nothing to do, nothing made
    // Only a word that holds a character the stage may change needs a
    // look: the walk starts where the word around the next such character
    // begins, and goes on until it is past it.
    const unsigned char *scan = text + first;  // everything before it has been looked at
    const unsigned char *next = scan + next_candidate(scan, len - first);
    if (*next == 0) return plain;
    icu.calls = icu_api();
    if (icu.calls == nullptr) return plain;  // as it is: ICU cannot be had
    output out{plain, len, nullptr, 0, 0, 0};
    scratch sc{};
    bool ok = true;
    while (ok && *next != 0) {
        scan = word_start(next, scan);
        while (ok && scan <= next) {
            if (*scan < 0x80) scan += first_high_byte(scan, len - static_cast<size_t>(scan - text));
            // A word may begin with ASCII letters before its first other
            // character, which may then be a mark on the last of them.
            // They do not change what it needs, but are a part of the word
            // that is rewritten and remembered.
            const unsigned char *word = scan;
            const bool after_letter = scan > text + out.copied && is_ascii_letter(scan[-1]);
            size_t bytes = 0;
            if (!in_word(scan, !after_letter, &bytes)) {
                scan += bytes;
                continue;
            }
            bool latin1 = is_latin1_letter(scan);
            const unsigned char *end = word_end(scan + bytes, &latin1);
            scan = end;
            if (latin1) continue;
            const unsigned char *begin = word;
            while (begin > text + out.copied && is_ascii_letter(begin[-1])) --begin;
            const size_t n = static_cast<size_t>(end - begin);
            const char *result = nullptr;
            size_t result_len = 0;
            word_result r = look_at_word(begin, word, n, sc, &result, &result_len);
            if (r == word_result::rewritten)
                ok = put_word(out, static_cast<size_t>(begin - text), n, result, result_len, marks);
            else if (r == word_result::no_memory)
                ok = false;
        }
        next = scan + next_candidate(scan, len - static_cast<size_t>(scan - text));
    }
    free_scratch(sc);
    if (ok && out.buf != nullptr) ok = copy_input(out, out.input, marks);
    if (!ok) {
        if (!in_place(out)) free(out.buf);
        free(plain);
        return nullptr;
    }
    if (out.buf == nullptr) return plain;  // no word changed
    out.buf[out.len] = '\0';
    text_marks::end_stage(marks, out.len);
    if (!in_place(out)) free(plain);
    return out.buf;
}

}  // namespace text_unicode
