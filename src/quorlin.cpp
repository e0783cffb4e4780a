// SPDX-License-Identifier: BSD-2-Clause
/*
 * The engine adapter: the hooks through which the runtime drives the
 * ECI engine. This file owns the one engine instance, the engine's fixed
 * output buffer, the accumulator that collects the speech of one message
 * and its lock, the stop flag, the state of the message being spoken,
 * and the server's current rate, pitch, volume and faithful settings.
 * The configuration values it applies are read by quorlin_config.cpp;
 * the text it hands the engine, and the marks in it, come from the text
 * preparation's one entry point (quorlin_prepare.h); the protocol, the
 * replies and the audio framing are the runtime's. Its sections, in
 * order: state, the sample store, the hand-off to the writer with the
 * marks and the engine's callback, engine setup and release, speaking a
 * message, and the hooks.
 *
 * One thread. The engine calls eci_callback inside eciSynthesize and
 * eciSynchronize. The only nesting is the audio writer: while samples
 * stream, the runtime executes pending commands between blocks, and
 * those commands run the hooks below while this file holds audio_mutex
 * and the writer still reads the samples (`writer_has_samples`).
 *
 * A message is spoken one of two ways, as the configuration says. By
 * default the engine synthesises it whole into the accumulator, which is
 * then streamed. With CorvaneStreaming 1 the callback hands the engine's
 * samples to the writer as they come, in whole blocks, keeping back less
 * than one block; the writer's command passes then run inside the
 * engine's own synthesis (`inside_engine`).
 *
 * The engine's contract forbids calling it from inside its callback. So
 * nothing that runs there, a command pass included, calls the engine: a
 * stop, pause, quit or failed store only sets flags, the callback refuses
 * everything from then on, and the synthesis runs out by itself. Once it
 * has returned, end_synthesis tells the engine to drop what it still
 * holds and releases it after a QUIT.
 *
 * With CorvaneIndexMarks 1 the text goes to the engine in pieces with an
 * index between them, one per mark. Each index reply is reported as the
 * mark's event once every sample before it has gone to the writer: from
 * the callback when streaming, or by cutting the stored samples into
 * stretches between marks; the writer then gets one block at a time, so
 * that a stop read after the last block before a mark still lets that
 * mark be reported: every mark whose audio was sent is told, no other. A
 * pause then ends the message with 704, from which the server can resume
 * at the last mark it was told of, unless all its audio went out.
 */
#include <pthread.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "eci_corvane.h"
#include "engine_library.h"
#include "nrv_module_main.h"
#include "quorlin_config.h"
#include "quorlin_languages.h"
#include "quorlin_prepare.h"

namespace {

using namespace quorlin;

// ---- State ----

/* Size, in samples, of the buffer the engine writes into; the engine
 * never reports more than this many samples per callback. */
constexpr int audio_buffer_size = 20000;
/* Room added beyond what a callback needs, so that the accumulator grows
 * seldom and most messages reuse the block of an earlier one. */
constexpr int32_t growth_samples = 20000;
/* The accumulator kept between messages holds at most this much speech;
 * a longer message's block is cut back to it once the message is over,
 * so that one long text does not hold its memory for the process's life. */
constexpr int32_t kept_store_seconds = 60;
/* The speaking line shows at most this many bytes of the text: a server
 * that drains standard error slowly must not block the module on it. */
constexpr size_t shown_text_bytes = 500;
/* The audio writer sends at most 10000 payload bytes a block: 5000
 * samples of 16-bit mono. A streamed message goes out in blocks this
 * size as far as the engine's callbacks allow. */
constexpr size_t block_samples = 10000 / sizeof(int16_t);

/* The samples of the current message, guarded by audio_mutex.
 * Invariant: num_samples <= allocated, and samples is null exactly when
 * allocated is 0. The block grows during a message and is reused from
 * message to message; after a long one it is cut back (trim_samples), and
 * it is freed only by module_close. */
struct AudioData {
    int16_t *samples;    /* heap block of `allocated` samples */
    int32_t num_samples; /* samples stored from the start of the block */
    int32_t allocated;   /* capacity of the block in samples */
};

ECIHand eciHandle = nullptr;      /* set between module_init and module_close */
ECIDictHand dictHandle = nullptr; /* set only when a dictionary set exists */
short *audio_buffer = nullptr;    /* audio_buffer_size samples, lent to the engine */
int eci_sample_rate = 22050;      /* Hz of the engine's output */
/* Set by STOP, PAUSE and QUIT, cleared at the start of each message;
 * read by the callback and after synthesis without the lock. */
volatile int stop_requested = 0;
AudioData audio_data = {nullptr, 0, 0};
pthread_mutex_t audio_mutex = PTHREAD_MUTEX_INITIALIZER;

/* A sample place of a mark the engine has not reported. */
constexpr int32_t not_reached = -1;

/*
 * The message being spoken, set afresh at its start by one assignment
 * (start_message). The flags are the one thread's; `held`, `block_sent`
 * and `reached_at` are guarded by audio_mutex with the accumulator.
 */
struct message_state {
    bool streamed;           /* spoken while the engine synthesises */
    bool inside_engine;      /* inside eciSynthesize or eciSynchronize:
                                no engine function may be called */
    bool writer_has_samples; /* the audio writer reads samples this file
                                holds, under audio_mutex: hooks run in its
                                command passes leave both alone */
    bool paused;             /* the message was cut short by PAUSE */
    bool quit;               /* QUIT came inside the engine, which is
                                released once it has returned; the
                                message then ends without an event */
    bool release_due;        /* module_close ran while the writer had the
                                samples: they go once it has returned */
    bool store_cut;          /* the store could not take samples: every
                                later callback is refused */
    bool bad_count_logged;   /* a refused sample count has been logged */
    size_t held;             /* streamed: samples of held_samples waiting
                                for the next callback to fill a block */
    bool block_sent;         /* a block of the message went to the writer */
    bool audio_dropped;      /* a sample of the message never went out: no
                                later mark may be reported */
    const marked_text *text; /* the marks' names and count, or null */
    int first_index;         /* the index number of the first mark */
    size_t next_mark;        /* the first mark that may still be reached */
    int32_t *reached_at;     /* stored: the sample place of each mark the
                                engine reported, or not_reached */
};
message_state speech = {};

/* The samples of a streamed message that the engine has delivered and
 * the writer has not yet been given: fewer than one block, waiting for
 * the next callback to fill the block up. Guarded by audio_mutex. This is
 * all a streamed message holds, however long it is. */
int16_t held_samples[block_samples];

/* The last index number handed to the engine. Numbers run on across
 * messages, so that a late reply of an earlier message is never taken
 * for a mark of this one; 0 is not an index. */
int last_index = 0;

/* The server's speech settings in engine units, applied to voice slot 0
 * at the start of every message. The initial values are the engine's
 * defaults, not the image of any server value. */
int current_rate = 50;
int current_pitch = 65;
int current_volume = 90;
/* The server's punctuation level, spelling and capitals, which only the
 * faithful preparation (CorvaneFaithfulText 1) honours. */
faithful_settings current_faithful = {};

/*
 * The dialects and presets, with CorvaneLanguages 1 (untouched with 0).
 * What is installed is asked once, at module_init, and kept for the
 * process's life: the voice list is made from it. The server's choice is
 * kept here by module_set and applied at the start of each message, so
 * that a SET while a message streams counts from the next one. Dialects
 * are rows of dialect_table.
 */
struct voice_choice {
    dialect_set installed; /* the dialects listed and offered */
    dialect_set refused;   /* dialects the engine would not switch to: each
                              logged once, and not asked for again */
    int start_row;         /* the dialect in force at start, listed first */
    int in_force;          /* the dialect the engine speaks, or no_dialect
                              for one the table does not hold */
    int wanted_row;        /* the dialect the server's settings ask for */
    int active_preset;     /* the preset in voice 0 (voice_name_table) */
    int wanted_preset;     /* the preset the server's settings ask for */
};
voice_choice voices = {0, 0, no_dialect, no_dialect, no_dialect, 0, 0};

// ---- The sample store ----

/* The capacity, in samples, that holds `stored` samples plus `added` more
 * with growth_samples to spare, or 0 when it would exceed the store's
 * 32-bit counts or its byte size would exceed size_t. Computed in 64 bits
 * so that neither the sum nor the byte count can wrap, on 32-bit builds
 * included. */
constexpr int32_t grown_capacity(int32_t stored, int32_t added) {
    int64_t capacity = int64_t{stored} + added + growth_samples;
    if (capacity > INT32_MAX) return 0;
    if (static_cast<uint64_t>(capacity) > SIZE_MAX / sizeof(int16_t)) return 0;
    return static_cast<int32_t>(capacity);
}

static_assert(grown_capacity(0, 500) == 20500);
static_assert(grown_capacity(500, 20000) == 40500);
static_assert(grown_capacity(INT32_MAX - 40000, 20000) == INT32_MAX);
static_assert(grown_capacity(INT32_MAX - 40000, 20001) == 0);
static_assert(grown_capacity(INT32_MAX - 1, 20000) == 0);
static_assert(grown_capacity(INT32_MAX, 20000) == 0);


/* Frees the accumulator's block. Caller holds audio_mutex and makes sure
 * the writer is not reading it. */
void release_samples() {
    free(audio_data.samples);
    audio_data = AudioData{nullptr, 0, 0};
}

/* After a message: a block larger than kept_store_seconds of speech is
 * cut back to that size, and its samples, already streamed or dropped,
 * are let go. A failed shrink keeps the block as it is. Caller holds
 * audio_mutex; the writer is done with the block. */
void trim_samples() {
    const int32_t kept = kept_store_seconds * eci_sample_rate;
    if (audio_data.allocated <= kept) return;
    void *smaller = realloc(audio_data.samples, static_cast<size_t>(kept) * sizeof(int16_t));
    if (!smaller) return;
    audio_data = AudioData{static_cast<int16_t *>(smaller), 0, kept};
}

/* Appends `count` samples from audio_buffer. Caller holds audio_mutex.
 * When the block cannot grow, it stays as it was and the samples are
 * dropped. */
ECICallbackReturn store_samples(int32_t count) {
    /* Nothing to copy, and the block may not exist yet: memcpy must not
     * see its null pointer. */
    if (count == 0) return eciDataProcessed;
    int64_t needed = int64_t{audio_data.num_samples} + count;
    if (needed > audio_data.allocated) {
        int32_t capacity = grown_capacity(audio_data.num_samples, count);
        if (capacity == 0) return eciDataNotProcessed;
        void *grown = realloc(audio_data.samples, static_cast<size_t>(capacity) * sizeof(int16_t));
        if (!grown) return eciDataNotProcessed;
        audio_data.samples = static_cast<int16_t *>(grown);
        audio_data.allocated = capacity;
    }
    memcpy(audio_data.samples + audio_data.num_samples, audio_buffer,
           static_cast<size_t>(count) * sizeof(int16_t));
    audio_data.num_samples = static_cast<int32_t>(needed);
    return eciDataProcessed;
}

/* Samples the store cannot take end the message's speech where it is:
 * what came before is still streamed and the message ends as usual. The
 * callback refuses from now on, so the engine runs out of the message by
 * itself; it is told to stop once it has returned. */
void cut_speech() {
    speech.store_cut = true;
    fprintf(stderr, "quorlin: out of memory: speech cut after %d samples\n",
            static_cast<int>(audio_data.num_samples));
}

// ---- The hand-off to the writer, the marks and the engine's callback ----

/* Has the writer send `count` samples as one track: blocks, each with a
 * command pass after it. */
void write_track(int16_t *samples, size_t count) {
    AudioTrack track = {16, 1, eci_sample_rate, static_cast<int32_t>(count), samples};
    module_tts_output_server(&track, NRV_AUDIO_LE);
    speech.block_sent = true;
}

/* With marks the writer gets one block per track, so that this file
 * knows exactly how far it got: a stop read in the pass after a
 * stretch's last block leaves that stretch sent, and the mark behind it
 * is still reported. The samples sent. */
size_t send_blocks(int16_t *samples, size_t count) {
    size_t sent = 0;
    while (sent < count && !stop_requested && !module_should_stop) {
        size_t piece = count - sent < block_samples ? count - sent : block_samples;
        write_track(samples + sent, piece);
        sent += piece;
    }
    return sent;
}

/* The one hand-off to the audio writer. Caller holds audio_mutex. True
 * when every one of the `count` samples went out; those a stop kept back
 * count as dropped, and no later mark is reported. Without marks the
 * samples go as one track, and a stop read anywhere in it counts as
 * keeping some back. */
bool send_samples(int16_t *samples, size_t count) {
    if (count == 0) return true;
    speech.writer_has_samples = true;
    size_t sent = count;
    if (config_index_marks) {
        sent = send_blocks(samples, count);
    } else {
        write_track(samples, count);
        if (stop_requested) sent = 0;
    }
    speech.writer_has_samples = false;
    if (sent < count) speech.audio_dropped = true;
    return sent == count;
}

/* The name of mark `i` of the message. */
const char *mark_name(size_t i) { return speech.text->names + speech.text->marks[i].name; }

/* The mark of the message that index reply `number` stands for, or -1:
 * a number of an earlier message, one already passed, or one never
 * placed. */
long mark_of_reply(long number) {
    if (!speech.text || number < speech.first_index) return -1;
    long i = number - speech.first_index;
    if (static_cast<unsigned long>(i) >= speech.text->count) return -1;
    if (static_cast<size_t>(i) < speech.next_mark) return -1;
    return i;
}

/*
 * An index reply: every sample before it has been delivered. Streamed,
 * the held samples go to the writer at once (a short block) and the mark
 * is reported once they have all gone, even when a stop was read in the
 * pass after them; stored, its place in the samples is kept for
 * stream_stored. Caller holds audio_mutex.
 */
ECICallbackReturn mark_reached(long number) {
    long i = mark_of_reply(number);
    if (i < 0) return eciDataProcessed;
    speech.next_mark = static_cast<size_t>(i) + 1;
    if (!speech.streamed) {
        if (speech.reached_at) speech.reached_at[i] = audio_data.num_samples;
        return eciDataProcessed;
    }
    size_t held = speech.held;
    speech.held = 0;
    if (!send_samples(held_samples, held)) return eciDataNotProcessed;
    module_report_index_mark(mark_name(static_cast<size_t>(i)));
    return eciDataProcessed;
}

/*
 * Streams the `count` samples just delivered in audio_buffer, from inside
 * the callback. Whole blocks go to the writer at once, the held samples
 * first when the new ones fill a block up; what is left waits for the
 * next callback. Until a block of the message has gone, nothing waits:
 * the first audio never depends on a second callback. Caller holds
 * audio_mutex. eciDataNotProcessed once a stop, pause or quit executed
 * between blocks ends the message.
 */
ECICallbackReturn stream_delivered(size_t count) {
    int16_t *from = audio_buffer;
    if (speech.held > 0) {
        size_t fill = block_samples - speech.held;
        if (fill > count) fill = count;
        memcpy(held_samples + speech.held, from, fill * sizeof(int16_t));
        speech.held += fill;
        from += fill;
        count -= fill;
        if (speech.held < block_samples) return eciDataProcessed;
        speech.held = 0;
        if (!send_samples(held_samples, block_samples)) return eciDataNotProcessed;
    }
    size_t whole = count - count % block_samples;
    if (!send_samples(from, whole)) return eciDataNotProcessed;
    from += whole;
    count -= whole;
    if (count == 0) return eciDataProcessed;
    if (stop_requested) {
        speech.audio_dropped = true;
        return eciDataNotProcessed;
    }
    /* Sent whole, a stop read after it leaves them processed: the engine
     * must not offer samples again that were heard. */
    if (!speech.block_sent)
        return send_samples(from, count) ? eciDataProcessed : eciDataNotProcessed;
    memcpy(held_samples, from, count * sizeof(int16_t));
    speech.held = count;
    return eciDataProcessed;
}

/* The `count` new samples of a waveform buffer, stored or streamed.
 * Caller holds audio_mutex. */
ECICallbackReturn samples_delivered(size_t count) {
    if (speech.streamed) return stream_delivered(count);
    ECICallbackReturn result = store_samples(static_cast<int32_t>(count));
    if (result == eciDataNotProcessed) cut_speech();
    return result;
}

/* The callback once a stop is pending: new samples are refused, and the
 * engine runs out of the message. An index reply that comes while every
 * sample before it has gone out is still reported, since the listener
 * has heard its audio; not after a QUIT, when the server is told nothing
 * more of the message. */
ECICallbackReturn after_stop(ECIMessage msg, long param) {
    if (msg == eciWaveformBuffer && param > 0) speech.audio_dropped = true;
    if (msg != eciIndexReply || speech.quit || speech.audio_dropped || speech.held > 0)
        return eciDataNotProcessed;
    pthread_mutex_lock(&audio_mutex);
    ECICallbackReturn result = mark_reached(param);
    pthread_mutex_unlock(&audio_mutex);
    return result;
}

/* The engine's callback: copies the `param` new samples out of
 * audio_buffer before the engine reuses it, and takes index replies.
 * Refuses everything after the store failed, and what after_stop refuses
 * while a stop is pending; the engine then runs out of the message. A count outside the buffer
 * cannot be copied safely, so it is refused like samples that cannot be
 * stored, and logged once per message: an engine that keeps sending it
 * must not flood standard error. Calls no engine function. */
ECICallbackReturn eci_callback(ECIHand, ECIMessage msg, long param, void *) {
    if (speech.store_cut) return eciDataNotProcessed;
    if (stop_requested) return after_stop(msg, param);
    if (msg != eciWaveformBuffer && msg != eciIndexReply) return eciDataProcessed;
    if (msg == eciWaveformBuffer && (param < 0 || param > audio_buffer_size)) {
        if (!speech.bad_count_logged)
            fprintf(stderr, "quorlin: engine reported %ld samples, ignored\n", param);
        speech.bad_count_logged = true;
        return eciDataNotProcessed;
    }
    pthread_mutex_lock(&audio_mutex);
    ECICallbackReturn result =
        msg == eciIndexReply ? mark_reached(param) : samples_delivered(static_cast<size_t>(param));
    pthread_mutex_unlock(&audio_mutex);
    return result;
}

// ---- Engine setup and release ----

/* Stores a new copy of `text` for the caller and fails. */
int init_failed(char **status_info, const char *text) {
    *status_info = strdup(text);
    return -1;
}

int rate_code_hz(int code) {
    if (code == 0) return 8000;
    if (code == 1) return 11025;
    return 22050;
}

/* A configured voice parameter (negative: the file left it unset) goes
 * into slot 0, the one every message speaks with: the engine's preset
 * slots are read-only and would drop it. */
void set_voice_param(ECIVoiceParam param, int value) {
    if (value >= 0) eciSetVoiceParam(eciHandle, 0, param, value);
}

/* The voice parameters of the configuration file, into slot 0. */
void apply_configured_parameters() {
    set_voice_param(eciPitchBaseline, config_pitch_baseline);
    set_voice_param(eciPitchFluctuation, config_pitch_fluctuation);
    set_voice_param(eciSpeed, config_speed);
    set_voice_param(eciVolume, config_volume);
    set_voice_param(eciHeadSize, config_head_size);
    set_voice_param(eciRoughness, config_roughness);
    set_voice_param(eciBreathiness, config_breathiness);
}

/* The engine's number of preset `preset` of voice_name_table. */
int engine_preset(int preset) { return preset + 1; }

/* The engine numbers its presets from 1, in the order of
 * voice_name_table, and copies preset 1 (Wade) into slot 0 when the
 * instance is created; so Wade needs no copy, and any other preset is
 * copied over first, since the copy replaces every parameter of slot 0.
 * The configured parameters then go on top. */
void apply_voice_config() {
    if (config_voice != 0) eciCopyVoice(eciHandle, engine_preset(config_voice), 0);
    apply_configured_parameters();
}

/* An engine parameter the file set, applied and logged under `label`. */
void set_engine_param(ECIParam param, int value, const char *label) {
    if (value < 0) return;
    eciSetParam(eciHandle, param, value);
    fprintf(stderr, "quorlin: Set %s: %d\n", label, value);
}

void apply_engine_config() {
    set_engine_param(eciPhrasePrediction, config_phrase_prediction, "phrase prediction");
    if (config_dictionary >= 0) {
        int eci_value = config_dictionary == 0 ? 1 : 0;
        eciSetParam(eciHandle, eciDictionary, eci_value);
        fprintf(stderr, "quorlin: Set dictionary (abbreviations): config=%d eci=%d\n",
                config_dictionary, eci_value);
    }
    set_engine_param(eciNumberMode, config_number_mode, "number mode");
    set_engine_param(eciTextMode, config_text_mode, "text mode");
    set_engine_param(eciRealWorldUnits, config_real_world_units, "real world units");
}

/* Whether `path` may go to the engine, which opens it itself and would
 * wait for ever in the open of a FIFO with no writer: only a regular
 * file (open_regular_file). A path that cannot be opened or examined
 * goes to the engine, whose load then fails with its own error number;
 * nothing can block on it. */
bool dictionary_is_usable(const char *path) {
    const char *problem = nullptr;
    int fd = open_regular_file(path, &problem);
    if (fd >= 0) close(fd); /* not retried on EINTR: the descriptor is gone either way */
    return problem != not_a_regular_file;
}

/* Dictionary trouble is logged and never fails the start: the engine
 * speaks without the words it could not load. The set is activated even
 * when nothing loaded, so the engine sees the same calls whatever the
 * files held; the log says plainly that the set is empty, so that
 * "Dictionary activated" does not read as success. */
void load_dictionaries() {
    if (!config_main_dict[0] && !config_root_dict[0] && !config_abbrev_dict[0]) return;
    dictHandle = eciNewDict(eciHandle);
    if (!dictHandle) {
        fprintf(stderr, "quorlin: Failed to create dictionary handle\n");
        return;
    }
    const struct {
        const char *path;
        ECIDictVolume volume;
        const char *label;
    } volumes[] = {
        {config_main_dict, eciMainDict, "main"},
        {config_root_dict, eciRootDict, "root"},
        {config_abbrev_dict, eciAbbvDict, "abbreviation"},
    };
    int loaded = 0;
    for (const auto &v : volumes) {
        if (!v.path[0]) continue;
        if (!dictionary_is_usable(v.path)) {
            fprintf(stderr, "quorlin: Skipped %s dictionary: %s (not a regular file)\n", v.label,
                    v.path);
            continue;
        }
        ECIDictError err = eciLoadDict(eciHandle, dictHandle, v.volume, v.path);
        if (err == DictNoError) {
            fprintf(stderr, "quorlin: Loaded %s dictionary: %s\n", v.label, v.path);
            ++loaded;
        } else {
            fprintf(stderr, "quorlin: Failed to load %s dictionary: %s (error %d)\n", v.label,
                    v.path, static_cast<int>(err));
        }
    }
    if (loaded == 0)
        fprintf(stderr, "quorlin: No dictionary loaded: the dictionary set is empty\n");
    ECIDictError err = eciSetDict(eciHandle, dictHandle);
    if (err == DictNoError)
        fprintf(stderr, "quorlin: Dictionary activated\n");
    else
        fprintf(stderr, "quorlin: Failed to activate dictionary (error %d)\n",
                static_cast<int>(err));
}

/* Where the module is linked with an engine directly (the unit tests),
 * the engine's own call, and null for an engine that lacks it; the
 * shipped module links no engine and asks the loader instead. */
#pragma weak eciGetAvailableLanguages

/* The engine's eciGetAvailableLanguages, or null when it has none. */
engine_languages_call languages_call() {
    if (engine_library_load == nullptr) return eciGetAvailableLanguages;
    if (engine_library_languages_call == nullptr) return nullptr;
    return engine_library_languages_call();
}

/* More dialects than any engine could install: a count beyond it is
 * taken for a failure rather than allocated. */
constexpr int most_dialects = 4096;
static_assert(sizeof(ECILanguageDialect) == sizeof(int), "the engine fills an array of int");

/* The dialects the engine reports as installed, or 0 when it cannot say
 * (logged). It is asked for their number first, then for them. Values
 * are read as ints: the engine may report input forms, which the
 * enumeration does not name. */
dialect_set reported_dialects() {
    engine_languages_call call = languages_call();
    if (!call) {
        fprintf(stderr, "quorlin: the engine library has no eciGetAvailableLanguages\n");
        return 0;
    }
    int none[1] = {0};
    int count = 0;
    int error = call(reinterpret_cast<ECILanguageDialect *>(none), &count);
    int *values = nullptr;
    const int capacity = count;
    if (error == 0 && capacity > 0 && capacity <= most_dialects)
        values = static_cast<int *>(malloc(static_cast<size_t>(capacity) * sizeof(int)));
    if (values) error = call(reinterpret_cast<ECILanguageDialect *>(values), &count);
    /* Never more than the array holds, whatever the engine says. */
    if (count > capacity) count = capacity;
    dialect_set set = 0;
    if (values && error == 0 && count > 0) set = dialects_of(values, static_cast<size_t>(count));
    free(values);
    if (error != 0)
        fprintf(stderr, "quorlin: eciGetAvailableLanguages failed (error %d)\n", error);
    else if (set == 0)
        fprintf(stderr, "quorlin: eciGetAvailableLanguages reported no dialect the module knows\n");
    return set;
}

/* A set of the one row `row`. */
dialect_set only(int row) { return row == no_dialect ? 0 : dialect_set{1} << row; }

bool has(dialect_set set, int row) { return (set & only(row)) != 0; }

const char *tag_of(int row) {
    return row == no_dialect ? "an unknown dialect" : dialect_table[static_cast<size_t>(row)].tag;
}

/*
 * Learns the installed dialects and the one in force, for the voice list
 * and the server's choice. Without the engine's list, the dialect in
 * force stands alone, and en-US where that is unknown too. The start
 * dialect, listed first, is the one in force when it is listed, else the
 * lowest listed, to which the first message switches.
 */
void find_dialects() {
    dialect_set installed = reported_dialects();
    int in_force = dialect_row(eciGetParam(eciHandle, eciLanguageDialect));
    if (installed == 0) {
        installed =
            in_force != no_dialect ? only(in_force) : only(dialect_row(eciGeneralAmericanEnglish));
        fprintf(stderr, "quorlin: listing only %s\n", tag_of(lowest_dialect(installed)));
    }
    int start = has(installed, in_force) ? in_force : lowest_dialect(installed);
    voices = voice_choice{installed, 0, start, in_force, start, config_voice, config_voice};
    char tags[128];
    dialect_tags(installed, tags, sizeof tags);
    fprintf(stderr, "quorlin: dialects: %s; starting in %s\n", tags, tag_of(start));
}

/* Releases the engine and every buffer; safe when any of them is missing.
 * Never while the engine is inside a synthesis. The samples wait while
 * the writer still reads them. */
void release_engine() {
    if (dictHandle && eciHandle) eciDeleteDict(eciHandle, dictHandle);
    dictHandle = nullptr;
    if (eciHandle) {
        eciDelete(eciHandle);
        eciHandle = nullptr;
    }
    free(audio_buffer);
    audio_buffer = nullptr;
    if (speech.writer_has_samples) {
        speech.release_due = true;
        return;
    }
    pthread_mutex_lock(&audio_mutex);
    release_samples();
    pthread_mutex_unlock(&audio_mutex);
}

// ---- Speaking a message ----

/* A server value of -100..100, read as the configuration file's numbers
 * are, mapped linearly onto 0..`max` and clamped. The value is 32 bits
 * and the arithmetic done in 64, so no value can overflow: beyond 100
 * gives `max`, below -100 gives 0. */
int server_to_engine(const char *value, int64_t max) {
    int64_t engine = (int64_t{read_number(value)} + 100) * max / 200;
    if (engine < 0) return 0;
    if (engine > max) return static_cast<int>(max);
    return static_cast<int>(engine);
}

/* Every message speaks with the server's current settings in slot 0,
 * over whatever the configuration file set there. */
void apply_current_settings() {
    eciSetVoiceParam(eciHandle, 0, eciSpeed, current_rate);
    eciSetVoiceParam(eciHandle, 0, eciPitchBaseline, current_pitch);
    eciSetVoiceParam(eciHandle, 0, eciVolume, current_volume);
}

/* Switches the engine to the dialect the server chose when it is not the
 * one in force, since a switch loads a language. True when it switched.
 * A dialect the engine refuses is logged and not asked for again: the
 * message speaks in the dialect in force. */
bool switch_dialect() {
    int row = voices.wanted_row;
    if (row == no_dialect || row == voices.in_force || has(voices.refused, row)) return false;
    if (eciSetParam(eciHandle, eciLanguageDialect, dialect_table[static_cast<size_t>(row)].value) ==
        -1) {
        voices.refused |= only(row);
        fprintf(stderr, "quorlin: the engine cannot switch to %s, speaking %s\n", tag_of(row),
                tag_of(voices.in_force));
        return false;
    }
    voices.in_force = row;
    return true;
}

/* The server's dialect and preset, before the message's text goes to the
 * engine. After a switch or a change of preset the preset is copied into
 * slot 0 afresh, so that nothing set on the voice before leaks into it;
 * the configuration file's parameters belong to the configured preset
 * alone. The server's rate, pitch and volume go on top (start_message). */
void apply_voice_choice() {
    bool switched = switch_dialect();
    if (!switched && voices.wanted_preset == voices.active_preset) return;
    eciCopyVoice(eciHandle, engine_preset(voices.wanted_preset), 0);
    voices.active_preset = voices.wanted_preset;
    if (voices.active_preset == config_voice) apply_configured_parameters();
}

/* A fresh message: no stop pending, nothing stored, the server's dialect
 * and voice, and its current settings in slot 0. */
void start_message() {
    stop_requested = 0;
    speech = message_state{};
    speech.streamed = config_streaming != 0;
    pthread_mutex_lock(&audio_mutex);
    audio_data.num_samples = 0;
    pthread_mutex_unlock(&audio_mutex);
    if (config_languages) apply_voice_choice();
    apply_current_settings();
}

/* Logs a voice setting that matched nothing, with the voice kept. */
void log_kept_voice(const char *what, const char *value) {
    fprintf(stderr, "quorlin: %s %s not available, keeping %s %s\n", what, value,
            voice_name_table[static_cast<size_t>(voices.wanted_preset)], tag_of(voices.wanted_row));
}

/* SET language: the installed dialect the tag stands for. */
void choose_language(const char *value) {
    int row = match_language(value, voices.installed, voices.wanted_row);
    if (row == no_dialect)
        fprintf(stderr, "quorlin: language %s not available, keeping %s\n", value,
                tag_of(voices.wanted_row));
    else
        voices.wanted_row = row;
}

/* SET voice: the preset of a generic voice class, in the same dialect. */
void choose_voice_class(const char *value) {
    int preset = match_voice_class(value);
    if (preset < 0)
        log_kept_voice("voice", value);
    else
        voices.wanted_preset = preset;
}

/* SET synthesis_voice: a listed voice, or a preset in the same dialect. */
void choose_listed_voice(const char *value) {
    int preset = 0, row = no_dialect;
    if (!match_synthesis_voice(value, voices.installed, &preset, &row)) {
        log_kept_voice("synthesis_voice", value);
        return;
    }
    voices.wanted_preset = preset;
    if (row != no_dialect) voices.wanted_row = row;
}

/* The server's language and voice settings, with CorvaneLanguages 1;
 * false for any other name. */
bool set_voice_choice(const char *name, const char *value) {
    if (strcmp(name, "language") == 0)
        choose_language(value);
    else if (strcmp(name, "voice") == 0)
        choose_voice_class(value);
    else if (strcmp(name, "synthesis_voice") == 0)
        choose_listed_voice(value);
    else
        return false;
    return true;
}

/* The speaking line, with a long text cut to its first bytes. */
void log_speaking(const char *text) {
    size_t length = strlen(text);
    if (length <= shown_text_bytes)
        fprintf(stderr, "quorlin: Speaking: %s\n", text);
    else
        fprintf(stderr, "quorlin: Speaking: %.*s... (%zu bytes)\n",
                static_cast<int>(shown_text_bytes), text, length);
}

/* The engine's text for the message, cleaned the configured way, with
 * its marks when the server's marks are to be reported. False when there
 * is nothing to speak or no memory to prepare it. */
bool prepare_message(const char *data, size_t bytes, NRVMessageType msgtype,
                     marked_text *prepared) {
    // The text goes in the code page of the dialect that speaks it,
    faithful_settings settings = current_faithful;
    // and its symbols are read by the names of its language.
    if (config_languages && voices.in_force != no_dialect) {
        settings.page = dialect_table[static_cast<size_t>(voices.in_force)].page;
        settings.language = dialect_table[static_cast<size_t>(voices.in_force)].names;
    }
    const text_request request = {data,
                                  bytes,
                                  msgtype,
                                  config_faithful_text != 0,
                                  &settings,
                                  config_index_marks != 0};
    if (prepare_for_engine(&request, prepared) != 0) return false;
    if (prepared->dropped > 0)
        fprintf(stderr,
                "quorlin: %zu index marks dropped: a name holds a control byte or is "
                "longer than %zu bytes\n",
                prepared->dropped, max_mark_name_bytes);
    return true;
}

/* The first of `count` fresh index numbers. They run on from the last
 * message's; when they would pass INT_MAX they start again at 1, after
 * some two thousand million marks. */
int take_index_numbers(size_t count) {
    if (count > static_cast<size_t>(INT_MAX - 1) ||
        last_index > INT_MAX - 1 - static_cast<int>(count))
        last_index = 0;
    int first = last_index + 1;
    last_index += static_cast<int>(count);
    return first;
}

/* Adds the bytes [from, to) of the prepared text to the engine's input. */
bool add_piece(marked_text &prepared, size_t from, size_t to) {
    char kept = prepared.text[to];
    prepared.text[to] = '\0';
    bool added = eciAddText(eciHandle, prepared.text + from) != 0;
    prepared.text[to] = kept;
    return added;
}

/*
 * Hands the prepared text to the engine: without marks in one piece,
 * with marks as the piece before each mark and the mark's index, then
 * the rest. The marks stand between words, so no word is split. False,
 * logged, when the engine refuses a piece. An index it refuses only
 * loses its mark, logged once.
 */
bool give_text(marked_text &prepared) {
    speech.first_index = take_index_numbers(prepared.count);
    bool index_failed = false;
    size_t from = 0;
    for (size_t i = 0; i <= prepared.count; ++i) {
        size_t to = i < prepared.count ? prepared.marks[i].at : prepared.length;
        if ((to > from || prepared.count == 0) && !add_piece(prepared, from, to)) {
            fprintf(stderr, "quorlin: eciAddText failed\n");
            return false;
        }
        from = to;
        if (i == prepared.count) break;
        int number = speech.first_index + static_cast<int>(i);
        if (!eciInsertIndex(eciHandle, number) && !index_failed) {
            fprintf(stderr, "quorlin: eciInsertIndex failed\n");
            index_failed = true;
        }
    }
    return true;
}

/* The marks of a stored message need a place each until the stream. On
 * a failed allocation they are not reported; the speech is still whole. */
void expect_marks(const marked_text &prepared) {
    if (prepared.count == 0) return;
    speech.text = &prepared;
    if (speech.streamed) return;
    speech.reached_at = static_cast<int32_t *>(malloc(prepared.count * sizeof(int32_t)));
    if (!speech.reached_at) {
        fprintf(stderr, "quorlin: out of memory: index marks of the message dropped\n");
        speech.text = nullptr;
        return;
    }
    for (size_t i = 0; i < prepared.count; ++i) speech.reached_at[i] = not_reached;
}

/* Has the engine synthesise the text it was given, with the callback
 * doing the rest. Whatever cut the message short in there is passed on
 * once the engine has returned: eciStop drops what it still holds, and
 * after a QUIT it is released. False when the synthesis did not start;
 * its text is dropped too, or the next message would speak it. */
bool run_engine() {
    speech.inside_engine = true;
    bool synthesized = eciSynthesize(eciHandle) != 0;
    if (synthesized) eciSynchronize(eciHandle);
    speech.inside_engine = false;
    if (stop_requested || speech.store_cut || !synthesized) eciStop(eciHandle);
    if (speech.quit) release_engine();
    if (!synthesized && !speech.quit) fprintf(stderr, "quorlin: eciSynthesize failed\n");
    return synthesized;
}

/* The closing event of a message cut short: 704 after a pause the server
 * can resume from its last mark, else `otherwise`. */
void report_cut_short(void (*otherwise)(void)) {
    if (speech.paused && config_index_marks)
        module_report_event_pause();
    else
        otherwise();
}

/* Sends 701 and has the engine synthesise the message. False when the
 * message is over already: after a QUIT inside the engine (no event), or
 * with 702 when the synthesis did not start. */
bool begin_speaking() {
    module_report_event_begin();
    bool synthesized = run_engine();
    if (speech.quit) return false;
    if (!synthesized) module_report_event_end();
    return synthesized;
}

/* Streams the stored samples up to `to`, from `*from`. Caller holds
 * audio_mutex. True when all of them went out. */
bool stream_stretch(int32_t *from, int32_t to) {
    if (to <= *from) return !speech.audio_dropped;
    bool sent = send_samples(audio_data.samples + *from, static_cast<size_t>(to - *from));
    *from = to;
    return sent;
}

/* Hands the stored samples to the writer, one stretch between marks at a
 * time, each reached mark reported once the stretch before it has all
 * gone, and true when every sample went out. The writer's command passes
 * run with audio_mutex held and the samples in use (writer_has_samples);
 * a QUIT there leaves their release to the end. */
bool stream_stored() {
    pthread_mutex_lock(&audio_mutex);
    int32_t from = 0;
    bool sent = true;
    for (size_t i = 0; sent && speech.reached_at && i < speech.text->count; ++i) {
        if (speech.reached_at[i] == not_reached) continue;
        sent = stream_stretch(&from, speech.reached_at[i]);
        if (sent) module_report_index_mark(mark_name(i));
    }
    if (sent) sent = stream_stretch(&from, audio_data.num_samples);
    if (speech.release_due) {
        release_samples();
        speech.release_due = false;
    }
    pthread_mutex_unlock(&audio_mutex);
    return sent;
}

/* The closing event of a message whose audio has gone to the writer as
 * far as it went: 702 when all of it went, even if a stop or pause was
 * read after the last block (nothing is left to resume), else what
 * report_cut_short gives with `cut` as the stop's event. */
void report_end(bool all_sent, void (*cut)(void)) {
    if (stop_requested && !all_sent)
        report_cut_short(cut);
    else
        module_report_event_end();
}

/* Lets the engine synthesise the whole message into the accumulator and
 * streams it; sends 701 and the closing event. A message whose samples
 * the store could not all take streams what it has and ends with 702. */
void speak_stored() {
    if (!begin_speaking()) return;
    if (stop_requested) {
        report_cut_short(module_report_event_stop);
        return;
    }
    report_end(stream_stored(), module_report_event_end);
}

/* Has the engine synthesise the message while its callback streams the
 * samples; sends 701 and the closing event. The samples held at the end
 * go out once the engine has returned. A stop or pause in a pass between
 * blocks cuts the message short, and it ends with 702 as a stopped
 * stream does; with 703 only when the stop came before any block, as
 * after a synchronous synthesis. After a QUIT in such a pass it ends
 * with no event: the engine is released, and the runtime answers QUIT. */
void speak_streamed() {
    if (!begin_speaking()) return;
    pthread_mutex_lock(&audio_mutex);
    bool stopped_before_audio = stop_requested && !speech.block_sent;
    bool all_sent = send_samples(held_samples, speech.held) && !speech.audio_dropped;
    speech.held = 0;
    pthread_mutex_unlock(&audio_mutex);
    report_end(all_sent, stopped_before_audio ? module_report_event_stop : module_report_event_end);
}

/* Hands the prepared text to the engine and lets it speak, the one way
 * or the other; sends 701 and the closing event, or 702 alone when the
 * engine refused the text. */
void speak_prepared(marked_text &prepared) {
    bool given = give_text(prepared);
    /* The engine has taken its copy; only the marks' names are needed
     * from here on. */
    free(prepared.text);
    prepared.text = nullptr;
    if (!given) {
        /* What went in before the refused piece would open the next
         * message: the engine drops it. */
        eciStop(eciHandle);
        module_report_event_end();
        return;
    }
    expect_marks(prepared);
    if (speech.streamed)
        speak_streamed();
    else
        speak_stored();
}

/* Lets go of what the message held: its marks, and the part of a long
 * message's store beyond what is kept. */
void end_message(marked_text &prepared) {
    free(speech.reached_at);
    speech.reached_at = nullptr;
    speech.text = nullptr;
    free_marked_text(&prepared);
    pthread_mutex_lock(&audio_mutex);
    trim_samples();
    pthread_mutex_unlock(&audio_mutex);
}

/* Ends the current message: the callback refuses from now on. The engine
 * is told at once when it is idle; from inside it, it is told once it
 * has returned (run_engine). */
void stop_message() {
    stop_requested = 1;
    if (eciHandle && !speech.inside_engine) eciStop(eciHandle);
}

}  // namespace

// ---- The hooks ----

extern "C" {

int module_init(char **status_info) {
    fprintf(stderr, "quorlin: initializing Corvane TTS\n");
    module_audio_set_server();

    // Absent where an engine is linked in directly (engine_library.h).
    if (engine_library_load != nullptr && engine_library_load(status_info) != 0) return -1;
    eciHandle = eciNew();
    if (!eciHandle)
        return init_failed(status_info,
                           "Failed to create ECI instance - check Corvane installation");

    audio_buffer = static_cast<short *>(malloc(audio_buffer_size * sizeof(short)));
    if (!audio_buffer) {
        release_engine();
        return init_failed(status_info, "Failed to allocate audio buffer");
    }
    eciRegisterCallback(eciHandle, eci_callback, nullptr);
    if (!eciSetOutputBuffer(eciHandle, audio_buffer_size, audio_buffer)) {
        release_engine();
        return init_failed(status_info, "Failed to set ECI output buffer");
    }

    eciSetParam(eciHandle, eciSampleRate, config_sample_rate);
    eci_sample_rate = rate_code_hz(eciGetParam(eciHandle, eciSampleRate));
    fprintf(stderr, "quorlin: initialized, sample rate %d Hz\n", eci_sample_rate);

    apply_voice_config();
    apply_engine_config();
    load_dictionaries();
    if (config_languages) find_dialects();
    // The ASCII cleaning keeps no letter outside ASCII, in any code page.
    if (config_languages && !config_faithful_text)
        fprintf(stderr, "quorlin: CorvaneLanguages 1 reads other languages best with "
                        "CorvaneFaithfulText 1: the ASCII cleaning drops their letters\n");

    *status_info = strdup("Corvane TTS initialized successfully");
    return 0;
}

int module_loop(void) {
    fprintf(stderr, "quorlin: entering main loop\n");
    int result = module_process(0, 1);
    if (result != 0) fprintf(stderr, "quorlin: broken pipe, exiting\n");
    return result;
}

/* Safe at any time and any number of times. When it runs from a QUIT
 * executed between audio blocks, this thread holds audio_mutex and the
 * writer still reads the samples: their release waits until the writer
 * has returned (the runtime normally ends the process first). The engine
 * itself is idle then and can go at once, unless the blocks come from
 * inside its own synthesis: then the message is stopped, and the engine
 * released once it has returned (1 tells the runtime so). */
int module_close(void) {
    fprintf(stderr, "quorlin: closing\n");
    if (speech.inside_engine) {
        speech.quit = true;
        stop_message();
        return 1;
    }
    release_engine();
    return 0;
}

/* A new list holding the configured voice, or with CorvaneLanguages 1
 * every preset of every installed dialect, all of it from malloc and
 * strdup: the caller frees the strings, the record and the array. Null,
 * with nothing left over, when any of them cannot be had: a voice with a
 * field missing would be listed wrongly (a null language reads as
 * "none"). */
NRVVoice **module_list_voices(void) {
    if (config_languages)
        return dialect_voice_list(voices.installed, voices.start_row, config_voice);
    auto **list = static_cast<NRVVoice **>(malloc(2 * sizeof(NRVVoice *)));
    auto *voice = static_cast<NRVVoice *>(malloc(sizeof(NRVVoice)));
    if (!list || !voice) {
        free(list);
        free(voice);
        return nullptr;
    }
    voice->name = strdup(voice_name_table[static_cast<size_t>(config_voice)]);
    voice->language = strdup("en-US");
    voice->variant = strdup("none");
    if (!voice->name || !voice->language || !voice->variant) {
        free(voice->name);
        free(voice->language);
        free(voice->variant);
        free(voice);
        free(list);
        return nullptr;
    }
    list[0] = voice;
    list[1] = nullptr;
    return list;
}

/* Keeps the server's rate, pitch and volume for the next message, with
 * CorvaneFaithfulText 1 its punctuation level, spelling and capitals, and
 * with CorvaneLanguages 1 its language and voice; every other name is
 * accepted and ignored, the voice included when the configuration file
 * fixes it. */
int module_set(const char *var, const char *val) {
    fprintf(stderr, "quorlin: set %s = %s\n", var, val);
    if (config_faithful_text && faithful_set(&current_faithful, var, val)) return 0;
    if (config_languages && set_voice_choice(var, val)) return 0;
    if (strcmp(var, "rate") == 0)
        current_rate = server_to_engine(val, 250);
    else if (strcmp(var, "pitch") == 0)
        current_pitch = server_to_engine(val, 100);
    else if (strcmp(var, "volume") == 0)
        current_volume = server_to_engine(val, 100);
    return 0;
}

int module_audio_set(const char *, const char *) { return 0; }

int module_audio_init(char **status_info) {
    *status_info = strdup("Using server audio");
    return 0;
}

int module_loglevel_set(const char *, const char *) { return 0; }

int module_debug(int, const char *) { return 0; }

int module_speak(const char *, size_t, NRVMessageType) { return -1; }

void module_speak_sync(const char *data, size_t bytes, NRVMessageType msgtype) {
    if (speech.writer_has_samples || !eciHandle) {
        /* With the writer busy this is a command pass while a message
         * streams: speaking would wait for audio_mutex, which this
         * thread holds, and empty the samples being streamed. The
         * runtime keeps the stream's stop flag; the server stops the
         * current message before the next. */
        module_speak_error();
        return;
    }
    start_message();
    marked_text prepared;
    if (!prepare_message(data, bytes, msgtype, &prepared)) {
        module_speak_error();
        return;
    }
    log_speaking(prepared.text);
    module_speak_ok();
    speak_prepared(prepared);
    end_message(prepared);
}

int module_stop(void) {
    fputs("quorlin: stop requested\n", stderr);
    stop_message();
    return 0;
}

size_t module_pause(void) {
    fputs("quorlin: pause requested\n", stderr);
    speech.paused = true;
    stop_message();
    return 0;
}

}  // extern "C"
