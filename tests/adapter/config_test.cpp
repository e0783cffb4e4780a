// SPDX-License-Identifier: BSD-2-Clause
// The configuration file as the module reads it: for each file, the
// "quorlin: Config" lines on stderr and the engine calls that INIT makes
// with the values read.
#include <gtest/gtest.h>

#include <algorithm>

#include "module_harness.h"

namespace adapter_test {
namespace {

// The stderr lines about the file's lines and accepted values.
Lines config_lines(const Module &m) {
    Lines out;
    for (auto &l : m.stderr_lines())
        if (l.rfind("quorlin: Config line: ", 0) == 0 || l.rfind("quorlin: Config: ", 0) == 0)
            out.push_back(l);
    return out;
}

// The engine calls that depend on the file: everything after the sample
// rate has been read back.
Lines configured_calls(const Module &m) {
    Lines log = m.engine_log();
    auto it = std::find_if(log.begin(), log.end(),
                           [](auto &l) { return l.rfind("eciGetParam eciSampleRate", 0) == 0; });
    return it == log.end() ? Lines{"(no sample rate read)"} : Lines(it + 1, log.end());
}

const std::string defaults_pp = "eciSetParam eciPhrasePrediction 0";
const std::string defaults_dict = "eciSetParam eciDictionary 1";

struct ConfigCase {
    const char *name;
    std::string file;
    Lines logged;  // every "quorlin: Config..." line
    Lines calls;   // engine calls after the rate is read back
};

class ConfigFile : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigFile, LogsAndApplies) {
    const ConfigCase &c = GetParam();
    Module m({{}, c.file, std::nullopt});
    ASSERT_TRUE(m.handshake()) << m.child().err();
    EXPECT_EQ(config_lines(m), c.logged);
    EXPECT_EQ(configured_calls(m), c.calls);
    EXPECT_EQ(m.count_stderr("quorlin: Config file opened successfully"), 1u);
}

std::string line_of(const std::string &key, const std::string &value) {
    return "quorlin: Config line: key='" + key + "' value='" + value + "'";
}

const std::string long_path(70, 'p');
const std::string long_key = std::string(63, 'K') + "XY";

const ConfigCase config_cases[] = {
    {"KeysIgnoreCase", "corvanespeed 120\nCORVANEVOLUME 70\n",
     {line_of("corvanespeed", "120"), "quorlin: Config: speed 120",
      line_of("CORVANEVOLUME", "70"), "quorlin: Config: volume 70"},
     {"eciSetVoiceParam 0 eciSpeed 120", "eciSetVoiceParam 0 eciVolume 70", defaults_pp,
      defaults_dict}},
    {"RangeEndsAreAccepted", "CorvaneSpeed 250\nCorvanePitchBaseline 0\nCorvaneDefaultVoice 7\n",
     {line_of("CorvaneSpeed", "250"), "quorlin: Config: speed 250",
      line_of("CorvanePitchBaseline", "0"), "quorlin: Config: pitch baseline 0",
      line_of("CorvaneDefaultVoice", "7"), "quorlin: Config: voice 7 (Grandpa)"},
     {"eciSetVoiceParam 7 eciPitchBaseline 0", "eciSetVoiceParam 7 eciSpeed 250",
      "eciCopyVoice 7 0", defaults_pp, defaults_dict}},
    {"OutOfRangeChangesNothing",
     "CorvaneSpeed 251\nCorvaneSpeed -5\nCorvaneDefaultVoice 8\nCorvaneSampleRate 3\n"
     "CorvaneRealWorldUnits 2\nCorvaneDictionary -1\nCorvaneNumberMode -1\n",
     {line_of("CorvaneSpeed", "251"), line_of("CorvaneSpeed", "-5"),
      line_of("CorvaneDefaultVoice", "8"), line_of("CorvaneSampleRate", "3"),
      line_of("CorvaneRealWorldUnits", "2"), line_of("CorvaneDictionary", "-1"),
      line_of("CorvaneNumberMode", "-1")},
     {defaults_pp, defaults_dict}},
    {"WordsReadAsTheirLeadingNumber", "CorvaneVolume loud\nCorvaneHeadSize 80%\nCorvaneRoughness +7\n",
     {line_of("CorvaneVolume", "loud"), "quorlin: Config: volume 0",
      line_of("CorvaneHeadSize", "80%"), "quorlin: Config: head size 80",
      line_of("CorvaneRoughness", "+7"), "quorlin: Config: roughness 7"},
     {"eciSetVoiceParam 0 eciVolume 0", "eciSetVoiceParam 0 eciHeadSize 80",
      "eciSetVoiceParam 0 eciRoughness 7", defaults_pp, defaults_dict}},
    {"ModesHaveNoUpperBoundAndSaturate",
     "CorvaneNumberMode 7\nCorvaneTextMode 99999999999\nCorvaneTextMode -99999999999\n",
     {line_of("CorvaneNumberMode", "7"), "quorlin: Config: number mode 7",
      line_of("CorvaneTextMode", "99999999999"), "quorlin: Config: text mode 2147483647",
      line_of("CorvaneTextMode", "-99999999999")},
     {defaults_pp, defaults_dict, "eciSetParam eciNumberMode 7",
      "eciSetParam eciTextMode 2147483647"}},
    {"SaturatedNumbersStayOutOfSmallRanges", "CorvaneSpeed 4294967396\nCorvaneVolume 4294967346\n",
     {line_of("CorvaneSpeed", "4294967396"), line_of("CorvaneVolume", "4294967346")},
     {defaults_pp, defaults_dict}},
    {"VoiceNameIsLogged", "CorvaneDefaultVoice 5\n",
     {line_of("CorvaneDefaultVoice", "5"), "quorlin: Config: voice 5 (Female2)"},
     {"eciCopyVoice 5 0", defaults_pp, defaults_dict}},
    {"PathStopsAtABlank", "CorvaneMainDict /d/my dict\n",
     {line_of("CorvaneMainDict", "/d/my"), "quorlin: Config: main dictionary /d/my"},
     {defaults_pp, defaults_dict, "eciNewDict", "eciLoadDict eciMainDict /d/my", "eciSetDict"}},
    {"WordsAreCutAfter63Characters", "CorvaneRootDict " + long_path + "\n" + long_key + " 5\n",
     {line_of("CorvaneRootDict", long_path.substr(0, 63)),
      "quorlin: Config: root dictionary " + long_path.substr(0, 63),
      line_of(long_key.substr(0, 63), "XY")},
     {defaults_pp, defaults_dict, "eciNewDict",
      "eciLoadDict eciRootDict " + long_path.substr(0, 63), "eciSetDict"}},
    {"LaterAcceptedLineWins", "CorvaneSpeed 100\nCorvaneSpeed 300\nCorvaneSpeed 120\nCorvaneSpeed 300\n",
     {line_of("CorvaneSpeed", "100"), "quorlin: Config: speed 100", line_of("CorvaneSpeed", "300"),
      line_of("CorvaneSpeed", "120"), "quorlin: Config: speed 120", line_of("CorvaneSpeed", "300")},
     {"eciSetVoiceParam 0 eciSpeed 120", defaults_pp, defaults_dict}},
    {"CarriageReturnsReadAsBlanks", "CorvaneSpeed 120\r\n\r\nCorvaneAbbrevDict /d/a\r\n",
     {line_of("CorvaneSpeed", "120"), "quorlin: Config: speed 120",
      line_of("CorvaneAbbrevDict", "/d/a"), "quorlin: Config: abbreviation dictionary /d/a"},
     {"eciSetVoiceParam 0 eciSpeed 120", defaults_pp, defaults_dict, "eciNewDict",
      "eciLoadDict eciAbbvDict /d/a", "eciSetDict"}},
    {"CommentsBlankLinesAndLoneKeysAreSkipped",
     "# CorvaneSpeed 120\n   \t# CorvaneSpeed 130\n \t \n\nCorvaneSpeed\nCorvaneVolume 40 # soft\n",
     {line_of("CorvaneVolume", "40"), "quorlin: Config: volume 40"},
     {"eciSetVoiceParam 0 eciVolume 40", defaults_pp, defaults_dict}},
    {"KeyJoinedToValueIsOneWord", "CorvaneSpeed=120\nCorvaneVolume= 5\n",
     {line_of("CorvaneVolume=", "5")},
     {defaults_pp, defaults_dict}},
    {"UnknownKeysAreLoggedOnly", "CorvaneLoudness 5\nSpeed 100\n",
     {line_of("CorvaneLoudness", "5"), line_of("Speed", "100")},
     {defaults_pp, defaults_dict}},
    {"LongLineGoesOnAsALineOfItsOwn",
     "CorvaneVolume 10" + std::string(250, ' ') + "CorvaneSpeed 77\n",
     {line_of("CorvaneVolume", "10"), "quorlin: Config: volume 10", line_of("CorvaneSpeed", "77"),
      "quorlin: Config: speed 77"},
     {"eciSetVoiceParam 0 eciSpeed 77", "eciSetVoiceParam 0 eciVolume 10", defaults_pp,
      defaults_dict}},
    {"SwitchesAndPhrasePrediction",
     "CorvanePhrasePrediction 1\nCorvaneDictionary 1\nCorvaneRealWorldUnits 0\n",
     {line_of("CorvanePhrasePrediction", "1"), "quorlin: Config: phrase prediction 1",
      line_of("CorvaneDictionary", "1"), "quorlin: Config: dictionary (abbreviations) 1",
      line_of("CorvaneRealWorldUnits", "0"), "quorlin: Config: real world units 0"},
     {"eciSetParam eciPhrasePrediction 1", "eciSetParam eciDictionary 0",
      "eciSetParam eciRealWorldUnits 0"}},
};

INSTANTIATE_TEST_SUITE_P(Adapter, ConfigFile, ::testing::ValuesIn(config_cases),
                         CaseName());

TEST(AdapterConfig, UnopenableFileKeepsTheDefaults) {
    TempDir elsewhere;
    std::string missing = elsewhere.path() + "/missing.conf";
    Module m({{}, std::nullopt, missing});
    ASSERT_TRUE(m.handshake());
    EXPECT_EQ(m.count_stderr("quorlin: loading config: " + missing), 1u);
    EXPECT_EQ(m.count_stderr("quorlin: Could not open config file: No such file or directory"), 1u)
        << m.child().err();
    EXPECT_EQ(configured_calls(m), (Lines{defaults_pp, defaults_dict}));
}

TEST(AdapterConfig, SampleRateCodeReachesTheAudio) {
    Module m({{{"QUORLIN_FAKE_SAMPLES", "10"}}, std::string("CorvaneSampleRate 0\n"), std::nullopt});
    ASSERT_TRUE(m.handshake());
    EXPECT_EQ(m.count_stderr("quorlin: initialized, sample rate 8000 Hz"), 1u);
    auto p = m.parsed_since(m.speak("SPEAK", "hello"));
    ASSERT_EQ(count_blocks(p), 1u);
    for (auto &it : p.items) {
        if (it.is_audio) {
            EXPECT_EQ(it.sample_rate, 8000);
        }
    }
}

}  // namespace
}  // namespace adapter_test
