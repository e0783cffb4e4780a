// SPDX-License-Identifier: BSD-2-Clause
// Settings blocks (SET, AUDIO, LOGLEVEL), the voice list with its
// filters, and the debug switch, over real pipes.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

const std::string closed(rt::closed);

std::vector<std::string> calls_of(const std::vector<std::string> &record,
                                  std::initializer_list<std::string_view> prefixes) {
    std::vector<std::string> picked;
    for (const auto &r : record)
        for (auto p : prefixes)
            if (std::string_view(r).starts_with(p)) picked.push_back(r);
    return picked;
}

struct SetCase {
    const char *name;
    std::string lines;  // the block's lines before its dot
    std::string result; // the line after the acknowledgement ("" for none)
    std::vector<std::string> calls;
};

TEST(SettingsBlock, SplitsNameAndValueAndAnswersTheLastFailure) {
    const std::string ok = "203 OK SETTINGS RECEIVED\n";
    const std::string syntax = "302 ERROR BAD SYNTAX\n";
    const std::string invalid = "303 ERROR INVALID PARAMETER OR VALUE\n";
    const std::vector<SetCase> cases = {
        {"empty block", "", ok, {}},
        {"one pair", "rate=20\n", ok, {"set \"rate\" \"20\""}},
        {"value holds =", "a=b=c\n", ok, {"set \"a\" \"b=c\""}},
        {"value starts with =", "a==b\n", ok, {"set \"a\" \"=b\""}},
        {"leading = skipped", "==x=y\n", ok, {"set \"x\" \"y\""}},
        {"blanks kept", " rate = 20 \n", ok, {"set \" rate \" \" 20 \""}},
        {"carriage return kept", "rate=20\r\n", ok, {"set \"rate\" \"20\\x0d\""}},
        {"no dot removal", ".x=1\n", ok, {"set \".x\" \"1\""}},
        {"nothing after =", "rate=\n", syntax, {}},
        {"no =", "rate\n", syntax, {}},
        {"only a value", "=20\n", syntax, {}},
        {"empty line", "\n", syntax, {}},
        {"rejected", "pitch=3\n", invalid, {"set \"pitch\" \"3\""}},
        {"bad then rejected", "bad\npitch=3\n", invalid, {"set \"pitch\" \"3\""}},
        {"rejected then bad", "pitch=3\nbad\n", syntax, {"set \"pitch\" \"3\""}},
        {"lines after a failure still set", "rate=1\npitch=3\nvolume=2\n", invalid,
         {"set \"rate\" \"1\"", "set \"pitch\" \"3\"", "set \"volume\" \"2\""}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto s = rt::serve("SET\n" + c.lines + ".\n", {{"QREC_REJECT", "pitch"}});
        EXPECT_EQ(s.replies, "203 OK RECEIVING SETTINGS\n" + c.result + closed);
        EXPECT_EQ(calls_of(s.record, {"set "}), c.calls);
    }
}

TEST(SettingsBlock, EndOfInputInsideBlockSendsNoResult) {
    auto s = rt::serve("SET\nrate=1\n");
    EXPECT_EQ(s.replies, "203 OK RECEIVING SETTINGS\n" + closed);
    EXPECT_EQ(s.status, 255);
    EXPECT_EQ(calls_of(s.record, {"set "}), std::vector<std::string>{"set \"rate\" \"1\""});
}

struct AudioCase {
    const char *name;
    rt::Env env;
    std::string input;
    std::string replies;
    std::vector<std::string> calls;
};

TEST(SettingsBlock, AudioAndLoglevelBlocks) {
    const std::string audio_ack = "207 OK RECEIVING AUDIO SETTINGS\n";
    const std::string audio_ok = "203 OK AUDIO INITIALIZED\n";
    const std::string invalid = "303 ERROR INVALID PARAMETER OR VALUE\n";
    const rt::Env adapter_audio = {{"QREC_AUDIO_SERVER", "0"}};
    const std::vector<AudioCase> cases = {
        {"server audio", {}, "AUDIO\naudio_output_method=server\n.\n", audio_ack + audio_ok, {}},
        {"server audio, empty block", {}, "AUDIO\n.\n", audio_ack + audio_ok, {}},
        {"server audio, other value", {}, "AUDIO\naudio_output_method=alsa\n.\n",
         audio_ack + invalid, {}},
        {"server audio, value in capitals", {}, "AUDIO\naudio_output_method=SERVER\n.\n",
         audio_ack + invalid, {}},
        {"server audio, further setting", {},
         "AUDIO\naudio_output_method=server\naudio_volume=3\n.\n", audio_ack + invalid, {}},
        {"server audio, bad syntax", {}, "AUDIO\naudio_output_method\n.\n",
         audio_ack + "302 ERROR BAD SYNTAX\n", {}},
        {"adapter audio", adapter_audio, "AUDIO\naudio_output_method=alsa\n.\n",
         audio_ack + audio_ok, {"audio_set \"audio_output_method\" \"alsa\"", "audio_init"}},
        {"adapter audio init fails",
         {{"QREC_AUDIO_SERVER", "0"}, {"QREC_AUDIO_INIT_RESULT", "1"},
          {"QREC_AUDIO_INIT_MESSAGE", "no sound card"}},
         "AUDIO\nx=1\n.\n", audio_ack + "300-no sound card\n300 MODULE ERROR\n",
         {"audio_set \"x\" \"1\"", "audio_init"}},
        {"adapter audio rejected",
         {{"QREC_AUDIO_SERVER", "0"}, {"QREC_REJECT", "x"}}, "AUDIO\nx=1\n.\n",
         audio_ack + invalid, {"audio_set \"x\" \"1\""}},
        {"loglevel", {}, "LOGLEVEL\nlevel=4\n.\n",
         "207 OK RECEIVING LOGLEVEL SETTINGS\n203 OK LOGLEVEL SET\n",
         {"loglevel_set \"level\" \"4\""}},
        {"loglevel rejected", {{"QREC_REJECT", "level"}}, "LOGLEVEL\nlevel=4\n.\n",
         "207 OK RECEIVING LOGLEVEL SETTINGS\n" + invalid, {"loglevel_set \"level\" \"4\""}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto s = rt::serve(c.input, c.env);
        EXPECT_EQ(s.replies, c.replies + closed);
        EXPECT_EQ(calls_of(s.record, {"audio_", "loglevel_", "set "}), c.calls);
    }
}

struct VoiceCase {
    const char *line;
    std::string replies;
};

TEST(VoiceList, FiltersByLanguageAndVariant) {
    const std::string voices =
        "v1,en,~;v2,en-US,f1;v3,EN-gb,~;v4,eng,~;v5,en_US,~;v6,de,m;~,en,~;v8,~,~;v9,En-Us-x,~";
    const std::string sent = "200 OK VOICE LIST SENT\n";
    const std::string none = "304 CANT LIST VOICES\n";
    const std::vector<VoiceCase> cases = {
        {"LIST VOICES\n",
         "200-v1\ten\tnone\n200-v2\ten-US\tf1\n200-v3\tEN-gb\tnone\n200-v4\teng\tnone\n"
         "200-v5\ten_US\tnone\n200-v6\tde\tm\n200-v8\tnone\tnone\n200-v9\tEn-Us-x\tnone\n" +
             sent},
        {"LIST VOICES en\n",
         "200-v1\ten\tnone\n200-v2\ten-US\tf1\n200-v3\tEN-gb\tnone\n200-v9\tEn-Us-x\tnone\n" +
             sent},
        {"LIST VOICES EN-us\n", "200-v2\ten-US\tf1\n" + sent},
        {"LIST VOICES eng\n", "200-v4\teng\tnone\n" + sent},
        {"LIST VOICES en_US\n", "200-v5\ten_US\tnone\n" + sent},
        {"LIST VOICES e\n", none},
        {"LIST VOICES en none\n",
         "200-v1\ten\tnone\n200-v3\tEN-gb\tnone\n200-v9\tEn-Us-x\tnone\n" + sent},
        {"LIST VOICES en F1\n", "200-v2\ten-US\tf1\n" + sent},
        {"LIST VOICES none\n", "200-v8\tnone\tnone\n" + sent},
        {"LIST VOICES fr\n", none},
        {"LIST VOICES de m extra words\n", "200-v6\tde\tm\n" + sent},
        {"LIST VOICES  de\n", "200-v6\tde\tm\n" + sent},
        {"LIST VOICESX\n", "401 ERROR INTERNAL\n"},
        {"LIST VOICES\r\n", "401 ERROR INTERNAL\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        auto s = rt::serve(c.line, {{"QREC_VOICES", voices}});
        EXPECT_EQ(s.replies, c.replies + closed);
        // Under the sanitizer build a list left unreleased fails the exit.
        EXPECT_EQ(s.status, 255);
        EXPECT_EQ(calls_of(s.record, {"list_voices"}).size(), 1u);
    }
}

TEST(VoiceList, WithoutListOrVoicesAnswers304) {
    for (std::string line : {"LIST VOICES\n", "LIST VOICESX\n", "LIST VOICES en\n"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(rt::serve(line).replies, "304 CANT LIST VOICES\n" + closed);
        EXPECT_EQ(rt::serve(line, {{"QREC_VOICES", ""}}).replies,
                  (line == "LIST VOICESX\n" ? "401 ERROR INTERNAL\n" : "304 CANT LIST VOICES\n") +
                      closed);
    }
    EXPECT_EQ(rt::serve("LIST VOICES\n", {{"QREC_VOICES", "~,en,x"}}).replies,
              "304 CANT LIST VOICES\n" + closed);
}

struct DebugCase {
    std::string line;
    rt::Env env;
    std::string reply;
    std::vector<std::string> calls;
};

TEST(DebugSwitch, AnswersEachForm) {
    const std::string syntax = "302 ERROR BAD SYNTAX\n";
    const std::vector<DebugCase> cases = {
        {"DEBUG ON /tmp/dbg.log\n", {}, "200 OK DEBUGGING ON\n",
         {"debug 1 \"/tmp/dbg.log\""}},
        {"DEBUG OFF\n", {}, "200 OK DEBUGGING OFF\n", {"debug 0 (null)"}},
        {"DEBUG OFF and more\n", {}, "200 OK DEBUGGING OFF\n", {"debug 0 (null)"}},
        {"DEBUG ON\n", {}, syntax, {}},
        {"DEBUG\n", {}, syntax, {}},
        {"DEBUG on /x\n", {}, syntax, {}},
        {"DEBUG MAYBE\n", {}, syntax, {}},
        {"DEBUGGING ON /x\n", {}, "401 ERROR INTERNAL\n", {}},
        {"DEBUG ON /nowhere\n", {{"QREC_DEBUG_RESULT", "1"}}, "303 CANT OPEN CUSTOM DEBUG FILE\n",
         {"debug 1 \"/nowhere\""}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        auto s = rt::serve(c.line, c.env);
        EXPECT_EQ(s.replies, c.reply + closed);
        EXPECT_EQ(calls_of(s.record, {"debug"}), c.calls);
    }
}

}  // namespace
