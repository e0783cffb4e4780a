// SPDX-License-Identifier: BSD-2-Clause
// The configuration file as the module reads it: for each file, the
// "quorlin: Config" lines on stderr and the engine calls that INIT makes
// with the values read.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

// The warnings about lines of the file that are not used as written.
Lines warnings(const Module &m) {
    Lines out;
    for (auto &l : m.stderr_lines())
        if (l.rfind("quorlin: config line ", 0) == 0) out.push_back(l);
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
    Lines warned;  // every "quorlin: config line ..." warning
};

class ConfigFile : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigFile, LogsAndApplies) {
    const ConfigCase &c = GetParam();
    Module m({{}, c.file, std::nullopt});
    ASSERT_TRUE(m.handshake()) << m.child().err();
    EXPECT_EQ(config_lines(m), c.logged);
    EXPECT_EQ(configured_calls(m), c.calls);
    EXPECT_EQ(warnings(m), c.warned);
    EXPECT_EQ(m.count_stderr("quorlin: Config file opened successfully"), 1u);
}

std::string line_of(const std::string &key, const std::string &value) {
    return "quorlin: Config line: key='" + key + "' value='" + value + "'";
}

std::string warning(int line, const std::string &text) {
    return "quorlin: config line " + std::to_string(line) + ": " + text;
}

const std::string long_path(70, 'p');
const std::string long_key = std::string(63, 'K') + "XY";
const std::string path_63 = "/" + std::string(62, 'q');

const ConfigCase config_cases[] = {
    {"KeysIgnoreCase", "corvanespeed 120\nCORVANEVOLUME 70\n",
     {line_of("corvanespeed", "120"), "quorlin: Config: speed 120",
      line_of("CORVANEVOLUME", "70"), "quorlin: Config: volume 70"},
     {"eciSetVoiceParam 0 eciSpeed 120", "eciSetVoiceParam 0 eciVolume 70", defaults_pp,
      defaults_dict},
     {}},
    {"RangeEndsAreAccepted", "CorvaneSpeed 250\nCorvanePitchBaseline 0\nCorvaneDefaultVoice 7\n",
     {line_of("CorvaneSpeed", "250"), "quorlin: Config: speed 250",
      line_of("CorvanePitchBaseline", "0"), "quorlin: Config: pitch baseline 0",
      line_of("CorvaneDefaultVoice", "7"), "quorlin: Config: voice 7 (Grandpa)"},
     {"eciCopyVoice 8 0", "eciSetVoiceParam 0 eciPitchBaseline 0",
      "eciSetVoiceParam 0 eciSpeed 250", defaults_pp, defaults_dict},
     {}},
    {"OutOfRangeChangesNothing",
     "CorvaneSpeed 251\nCorvaneSpeed -5\nCorvaneDefaultVoice 8\nCorvaneSampleRate 3\n"
     "CorvaneRealWorldUnits 2\nCorvaneDictionary -1\nCorvaneNumberMode -1\n",
     {line_of("CorvaneSpeed", "251"), line_of("CorvaneSpeed", "-5"),
      line_of("CorvaneDefaultVoice", "8"), line_of("CorvaneSampleRate", "3"),
      line_of("CorvaneRealWorldUnits", "2"), line_of("CorvaneDictionary", "-1"),
      line_of("CorvaneNumberMode", "-1")},
     {defaults_pp, defaults_dict},
     {warning(1, "CorvaneSpeed 251 out of range 0 to 250, ignored"),
      warning(2, "CorvaneSpeed -5 out of range 0 to 250, ignored"),
      warning(3, "CorvaneDefaultVoice 8 out of range 0 to 7, ignored"),
      warning(4, "CorvaneSampleRate 3 out of range 0 to 2, ignored"),
      warning(5, "CorvaneRealWorldUnits 2 out of range 0 or 1, ignored"),
      warning(6, "CorvaneDictionary -1 out of range 0 or 1, ignored"),
      warning(7, "CorvaneNumberMode -1 out of range 0 or more, ignored")}},
    {"WordsReadAsTheirLeadingNumber",
     "CorvaneVolume loud\nCorvaneHeadSize 80%\nCorvaneRoughness +7\ncorvanespeed -x\n",
     {line_of("CorvaneVolume", "loud"), "quorlin: Config: volume 0",
      line_of("CorvaneHeadSize", "80%"), "quorlin: Config: head size 80",
      line_of("CorvaneRoughness", "+7"), "quorlin: Config: roughness 7",
      line_of("corvanespeed", "-x"), "quorlin: Config: speed 0"},
     {"eciSetVoiceParam 0 eciSpeed 0", "eciSetVoiceParam 0 eciVolume 0",
      "eciSetVoiceParam 0 eciHeadSize 80", "eciSetVoiceParam 0 eciRoughness 7", defaults_pp,
      defaults_dict},
     {warning(1, "CorvaneVolume loud is not a number, read as 0"),
      warning(2, "CorvaneHeadSize 80% read as 80"),
      warning(4, "CorvaneSpeed -x is not a number, read as 0")}},
    {"ModesHaveNoUpperBoundAndSaturate",
     "CorvaneNumberMode 7\nCorvaneTextMode 99999999999\nCorvaneTextMode -99999999999\n",
     {line_of("CorvaneNumberMode", "7"), "quorlin: Config: number mode 7",
      line_of("CorvaneTextMode", "99999999999"), "quorlin: Config: text mode 2147483647",
      line_of("CorvaneTextMode", "-99999999999")},
     {defaults_pp, defaults_dict, "eciSetParam eciNumberMode 7",
      "eciSetParam eciTextMode 2147483647"},
     {warning(2, "CorvaneTextMode 99999999999 read as 2147483647"),
      warning(3, "CorvaneTextMode -99999999999 out of range 0 or more, ignored")}},
    {"SaturatedNumbersStayOutOfSmallRanges", "CorvaneSpeed 4294967396\nCorvaneVolume 4294967346\n",
     {line_of("CorvaneSpeed", "4294967396"), line_of("CorvaneVolume", "4294967346")},
     {defaults_pp, defaults_dict},
     {warning(1, "CorvaneSpeed 4294967396 out of range 0 to 250, ignored"),
      warning(2, "CorvaneVolume 4294967346 out of range 0 to 100, ignored")}},
    {"VoiceNameIsLogged", "CorvaneDefaultVoice 5\n",
     {line_of("CorvaneDefaultVoice", "5"), "quorlin: Config: voice 5 (Female2)"},
     {"eciCopyVoice 6 0", defaults_pp, defaults_dict},
     {}},
    {"PathStopsAtABlank", "CorvaneMainDict /d/my dict\n",
     {line_of("CorvaneMainDict", "/d/my"), "quorlin: Config: main dictionary /d/my"},
     {defaults_pp, defaults_dict, "eciNewDict", "eciLoadDict eciMainDict /d/my", "eciSetDict"},
     {warning(1, "CorvaneMainDict /d/my: words after the value ignored: dict")}},
    // A path is used whole or not at all: a cut one may name another file.
    {"WordsLongerThan63CharactersAreNotUsed",
     "CorvaneMainDict " + path_63 + "\nCorvaneRootDict " + long_path + "\n" + long_key + " 5\n",
     {line_of("CorvaneMainDict", path_63), "quorlin: Config: main dictionary " + path_63,
      line_of("CorvaneRootDict", long_path.substr(0, 63)), line_of(long_key.substr(0, 63), "XY")},
     {defaults_pp, defaults_dict, "eciNewDict", "eciLoadDict eciMainDict " + path_63,
      "eciSetDict"},
     {warning(2, "CorvaneRootDict value longer than the 63 characters kept, ignored"),
      warning(3, "unknown key " + long_key.substr(0, 63))}},
    {"LaterAcceptedLineWins", "CorvaneSpeed 100\nCorvaneSpeed 300\nCorvaneSpeed 120\nCorvaneSpeed 300\n",
     {line_of("CorvaneSpeed", "100"), "quorlin: Config: speed 100", line_of("CorvaneSpeed", "300"),
      line_of("CorvaneSpeed", "120"), "quorlin: Config: speed 120", line_of("CorvaneSpeed", "300")},
     {"eciSetVoiceParam 0 eciSpeed 120", defaults_pp, defaults_dict},
     {warning(2, "CorvaneSpeed 300 out of range 0 to 250, ignored"),
      warning(4, "CorvaneSpeed 300 out of range 0 to 250, ignored")}},
    {"CarriageReturnsReadAsBlanks", "CorvaneSpeed 120\r\n\r\nCorvaneAbbrevDict /d/a\r\n",
     {line_of("CorvaneSpeed", "120"), "quorlin: Config: speed 120",
      line_of("CorvaneAbbrevDict", "/d/a"), "quorlin: Config: abbreviation dictionary /d/a"},
     {"eciSetVoiceParam 0 eciSpeed 120", defaults_pp, defaults_dict, "eciNewDict",
      "eciLoadDict eciAbbvDict /d/a", "eciSetDict"},
     {}},
    {"CommentsBlankLinesAndLoneKeys",
     "# CorvaneSpeed 120\n   \t# CorvaneSpeed 130\n \t \n\nCorvaneSpeed\nCorvaneVolume 40 # soft\n"
     "Lonely\n",
     {line_of("CorvaneVolume", "40"), "quorlin: Config: volume 40"},
     {"eciSetVoiceParam 0 eciVolume 40", defaults_pp, defaults_dict},
     {warning(5, "CorvaneSpeed has no value, ignored"),
      warning(6, "CorvaneVolume 40: words after the value ignored: # soft"),
      warning(7, "unknown key Lonely")}},
    {"KeyJoinedToValueIsOneWord", "CorvaneSpeed=120\nCorvaneVolume= 5\n",
     {line_of("CorvaneVolume=", "5")},
     {defaults_pp, defaults_dict},
     {warning(1, "unknown key CorvaneSpeed=120"),
      warning(2, "unknown key CorvaneVolume=: did you mean CorvaneVolume?")}},
    {"UnknownKeysNameTheNearestKnownOne",
     "CorvaneLoudness 5\nSpeed 100\nCorvaneSpeeed 120\ncorvanevolum 50\nCorvaneHeadSzie 3\n"
     "CorvaneMaimDict /d/m\nCorvaneSpd 7\nCorvaneSp 7\n",
     {line_of("CorvaneLoudness", "5"), line_of("Speed", "100"), line_of("CorvaneSpeeed", "120"),
      line_of("corvanevolum", "50"), line_of("CorvaneHeadSzie", "3"),
      line_of("CorvaneMaimDict", "/d/m"), line_of("CorvaneSpd", "7"), line_of("CorvaneSp", "7")},
     {defaults_pp, defaults_dict},
     {warning(1, "unknown key CorvaneLoudness"), warning(2, "unknown key Speed"),
      warning(3, "unknown key CorvaneSpeeed: did you mean CorvaneSpeed?"),
      warning(4, "unknown key corvanevolum: did you mean CorvaneVolume?"),
      warning(5, "unknown key CorvaneHeadSzie: did you mean CorvaneHeadSize?"),
      warning(6, "unknown key CorvaneMaimDict: did you mean CorvaneMainDict?"),
      warning(7, "unknown key CorvaneSpd: did you mean CorvaneSpeed?"),
      warning(8, "unknown key CorvaneSp")}},
    // The rest of a line beyond the 255 bytes read is never a line of its
    // own; the line after it is read as usual.
    {"LongCommentHidesItsTail", "#" + std::string(254, ' ') + "CorvaneVolume 3\nCorvaneSpeed 90\n",
     {line_of("CorvaneSpeed", "90"), "quorlin: Config: speed 90"},
     {"eciSetVoiceParam 0 eciSpeed 90", defaults_pp, defaults_dict},
     {}},
    {"LongLineRestIsSkipped",
     "CorvaneVolume 10" + std::string(250, ' ') + "CorvaneSpeed 77\nCorvanePitchBaseline 9\n",
     {line_of("CorvaneVolume", "10"), "quorlin: Config: volume 10",
      line_of("CorvanePitchBaseline", "9"), "quorlin: Config: pitch baseline 9"},
     {"eciSetVoiceParam 0 eciPitchBaseline 9", "eciSetVoiceParam 0 eciVolume 10", defaults_pp,
      defaults_dict},
     {warning(1, "longer than 255 bytes, the rest is ignored")}},
    // Nothing is lost when the rest is blank, or when a value ends right
    // at the buffer's end with the line feed after it.
    {"LongLineWithNothingLost",
     "CorvaneVolume 10" + std::string(300, ' ') + "\r\nCorvaneSpeed 77\n" +
         std::string(229, ' ') + "CorvaneRootDict /d/rootdic\nCorvaneSpeed 78\n",
     {line_of("CorvaneVolume", "10"), "quorlin: Config: volume 10", line_of("CorvaneSpeed", "77"),
      "quorlin: Config: speed 77", line_of("CorvaneRootDict", "/d/rootdic"),
      "quorlin: Config: root dictionary /d/rootdic", line_of("CorvaneSpeed", "78"),
      "quorlin: Config: speed 78"},
     {"eciSetVoiceParam 0 eciSpeed 78", "eciSetVoiceParam 0 eciVolume 10", defaults_pp,
      defaults_dict, "eciNewDict", "eciLoadDict eciRootDict /d/rootdic", "eciSetDict"},
     {}},
    {"ValueCutByTheBufferIsNotUsed",
     std::string(200, ' ') + "CorvaneMainDict /d/" + std::string(50, 'm') + "\nCorvaneSpeed 5\n",
     {line_of("CorvaneSpeed", "5"), "quorlin: Config: speed 5"},
     {"eciSetVoiceParam 0 eciSpeed 5", defaults_pp, defaults_dict},
     {warning(1, "longer than 255 bytes, ignored")}},
    {"SwitchesAndPhrasePrediction",
     "CorvanePhrasePrediction 1\nCorvaneDictionary 1\nCorvaneRealWorldUnits 0\n",
     {line_of("CorvanePhrasePrediction", "1"), "quorlin: Config: phrase prediction 1",
      line_of("CorvaneDictionary", "1"), "quorlin: Config: dictionary (abbreviations) 1",
      line_of("CorvaneRealWorldUnits", "0"), "quorlin: Config: real world units 0"},
     {"eciSetParam eciPhrasePrediction 1", "eciSetParam eciDictionary 0",
      "eciSetParam eciRealWorldUnits 0"},
     {}},
    // The way of speaking is the adapter's own: no engine call.
    {"StreamingIsAZeroOrOneSwitch",
     "CorvaneStreaming 1\nCorvaneStreaming 2\ncorvanestreaming on\nCorvaneStreamng 0\n",
     {line_of("CorvaneStreaming", "1"), "quorlin: Config: streaming 1",
      line_of("CorvaneStreaming", "2"), line_of("corvanestreaming", "on"),
      "quorlin: Config: streaming 0", line_of("CorvaneStreamng", "0")},
     {defaults_pp, defaults_dict},
     {warning(2, "CorvaneStreaming 2 out of range 0 or 1, ignored"),
      warning(3, "CorvaneStreaming on is not a number, read as 0"),
      warning(4, "unknown key CorvaneStreamng: did you mean CorvaneStreaming?")}},
    // Index marks and faithful text change how messages are spoken, not
    // how the engine is set up: no engine call either.
    {"IndexMarksAndFaithfulTextAreZeroOrOneSwitches",
     "CorvaneIndexMarks 1\nCorvaneFaithfulText 1\ncorvaneindexmarks 2\nCorvaneFaithfulText -1\n"
     "CorvaneIndexMark 1\n",
     {line_of("CorvaneIndexMarks", "1"), "quorlin: Config: index marks 1",
      line_of("CorvaneFaithfulText", "1"), "quorlin: Config: faithful text 1",
      line_of("corvaneindexmarks", "2"), line_of("CorvaneFaithfulText", "-1"),
      line_of("CorvaneIndexMark", "1")},
     {defaults_pp, defaults_dict},
     {warning(3, "CorvaneIndexMarks 2 out of range 0 or 1, ignored"),
      warning(4, "CorvaneFaithfulText -1 out of range 0 or 1, ignored"),
      warning(5, "unknown key CorvaneIndexMark: did you mean CorvaneIndexMarks?")}},
    // Languages asks the engine at start which dialects it has.
    {"LanguagesIsAZeroOrOneSwitch", "CorvaneLanguages 2\ncorvanelanguages 1\n",
     {line_of("CorvaneLanguages", "2"), line_of("corvanelanguages", "1"),
      "quorlin: Config: languages 1"},
     {defaults_pp, defaults_dict, "eciGetAvailableLanguages 0 -> 1",
      "eciGetAvailableLanguages 1 -> 1", "eciGetParam eciLanguageDialect -> 0x00010000"},
     {warning(1, "CorvaneLanguages 2 out of range 0 or 1, ignored")}},
};

INSTANTIATE_TEST_SUITE_P(Adapter, ConfigFile, ::testing::ValuesIn(config_cases),
                         CaseName());

// What of a file is not used as written, each with its warning: numbers
// not read whole, words after the value, control bytes in what is logged,
// too many warnings, and a file beyond the first MiB read.
struct WarningCase {
    const char *name;
    std::string file;
    Lines logged;  // every "quorlin: Config..." line
    Lines warned;  // every warning about lines and the file
};

Lines warnings_and_summary(const Module &m) {
    Lines out;
    for (auto &l : m.stderr_lines())
        if (l.rfind("quorlin: config line ", 0) == 0 || l.rfind("quorlin: config file: ", 0) == 0)
            out.push_back(l);
    return out;
}

constexpr size_t mib = size_t{1} << 20;

// A comment line that brings the file to `size` bytes after `before`.
std::string pad_to(size_t size, const std::string &before) {
    return before + "#" + std::string(size - before.size() - 2, ' ') + "\n";
}

// `count` lines with an unknown key, and what the reader says of them.
std::string bad_lines(size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) out += "Bad 1\n";
    return out;
}

Lines bad_echoes(size_t count) { return Lines(count, line_of("Bad", "1")); }

Lines bad_warnings(size_t count) {
    Lines out;
    for (size_t i = 1; i <= count; ++i) out.push_back(warning(int(i), "unknown key Bad"));
    return out;
}

template <typename... L>
Lines joined(const L &...parts) {
    Lines out;
    (out.insert(out.end(), parts.begin(), parts.end()), ...);
    return out;
}

const std::string beyond = "beyond the first 1048576 bytes of the file, ignored with the rest";

const WarningCase warning_cases[] = {
    {"NumbersNotReadWhole",
     "CorvaneSpeed 0x10\nCorvaneSampleRate 1.9\nCorvaneStreaming 1x\nCorvaneVolume 300x\n"
     "CorvaneTextMode 007\n",
     {line_of("CorvaneSpeed", "0x10"), "quorlin: Config: speed 0",
      line_of("CorvaneSampleRate", "1.9"), "quorlin: Config: sample rate 1",
      line_of("CorvaneStreaming", "1x"), "quorlin: Config: streaming 1",
      line_of("CorvaneVolume", "300x"), line_of("CorvaneTextMode", "007"),
      "quorlin: Config: text mode 7"},
     {warning(1, "CorvaneSpeed 0x10 read as 0"), warning(2, "CorvaneSampleRate 1.9 read as 1"),
      warning(3, "CorvaneStreaming 1x read as 1"),
      warning(4, "CorvaneVolume 300x out of range 0 to 100, ignored")}},
    // Words after a value that is not used add nothing to its warning.
    {"WordsAfterTheValue",
     "CorvaneDefaultVoice 3 extra words \nCorvaneSpeed 0x10 fast\nCorvaneVolume 300 loud\n",
     {line_of("CorvaneDefaultVoice", "3"), "quorlin: Config: voice 3 (Male2)",
      line_of("CorvaneSpeed", "0x10"), "quorlin: Config: speed 0", line_of("CorvaneVolume", "300")},
     {warning(1, "CorvaneDefaultVoice 3: words after the value ignored: extra words"),
      warning(2, "CorvaneSpeed 0x10 read as 0"),
      warning(2, "CorvaneSpeed 0x10: words after the value ignored: fast"),
      warning(3, "CorvaneVolume 300 out of range 0 to 100, ignored")}},
    {"ControlBytesAreEscaped",
     "Corvane\x01Speed 5\nCorvaneMainDict /d/\x1b[31m\nCorvaneVolume 5\x7f a\tb\x02\n",
     {line_of("Corvane\\x01Speed", "5"), line_of("CorvaneMainDict", "/d/\\x1B[31m"),
      "quorlin: Config: main dictionary /d/\\x1B[31m", line_of("CorvaneVolume", "5\\x7F"),
      "quorlin: Config: volume 5"},
     {warning(1, "unknown key Corvane\\x01Speed: did you mean CorvaneSpeed?"),
      warning(3, "CorvaneVolume 5\\x7F read as 5"),
      warning(3, "CorvaneVolume 5\\x7F: words after the value ignored: a\tb\\x02")}},
    // Values are still used after the last warning written.
    {"AtMostAHundredWarnings", bad_lines(150) + "CorvaneSpeed 9\n",
     joined(bad_echoes(150), Lines{line_of("CorvaneSpeed", "9"), "quorlin: Config: speed 9"}),
     joined(bad_warnings(100), Lines{"quorlin: config file: 50 more line warnings left out"})},
    // A line the limit cuts is not used: its value may be cut too.
    {"LineAcrossTheFirstMiB",
     pad_to(mib - 5, "CorvaneSpeed 9\n") + "CorvaneVolume 50\nCorvaneRoughness 5\n",
     {line_of("CorvaneSpeed", "9"), "quorlin: Config: speed 9"},
     {warning(3, beyond)}},
    {"FirstMiBEndsWithALine", pad_to(mib, "CorvaneSpeed 9\n") + "CorvaneVolume 50\n",
     {line_of("CorvaneSpeed", "9"), "quorlin: Config: speed 9"},
     {warning(3, beyond)}},
    {"FileOfOneMiBIsReadWhole", pad_to(mib - 16, "") + "CorvaneVolume 50",
     {line_of("CorvaneVolume", "50"), "quorlin: Config: volume 50"},
     {}},
};

class ConfigWarnings : public ::testing::TestWithParam<WarningCase> {};

TEST_P(ConfigWarnings, NameWhatIsNotUsedAsWritten) {
    const WarningCase &c = GetParam();
    Module m({{}, c.file, std::nullopt});
    ASSERT_TRUE(m.handshake()) << m.child().err();
    EXPECT_EQ(config_lines(m), c.logged);
    EXPECT_EQ(warnings_and_summary(m), c.warned);
}

INSTANTIATE_TEST_SUITE_P(Adapter, ConfigWarnings, ::testing::ValuesIn(warning_cases), CaseName());

// A sparse file of 4 GiB is read as its first MiB: the handshake's
// deadline fails the test if the start waits for the rest.
TEST(AdapterConfig, HugeSparseFileStartsAtOnce) {
    TempDir dir;
    std::string path = dir.write("huge.conf", "CorvaneSpeed 9\n");
    int fd = open64(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int grown = ftruncate64(fd, off64_t{4} << 30);
    close(fd);
    if (grown != 0) GTEST_SKIP() << "no sparse file of 4 GiB here: " << strerror(errno);
    Module m({{}, std::nullopt, path});
    ASSERT_TRUE(m.handshake()) << m.child().err();
    EXPECT_EQ(configured_calls(m),
              (Lines{"eciSetVoiceParam 0 eciSpeed 9", defaults_pp, defaults_dict}));
    EXPECT_EQ(warnings_and_summary(m), Lines{warning(2, beyond)});
}

// Paths that are not plain files, as the configuration file or as a
// dictionary: each is refused or skipped at once, without blocking, and
// the start goes on. "{dir}" in a row stands for the scratch directory.
struct PathCase {
    const char *name;
    std::string (*make)(const TempDir &dir);  // returns the configuration path
    Env env;
    Lines logged;  // the lines about the file and the dictionaries
    Lines calls;   // engine calls after the rate is read back
};

std::string fifo_in(const TempDir &dir, const std::string &name) {
    std::string p = dir.path() + "/" + name;
    if (mkfifo(p.c_str(), 0600) != 0) ADD_FAILURE() << "mkfifo " << p;
    return p;
}

std::string with_dir(std::string s, const TempDir &dir) {
    for (size_t at; (at = s.find("{dir}")) != std::string::npos;) s.replace(at, 5, dir.path());
    return s;
}

Lines with_dir(const Lines &lines, const TempDir &dir) {
    Lines out;
    for (auto &l : lines) out.push_back(with_dir(l, dir));
    return out;
}

Lines file_lines(const Module &m) {
    const char *prefixes[] = {"quorlin: loading config", "quorlin: Could not open config",
                              "quorlin: Config file",    "quorlin: Skipped ",
                              "quorlin: Loaded ",        "quorlin: Failed to load ",
                              "quorlin: No dictionary",  "quorlin: Dictionary activated"};
    Lines out;
    for (auto &l : m.stderr_lines())
        for (const char *p : prefixes)
            if (l.rfind(p, 0) == 0) {
                out.push_back(l);
                break;
            }
    return out;
}

const std::string not_regular = "quorlin: Could not open config file: not a regular file";

const PathCase path_cases[] = {
    {"EndlessDeviceIsRefused", [](const TempDir &) { return std::string("/dev/zero"); }, {},
     {"quorlin: loading config: /dev/zero", not_regular},
     {defaults_pp, defaults_dict}},
    {"FifoIsRefusedWithoutWaiting", [](const TempDir &d) { return fifo_in(d, "conf.fifo"); }, {},
     {"quorlin: loading config: {dir}/conf.fifo", not_regular},
     {defaults_pp, defaults_dict}},
    {"DirectoryIsRefused", [](const TempDir &d) { return d.path(); }, {},
     {"quorlin: loading config: {dir}", not_regular},
     {defaults_pp, defaults_dict}},
    {"DictionaryFifoIsSkipped",
     [](const TempDir &d) {
         fifo_in(d, "main.fifo");
         d.write("root.dic", "word\tanswer\n");
         return d.write("q.conf", with_dir("CorvaneMainDict {dir}/main.fifo\n"
                                           "CorvaneRootDict {dir}/root.dic\n", d));
     },
     {},
     {"quorlin: loading config: {dir}/q.conf", "quorlin: Config file opened successfully",
      "quorlin: Skipped main dictionary: {dir}/main.fifo (not a regular file)",
      "quorlin: Loaded root dictionary: {dir}/root.dic", "quorlin: Dictionary activated"},
     {defaults_pp, defaults_dict, "eciNewDict", "eciLoadDict eciRootDict {dir}/root.dic",
      "eciSetDict"}},
    {"NothingLoadedIsReported",
     [](const TempDir &d) {
         fifo_in(d, "abbv.fifo");
         return d.write("q.conf", with_dir("CorvaneMainDict {dir}\n"
                                           "CorvaneAbbrevDict {dir}/abbv.fifo\n", d));
     },
     {},
     {"quorlin: loading config: {dir}/q.conf", "quorlin: Config file opened successfully",
      "quorlin: Skipped main dictionary: {dir} (not a regular file)",
      "quorlin: Skipped abbreviation dictionary: {dir}/abbv.fifo (not a regular file)",
      "quorlin: No dictionary loaded: the dictionary set is empty",
      "quorlin: Dictionary activated"},
     {defaults_pp, defaults_dict, "eciNewDict", "eciSetDict"}},
    {"EveryFailedLoadIsReported",
     [](const TempDir &d) { return d.write("q.conf", "CorvaneRootDict /d/root\n"); },
     {{"QUORLIN_FAKE_FAIL", "eciLoadDict"}},
     {"quorlin: loading config: {dir}/q.conf", "quorlin: Config file opened successfully",
      "quorlin: Failed to load root dictionary: /d/root (error 6)",
      "quorlin: No dictionary loaded: the dictionary set is empty",
      "quorlin: Dictionary activated"},
     {defaults_pp, defaults_dict, "eciNewDict", "eciLoadDict eciRootDict /d/root FAIL 6",
      "eciSetDict"}},
};

class ConfigPath : public ::testing::TestWithParam<PathCase> {};

TEST_P(ConfigPath, IsUsedOnlyWhenAPlainFile) {
    const PathCase &c = GetParam();
    TempDir dir;
    Module m({c.env, std::nullopt, c.make(dir)});
    // The handshake waits with a deadline: a start that blocks fails here.
    ASSERT_TRUE(m.handshake()) << m.child().err();
    EXPECT_EQ(file_lines(m), with_dir(c.logged, dir));
    EXPECT_EQ(configured_calls(m), with_dir(c.calls, dir));
}

INSTANTIATE_TEST_SUITE_P(Adapter, ConfigPath, ::testing::ValuesIn(path_cases), CaseName());

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
