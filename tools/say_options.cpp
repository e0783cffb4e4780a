// SPDX-License-Identifier: BSD-2-Clause
// quorlin-say's command line: the option table, --help, the voice
// names, and the checks that turn a contradicting or malformed command
// line into exit status 2 before anything starts. It decides what the
// user asked for; what the module is configured with is say_config's
// and quorlin_say's, where the audio goes say_audio's.
#include "say_options.h"

#include <ctype.h>
#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <initializer_list>

#include "say_common.h"

#ifndef QUORLIN_VERSION
#define QUORLIN_VERSION "unknown"
#endif
#ifndef QUORLIN_MODULE_FROM_BINDIR
#define QUORLIN_MODULE_FROM_BINDIR "../lib/quorlin/bin/quorlin"
#endif

namespace say {

const Voice voices[8] = {
    {"Wade", "the plain American male voice"},
    {"Flo", "adult female"},
    {"Bobbie", "child: high pitch, raised formants"},
    {"Male2", "lower, measured male"},
    {"Male3", "brighter, strongly voiced male"},
    {"Female2", "second adult female, with a light echo"},
    {"Grandma", "older female, unsteady pitch"},
    {"Grandpa", "older male, unsteady pitch"},
};

namespace {

void usage(FILE *to) {
    fputs("usage: quorlin-say [options] [text...]\n"
          "Speaks the text through the quorlin module into a WAV file, to standard\n"
          "output or to an audio player. Without text arguments or -f, the text is\n"
          "read from standard input (echo hello | quorlin-say --play). The text is\n"
          "UTF-8; a warning names the first message that is not.\n"
          "\n"
          "Text:\n"
          "  -f, --file FILE     read the text from FILE (\"-\": standard input),\n"
          "                      one message per paragraph\n"
          "      --lines         with -f or standard input: one message per line\n"
          "      --ssml          the text is SSML and is sent as it is: the module\n"
          "                      honours <mark/> (see --marks), drops every other\n"
          "                      element and speaks the text as if its tags were not\n"
          "                      there; -f or standard input is one document, one\n"
          "                      message (one per line with --lines). Without it &, <\n"
          "                      and > are sent as entities, so plain text is spoken\n"
          "                      as written. A message with nothing to speak (markup\n"
          "                      alone) is skipped with a line that names it\n"
          "Audio:\n"
          "  -o, --output FILE   WAV file to write (default quorlin.wav); \"-\" writes a\n"
          "                      WAV stream to standard output. An existing file is\n"
          "                      replaced only when the run succeeds or is interrupted\n"
          "      --raw           raw PCM (signed 16-bit little-endian, mono, at the\n"
          "                      module's rate) to standard output, or to the -o file;\n"
          "                      to a terminal only with -o -\n"
          "      --play          play the audio as it arrives, through the first of\n"
          "                      pw-play, paplay, aplay or sox's play found on PATH\n"
          "                      (not with -o or --raw)\n"
          "      --marks FILE    with --ssml: write a line NAME<TAB>SECONDS for each\n"
          "                      <mark name=\"NAME\"/> reached, SECONDS being the audio\n"
          "                      time at which it was reported (\"-\": standard output);\n"
          "                      turns CorvaneIndexMarks 1 on unless the configuration\n"
          "                      file sets it;\n"
          "                      the audio's own file, by any name, is refused\n"
          "Voice and speech:\n"
          "  -V, --voice VOICE   a preset by name or number 0 to 7 (Wade, Flo, Bobbie,\n"
          "                      Male2, Male3, Female2, Grandma, Grandpa), which wins\n"
          "                      over the configuration file's CorvaneDefaultVoice; or\n"
          "                      a voice of --list-voices by its name (\"Flo fr-FR\"),\n"
          "                      sent as synthesis_voice: that preset in that language\n"
          "  -l, --language TAG  the language to speak (fr, de-DE, pt_BR), sent as\n"
          "                      language; the module keeps its own when it has none\n"
          "                      for TAG, and says so\n"
          "      --list-voices   list the module's voices (every preset in every\n"
          "                      language the engine has, with CorvaneLanguages 1,\n"
          "                      which quorlin-say turns on unless the configuration\n"
          "                      file sets it) and exit\n"
          "  -r, --rate N        speech rate as a server sends it, -100 to 100, which\n"
          "                      the module maps linearly onto the engine's speed 0\n"
          "                      to 250 (0 is 125); without -r nothing is sent and\n"
          "                      the engine's default speed 50 holds (-r -60)\n"
          "  -p, --pitch N       pitch, -100 to 100, onto the engine's 0 to 100 (0 is\n"
          "                      50); without -p the engine's default 65 (-p 30)\n"
          "  -v, --volume N      volume, -100 to 100, onto the engine's 0 to 100 (0 is\n"
          "                      50); without -v the engine's default 90 (-v 80).\n"
          "                      A server sends all three: -r 0 -p 0 -v 0, the middle\n"
          "                      of each scale, is far faster, lower and softer than\n"
          "                      the engine's defaults\n"
          "      --punctuation LEVEL\n"
          "                      symbols read by name: none, some (default), most\n"
          "                      or all\n"
          "      --spell         spell the text letter by letter\n"
          "      --capitals none|spell\n"
          "                      with --spell (the module marks capitals only while\n"
          "                      it spells): a capital letter as itself (default),\n"
          "                      or as \"capital\" followed by the letter\n"
          "      --ascii-text    have the module clean the text to plain ASCII, as it\n"
          "                      does by default, instead of CorvaneFaithfulText 1;\n"
          "                      the three options above then change nothing\n"
          "Module:\n"
          "  -c, --config FILE   the module's configuration file (must exist), instead\n"
          "                      of the installed /etc/quorlin.conf that a speech\n"
          "                      server starts it with, which is read when it exists\n"
          "  -m, --module PATH   the quorlin binary (default: quorlin beside quorlin-say,\n"
          "                      else the installed module)\n"
          "      --synchronous   have the module synthesise each message whole before\n"
          "                      sending it (default: streaming, CorvaneStreaming 1,\n"
          "                      unless the configuration file sets CorvaneStreaming)\n"
          "      --timeout SEC   longest wait for each answer of the module, for the\n"
          "                      player, a pipe or a FIFO to take what is written\n"
          "                      and a FIFO's reader to open it, for the player to\n"
          "                      end and for the module to exit (default 60); raise\n"
          "                      it for very long paragraphs\n"
          "      --trace         show the protocol exchange, the module's standard\n"
          "                      error and the configuration it runs with\n"
          "  -q, --quiet         no progress or summary lines (progress lines, one\n"
          "                      per message, come only when standard error is a\n"
          "                      terminal, or with --trace)\n"
          "  -h, --help          this text\n"
          "      --version       the version of quorlin-say\n"
          "\n"
          "Exit status: 0 when all text was spoken; 1 when the module refused,\n"
          "failed or died, the output could not be written, no player was found,\n"
          "the -f file or standard input could not be read or held no text, or no\n"
          "message had anything to speak; 2 for a wrong command line (contradicting\n"
          "options, empty text arguments, --raw to a terminal, a missing or\n"
          "unreadable -c file); 128 + the signal (129 SIGHUP, 130 SIGINT, 131\n"
          "SIGQUIT, 143 SIGTERM) when interrupted: the audio written so far is kept\n"
          "as a complete WAV file. A second signal ends at once, keeping nothing\n"
          "new; neither leaves a temporary file behind.\n",
          to);
}

// The directory of this program, for finding the module beside it.
std::string own_directory() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    std::string p(path, static_cast<size_t>(n));
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

// The module beside this program when there is one (the build tree),
// otherwise the installed module in its private tree, found relative to
// this program so that an install under any prefix or root works.
std::string default_module() {
    std::string dir = own_directory();
    std::string beside = dir + "/quorlin";
    if (access(beside.c_str(), X_OK) == 0) return beside;
    return dir + "/" QUORLIN_MODULE_FROM_BINDIR;
}

[[noreturn]] void bad(const std::string &what) {
    fprintf(stderr, "quorlin-say: %s\nTry 'quorlin-say --help'.\n", what.c_str());
    exit(exit_usage);
}

}  // namespace

int find_voice(const std::string &name) {
    int n = 0;
    if (parse_int(name.c_str(), 0, 7, n)) return n;
    for (int i = 0; i < 8; i++)
        if (strcasecmp(name.c_str(), voices[i].name) == 0) return i;
    return -1;
}

namespace {

// What the flags said, before the destination and the source are
// decided from it.
struct Flags {
    bool output_given = false;
    bool raw = false;
    bool play = false;
    std::string punctuation = "some";
    bool spell = false;
    std::string capitals = "none";
    bool capitals_given = false;
    std::string language;  // -l, "" when not given
};

// `value` when it is one of `allowed`; a command line error otherwise.
std::string one_of(const char *option, const char *value,
                   std::initializer_list<const char *> allowed) {
    std::string list;
    for (const char *a : allowed) {
        if (strcmp(value, a) == 0) return value;
        list += (list.empty() ? "" : ", ") + std::string(a);
    }
    bad(std::string("--") + option + " takes one of " + list + ", not \"" + value + "\"");
}

// A language tag as a server sends one: letters, digits, "-" and "_".
bool is_language_tag(const char *tag) {
    size_t n = strlen(tag);
    if (n == 0 || n > 35) return false;
    for (size_t i = 0; i < n; i++)
        if (!isalnum(static_cast<unsigned char>(tag[i])) && tag[i] != '-' && tag[i] != '_')
            return false;
    return true;
}

// The getopt loop: every option into `o` or `f`. Exits for --help,
// --version and an option it does not know.
void read_flags(int argc, char **argv, Options &o, Flags &f) {
    enum {
        opt_raw = 256,
        opt_lines,
        opt_timeout,
        opt_trace,
        opt_version,
        opt_play,
        opt_list_voices,
        opt_synchronous,
        opt_ssml,
        opt_marks,
        opt_punctuation,
        opt_spell,
        opt_capitals,
        opt_ascii_text,
    };
    static const option longs[] = {
        {"output", required_argument, nullptr, 'o'},
        {"raw", no_argument, nullptr, opt_raw},
        {"play", no_argument, nullptr, opt_play},
        {"file", required_argument, nullptr, 'f'},
        {"lines", no_argument, nullptr, opt_lines},
        {"config", required_argument, nullptr, 'c'},
        {"module", required_argument, nullptr, 'm'},
        {"voice", required_argument, nullptr, 'V'},
        {"language", required_argument, nullptr, 'l'},
        {"list-voices", no_argument, nullptr, opt_list_voices},
        {"synchronous", no_argument, nullptr, opt_synchronous},
        {"rate", required_argument, nullptr, 'r'},
        {"pitch", required_argument, nullptr, 'p'},
        {"volume", required_argument, nullptr, 'v'},
        {"timeout", required_argument, nullptr, opt_timeout},
        {"trace", no_argument, nullptr, opt_trace},
        {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, opt_version},
        {"ssml", no_argument, nullptr, opt_ssml},
        {"marks", required_argument, nullptr, opt_marks},
        {"punctuation", required_argument, nullptr, opt_punctuation},
        {"spell", no_argument, nullptr, opt_spell},
        {"capitals", required_argument, nullptr, opt_capitals},
        {"ascii-text", no_argument, nullptr, opt_ascii_text},
        {nullptr, 0, nullptr, 0},
    };
    auto setting = [&](const char *name, const char *value) {
        int v = 0;
        if (!parse_int(value, -100, 100, v))
            bad(std::string("--") + name + " takes a whole number from -100 to 100, not \"" +
                value + "\"");
        o.settings.emplace_back(name, std::to_string(v));
    };
    int c;
    while ((c = getopt_long(argc, argv, "o:f:c:m:V:l:r:p:v:qh", longs, nullptr)) != -1) {
        switch (c) {
        case 'o':
            o.output = optarg;
            f.output_given = true;
            break;
        case opt_raw: f.raw = true; break;
        case opt_play: f.play = true; break;
        case 'f': o.text_file = optarg; break;
        case opt_lines: o.per_line = true; break;
        case 'c': o.config = optarg; break;
        case 'm': o.module = optarg; break;
        case 'V':
            o.voice = find_voice(optarg);
            o.listed_voice = o.voice < 0 ? optarg : "";
            if (o.voice < 0 && o.listed_voice.find_first_not_of(" \t") == std::string::npos)
                bad("-V needs a voice: a preset or a name from --list-voices");
            break;
        case 'l':
            if (!is_language_tag(optarg))
                bad(std::string("--language takes a language tag (fr, de-DE, pt_BR), not \"") +
                    optarg + "\"");
            f.language = optarg;
            break;
        case opt_list_voices: o.list_voices = true; break;
        case opt_synchronous: o.synchronous = true; break;
        case 'r': setting("rate", optarg); break;
        case 'p': setting("pitch", optarg); break;
        case 'v': setting("volume", optarg); break;
        case opt_timeout:
            if (!parse_int(optarg, 1, 86400, o.timeout_s))
                bad("--timeout takes seconds, 1 to 86400");
            break;
        case opt_trace: o.trace = true; break;
        case 'q': o.quiet = true; break;
        case opt_ssml: o.ssml = true; break;
        case opt_marks:
            o.marks = optarg;
            if (o.marks.empty()) bad("--marks needs a file name, or \"-\" for standard output");
            break;
        case opt_punctuation:
            f.punctuation = one_of("punctuation", optarg, {"none", "some", "most", "all"});
            break;
        case opt_spell: f.spell = true; break;
        case opt_capitals:
            f.capitals = one_of("capitals", optarg, {"none", "spell"});
            f.capitals_given = true;
            break;
        case opt_ascii_text: o.faithful_text = false; break;
        case 'h': usage(stdout); exit(0);
        case opt_version: printf("quorlin-say %s\n", QUORLIN_VERSION); exit(0);
        default: fputs("Try 'quorlin-say --help'.\n", stderr); exit(exit_usage);
        }
    }
    for (int i = optind; i < argc; i++) o.words.emplace_back(argv[i]);
    // The module says "capital" only where it spells (the faithful
    // preparation's spelling pass); reading normally, the setting would
    // be sent and change nothing.
    if (f.capitals_given && !f.spell)
        bad("--capitals goes with --spell: the module marks capitals only while it spells");
    // A server sends these in every SET block; the module heeds them
    // with CorvaneFaithfulText 1.
    o.settings.emplace_back("punctuation_mode", f.punctuation);
    o.settings.emplace_back("spelling_mode", f.spell ? "on" : "off");
    o.settings.emplace_back("cap_let_recogn", f.capitals);
    // Sent after the rest, in the order a server sends them: the language,
    // then the voice, which may name another language and then wins.
    if (!f.language.empty()) o.settings.emplace_back("language", f.language);
    if (!o.listed_voice.empty()) o.settings.emplace_back("synthesis_voice", o.listed_voice);
}

// The marks and the audio in one file would leave only the marks, put
// in place last, or mix the two: whichever names reach one file (links,
// "./x", /dev/stdout), that is a wrong command line. The player takes
// the audio through a pipe of its own, so it shares nothing.
void refuse_shared_file(const Options &o, bool audio_on_stdout) {
    bool audio_in_file =
        o.destination == Destination::wav_file || o.destination == Destination::raw_file;
    if (audio_on_stdout && o.marks != "-" && names_descriptor(o.marks, 1))
        bad("--marks " + o.marks +
            " is standard output, where the audio goes: "
            "give --marks another file");
    if (audio_in_file && o.marks == "-" && names_descriptor(o.output, 1))
        bad("--marks - is standard output, which is the audio's file " + o.output +
            ": give --marks a file");
    if (audio_in_file && o.marks != "-" && same_file(o.marks, o.output))
        bad("--marks " + o.marks + " is the audio's file " + o.output +
            ": give --marks another file");
}

// Where the audio and the marks go. Raw samples on a terminal would only
// garble it: --raw goes there when -o - says so.
void choose_destination(Options &o, const Flags &f, bool stdout_is_terminal) {
    if (f.play && f.raw) bad("--play and --raw contradict each other: the player takes the audio");
    if (f.play && f.output_given)
        bad("--play and -o contradict each other: play or write, not both");
    if (f.output_given && o.output.empty())
        bad("-o needs a file name, or \"-\" for standard output");
    bool to_stdout = f.output_given && (o.output == "-" || names_standard_output(o.output));
    if (f.play)
        o.destination = Destination::player;
    else if (f.raw)
        o.destination =
            (to_stdout || !f.output_given) ? Destination::raw_stdout : Destination::raw_file;
    else
        o.destination = to_stdout ? Destination::wav_stdout : Destination::wav_file;
    if (f.raw && !f.output_given && stdout_is_terminal)
        bad("--raw writes binary audio to standard output, which is a terminal: redirect it, "
            "give -o FILE, or -o - to write it there all the same");
    if (o.marks.empty()) return;
    if (!o.ssml) bad("--marks goes with --ssml: only SSML text holds marks");
    bool audio_on_stdout =
        o.destination == Destination::wav_stdout || o.destination == Destination::raw_stdout;
    if (o.marks == "-" && audio_on_stdout)
        bad("--marks - and the audio cannot share standard output: give --marks a file");
    refuse_shared_file(o, audio_on_stdout);
    // Once it is known to be apart from the audio, as "-" is.
    if (o.marks != "-" && names_standard_output(o.marks)) o.marks = "-";
}

// Where the text comes from.
void choose_source(Options &o, bool stdin_is_terminal) {
    if (!o.text_file.empty() && !o.words.empty())
        bad("give the text as arguments or with -f, not both");
    if (!o.words.empty()) {
        o.source = TextSource::arguments;
        bool blank = true;
        for (const std::string &w : o.words)
            if (w.find_first_not_of(" \t\r\n") != std::string::npos) blank = false;
        if (blank) bad("the text is empty: give words to speak");
        if (o.per_line) bad("--lines goes with -f or standard input, not with text arguments");
    } else if (!o.text_file.empty()) {
        o.source = o.text_file == "-" ? TextSource::standard_input : TextSource::file;
    } else if (stdin_is_terminal) {
        bad("no text: give it as arguments (quorlin-say \"Hello\"), with -f FILE, "
            "or on standard input (echo Hello | quorlin-say)");
    } else {
        o.source = TextSource::standard_input;
    }
}

}  // namespace

Options parse_options(int argc, char **argv, bool stdin_is_terminal, bool stdout_is_terminal) {
    Options o;
    Flags f;
    read_flags(argc, argv, o, f);
    if (o.module.empty()) o.module = default_module();
    // Nothing is spoken: the module is asked for its voices, and the
    // output and text options have nothing to do.
    if (o.list_voices) return o;
    choose_destination(o, f, stdout_is_terminal);
    choose_source(o, stdin_is_terminal);
    return o;
}

}  // namespace say
