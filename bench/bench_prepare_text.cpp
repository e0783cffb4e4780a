// SPDX-License-Identifier: BSD-2-Clause
// Throughput of text preparation on mixed text: ASCII prose, markup,
// entities and multi-byte UTF-8 (letters, quotes, dashes, currency and
// emoji), at sizes from a line to a long document. The figures should
// stay level across the sizes, each stage being one linear pass.
//
// The faithful preparation runs beside the default one on the same
// texts, on the corpus (QUORLIN_CORPUS, or bench/corpus.txt in the
// sources) and on a text made of symbols, emoji and non-ASCII letters,
// the worst case for its names and its code-page letters, and on a text
// of accented (some decomposed) and other-alphabet words, which goes
// through ICU; the first such call also builds ICU's objects, and is
// timed on its own when it runs first (as registered, or alone).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>

#include "bench_common.h"
#include "quorlin_faithful.h"
#include "quorlin_text.h"

namespace {

constexpr std::string_view paragraph =
    "<speak><p>The caf\xC3\xA9 on the corner (open 7 days) sells tea &amp; cake; "
    "a slice costs \xC2\xA3" "3.50, about 4\xE2\x82\xAC \xE2\x80\x94 "
    "\xE2\x80\x9C" "cheap\xE2\x80\x9D, they say.</p> <break time='500ms'/>"
    "Na\xC3\xAFve readers &lt;sometimes&gt; skip it\xE2\x80\x99s footnotes [1]: "
    "mp3 files, R2D2 and e-mail \xF0\x9F\x98\x80!\n"
    "Plain prose follows, the sort of sentence a screen reader reads all day, "
    "with a comma, a full stop and nothing else remarkable in it.\n</speak>";

// `bytes` bytes of repeated paragraphs; the last one may be cut anywhere.
std::string mixed_text(size_t bytes)
{
    std::string s;
    s.reserve(bytes + paragraph.size());
    while (s.size() < bytes)
        s += paragraph;
    s.resize(bytes);
    return s;
}

// Words with symbols, typography, emoji and their sequences, money,
// accented, other Latin and Greek letters, joined by blanks in a fixed
// pseudo-random order.
constexpr std::string_view symbol_words[] = {
    "G\xC3\xB6ttsche", "\xC5\x81\xC3\xB3" "d\xC5\xBA", "caf\xC3\xA9", "\xC5\x93uvre",
    "\xEF\xAC\x81ne", "\xCE\xB1\xCE\xB2", "x\xC2\xB2", "10-60%", "a+b=c", "and/or",
    "\xC2\xA7 3", "\xC2\xA9", "20\xC2\xB0" "C", "\xC2\xBD", "#1029404", "gladk@debian.org",
    "\xE2\x80\x9Cquoted\xE2\x80\x9D", "it\xE2\x80\x99s", "\xE2\x80\x94", "\xE2\x80\xA6",
    "a\xE2\x89\xA4" "b", "\xE2\x86\x92", "(x)", "[y];", "{z}:", "16:22", "-64", "2nd",
    "\xE6\x97\xA5\xE6\x9C\xAC", "\xF0\x9F\x98\x80", "\xE2\x82\xAC" "5", "\xC2\xA3" "3",
    "x_y", "a*b", "~/src", "C:\\path", "<b>", "&amp;", "Vi\xE1\xBB\x87t", "\xC8\x99i", "r\xC3\xA9sum\xC3\xA9.",
    "\xF0\x9F\x91\x8D", "\xE2\x9D\xA4\xEF\xB8\x8F", "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7",
    "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7", "\xF0\x9F\x98\x82\xF0\x9F\x98\x82\xF0\x9F\x98\x82",
    "$5.99", "20\xE2\x82\xAC", "\xE2\x9C\x93", "\xE2\x85\x93", "\xE2\x88\x80x",
};

// Whether a word holds a letter that goes through ICU: one of the
// blocks from U+0100 to U+07FF (Latin letters the code page lacks,
// combining marks, Greek, Cyrillic, Hebrew, Arabic), of U+1000 to U+1FFF
// or a Latin ligature.
bool has_icu_letter(std::string_view w)
{
    for (size_t i = 0; i < w.size(); i++) {
        unsigned char c = static_cast<unsigned char>(w[i]);
        if ((c >= 0xC4 && c <= 0xDF) || c == 0xE1 ||
            (c == 0xEF && i + 1 < w.size() && static_cast<unsigned char>(w[i + 1]) == 0xAC))
            return true;
    }
    return false;
}

// The words in random order; with `signs_only`, without the words of
// letters that go through ICU: symbols, emoji and money among words of
// the code page's own letters.
std::string symbol_text(size_t bytes, bool signs_only = false)
{
    std::mt19937 rng(1234);
    std::string s;
    s.reserve(bytes + 32);
    while (s.size() < bytes) {
        std::string_view w = symbol_words[rng() % std::size(symbol_words)];
        if (signs_only && has_icu_letter(w)) continue;
        s += w;
        s += rng() % 8 == 0 ? "\n" : " ";
    }
    s.resize(bytes);
    return s;
}

// Accented Latin (precomposed and decomposed), Latin letters the code
// page lacks, Cyrillic and Greek words, with ASCII words between them as
// in a Western text that quotes a name.
constexpr std::string_view letter_words[] = {
    "caf\xC3\xA9", "cafe\xCC\x81", "na\xC3\xAFve", "Pawe\xC5\x82", "\xC5\x81\xC3\xB3" "d\xC5\xBA",
    "Erd\xC5\x91s", "\xC5\x9F" "ehir", "Vi\xE1\xBB\x87t", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82",
    "\xD0\xBC\xD0\xB8\xD1\x80", "\xCE\x95\xCE\xBB\xCE\xBB\xCE\xAC\xCE\xB4\xCE\xB1", "the", "of", "and",
    "a", "letter", "from",
};

std::string letter_text(size_t bytes)
{
    std::mt19937 rng(4321);
    std::string s;
    s.reserve(bytes + 32);
    while (s.size() < bytes) {
        s += letter_words[rng() % std::size(letter_words)];
        s += rng() % 8 == 0 ? ".\n" : " ";
    }
    s.resize(bytes);
    return s;
}

// The corpus repeated to `bytes`, or empty when it cannot be read.
std::string corpus_text(size_t bytes)
{
    const char *path = getenv("QUORLIN_CORPUS");
    FILE *f = fopen(path ? path : QUORLIN_SOURCE_DIR "/bench/corpus.txt", "rb");
    return f ? bench::repeated_text(f, bytes) : std::string();
}

enum class source { mixed, corpus, symbols, signs, letters };

std::string text_of(source src, size_t bytes)
{
    switch (src) {
    case source::corpus:
        return corpus_text(bytes);
    case source::symbols:
        return symbol_text(bytes);
    case source::signs:
        return symbol_text(bytes, true);
    case source::letters:
        return letter_text(bytes);
    case source::mixed:
        break;
    }
    return mixed_text(bytes);
}

// One way of preparing: the default when `faithful` is null.
void run(benchmark::State &state, const std::string &text, NRVMessageType type,
         const faithful_settings *faithful)
{
    if (text.empty()) {
        state.SkipWithError("no text (is the corpus there?)");
        return;
    }
    for (auto _ : state) {
        char *r = faithful ? prepare_faithful(text.data(), text.size(), type, faithful)
                           : prepare_text(text.data(), text.size(), type);
        benchmark::DoNotOptimize(r);
        free(r);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
}

void prepare(benchmark::State &state, NRVMessageType type)
{
    run(state, mixed_text(static_cast<size_t>(state.range(0))), type, nullptr);
}

// Running text, the default way, on each source.
void BM_Default(benchmark::State &state, source src)
{
    run(state, text_of(src, static_cast<size_t>(state.range(0))), NRV_MSGTYPE_TEXT, nullptr);
}

// Running text, the faithful way at a level, on each source.
void BM_Faithful(benchmark::State &state, source src, punct_level level)
{
    faithful_settings s;
    s.punctuation = level;
    run(state, text_of(src, static_cast<size_t>(state.range(0))), NRV_MSGTYPE_TEXT, &s);
}

// Both stages, as for running text.
void BM_PrepareText(benchmark::State &state)
{
    prepare(state, NRV_MSGTYPE_TEXT);
}

// Stage one alone, as for a character or key name.
void BM_PrepareTextStageOne(benchmark::State &state)
{
    prepare(state, NRV_MSGTYPE_CHAR);
}

// One faithful call on a short text with accents and Cyrillic: the
// first in the process pays for ICU's normaliser and transliterators.
void BM_FaithfulFirstCall(benchmark::State &state)
{
    const std::string text = letter_text(256);
    faithful_settings s;
    for (auto _ : state) {
        char *r = prepare_faithful(text.data(), text.size(), NRV_MSGTYPE_TEXT, &s);
        benchmark::DoNotOptimize(r);
        free(r);
    }
}

}  // namespace

BENCHMARK(BM_FaithfulFirstCall)->Iterations(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PrepareText)->Arg(1 << 10)->Arg(1 << 16)->Arg(1 << 20);
BENCHMARK(BM_PrepareTextStageOne)->Arg(1 << 10)->Arg(1 << 16)->Arg(1 << 20);

BENCHMARK_CAPTURE(BM_Faithful, mixed_some, source::mixed, punct_level::some)
    ->Arg(1 << 10)->Arg(1 << 16)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_Default, corpus, source::corpus)->Arg(1962)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_Faithful, corpus_some, source::corpus, punct_level::some)
    ->Arg(1962)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_Default, symbols, source::symbols)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_Faithful, symbols_none, source::symbols, punct_level::none)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_Faithful, symbols_some, source::symbols, punct_level::some)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_Faithful, symbols_all, source::symbols, punct_level::all)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_Default, signs, source::signs)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_Faithful, signs_some, source::signs, punct_level::some)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_Faithful, signs_all, source::signs, punct_level::all)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_Default, letters, source::letters)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_Faithful, letters_some, source::letters, punct_level::some)->Arg(1 << 20);

BENCHMARK_MAIN();
