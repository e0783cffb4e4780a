// SPDX-License-Identifier: BSD-2-Clause
/*
 * The scriptable fake engine: libibmeci50.so with the 18 calls of
 * eci_corvane.h (17 when built without eciGetAvailableLanguages, as a
 * library that lacks it, with QUORLIN_FAKE_WITHOUT_LANGUAGES), producing a known sample pattern instead of speech, so
 * that tests can drive the quorlin binary end to end and check exactly
 * what it asked the engine to do. One instance and one dictionary set at
 * a time, all on the caller's thread, as the module uses them.
 *
 * Scripted through the environment, read afresh at every eciNew:
 *
 *   QUORLIN_FAKE_LOG        File to which every call is appended, one line
 *                           each, with its arguments (see "Call log").
 *                           Unset: nothing is logged.
 *   QUORLIN_FAKE_SAMPLES    Samples each message produces, as a comma list
 *                           by message: "25000,100" gives 25000 to the
 *                           first synthesis, 100 to the second and every
 *                           later one. Default 1000. 0 produces nothing.
 *   QUORLIN_FAKE_CHUNK      Most samples per callback; default and upper
 *                           bound: the size given to eciSetOutputBuffer.
 *   QUORLIN_FAKE_DELIVER    "synthesize" (default): the samples are
 *                           delivered inside eciSynthesize;
 *                           "synchronize": inside eciSynchronize (eciStop
 *                           in between discards them).
 *   QUORLIN_FAKE_DELAY_MS   Milliseconds slept before each sample callback,
 *                           so that a test can send commands while the
 *                           engine synthesises. Default 0.
 *   QUORLIN_FAKE_FAIL       Comma list of calls to fail: eciNew,
 *                           eciSetOutputBuffer, eciAddText, eciSynthesize,
 *                           eciNewDict, eciSetDict, eciLoadDict (every
 *                           volume) or eciLoadDict:main, eciLoadDict:root,
 *                           eciLoadDict:abbv, eciGetAvailableLanguages
 *                           (returns ECI_PARAMETERERROR; the rules are
 *                           those read at the last eciNew),
 *                           eciGetParam:dialect (returns -1). "name@N" fails only the N-th
 *                           call of that name (from 1).
 *   QUORLIN_FAKE_DICT_ERROR Error number of a failing eciLoadDict or
 *                           eciSetDict. Default 6 (DictAccessError).
 *   QUORLIN_FAKE_RATE_CODE  The code eciGetParam(eciSampleRate) reports.
 *                           Default: the code last set, 2 before any.
 *   QUORLIN_FAKE_PROBES     Comma list of "message:count" callbacks made at
 *                           the start of every synthesis, before the
 *                           samples (count may be negative or beyond the
 *                           buffer); their answers are logged and ignored.
 *   QUORLIN_FAKE_IGNORE_STOP "1": the engine is told to stop and takes no
 *                           notice: a refused callback and an eciStop made
 *                           from inside a callback are logged, and the
 *                           samples go on to the message's end, as an
 *                           engine that ignores its caller would.
 *   QUORLIN_FAKE_LOSE_INDEX The K-th index (from 1) placed in each message is
 *                           never reported, as an engine may lose one.
 *   QUORLIN_FAKE_REOFFER    How many times a refused buffer or index reply
 *                           is offered again before the synthesis ends, as
 *                           the engine's manual allows. Default 0: the
 *                           first refusal ends it.
 *   QUORLIN_FAKE_LANGUAGES  Comma list of the dialects installed, each a
 *                           number in decimal or 0x hex ("0x00030000"),
 *                           reported by eciGetAvailableLanguages in this
 *                           order; values the engine's table lacks are
 *                           reported as given. Default: en-US alone. An
 *                           instance starts in the lowest of them.
 *                           Read afresh at each eciGetAvailableLanguages
 *                           call too, which needs no instance.
 *   QUORLIN_FAKE_TEXT_HEX   "1": eciAddText logs its text as hex bytes,
 *                           "eciAddText hex=48C3A9", for code-page tests.
 *   QUORLIN_FAKE_STOP_LOG   File to which the course of every synthesis is
 *                           appended, with times, so that a test can see
 *                           whether and when the engine was told to stop
 *                           and when it ended (see "Stop log"). Unset:
 *                           nothing is written.
 *
 * Samples: sample i of the m-th synthesis is quorlin_fake_sample(m, i)
 * (fake_engine.h), written to the output buffer and handed over in
 * callbacks of at most QUORLIN_FAKE_CHUNK samples. When the callback
 * answers eciDataNotProcessed (after the re-offers the script allows),
 * the rest of that message is dropped (unless QUORLIN_FAKE_IGNORE_STOP
 * says otherwise).
 *
 * Indexes: the samples of a message stand for its text, spread evenly
 * over its bytes: an index placed after b of the text's L bytes is
 * reported with eciIndexReply right after sample T * b / L of the
 * message's T (rounded down; 0 without text). No callback carries
 * samples from both sides of an index. Indexes not reached before the
 * message ends are not reported.
 *
 * The manual's contract is enforced: every engine call made from inside
 * the callback is refused, does nothing and is logged with " REFUSED";
 * eciInsertIndex with 0 is refused with " BAD INDEX"; text holding a
 * backquote, which the engine could take for an annotation, is logged
 * with " BACKQUOTE". Voices are numbered as the engine numbers them: 0
 * speaks, 1 to 8 are the read-only presets, 9 to 16 the user's. A write
 * into a preset (eciSetVoiceParam on it, eciCopyVoice to it) is refused
 * and logged with " READ-ONLY"; a voice outside 0 to 16 with " BAD
 * VOICE". A refused eciSetVoiceParam returns -1, a refused copy 0.
 * eciSetParam of eciLanguageDialect to a dialect not installed returns
 * -1, keeps the dialect in force and is logged with " NOT INSTALLED".
 * eciGetAvailableLanguages with a null argument or a negative capacity
 * returns ECI_PARAMETERERROR, logged with " BAD ARGUMENT". In a dialect
 * whose code page is double-byte (Chinese, Japanese, Korean), text that
 * ends inside a character, on a lead byte, is logged with " SPLIT
 * CHARACTER": the engine would join it to the next call's first byte.
 *
 * Call log: "eciNew", "eciDelete", "eciRegisterCallback callback=set
 * data=null", "eciSetOutputBuffer 20000", "eciSetParam eciSampleRate 2",
 * "eciInsertIndex 7",
 * "eciGetParam eciSampleRate -> 2", "eciSetParam eciLanguageDialect
 * 0x00030000", "eciGetParam eciLanguageDialect -> 0x00010000",
 * "eciGetAvailableLanguages 0 -> 3" (the capacity given, the count
 * returned), "eciSetVoiceParam 0 eciSpeed 50",
 * "eciCopyVoice 3 0", "eciNewDict", "eciLoadDict eciRootDict <path>",
 * "eciSetDict", "eciDeleteDict", "eciAddText \"<text>\"" (with \n, \",
 * \\ and \xNN escapes), "eciSynthesize", "eciSynchronize", "eciStop", and
 * for each callback "callback eciWaveformBuffer 20000 -> processed" (or
 * "-> not processed"; "callback eciIndexReply 7 -> processed"; other
 * messages by number). A call failed by the script ends in " FAIL"
 * (dictionary calls: " FAIL <error>"); a call on a handle that is not the
 * live instance or set ends in " BAD HANDLE" and does nothing.
 *
 * Stop log: one line per event, each ending in "t=<ms>", the time of
 * CLOCK_MONOTONIC in milliseconds (the clock a test reads too):
 *   "stop answer message=M callback=N samples=S t=..."   the N-th sample
 *       callback of message M answered eciDataNotProcessed after S
 *       samples had been handed over in all (that callback's included);
 *   "stop eciStop message=M outside a callback t=..."    eciStop during
 *       a synthesis but not from the callback (the synthesis hook); it
 *       does not end the delivery;
 *   "stop eciStop idle t=..."                            eciStop while
 *       no synthesis runs;
 *   "end message=M callbacks=N samples=S of=T ignored=I t=..."  delivery
 *       of message M ended after N callbacks and S of its T samples; I is
 *       the number of stops that were not heeded.
 */
#include "fake_engine.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "eci_corvane.h"

namespace {

constexpr int max_messages = 64; /* entries of QUORLIN_FAKE_SAMPLES */
constexpr int max_fail_rules = 16;
constexpr int max_probes = 16;
constexpr int max_dialects = 32; /* entries of QUORLIN_FAKE_LANGUAGES */

/* The installed dialects, as the script gives them. */
struct dialect_list {
    int values[max_dialects];
    int count;
};

/* A call the script makes fail: every call of `name` (nth 0) or only its
 * nth. */
struct fail_rule {
    char name[40];
    long nth;
};

struct probe {
    int message;
    long count;
};

/* The script, parsed at eciNew. */
struct script {
    long samples[max_messages];
    int num_samples;
    long chunk;
    bool deliver_in_synchronize;
    long delay_ms;
    fail_rule fails[max_fail_rules];
    int num_fails;
    int dict_error;
    bool rate_code_set;
    int rate_code;
    probe probes[max_probes];
    int num_probes;
    bool ignore_stop;
    long lose_index; /* the K-th index of a message is lost; 0: none */
    long reoffers;   /* refused data offered again this many times */
    dialect_list dialects;
    bool text_hex; /* eciAddText logs hex bytes */
};

/* An index placed in the text: its number and the text bytes before it. */
struct placed_index {
    int number;
    size_t text_bytes;
};

/* The text and indexes given since the last synthesis: what the next one
 * speaks. The array grows by doubling; freed at eciDelete. */
struct pending_text {
    size_t text_bytes;
    placed_index *indexes;
    size_t count;
    size_t capacity;
};

/* The one instance and its state. */
struct instance {
    bool live;
    ECICallback callback;
    void *callback_data;
    short *buffer;
    int buffer_size;
    int sample_rate_code;
    int dialect; /* the dialect in force */
    int messages; /* syntheses since eciNew */
    int pending;  /* message waiting for eciSynchronize, 0 for none */
};

/* The synthesis in progress, while deliver() runs. */
struct delivery {
    int message;       /* 0 when no synthesis runs */
    int callbacks;     /* sample callbacks made so far */
    long handed;       /* samples handed over so far */
    bool in_callback;  /* the module's callback is running */
    int ignored;       /* stops not heeded (QUORLIN_FAKE_IGNORE_STOP) */
    long total;        /* samples the message stands for */
    size_t next_index; /* the first index of `spoken` not yet reported */
};

script cfg;
instance engine;
delivery current;
pending_text pending; /* what eciAddText and eciInsertIndex gave */
pending_text spoken;  /* what the synthesis in progress (or waiting
                         for eciSynchronize) speaks */
bool dict_live = false;
int dict_token; /* its address is the dictionary handle */
void (*synthesis_hook)(void) = nullptr;

/* Call counts for "name@N" rules, by rule. */
long fail_calls[max_fail_rules];

/* Appends the `n` bytes of `line` to the file at `path`; one write per
 * line, opened for appending, so that lines stay whole. */
void append_line(const char *path, const char *line, size_t n) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    while (n > 0) {
        ssize_t w = write(fd, line, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        line += w;
        n -= static_cast<size_t>(w);
    }
    close(fd);  // not retried on EINTR: the descriptor is gone either way
}

/* Formats one line, adds `suffix` and a line feed, and appends it to the
 * file that `file_variable` names. */
__attribute__((format(printf, 3, 0))) void log_line(const char *file_variable, const char *suffix,
                                                    const char *format, va_list ap) {
    const char *path = getenv(file_variable);
    if (!path || !*path) return;
    char *text = nullptr;
    int n = vasprintf(&text, format, ap);
    if (n < 0) return;
    size_t len = static_cast<size_t>(n), extra = strlen(suffix);
    /* Grown in place for the suffix and the line feed. */
    char *line = static_cast<char *>(realloc(text, len + extra + 1));
    if (!line) {
        free(text);
        return;
    }
    memcpy(line + len, suffix, extra);
    line[len + extra] = '\n';
    append_line(path, line, len + extra + 1);
    free(line);
}

/* One line of the call log. */
__attribute__((format(printf, 1, 2))) void log_call(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    log_line("QUORLIN_FAKE_LOG", "", format, ap);
    va_end(ap);
}

double monotonic_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

/* One line of the stop log, stamped with the time. */
__attribute__((format(printf, 1, 2))) void log_stop(const char *format, ...) {
    char stamp[48];
    snprintf(stamp, sizeof stamp, " t=%.3f", monotonic_ms());
    va_list ap;
    va_start(ap, format);
    log_line("QUORLIN_FAKE_STOP_LOG", stamp, format, ap);
    va_end(ap);
}

/* `text` quoted for one log line: a new string, or null. */
char *quote(const char *text) {
    size_t len = strlen(text);
    char *q = static_cast<char *>(malloc(len * 4 + 3));
    if (!q) return nullptr;
    char *o = q;
    *o++ = '"';
    for (const unsigned char *s = reinterpret_cast<const unsigned char *>(text); *s; s++) {
        if (*s == '\n') {
            *o++ = '\\';
            *o++ = 'n';
        } else if (*s == '"' || *s == '\\') {
            *o++ = '\\';
            *o++ = static_cast<char>(*s);
        } else if (*s < 0x20 || *s >= 0x7F) {
            o += snprintf(o, 5, "\\x%02X", *s);
        } else {
            *o++ = static_cast<char>(*s);
        }
    }
    *o++ = '"';
    *o = '\0';
    return q;
}

long env_long(const char *name, long fallback) {
    const char *v = getenv(name);
    if (!v || !*v) return fallback;
    return strtol(v, nullptr, 10);
}

void parse_samples() {
    cfg.num_samples = 0;
    const char *v = getenv("QUORLIN_FAKE_SAMPLES");
    if (!v || !*v) v = "1000";
    while (*v && cfg.num_samples < max_messages) {
        char *end;
        long n = strtol(v, &end, 10);
        cfg.samples[cfg.num_samples++] = n < 0 ? 0 : n;
        if (*end != ',') break;
        v = end + 1;
    }
}

void parse_fails() {
    cfg.num_fails = 0;
    const char *v = getenv("QUORLIN_FAKE_FAIL");
    while (v && *v && cfg.num_fails < max_fail_rules) {
        size_t len = strcspn(v, ",");
        fail_rule &r = cfg.fails[cfg.num_fails];
        size_t name_len = strcspn(v, ",@");
        if (name_len >= sizeof r.name) name_len = sizeof r.name - 1;
        memcpy(r.name, v, name_len);
        r.name[name_len] = '\0';
        r.nth = v[name_len] == '@' ? strtol(v + name_len + 1, nullptr, 10) : 0;
        fail_calls[cfg.num_fails] = 0;
        cfg.num_fails++;
        v += len;
        if (*v == ',') v++;
    }
}

void parse_probes() {
    cfg.num_probes = 0;
    const char *v = getenv("QUORLIN_FAKE_PROBES");
    while (v && *v && cfg.num_probes < max_probes) {
        char *end;
        probe &p = cfg.probes[cfg.num_probes];
        p.message = static_cast<int>(strtol(v, &end, 10));
        if (*end != ':') break;
        p.count = strtol(end + 1, &end, 10);
        cfg.num_probes++;
        if (*end != ',') break;
        v = end + 1;
    }
}

void parse_dialects(dialect_list &d) {
    d.count = 0;
    const char *v = getenv("QUORLIN_FAKE_LANGUAGES");
    if (!v || !*v) {
        d.values[d.count++] = eciGeneralAmericanEnglish;
        return;
    }
    while (*v && d.count < max_dialects) {
        char *end;
        d.values[d.count++] = static_cast<int>(strtol(v, &end, 0));
        if (*end != ',') break;
        v = end + 1;
    }
}

bool installed(int dialect) {
    for (int i = 0; i < cfg.dialects.count; i++)
        if (cfg.dialects.values[i] == dialect) return true;
    return false;
}

int lowest_installed() {
    int lowest = cfg.dialects.values[0];
    for (int i = 1; i < cfg.dialects.count; i++)
        if (cfg.dialects.values[i] < lowest) lowest = cfg.dialects.values[i];
    return lowest;
}

/* The lead bytes of the double-byte code page of `dialect`, whose
 * language is in bits 16 to 31: GBK and Big5 for Chinese, CP949 for
 * Korean from 81 to FE hex, Shift-JIS from 81 to 9F and E0 to FC. False
 * for every byte of a single-byte code page. */
bool lead_byte(int dialect, unsigned char c) {
    int language = dialect >> 16;
    if (language == 0x06 || language == 0x0A) return c >= 0x81 && c <= 0xFE;
    if (language == 0x08) return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    return false;
}

/* Whether `text` ends inside a double-byte character of the dialect in
 * force. */
bool ends_inside_character(const char *text) {
    const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
    while (*s) {
        if (!lead_byte(engine.dialect, *s)) {
            s++;
        } else if (!s[1]) {
            return true;
        } else {
            s += 2;
        }
    }
    return false;
}

/* `text` as hex bytes for one log line: a new string, or null. */
char *hex_bytes(const char *text) {
    size_t len = strlen(text);
    char *h = static_cast<char *>(malloc(len * 2 + 5));
    if (!h) return nullptr;
    memcpy(h, "hex=", 4);
    for (size_t i = 0; i < len; i++)
        snprintf(h + 4 + i * 2, 3, "%02X", static_cast<unsigned char>(text[i]));
    h[4 + len * 2] = '\0';
    return h;
}

void parse_script() {
    parse_samples();
    cfg.chunk = env_long("QUORLIN_FAKE_CHUNK", 0);
    const char *deliver = getenv("QUORLIN_FAKE_DELIVER");
    cfg.deliver_in_synchronize = deliver && strcmp(deliver, "synchronize") == 0;
    cfg.delay_ms = env_long("QUORLIN_FAKE_DELAY_MS", 0);
    parse_fails();
    cfg.dict_error = static_cast<int>(env_long("QUORLIN_FAKE_DICT_ERROR", DictAccessError));
    const char *rate = getenv("QUORLIN_FAKE_RATE_CODE");
    cfg.rate_code_set = rate && *rate;
    cfg.rate_code = cfg.rate_code_set ? static_cast<int>(strtol(rate, nullptr, 10)) : 0;
    parse_probes();
    const char *ignore = getenv("QUORLIN_FAKE_IGNORE_STOP");
    cfg.ignore_stop = ignore && strcmp(ignore, "1") == 0;
    cfg.lose_index = env_long("QUORLIN_FAKE_LOSE_INDEX", 0);
    cfg.reoffers = env_long("QUORLIN_FAKE_REOFFER", 0);
    parse_dialects(cfg.dialects);
    const char *hex = getenv("QUORLIN_FAKE_TEXT_HEX");
    cfg.text_hex = hex && strcmp(hex, "1") == 0;
}

/* Forgets the text and indexes given, keeping the array for reuse. */
void clear_text(pending_text &t) {
    t.text_bytes = 0;
    t.count = 0;
}

void free_text(pending_text &t) {
    free(t.indexes);
    t = pending_text{};
}

/* Hands what was given over to the synthesis, which owns it until the
 * next one: the two swap arrays, so neither is copied. */
void take_pending() {
    pending_text given = pending;
    pending = spoken;
    spoken = given;
    clear_text(pending);
}

bool place_index(int number) {
    if (pending.count == pending.capacity) {
        size_t capacity = pending.capacity ? pending.capacity * 2 : 16;
        void *grown = realloc(pending.indexes, capacity * sizeof(placed_index));
        if (!grown) return false;
        pending.indexes = static_cast<placed_index *>(grown);
        pending.capacity = capacity;
    }
    pending.indexes[pending.count++] = placed_index{number, pending.text_bytes};
    return true;
}

/* The sample after which index `i` of the synthesis is reported. */
long index_position(size_t i) {
    if (spoken.text_bytes == 0) return 0;
    unsigned long long at = static_cast<unsigned long long>(current.total) *
                            spoken.indexes[i].text_bytes / spoken.text_bytes;
    return static_cast<long>(at);
}

/* A call made from inside the callback: logged as refused. */
bool refused_in_callback(const char *name) {
    if (!current.in_callback) return false;
    log_call("%s REFUSED", name);
    return true;
}

/* True when the script fails this call of `name`; counts the call. */
bool scripted_failure(const char *name) {
    bool fail = false;
    for (int i = 0; i < cfg.num_fails; i++) {
        if (strcmp(cfg.fails[i].name, name) != 0) continue;
        fail_calls[i]++;
        if (cfg.fails[i].nth == 0 || cfg.fails[i].nth == fail_calls[i]) fail = true;
    }
    return fail;
}

bool live(ECIHand h) { return engine.live && h == &engine; }

/* Whether a call on `h` may go ahead: not from inside the callback, and
 * on the live instance. A call that may not is logged as refused or with
 * " BAD HANDLE". */
bool callable(ECIHand h, const char *name) {
    if (refused_in_callback(name)) return false;
    if (live(h)) return true;
    log_call("%s BAD HANDLE", name);
    return false;
}

/* The engine's voices: 0 speaks, 1 to 8 are the presets, 9 to 16 the
 * user's. */
constexpr int first_preset_voice = 1;
constexpr int last_preset_voice = 8;
constexpr int last_user_voice = 16;

bool voice_exists(int voice) { return voice >= 0 && voice <= last_user_voice; }

/* Why a write into `voice` of `h` is refused, as the log line's end, or
 * "" when it may go ahead: the presets are read-only. */
const char *voice_write_mark(ECIHand h, int voice) {
    if (!live(h)) return " BAD HANDLE";
    if (!voice_exists(voice)) return " BAD VOICE";
    if (voice >= first_preset_voice && voice <= last_preset_voice) return " READ-ONLY";
    return "";
}

/* callable, and `d` the live dictionary set. */
bool dict_callable(ECIHand h, ECIDictHand d, const char *name) {
    if (refused_in_callback(name)) return false;
    if (live(h) && dict_live && d == &dict_token) return true;
    log_call("%s BAD HANDLE", name);
    return false;
}

const char *param_name(int p) {
    switch (p) {
    case eciTextMode: return "eciTextMode";
    case eciDictionary: return "eciDictionary";
    case eciSampleRate: return "eciSampleRate";
    case eciRealWorldUnits: return "eciRealWorldUnits";
    case eciNumberMode: return "eciNumberMode";
    case eciPhrasePrediction: return "eciPhrasePrediction";
    case eciLanguageDialect: return "eciLanguageDialect";
    default: return "param?";
    }
}

const char *voice_param_name(int p) {
    switch (p) {
    case eciHeadSize: return "eciHeadSize";
    case eciPitchBaseline: return "eciPitchBaseline";
    case eciPitchFluctuation: return "eciPitchFluctuation";
    case eciRoughness: return "eciRoughness";
    case eciBreathiness: return "eciBreathiness";
    case eciSpeed: return "eciSpeed";
    case eciVolume: return "eciVolume";
    default: return "voiceparam?";
    }
}

const char *volume_name(int v) {
    switch (v) {
    case eciMainDict: return "eciMainDict";
    case eciRootDict: return "eciRootDict";
    case eciAbbvDict: return "eciAbbvDict";
    default: return "volume?";
    }
}

const char *volume_rule(int v) {
    switch (v) {
    case eciMainDict: return "eciLoadDict:main";
    case eciRootDict: return "eciLoadDict:root";
    case eciAbbvDict: return "eciLoadDict:abbv";
    default: return "eciLoadDict:?";
    }
}

ECICallbackReturn call_back(int message, long count) {
    current.in_callback = true;
    ECICallbackReturn r =
        engine.callback(&engine, static_cast<ECIMessage>(message), count, engine.callback_data);
    current.in_callback = false;
    const char *answer = r == eciDataNotProcessed ? "not processed" : "processed";
    if (message == eciWaveformBuffer)
        log_call("callback eciWaveformBuffer %ld -> %s", count, answer);
    else if (message == eciIndexReply)
        log_call("callback eciIndexReply %ld -> %s", count, answer);
    else
        log_call("callback %d %ld -> %s", message, count, answer);
    return r;
}

/* Offers one callback, again as often as the script allows while it is
 * refused. False when it was refused to the end. */
bool offer(int message, long count) {
    for (long tries = 0;; tries++) {
        if (call_back(message, count) != eciDataNotProcessed) return true;
        if (tries >= cfg.reoffers) return false;
    }
}

/* Hands `n` samples, already in the output buffer, to the callback.
 * False when the message is to end here: the callback refused them and
 * the script does not say to ignore that. */
bool hand_over(long n) {
    current.callbacks++;
    current.handed += n;
    bool refused = !offer(eciWaveformBuffer, n);
    if (refused)
        log_stop("stop answer message=%d callback=%d samples=%ld", current.message,
                 current.callbacks, current.handed);
    if (refused && cfg.ignore_stop) {
        current.ignored++;
        return true;
    }
    return !refused;
}

/* Reports every index whose place the samples handed over have reached,
 * but the one the script loses. False when a reply was refused and the
 * message is to end. */
bool report_indexes() {
    while (current.next_index < spoken.count &&
           index_position(current.next_index) <= current.handed) {
        size_t i = current.next_index++;
        if (cfg.lose_index > 0 && i + 1 == static_cast<size_t>(cfg.lose_index)) continue;
        if (!offer(eciIndexReply, spoken.indexes[i].number) && !cfg.ignore_stop) return false;
    }
    return true;
}

/* Samples in the next callback: at most a chunk, and never past the
 * place of the next index. */
long next_chunk(long chunk) {
    long n = current.total - current.handed;
    if (n > chunk) n = chunk;
    if (current.next_index < spoken.count) {
        long to_index = index_position(current.next_index) - current.handed;
        if (to_index > 0 && to_index < n) n = to_index;
    }
    return n;
}

void sleep_ms(long ms) {
    if (ms <= 0) return;
    timespec t = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

long samples_of(int message) {
    if (cfg.num_samples == 0) return 0;
    int i = message <= cfg.num_samples ? message - 1 : cfg.num_samples - 1;
    return cfg.samples[i];
}

/* Runs the `message`-th synthesis: the hook, the probes, then the
 * samples in chunks until they are done or the message is stopped. */
void deliver(int message) {
    current = delivery{};
    current.message = message;
    if (synthesis_hook) synthesis_hook();
    if (!engine.callback) return;
    for (int i = 0; i < cfg.num_probes; i++) call_back(cfg.probes[i].message, cfg.probes[i].count);
    if (!engine.buffer || engine.buffer_size <= 0) return;
    long chunk = cfg.chunk > 0 && cfg.chunk < engine.buffer_size ? cfg.chunk : engine.buffer_size;
    current.total = samples_of(message);
    bool going = report_indexes();
    while (going && current.handed < current.total) {
        long n = next_chunk(chunk);
        sleep_ms(cfg.delay_ms);
        for (long i = 0; i < n; i++)
            engine.buffer[i] = quorlin_fake_sample(message, current.handed + i);
        going = hand_over(n) && report_indexes();
    }
    log_stop("end message=%d callbacks=%d samples=%ld of=%ld ignored=%d", message,
             current.callbacks, current.handed, current.total, current.ignored);
    current.message = 0;
}

}  // namespace

extern "C" {

void quorlin_fake_set_synthesis_hook(void (*hook)(void)) { synthesis_hook = hook; }

ECIHand eciNew(void) {
    if (refused_in_callback("eciNew")) return nullptr;
    parse_script();
    if (scripted_failure("eciNew")) {
        log_call("eciNew FAIL");
        return nullptr;
    }
    log_call("eciNew");
    engine = instance{};
    engine.live = true;
    engine.sample_rate_code = 2;
    engine.dialect = lowest_installed();
    return &engine;
}

ECIHand eciDelete(ECIHand h) {
    if (!live(h)) {
        log_call("eciDelete BAD HANDLE");
        return h;
    }
    if (refused_in_callback("eciDelete")) return h;
    log_call("eciDelete");
    engine = instance{};
    dict_live = false;
    free_text(pending);
    free_text(spoken);
    return nullptr;
}

void eciRegisterCallback(ECIHand h, ECICallback callback, void *data) {
    if (refused_in_callback("eciRegisterCallback")) return;
    log_call("eciRegisterCallback callback=%s data=%s%s", callback ? "set" : "null",
             data ? "set" : "null", live(h) ? "" : " BAD HANDLE");
    if (!live(h)) return;
    engine.callback = callback;
    engine.callback_data = data;
}

ECIBoolean eciSetOutputBuffer(ECIHand h, int size, short *buffer) {
    if (refused_in_callback("eciSetOutputBuffer")) return 0;
    if (!live(h)) {
        log_call("eciSetOutputBuffer %d BAD HANDLE", size);
        return 0;
    }
    if (scripted_failure("eciSetOutputBuffer")) {
        log_call("eciSetOutputBuffer %d FAIL", size);
        return 0;
    }
    log_call("eciSetOutputBuffer %d%s", size, buffer ? "" : " (null buffer)");
    engine.buffer = buffer;
    engine.buffer_size = buffer ? size : 0;
    return 1;
}

int eciSetParam(ECIHand h, ECIParam param, int value) {
    if (refused_in_callback("eciSetParam")) return -1;
    if (param == eciLanguageDialect && live(h)) {
        bool known = installed(value);
        log_call("eciSetParam eciLanguageDialect 0x%08X%s", static_cast<unsigned>(value),
                 known ? "" : " NOT INSTALLED");
        if (!known) return -1;
        int old = engine.dialect;
        engine.dialect = value;
        return old;
    }
    log_call("eciSetParam %s %d%s", param_name(param), value, live(h) ? "" : " BAD HANDLE");
    if (!live(h)) return -1;
    if (param == eciSampleRate) {
        int old = engine.sample_rate_code;
        engine.sample_rate_code = value;
        return old;
    }
    return 0;
}

int eciGetParam(ECIHand h, ECIParam param) {
    if (refused_in_callback("eciGetParam")) return -1;
    if (!live(h)) {
        log_call("eciGetParam %s BAD HANDLE", param_name(param));
        return -1;
    }
    if (param == eciLanguageDialect) {
        if (scripted_failure("eciGetParam:dialect")) {
            log_call("eciGetParam eciLanguageDialect FAIL");
            return -1;
        }
        log_call("eciGetParam eciLanguageDialect -> 0x%08X", static_cast<unsigned>(engine.dialect));
        return engine.dialect;
    }
    int value = 0;
    if (param == eciSampleRate) value = cfg.rate_code_set ? cfg.rate_code : engine.sample_rate_code;
    log_call("eciGetParam %s -> %d", param_name(param), value);
    return value;
}

int eciSetVoiceParam(ECIHand h, int voice, ECIVoiceParam param, int value) {
    if (refused_in_callback("eciSetVoiceParam")) return -1;
    const char *mark = voice_write_mark(h, voice);
    log_call("eciSetVoiceParam %d %s %d%s", voice, voice_param_name(param), value, mark);
    return *mark ? -1 : 0;
}

ECIBoolean eciCopyVoice(ECIHand h, int from, int to) {
    if (refused_in_callback("eciCopyVoice")) return 0;
    const char *mark = live(h) && !voice_exists(from) ? " BAD VOICE" : voice_write_mark(h, to);
    log_call("eciCopyVoice %d %d%s", from, to, mark);
    return *mark ? 0 : 1;
}

ECIDictHand eciNewDict(ECIHand h) {
    if (refused_in_callback("eciNewDict")) return nullptr;
    if (!live(h)) {
        log_call("eciNewDict BAD HANDLE");
        return nullptr;
    }
    if (scripted_failure("eciNewDict")) {
        log_call("eciNewDict FAIL");
        return nullptr;
    }
    log_call("eciNewDict");
    dict_live = true;
    return &dict_token;
}

ECIDictError eciLoadDict(ECIHand h, ECIDictHand d, ECIDictVolume volume, const char *path) {
    if (refused_in_callback("eciLoadDict")) return DictAccessError;
    const char *shown = path ? path : "(null)";
    if (!live(h) || !dict_live || d != &dict_token) {
        log_call("eciLoadDict %s %s BAD HANDLE", volume_name(volume), shown);
        return DictAccessError;
    }
    bool fail = scripted_failure("eciLoadDict");
    fail = scripted_failure(volume_rule(volume)) || fail;
    if (fail) {
        log_call("eciLoadDict %s %s FAIL %d", volume_name(volume), shown, cfg.dict_error);
        return static_cast<ECIDictError>(cfg.dict_error);
    }
    log_call("eciLoadDict %s %s", volume_name(volume), shown);
    return DictNoError;
}

ECIDictError eciSetDict(ECIHand h, ECIDictHand d) {
    if (!dict_callable(h, d, "eciSetDict")) return DictAccessError;
    if (scripted_failure("eciSetDict")) {
        log_call("eciSetDict FAIL %d", cfg.dict_error);
        return static_cast<ECIDictError>(cfg.dict_error);
    }
    log_call("eciSetDict");
    return DictNoError;
}

ECIDictHand eciDeleteDict(ECIHand h, ECIDictHand d) {
    if (!dict_callable(h, d, "eciDeleteDict")) return d;
    log_call("eciDeleteDict");
    dict_live = false;
    return nullptr;
}

ECIBoolean eciAddText(ECIHand h, const char *text) {
    if (refused_in_callback("eciAddText")) return 0;
    char *q = quote(text ? text : "");
    const char *shown = q ? q : "?";
    if (!live(h)) {
        log_call("eciAddText %s BAD HANDLE", shown);
        free(q);
        return 0;
    }
    bool fail = scripted_failure("eciAddText");
    bool annotation = text && strchr(text, '`');
    bool split = text && ends_inside_character(text);
    char *hex = cfg.text_hex ? hex_bytes(text ? text : "") : nullptr;
    log_call("eciAddText %s%s%s%s", hex ? hex : shown, annotation ? " BACKQUOTE" : "",
             split ? " SPLIT CHARACTER" : "", fail ? " FAIL" : "");
    free(hex);
    free(q);
    if (fail) return 0;
    pending.text_bytes += text ? strlen(text) : 0;
    return 1;
}

ECIBoolean eciInsertIndex(ECIHand h, int index) {
    if (refused_in_callback("eciInsertIndex")) return 0;
    if (!live(h)) {
        log_call("eciInsertIndex %d BAD HANDLE", index);
        return 0;
    }
    if (index == 0) {
        log_call("eciInsertIndex 0 BAD INDEX");
        return 0;
    }
    if (!place_index(index)) {
        log_call("eciInsertIndex %d FAIL", index);
        return 0;
    }
    log_call("eciInsertIndex %d", index);
    return 1;
}

ECIBoolean eciSynthesize(ECIHand h) {
    if (!callable(h, "eciSynthesize")) return 0;
    if (scripted_failure("eciSynthesize")) {
        log_call("eciSynthesize FAIL");
        return 0;
    }
    if (current.message) {
        log_call("eciSynthesize BUSY");
        return 0;
    }
    log_call("eciSynthesize");
    take_pending();
    int message = ++engine.messages;
    if (cfg.deliver_in_synchronize)
        engine.pending = message;
    else
        deliver(message);
    return 1;
}

ECIBoolean eciSynchronize(ECIHand h) {
    if (!callable(h, "eciSynchronize")) return 0;
    if (current.message) {
        log_call("eciSynchronize BUSY");
        return 0;
    }
    log_call("eciSynchronize");
    if (engine.pending) {
        int message = engine.pending;
        engine.pending = 0;
        deliver(message);
    }
    return 1;
}

#ifndef QUORLIN_FAKE_WITHOUT_LANGUAGES
static_assert(sizeof(ECILanguageDialect) == sizeof(int), "dialects are written as ints");

/* Needs no instance, as the engine's own; the installed dialects are
 * read from the environment at each call. Fills at most the capacity
 * given and reports how many it filled; a capacity of 0 asks how many
 * there are. */
int eciGetAvailableLanguages(ECILanguageDialect *languages, int *count) {
    if (refused_in_callback("eciGetAvailableLanguages")) return ECI_PARAMETERERROR;
    if (!languages || !count || *count < 0) {
        log_call("eciGetAvailableLanguages %d BAD ARGUMENT", count ? *count : 0);
        return ECI_PARAMETERERROR;
    }
    int capacity = *count;
    if (scripted_failure("eciGetAvailableLanguages")) {
        log_call("eciGetAvailableLanguages %d FAIL", capacity);
        return ECI_PARAMETERERROR;
    }
    dialect_list d;
    parse_dialects(d);
    int filled = capacity == 0 || capacity > d.count ? d.count : capacity;
    /* Written as ints: a value the enumeration lacks (an input form) is
     * reported as given, as the engine would. */
    if (capacity > 0) memcpy(languages, d.values, static_cast<size_t>(filled) * sizeof(int));
    *count = filled;
    log_call("eciGetAvailableLanguages %d -> %d", capacity, filled);
    return 0;
}
#endif

ECIBoolean eciStop(ECIHand h) {
    if (!callable(h, "eciStop")) return 0;
    log_call("eciStop");
    engine.pending = 0;
    clear_text(pending);
    if (current.message) {
        log_stop("stop eciStop message=%d outside a callback", current.message);
    } else {
        log_stop("stop eciStop idle");
    }
    return 1;
}

}  // extern "C"
