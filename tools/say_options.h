// SPDX-License-Identifier: BSD-2-Clause
// The command line of quorlin-say: what the user asked for, checked for
// contradictions before anything starts.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace say {

// Where the audio goes.
enum class Destination {
    wav_file,    // -o FILE (or the default quorlin.wav)
    wav_stdout,  // -o -
    raw_file,    // --raw -o FILE
    raw_stdout,  // --raw, or --raw -o -
    player,      // --play
};

// Where the text comes from.
enum class TextSource {
    arguments,
    file,
    standard_input
};

struct Options {
    Destination destination = Destination::wav_file;
    std::string output = "quorlin.wav";  // for the *_file destinations
    TextSource source = TextSource::arguments;
    std::string text_file;  // for TextSource::file
    bool per_line = false;
    std::string config;  // the user's -c file, "" for none
    std::string module;
    int voice = -1;  // preset number, -1 for the configuration's own
    // -V with a name that is not a preset's: a name the module lists
    // ("Flo fr-FR"), sent as synthesis_voice once the list holds it.
    std::string listed_voice;
    bool list_voices = false;  // --list-voices: print the module's voices and exit
    bool synchronous = false;
    bool ssml = false;          // the text is SSML, sent as it is
    std::string marks;          // --marks file ("-": standard output), "" for none
    bool faithful_text = true;  // CorvaneFaithfulText 1 unless --ascii-text
    // The SET block, as a server sends it: rate, pitch and volume as
    // given, then the punctuation level, spelling and capitals.
    std::vector<std::pair<std::string, std::string>> settings;
    int timeout_s = 60;  // the bound of every wait
    bool trace = false;
    bool quiet = false;
    std::vector<std::string> words;
};

// The eight preset voices, by number, and what each sounds like. The module's own table is not
// used: quorlin-say knows the module only through the protocol and its
// configuration file, as a server does, and runs any quorlin binary it
// is pointed at. The names must follow the module's numbering.
struct Voice {
    const char *name;
    const char *character;  // what the reference engine makes of it
};
extern const Voice voices[8];

// The preset number for `name` (a name in any case, or a number 0 to 7);
// -1 when there is none.
int find_voice(const std::string &name);

// Fills the options from the command line. Prints and exits on --help and
// --version (status 0) and on a wrong command line
// (status 2). `stdin_is_terminal` decides whether standard input may hold
// the text, `stdout_is_terminal` whether --raw may send its audio there.
Options parse_options(int argc, char **argv, bool stdin_is_terminal, bool stdout_is_terminal);

}  // namespace say
