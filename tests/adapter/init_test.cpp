// SPDX-License-Identifier: BSD-2-Clause
// Engine creation at INIT and its release: the exact calls the module
// makes into the engine for each configuration, what it logs, how a
// failing engine call ends the start, and where the engine library is
// looked for and what a missing or unfit one answers.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

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
    // The engine numbers its presets from 1 and keeps them read-only:
    // voice k is copied from preset k + 1 first, and the parameters go
    // into slot 0 over it (the fake refuses a write into 1 to 8).
    {"FirstPresetAfterWadeIsCopiedThenGetsParameters",
     "CorvaneDefaultVoice 1\nCorvaneHeadSize 70\nCorvanePitchFluctuation 20\n",
     {},
     concat(concat(init_prefix(2, 2),
                   {"eciCopyVoice 2 0", "eciSetVoiceParam 0 eciPitchFluctuation 20",
                    "eciSetVoiceParam 0 eciHeadSize 70"}),
            default_engine_params),
     {"quorlin: Config: voice 1 (Flo)"}},
    {"PresetVoiceIsCopiedThenGetsParameters",
     "CorvaneDefaultVoice 3\nCorvaneSpeed 120\n",
     {},
     concat(concat(init_prefix(2, 2), {"eciCopyVoice 4 0", "eciSetVoiceParam 0 eciSpeed 120"}),
            default_engine_params),
     {"quorlin: Config: voice 3 (Male2)", "quorlin: Config: speed 120"}},
    {"LastPresetIsCopiedThenGetsParameters",
     "CorvaneDefaultVoice 7\nCorvaneBreathiness 9\nCorvaneRoughness 8\n",
     {},
     concat(concat(init_prefix(2, 2),
                   {"eciCopyVoice 8 0", "eciSetVoiceParam 0 eciRoughness 8",
                    "eciSetVoiceParam 0 eciBreathiness 9"}),
            default_engine_params),
     {"quorlin: Config: voice 7 (Grandpa)"}},
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

// The module copied into a scratch tree, scratch/bin/quorlin, so that
// nothing of the build tree is near it; lib/libibmeci50.so beside bin/
// is what a row puts there, and LD_LIBRARY_PATH is the row's alone.
struct LoadCase {
    const char *name;
    const char *engine;        // copied to lib/libibmeci50.so; null: none
    const char *contents;      // written there instead, when not null
    bool fake_on_search_path;  // LD_LIBRARY_PATH: the fake engine's folder
    const char *first_line;    // of the reply; "@" is the scratch folder
    const char *logged;        // a stderr line, "@" as above; "" for none
    int status;
};

class EngineLibrary : public ::testing::TestWithParam<LoadCase> {};

std::string with_folder(std::string text, const std::string &folder) {
    for (size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, folder);
    return text;
}

TEST_P(EngineLibrary, AnswersInit) {
    namespace fs = std::filesystem;
    const LoadCase &c = GetParam();
    if (c.engine != nullptr && *c.engine == '\0') GTEST_SKIP() << "no library of the other class";
    const bool finds_none = c.engine == nullptr && c.contents == nullptr && !c.fake_on_search_path;
    if (finds_none && dlopen("libibmeci50.so", RTLD_NOW) != nullptr)
        GTEST_SKIP() << "the system library path holds an engine library";
    TempDir scratch;
    const std::string root = fs::canonical(scratch.path()).string();
    fs::create_directory(root + "/bin");
    fs::copy_file(QUORLIN_FAKE_MODULE, root + "/bin/quorlin");
    if (c.engine != nullptr || c.contents != nullptr) fs::create_directory(root + "/lib");
    if (c.engine != nullptr) fs::copy_file(c.engine, root + "/lib/libibmeci50.so");
    if (c.contents != nullptr) std::ofstream(root + "/lib/libibmeci50.so") << c.contents;
    const std::string fake_lib = fs::canonical(QUORLIN_FAKE_ENGINE).parent_path().string();

    qtest::ChildOptions o = qtest::fake_module_options(root + "/bin/quorlin", {});
    o.unset_env.emplace_back("LD_LIBRARY_PATH");
    if (c.fake_on_search_path) o.env.emplace_back("LD_LIBRARY_PATH", fake_lib);
    qtest::Child child(o);
    child.write("INIT\n");
    const bool loaded = c.status != 1;
    child.wait_for_stdout(loaded ? "299 OK LOADED SUCCESSFULLY\n" : "399 ERR CANT INIT MODULE\n");
    EXPECT_EQ(child.wait_exit(), c.status);
    const std::string folder = c.fake_on_search_path ? fake_lib : root;
    EXPECT_EQ(child.out(), with_folder(c.first_line, root) + "\n" +
                               (loaded ? "299 OK LOADED SUCCESSFULLY\n399 ERR MODULE CLOSED\n"
                                       : "399 ERR CANT INIT MODULE\n"));
    if (*c.logged) {
        EXPECT_NE(child.err().find(with_folder(c.logged, folder)), std::string::npos)
            << child.err();
    }
}

constexpr const char *wrong_class_line =
    sizeof(void *) == 8
        ? "399-@/lib/libibmeci50.so: wrong ELF class: ELFCLASS32 (a 32-bit library; this module "
          "is 64-bit: the vendor's 32-bit library needs the 32-bit build of quorlin)"
        : "399-@/lib/libibmeci50.so: wrong ELF class: ELFCLASS64 (a 64-bit library; this module "
          "is 32-bit and needs a 32-bit engine library)";
constexpr const char *loaded_line = "299-Corvane TTS initialized successfully";

const LoadCase load_cases[] = {
    {"NoLibraryAnywhere", nullptr, nullptr, false,
     "399-libibmeci50.so: cannot open shared object file: No such file or directory (looked in "
     "@/lib and on the system library path)",
     "", 1},
    {"LibraryLacksCalls", QUORLIN_PARTIAL_ENGINE, nullptr, false,
     "399-@/lib/libibmeci50.so lacks eciInsertIndex, eciStop", "", 1},
    {"LibraryOfTheOtherClass", QUORLIN_OTHER_CLASS_ENGINE, nullptr, false, wrong_class_line, "", 1},
    // A broken library in lib/ is reported, not passed over for another.
    {"NotALibraryBesideAWorkingOne", nullptr, "not a library\n", true,
     "399-@/lib/libibmeci50.so: file too short", "", 1},
    {"PrivateLibrary", QUORLIN_FAKE_ENGINE, nullptr, false, loaded_line,
     "quorlin: engine library: @/lib/libibmeci50.so", 255},
    {"SystemSearchWithoutPrivateLibrary", nullptr, nullptr, true, loaded_line,
     "quorlin: engine library: @/libibmeci50.so", 255},
};

INSTANTIATE_TEST_SUITE_P(Adapter, EngineLibrary, ::testing::ValuesIn(load_cases), CaseName());

}  // namespace
}  // namespace adapter_test
