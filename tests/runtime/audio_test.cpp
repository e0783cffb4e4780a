// SPDX-License-Identifier: BSD-2-Clause
// The 705 writer seen from the server: exact block bytes, block
// capacities, the command pass after every block and what it may and
// may not do to the stream.
#include <gtest/gtest.h>

#include "harness.h"
#include "protocol.h"
#include "recording_format.h"

namespace {

const std::string receiving = "202 OK RECEIVING MESSAGE\n";
const std::string started = "202 OK RECEIVING MESSAGE\n200 OK SPEAKING\n701 BEGIN\n";
const std::string ended = "702 END\n";
const std::string closed(rt::closed);

// The bytes of the track the recording adapter streams.
std::string track_bytes(const char *pattern, size_t bytes) {
    auto v = qrec::pattern_bytes(pattern, bytes);
    return std::string(v.begin(), v.end());
}

// The blocks of a 16-bit mono track cut at `capacity` frames.
std::string blocks_16(const std::string &raw, size_t first_frame, size_t frames,
                      size_t capacity = 5000) {
    std::string out;
    for (size_t at = first_frame; at < first_frame + frames; at += capacity) {
        size_t n = std::min(capacity, first_frame + frames - at);
        out += rt::audio_block(16, 1, 22050, static_cast<int>(n), 0,
                               qtest::escape_payload(raw.substr(at * 2, n * 2)));
    }
    return out;
}

TEST(AudioFraming, WritesTheDocumentedExampleExactly) {
    auto s = rt::serve("SPEAK\nhi\n.\n", {{"QREC_TRACK_FRAMES", "2"}});
    std::string block = "705-bits=16\n705-num_channels=1\n705-sample_rate=22050\n"
                        "705-num_samples=2\n705-big_endian=0\n705-AUDIO";
    block += std::string("\0\x7d\x5d\x7d\x2a\x34\x12\n705 AUDIO\n", 18);
    EXPECT_EQ(s.replies, started + block + ended + closed);
}

std::string repeat(std::string_view unit, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += unit;
    return out;
}

struct EscapeCase {
    const char *name;
    const char *pattern;
    int frames;
    std::string wire;  // the escaped payload
};

TEST(AudioFraming, EscapesOnlyBraceAndLineFeed) {
    const std::vector<EscapeCase> cases = {
        {"only line feeds", "0a", 3, repeat("}*", 6)},
        {"only braces", "7d", 2, repeat("}]", 4)},
        {"nothing to escape", "000d2041ff7e", 3, std::string("\x00\x0d\x20\x41\xff\x7e", 6)},
        {"escapes at both ends", "7d01020a", 4, std::string("}]\x01\x02}*}]\x01\x02}*", 12)},
        {"xor of the escape", "5d2a", 1, "]*"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto s = rt::serve("SPEAK\nhi\n.\n", {{"QREC_TRACK_FRAMES", std::to_string(c.frames)},
                                              {"QREC_TRACK_PATTERN", c.pattern}});
        EXPECT_EQ(s.replies, started + rt::audio_block(16, 1, 22050, c.frames, 0, c.wire) + ended +
                                 closed);
    }
}

struct CapacityCase {
    const char *name;
    int frames;
    std::vector<int> blocks;
};

TEST(AudioFraming, CutsTracksAtTheBlockCapacity) {
    const std::vector<CapacityCase> cases = {
        {"one frame", 1, {1}},
        {"one capacity", 5000, {5000}},
        {"one frame over", 5001, {5000, 1}},
        {"two and a half capacities", 12500, {5000, 5000, 2500}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto s = rt::serve("SPEAK\nhi\n.\n", {{"QREC_TRACK_FRAMES", std::to_string(c.frames)}});
        std::string raw = track_bytes(nullptr, static_cast<size_t>(c.frames) * 2);
        EXPECT_EQ(s.replies, started + blocks_16(raw, 0, static_cast<size_t>(c.frames)) + ended +
                                 closed);
        auto parsed = qtest::parse_protocol(s.replies);
        ASSERT_TRUE(parsed.ok) << parsed.error;
        std::vector<int> frames;
        for (const auto &item : parsed.items)
            if (item.is_audio) frames.push_back(item.num_samples);
        EXPECT_EQ(frames, c.blocks);
    }
}

struct FormatCase {
    const char *name;
    rt::Env env;
    std::vector<int> blocks;  // frames per block; empty: nothing framed
    int payload_bytes_per_frame;
};

TEST(AudioFraming, FramesOtherFormatsAndRefusesOddFrames) {
    const std::vector<FormatCase> cases = {
        {"8-bit mono", {{"QREC_TRACK_BITS", "8"}, {"QREC_TRACK_FRAMES", "10001"}}, {10000, 1}, 1},
        {"16-bit stereo", {{"QREC_TRACK_CHANNELS", "2"}, {"QREC_TRACK_FRAMES", "2600"}},
         {2500, 100}, 4},
        {"24-bit mono", {{"QREC_TRACK_BITS", "24"}, {"QREC_TRACK_FRAMES", "3334"}}, {3333, 1}, 3},
        {"big endian flag", {{"QREC_TRACK_BIG_ENDIAN", "1"}, {"QREC_TRACK_FRAMES", "3"}}, {3}, 2},
        {"4-bit", {{"QREC_TRACK_BITS", "4"}, {"QREC_TRACK_FRAMES", "100"}}, {}, 0},
        {"12-bit", {{"QREC_TRACK_BITS", "12"}, {"QREC_TRACK_FRAMES", "100"}}, {}, 0},
        {"4-bit stereo", {{"QREC_TRACK_BITS", "4"}, {"QREC_TRACK_CHANNELS", "2"},
                          {"QREC_TRACK_FRAMES", "100"}}, {100}, 1},
        {"no channels", {{"QREC_TRACK_CHANNELS", "0"}, {"QREC_TRACK_FRAMES", "100"}}, {}, 0},
        {"negative bits and channels",
         {{"QREC_TRACK_BITS", "-16"}, {"QREC_TRACK_CHANNELS", "-1"}, {"QREC_TRACK_FRAMES", "9"}},
         {}, 0},
        {"frame larger than a block",
         {{"QREC_TRACK_CHANNELS", "5001"}, {"QREC_TRACK_FRAMES", "2"}}, {}, 0},
        {"no frames", {{"QREC_TRACK_FRAMES", "0"}}, {}, 0},
        {"negative frames", {{"QREC_TRACK_FRAMES", "-5"}}, {}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto s = rt::serve("SPEAK\nhi\n.\n", c.env);
        auto parsed = qtest::parse_protocol(s.replies);
        ASSERT_TRUE(parsed.ok) << parsed.error;
        EXPECT_TRUE(parsed.rest.empty());
        std::vector<int> frames;
        for (const auto &item : parsed.items) {
            if (!item.is_audio) continue;
            frames.push_back(item.num_samples);
            EXPECT_EQ(item.payload.size(),
                      static_cast<size_t>(item.num_samples * c.payload_bytes_per_frame));
            EXPECT_LE(item.payload.size(), 10000u);
        }
        EXPECT_EQ(frames, c.blocks);
        if (c.blocks.empty()) {
            EXPECT_EQ(s.replies, started + ended + closed);
        }
        EXPECT_EQ(s.status, 255);
    }
}

// The pass after each block: commands that arrived during the stream
// are executed between blocks, and their replies fall there.
struct PassCase {
    const char *name;
    std::string after;  // input behind the message, all in the same write
    int frames;
    std::string between;          // replies expected after the first block
    int blocks_after;             // blocks sent after the first
    std::vector<std::string> calls;  // stop, pause, set and stream_end, in order
};

TEST(AudioFraming, RunsCommandsBetweenBlocks) {
    const std::vector<PassCase> cases = {
        {"stop after the first block", "STOP\n", 12500, "", 0,
         {"stop", "stream_end should_stop=1"}},
        {"pause after the first block", "PAUSE\n", 12500, "", 0,
         {"pause", "stream_end should_stop=1"}},
        {"stop after the last block", "STOP\n", 5000, "", 0,
         {"stop", "stream_end should_stop=1"}},
        {"replies fall between blocks", "SET\nrate=5\n.\nLIST VOICES\nDEBUG OFF\nBOGUS\n", 12500,
         "203 OK RECEIVING SETTINGS\n203 OK SETTINGS RECEIVED\n200-v1\ten\tnone\n"
         "200 OK VOICE LIST SENT\n200 OK DEBUGGING OFF\n300 ERR UNKNOWN COMMAND\n",
         2, {"set \"rate\" \"5\"", "stream_end should_stop=0"}},
        {"a stop after a message in the pass", "SPEAK\nyo\n.\nSTOP\n", 12500,
         receiving + "301 ERROR CANT SPEAK\n", 0, {"stop", "stream_end should_stop=1"}},
        {"a message in the pass alone", "SPEAK\nyo\n.\n", 12500,
         receiving + "301 ERROR CANT SPEAK\n", 2, {"stream_end should_stop=0"}},
        {"no pass for an empty track", "STOP\n", 0, "", 0,
         {"stream_end should_stop=0", "stop"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto s = rt::serve("SPEAK\nhi\n.\n" + c.after,
                           {{"QREC_TRACK_FRAMES", std::to_string(c.frames)},
                            {"QREC_VOICES", "v1,en,~"}});
        std::string raw = track_bytes(nullptr, static_cast<size_t>(c.frames) * 2);
        std::string expected = started;
        if (c.frames > 0) {
            size_t first = std::min<size_t>(5000, static_cast<size_t>(c.frames));
            expected += blocks_16(raw, 0, first) + c.between;
            if (c.blocks_after > 0) expected += blocks_16(raw, first, c.frames - first);
            expected += ended;
        } else {
            expected += ended + c.between;
        }
        EXPECT_EQ(s.replies, expected + closed);
        std::vector<std::string> calls;
        for (const auto &r : s.record)
            if (r == "stop" || r == "pause" || r.starts_with("set ") || r.starts_with("stream_end"))
                calls.push_back(r);
        EXPECT_EQ(calls, c.calls);
        EXPECT_EQ(s.status, 255);
    }
}

// What the server sends behind a STOP or PAUSE in the same write is not
// read by the pass that executes it: the stream ends with its 702 and
// the loop then executes the rest, so a message sent right after a stop
// is spoken, and a QUIT ends the process after the 702.
struct BehindStopCase {
    const char *name;
    std::string after;                // input behind the first message
    bool second_message;              // "yo" is spoken whole after the 702
    std::string replies;              // other replies after the 702
    int status;
    std::vector<std::string> calls;   // stop, pause, set, speak_sync, stream_end
};

TEST(AudioFraming, LeavesCommandsBehindAStopToTheLoop) {
    const std::vector<BehindStopCase> cases = {
        {"speak behind stop", "STOP\nSPEAK\nyo\n.\n", true, "", 255,
         {"speak_sync 0 2 \"hi\"", "stop", "stream_end should_stop=1", "speak_sync 0 2 \"yo\"",
          "stream_end should_stop=0"}},
        {"speak behind pause", "PAUSE\nSPEAK\nyo\n.\n", true, "", 255,
         {"speak_sync 0 2 \"hi\"", "pause", "stream_end should_stop=1",
          "speak_sync 0 2 \"yo\"", "stream_end should_stop=0"}},
        {"quit behind stop", "STOP\nQUIT\n", false, "210 OK QUIT\n", 0,
         {"speak_sync 0 2 \"hi\"", "stop", "stream_end should_stop=1"}},
        {"settings behind stop", "STOP\nSET\nrate=5\n.\n", false,
         "203 OK RECEIVING SETTINGS\n203 OK SETTINGS RECEIVED\n", 255,
         {"speak_sync 0 2 \"hi\"", "stop", "stream_end should_stop=1", "set \"rate\" \"5\""}},
        {"a second stop behind stop", "STOP\nSTOP\n", false, "", 255,
         {"speak_sync 0 2 \"hi\"", "stop", "stream_end should_stop=1", "stop"}},
    };
    std::string raw = track_bytes(nullptr, 12500 * 2);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto s = rt::serve("SPEAK\nhi\n.\n" + c.after, {{"QREC_TRACK_FRAMES", "12500"}});
        std::string expected = started + blocks_16(raw, 0, 5000) + ended;
        if (c.second_message) expected += started + blocks_16(raw, 0, 12500) + ended;
        expected += c.replies;
        if (c.status == 255) expected += closed;
        EXPECT_EQ(s.replies, expected);
        EXPECT_EQ(s.status, c.status);
        std::vector<std::string> calls;
        for (const auto &r : s.record)
            if (r == "stop" || r == "pause" || r.starts_with("set ") ||
                r.starts_with("speak_sync") || r.starts_with("stream_end"))
                calls.push_back(r);
        EXPECT_EQ(calls, c.calls);
    }
}

// A stop before the message does not carry over: the next message
// clears it and streams whole.
TEST(AudioFraming, NextMessageClearsAnEarlierStop) {
    auto s = rt::serve("STOP\nSPEAK\nhi\n.\n", {{"QREC_TRACK_FRAMES", "5001"}});
    std::string raw = track_bytes(nullptr, 5001 * 2);
    EXPECT_EQ(s.replies, started + blocks_16(raw, 0, 5001) + ended + closed);
}

// A track that grew during a pass is sent to its new end.
TEST(AudioFraming, FollowsATrackThatGrewDuringAPass) {
    auto s = rt::serve("SPEAK\nhi\n.\nSET\ngrow=2500\n.\n",
                       {{"QREC_TRACK_FRAMES", "5000"}, {"QREC_TRACK_SPARE", "2500"}});
    std::string raw = track_bytes(nullptr, 7500 * 2);
    EXPECT_EQ(s.replies, started + blocks_16(raw, 0, 5000) +
                             "203 OK RECEIVING SETTINGS\n203 OK SETTINGS RECEIVED\n" +
                             blocks_16(raw, 5000, 2500) + ended + closed);
}

// QUIT between blocks: 210 is the last thing written, the engine is
// released once, and the process ends with 0 without waiting for input.
TEST(AudioFraming, QuitBetweenBlocksEndsTheProcess) {
    rt::Module m(rt::Env{{"QREC_TRACK_FRAMES", "12500"}});
    ASSERT_TRUE(m.handshake());
    m.send("SPEAK\nhi\n.\nQUIT\nDEBUG OFF\n");
    EXPECT_EQ(m.finish(/*close_input=*/false), 0);
    std::string raw = track_bytes(nullptr, 12500 * 2);
    EXPECT_EQ(m.replies(), started + blocks_16(raw, 0, 5000) + "210 OK QUIT\n");
    EXPECT_EQ(m.record_of({"close"}).size(), 1u);
    EXPECT_TRUE(m.record_of({"stream_end", "loop_end", "debug"}).empty());
    EXPECT_EQ(m.err(), "quorlin: entering main loop\n");
}

// Input that ends while a message streams: the stream goes on to its
// end, the end of input is logged once however many passes follow, and
// the loop then ends as at any end of input. A block read by the pass
// meets the end there for certain; a bare close is met by some pass or
// by the loop, depending on when it arrives.
struct EndInPassCase {
    const char *name;
    std::string after;    // input behind the message, then input closes
    std::string between;  // replies after the first block
};

TEST(AudioFraming, EndOfInputInsideAPass) {
    const std::vector<EndInPassCase> cases = {
        {"inside a settings block", "SET\nrate=1\n", "203 OK RECEIVING SETTINGS\n"},
        {"inside a message block", "SPEAK\nyo\n", receiving},
        {"inside a command line", "LIST VOI", ""},
        {"between commands", "", ""},
    };
    const int frames = 50000;  // ten blocks, nine passes after the first
    std::string raw = track_bytes(nullptr, frames * 2);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto s = rt::serve("SPEAK\nhi\n.\n" + c.after,
                           {{"QREC_TRACK_FRAMES", std::to_string(frames)}});
        EXPECT_EQ(s.replies, started + blocks_16(raw, 0, 5000) + c.between +
                                 blocks_16(raw, 5000, frames - 5000) + ended + closed);
        EXPECT_EQ(s.status, 255);
        EXPECT_EQ(s.err,
                  "quorlin: entering main loop\nstdin over\nquorlin: broken pipe, exiting\n");
    }
}

}  // namespace
