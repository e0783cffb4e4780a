// SPDX-License-Identifier: BSD-2-Clause
// The command loop over real pipes: matching of command lines, the
// message intake with its dot removal and refusals, and lines that
// arrive in pieces or many at once.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

using namespace std::string_literals;

const std::string receiving = "202 OK RECEIVING MESSAGE\n";
// What the recording adapter answers for a message without audio.
const std::string spoken = "200 OK SPEAKING\n701 BEGIN\n702 END\n";
const std::string closed(rt::closed);
const std::string unknown = "300 ERR UNKNOWN COMMAND\n";

TEST(CommandLoop, AnswersUnknownLinesWith300) {
    const std::vector<std::string> lines = {
        "speak\n", "SPEAK \n", "SPEAK\r\n", "\n", "INIT\n", "LIST  VOICES\n", "QUIT \n",
        "STOP\r\n", "quit\n", "SPEAKS\n", "SET \n", "SPEAK\0\n"s,
        "QUIT\0\n"s, "\r\n", "LIST\n", "LIST VOICE\n",
    };
    for (const auto &line : lines) {
        SCOPED_TRACE(line);
        auto s = rt::serve(line);
        EXPECT_EQ(s.replies, unknown + closed);
        EXPECT_EQ(s.status, 255);
        EXPECT_EQ(s.record.size(), 5u);  // config init loop loop_end close
    }
}

struct IntakeCase {
    const char *name;
    std::string input;
    std::string replies;      // before the 399 of the end of input
    std::string speak_record; // "" when module_speak_sync must not run
};

TEST(MessageIntake, JoinsRefusesAndHandsOver) {
    const std::string more = "305 DATA MORE THAN ONE LINE\n";
    const std::string cant = "301 ERROR CANT SPEAK\n";
    const std::string line99(99, 'x');
    const std::vector<IntakeCase> cases = {
        {"two lines", "SPEAK\nhello\nworld\n.\n", receiving + spoken,
         "speak_sync 0 11 \"hello\\x0aworld\""},
        {"empty block", "SPEAK\n.\n", receiving + cant, ""},
        {"one empty line", "SPEAK\n\n.\n", receiving + cant, ""},
        {"two empty lines", "SPEAK\n\n\n.\n", receiving + spoken, "speak_sync 0 1 \"\\x0a\""},
        {"char space", "CHAR\nspace\n.\n", receiving + spoken, "speak_sync 2 1 \" \""},
        {"key space", "KEY\nspace\n.\n", receiving + spoken, "speak_sync 3 1 \" \""},
        {"speak space is a word", "SPEAK\nspace\n.\n", receiving + spoken,
         "speak_sync 0 5 \"space\""},
        {"sound icon space is a word", "SOUND_ICON\nspace\n.\n", receiving + spoken,
         "speak_sync 1 5 \"space\""},
        {"char Space is a word", "CHAR\nSpace\n.\n", receiving + spoken,
         "speak_sync 2 5 \"Space\""},
        {"key of two lines", "KEY\na\nb\n.\n", receiving + more, ""},
        {"char of two empty lines", "CHAR\n\n\n.\n", receiving + more, ""},
        {"sound icon of two lines", "SOUND_ICON\nbell\nring\n.\n", receiving + more, ""},
        {"one char", "CHAR\na\n.\n", receiving + spoken, "speak_sync 2 1 \"a\""},
        {"dots removed once", "SPEAK\n..\n.x\n...\n.\n", receiving + spoken,
         "speak_sync 0 6 \".\\x0ax\\x0a..\""},
        {"dot with blank is data", "SPEAK\nx\n. \n.\n", receiving + spoken,
         "speak_sync 0 3 \"x\\x0a \""},
        {"commands inside a block are text", "SPEAK\nSTOP\nQUIT\n.\n", receiving + spoken,
         "speak_sync 0 9 \"STOP\\x0aQUIT\""},
        {"carriage return kept", "SPEAK\nhi\r\n.\n", receiving + spoken,
         "speak_sync 0 3 \"hi\\x0d\""},
        {"nul ends the last line", "SPEAK\nhello\0junk\n.\n"s, receiving + spoken,
         "speak_sync 0 5 \"hello\""},
        {"nul keeps lines apart", "SPEAK\nab\0cd\nef\n.\n"s, receiving + spoken,
         "speak_sync 0 5 \"ab\\x0aef\""},
        {"nul at the start of the last line", "SPEAK\nab\n\0x\n.\n"s, receiving + spoken,
         "speak_sync 0 3 \"ab\\x0a\""},
        {"nul in a char block", "CHAR\nspace\0x\n.\n"s, receiving + spoken,
         "speak_sync 2 1 \" \""},
        {"text beyond the first buffer",
         "SPEAK\n" + line99 + "\n" + line99 + "\n" + line99 + "\n.\n", receiving + spoken,
         "speak_sync 0 299 \"" + line99 + "\\x0a" + line99 + "\\x0a" + line99 + "\""},
        {"refusal keeps the loop in step", "KEY\na\nb\n.\nSPEAK\nok\n.\n",
         receiving + more + receiving + spoken, "speak_sync 0 2 \"ok\""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto s = rt::serve(c.input);
        EXPECT_EQ(s.replies, c.replies + closed);
        EXPECT_EQ(s.status, 255);
        std::vector<std::string> speaks;
        for (const auto &r : s.record)
            if (r.starts_with("speak_sync")) speaks.push_back(r);
        if (c.speak_record.empty())
            EXPECT_TRUE(speaks.empty());
        else
            EXPECT_EQ(speaks, std::vector<std::string>{c.speak_record});
    }
}

TEST(MessageIntake, AdapterErrorIsTheOnlyReply) {
    auto s = rt::serve("SPEAK\nhi\n.\n", {{"QREC_SPEAK_FAIL", "1"}});
    EXPECT_EQ(s.replies, receiving + "301 ERROR CANT SPEAK\n" + closed);
}

// Input that ends inside a data block drops the message without a reply.
TEST(MessageIntake, DropsMessageCutByEndOfInput) {
    for (std::string input : {"SPEAK\nhello\n", "SPEAK\nhel", "CHAR\n"}) {
        SCOPED_TRACE(input);
        auto s = rt::serve(input);
        EXPECT_EQ(s.replies, receiving + closed);
        EXPECT_EQ(s.status, 255);
        for (const auto &r : s.record) EXPECT_FALSE(r.starts_with("speak_sync")) << r;
    }
}

// A text buffer that cannot grow is answered 401 once the block is over,
// and the rest of the block is never run as commands. The reader's
// buffer grows four times (to 16 bytes); the fifth realloc is the text's
// first growth, past 128 bytes.
TEST(MessageIntake, FailedGrowthAnswersAfterTheBlock) {
    std::string block = "SPEAK\n";
    for (int i = 0; i < 20; ++i) block += i == 10 ? "QUIT\n" : "123456789\n";
    block += ".\nSPEAK\nshort\n.\nDEBUG OFF\n";
    auto s = rt::serve(block, {{"QTEST_FAIL_REALLOC", "5"}});
    EXPECT_EQ(s.replies, receiving + "401 ERROR INTERNAL\n" + receiving + spoken +
                             "200 OK DEBUGGING OFF\n" + closed);
    EXPECT_EQ(s.status, 255);
    std::vector<std::string> calls;
    for (const auto &r : s.record)
        if (r.starts_with("speak_sync") || r == "close") calls.push_back(r);
    EXPECT_EQ(calls, (std::vector<std::string>{"speak_sync 0 5 \"short\"", "close"}));
}

TEST(CommandLoop, StopAndPauseWhileIdleAnswerNothing) {
    auto s = rt::serve("STOP\nPAUSE\nSTOP\n");
    EXPECT_EQ(s.replies, closed);
    std::vector<std::string> calls;
    for (const auto &r : s.record)
        if (r == "stop" || r == "pause") calls.push_back(r);
    EXPECT_EQ(calls, (std::vector<std::string>{"stop", "pause", "stop"}));
}

// The same conversation, delivered byte by byte with pauses, and all in
// one write, gets the same answers in the same order.
TEST(CommandLoop, LinesInPiecesAndManyAtOnceAnswerAlike) {
    const std::string input =
        "SPEAK\nhello world\n.\nSET\nrate=10\n.\nBOGUS\nCHAR\nspace\n.\nDEBUG OFF\n";
    const std::string expected = receiving + spoken +
                                 "203 OK RECEIVING SETTINGS\n203 OK SETTINGS RECEIVED\n" +
                                 unknown + receiving + spoken + "200 OK DEBUGGING OFF\n";
    auto at_once = rt::serve(input);
    EXPECT_EQ(at_once.replies, expected + closed);

    rt::Module m;
    ASSERT_TRUE(m.handshake());
    std::vector<std::string> bytes;
    for (char c : input) bytes.emplace_back(1, c);
    ASSERT_TRUE(m.send_pieces(bytes, std::chrono::milliseconds(2)));
    EXPECT_EQ(m.finish(), 255);
    EXPECT_EQ(m.replies(), expected + closed);
    EXPECT_EQ(m.record_of({"speak_sync", "set"}),
              (std::vector<std::string>{"speak_sync 0 11 \"hello world\"", "set \"rate\" \"10\"",
                                        "speak_sync 2 1 \" \""}));
}

TEST(CommandLoop, ExecutesManyLinesOfOneWriteInOrder) {
    std::string input, expected;
    for (int i = 0; i < 60; ++i) {
        input += i % 3 == 0 ? "DEBUG ON /tmp/log" + std::to_string(i) + "\n"
                 : i % 3 == 1 ? "NOPE\n"
                              : "DEBUG OFF\n";
        expected += i % 3 == 0 ? "200 OK DEBUGGING ON\n" : i % 3 == 1 ? unknown
                                                                       : "200 OK DEBUGGING OFF\n";
    }
    auto s = rt::serve(input);
    EXPECT_EQ(s.replies, expected + closed);
    EXPECT_EQ(s.status, 255);
}

// Each reply reaches the server before the module waits for more input:
// the acknowledgement of a block arrives while the block is still open.
TEST(CommandLoop, FlushesEachReplyAtOnce) {
    rt::Module m;
    ASSERT_TRUE(m.handshake());
    m.send("SPEAK\n");
    EXPECT_TRUE(m.wait_out(receiving));
    m.send("hi\n.\nSET\n");
    EXPECT_TRUE(m.wait_out("203 OK RECEIVING SETTINGS\n"));
    m.send("a=b\n.\n");
    EXPECT_TRUE(m.wait_out("203 OK SETTINGS RECEIVED\n"));
    m.send("QUIT\n");
    EXPECT_EQ(m.finish(false), 0);
    EXPECT_EQ(m.replies(), receiving + spoken +
                               "203 OK RECEIVING SETTINGS\n203 OK SETTINGS RECEIVED\n210 OK QUIT\n");
}

}  // namespace
