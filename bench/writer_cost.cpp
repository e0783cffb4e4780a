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

std::vector<std::string> escaped_blocks(const std::vector<int16_t> &samples) {
    std::vector<std::string> blocks;
    const auto *bytes = reinterpret_cast<const unsigned char *>(samples.data());
    const size_t total = samples.size() * 2;
    for (size_t at = 0; at < total; at += 10000) {
        const size_t n = total - at < 10000 ? total - at : 10000;
        char header[200];
        int len = snprintf(header, sizeof header,
                           "705-bits=16\n705-num_channels=1\n705-sample_rate=22050\n"
                           "705-num_samples=%zu\n705-big_endian=0\n705-AUDIO",
                           n / 2);
        std::string b(header, static_cast<size_t>(len));
        b += '\0';
        for (size_t i = at; i < at + n; ++i) {
            if (bytes[i] == 0x7d || bytes[i] == 0x0a) {
                b += '\x7d';
                b += static_cast<char>(bytes[i] ^ 0x20);
            } else {
                b += static_cast<char>(bytes[i]);
            }
        }
        b += "\n705 AUDIO\n";
        blocks.push_back(std::move(b));
    }
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
