// SPDX-License-Identifier: BSD-2-Clause
// The floor for streaming: a program that answers a SPEAK block as the
// module does but does nothing else. At the message's closing dot it
// makes the fake engine's samples for that message (quorlin_fake_sample,
// the same count as the module is told to produce), escapes them in
// blocks of 10000 payload bytes before any output, then writes "701
// BEGIN", the same 705 blocks with one fwrite per run that ends in an
// escaped byte and one fflush per block, and "702 END". INIT gets the
// 299 line, QUIT ends it. The module's streaming is measured against it.
//
// The sample count comes from QUORLIN_FAKE_SAMPLES, as the fake engine
// takes it (one number; default 1000).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "bench_tracks.h"
#include "fake_engine.h"

namespace {

using bench::Block;

std::vector<Block> make_blocks(int message, long samples) {
    std::vector<int16_t> track(static_cast<size_t>(samples));
    for (long i = 0; i < samples; ++i) track[static_cast<size_t>(i)] = quorlin_fake_sample(message, i);
    return bench::blocks_of(track);
}

void stream(const std::vector<Block> &blocks) {
    fputs("701 BEGIN\n", stdout);
    fflush(stdout);
    for (const Block &b : blocks) {
        fwrite(b.header.data(), 1, b.header.size(), stdout);
        size_t from = 0;
        for (size_t end : b.run_ends) {
            fwrite(b.payload.data() + from, 1, end - from, stdout);
            from = end;
        }
        fwrite("\n705 AUDIO\n", 1, 11, stdout);
        fflush(stdout);
    }
    fputs("702 END\n", stdout);
    fflush(stdout);
}

}  // namespace

int main() {
    const char *count = getenv("QUORLIN_FAKE_SAMPLES");
    const long samples = count != nullptr ? strtol(count, nullptr, 10) : 1000;
    int message = 0;
    bool in_block = false;
    char line[4096];
    while (fgets(line, sizeof line, stdin) != nullptr) {
        if (strcmp(line, "INIT\n") == 0) {
            fputs("299 OK LOADED SUCCESSFULLY\n", stdout);
        } else if (strcmp(line, "QUIT\n") == 0) {
            fputs("210 OK QUIT\n", stdout);
            fflush(stdout);
            return 0;
        } else if (!in_block && strcmp(line, "SPEAK\n") == 0) {
            fputs("202 OK RECEIVING MESSAGE\n", stdout);
            in_block = true;
        } else if (in_block && strcmp(line, ".\n") == 0) {
            in_block = false;
            std::vector<Block> blocks = make_blocks(++message, samples);
            fputs("200 OK SPEAKING\n", stdout);
            stream(blocks);
        }
        fflush(stdout);
    }
    return 0;
}
