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

#include "fake_engine.h"

namespace {

// One block: its header, and its escaped payload cut into runs that each
// end just after an escaped byte (the last run may end anywhere).
struct Block {
    std::string header;
    std::string payload;
    std::vector<size_t> run_ends;
};

std::vector<Block> make_blocks(int message, long samples) {
    std::vector<int16_t> track(static_cast<size_t>(samples));
    for (long i = 0; i < samples; ++i) track[static_cast<size_t>(i)] = quorlin_fake_sample(message, i);
    const auto *bytes = reinterpret_cast<const unsigned char *>(track.data());
    const size_t total = track.size() * 2;
    std::vector<Block> blocks;
    for (size_t at = 0; at < total; at += 10000) {
        const size_t n = total - at < 10000 ? total - at : 10000;
        Block b;
        char header[200];
        int len = snprintf(header, sizeof header,
                           "705-bits=16\n705-num_channels=1\n705-sample_rate=22050\n"
                           "705-num_samples=%zu\n705-big_endian=0\n705-AUDIO",
                           n / 2);
        b.header.assign(header, static_cast<size_t>(len));
        b.header += '\0';
        for (size_t i = at; i < at + n; ++i) {
            if (bytes[i] == 0x7d || bytes[i] == 0x0a) {
                b.payload += '\x7d';
                b.payload += static_cast<char>(bytes[i] ^ 0x20);
                b.run_ends.push_back(b.payload.size());
            } else {
                b.payload += static_cast<char>(bytes[i]);
            }
        }
        if (b.run_ends.empty() || b.run_ends.back() != b.payload.size())
            b.run_ends.push_back(b.payload.size());
        blocks.push_back(std::move(b));
    }
    return blocks;
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
