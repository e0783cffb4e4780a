// SPDX-License-Identifier: BSD-2-Clause
// The real module with the reference engine, driven through pipes as a
// speech server drives it, and quorlin-say driving that same module.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "child_process.h"
#include "protocol.h"
#include "temp_dir.h"

namespace {

using namespace std::chrono_literals;
using qtest::TempFile;

constexpr const char *sentence = "Hello from quorlin. This sentence was spoken through the module.";

qtest::ChildOptions module(std::vector<std::string> args = {}) {
    qtest::ChildOptions o;
    o.argv.push_back(QUORLIN_BIN);
    for (auto &a : args) o.argv.push_back(a);
    return o;
}

void start(qtest::Child &m) {
    ASSERT_TRUE(m.write("INIT\n"));
    ASSERT_TRUE(m.wait_for_stdout("299 OK LOADED SUCCESSFULLY\n")) << m.out() << m.err();
}

std::string speak_block(const std::string &text) { return "SPEAK\n" + text + "\n.\n"; }

// Sends one message and waits for its end; returns what it produced.
qtest::Parsed speak(qtest::Child &m, const std::string &text, const std::string &before = "") {
    size_t from = m.out().size();
    EXPECT_TRUE(m.write(before + speak_block(text)));
    EXPECT_TRUE(m.wait_for_stdout("702 END\n", 20s, from)) << m.out().substr(from) << m.err();
    qtest::Parsed p = qtest::parse_protocol(std::string_view(m.out()).substr(from));
    EXPECT_TRUE(p.ok) << p.error;
    return p;
}

size_t samples_of(const qtest::Parsed &p) {
    size_t n = 0;
    for (const auto &it : p.items) n += it.is_audio ? it.payload.size() / 2 : 0;
    return n;
}

std::string audio_bytes(const qtest::Parsed &p) {
    std::string bytes;
    for (const auto &it : p.items)
        if (it.is_audio) bytes += it.payload;
    return bytes;
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

uint32_t le32(const std::string &s, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; i++) v |= static_cast<uint32_t>(static_cast<unsigned char>(s[at + i])) << (8 * i);
    return v;
}

uint16_t le16(const std::string &s, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) |
                                 static_cast<unsigned char>(s[at + 1]) << 8);
}

// What a module process speaks for `text` after a first sentence, with
// index marks on: every process starts eSpeak NG in the same state, so
// two processes give the same audio for the same text.
qtest::Parsed spoken_with_marks(const std::string &text, bool streamed) {
    TempFile conf(std::string("CorvaneIndexMarks 1\nCorvaneStreaming ") + (streamed ? "1" : "0") +
                  "\n");
    qtest::Child m(module({conf.path()}));
    start(m);
    speak(m, sentence);
    return speak(m, text);
}

// Marks through the real engine arrive in order, inside the audio, and
// leave the audio exactly as it is without them.
TEST(ReferenceModule, MarksFollowTheAudioWithoutChangingIt) {
    const std::string marked = R"(Hello <mark name="a"/>from quorlin. <mark name="b"/>This )"
                               R"(sentence was <mark name="c"/>spoken through the module.)"
                               R"(<mark name="d"/>)";
    for (bool streamed : {false, true}) {
        SCOPED_TRACE(streamed ? "streamed" : "stored");
        qtest::Parsed with = spoken_with_marks(marked, streamed);
        qtest::Parsed without = spoken_with_marks(sentence, streamed);
        EXPECT_TRUE(audio_bytes(with) == audio_bytes(without));
        std::vector<std::string> names;
        std::vector<size_t> places;
        size_t samples = 0;
        for (const auto &it : with.items) {
            if (it.is_audio) samples += it.payload.size() / 2;
            if (!it.is_audio && it.line.starts_with("700-")) {
                names.push_back(it.line.substr(4));
                places.push_back(samples);
            }
        }
        EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "c", "d"}));
        ASSERT_EQ(places.size(), 4u);
        EXPECT_GT(places[0], 0u);
        EXPECT_LT(places[0], places[1]);
        EXPECT_LT(places[1], places[2]);
        EXPECT_LE(places[2], places[3]);
        EXPECT_EQ(places[3], samples_of(with));
    }
}

TEST(ReferenceModule, HeadersCarryTheConfiguredRate) {
    struct Row {
        int code;
        int hz;
    };
    for (const Row &row : {Row{0, 8000}, Row{1, 11025}, Row{2, 22050}}) {
        SCOPED_TRACE(row.hz);
        TempFile config("CorvaneSampleRate " + std::to_string(row.code) + "\n");
        qtest::Child m(module({config.path()}));
        start(m);
        qtest::Parsed p = speak(m, sentence);
        std::vector<std::string> s = qtest::summary(p);
        ASSERT_GE(s.size(), 4u);
        EXPECT_EQ(s.front(), "202 OK RECEIVING MESSAGE");
        EXPECT_EQ(s[1], "200 OK SPEAKING");
        EXPECT_EQ(s[2], "701 BEGIN");
        EXPECT_EQ(s.back(), "702 END");
        for (const auto &it : p.items) {
            if (!it.is_audio) continue;
            EXPECT_EQ(it.sample_rate, row.hz);
            EXPECT_EQ(it.bits, 16);
            EXPECT_EQ(it.num_channels, 1);
            EXPECT_EQ(it.payload.size(), static_cast<size_t>(it.num_samples) * 2);
        }
        double secs = static_cast<double>(samples_of(p)) / row.hz;
        EXPECT_GT(secs, 2.0);
        EXPECT_LT(secs, 6.0);
        ASSERT_TRUE(m.write("QUIT\n"));
        EXPECT_EQ(m.wait_exit(), 0);
    }
}

TEST(ReferenceModule, HigherServerRateGivesShorterAudio) {
    qtest::Child m(module());
    start(m);
    size_t previous = SIZE_MAX;
    for (int rate : {-80, -30, 0, 40, 100}) {
        SCOPED_TRACE(rate);
        qtest::Parsed p = speak(m, sentence, "SET\nrate=" + std::to_string(rate) + "\n.\n");
        size_t n = samples_of(p);
        EXPECT_LT(n, previous);
        previous = n;
    }
    ASSERT_TRUE(m.write("QUIT\n"));
    EXPECT_EQ(m.wait_exit(), 0);
}

TEST(ReferenceModule, StopDuringAStreamEndsItAfterOneBlock) {
    for (const char *command : {"STOP", "PAUSE"}) {
        SCOPED_TRACE(command);
        qtest::Child m(module());
        start(m);
        // The command arrives while the engine synthesises; the first pass
        // between blocks executes it.
        qtest::Parsed p = speak(m, sentence, "");
        size_t whole = samples_of(p);
        size_t from = m.out().size();
        ASSERT_TRUE(m.write(speak_block(sentence) + command + "\n"));
        ASSERT_TRUE(m.wait_for_stdout("702 END\n", 20s, from));
        m.pump_for(200ms);
        qtest::Parsed cut = qtest::parse_protocol(std::string_view(m.out()).substr(from));
        EXPECT_EQ(qtest::summary(cut),
                  (std::vector<std::string>{"202 OK RECEIVING MESSAGE", "200 OK SPEAKING",
                                            "701 BEGIN", "705", "702 END"}));
        EXPECT_EQ(samples_of(cut), 5000u);
        // The next message is spoken whole.
        EXPECT_NEAR(static_cast<double>(samples_of(speak(m, sentence))), static_cast<double>(whole),
                    0.03 * static_cast<double>(whole));
        ASSERT_TRUE(m.write("QUIT\n"));
        EXPECT_EQ(m.wait_exit(), 0);
    }
}

TEST(ReferenceModule, ConfiguredDictionaryChangesTheSpeech) {
    TempFile good("cat hippopotamus rhinoceros crocodile\n");
    TempFile bad("cat\n");
    auto spoken = [](const std::string &config_text, const std::string &log) {
        TempFile config(config_text);
        qtest::Child m(module({config.path()}));
        start(m);
        size_t n = samples_of(speak(m, "The cat sat."));
        EXPECT_TRUE(m.write("QUIT\n"));
        EXPECT_EQ(m.wait_exit(), 0);
        EXPECT_NE(m.err().find(log), std::string::npos) << m.err();
        return n;
    };
    size_t plain = spoken("", "Set dictionary");
    EXPECT_GT(spoken("CorvaneMainDict " + std::string(good.path()) + "\n",
                     "Loaded main dictionary: " + std::string(good.path())),
              plain * 2);
    size_t refused = spoken("CorvaneMainDict " + std::string(bad.path()) + "\n",
                            "Failed to load main dictionary: " + std::string(bad.path()) +
                                " (error 3)");
    EXPECT_NEAR(static_cast<double>(refused), static_cast<double>(plain), 0.03 * static_cast<double>(plain));
}

// The first message of a module process started with `config_text`:
// every process starts eSpeak NG in the same state, so two processes with
// the same settings give the same audio.
std::string first_message(const std::string &config_text) {
    TempFile config(config_text);
    qtest::Child m(module({config.path()}));
    start(m);
    std::string audio = audio_bytes(speak(m, sentence));
    EXPECT_TRUE(m.write("QUIT\n"));
    EXPECT_EQ(m.wait_exit(), 0);
    return audio;
}

// A configured preset other than Wade is the one heard, and so are the
// voice parameters configured with it (the pitch range:
// the server's settings replace speed, pitch and volume at every
// message, and head size is not audible in this engine).
TEST(ReferenceModule, ConfiguredPresetSpeaksWithItsParameters) {
    const std::string wade = first_message("CorvaneDefaultVoice 0\n");
    const std::string flo = first_message("CorvaneDefaultVoice 1\n");
    const std::string flat_flo =
        first_message("CorvaneDefaultVoice 1\nCorvanePitchFluctuation 0\n");
    ASSERT_GT(flo.size(), 22050u * 2);  // at least a second of speech
    EXPECT_FALSE(flo == wade);
    EXPECT_FALSE(flat_flo == flo);
}

// Where eSpeak NG's own program is installed, the module's first message
// is exactly what it makes of the same text at the module's first
// settings (speed 50 = 175 words a minute, pitch 65, volume 90 = 100).
TEST(ReferenceModule, FirstMessageMatchesTheEspeakProgram) {
    if (access("/usr/bin/espeak-ng", X_OK) != 0) GTEST_SKIP() << "espeak-ng is not installed";
    qtest::Child m(module());
    start(m);
    std::string ours = audio_bytes(speak(m, sentence));
    ASSERT_TRUE(m.write("QUIT\n"));
    EXPECT_EQ(m.wait_exit(), 0);

    qtest::ChildOptions o;
    o.argv = {"/usr/bin/espeak-ng", "-v", "en-us", "-s", "175", "-p", "65", "-a", "100",
              "-z", "--stdout", sentence};
    o.through_emulator = false;
    qtest::Child cli(o);
    ASSERT_EQ(cli.wait_exit(), 0);
    ASSERT_GT(cli.out().size(), 44u);
    EXPECT_TRUE(cli.out().substr(44) == ours)
        << "module " << ours.size() << " bytes, espeak-ng " << cli.out().size() - 44;
}

// quorlin-say without the machine's installed configuration, so that
// what it sends does not depend on the machine.
qtest::ChildOptions say(std::vector<std::string> args) {
    qtest::ChildOptions o;
    o.argv = {QUORLIN_SAY_BIN, "-m", QUORLIN_BIN};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.env = {{"QUORLIN_SAY_SYSTEM_CONFIG", ""}};
    return o;
}

// The samples a --trace run of quorlin-say saw in its 705 blocks.
size_t traced_samples(const std::string &err) {
    size_t total = 0, at = 0;
    const std::string mark = "< 705 block: ";
    while ((at = err.find(mark, at)) != std::string::npos) {
        at += mark.size();
        total += std::stoul(err.substr(at));
    }
    return total;
}

TEST(QuorlinSay, WritesTheModulesAudioAsWav) {
    TempFile wav("", ".wav");
    qtest::Child run(say({"--trace", "-o", wav.path(), sentence}));
    ASSERT_EQ(run.wait_exit(), 0) << run.err();
    std::string w = read_file(wav.path());
    ASSERT_GE(w.size(), 44u);
    EXPECT_EQ(w.substr(0, 4), "RIFF");
    EXPECT_EQ(le32(w, 4), w.size() - 8);
    EXPECT_EQ(w.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(le32(w, 16), 16u);
    EXPECT_EQ(le16(w, 20), 1);  // PCM
    EXPECT_EQ(le16(w, 22), 1);  // mono
    EXPECT_EQ(le32(w, 24), 22050u);
    EXPECT_EQ(le32(w, 28), 44100u);
    EXPECT_EQ(le16(w, 32), 2);
    EXPECT_EQ(le16(w, 34), 16);
    EXPECT_EQ(w.substr(36, 4), "data");
    EXPECT_EQ(le32(w, 40), w.size() - 44);
    size_t traced = traced_samples(run.err());
    EXPECT_GT(traced, 22050u);
    EXPECT_EQ((w.size() - 44) / 2, traced);

    // The same text in a fresh module, read directly: the same samples,
    // and --raw gives them without the header.
    qtest::Child m(module());
    start(m);
    std::string direct = audio_bytes(speak(m, sentence));
    EXPECT_TRUE(w.substr(44) == direct);
    qtest::Child raw(say({"--raw", "-q", sentence}));
    ASSERT_EQ(raw.wait_exit(), 0) << raw.err();
    EXPECT_TRUE(raw.out() == direct);
}

TEST(QuorlinSay, SpeaksAFileMessageByMessage) {
    // A lone dot inside a paragraph must travel as text, not end the block.
    TempFile text("First paragraph,\n.\nstill the first.\n\n\n.second starts with a dot.\n\nThird.\n");
    TempFile wav("", ".wav");
    qtest::Child run(say({"--trace", "-f", text.path(), "-o", wav.path(), "-r", "30"}));
    ASSERT_EQ(run.wait_exit(), 0) << run.err();
    const std::string &err = run.err();
    EXPECT_NE(err.find("message 3 of 3"), std::string::npos);
    EXPECT_NE(err.find("> (data) ..\n"), std::string::npos);
    EXPECT_NE(err.find("> (data) ..second"), std::string::npos);
    EXPECT_NE(err.find("> rate=30"), std::string::npos);
    EXPECT_EQ(err.find("300 ERR"), std::string::npos);
    std::string w = read_file(wav.path());
    ASSERT_GE(w.size(), 44u);
    EXPECT_EQ((w.size() - 44) / 2, traced_samples(err));
}

// Streamed while eSpeak NG works, the first message of a process is the
// same speech, sample for sample, as the synchronous way makes; and a
// STOP after the first block of a long message ends it well before the
// engine would have finished.
TEST(ReferenceModule, StreamsTheSameSpeechAndStopsALongMessageEarly) {
    std::string whole;
    {
        qtest::Child m(module());
        start(m);
        whole = audio_bytes(speak(m, sentence));
        ASSERT_TRUE(m.write("QUIT\n"));
        EXPECT_EQ(m.wait_exit(), 0);
    }
    TempFile config("CorvaneStreaming 1\n");
    qtest::Child m(module({config.path()}));
    start(m);
    EXPECT_TRUE(audio_bytes(speak(m, sentence)) == whole);

    std::string long_text;
    for (int i = 0; i < 40; i++) long_text += std::string(sentence) + " ";
    size_t from = m.out().size();
    ASSERT_TRUE(m.write(speak_block(long_text)));
    ASSERT_TRUE(m.wait_for_stdout("705 AUDIO\n", 20s, from));
    ASSERT_TRUE(m.write("STOP\n"));
    ASSERT_TRUE(m.wait_for_stdout("702 END\n", 20s, from)) << m.err();
    qtest::Parsed p = qtest::parse_protocol(std::string_view(m.out()).substr(from));
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(qtest::summary(p).back(), "702 END");
    // The whole text is 40 times the sentence, over 150 s of speech.
    EXPECT_GT(samples_of(p), 0u);
    EXPECT_LT(samples_of(p), 40 * whole.size() / 2 / 4);
    ASSERT_TRUE(m.write("QUIT\n"));
    EXPECT_EQ(m.wait_exit(), 0);
}

TEST(QuorlinSay, FailuresEndWithAClearErrorAndStatus) {
    qtest::TempDir dir;
    const std::string empty_dir = dir.path() + "/no-data";
    ASSERT_EQ(mkdir(empty_dir.c_str(), 0700), 0);
    const std::string refused = dir.path() + "/refused.wav";
    const std::string no_engine = dir.path() + "/no-engine.wav";
    const std::string dies = dir.path() + "/dies.wav";
    struct Row {
        const char *name;
        std::vector<std::string> args;
        std::vector<std::pair<std::string, std::string>> env;
        int status;
        const char *says;
    };
    const Row rows[] = {
        {"message refused", {"--ssml", "-o", refused, "<b></b>"}, {}, 1,
         "nothing to speak in message 1"},
        {"engine cannot start", {"-o", no_engine, "hello"},
         {{"ESPEAK_DATA_PATH", empty_dir}}, 1, "could not start its engine"},
        {"module dies", {"-m", "/bin/false", "-o", dies, "hello"}, {}, 1,
         "exit status 1"},
        {"module missing", {"-m", "/nonexistent/quorlin", "hello"}, {}, 1, "cannot run"},
        {"rate out of range", {"-r", "101", "hello"}, {}, 2, "-100 to 100"},
        {"no text on standard input", {}, {}, 1, "standard input holds no text"},
        {"empty text", {""}, {}, 2, "the text is empty"},
        {"missing text file", {"-f", "/nonexistent/text"}, {}, 1, "cannot open"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        qtest::ChildOptions o = say(row.args);
        o.env.insert(o.env.end(), row.env.begin(), row.env.end());
        qtest::Child run(o);
        EXPECT_EQ(run.wait_exit(), row.status);
        EXPECT_NE(run.err().find(row.says), std::string::npos) << run.err();
    }
    // A failed run leaves no WAV file behind.
    EXPECT_NE(access(refused.c_str(), F_OK), 0);
    EXPECT_NE(access(dies.c_str(), F_OK), 0);
}

}  // namespace
