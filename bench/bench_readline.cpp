// SPDX-License-Identifier: BSD-2-Clause
// The input line reader, fed from a file on descriptor 0: short command
// lines as a server sends them (lines per second), and single lines of
// 8 MiB and 64 MiB, whose costs should stand at about 1 to 8 (growth by
// doubling and a search that resumes where it stopped keep one line
// linear in its length). The ratio is printed at the end.
//
// The reader's buffer belongs to the process and never shrinks, and it
// grows only to the longest line seen, so the order of the benchmarks is
// part of what they measure: short lines are read first with the small
// buffer of a fresh module (a read for every line or two), and again
// after the long lines, with the large buffer a module has once it has
// been sent a long message.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <string>
#include <string_view>

#include "nrv_module_main.h"
#include "temp_dir.h"

namespace {

// A file holding `text` on descriptor 0, unlinked at once.
void input_from(const std::string &text) {
    static const qtest::TempDir scratch;
    std::string path = scratch.path() + "/bench_readline.XXXXXX";
    int fd = mkstemp(path.data());
    if (fd < 0) abort();
    unlink(path.c_str());
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) abort();
        done += static_cast<size_t>(n);
    }
    if (dup2(fd, 0) != 0) abort();
    close(fd);
}

// Reads and frees one line; false, with the benchmark marked failed,
// when the reader returned none.
bool read_one_line(benchmark::State &state) {
    char *line = module_readline(0, 1);
    if (line == nullptr) {
        state.SkipWithError("the reader returned no line");
        return false;
    }
    benchmark::DoNotOptimize(line);
    free(line);
    return true;
}

constexpr std::string_view command_cycle[] = {
    "SPEAK\n", "Hello there.\n", ".\n",   "STOP\n",  "SET\n",
    "rate=20\n", "pitch=-10\n",  ".\n",   "PAUSE\n", "CHAR\n",
    "a\n",      ".\n",
};

void read_lines(benchmark::State &state) {
    const size_t lines = 120000;
    std::string text;
    for (size_t i = 0; i < lines; ++i) text += command_cycle[i % std::size(command_cycle)];
    input_from(text);
    for (auto _ : state) {
        lseek(0, 0, SEEK_SET);
        for (size_t i = 0; i < lines; ++i) {
            if (!read_one_line(state)) return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.counters["lines/s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * lines), benchmark::Counter::kIsRate);
}

void BM_ShortLinesFreshBuffer(benchmark::State &state) { read_lines(state); }
void BM_ShortLinesGrownBuffer(benchmark::State &state) { read_lines(state); }

// One line of range(0) MiB, its line feed included.
void BM_LongLine(benchmark::State &state) {
    const size_t bytes = static_cast<size_t>(state.range(0)) << 20;
    std::string text(bytes - 1, 'a');
    text += '\n';
    input_from(text);
    text = std::string();
    for (auto _ : state) {
        lseek(0, 0, SEEK_SET);
        if (!read_one_line(state)) return;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// Prints as usual and keeps the time of each long line for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> seconds;
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs)
            if (r.run_type == Run::RT_Iteration && !r.error_occurred)
                seconds[r.benchmark_name()] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

BENCHMARK(BM_ShortLinesFreshBuffer)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LongLine)->Arg(8)->Arg(64)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ShortLinesGrownBuffer)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    // glibc raises its mmap threshold after a large block is freed, up to
    // 32 MiB: the 8 MiB copy of a line would then come from reused heap
    // while the 64 MiB one is mapped and faulted in afresh every time,
    // and the ratio would measure the allocator. A fixed threshold gives
    // both lines fresh pages, as a module that has been idle meets them.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto small = reporter.seconds.find("BM_LongLine/8/min_time:2.000");
    auto large = reporter.seconds.find("BM_LongLine/64/min_time:2.000");
    if (small != reporter.seconds.end() && large != reporter.seconds.end() && small->second > 0)
        printf("64 MiB line / 8 MiB line: %.2f (linear: 8)\n", large->second / small->second);
    benchmark::Shutdown();
    return 0;
}
