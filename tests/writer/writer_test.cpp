// SPDX-License-Identifier: BSD-2-Clause
// The 705 writer's exact bytes, checked in-process against a framing
// built here with printf and the byte-by-byte escaping of the test
// support library. The vector search for escaped bytes works on 32-byte
// windows and the other from one escaped byte to the next, so payloads
// are taken at every length up to a few windows, at every alignment of
// their start, and with escaped bytes from none to all of them.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "nrv_module_main.h"
#include "protocol.h"
#include "temp_dir.h"

namespace {

// Runs the writer with standard output sent to a temporary file and
// returns what it wrote. Standard input is an empty pipe, so the command
// pass after each block finds nothing to do, as while the server is quiet.
std::string run_writer(const AudioTrack &track, AudioFormat format) {
    static int quiet[2] = {-1, -1};
    if (quiet[0] < 0) {
        EXPECT_EQ(pipe(quiet), 0);
        EXPECT_EQ(dup2(quiet[0], 0), 0);
    }
    static const qtest::TempDir scratch;
    std::string path = scratch.path() + "/writer_test.XXXXXX";
    int fd = mkstemp(path.data());
    EXPECT_GE(fd, 0);
    unlink(path.c_str());
    fflush(stdout);
    int saved = dup(1);
    dup2(fd, 1);
    module_should_stop = 0;
    module_tts_output_server(&track, format);
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string out;
    char buf[65536];
    ssize_t n;
    lseek(fd, 0, SEEK_SET);
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

std::string header(int bits, int channels, int rate, int frames, int big_endian) {
    char text[256];
    snprintf(text, sizeof text,
             "705-bits=%d\n705-num_channels=%d\n705-sample_rate=%d\n705-num_samples=%d\n"
             "705-big_endian=%d\n705-AUDIO",
             bits, channels, rate, frames, big_endian);
    return std::string(text) + '\0';
}

// The blocks a track of 16-bit mono frames is sent as.
std::string expected_blocks(const std::string &raw, int rate, int big_endian) {
    std::string out;
    const size_t capacity = 10000;
    for (size_t at = 0; at < raw.size(); at += capacity) {
        std::string part = raw.substr(at, capacity);
        out += header(16, 1, rate, static_cast<int>(part.size() / 2), big_endian);
        out += qtest::escape_payload(part) + "\n705 AUDIO\n";
    }
    return out;
}

// `bytes` bytes of which about one in `one_in` is 0x7D or 0x0A (0: none).
std::string payload(std::mt19937 &random, size_t bytes, unsigned one_in) {
    std::string s(bytes, '\0');
    for (char &c : s) {
        unsigned char b = static_cast<unsigned char>(random());
        if (b == 0x7d || b == 0x0a) b = 0x5a;
        if (one_in != 0 && random() % one_in == 0) b = random() % 2 ? 0x7d : 0x0a;
        c = static_cast<char>(b);
    }
    return s;
}

std::string send(const std::string &raw, size_t offset, int rate = 22050,
                 AudioFormat format = NRV_AUDIO_LE) {
    // The samples start `offset` bytes into an aligned buffer, so that
    // every alignment of the payload against the windows is met.
    std::vector<int16_t> store(raw.size() / 2 + 16);
    auto *start = reinterpret_cast<unsigned char *>(store.data()) + offset;
    memcpy(start, raw.data(), raw.size());
    AudioTrack track = {16, 1, rate, static_cast<int32_t>(raw.size() / 2),
                        reinterpret_cast<int16_t *>(start)};
    return run_writer(track, format);
}

TEST(AudioWriter, EscapesEveryLengthAndAlignment) {
    std::mt19937 random(20240611);
    const unsigned densities[] = {0, 128, 16, 3, 1};
    for (unsigned one_in : densities)
        for (size_t bytes = 2; bytes <= 160; bytes += 2)
            for (size_t offset = 0; offset < 32; offset += 2) {
                SCOPED_TRACE("one in " + std::to_string(one_in) + ", " + std::to_string(bytes) +
                             " bytes at offset " + std::to_string(offset));
                std::string raw = payload(random, bytes, one_in);
                ASSERT_EQ(send(raw, offset), expected_blocks(raw, 22050, 0));
            }
}

TEST(AudioWriter, EscapesRunsAtWindowEdges) {
    // Escaped bytes packed around the edges of 16- and 32-byte windows.
    std::mt19937 random(7);
    for (size_t at = 0; at < 70; ++at)
        for (unsigned char special : {0x7d, 0x0a})
            for (size_t run = 1; run <= 3; ++run) {
                SCOPED_TRACE(std::to_string(run) + " at " + std::to_string(at));
                std::string raw = payload(random, 96, 0);
                for (size_t i = at; i < at + run && i < raw.size(); ++i)
                    raw[i] = static_cast<char>(special);
                ASSERT_EQ(send(raw, 0), expected_blocks(raw, 22050, 0));
            }
}

TEST(AudioWriter, SendsLongTracksInWholeBlocks) {
    std::mt19937 random(99);
    for (unsigned one_in : {0u, 85u, 1u}) {
        SCOPED_TRACE(one_in);
        std::string raw = payload(random, 2 * 25001, one_in);
        ASSERT_EQ(send(raw, 2), expected_blocks(raw, 22050, 0));
    }
}

struct HeaderCase {
    const char *name;
    int rate;
    AudioFormat format;
};

TEST(AudioWriter, WritesHeaderNumbersAsPrintfDoes) {
    const std::vector<HeaderCase> cases = {
        {"zero", 0, NRV_AUDIO_LE},
        {"one digit", 8, NRV_AUDIO_BE},
        {"usual rate", 11025, NRV_AUDIO_LE},
        {"negative", -1, NRV_AUDIO_LE},
        {"largest", INT32_MAX, NRV_AUDIO_BE},
        {"smallest", INT32_MIN, NRV_AUDIO_LE},
        {"power of ten", 1000000000, NRV_AUDIO_LE},
    };
    std::mt19937 random(3);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string raw = payload(random, 40, 8);
        ASSERT_EQ(send(raw, 0, c.rate, c.format),
                  expected_blocks(raw, c.rate, c.format == NRV_AUDIO_BE ? 1 : 0));
    }
}

}  // namespace
