// SPDX-License-Identifier: BSD-2-Clause
// The adapter linked directly with the fake engine and a recording
// runtime, for the paths the real runtime cannot reach or cannot show:
// speaking without an engine, a stop that lands inside synthesis, hooks
// run while a track is in the writer's hands, and allocations that fail
// (through the fault-injection countdown).
#include <gtest/gtest.h>
#include <stdlib.h>

#if defined(__SANITIZE_ADDRESS__)
// From the AddressSanitizer runtime, which keeps its own heap; GCC does
// not install the header that declares it.
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#else
#include <malloc.h>
#endif

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "eci_corvane.h"
#include "fake_engine.h"
#include "fault_injection.h"
#include "nrv_module_main.h"
#include "quorlin_config.h"
#include "stub_runtime.h"

namespace {

namespace fault = qtest::fault;
using Lines = std::vector<std::string>;

struct CaseName {
    template <class Row>
    std::string operator()(const ::testing::TestParamInfo<Row> &row) const {
        return row.param.name;
    }
};

class AdapterUnit : public ::testing::Test {
protected:
    void SetUp() override {
        stub_runtime::reset();
        fault::reset();
        quorlin_fake_set_synthesis_hook(nullptr);
        log_path_ = (std::filesystem::temp_directory_path() /
                     ("quorlin-adapter-unit-" + std::to_string(getpid()) + ".log"))
                        .string();
        std::filesystem::remove(log_path_);
        setenv("QUORLIN_FAKE_LOG", log_path_.c_str(), 1);
        setenv("QUORLIN_FAKE_SAMPLES", "12500", 1);
        unsetenv("QUORLIN_FAKE_FAIL");
        unsetenv("QUORLIN_FAKE_CHUNK");
        unsetenv("QUORLIN_FAKE_PROBES");
    }
    void TearDown() override {
        module_close();
        quorlin_fake_set_synthesis_hook(nullptr);
        stub_runtime::reset();
        fault::reset();
        std::filesystem::remove(log_path_);
    }

    void init() {
        char *msg = nullptr;
        ASSERT_EQ(module_init(&msg), 0);
        free(msg);
        stub_runtime::events.clear();
    }

    Lines engine_log() const {
        std::ifstream f(log_path_);
        Lines lines;
        for (std::string l; std::getline(f, l);) lines.push_back(l);
        return lines;
    }

    static void speak(const char *text, NRVMessageType type = NRV_MSGTYPE_TEXT) {
        module_speak_sync(text, strlen(text), type);
    }

    static std::vector<int16_t> pattern(int message, long first, long count) {
        std::vector<int16_t> v;
        for (long i = first; i < first + count; i++) v.push_back(quorlin_fake_sample(message, i));
        return v;
    }

    std::string log_path_;
};

TEST_F(AdapterUnit, WithoutAnEngineOnly301) {
    module_should_stop = 1;
    testing::internal::CaptureStderr();
    speak("hello");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(stub_runtime::events, Lines{"301"});
    EXPECT_EQ(module_should_stop, 1);
    EXPECT_TRUE(engine_log().empty());
}

// Nothing in this single-threaded module can stop a message while the
// engine works, except the engine's own callers; a stop seen right after
// synthesis ends the message with 703 and no audio.
TEST_F(AdapterUnit, StopRequestedDuringSynthesisEndsWith703) {
    init();
    quorlin_fake_set_synthesis_hook([] { module_stop(); });
    speak("hello");
    EXPECT_EQ(stub_runtime::events, (Lines{"200", "701", "703"}));
    EXPECT_TRUE(stub_runtime::tracks.empty());
    Lines log = engine_log();
    EXPECT_NE(std::find(log.begin(), log.end(), "callback eciWaveformBuffer 12500 -> not processed"),
              log.end());

    quorlin_fake_set_synthesis_hook(nullptr);
    stub_runtime::events.clear();
    speak("again");
    EXPECT_EQ(stub_runtime::events, (Lines{"200", "701", "705", "702"}));
    ASSERT_EQ(stub_runtime::tracks.size(), 1u);
    EXPECT_EQ(stub_runtime::tracks[0].samples, pattern(2, 0, 12500));
}

// QUIT between two blocks closes the adapter while the writer still
// reads the track: the engine goes, the samples stay until the writer is
// done, and a later close releases them.
TEST_F(AdapterUnit, CloseWhileStreamingKeepsTheTrackValid) {
    init();
    stub_runtime::during_stream = [] { EXPECT_EQ(module_close(), 0); };
    speak("hello");
    EXPECT_EQ(stub_runtime::events, (Lines{"200", "701", "705", "702"}));
    ASSERT_EQ(stub_runtime::tracks.size(), 1u);
    EXPECT_EQ(stub_runtime::tracks[0].samples, pattern(1, 0, 12500));
    EXPECT_EQ(engine_log().back(), "eciDelete");

    stub_runtime::during_stream = nullptr;
    stub_runtime::events.clear();
    speak("hello");
    EXPECT_EQ(stub_runtime::events, Lines{"301"});
    init();
    speak("hello");
    EXPECT_EQ(stub_runtime::events, (Lines{"200", "701", "705", "702"}));
}

TEST_F(AdapterUnit, MessageWhileStreamingIsRefusedAndLeavesTheTrack) {
    init();
    stub_runtime::during_stream = [] {
        speak("second");
        speak(" ", NRV_MSGTYPE_KEY);
    };
    speak("first");
    EXPECT_EQ(stub_runtime::events, (Lines{"200", "701", "705", "301", "301", "702"}));
    ASSERT_EQ(stub_runtime::tracks.size(), 1u);
    EXPECT_EQ(stub_runtime::tracks[0].samples, pattern(1, 0, 12500));
    Lines log = engine_log();
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](auto &l) { return l.rfind("eciAddText", 0) == 0; }),
              1);
}

// The runtime's stop flag is the runtime's: a message refused while a
// stream is in the writer's hands leaves it as the runtime set it, also
// after a stop request that reached the adapter.
TEST_F(AdapterUnit, RefusedMessageLeavesTheStopFlagToTheRuntime) {
    init();
    for (int flag : {0, 1}) {
        SCOPED_TRACE(flag);
        stub_runtime::events.clear();
        stub_runtime::during_stream = [flag] {
            module_stop();
            module_should_stop = flag;
            speak("second");
            EXPECT_EQ(module_should_stop, flag);
        };
        speak("first");
        EXPECT_EQ(stub_runtime::events, (Lines{"200", "701", "705", "301", "702"}));
    }
}

struct GrowthCase {
    const char *name;
    const char *samples;  // QUORLIN_FAKE_SAMPLES
    const char *chunk;    // QUORLIN_FAKE_CHUNK
    long kept;            // samples of the last message that reach the writer
    size_t callbacks;     // callbacks the engine made for that message
};

// GoogleTest prints a row by its name, not as bytes.
void PrintTo(const GrowthCase &c, std::ostream *os) { *os << c.name; }

class FailedGrowth : public AdapterUnit, public ::testing::WithParamInterface<GrowthCase> {};

// When the accumulator cannot grow, the new samples are dropped, the
// callback refuses the rest and says so once, what was collected before
// stays intact and is streamed, and the message ends as usual.
TEST_P(FailedGrowth, DropsOnlyTheNewSamples) {
    const GrowthCase &c = GetParam();
    setenv("QUORLIN_FAKE_SAMPLES", c.samples, 1);
    setenv("QUORLIN_FAKE_CHUNK", c.chunk, 1);
    init();
    speak("warm up");
    stub_runtime::events.clear();
    stub_runtime::tracks.clear();
    size_t log_from = engine_log().size();
    fault::fail_from(fault::call::realloc, 1);
    testing::internal::CaptureStderr();
    speak("hello");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "quorlin: Speaking: hello\nquorlin: out of memory: speech cut after " +
                  std::to_string(c.kept) + " samples\n");
    fault::disarm(fault::call::realloc);
    Lines all = engine_log();
    Lines calls(all.begin() + static_cast<std::ptrdiff_t>(log_from), all.end());
    EXPECT_EQ(static_cast<size_t>(std::count_if(calls.begin(), calls.end(), [](auto &l) {
                  return l.rfind("callback", 0) == 0;
              })),
              c.callbacks);
    // The engine ran out of the message by itself and was told to stop
    // once it had returned, never from inside its callback.
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[calls.size() - 2], "eciSynchronize");
    EXPECT_EQ(calls.back(), "eciStop");
    if (c.kept == 0) {
        EXPECT_EQ(stub_runtime::events, (Lines{"200", "701", "702"}));
    } else {
        EXPECT_EQ(stub_runtime::events, (Lines{"200", "701", "705", "702"}));
        ASSERT_EQ(stub_runtime::tracks.size(), 1u);
        EXPECT_EQ(stub_runtime::tracks[0].samples, pattern(2, 0, c.kept));
    }
    Lines log = engine_log();
    EXPECT_EQ(log[log.size() - 3].find("-> not processed") != std::string::npos, true)
        << log[log.size() - 3];
    stub_runtime::tracks.clear();
    speak("after");
    ASSERT_EQ(stub_runtime::tracks.size(), 1u);
    EXPECT_EQ(stub_runtime::tracks[0].samples.size(), 3u);
}

const GrowthCase growth_cases[] = {
    // 100 samples leave room for 20100: the first 20000 of the next
    // message fit, the 10000 after them need a larger block.
    {"SecondCallbackCannotGrow", "100,30000,3", "20000", 20000, 2},
    // A message without samples leaves the accumulator empty: the first
    // callback of the next one already needs a block.
    {"FirstCallbackCannotGrow", "0,25000,3", "20000", 0, 1},
    // Small callbacks: the 21st of 100 finds the block full, and the
    // engine makes no further one.
    {"SynthesisStopsAtTheFullBlock", "100,100000,3", "1000", 20000, 21},
};

INSTANTIATE_TEST_SUITE_P(Adapter, FailedGrowth, ::testing::ValuesIn(growth_cases),
                         CaseName());

// Bytes the allocator has handed out and not got back.
size_t heap_in_use() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
#endif
}

// A message of over a minute leaves a store of at most one minute of
// speech behind (22050 Hz, 2 bytes a sample), and the next messages,
// short and long, are still collected whole.
TEST_F(AdapterUnit, LongMessageReleasesItsStore) {
    const long minute_bytes = 60L * 22050 * 2;
    setenv("QUORLIN_FAKE_SAMPLES", "2000000,1000,2000000", 1);
    init();
    const size_t before = heap_in_use();
    const long counts[] = {2000000, 1000, 2000000};
    for (int message = 1; message <= 3; message++) {
        SCOPED_TRACE(message);
        speak("hello");
        ASSERT_EQ(stub_runtime::tracks.size(), 1u);
        EXPECT_EQ(stub_runtime::tracks[0].samples, pattern(message, 0, counts[message - 1]));
        stub_runtime::tracks.clear();
        const long kept = static_cast<long>(heap_in_use()) - static_cast<long>(before);
        EXPECT_LE(kept, minute_bytes + 128 * 1024);
    }
}

// An engine that reports impossible sample counts is told about each,
// and logged once per message.
TEST_F(AdapterUnit, RefusedCountsAreLoggedOncePerMessage) {
    setenv("QUORLIN_FAKE_SAMPLES", "100", 1);
    setenv("QUORLIN_FAKE_PROBES", "0:-7,0:20001,0:-1", 1);
    init();
    for (int message = 1; message <= 2; message++) {
        SCOPED_TRACE(message);
        testing::internal::CaptureStderr();
        speak("hello");
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "quorlin: Speaking: hello\nquorlin: engine reported -7 samples, ignored\n");
        EXPECT_EQ(stub_runtime::tracks.back().samples, pattern(message, 0, 100));
    }
    Lines log = engine_log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "callback eciWaveformBuffer 20001 -> not processed"),
              2);
}

// Messages streamed while the engine synthesises (CorvaneStreaming 1).
class StreamedUnit : public AdapterUnit {
protected:
    void SetUp() override {
        AdapterUnit::SetUp();
        quorlin::config_streaming = 1;
    }
    void TearDown() override {
        AdapterUnit::TearDown();
        quorlin::config_streaming = 0;
    }
};

// A stop that reaches the engine before any block: no audio and 703, as
// after a synchronous synthesis.
TEST_F(StreamedUnit, StopBeforeTheFirstBlockEndsWith703) {
    init();
    quorlin_fake_set_synthesis_hook([] { module_stop(); });
    speak("hello");
    EXPECT_EQ(stub_runtime::events, (Lines{"200", "701", "703"}));
    EXPECT_TRUE(stub_runtime::tracks.empty());
}

TEST_F(AdapterUnit, CloseIsSafeBeforeInitAndTwice) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(module_close(), 0);
    EXPECT_EQ(module_close(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "quorlin: closing\nquorlin: closing\n");
    EXPECT_TRUE(engine_log().empty());
}

TEST_F(AdapterUnit, InitSelectsServerAudioEvenWhenItFails) {
    setenv("QUORLIN_FAKE_FAIL", "eciNew", 1);
    char *msg = nullptr;
    EXPECT_EQ(module_init(&msg), -1);
    ASSERT_NE(msg, nullptr);
    EXPECT_STREQ(msg, "Failed to create ECI instance - check Corvane installation");
    free(msg);
    EXPECT_EQ(audio_server, 1);
}

// A message that cannot be copied is handed over as null, for which the
// process entry writes its default text; init itself ends as it would
// have, and a created engine speaks.
TEST_F(AdapterUnit, InitMessageThatCannotBeCopiedIsNull) {
    const struct {
        const char *name;
        const char *engine_fails;  // QUORLIN_FAKE_FAIL, or unset
        int result;
    } rows[] = {
        {"engine created", nullptr, 0},
        {"engine not created", "eciNew", -1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        if (row.engine_fails != nullptr) setenv("QUORLIN_FAKE_FAIL", row.engine_fails, 1);
        char *msg = nullptr;
        fault::fail_from(fault::call::strdup, 1);
        EXPECT_EQ(module_init(&msg), row.result);
        fault::disarm(fault::call::strdup);
        EXPECT_EQ(msg, nullptr);
        EXPECT_EQ(fault::counted(fault::call::strdup).failed, 1u);
        if (row.result == 0) {
            stub_runtime::events.clear();
            speak("hello");
            EXPECT_EQ(stub_runtime::events, (Lines{"200", "701", "705", "702"}));
        }
        module_close();
    }
}

// Releases a list of one voice, as the runtime releases every list.
void free_voice_list(NRVVoice **list) {
    for (NRVVoice **v = list; *v != nullptr; ++v) {
        for (char *field : {(*v)->name, (*v)->language, (*v)->variant}) free(field);
        free(*v);
    }
    free(list);
}

// One allocation of the voice list failing: which, and its count.
struct voice_fault {
    const char *name;
    fault::call call;
    unsigned long nth;
};

// For each row, the voice list with that allocation failing is no list,
// and everything allocated for it is freed.
template <size_t N>
void expect_no_voice_list(const voice_fault (&rows)[N]) {
    for (const voice_fault &row : rows) {
        SCOPED_TRACE(row.name);
        // Both counted, the one of the row failing its n-th call.
        fault::fail_nth(fault::call::malloc, row.call == fault::call::malloc ? row.nth : 0);
        fault::fail_nth(fault::call::strdup, row.call == fault::call::strdup ? row.nth : 0);
        NRVVoice **list = module_list_voices();
        fault::disarm(fault::call::malloc);
        fault::disarm(fault::call::strdup);
        EXPECT_EQ(list, nullptr);
        const size_t made = fault::counted(fault::call::malloc).succeeded +
                            fault::counted(fault::call::strdup).succeeded;
        EXPECT_EQ(fault::frees(), made);
        if (list != nullptr) free_voice_list(list);
    }
}

// A voice list without memory for any of its parts is no list, with
// nothing left allocated: a voice with a field missing would be listed
// wrongly (a null language reads as "none").
TEST_F(AdapterUnit, VoiceListWithoutMemory) {
    const voice_fault rows[] = {
        {"array", fault::call::malloc, 1}, {"record", fault::call::malloc, 2},
        {"name", fault::call::strdup, 1},  {"language", fault::call::strdup, 2},
        {"variant", fault::call::strdup, 3},
    };
    expect_no_voice_list(rows);
    NRVVoice **whole = module_list_voices();
    ASSERT_NE(whole, nullptr);
    EXPECT_STREQ(whole[0]->language, "en-US");
    free_voice_list(whole);
}

// With the engine linked in, its own eciGetAvailableLanguages gives the
// dialects. A list of them that cannot be had whole is no list, with
// nothing left allocated: the array, a record or a string of any voice.
TEST_F(AdapterUnit, DialectVoiceListFromTheLinkedEngineWithoutMemory) {
    setenv("QUORLIN_FAKE_LANGUAGES", "0x30000,0x10000", 1);
    quorlin::config_languages = 1;
    init();
    // Voice i (from 0) takes malloc 2 + 2i (record) and 3 + 2i (name),
    // strdup 1 + 2i (language) and 2 + 2i (variant), after the array.
    const voice_fault rows[] = {
        {"array", fault::call::malloc, 1},
        {"last name", fault::call::malloc, 33},
        {"a language", fault::call::strdup, 11},
    };
    expect_no_voice_list(rows);
    NRVVoice **whole = module_list_voices();
    quorlin::config_languages = 0;
    unsetenv("QUORLIN_FAKE_LANGUAGES");
    ASSERT_NE(whole, nullptr);
    size_t count = 0;
    while (whole[count] != nullptr) ++count;
    EXPECT_EQ(count, 16u);
    EXPECT_STREQ(whole[0]->name, "Wade en-US");
    EXPECT_STREQ(whole[15]->name, "Grandpa fr-FR");
    free_voice_list(whole);
}

// The fake engine holds the module to the engine's code pages: text that
// ends on the lead byte of a double-byte character is flagged, and a
// dialect not installed is refused with -1, keeping the one in force.
TEST_F(AdapterUnit, FakeEngineChecksDialectsAndDoubleByteText) {
    setenv("QUORLIN_FAKE_LANGUAGES", "0x10000,0x60000,0x80000", 1);
    setenv("QUORLIN_FAKE_TEXT_HEX", "1", 1);
    ECIHand h = eciNew();
    const struct {
        int dialect;
        const char *text;
        const char *logged;
    } rows[] = {
        {0x10000, "\xB0", "eciAddText hex=B0"},
        {0x60000, "\xB0\xA1", "eciAddText hex=B0A1"},
        {0x60000, "\xB0\xA1\xB0", "eciAddText hex=B0A1B0 SPLIT CHARACTER"},
        {0x80000, "\xB1", "eciAddText hex=B1"},
        {0x80000, "a\x82", "eciAddText hex=6182 SPLIT CHARACTER"},
        {0x40000, "\x82", "eciAddText hex=82 SPLIT CHARACTER"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.logged);
        bool installed = row.dialect != 0x40000;
        EXPECT_EQ(eciSetParam(h, eciLanguageDialect, row.dialect) == -1, !installed);
        eciAddText(h, row.text);
        EXPECT_EQ(engine_log().back(), row.logged);
    }
    eciDelete(h);
    unsetenv("QUORLIN_FAKE_LANGUAGES");
    unsetenv("QUORLIN_FAKE_TEXT_HEX");
}

TEST_F(AdapterUnit, LoopLogsOnlyWhenInputFailed) {
    const struct {
        int result;
        const char *err;
    } cases[] = {{0, "quorlin: entering main loop\n"},
                 {-1, "quorlin: entering main loop\nquorlin: broken pipe, exiting\n"}};
    for (auto &c : cases) {
        stub_runtime::process_result = c.result;
        testing::internal::CaptureStderr();
        EXPECT_EQ(module_loop(), c.result);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    }
}

// The module speaks synchronously only, and leaves audio to the server.
TEST_F(AdapterUnit, NoAsynchronousSpeechAndServerAudio) {
    EXPECT_EQ(module_speak("hello", 5, NRV_MSGTYPE_TEXT), -1);
    char *status = nullptr;
    EXPECT_EQ(module_audio_init(&status), 0);
    ASSERT_NE(status, nullptr);
    EXPECT_STREQ(status, "Using server audio");
    free(status);
}

}  // namespace
