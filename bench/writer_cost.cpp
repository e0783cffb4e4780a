// SPDX-License-Identifier: BSD-2-Clause
// Counts what one payload byte costs the 705 writer, for running under
// valgrind --tool=callgrind (instruction counts repeat exactly, where
// time does not):
//
//   writer_cost KIND MEGABYTES writer   streams a track of KIND (random,
//       speech or plain) through module_tts_output_server to /dev/null;
//       collect with --toggle-collect=module_tts_output_server
//   writer_cost KIND MEGABYTES fwrite   writes the same blocks, escaped
//       beforehand, with one fwrite and one fflush each: the floor that
//       stdio sets; collect with --toggle-collect=write_escaped_blocks
//
// It prints the payload bytes and the escaped bytes on standard error;
// instructions per byte are callgrind's total over the payload bytes.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench_tracks.h"
#include "nrv_module_main.h"

// Kept out of line and unmangled so that callgrind can be told its name.
extern "C" __attribute__((noinline)) void write_escaped_blocks(const std::vector<std::string> &blocks) {
    for (const std::string &b : blocks) {
        fwrite(b.data(), 1, b.size(), stdout);
        fflush(stdout);
    }
}

namespace {

// Each block whole, header, escaped payload and trailer, ready for one
// fwrite.
std::vector<std::string> escaped_blocks(const std::vector<int16_t> &samples) {
    std::vector<std::string> blocks;
    for (const bench::Block &b : bench::blocks_of(samples))
        blocks.push_back(b.header + b.payload + "\n705 AUDIO\n");
    return blocks;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: writer_cost random|speech|plain MEGABYTES writer|fwrite\n");
        return 2;
    }
    const size_t megabytes = strtoul(argv[2], nullptr, 10);
    std::vector<int16_t> samples = bench::track(argv[1], megabytes * 1024 * 1024 / 2);
    if (samples.empty()) {
        fprintf(stderr, "writer_cost: unknown track kind %s\n", argv[1]);
        return 2;
    }
    size_t escaped = 0;
    for (int16_t s : samples) {
        unsigned u = static_cast<uint16_t>(s);
        escaped += ((u & 0xff) == 0x7d || (u & 0xff) == 0x0a) + ((u >> 8) == 0x7d || (u >> 8) == 0x0a);
    }
    // The pass after each block polls an empty pipe, as while the server
    // is quiet; the blocks go to /dev/null.
    int quiet[2];
    if (pipe(quiet) != 0 || dup2(quiet[0], 0) != 0) return 1;
    if (freopen("/dev/null", "w", stdout) == nullptr) return 1;
    if (strcmp(argv[3], "fwrite") == 0) {
        write_escaped_blocks(escaped_blocks(samples));
    } else {
        AudioTrack track = {16, 1, 22050, static_cast<int32_t>(samples.size()), samples.data()};
        module_tts_output_server(&track, NRV_AUDIO_LE);
    }
    fprintf(stderr, "payload_bytes=%zu escaped_bytes=%zu\n", samples.size() * 2, escaped);
    return 0;
}
