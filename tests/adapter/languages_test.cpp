// SPDX-License-Identifier: BSD-2-Clause
// Languages and voices with CorvaneLanguages 1: what the server's
// language, voice and synthesis_voice choose, the voice list made from the
// installed dialects, and the engine calls that apply a choice at the
// start of a message, as the fake engine's call log shows them.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "module_harness.h"

namespace adapter_test {
namespace {

const char *const presets[] = {"Wade",  "Flo",     "Bobbie",  "Male2",
                               "Male3", "Female2", "Grandma", "Grandpa"};

const std::map<std::string, std::string> tag_of_value = {
    {"0x00010000", "en-US"}, {"0x00010001", "en-GB"}, {"0x00020000", "es-ES"},
    {"0x00020001", "es-MX"}, {"0x00030000", "fr-FR"}, {"0x00030001", "fr-CA"},
    {"0x00040000", "de-DE"}, {"0x00060000", "zh-CN"}, {"0x00060001", "zh-TW"},
    {"0x00070000", "pt-BR"}, {"0x000D0000", "nb-NO"}};

// Some dialects of some languages, so that a match must fall back: no
// de-DE, no fr-BE, no pt-PT.
const char *const some_dialects =
    "0x10000,0x10001,0x20000,0x20001,0x30000,0x30001,0x60000,0x60001,0x70000,0xD0000";

Module languages_module(const char *dialects, std::string config = "") {
    return Module({{{"QUORLIN_FAKE_SAMPLES", "0"}, {"QUORLIN_FAKE_LANGUAGES", dialects}},
                   "CorvaneLanguages 1\n" + config,
                   std::nullopt});
}

// The voice the engine speaks with, "Preset tag", from the whole call
// log: the dialect it started in or was last switched to, and the preset
// last copied into voice 0 (the configured `first` before any copy).
std::string speaking_voice(const Module &m, const char *first) {
    std::string tag = "?", preset = first;
    for (const auto &call : m.engine_log()) {
        const std::string get = "eciGetParam eciLanguageDialect -> ";
        const std::string set = "eciSetParam eciLanguageDialect ";
        if (call.starts_with(get)) tag = tag_of_value.at(call.substr(get.size()));
        if (call.starts_with(set) && call.size() == set.size() + 10)
            tag = tag_of_value.at(call.substr(set.size()));
        if (call.starts_with("eciCopyVoice ") && call.ends_with(" 0"))
            preset = presets[std::stoi(call.substr(13)) - 1];
    }
    return preset + " " + tag;
}

void set_and_speak(Module &m, const std::string &lines) {
    size_t from = m.send("SET\n" + lines + ".\n");
    ASSERT_TRUE(m.wait_for("203 OK SETTINGS RECEIVED\n", from));
    m.speak("SPEAK", "a");
}

struct ChoiceRow {
    const char *name;
    const char *settings;  // lines of one SET block, after the reset
    const char *speaks;    // "Preset tag" of the next message
    const char *logged;    // a stderr line the row adds, or ""
};

// Each row starts from Grandma en-US, set in the same block: the later
// line wins for its aspect, so a row sees only its own lines.
void run_rows(const ChoiceRow *rows, size_t count) {
    Module m = languages_module(some_dialects, "CorvaneDefaultVoice 6\n");
    ASSERT_TRUE(m.handshake());
    for (size_t i = 0; i < count; ++i) {
        const ChoiceRow &r = rows[i];
        SCOPED_TRACE(r.name);
        size_t logged_before = *r.logged ? m.count_stderr(r.logged) : 0;
        set_and_speak(m, std::string("synthesis_voice=Grandma en-US\n") + r.settings);
        EXPECT_EQ(speaking_voice(m, "Grandma"), r.speaks);
        if (*r.logged) {
            EXPECT_EQ(m.count_stderr(r.logged), logged_before + 1) << m.child().err();
        }
    }
}

TEST(AdapterLanguages, LanguageTagsChooseAnInstalledDialect) {
    const ChoiceRow rows[] = {
        {"RegionIgnoringCaseAndUnderscore", "language=EN_gb\n", "Grandma en-GB", ""},
        {"LanguageAloneKeepsTheDialectChosen", "language=en-GB\nlanguage=en\n", "Grandma en-GB",
         ""},
        {"LanguageAloneElseTheLowestDialect", "language=fr-CA\nlanguage=en\n", "Grandma en-US",
         ""},
        {"RegionNotInstalledGivesTheLowest", "language=fr-BE\n", "Grandma fr-FR", ""},
        {"LatinAmericaIsMexico", "language=es-419\n", "Grandma es-MX", ""},
        {"TraditionalScriptIsTaiwan", "language=zh-Hant\n", "Grandma zh-TW", ""},
        {"SimplifiedScriptIsChina", "language=zh-TW\nlanguage=zh-hans\n", "Grandma zh-CN", ""},
        {"RegionOverridesTheScript", "language=zh-Hant-CN\n", "Grandma zh-CN", ""},
        {"ExtensionIsNotARegion", "language=fr-x-ca\n", "Grandma fr-FR", ""},
        {"NynorskIsNorwegian", "language=nn_no\n", "Grandma nb-NO", ""},
        {"NotInstalledKeeps", "language=fr\nlanguage=de\n", "Grandma fr-FR",
         "quorlin: language de not available, keeping fr-FR"},
        {"LanguageNotListedKeeps", "language=eng\n", "Grandma en-US",
         "quorlin: language eng not available, keeping en-US"},
    };
    run_rows(rows, std::size(rows));
}

TEST(AdapterLanguages, VoiceAndSynthesisVoiceChooseAPreset) {
    const ChoiceRow rows[] = {
        {"ClassesAnyCase", "voice=MALE1\n", "Wade en-US", ""},
        {"ChildFemale", "voice=child_female\n", "Bobbie en-US", ""},
        {"ClassKeepsTheDialect", "language=fr\nvoice=Female1\n", "Flo fr-FR", ""},
        {"UnknownClassKeeps", "voice=male2\nvoice=robot\n", "Male2 en-US",
         "quorlin: voice robot not available, keeping Male2 en-US"},
        {"ListedNameGivesPresetAndDialect", "synthesis_voice=Flo fr-FR\n", "Flo fr-FR", ""},
        {"ListedNameIgnoringCaseAndUnderscore", "synthesis_voice=grandpa FR_ca\n",
         "Grandpa fr-CA", ""},
        {"BarePresetKeepsTheDialect", "language=pt\nsynthesis_voice=FLO\n", "Flo pt-BR", ""},
        {"LaterSettingWinsPerAspect", "synthesis_voice=Wade fr-CA\nlanguage=en-GB\nvoice=male3\n",
         "Male3 en-GB", ""},
        {"NameOfADialectNotInstalledKeeps", "synthesis_voice=Flo de-DE\n", "Grandma en-US",
         "quorlin: synthesis_voice Flo de-DE not available, keeping Grandma en-US"},
    };
    run_rows(rows, std::size(rows));
}

Lines voice_list(Module &m, const std::string &command,
                 const char *last = "200 OK VOICE LIST SENT\n") {
    size_t from = m.send(command);
    m.wait_for(last, from);
    return m.summary_since(from);
}

// The configured preset in the start dialect first, then every preset of
// every installed dialect in ascending order, that first one not again;
// a value the module does not know (an input form) and a repeat are
// left out, and the order the engine reports them in does not matter.
TEST(AdapterLanguages, VoiceListHoldsEveryPresetOfEveryInstalledDialect) {
    Module m = languages_module("0x40000,0x10000,0x00060100,0x30000,0x30000",
                                "CorvaneDefaultVoice 1\n");
    ASSERT_TRUE(m.handshake());
    Lines want = {"200-Flo en-US\ten-US\tnone"};
    for (const char *tag : {"en-US", "fr-FR", "de-DE"})
        for (const char *preset : presets)
            if (std::string(preset) + tag != "Floen-US")
                want.push_back(std::string("200-") + preset + " " + tag + "\t" + tag + "\tnone");
    want.push_back("200 OK VOICE LIST SENT");
    EXPECT_EQ(voice_list(m, "LIST VOICES\n"), want);
    EXPECT_EQ(voice_list(m, "LIST VOICES\n"), want);

    Lines french(want.begin() + 8, want.begin() + 16);
    french.push_back("200 OK VOICE LIST SENT");
    EXPECT_EQ(voice_list(m, "LIST VOICES FR\n"), french);
    EXPECT_EQ(voice_list(m, "LIST VOICES ja\n", "304 CANT LIST VOICES\n"),
              Lines{"304 CANT LIST VOICES"});
}

struct FallbackRow {
    const char *name;
    bool without_call;  // the library lacks eciGetAvailableLanguages
    const char *fail;   // QUORLIN_FAKE_FAIL
    const char *tag;    // the one dialect listed
    const char *logged;
};

// Without the engine's list of dialects the dialect in force is listed
// alone, and en-US where the engine cannot say which that is.
TEST(AdapterLanguages, VoiceListFallsBackToTheDialectInForce) {
    namespace fs = std::filesystem;
    const FallbackRow rows[] = {
        {"LibraryWithoutTheCall", true, "", "fr-FR",
         "quorlin: the engine library has no eciGetAvailableLanguages"},
        {"CallFails", false, "eciGetAvailableLanguages", "fr-FR",
         "quorlin: eciGetAvailableLanguages failed (error 128)"},
        {"DialectInForceUnknownToo", false, "eciGetAvailableLanguages,eciGetParam:dialect",
         "en-US", "quorlin: listing only en-US"},
    };
    for (const FallbackRow &r : rows) {
        SCOPED_TRACE(r.name);
        TempDir scratch;
        const std::string root = fs::canonical(scratch.path()).string();
        fs::create_directories(root + "/bin");
        fs::create_directories(root + "/lib");
        fs::copy_file(QUORLIN_FAKE_MODULE, root + "/bin/quorlin");
        fs::copy_file(r.without_call ? QUORLIN_FAKE_ENGINE_WITHOUT_LANGUAGES : QUORLIN_FAKE_ENGINE,
                      root + "/lib/libibmeci50.so");
        qtest::ChildOptions o = qtest::fake_module_options(
            root + "/bin/quorlin", {{"QUORLIN_FAKE_LANGUAGES", "0x30000,0x40000"},
                                    {"QUORLIN_FAKE_FAIL", r.fail}});
        o.argv.push_back(scratch.write("quorlin.conf", "CorvaneLanguages 1\n"));
        qtest::Child child(o);
        child.write("INIT\nLIST VOICES\n");
        ASSERT_TRUE(child.wait_for_stdout("200 OK VOICE LIST SENT\n")) << child.err();
        Lines want;
        for (const char *preset : presets)
            want.push_back(std::string("200-") + preset + " " + r.tag + "\t" + r.tag + "\tnone");
        want.push_back("200 OK VOICE LIST SENT");
        Lines got = qtest::summary(qtest::parse_protocol(child.out()));
        EXPECT_EQ(Lines(got.begin() + 2, got.end()), want);
        EXPECT_NE(child.err().find(std::string(r.logged) + "\n"), std::string::npos)
            << child.err();
    }
}

// The calls a message makes before its text, each SET block before it.
Lines calls_before_text(Module &m, const std::string &settings) {
    size_t log_from = m.engine_log().size();
    if (!settings.empty()) {
        size_t from = m.send("SET\n" + settings + ".\n");
        m.wait_for("203 OK SETTINGS RECEIVED\n", from);
    }
    m.speak("SPEAK", "a");
    Lines calls = m.engine_log(log_from);
    auto text = std::find_if(calls.begin(), calls.end(),
                             [](const std::string &c) { return c.starts_with("eciAddText"); });
    return Lines(calls.begin(), text);
}

const Lines current_settings = {"eciSetVoiceParam 0 eciSpeed 50",
                                "eciSetVoiceParam 0 eciPitchBaseline 65",
                                "eciSetVoiceParam 0 eciVolume 90"};

Lines then_settings(Lines calls) {
    calls.insert(calls.end(), current_settings.begin(), current_settings.end());
    return calls;
}

// A dialect is switched only when it changes, and back as any other;
// after a switch or a new preset, the preset is copied into voice 0 and
// the configured parameters go on it only when it is the configured one.
TEST(AdapterLanguages, ChoiceIsAppliedAtTheNextMessage) {
    Module m = languages_module("0x10000,0x30000,0x40000", "CorvaneDefaultVoice 1\n"
                                                           "CorvaneHeadSize 40\n");
    ASSERT_TRUE(m.handshake());
    const struct {
        const char *name;
        const char *settings;
        Lines calls;
    } steps[] = {
        {"NothingChosen", "", then_settings({})},
        {"Switch", "language=fr\n",
         then_settings({"eciSetParam eciLanguageDialect 0x00030000", "eciCopyVoice 2 0",
                        "eciSetVoiceParam 0 eciHeadSize 40"})},
        {"SameDialectAgain", "language=fr-FR\nsynthesis_voice=Flo\n", then_settings({})},
        {"OtherPresetWithoutTheConfiguredParameters", "voice=male2\n",
         then_settings({"eciCopyVoice 4 0"})},
        {"SwitchAndPresetAtOnce", "language=de\nvoice=female1\n",
         then_settings({"eciSetParam eciLanguageDialect 0x00040000", "eciCopyVoice 2 0",
                        "eciSetVoiceParam 0 eciHeadSize 40"})},
        {"SwitchBack", "language=en\n",
         then_settings({"eciSetParam eciLanguageDialect 0x00010000", "eciCopyVoice 2 0",
                        "eciSetVoiceParam 0 eciHeadSize 40"})},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(calls_before_text(m, s.settings), s.calls);
    }
}

// A dialect the engine refuses is asked for once: the message speaks in
// the dialect in force, and the next does not ask again.
TEST(AdapterLanguages, RefusedDialectIsAskedOnceAndSpeechGoesOn) {
    Module m({{{"QUORLIN_FAKE_LANGUAGES", "0x30000"},
               {"QUORLIN_FAKE_FAIL", "eciGetAvailableLanguages,eciGetParam:dialect"}},
              std::string("CorvaneLanguages 1\n"),
              std::nullopt});
    ASSERT_TRUE(m.handshake());
    EXPECT_EQ(calls_before_text(m, ""),
              then_settings({"eciSetParam eciLanguageDialect 0x00010000 NOT INSTALLED"}));
    size_t from = m.speak("SPEAK", "a");
    EXPECT_EQ(m.summary_since(from),
              (Lines{"202 OK RECEIVING MESSAGE", "200 OK SPEAKING", "701 BEGIN", "705", "702 END"}));
    EXPECT_EQ(calls_before_text(m, "language=en\n"), current_settings);
    EXPECT_EQ(m.count_stderr("quorlin: the engine cannot switch to en-US, speaking an unknown "
                             "dialect"),
              1u);
}

// The faithful text reaches the engine in the code page of the dialect
// that speaks it: a double-byte page holds the characters of its
// language, and one it lacks takes the Western fallbacks.
TEST(AdapterLanguages, TextIsInTheDialectsCodePage) {
    struct Row {
        const char *name;
        const char *language;
        const char *text;
        const char *hex;
    };
    const Row rows[] = {
        {"GBK", "zh-CN", "\xE4\xB8\xAD\xE6\x96\x87 ok", "D6D0CEC4206F6B"},
        {"Big5", "zh-TW", "\xE4\xB8\xAD\xE6\x96\x87", "A4A4A4E5"},
        {"a character Big5 lacks", "zh-TW", "\xE7\xAE\x80" "a", "2061"},
        {"Shift-JIS", "ja", "\xE6\x97\xA5\xE6\x9C\xAC", "93FA967B"},
        {"CP949", "ko", "\xED\x95\x9C\xEA\xB5\xAD", "C7D1B1B9"},
        {"Western: Windows-1252, an ideograph a blank", "en", "caf\xC3\xA9 \xE4\xB8\xAD x",
         "636166E920202078"},
        {"Polish in a Western dialect", "en", "\xC5\x81\xC3\xB3" "d\xC5\xBA", "4CF3647A"},
        {"French names", "fr", "\xF0\x9F\x91\x8D 1 \xE2\x82\xAC",
         "706F7563652076657273206C6520686175742031206575726F"},
        {"English names again", "en", "\xF0\x9F\x91\x8D", "7468756D6273207570"},
    };
    Module ascii = languages_module("0x10000");
    ASSERT_TRUE(ascii.handshake());
    EXPECT_EQ(ascii.count_stderr("quorlin: CorvaneLanguages 1 reads other languages best with "
                                 "CorvaneFaithfulText 1: the ASCII cleaning drops their letters"),
              1u);
    Module m({{{"QUORLIN_FAKE_SAMPLES", "0"},
               {"QUORLIN_FAKE_LANGUAGES", "0x10000,0x30000,0x60000,0x60001,0x80000,0xA0000"},
               {"QUORLIN_FAKE_TEXT_HEX", "1"}},
              std::string("CorvaneLanguages 1\nCorvaneFaithfulText 1\n"),
              std::nullopt});
    ASSERT_TRUE(m.handshake());
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        size_t from = m.send(std::string("SET\nlanguage=") + r.language + "\n.\n");
        ASSERT_TRUE(m.wait_for("203 OK SETTINGS RECEIVED\n", from));
        m.speak("SPEAK", r.text);
        const Lines log = m.engine_log();
        std::string last;
        for (const std::string &call : log)
            if (call.starts_with("eciAddText ")) last = call;
        EXPECT_EQ(last, std::string("eciAddText hex=") + r.hex);
    }
}

}  // namespace
}  // namespace adapter_test
