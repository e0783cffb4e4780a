// SPDX-License-Identifier: BSD-2-Clause
// The 705 writer: payload bytes per second for a random and a
// speech-like track and one with nothing to escape, with standard output
// on /dev/null (the writer's own cost) or on a pipe that a thread drains
// (as a server reads it). Standard input is an empty pipe, so the command
// pass after every block polls and finds nothing, as while the server is
// quiet. For instruction counts, see writer_cost.cpp.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "bench_tracks.h"
#include "nrv_module_main.h"

namespace {

constexpr size_t track_samples = 2 << 20;  // 4 MiB of payload

// Points descriptor 1 at `fd` for the life of the object, so that the
// benchmark's own report, printed between runs, still reaches the
// terminal.
class StdoutTo {
  public:
    explicit StdoutTo(int fd) {
        fflush(stdout);
        saved_ = dup(1);
        dup2(fd, 1);
    }
    ~StdoutTo() {
        fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }
    StdoutTo(const StdoutTo &) = delete;
    StdoutTo &operator=(const StdoutTo &) = delete;

  private:
    int saved_;
};

void quiet_stdin() {
    static int quiet[2] = {-1, -1};
    if (quiet[0] < 0 && (pipe(quiet) != 0 || dup2(quiet[0], 0) != 0)) abort();
}

void stream(benchmark::State &state, const char *kind, bool to_pipe) {
    quiet_stdin();
    std::vector<int16_t> samples = bench::track(kind, track_samples);
    AudioTrack track = {16, 1, 22050, static_cast<int32_t>(samples.size()), samples.data()};
    int sink[2] = {-1, -1};
    std::thread drain;
    if (to_pipe) {
        if (pipe(sink) != 0) abort();
        drain = std::thread([fd = sink[0]] {
            static char buf[1 << 16];
            while (read(fd, buf, sizeof buf) > 0) {
            }
        });
    } else {
        sink[1] = open("/dev/null", O_WRONLY);
    }
    {
        StdoutTo redirect(sink[1]);
        for (auto _ : state) {
            module_should_stop = 0;
            module_tts_output_server(&track, NRV_AUDIO_LE);
        }
    }
    close(sink[1]);
    if (drain.joinable()) {
        drain.join();
        close(sink[0]);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * samples.size() * 2));
}

void BM_WriterNull(benchmark::State &state, const char *kind) { stream(state, kind, false); }
void BM_WriterPipe(benchmark::State &state, const char *kind) { stream(state, kind, true); }

}  // namespace

BENCHMARK_CAPTURE(BM_WriterNull, random, "random")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WriterNull, speech, "speech")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WriterNull, plain, "plain")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WriterPipe, random, "random")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WriterPipe, speech, "speech")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WriterPipe, plain, "plain")->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
