// Sample tracks for measuring the 705 writer: uniformly random samples
// (about one byte in 128 needs escaping), speech-like samples (mostly
// small values, about one byte in 85), and a track with nothing to
// escape. The same seed gives the same bytes, so instruction counts
// repeat exactly.
#pragma once

#include <math.h>
#include <stdint.h>

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

}  // namespace bench
