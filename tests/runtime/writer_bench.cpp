// SPDX-License-Identifier: BSD-2-Clause
// Measures the 705 audio writer: streams a track through
// module_tts_output_server to /dev/null and prints user-space
// instructions (where the kernel lets a process count them; otherwise
// run it under valgrind --tool=callgrind
// --toggle-collect=module_tts_output_server) and nanoseconds per payload
// byte, for uniformly random samples (the worst case: one byte in 128
// needs escaping), speech-like samples and a track with no byte to
// escape. Prints figures only.
//
//   runtime_writer_bench [megabytes [random|speech|plain]]
#include <linux/perf_event.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "nrv_module_main.h"

namespace {

// A counter of the instructions this process retires in user space, or
// -1 when the kernel does not allow it.
int open_instruction_counter() {
    perf_event_attr attr{};
    attr.type = PERF_TYPE_HARDWARE;
    attr.size = sizeof attr;
    attr.config = PERF_COUNT_HW_INSTRUCTIONS;
    attr.disabled = 1;
    attr.exclude_kernel = 1;
    attr.exclude_hv = 1;
    return static_cast<int>(syscall(SYS_perf_event_open, &attr, 0, -1, -1, 0));
}

void measure(const char *name, std::vector<int16_t> &samples, int counter) {
    AudioTrack track = {16, 1, 22050, static_cast<int32_t>(samples.size()), samples.data()};
    size_t bytes = samples.size() * 2;
    size_t escaped = 0;
    for (size_t i = 0; i < bytes; ++i) {
        unsigned char b = reinterpret_cast<unsigned char *>(samples.data())[i];
        escaped += b == 0x0a || b == 0x7d;
    }
    if (counter >= 0) {
        ioctl(counter, PERF_EVENT_IOC_RESET, 0);
        ioctl(counter, PERF_EVENT_IOC_ENABLE, 0);
    }
    auto start = std::chrono::steady_clock::now();
    module_should_stop = 0;
    module_tts_output_server(&track, NRV_AUDIO_LE);
    auto ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start);
    long long instructions = -1;
    if (counter >= 0) {
        ioctl(counter, PERF_EVENT_IOC_DISABLE, 0);
        if (read(counter, &instructions, sizeof instructions) != sizeof instructions)
            instructions = -1;
    }
    fprintf(stderr, "%-14s %10zu bytes, %8zu escaped: %6.3f ns/byte", name, bytes, escaped,
            ns.count() / static_cast<double>(bytes));
    if (instructions >= 0)
        fprintf(stderr, ", %6.3f instructions/byte\n",
                static_cast<double>(instructions) / static_cast<double>(bytes));
    else
        fputs(", instruction counter unavailable\n", stderr);
}

}  // namespace

int main(int argc, char **argv) {
    size_t megabytes = argc > 1 ? strtoul(argv[1], nullptr, 10) : 64;
    // The pass after each block polls an empty pipe, as it would while
    // the server is quiet; the blocks go to /dev/null.
    int quiet[2];
    if (pipe(quiet) != 0 || dup2(quiet[0], 0) < 0) return 1;
    if (freopen("/dev/null", "w", stdout) == nullptr) return 1;

    std::vector<int16_t> samples(megabytes * 1024 * 1024 / 2);
    uint32_t x = 2463534242u;
    for (auto &s : samples) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s = static_cast<int16_t>(x);
    }
    const char *only = argc > 2 ? argv[2] : "";
    int counter = open_instruction_counter();
    if (strcmp(only, "plain") != 0 && strcmp(only, "speech") != 0)
        measure("uniform random", samples, counter);
    // Voiced sound with noise, pauses and a varying envelope: most
    // samples are small, as in speech.
    for (size_t i = 0; i < samples.size(); ++i) {
        double t = static_cast<double>(i) / 22050.0;
        double envelope = 0.5 + 0.5 * sin(2 * M_PI * 3 * t);
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        double v = envelope * (4000 * sin(2 * M_PI * 140 * t) + 1500 * sin(2 * M_PI * 910 * t)) +
                   static_cast<double>(static_cast<int>(x % 401) - 200);
        samples[i] = static_cast<int16_t>(v);
    }
    if (strcmp(only, "plain") != 0 && strcmp(only, "random") != 0)
        measure("speech-like", samples, counter);
    for (auto &s : samples) s = 0x0101;
    if (strcmp(only, "random") != 0) measure("no escapes", samples, counter);
    return 0;
}
