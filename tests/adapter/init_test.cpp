// SPDX-License-Identifier: BSD-2-Clause
// Engine creation at INIT and its release: the exact calls the module
// makes into the engine for each configuration, what it logs, and how a
// failing engine call ends the start.
#include <gtest/gtest.h>

#include <algorithm>

#include "module_harness.h"

namespace adapter_test {
namespace {

Lines init_prefix(int rate_set, int rate_read) {
    return {"eciNew",
            "eciRegisterCallback callback=set data=null",
            "eciSetOutputBuffer 20000",
            "eciSetParam eciSampleRate " + std::to_string(rate_set),
            "eciGetParam eciSampleRate -> " + std::to_string(rate_read)};
}

Lines concat(Lines a, const Lines &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Lines default_engine_params = {"eciSetParam eciPhrasePrediction 0",
                                     "eciSetParam eciDictionary 1"};

// True when every line of `want` appears in `have`, in this order.
bool in_order(const Lines &have, const Lines &want) {
    auto it = have.begin();
    for (auto &w : want) {
        it = std::find(it, have.end(), w);
        if (it == have.end()) return false;
        ++it;
    }
    return true;
}

struct InitCase {
    const char *name;
    std::optional<std::string> config;  // file contents; none: no argument
    Env env;
    Lines calls;        // the whole call log after a successful INIT
    Lines err_in_order; // stderr lines that must appear, in this order
};

class InitSequence : public ::testing::TestWithParam<InitCase> {};

TEST_P(InitSequence, CallsAndLogLines) {
    const InitCase &c = GetParam();
    Module m({c.env, c.config, std::nullopt});
    ASSERT_TRUE(m.handshake()) << m.child().err();
    EXPECT_EQ(m.child().out(),
              "299-Corvane TTS initialized successfully\n299 OK LOADED SUCCESSFULLY\n");
    EXPECT_EQ(m.engine_log(), c.calls);
    EXPECT_TRUE(in_order(m.stderr_lines(), c.err_in_order)) << m.child().err();
    EXPECT_EQ(m.child().wait_exit(), 255);
}

const InitCase init_cases[] = {
    {"NoConfigFile", std::nullopt, {}, concat(init_prefix(2, 2), default_engine_params),
     {"quorlin: loading config: (none)", "quorlin: initializing Corvane TTS",
      "quorlin: initialized, sample rate 22050 Hz", "quorlin: Set phrase prediction: 0",
      "quorlin: Set dictionary (abbreviations): config=0 eci=1"}},
    {"PresetVoiceGetsParametersThenIsCopied",
     "CorvaneDefaultVoice 3\nCorvaneSpeed 120\n",
     {},
     concat(concat(init_prefix(2, 2), {"eciSetVoiceParam 3 eciSpeed 120", "eciCopyVoice 3 0"}),
            default_engine_params),
     {"quorlin: Config: voice 3 (Male2)", "quorlin: Config: speed 120"}},
    {"VoiceZeroParametersGoStraightToSlotZero",
     "CorvaneBreathiness 5\nCorvaneRoughness 4\nCorvaneHeadSize 3\nCorvaneVolume 2\n"
     "CorvaneSpeed 1\nCorvanePitchFluctuation 0\nCorvanePitchBaseline 100\n",
     {},
     concat(concat(init_prefix(2, 2),
                   {"eciSetVoiceParam 0 eciPitchBaseline 100",
                    "eciSetVoiceParam 0 eciPitchFluctuation 0", "eciSetVoiceParam 0 eciSpeed 1",
                    "eciSetVoiceParam 0 eciVolume 2", "eciSetVoiceParam 0 eciHeadSize 3",
                    "eciSetVoiceParam 0 eciRoughness 4", "eciSetVoiceParam 0 eciBreathiness 5"}),
            default_engine_params),
     {}},
    {"EveryEngineParameter",
     "CorvaneRealWorldUnits 1\nCorvaneTextMode 2\nCorvaneNumberMode 3\nCorvaneDictionary 1\n"
     "CorvanePhrasePrediction 1\nCorvaneSampleRate 1\n",
     {},
     concat(init_prefix(1, 1),
            {"eciSetParam eciPhrasePrediction 1", "eciSetParam eciDictionary 0",
             "eciSetParam eciNumberMode 3", "eciSetParam eciTextMode 2",
             "eciSetParam eciRealWorldUnits 1"}),
     {"quorlin: initialized, sample rate 11025 Hz", "quorlin: Set phrase prediction: 1",
      "quorlin: Set dictionary (abbreviations): config=1 eci=0", "quorlin: Set number mode: 3",
      "quorlin: Set text mode: 2", "quorlin: Set real world units: 1"}},
    {"OnlyTheRootDictionary",
     "CorvaneRootDict /dicts/root.dic\n",
     {},
     concat(concat(init_prefix(2, 2), default_engine_params),
            {"eciNewDict", "eciLoadDict eciRootDict /dicts/root.dic", "eciSetDict"}),
     {"quorlin: Loaded root dictionary: /dicts/root.dic", "quorlin: Dictionary activated"}},
    {"AllDictionariesInVolumeOrder",
     "CorvaneAbbrevDict /d/abbv\nCorvaneRootDict /d/root\nCorvaneMainDict /d/main\n",
     {},
     concat(concat(init_prefix(2, 2), default_engine_params),
            {"eciNewDict", "eciLoadDict eciMainDict /d/main", "eciLoadDict eciRootDict /d/root",
             "eciLoadDict eciAbbvDict /d/abbv", "eciSetDict"}),
     {"quorlin: Loaded main dictionary: /d/main", "quorlin: Loaded root dictionary: /d/root",
      "quorlin: Loaded abbreviation dictionary: /d/abbv", "quorlin: Dictionary activated"}},
    {"EveryDictionaryLoadFailsYetTheSetIsActivated",
     "CorvaneMainDict /d/main\nCorvaneRootDict /d/root\nCorvaneAbbrevDict /d/abbv\n",
     {{"QUORLIN_FAKE_FAIL", "eciLoadDict"}, {"QUORLIN_FAKE_DICT_ERROR", "3"}},
     concat(concat(init_prefix(2, 2), default_engine_params),
            {"eciNewDict", "eciLoadDict eciMainDict /d/main FAIL 3",
             "eciLoadDict eciRootDict /d/root FAIL 3", "eciLoadDict eciAbbvDict /d/abbv FAIL 3",
             "eciSetDict"}),
     {"quorlin: Failed to load main dictionary: /d/main (error 3)",
      "quorlin: Failed to load root dictionary: /d/root (error 3)",
      "quorlin: Failed to load abbreviation dictionary: /d/abbv (error 3)",
      "quorlin: No dictionary loaded: the dictionary set is empty",
      "quorlin: Dictionary activated"}},
    {"OneFailedLoadDoesNotStopTheNext",
     "CorvaneMainDict /d/main\nCorvaneAbbrevDict /d/abbv\n",
     {{"QUORLIN_FAKE_FAIL", "eciLoadDict:main"}},
     concat(concat(init_prefix(2, 2), default_engine_params),
            {"eciNewDict", "eciLoadDict eciMainDict /d/main FAIL 6",
             "eciLoadDict eciAbbvDict /d/abbv", "eciSetDict"}),
     {"quorlin: Failed to load main dictionary: /d/main (error 6)",
      "quorlin: Loaded abbreviation dictionary: /d/abbv"}},
    {"NoDictionarySet",
     "CorvaneMainDict /d/main\n",
     {{"QUORLIN_FAKE_FAIL", "eciNewDict"}},
     concat(concat(init_prefix(2, 2), default_engine_params), {"eciNewDict FAIL"}),
     {"quorlin: Failed to create dictionary handle"}},
    {"ActivationFails",
     "CorvaneRootDict /d/root\n",
     {{"QUORLIN_FAKE_FAIL", "eciSetDict"}},
     concat(concat(init_prefix(2, 2), default_engine_params),
            {"eciNewDict", "eciLoadDict eciRootDict /d/root", "eciSetDict FAIL 6"}),
     {"quorlin: Failed to activate dictionary (error 6)"}},
    {"RateCodeZeroReadBack", std::nullopt, {{"QUORLIN_FAKE_RATE_CODE", "0"}},
     concat(init_prefix(2, 0), default_engine_params),
     {"quorlin: initialized, sample rate 8000 Hz"}},
    {"UnknownRateCodeIsTakenAs22050", "CorvaneSampleRate 0\n", {{"QUORLIN_FAKE_RATE_CODE", "7"}},
     concat(init_prefix(0, 7), default_engine_params),
     {"quorlin: initialized, sample rate 22050 Hz"}},
};

INSTANTIATE_TEST_SUITE_P(Adapter, InitSequence, ::testing::ValuesIn(init_cases),
                         CaseName());

struct FailedInitCase {
    const char *name;
    const char *fail;
    const char *message;
    Lines calls;
};

class FailedInit : public ::testing::TestWithParam<FailedInitCase> {};

// A failed creation leaves nothing behind: the 399 block, status 1, the
// instance deleted once, and the later close finds nothing to release.
TEST_P(FailedInit, ReportsAndReleases) {
    const FailedInitCase &c = GetParam();
    Module m({{{"QUORLIN_FAKE_FAIL", c.fail}}, std::nullopt, std::nullopt});
    EXPECT_FALSE(m.handshake());
    EXPECT_EQ(m.child().wait_exit(), 1);
    EXPECT_EQ(m.child().out(), std::string("399-") + c.message + "\n399 ERR CANT INIT MODULE\n");
    EXPECT_EQ(m.engine_log(), c.calls);
    EXPECT_EQ(m.count_stderr("quorlin: closing"), 1u) << m.child().err();
    EXPECT_EQ(m.count_stderr("quorlin: entering main loop"), 0u);
}

const FailedInitCase failed_init_cases[] = {
    {"NoInstance", "eciNew", "Failed to create ECI instance - check Corvane installation",
     {"eciNew FAIL"}},
    {"OutputBufferRefused", "eciSetOutputBuffer", "Failed to set ECI output buffer",
     {"eciNew", "eciRegisterCallback callback=set data=null", "eciSetOutputBuffer 20000 FAIL",
      "eciDelete"}},
};

INSTANTIATE_TEST_SUITE_P(Adapter, FailedInit, ::testing::ValuesIn(failed_init_cases),
                         CaseName());

TEST(AdapterClose, QuitReleasesDictionariesBeforeTheInstanceOnce) {
    Module m({{}, std::string("CorvaneRootDict /d/root\n"), std::nullopt});
    ASSERT_TRUE(m.handshake());
    size_t before = m.engine_log().size();
    size_t from = m.send("QUIT\n");
    EXPECT_EQ(m.child().wait_exit(), 0);
    EXPECT_EQ(m.summary_since(from), Lines{"210 OK QUIT"});
    EXPECT_EQ(m.engine_log(before), (Lines{"eciDeleteDict", "eciDelete"}));
    EXPECT_EQ(m.count_stderr("quorlin: closing"), 1u);
}

TEST(AdapterClose, EndOfInputReleasesOnceAfterTheLoopEnds) {
    Module m;
    ASSERT_TRUE(m.handshake());
    size_t before = m.engine_log().size();
    EXPECT_EQ(m.child().wait_exit(), 255);
    EXPECT_EQ(m.engine_log(before), Lines{"eciDelete"});
    EXPECT_TRUE(in_order(m.stderr_lines(), {"quorlin: entering main loop",
                                            "quorlin: broken pipe, exiting",
                                            "quorlin: closing"}))
        << m.child().err();
    EXPECT_EQ(m.count_stderr("quorlin: closing"), 1u);
}

}  // namespace
}  // namespace adapter_test
