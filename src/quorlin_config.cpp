// SPDX-License-Identifier: BSD-2-Clause
/*
 * The configuration file reader: module_config, the first hook the
 * process calls. It reads the file named on the command line once into
 * the config_ values of quorlin_config.h, which module_init applies to the
 * engine later. Nothing is written back and the file is not read again.
 *
 * No condition here stops the module: without a path, with a file that
 * cannot be opened, and for any line it cannot use, the values keep their
 * defaults and the result is 0. Every log line goes to stderr.
 */
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "nrv_module_main.h"
#include "quorlin_config.h"

namespace quorlin {

int config_sample_rate = 2;
int config_voice = 0;
int config_pitch_baseline = -1;
int config_pitch_fluctuation = -1;
int config_speed = -1;
int config_volume = -1;
int config_head_size = -1;
int config_roughness = -1;
int config_breathiness = -1;
char config_main_dict[config_path_bytes] = "";
char config_root_dict[config_path_bytes] = "";
char config_abbrev_dict[config_path_bytes] = "";
int config_phrase_prediction = 0;
int config_dictionary = 0;
int config_number_mode = -1;
int config_text_mode = -1;
int config_real_world_units = -1;

/* strtoll, not strtol, so that the reading is the same on every build. */
int read_number(const char *word) {
    long long v = strtoll(word, nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int>(v);
}

}  // namespace quorlin

namespace {

using namespace quorlin;

/* Lines are read in pieces of at most 255 bytes; a longer line goes on
 * as a line of its own. */
constexpr int line_bytes = 256;

/* One key of the file. A key sets either a number (`number`, accepted
 * from `min` to `max` inclusive) or a dictionary path (`path`). `label`
 * is what the acceptance log line calls the value. */
struct config_key {
    const char *key;
    const char *label;
    int *number;
    char *path;
    int min;
    int max;
};

/* The order in which keys are tried. */
const config_key config_keys[] = {
    {"CorvaneSampleRate", "sample rate", &config_sample_rate, nullptr, 0, 2},
    {"CorvaneDefaultVoice", "voice", &config_voice, nullptr, 0, 7},
    {"CorvanePitchBaseline", "pitch baseline", &config_pitch_baseline, nullptr, 0, 100},
    {"CorvanePitchFluctuation", "pitch fluctuation", &config_pitch_fluctuation, nullptr, 0, 100},
    {"CorvaneSpeed", "speed", &config_speed, nullptr, 0, 250},
    {"CorvaneVolume", "volume", &config_volume, nullptr, 0, 100},
    {"CorvaneHeadSize", "head size", &config_head_size, nullptr, 0, 100},
    {"CorvaneRoughness", "roughness", &config_roughness, nullptr, 0, 100},
    {"CorvaneBreathiness", "breathiness", &config_breathiness, nullptr, 0, 100},
    {"CorvaneMainDict", "main dictionary", nullptr, config_main_dict, 0, 0},
    {"CorvaneRootDict", "root dictionary", nullptr, config_root_dict, 0, 0},
    {"CorvaneAbbrevDict", "abbreviation dictionary", nullptr, config_abbrev_dict, 0, 0},
    {"CorvanePhrasePrediction", "phrase prediction", &config_phrase_prediction, nullptr, 0, 1},
    {"CorvaneDictionary", "dictionary (abbreviations)", &config_dictionary, nullptr, 0, 1},
    {"CorvaneNumberMode", "number mode", &config_number_mode, nullptr, 0, INT32_MAX},
    {"CorvaneTextMode", "text mode", &config_text_mode, nullptr, 0, INT32_MAX},
    {"CorvaneRealWorldUnits", "real world units", &config_real_world_units, nullptr, 0, 1},
};

void apply_key(const config_key &k, const char *value) {
    if (k.path) {
        /* A scanned word has at most 63 characters, so it always fits. */
        snprintf(k.path, config_path_bytes, "%s", value);
        fprintf(stderr, "quorlin: Config: %s %s\n", k.label, k.path);
        return;
    }
    int v = read_number(value);
    if (v < k.min || v > k.max) return;
    *k.number = v;
    if (k.number == &config_voice)
        fprintf(stderr, "quorlin: Config: voice %d (%s)\n", v,
                voice_name_table[static_cast<size_t>(v)]);
    else
        fprintf(stderr, "quorlin: Config: %s %d\n", k.label, v);
}

void read_line(const char *line) {
    while (*line == ' ' || *line == '\t') line++;
    if (*line == '#' || *line == '\n' || *line == '\0') return;
    char key[64], value[64];
    if (sscanf(line, "%63s %63s", key, value) != 2) return;
    fprintf(stderr, "quorlin: Config line: key='%s' value='%s'\n", key, value);
    for (const config_key &k : config_keys) {
        if (strcasecmp(key, k.key) == 0) {
            apply_key(k, value);
            return;
        }
    }
}

}  // namespace

extern "C" int module_config(const char *configfile) {
    if (!configfile) {
        fprintf(stderr, "quorlin: loading config: %s\n", "(none)");
        return 0;
    }
    fprintf(stderr, "quorlin: loading config: %s\n", configfile);
    FILE *f = fopen(configfile, "r");
    if (!f) {
        fprintf(stderr, "quorlin: Could not open config file: %s\n", strerror(errno));
        return 0;
    }
    fprintf(stderr, "quorlin: Config file opened successfully\n");
    char line[line_bytes];
    while (fgets(line, line_bytes, f)) read_line(line);
    fclose(f);
    return 0;
}
