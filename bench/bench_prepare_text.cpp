// SPDX-License-Identifier: BSD-2-Clause
// Throughput of text preparation on mixed text: ASCII prose, markup,
// entities and multi-byte UTF-8 (letters, quotes, dashes, currency and
// emoji), at sizes from a line to a long document. The figures should
// stay level across the sizes, each stage being one linear pass.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <string_view>

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

void prepare(benchmark::State &state, NRVMessageType type)
{
    const std::string text = mixed_text(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        char *r = prepare_text(text.data(), text.size(), type);
        benchmark::DoNotOptimize(r);
        free(r);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
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

}  // namespace

BENCHMARK(BM_PrepareText)->Arg(1 << 10)->Arg(1 << 16)->Arg(1 << 20);
BENCHMARK(BM_PrepareTextStageOne)->Arg(1 << 10)->Arg(1 << 16)->Arg(1 << 20);

BENCHMARK_MAIN();
