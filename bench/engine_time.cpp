// SPDX-License-Identifier: BSD-2-Clause
// The engine's own time, without the module: text handed to the engine
// library through its C calls, synthesised, and its samples dropped in
// the callback. Built against the reference engine (eSpeak NG), with the
// voice settings the module uses before any SET (speed 50, pitch 65,
// volume 90), so that its figures stand beside the module's in the same
// run of scripts/measure.sh. Times are in milliseconds.
//
//   engine_time phrase TEXT REPEATS        one message, many times
//   engine_time corpus FILE REPEATS RATE   one message per non-empty
//       line of FILE, the whole file timed; RATE is the sample-rate code
//       (0: 8000 Hz, 1: 11025 Hz, 2: 22050 Hz)
//   engine_time first-callback FILE BYTES REPEATS   one message of FILE
//       repeated to BYTES bytes; times eciAddText to the engine's first
//       sample callback, which refuses the samples so that the message
//       ends there, and once, the whole message, untimed by repeat
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench_common.h"
#include "eci_corvane.h"

namespace {

using bench::median;
using bench::now_ms;

short output[20000];
long long frames;
// Set by the first sample callback of a message when `stop_at_first`.
bool stop_at_first = false;
double first_callback_ms = 0;

ECICallbackReturn drop_samples(ECIHand, ECIMessage msg, long count, void *) {
    if (msg != eciWaveformBuffer) return eciDataProcessed;
    if (frames == 0) first_callback_ms = now_ms();
    frames += count;
    return stop_at_first ? eciDataNotProcessed : eciDataProcessed;
}

double cpu_ms() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

ECIHand engine(int rate_code) {
    ECIHand h = eciNew();
    if (h == nullptr) {
        fprintf(stderr, "engine_time: eciNew failed\n");
        exit(1);
    }
    eciRegisterCallback(h, drop_samples, nullptr);
    eciSetOutputBuffer(h, 20000, output);
    eciSetParam(h, eciSampleRate, rate_code);
    eciSetVoiceParam(h, 0, eciSpeed, 50);
    eciSetVoiceParam(h, 0, eciPitchBaseline, 65);
    eciSetVoiceParam(h, 0, eciVolume, 90);
    return h;
}

void say(ECIHand h, const char *text) {
    if (!eciAddText(h, text) || !eciSynthesize(h)) {
        fprintf(stderr, "engine_time: synthesis failed\n");
        exit(1);
    }
    eciSynchronize(h);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "phrase") == 0) {
        ECIHand h = engine(2);
        say(h, argv[2]);  // the first message selects the voice
        std::vector<double> times;
        for (int i = 0; i < atoi(argv[3]); ++i) {
            double begin = now_ms();
            say(h, argv[2]);
            times.push_back(now_ms() - begin);
        }
        printf("median_ms=%.3f best_ms=%.3f\n", median(times),
               *std::min_element(times.begin(), times.end()));
        eciDelete(h);
        return 0;
    }
    if (argc == 5 && strcmp(argv[1], "corpus") == 0) {
        FILE *f = fopen(argv[2], "r");
        if (f == nullptr) {
            perror(argv[2]);
            return 1;
        }
        const std::vector<std::string> lines = bench::corpus_lines(f);
        ECIHand h = engine(atoi(argv[4]));
        say(h, "Ready.");
        std::vector<double> times;
        const int repeats = atoi(argv[3]);
        const double cpu_before = cpu_ms();
        for (int i = 0; i < repeats; ++i) {
            frames = 0;
            double begin = now_ms();
            for (const std::string &line : lines) say(h, line.c_str());
            times.push_back(now_ms() - begin);
        }
        printf("median_ms=%.2f best_ms=%.2f cpu_ms=%.1f frames=%lld\n", median(times),
               *std::min_element(times.begin(), times.end()), (cpu_ms() - cpu_before) / repeats,
               frames);
        eciDelete(h);
        return 0;
    }
    if (argc == 5 && strcmp(argv[1], "first-callback") == 0) {
        FILE *f = fopen(argv[2], "r");
        if (f == nullptr) {
            perror(argv[2]);
            return 1;
        }
        const std::string text = bench::repeated_text(f, strtoul(argv[3], nullptr, 10));
        ECIHand h = engine(2);
        // The whole message once: the voice is chosen, and its length known.
        frames = 0;
        double begin = now_ms();
        say(h, text.c_str());
        const double whole_ms = now_ms() - begin;
        const long long whole_frames = frames;
        std::vector<double> times;
        stop_at_first = true;
        for (int i = 0; i < atoi(argv[4]); ++i) {
            frames = 0;
            begin = now_ms();
            say(h, text.c_str());
            times.push_back(first_callback_ms - begin);
        }
        printf("median_ms=%.3f worst_ms=%.3f best_ms=%.3f whole_ms=%.1f bytes=%zu audio_s=%.1f\n",
               median(times), *std::max_element(times.begin(), times.end()),
               *std::min_element(times.begin(), times.end()), whole_ms, text.size(),
               static_cast<double>(whole_frames) / 22050.0);
        eciDelete(h);
        return 0;
    }
    fprintf(stderr,
            "usage: engine_time phrase TEXT REPEATS | corpus FILE REPEATS RATE |"
            " first-callback FILE BYTES REPEATS\n");
    return 2;
}
