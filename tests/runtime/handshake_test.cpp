// SPDX-License-Identifier: BSD-2-Clause
// The life of the process: every way of ending with its stdout, stderr,
// exit status and the adapter calls made, and both shapes of the
// handshake block.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

using Record = std::vector<std::string>;

struct EndingCase {
    const char *name;
    rt::Env env;
    std::vector<std::string> unset;
    std::vector<std::string> args;
    std::string input;  // written at once, then input is closed
    std::string out;
    std::string err;
    Record record;
    int status;
};

const std::string no_init = "ERROR: Server did not start with INIT\n";
const std::string loop_err = "quorlin: entering main loop\n";
const std::string broken = "quorlin: entering main loop\nstdin over\nquorlin: broken pipe, exiting\n";
const Record refused = {"config (null)", "close"};

TEST(ProcessEntry, EndsEachWayWithItsStatus) {
    const std::vector<EndingCase> cases = {
        {"config fails", {{"QREC_CONFIG_RESULT", "1"}}, {}, {}, "INIT\n", "", "", refused, 1},
        {"lower case init", {}, {}, {}, "init\n", "", no_init, refused, 3},
        {"blank before lf", {}, {}, {}, "INIT \n", "", no_init, refused, 3},
        {"cr before lf", {}, {}, {}, "INIT\r\n", "", no_init, refused, 3},
        {"other command first", {}, {}, {}, "QUIT\n", "", no_init, refused, 3},
        {"nul inside init", {}, {}, {}, std::string("INIT\0\n", 6), "", no_init, refused, 3},
        {"input closed at once", {}, {}, {}, "", "", "stdin over\n" + no_init, refused, 3},
        {"init without lf", {}, {}, {}, "INIT", "", "stdin over\n" + no_init, refused, 3},
        {"init fails with message",
         {{"QREC_INIT_RESULT", "1"}, {"QREC_INIT_MESSAGE", "no engine here"}}, {}, {}, "INIT\n",
         "399-no engine here\n399 ERR CANT INIT MODULE\n", "",
         {"config (null)", "init", "close"}, 1},
        {"init fails without message", {{"QREC_INIT_RESULT", "1"}}, {"QREC_INIT_MESSAGE"}, {},
         "INIT\n", "399-Unspecified initialization error\n\n399 ERR CANT INIT MODULE\n", "",
         {"config (null)", "init", "close"}, 1},
        {"quit in the same read as init", {}, {}, {}, "INIT\nQUIT\n",
         std::string(rt::ready) + "210 OK QUIT\n", loop_err,
         {"config (null)", "init", "loop", "close", "loop_end 0"}, 0},
        {"input ends while serving", {}, {}, {}, "INIT\n",
         std::string(rt::ready) + std::string(rt::closed), broken,
         {"config (null)", "init", "loop", "loop_end -1", "close"}, 255},
        {"input ends mid-command", {}, {}, {}, "INIT\nSPE",
         std::string(rt::ready) + std::string(rt::closed), broken,
         {"config (null)", "init", "loop", "loop_end -1", "close"}, 255},
        {"default success message", {}, {"QREC_INIT_MESSAGE"}, {}, "INIT\nQUIT\n",
         "299-Unspecified initialization success\n\n299 OK LOADED SUCCESSFULLY\n210 OK QUIT\n",
         loop_err, {"config (null)", "init", "loop", "close", "loop_end 0"}, 0},
        {"configuration path and extra arguments", {}, {}, {"/etc/q.conf", "ignored"},
         "INIT\nQUIT\n", std::string(rt::ready) + "210 OK QUIT\n", loop_err,
         {"config \"/etc/q.conf\"", "init", "loop", "close", "loop_end 0"}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        rt::Module m(c.env, c.args, c.unset);
        m.send(c.input);  // a module that already ended may refuse it
        EXPECT_EQ(m.finish(), c.status);
        EXPECT_EQ(m.out(), c.out);
        EXPECT_EQ(m.err(), c.err);
        EXPECT_EQ(m.record(), c.record);
    }
}

// After a QUIT the module ends by itself, without waiting for the
// server to close its input.
TEST(ProcessEntry, QuitEndsWithoutEndOfInput) {
    rt::Module m;
    ASSERT_TRUE(m.handshake());
    m.send("QUIT\n");
    EXPECT_EQ(m.finish(/*close_input=*/false), 0);
    EXPECT_EQ(m.replies(), "210 OK QUIT\n");
}

// The handshake waits for a first line that arrives in pieces.
TEST(ProcessEntry, JoinsInitSentInPieces) {
    rt::Module m;
    ASSERT_TRUE(m.send_pieces({"I", "N", "IT", "\nQU", "IT\n"}, std::chrono::milliseconds(20)));
    EXPECT_EQ(m.finish(false), 0);
    EXPECT_EQ(m.out(), std::string(rt::ready) + "210 OK QUIT\n");
}

// A server that has gone away must show up as the end of input: writes
// to the closed stdout fail quietly, and the module still ends with 255
// when input ends, not by SIGPIPE.
TEST(ProcessEntry, SurvivesClosedStdout) {
    rt::Module m(rt::Env{{"QREC_TRACK_FRAMES", "12500"}});
    ASSERT_TRUE(m.handshake());
    m.child().close_stdout();
    m.send("DEBUG OFF\nSPEAK\nhello\n.\nLIST VOICES\n");
    EXPECT_EQ(m.finish(), 255);
    EXPECT_NE(m.err().find("quorlin: broken pipe, exiting\n"), std::string::npos) << m.err();
    EXPECT_EQ(m.record_of({"close"}).size(), 1u);
}

}  // namespace
