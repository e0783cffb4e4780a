// SPDX-License-Identifier: BSD-2-Clause
#include "say_options.h"

#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>
#include <unistd.h>

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
    fputs(
        "usage: quorlin-say [options] [text...]\n"
        "Speaks the text through the quorlin module into a WAV file, to standard\n"
        "output or to an audio player. Without text arguments or -f, the text is\n"
        "read from standard input (echo hello | quorlin-say --play).\n"
        "\n"
        "Text:\n"
        "  -f, --file FILE     read the text from FILE (\"-\": standard input),\n"
        "                      one message per paragraph\n"
        "      --lines         with -f or standard input: one message per line\n"
        "Audio:\n"
        "  -o, --output FILE   WAV file to write (default quorlin.wav); \"-\" writes a\n"
        "                      WAV stream to standard output. An existing file is\n"
        "                      replaced only when the run succeeds or is interrupted\n"
        "      --raw           raw PCM (signed 16-bit little-endian, mono, at the\n"
        "                      module's rate) to standard output, or to the -o file\n"
        "      --play          play the audio as it arrives, through the first of\n"
        "                      pw-play, paplay or aplay found on PATH (not with -o\n"
        "                      or --raw)\n"
        "Voice and speech:\n"
        "  -V, --voice VOICE   preset voice, by name or number (see --list-voices);\n"
        "                      wins over the -c file's CorvaneDefaultVoice\n"
        "      --list-voices   list the preset voices and exit\n"
        "  -r, --rate N        speech rate, -100 to 100 (0 is the normal rate)\n"
        "  -p, --pitch N       pitch, -100 to 100\n"
        "  -v, --volume N      volume, -100 to 100\n"
        "Module:\n"
        "  -c, --config FILE   configuration file for the module (must exist)\n"
        "  -m, --module PATH   the quorlin binary (default: quorlin beside quorlin-say,\n"
        "                      else the installed module)\n"
        "      --synchronous   have the module synthesise each message whole before\n"
        "                      sending it (default: streaming, CorvaneStreaming 1,\n"
        "                      unless the -c file sets CorvaneStreaming)\n"
        "      --timeout SEC   longest wait for each answer of the module (default\n"
        "                      60); raise it for very long paragraphs\n"
        "      --trace         show the protocol exchange, the module's standard\n"
        "                      error and the configuration it runs with\n"
        "  -q, --quiet         no progress or summary lines\n"
        "  -h, --help          this text\n"
        "      --version       the version of quorlin-say\n"
        "\n"
        "Exit status: 0 when all text was spoken; 1 when the module refused,\n"
        "failed or died, the output could not be written or no player was found;\n"
        "2 for a wrong command line (contradicting options, empty text, a missing\n"
        "or unreadable -c file); 130 or 143 when interrupted by SIGINT or SIGTERM\n"
        "(the audio written so far is kept as a complete WAV file).\n",
        to);
}

void list_voices() {
    puts("number  name     what the reference engine makes of it");
    for (int i = 0; i < 8; i++) printf("%-6d  %-7s  %s\n", i, voices[i].name, voices[i].character);
}

bool parse_int(const char *s, long low, long high, int &out) {
    char *end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (errno || end == s || *end || v < low || v > high) return false;
    out = static_cast<int>(v);
    return true;
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

Options parse_options(int argc, char **argv, bool stdin_is_terminal) {
    enum {
        opt_raw = 256, opt_lines, opt_timeout, opt_trace, opt_version, opt_play,
        opt_list_voices, opt_synchronous,
    };
    static const option longs[] = {
        {"output", required_argument, nullptr, 'o'}, {"raw", no_argument, nullptr, opt_raw},
        {"play", no_argument, nullptr, opt_play},    {"file", required_argument, nullptr, 'f'},
        {"lines", no_argument, nullptr, opt_lines},  {"config", required_argument, nullptr, 'c'},
        {"module", required_argument, nullptr, 'm'}, {"voice", required_argument, nullptr, 'V'},
        {"list-voices", no_argument, nullptr, opt_list_voices},
        {"synchronous", no_argument, nullptr, opt_synchronous},
        {"rate", required_argument, nullptr, 'r'},   {"pitch", required_argument, nullptr, 'p'},
        {"volume", required_argument, nullptr, 'v'}, {"timeout", required_argument, nullptr, opt_timeout},
        {"trace", no_argument, nullptr, opt_trace},  {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},         {"version", no_argument, nullptr, opt_version},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    bool output_given = false, raw = false, play = false;
    auto setting = [&](const char *name, const char *value) {
        int v = 0;
        if (!parse_int(value, -100, 100, v))
            bad(std::string("--") + name + " takes a whole number from -100 to 100, not \"" + value + "\"");
        o.settings.emplace_back(name, v);
    };
    int c;
    while ((c = getopt_long(argc, argv, "o:f:c:m:V:r:p:v:qh", longs, nullptr)) != -1) {
        switch (c) {
        case 'o': o.output = optarg; output_given = true; break;
        case opt_raw: raw = true; break;
        case opt_play: play = true; break;
        case 'f': o.text_file = optarg; break;
        case opt_lines: o.per_line = true; break;
        case 'c': o.config = optarg; break;
        case 'm': o.module = optarg; break;
        case 'V':
            o.voice = find_voice(optarg);
            if (o.voice < 0)
                bad(std::string("no voice \"") + optarg + "\": give a name or number from --list-voices");
            break;
        case opt_list_voices: list_voices(); exit(0);
        case opt_synchronous: o.synchronous = true; break;
        case 'r': setting("rate", optarg); break;
        case 'p': setting("pitch", optarg); break;
        case 'v': setting("volume", optarg); break;
        case opt_timeout:
            if (!parse_int(optarg, 1, 86400, o.timeout_s)) bad("--timeout takes seconds, 1 to 86400");
            break;
        case opt_trace: o.trace = true; break;
        case 'q': o.quiet = true; break;
        case 'h': usage(stdout); exit(0);
        case opt_version: printf("quorlin-say %s\n", QUORLIN_VERSION); exit(0);
        default: fputs("Try 'quorlin-say --help'.\n", stderr); exit(exit_usage);
        }
    }
    for (int i = optind; i < argc; i++) o.words.emplace_back(argv[i]);

    if (play && raw) bad("--play and --raw contradict each other: the player takes the audio");
    if (play && output_given) bad("--play and -o contradict each other: play or write, not both");
    if (output_given && o.output.empty()) bad("-o needs a file name, or \"-\" for standard output");
    bool to_stdout = output_given && o.output == "-";
    if (play)
        o.destination = Destination::player;
    else if (raw)
        o.destination = (to_stdout || !output_given) ? Destination::raw_stdout : Destination::raw_file;
    else
        o.destination = to_stdout ? Destination::wav_stdout : Destination::wav_file;

    if (!o.text_file.empty() && !o.words.empty()) bad("give the text as arguments or with -f, not both");
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
    if (o.module.empty()) o.module = default_module();
    return o;
}

}  // namespace say
