// SPDX-License-Identifier: BSD-2-Clause
// Sample tracks for measuring the 705 writer: uniformly random samples
// (about one byte in 128 needs escaping), speech-like samples (mostly
// small values, about one byte in 85), and a track with nothing to
// escape. The same seed gives the same bytes, so instruction counts
// repeat exactly. Also the 705 blocks the writer makes of a track, built
// beforehand, for the programs that write them as the floor it is
// compared with.
#pragma once

#include <math.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <string_view>
#include <vector>

namespace bench {

inline uint32_t xorshift(uint32_t &x) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
}

inline std::vector<int16_t> random_track(size_t samples) {
    std::vector<int16_t> t(samples);
    uint32_t x = 2463534242u;
    for (auto &s : t) s = static_cast<int16_t>(xorshift(x));
    return t;
}

// Voiced sound with noise and a varying envelope at 22050 Hz.
inline std::vector<int16_t> speech_track(size_t samples) {
    std::vector<int16_t> t(samples);
    uint32_t x = 88172645u;
    for (size_t i = 0; i < samples; ++i) {
        double s = static_cast<double>(i) / 22050.0;
        double envelope = 0.5 + 0.5 * sin(2 * M_PI * 3 * s);
        double v = envelope * (4000 * sin(2 * M_PI * 140 * s) + 1500 * sin(2 * M_PI * 910 * s)) +
                   static_cast<double>(static_cast<int>(xorshift(x) % 401) - 200);
        t[i] = static_cast<int16_t>(v);
    }
    return t;
}

inline std::vector<int16_t> plain_track(size_t samples) {
    return std::vector<int16_t>(samples, 0x0101);
}

// The track of the given kind ("random", "speech" or "plain"); empty for
// an unknown kind.
inline std::vector<int16_t> track(std::string_view kind, size_t samples) {
    if (kind == "random") return random_track(samples);
    if (kind == "speech") return speech_track(samples);
    if (kind == "plain") return plain_track(samples);
    return {};
}

// One 705 block of 16-bit mono samples at 22050 Hz: its header, up to and
// including the NUL, and its escaped payload cut into runs that each end
// just after an escaped byte (the last run may end anywhere).
struct Block {
    std::string header;
    std::string payload;
    std::vector<size_t> run_ends;
};

// `samples` as the writer sends them, in blocks of 10000 payload bytes.
inline std::vector<Block> blocks_of(const std::vector<int16_t> &samples) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(samples.data());
    const size_t total = samples.size() * 2;
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

}  // namespace bench
