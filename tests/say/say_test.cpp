// SPDX-License-Identifier: BSD-2-Clause
// quorlin-say's command lines against their exit statuses and outputs,
// with the real module and the fake engine: where the text comes from,
// where the audio goes, what the module is configured with, what a
// failed or interrupted run leaves behind, playing through a player
// found on PATH (a script standing in for it), hostile players, signals
// and links, and index marks from a scripted module.
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "fake_module.h"
#include "temp_dir.h"

namespace {

using namespace std::chrono_literals;
using Env = std::vector<std::pair<std::string, std::string>>;

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

uint32_t le32(const std::string &b, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; i++) v |= static_cast<uint32_t>(static_cast<unsigned char>(b[at + i])) << (8 * i);
    return v;
}

// A WAV file's parts, checked against the bytes it is made of.
struct Wav {
    bool ok = false;
    uint32_t riff_size = 0, rate = 0, data_size = 0;
    std::string samples;
};

Wav parse_wav(const std::string &b) {
    Wav w;
    if (b.size() < 44 || b.compare(0, 4, "RIFF") || b.compare(8, 8, "WAVEfmt ") ||
        b.compare(36, 4, "data") || le32(b, 16) != 16 || le32(b, 20) != 0x00010001u ||
        le32(b, 32) != 0x00100002u)
        return w;
    w.ok = true;
    w.riff_size = le32(b, 4);
    w.rate = le32(b, 24);
    w.data_size = le32(b, 40);
    w.samples = b.substr(44);
    return w;
}

// The default fake engine speaks 1000 samples per message at 22050 Hz.
std::string messages_audio(int count) {
    std::string all;
    for (int m = 1; m <= count; m++) all += qtest::fake_audio(m, 0, 1000);
    return all;
}

// A scratch folder with what quorlin-say needs: the module (through the
// emulator when the build is 32-bit, since the client's own exec cannot
// start it directly) and a folder for fake players.
class Scratch {
public:
    Scratch() {
        module_ = QUORLIN_FAKE_MODULE;
        std::filesystem::create_directory(bin());
        if (*qtest::test_emulator()) {
            module_ = dir_.write("bin/module.sh", std::string("#!/bin/sh\nexec ") +
                                                       qtest::test_emulator() + " " +
                                                       QUORLIN_FAKE_MODULE + " \"$@\"\n");
            chmod(module_.c_str(), 0755);
        }
    }
    std::string path(const std::string &name) const { return dir_.path() + "/" + name; }
    std::string bin() const { return path("bin"); }
    std::string write(const std::string &name, const std::string &text) const {
        return dir_.write(name, text);
    }
    // A player that records its arguments and everything it is given.
    void add_player(const std::string &name) const {
        std::string script = "#!/bin/sh\necho \"$*\" > " + path(name + ".args") +
                             "\nexec /bin/cat > " + path(name + ".input") + "\n";
        std::string p = bin() + "/" + name;
        dir_.write("bin/" + name, script);
        chmod(p.c_str(), 0755);
    }
    // An executable script in the folder for fake players and modules.
    std::string add_script(const std::string &name, const std::string &body) const {
        std::string p = bin() + "/" + name;
        dir_.write("bin/" + name, "#!/bin/sh\n" + body);
        chmod(p.c_str(), 0755);
        return p;
    }
    std::vector<std::string> names() const {
        std::vector<std::string> n;
        for (auto &e : std::filesystem::directory_iterator(dir_.path()))
            n.push_back(e.path().filename().string());
        std::sort(n.begin(), n.end());
        return n;
    }

    // quorlin-say with `args`. With `redirect`, the shell opens its
    // standard output on `file` ("1<>" without truncating it, so that a
    // refused run shows that it left the file as it was), for what the
    // test's pipe cannot stand for: a regular file, a reader that stalls.
    std::unique_ptr<qtest::Child> start(const std::vector<std::string> &args, const Env &env,
                                        const std::string &redirect = "",
                                        const std::string &file = "") const {
        qtest::ChildOptions o = qtest::fake_module_options(QUORLIN_SAY, env);
        // The installed configuration is the folder's system.conf unless
        // `env` names another: never the machine's own.
        o.env.insert(o.env.begin(), {"QUORLIN_SAY_SYSTEM_CONFIG", path("system.conf")});
        o.env.emplace_back("QUORLIN_FAKE_LOG", path("engine.log"));
        o.env.emplace_back("TMPDIR", dir_.path());
        o.argv.insert(o.argv.end(), {"-m", module_});
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        if (!redirect.empty()) {
            if (*qtest::test_emulator()) o.argv.insert(o.argv.begin(), qtest::test_emulator());
            o.argv.insert(o.argv.begin(), {"/bin/sh", "-c", "exec \"$@\" " + redirect + "\"$0\"", file});
            o.through_emulator = false;
        }
        return std::make_unique<qtest::Child>(o);
    }
    int run(const std::vector<std::string> &args, const std::string &input, const Env &env,
            std::string &out, std::string &err) const {
        auto c = start(args, env);
        c->write(input);
        int status = c->wait_exit(qtest::scaled(60s));
        out = c->out();
        err = c->err();
        return status;
    }

private:
    qtest::TempDir dir_;
    std::string module_;
};

// What a row's run left, for its check.
struct Result {
    const Scratch &s;
    std::string out, err;
};

struct Row {
    const char *name;
    std::vector<std::string> args;  // "@x" is the scratch folder's file x
    std::string input;              // standard input
    Env env;
    int status;
    std::function<void(const Result &)> check;
};

void expect_wav_file(const std::string &path, const std::string &samples) {
    Wav w = parse_wav(slurp(path));
    ASSERT_TRUE(w.ok) << path;
    EXPECT_EQ(w.rate, 22050u);
    EXPECT_EQ(w.data_size, samples.size());
    EXPECT_EQ(w.riff_size, samples.size() + 36);
    EXPECT_TRUE(w.samples == samples);
}

// The exchange that --trace shows, without the module's standard error,
// which comes in between at any point.
std::string exchange(const std::string &err) {
    std::istringstream in(err);
    std::string line, kept;
    while (std::getline(in, line))
        if (line.rfind("> ", 0) == 0 || line.rfind("< ", 0) == 0) kept += line + "\n";
    return kept;
}

void expect_in_log(const Result &r, const std::string &line) {
    EXPECT_NE(slurp(r.s.path("engine.log")).find(line + "\n"), std::string::npos) << line;
}

// Collects the output of `c` until the fake engine's log in `s` holds
// `text`, as it does once a message is under way; false on the deadline.
bool wait_for_engine(qtest::Child &c, const Scratch &s, const std::string &text) {
    for (auto until = std::chrono::steady_clock::now() + qtest::scaled(30s);
         std::chrono::steady_clock::now() < until;) {
        if (slurp(s.path("engine.log")).find(text) != std::string::npos) return true;
        c.pump_for(20ms);
    }
    return false;
}

TEST(Say, CommandLines) {
    const Env failing = {{"QUORLIN_FAKE_FAIL", "eciSynthesize"}};
    const Row rows[] = {
        {"arguments to a WAV file", {"-o", "@a.wav", "Hello", "there"}, "", {}, 0,
         [](const Result &r) {
             expect_wav_file(r.s.path("a.wav"), messages_audio(1));
             expect_in_log(r, "eciAddText \"Hello there\"");
         }},
        {"standard input, one message per paragraph", {"-o", "@a.wav"}, "One\nline\n\nTwo\n", {}, 0,
         [](const Result &r) { expect_wav_file(r.s.path("a.wav"), messages_audio(2)); }},
        {"standard input with --lines", {"--lines", "-o", "@a.wav"}, "One\nTwo\n\nThree\n", {}, 0,
         [](const Result &r) { expect_wav_file(r.s.path("a.wav"), messages_audio(3)); }},
        {"no progress lines into a pipe", {"--lines", "-o", "@a.wav"}, "One\nTwo\n", {}, 0,
         [](const Result &r) { EXPECT_EQ(r.err.find("message 1 of 2"), std::string::npos) << r.err; }},
        {"one warning for text that is not UTF-8", {"--lines", "-o", "@a.wav"}, "caf\xc3\xa9\ncaf\xe9\nna\xefve\n",
         {}, 0,
         [](const Result &r) {
             EXPECT_NE(r.err.find("warning: message 2 is not UTF-8"), std::string::npos) << r.err;
             EXPECT_EQ(r.err.find("is not UTF-8"), r.err.rfind("is not UTF-8")) << r.err;
         }},
        {"-o - is a WAV stream", {"-q", "-o", "-", "Hello"}, "", {}, 0,
         [](const Result &r) {
             Wav w = parse_wav(r.out);
             ASSERT_TRUE(w.ok);
             EXPECT_EQ(w.data_size, 0x7ffff000u);  // a pipe: the length is not known up front
             EXPECT_EQ(w.rate, 22050u);
             EXPECT_TRUE(w.samples == messages_audio(1));
             EXPECT_EQ(r.err, "");
         }},
        {"-o /dev/stdout into a pipe is -o -", {"-q", "-o", "/dev/stdout", "Hello"}, "", {}, 0,
         [](const Result &r) {
             Wav w = parse_wav(r.out);
             EXPECT_EQ(w.data_size, 0x7ffff000u);
             EXPECT_TRUE(w.samples == messages_audio(1));
         }},
        {"--marks /dev/stdout into a pipe is --marks -",
         {"--ssml", "--marks", "/dev/stdout", "-o", "@a.wav", "<speak>a <mark name=\"m\"/> b</speak>"}, "", {}, 0,
         [](const Result &r) { EXPECT_EQ(r.out.substr(0, 2), "m\t") << r.err; }},
        {"--raw to standard output", {"--raw", "Hello"}, "", {}, 0,
         [](const Result &r) { EXPECT_TRUE(r.out == messages_audio(1)); }},
        {"--raw -o FILE", {"--raw", "-o", "@a.raw", "Hello"}, "", {}, 0,
         [](const Result &r) {
             EXPECT_TRUE(slurp(r.s.path("a.raw")) == messages_audio(1));
             EXPECT_EQ(r.out, "");
         }},
        {"voice by name, any case", {"-V", "grandMA", "-o", "@a.wav", "Hi"}, "", {}, 0,
         [](const Result &r) { expect_in_log(r, "eciCopyVoice 7 0"); }},
        {"voice option wins over the -c file", {"-c", "@user.conf", "--voice", "3", "-o", "@a.wav", "Hi"},
         "", {}, 0,
         [](const Result &r) {
             expect_in_log(r, "eciCopyVoice 4 0");
             EXPECT_EQ(slurp(r.s.path("engine.log")).find("eciCopyVoice 2 0"), std::string::npos);
         }},
        {"the -c file's voice without -V", {"-c", "@user.conf", "-o", "@a.wav", "Hi"}, "", {}, 0,
         [](const Result &r) { expect_in_log(r, "eciCopyVoice 2 0"); }},
        {"the installed file's voice without -c", {"-o", "@a.wav", "Hi"}, "",
         {{"QUORLIN_SAY_SYSTEM_CONFIG", "@user.conf"}}, 0,
         [](const Result &r) { expect_in_log(r, "eciCopyVoice 2 0"); }},
        {"the -c file stands for the installed one", {"--trace", "-c", "@on.conf", "-o", "@a.wav", "Hi"}, "",
         {{"QUORLIN_SAY_SYSTEM_CONFIG", "@user.conf"}}, 0,
         [](const Result &r) {
             EXPECT_NE(r.err.find("key='CORVANESTREAMING' value='1'"), std::string::npos);
             EXPECT_EQ(slurp(r.s.path("engine.log")).find("eciCopyVoice 2 0"), std::string::npos);
         }},
        {"streaming by default", {"--trace", "-o", "@a.wav", "Hi"}, "", {}, 0,
         [](const Result &r) {
             EXPECT_NE(r.err.find("key='CorvaneStreaming' value='1'"), std::string::npos);
         }},
        {"--synchronous leaves the key out", {"--trace", "--synchronous", "-o", "@a.wav", "Hi"}, "", {}, 0,
         [](const Result &r) { EXPECT_EQ(r.err.find("CorvaneStreaming"), std::string::npos); }},
        {"the -c file's streaming key stays", {"--trace", "-c", "@stream.conf", "-o", "@a.wav", "Hi"},
         "", {}, 0,
         [](const Result &r) {
             EXPECT_NE(r.err.find("key='corvanestreaming' value='0'"), std::string::npos);
             EXPECT_EQ(r.err.find("key='CorvaneStreaming'"), std::string::npos);
         }},
        {"--synchronous over the -c file's key", {"--trace", "--synchronous", "-c", "@on.conf", "-o", "@a.wav", "Hi"},
         "", {}, 0,
         [](const Result &r) {
             size_t user = r.err.find("key='CORVANESTREAMING' value='1'");
             size_t ours = r.err.find("key='CorvaneStreaming' value='0'");
             ASSERT_NE(user, std::string::npos);
             ASSERT_NE(ours, std::string::npos);
             EXPECT_LT(user, ours);
         }},
        {"plain text is sent as entities", {"--trace", "-o", "@a.wav", "x < y & <a@b.org>"}, "", {}, 0,
         [](const Result &r) {
             EXPECT_NE(r.err.find("> (data) x &lt; y &amp; &lt;a@b.org&gt;\n"), std::string::npos) << r.err;
         }},
        {"--ssml sends the text as it is", {"--trace", "--ssml", "-o", "@a.wav", "<speak>a &amp; b</speak>"},
         "", {}, 0,
         [](const Result &r) {
             EXPECT_NE(r.err.find("> (data) <speak>a &amp; b</speak>\n"), std::string::npos) << r.err;
         }},
        {"--ssml with standard input is one document", {"--ssml", "--trace", "-o", "@a.wav"},
         "<speak>One.\r\n\r\nTwo.</speak>\n\n", {}, 0,
         [](const Result &r) {
             EXPECT_NE(exchange(r.err).find("> SPEAK\n< 202 OK RECEIVING MESSAGE\n> (data) <speak>One.\n"
                                            "> (data) \n> (data) Two.</speak>\n> .\n"),
                       std::string::npos) << r.err;
             expect_wav_file(r.s.path("a.wav"), messages_audio(1));
         }},
        {"markup alone has nothing to speak", {"--ssml", "-o", "@a.wav", "<speak><mark name=\"m\"/></speak>"},
         "", {}, 1,
         [](const Result &r) {
             EXPECT_EQ(r.err, "quorlin-say: nothing to speak in message 1\n");
             EXPECT_FALSE(std::filesystem::exists(r.s.path("a.wav")));
         }},
        {"a message with nothing to speak among others", {"--ssml", "--lines", "-o", "@a.wav"},
         "<speak>One</speak>\n<speak/>\n<speak>Three</speak>\n", {}, 0,
         [](const Result &r) {
             EXPECT_NE(r.err.find("quorlin-say: nothing to speak in message 2\n"), std::string::npos);
             expect_wav_file(r.s.path("a.wav"), messages_audio(2));
         }},
        {"the SET block a server sends",
         {"--trace", "-r", "20", "--punctuation", "all", "--spell", "--capitals", "spell", "-o", "@a.wav", "Hi"},
         "", {}, 0,
         [](const Result &r) {
             EXPECT_NE(exchange(r.err).find("> rate=20\n> punctuation_mode=all\n> spelling_mode=on\n"
                                            "> cap_let_recogn=spell\n> .\n"),
                       std::string::npos) << r.err;
         }},
        {"faithful text and the SET defaults", {"--trace", "-o", "@a.wav", "Hi"}, "", {}, 0,
         [](const Result &r) {
             EXPECT_NE(r.err.find("key='CorvaneFaithfulText' value='1'"), std::string::npos);
             EXPECT_NE(exchange(r.err).find("> SET\n< 203 OK RECEIVING SETTINGS\n> punctuation_mode=some\n"
                                            "> spelling_mode=off\n> cap_let_recogn=none\n"),
                       std::string::npos) << r.err;
             EXPECT_EQ(r.err.find("CorvaneIndexMarks"), std::string::npos);
         }},
        {"--ascii-text leaves the key out", {"--trace", "--ascii-text", "-o", "@a.wav", "Hi"}, "", {}, 0,
         [](const Result &r) {
             EXPECT_EQ(r.err.find("key='CorvaneFaithfulText'"), std::string::npos) << r.err;
             EXPECT_EQ(r.err.find("= CorvaneFaithfulText"), std::string::npos) << r.err;
         }},
        {"--punctuation with an unknown level", {"--punctuation", "loud", "Hi"}, "", {}, 2, nullptr},
        {"--marks without --ssml", {"--marks", "@m.txt", "Hi"}, "", {}, 2, nullptr},
        {"--capitals without --spell", {"--capitals", "spell", "Hi"}, "", {}, 2, nullptr},
        {"--marks - beside audio on standard output", {"--ssml", "--marks", "-", "--raw", "Hi"}, "", {}, 2,
         nullptr},
        {"--list-voices asks the module", {"--list-voices"}, "", {}, 0,
         [](const Result &r) {
             EXPECT_NE(r.out.find("\nWade en-US        en-US     the plain American male voice\n"),
                       std::string::npos) << r.out;
             EXPECT_NE(r.out.find("\nGrandpa en-US     en-US"), std::string::npos) << r.out;
         }},
        {"-V with a listed name, as the module compares it", {"--trace", "-V", "flo EN_us", "-o", "@a.wav", "Hi"},
         "", {}, 0,
         [](const Result &r) {
             EXPECT_NE(exchange(r.err).find("> synthesis_voice=flo EN_us\n> .\n"), std::string::npos)
                 << r.err;
             expect_in_log(r, "eciCopyVoice 2 0");
         }},
        {"-V with a name the module does not list", {"-V", "Flo xx-XX", "-o", "@a.wav", "Hi"}, "", {}, 2,
         [](const Result &r) { EXPECT_FALSE(std::filesystem::exists(r.s.path("a.wav"))); }},
        {"--language is sent last", {"--trace", "-l", "pt_BR", "-o", "@a.wav", "Hi"}, "", {}, 0,
         [](const Result &r) {
             EXPECT_NE(exchange(r.err).find("> cap_let_recogn=none\n> language=pt_BR\n> .\n"),
                       std::string::npos) << r.err;
             EXPECT_NE(r.err.find("key='CorvaneLanguages' value='1'"), std::string::npos);
         }},
        {"--language that is no tag", {"-l", "fr FR", "Hi"}, "", {}, 2, nullptr},
        {"'' is no text", {"-o", "@a.wav", ""}, "", {}, 2,
         [](const Result &r) { EXPECT_FALSE(std::filesystem::exists(r.s.path("a.wav"))); }},
        {"blank standard input", {"-o", "@a.wav"}, " \n\n", {}, 1,
         [](const Result &r) { EXPECT_NE(r.err.find("standard input holds no text"), std::string::npos); }},
        {"missing -c file", {"-c", "@missing.conf", "-o", "@a.wav", "Hi"}, "", {}, 2,
         [](const Result &r) {
             EXPECT_NE(r.err.find("missing.conf"), std::string::npos);
             EXPECT_FALSE(std::filesystem::exists(r.s.path("engine.log")));
         }},
        {"-c naming a directory", {"-c", "@bin", "-o", "@a.wav", "Hi"}, "", {}, 2, nullptr},
        {"unknown voice", {"-V", "Nobody", "Hi"}, "", {}, 2, nullptr},
        {"--play with --raw", {"--play", "--raw", "Hi"}, "", {}, 2, nullptr},
        {"--play with -o", {"--play", "-o", "@a.wav", "Hi"}, "", {}, 2, nullptr},
        {"text and -f", {"-f", "@user.conf", "Hi"}, "", {}, 2, nullptr},
        {"--lines with text arguments", {"--lines", "Hi"}, "", {}, 2, nullptr},
        {"failed run keeps an existing file", {"-o", "@keep.wav", "<>"}, "", failing, 1,
         [](const Result &r) {
             EXPECT_EQ(slurp(r.s.path("keep.wav")), "keep\n");
             EXPECT_EQ(r.s.names(), (std::vector<std::string>{"bin", "engine.log", "keep.wav",
                                                              "on.conf", "stream.conf", "user.conf"}));
         }},
        {"failed run, diagnostics without the text", {"-o", "@a.wav", "Secret words"}, "", failing, 1,
         [](const Result &r) {
             EXPECT_NE(r.err.find("last diagnostics"), std::string::npos);
             EXPECT_NE(r.err.find("eciSynthesize failed"), std::string::npos);
             EXPECT_EQ(r.err.find("Secret"), std::string::npos) << r.err;
             EXPECT_FALSE(std::filesystem::exists(r.s.path("a.wav")));
         }},
        {"a timeout names the wait and --timeout",
         {"--timeout", "2", "-o", "@a.wav", "Secret words"}, "", {{"QUORLIN_FAKE_DELAY_MS", "8000"}}, 1,
         [](const Result &r) {
             EXPECT_NE(r.err.find("within 2 s while waiting for"), std::string::npos) << r.err;
             EXPECT_NE(r.err.find("--timeout SEC"), std::string::npos);
             EXPECT_EQ(r.err.find("Secret"), std::string::npos) << r.err;
         }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Scratch s;
        s.write("keep.wav", "keep\n");
        s.write("user.conf", "# a user's file\nCorvaneDefaultVoice 1\n");
        s.write("stream.conf", "corvanestreaming 0");  // no final line feed
        s.write("on.conf", "CORVANESTREAMING 1\n");
        std::vector<std::string> args;
        for (const std::string &a : row.args) args.push_back(a[0] == '@' ? s.path(a.substr(1)) : a);
        Env env = row.env;
        for (auto &[name, value] : env)
            if (value[0] == '@') value = s.path(value.substr(1));
        Result r{s, "", ""};
        EXPECT_EQ(s.run(args, row.input, env, r.out, r.err), row.status) << r.err;
        if (row.check) row.check(r);
        // Options the parser refused come with the hint to --help.
        if (row.status == 2 && std::find(args.begin(), args.end(), "-c") == args.end()) {
            EXPECT_NE(r.err.find("Try 'quorlin-say --help'"), std::string::npos) << r.err;
        }
        // The merged configuration goes with the run.
        for (const std::string &n : s.names()) EXPECT_EQ(n.find("quorlin-say-"), std::string::npos) << n;
    }
}

// A stream's header, its length unknown when it leaves, is read to the
// end without a warning by each of the tools installed here.
TEST(Say, StreamHeaderReadsWithoutAWarning) {
    const std::vector<std::string> readers[] = {
        {"/usr/bin/sox", "-t", "wav", "-", "-n"},
        {"/usr/bin/aplay", "-q", "-D", "null", "-"},
    };
    Scratch s;
    std::string wav, err;
    ASSERT_EQ(s.run({"-q", "-o", "-", "Hello"}, "", {}, wav, err), 0) << err;
    int tried = 0;
    for (const std::vector<std::string> &argv : readers) {
        SCOPED_TRACE(argv[0]);
        if (access(argv[0].c_str(), X_OK) != 0) continue;
        tried++;
        qtest::ChildOptions o;
        o.argv = argv;
        o.through_emulator = false;
        qtest::Child reader(o);
        reader.write(wav);
        EXPECT_EQ(reader.wait_exit(qtest::scaled(20s)), 0) << reader.err();
        EXPECT_EQ(reader.err(), "");
    }
    if (tried == 0) GTEST_SKIP() << "neither sox nor aplay is installed";
}

// Raw samples would garble a terminal: --raw goes there only when -o -
// asks for it.
TEST(Say, KeepsRawAudioOffATerminal) {
    int pty = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty < 0 || grantpt(pty) != 0 || unlockpt(pty) != 0) GTEST_SKIP() << "no pseudo-terminal";
    const struct {
        const char *name;
        std::vector<std::string> args;
        int status;
    } cases[] = {{"--raw alone", {"--raw", "Hi"}, 2}, {"--raw -o -", {"--raw", "-o", "-", "Hi"}, 0}};
    for (const auto &k : cases) {
        SCOPED_TRACE(k.name);
        Scratch s;
        auto c = s.start(k.args, {}, ">", ptsname(pty));
        EXPECT_EQ(c->wait_exit(qtest::scaled(30s)), k.status) << c->err();
        EXPECT_EQ(c->err().find("which is a terminal") != std::string::npos, k.status == 2) << c->err();
        EXPECT_EQ(std::filesystem::exists(s.path("engine.log")), k.status == 0);
    }
    close(pty);
}

// A FIFO stands in for a device node: written in place with a stream
// header, never replaced or removed, whether the run succeeds or fails.
TEST(Say, NodeThatIsNotAFile) {
    for (bool failing : {false, true}) {
        SCOPED_TRACE(failing ? "failed run" : "successful run");
        Scratch s;
        std::string fifo = s.path("node");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        int rd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(rd, 0);
        // The read end is open (the writer's open does not wait), and read
        // all along on success, so that the writer never blocks.
        std::string got;
        std::thread reader;
        if (!failing)
            reader = std::thread([&] {
                char buf[4096];
                for (int idle = 0; idle < 3000;) {
                    ssize_t n = read(rd, buf, sizeof buf);
                    if (n > 0) {
                        got.append(buf, static_cast<size_t>(n));
                        idle = 0;
                    } else if (n == 0 && !got.empty()) {
                        break;  // the writer closed it
                    } else {
                        usleep(10000);
                        idle++;
                    }
                }
            });
        std::string out, err;
        Env env;
        if (failing) env.emplace_back("QUORLIN_FAKE_FAIL", "eciSynthesize");
        EXPECT_EQ(s.run({"-o", fifo, "Hello"}, "", env, out, err), failing ? 1 : 0) << err;
        if (reader.joinable()) reader.join();
        close(rd);
        if (!failing) {
            Wav w = parse_wav(got);
            ASSERT_TRUE(w.ok);
            EXPECT_EQ(w.data_size, 0x7ffff000u);
            EXPECT_TRUE(w.samples == messages_audio(1));
        }
        struct stat st;
        ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
        EXPECT_EQ(s.names(), (std::vector<std::string>{"bin", "engine.log", "node"}));
    }
}

// Interrupted between messages: the module is stopped, the exit status
// tells the signal, and the file in place is a WAV whose sizes match the
// audio written, which is the audio of the messages spoken so far.
TEST(Say, InterruptLeavesAPlayableWav) {
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(sig));
        Scratch s;
        s.write("out.wav", "old\n");
        std::string lines;
        for (int i = 0; i < 100; i++) lines += "Line " + std::to_string(i) + "\n";
        auto c = s.start({"--lines", "-o", s.path("out.wav")},
                         {{"QUORLIN_FAKE_CHUNK", "250"}, {"QUORLIN_FAKE_DELAY_MS", "25"}});
        c->write(lines);
        c->close_stdin();
        ASSERT_TRUE(wait_for_engine(*c, s, "eciAddText \"Line 3\"")) << c->err();
        kill(c->pid(), sig);
        EXPECT_EQ(c->wait_exit(qtest::scaled(30s)), 128 + sig) << c->err();
        std::string bytes = slurp(s.path("out.wav"));
        Wav w = parse_wav(bytes);
        ASSERT_TRUE(w.ok) << bytes.substr(0, 8);
        EXPECT_EQ(w.data_size, bytes.size() - 44);
        EXPECT_EQ(w.riff_size, bytes.size() - 8);
        EXPECT_GE(w.samples.size(), 3 * 2000u);
        EXPECT_LT(w.samples.size(), 100 * 2000u);
        EXPECT_TRUE(w.samples == messages_audio(100).substr(0, w.samples.size()));
        EXPECT_EQ(s.names(), (std::vector<std::string>{"bin", "engine.log", "out.wav"}));
    }
}

// --play takes the first player on PATH and gives it the format it
// needs; without one it says so before any work.
TEST(Say, PlaysThroughTheFirstPlayerFound) {
    struct Case {
        const char *name;
        std::vector<std::string> players;
        int status;
        const char *used;
        const char *args;
    };
    const Case cases[] = {
        {"aplay alone", {"aplay"}, 0, "aplay", "-q -t raw -f S16_LE -c 1 -r 22050"},
        {"paplay before aplay", {"aplay", "paplay"}, 0, "paplay",
         "--raw --format=s16le --channels=1 --rate=22050"},
        {"pw-play first of all", {"aplay", "paplay", "pw-play"}, 0, "pw-play", "-"},
        {"sox's play when there is no other", {"play"}, 0, "play", "-q -t wav -"},
        {"no player", {}, 1, nullptr, nullptr},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Scratch s;
        for (const std::string &p : k.players) s.add_player(p);
        std::string out, err;
        EXPECT_EQ(s.run({"--play", "Hello"}, "", {{"PATH", s.bin()}}, out, err), k.status) << err;
        if (!k.used) {
            EXPECT_NE(err.find("no audio player found"), std::string::npos) << err;
            EXPECT_FALSE(std::filesystem::exists(s.path("engine.log")));
            continue;
        }
        EXPECT_EQ(slurp(s.path(std::string(k.used) + ".args")), std::string(k.args) + "\n");
        std::string input = slurp(s.path(std::string(k.used) + ".input"));
        if (std::string(k.used) == "pw-play" || std::string(k.used) == "play") {
            Wav w = parse_wav(input);
            ASSERT_TRUE(w.ok);
            EXPECT_EQ(w.rate, 22050u);
            EXPECT_TRUE(w.samples == messages_audio(1));
        } else {
            EXPECT_TRUE(input == messages_audio(1));
        }
        for (const std::string &p : k.players)
            if (p != k.used) {
                EXPECT_FALSE(std::filesystem::exists(s.path(p + ".args"))) << p;
            }
    }
}

// A module in a script, for what the module on this tree does not do:
// each message is "701 BEGIN", a mark "start", 0.1 s of audio, a mark
// "m1", 0.1 s more, a mark "end", and "702 END" ("704 PAUSE" when the
// text holds "pause"). It keeps the configuration it was given, with
// SAY_TEST_QUIT=hang it never exits after QUIT, it removes the file
// SAY_TEST_REMOVE names at QUIT, and it sends the file SAY_TEST_BLOCK
// names as each of its audio blocks.
std::string add_script_module(const Scratch &s) {
    return s.add_script("module", "[ -n \"$1\" ] && cat \"$1\" > " + s.path("module.conf") + R"(
payload=$(head -c 4410 /dev/zero | tr '\0' A)
block() {
  [ -n "$SAY_TEST_BLOCK" ] && cat "$SAY_TEST_BLOCK" && return
  printf '705-bits=16\n705-num_channels=1\n705-sample_rate=22050\n705-num_samples=2205\n'
  printf '705-big_endian=0\n705-AUDIO\000%s\n705 AUDIO\n' "$payload"
}
mark() { printf '700-%s\n700 INDEX MARK\n' "$1"; }
read -r line
printf '299-quorlin: ready\n299 OK LOADED SUCCESSFULLY\n'
while read -r line; do
  case $line in
  SET) echo 203 OK RECEIVING SETTINGS; while read -r l && [ "$l" != . ]; do :; done
       echo 203 OK SETTINGS RECEIVED ;;
  SPEAK) echo 202 OK RECEIVING MESSAGE; text=
         while read -r l && [ "$l" != . ]; do text="$text$l"; done
         echo 200 OK SPEAKING; echo 701 BEGIN; mark start; block; mark m1; block; mark end
         case $text in *pause*) echo 704 PAUSE ;; *) echo 702 END ;; esac ;;
  QUIT) [ -n "$SAY_TEST_REMOVE" ] && rm -f "$SAY_TEST_REMOVE"
        echo 210 OK QUIT; [ "$SAY_TEST_QUIT" = hang ] && exec sleep 1000; exit 0 ;;
  esac
done
)");
}

// Signals, players and modules that do not play along, links and NUL
// bytes: every run ends (within the test's deadline) with its status,
// and the folder, which is also $TMPDIR, holds nothing but `names`.
TEST(Say, EndsHostileRunsLeavingOnlyTheirFiles) {
    struct Case {
        const char *name;
        std::vector<std::pair<std::string, std::string>> scripts;  // bin/NAME and its body
        std::vector<std::string> args;  // "@x" is the scratch folder's file x
        std::string input;
        Env env;
        std::vector<int> signals;  // sent 0.3 s apart once message 4 ("Line 3") is under way
        int status;
        std::vector<std::string> names;
        std::function<void(const Result &)> check;
        bool close_stdout = false;  // a reader of standard output that went away
    };
    const std::string lines = [] {
        std::string l;
        for (int i = 0; i < 100; i++) l += "Line " + std::to_string(i) + "\n";
        return l;
    }();
    const Env slow = {{"QUORLIN_FAKE_CHUNK", "250"}, {"QUORLIN_FAKE_DELAY_MS", "25"}};
    const Env big = {{"QUORLIN_FAKE_SAMPLES", "200000"}};
    const std::string lingers = "trap '' TERM\ncat > /dev/null\nexec sleep 1000\n";
    auto playable = [](const Result &r) {
        std::string bytes = slurp(r.s.path("out.wav"));
        Wav w = parse_wav(bytes);
        ASSERT_TRUE(w.ok);
        EXPECT_EQ(w.data_size, bytes.size() - 44);
        EXPECT_TRUE(w.samples == messages_audio(100).substr(0, w.samples.size()));
    };
    auto without_diagnostics = [](const char *what) {
        return [what](const Result &r) {
            EXPECT_NE(r.err.find(what), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find("last diagnostics"), std::string::npos) << r.err;
        };
    };
    const Case cases[] = {
        {"SIGHUP", {}, {"--lines", "-o", "@out.wav"}, lines, slow, {SIGHUP}, 129,
         {"bin", "engine.log", "out.wav"}, playable},
        {"SIGQUIT", {}, {"--lines", "-o", "@out.wav"}, lines, slow, {SIGQUIT}, 131,
         {"bin", "engine.log", "out.wav"}, playable},
        {"a player ignoring SIGTERM is killed", {{"aplay", lingers}}, {"--lines", "--play"}, lines, slow,
         {SIGINT}, 130, {"bin", "engine.log"}, nullptr},
        {"a second SIGINT ends at once", {{"aplay", lingers}}, {"--lines", "--play"}, lines, slow,
         {SIGINT, SIGINT}, 130, {"bin", "engine.log"}, nullptr},
        {"a player that never reads", {{"aplay", "exec sleep 1000\n"}}, {"--timeout", "1", "--play", "Hi"},
         "", big, {}, 1, {"bin", "engine.log"}, without_diagnostics("aplay took no audio for 1 s")},
        {"a player that never exits", {{"aplay", "cat > /dev/null\nexec sleep 1000\n"}},
         {"--timeout", "1", "--play", "Hi"}, "", {}, {}, 1, {"bin", "engine.log"},
         without_diagnostics("aplay did not end within 1 s")},
        {"a player that fails", {{"aplay", "exit 3\n"}}, {"--play", "Hi"}, "", big, {}, 1,
         {"bin", "engine.log"}, without_diagnostics("aplay ended with exit status 3")},
        {"a module that never exits after QUIT", {}, {"--timeout", "1", "-m", "@bin/module", "-o", "@out.wav", "Hi"},
         "", {{"SAY_TEST_QUIT", "hang"}}, {}, 1, {"bin", "module.conf"},
         [](const Result &r) {
             EXPECT_NE(r.err.find("did not exit within 1 s after QUIT"), std::string::npos) << r.err;
         }},
        {"standard output closed", {}, {"-o", "-", "Hi"}, "", {}, {}, 1, {"bin", "engine.log"},
         without_diagnostics("writing standard output: Broken pipe"), true},
        {"a dangling link is written through", {}, {"-o", "@link.wav", "Hi"}, "", {}, {}, 0,
         {"bin", "engine.log", "link.wav", "new.wav"},
         [](const Result &r) {
             std::error_code ec;
             EXPECT_EQ(std::filesystem::read_symlink(r.s.path("link.wav"), ec), "new.wav");
             expect_wav_file(r.s.path("new.wav"), messages_audio(1));
         }},
        {"a link to a file", {}, {"-o", "@old-link.wav", "Hi"}, "", {}, {}, 0,
         {"bin", "engine.log", "old-link.wav", "old.wav"},
         [](const Result &r) {
             EXPECT_TRUE(std::filesystem::is_symlink(r.s.path("old-link.wav")));
             expect_wav_file(r.s.path("old.wav"), messages_audio(1));
         }},
        {"a NUL byte", {}, {"--lines", "-o", "@out.wav"}, std::string("hello\0world\n", 12), {}, {}, 0,
         {"bin", "engine.log", "out.wav"},
         [](const Result &r) {
             EXPECT_NE(r.err.find("message 1 holds a NUL byte"), std::string::npos) << r.err;
             expect_in_log(r, "eciAddText \"hello\"");
         }},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Scratch s;
        add_script_module(s);
        for (const auto &[name, body] : k.scripts) s.add_script(name, body);
        s.write("old.wav", "old\n");
        std::filesystem::create_symlink("old.wav", s.path("old-link.wav"));
        std::filesystem::create_symlink("new.wav", s.path("link.wav"));
        std::vector<std::string> args;
        for (const std::string &a : k.args) args.push_back(a[0] == '@' ? s.path(a.substr(1)) : a);
        Env env = k.env;
        env.emplace_back("PATH", s.bin() + ":/usr/bin:/bin");
        auto c = s.start(args, env);
        if (k.close_stdout) c->close_stdout();
        c->write(k.input);
        c->close_stdin();
        if (!k.signals.empty()) {
            ASSERT_TRUE(wait_for_engine(*c, s, "eciAddText \"Line 3\"")) << c->err();
            for (int sig : k.signals) {
                kill(c->pid(), sig);
                c->pump_for(300ms);
            }
        }
        EXPECT_EQ(c->wait_exit(qtest::scaled(30s)), k.status) << c->err();
        // The links and the old file that a row does not use are not its.
        std::vector<std::string> names = s.names(), expected = k.names;
        for (const char *own : {"old.wav", "old-link.wav", "link.wav"})
            if (std::find(expected.begin(), expected.end(), own) == expected.end())
                names.erase(std::remove(names.begin(), names.end(), own), names.end());
        EXPECT_EQ(names, expected);
        if (k.check) k.check(Result{s, c->out(), c->err()});
    }
}

// Index marks as a module reports them, between its audio blocks: each
// is written with the audio time it was reached at, over all messages.
TEST(Say, WritesEachMarkWithItsAudioTime) {
    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::string input;  // one message per line
        std::string conf;  // the -c file, "" for none
        const char *marks;  // the marks file, nullptr for none
        bool index_marks_set;  // CorvaneIndexMarks 1 in the module's configuration
    };
    const char *two_messages =
        "start\t0.000\nm1\t0.100\nend\t0.200\nstart\t0.200\nm1\t0.300\nend\t0.400\n";
    const Case cases[] = {
        {"two messages", {"--ssml", "--marks", "@m.txt"}, "<speak>a</speak>\n<s>b</s>\n", "", two_messages,
         true},
        {"704 PAUSE ends a message", {"--ssml", "--marks", "@m.txt"}, "pause\npause\n", "", two_messages,
         true},
        {"the -c file's key stays", {"--ssml", "--marks", "@m.txt"}, "a\nb\n", "CorvaneIndexMarks 0\n",
         two_messages, false},
        {"marks without --marks are dropped", {"--ssml"}, "a\nb\n", "", nullptr, false},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Scratch s;
        std::vector<std::string> args{"-m", add_script_module(s), "--lines", "-o", s.path("a.wav")};
        if (!k.conf.empty()) args.insert(args.end(), {"-c", s.write("user.conf", k.conf)});
        for (const std::string &a : k.args) args.push_back(a[0] == '@' ? s.path(a.substr(1)) : a);
        std::string out, err;
        ASSERT_EQ(s.run(args, k.input, {}, out, err), 0) << err;
        Wav w = parse_wav(slurp(s.path("a.wav")));
        EXPECT_EQ(w.data_size, 4 * 4410u);
        if (k.marks) {
            EXPECT_EQ(slurp(s.path("m.txt")), k.marks);
        } else {
            EXPECT_FALSE(std::filesystem::exists(s.path("m.txt")));
        }
        std::string conf = slurp(s.path("module.conf"));
        EXPECT_EQ(conf.find("CorvaneIndexMarks 1\n") != std::string::npos, k.index_marks_set) << conf;
    }
}

// A 705 block as the module frames it: 0x7D and 0x0A escaped as 0x7D and
// the byte with bit 5 flipped, or `payload` sent as it is when `escape`
// is false.
std::string audio_block(int samples, bool big_endian, const std::string &payload, bool escape = true) {
    std::string sent;
    for (char c : payload)
        if (escape && (c == 0x7d || c == '\n'))
            sent += {'\x7d', static_cast<char>(c ^ 0x20)};
        else
            sent += c;
    return "705-bits=16\n705-num_channels=1\n705-sample_rate=22050\n705-num_samples=" +
           std::to_string(samples) + "\n705-big_endian=" + (big_endian ? "1" : "0") +
           std::string("\n705-AUDIO\0", 11) + sent + "\n705 AUDIO\n";
}

// The audio blocks a message brings are unescaped exactly, however the
// reads of the pipe cut them; a block that breaks the framing ends the
// run, naming what is wrong, with no file written.
TEST(Say, ReadsAudioBlocksExactly) {
    std::string every_byte;  // 0x00 to 0xFF over and over: escapes at every distance from a read's end
    for (int i = 0; i < 160000; i++) every_byte += static_cast<char>(i * 7 % 256);
    std::string bad_end = audio_block(2, false, "abcd");
    bad_end.replace(bad_end.size() - 10, 10, "705 AUDIO!\n");
    struct Case {
        const char *name;
        std::string block;
        std::string audio;    // what one block leaves in the WAV file, "" for a failed run
        const char *message;  // in standard error when the run fails
    };
    const Case cases[] = {
        {"escapes across several reads", audio_block(80000, false, every_byte), every_byte, ""},
        {"big-endian samples", audio_block(2, true, "\x01\x02\x7d\x0a"), "\x02\x01\x0a\x7d", ""},
        {"an escape byte with nothing after it", audio_block(1, false, "ab\x7d", false), "",
         "an escape byte ends its payload"},
        {"fewer bytes than samples", audio_block(3, false, "abcd"), "", "says 3 samples but carries 4 bytes"},
        {"no end line", bad_end, "", "expected \"705 AUDIO\", got \"705 AUDIO!\""},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Scratch s;
        std::vector<std::string> args{"-m", add_script_module(s), "-o", s.path("a.wav"), "Hi"};
        std::string out, err;
        int status = s.run(args, "", {{"SAY_TEST_BLOCK", s.write("block", k.block)}}, out, err);
        EXPECT_EQ(status, k.audio.empty() ? 1 : 0) << err;
        EXPECT_NE(err.find(k.message), std::string::npos) << err;
        EXPECT_TRUE(parse_wav(slurp(s.path("a.wav"))).samples == k.audio + k.audio);
    }
}

// The marks and the audio never share a file, whichever names reach it:
// such a command line is refused before the module starts and leaves
// every file as it was. Audio that lost its place during the run is not
// reported written.
TEST(Say, NeverLosesTheAudioToAnotherOutput) {
    struct Case {
        const char *name;
        std::vector<std::string> args;  // "@x" is the scratch folder's file x
        bool stdout_on_file;            // standard output is out.wav, which holds "keep\n"
        const char *remove;             // the module removes it at QUIT, nullptr for none
        int status;
        const char *message;  // in standard error
        const char *out_wav;  // what out.wav holds at the end, nullptr for no file
    };
    const char *marks = "start\t0.000\nm1\t0.100\nend\t0.200\n";
    const Case cases[] = {
        {"--marks naming the -o file", {"--marks", "@keep.wav", "-o", "@keep.wav"}, false, nullptr, 2,
         "is the audio's file", "keep\n"},
        {"--marks through a link to the -o file", {"--marks", "@link.wav", "-o", "@keep.wav"}, false,
         nullptr, 2, "is the audio's file", "keep\n"},
        {"one new file by two names", {"--marks", "@./new.wav", "-o", "@new.wav"}, false, nullptr, 2,
         "is the audio's file", "keep\n"},
        {"--marks /dev/stdout, -o - on a file", {"--marks", "/dev/stdout", "-o", "-"}, true, nullptr, 2,
         "/dev/stdout is standard output", "keep\n"},
        {"--marks - and standard output on the -o file", {"--marks", "-", "-o", "@out.wav"}, true,
         nullptr, 2, "which is the audio's file", "keep\n"},
        {"--marks /dev/stdout beside a -o file", {"--marks", "/dev/stdout", "-o", "@new.wav"}, true,
         nullptr, 0, "wrote ", marks},
        {"the file on standard output removed", {"-o", "-"}, true, "out.wav", 1,
         "the file on standard output was removed during the run", nullptr},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Scratch s;
        std::vector<std::string> args{"-m", add_script_module(s), "--ssml"};
        s.write("keep.wav", "keep\n");
        s.write("out.wav", "keep\n");
        std::filesystem::create_symlink("keep.wav", s.path("link.wav"));
        for (const std::string &a : k.args) args.push_back(a[0] == '@' ? s.path(a.substr(1)) : a);
        args.push_back("<speak>Hi</speak>");
        Env env;
        if (k.remove) env.emplace_back("SAY_TEST_REMOVE", s.path(k.remove));
        auto c = s.start(args, env, k.stdout_on_file ? "1<>" : "", s.path("out.wav"));
        EXPECT_EQ(c->wait_exit(qtest::scaled(30s)), k.status) << c->err();
        EXPECT_NE(c->err().find(k.message), std::string::npos) << c->err();
        EXPECT_EQ(std::filesystem::exists(s.path("module.conf")), k.status != 2);
        EXPECT_EQ(slurp(s.path("keep.wav")), "keep\n");
        EXPECT_EQ(std::filesystem::exists(s.path("out.wav")), k.out_wav != nullptr);
        if (k.out_wav) {
            EXPECT_EQ(slurp(s.path("out.wav")), k.out_wav);
        }
        if (k.status == 2) {
            EXPECT_EQ(s.names(), (std::vector<std::string>{"bin", "keep.wav", "link.wav", "out.wav"}));
        }
    }
}

// An output whose reader stopped, or never came, ends the run: at once
// on one signal, otherwise after --timeout with a message naming it;
// either way without a temporary file left. A FIFO that the test holds
// open and never reads is the pipe of a paused player.
TEST(Say, EndsAStalledOutputWithinItsBound) {
    struct Case {
        const char *name;
        std::vector<std::string> args;  // "@x" is the scratch folder's file x
        bool stdout_on_fifo;            // standard output is the FIFO
        bool reader;                    // the FIFO is open for reading, never read
        int signal;                     // sent once the writer waits, 0 for none
        int status;
        const char *message;  // in standard error
    };
    const Case cases[] = {
        {"-o - into a pipe nobody reads, one SIGTERM", {"--timeout", "30", "-o", "-"}, true, true,
         SIGTERM, 143, "interrupted"},
        {"-o - into a pipe nobody reads", {"--timeout", "2", "-o", "-"}, true, true, 0, 1,
         "standard output took nothing within 2 s"},
        {"-o FIFO whose reader stopped", {"--timeout", "2", "-o", "@fifo"}, false, true, 0, 1,
         "fifo took nothing within 2 s"},
        {"--marks FIFO that nobody opens", {"--timeout", "2", "--ssml", "--marks", "@fifo", "-o", "@a.wav"},
         false, false, 0, 1, "fifo for reading within 2 s"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Scratch s;
        std::string fifo = s.path("fifo");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        int rd = k.reader ? open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
        ASSERT_EQ(rd >= 0, k.reader);
        std::vector<std::string> args;
        for (const std::string &a : k.args) args.push_back(a[0] == '@' ? s.path(a.substr(1)) : a);
        args.push_back("Hi");
        const Env far_more_than_a_pipe_holds = {{"QUORLIN_FAKE_SAMPLES", "200000"}};
        auto c = s.start(args, far_more_than_a_pipe_holds, k.stdout_on_fifo ? ">" : "", fifo);
        // The writer waits once what the FIFO holds stops growing.
        for (int held = 0, still = 0, looks = 0; k.signal && still < 5; looks++) {
            ASSERT_LT(looks, 200) << c->err();
            c->pump_for(100ms);
            int n = 0;
            ASSERT_EQ(ioctl(rd, FIONREAD, &n), 0);
            still = n > 0 && n == held ? still + 1 : 0;
            held = n;
        }
        if (k.signal) kill(c->pid(), k.signal);
        EXPECT_EQ(c->wait_exit(qtest::scaled(15s)), k.status) << c->err();
        EXPECT_NE(c->err().find(k.message), std::string::npos) << c->err();
        // No module for a FIFO that nobody opens.
        std::vector<std::string> left{"bin", "engine.log", "fifo"};
        if (!k.reader) left.erase(left.begin() + 1);
        EXPECT_EQ(s.names(), left);
        if (rd >= 0) close(rd);
    }
}

}  // namespace
